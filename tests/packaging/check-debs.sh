#!/usr/bin/env bash
# The two Debian packages as a user installs them, built by tools/make-deb.sh
# in BUILD (a build tree of their own, made afresh):
#  - lintian reports no error and no warning, and no info tag but the false
#    alarms explained below;
#  - both programs are hardened (hardening-check) and carry no .comment;
#  - every plugin and program the window loads at run time comes from a
#    package that quarlix-gui depends on or recommends (the table below,
#    checked with dpkg -S), and the sources run no other program;
#  - no update service is built in;
#  - section, synopses, copyright licences and reproducible dates;
#  - quarlix-gui --help and --version answer with no display at all.
#   tests/packaging/check-debs.sh BUILD [--no-build]
# --no-build checks the packages already in BUILD/packages.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:?usage: check-debs.sh BUILD}")
for tool in lintian hardening-check dpkg-deb readelf; do
  command -v "$tool" >/dev/null && continue
  echo "$tool is missing (tools/setup.sh installs it)"
  [ "${CI:-}" = true ] && exit 1 || exit 77
done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The date of the last commit, which make-deb.sh gives the packages (fixed
# here, so that a commit during the build does not move it).
epoch=${SOURCE_DATE_EPOCH:-$(cd "$root" && git log -1 --format=%ct 2>/dev/null || stat -c %Y "$root/CMakeLists.txt")}
if [ "${2:-}" != --no-build ]; then
  SOURCE_DATE_EPOCH=$epoch QUARLIX_DEB_BUILD=$build bash "$root/tools/make-deb.sh" "$build/packages" >"$build.log" 2>&1 ||
    { tail -n 40 "$build.log"; echo "FAIL: tools/make-deb.sh"; exit 1; }
fi
cli=$(ls "$build"/packages/quarlix_*.deb) && gui=$(ls "$build"/packages/quarlix-gui_*.deb) ||
  { echo "FAIL: the packages were not made"; exit 1; }
files="$build/files"
rm -rf "$files"
for deb in "$cli" "$gui"; do dpkg-deb -x "$deb" "$files"; done

# ---- lintian ----------------------------------------------------------------
# Info tags that are false alarms: spelling-error-in-binary on a fragment
# the optimiser cut from a longer string (it stores strings as 8-byte
# immediates, so "length" and "name" show up as "lengH" and "nam"); a
# "misspelling" that occurs as a word in the sources is a real one.
lint=$(lintian --pedantic --display-info --display-experimental --tag-display-limit 0 "$cli" "$gui" 2>&1 | grep -v '^running with root privileges')
while IFS= read -r line; do
  [ -n "$line" ] || continue
  case $line in
    "I: "*": spelling-error-in-binary "*)
      word=$(awk '{print $4}' <<<"$line")
      if grep -rqw --include='*.cpp' --include='*.h' -- "$word" "$root"/{engine,platform,app,cli,ui}; then
        fail "lintian: $line (the word is in the sources)"
      fi ;;
    *) fail "lintian: $line" ;;
  esac
done <<<"$lint"

# ---- hardening ----------------------------------------------------------------
# Debian 12's dpkg-buildflags (hardening=+all) gives no control-flow
# protection, so that is not asked for (stack clash protection is reported as
# unknown and does not fail).
for program in quarlix quarlix-gui; do
  binary="$files/usr/bin/$program"
  hardening-check --nocfprotection "$binary" >/dev/null ||
    fail "hardening: $(hardening-check --nocfprotection "$binary" | grep -E ': no')"
  readelf -S -W "$binary" | grep -q ' \.comment ' && fail "$program has a .comment section"
done

# ---- what the window loads at run time -----------------------------------------
# A file loaded at run time, the package that provides it, the field of
# quarlix-gui that must name that package, and why it is loaded.
qt="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)/qt6/plugins"
runtime=(
  "$qt/iconengines/libqsvgicon.so|libqt6svg6|Depends|every icon of the window is SVG (ui/icons)"
  "$qt/imageformats/libqtiff.so|qt6-image-formats-plugins|Depends|TIFF previews"
  "$qt/imageformats/libqtga.so|qt6-image-formats-plugins|Depends|TGA previews"
  "$qt/imageformats/libqwbmp.so|qt6-image-formats-plugins|Depends|WBMP previews"
  "$qt/imageformats/libqjpeg.so|libqt6gui6|Depends|JPEG previews"
  "$qt/imageformats/libqgif.so|libqt6gui6|Depends|GIF previews"
  "$qt/imageformats/libqico.so|libqt6gui6|Depends|ICO and CUR previews"
  "$qt/platforms/libqxcb.so|libqt6gui6|Depends|the X11 platform plugin"
  "$qt/platforms/libqwayland-generic.so|qt6-wayland|Recommends|the Wayland platform plugin (XWayland without it)"
  "/usr/bin/xdg-open|xdg-utils|Recommends|QDesktopServices opens a recovered folder and a download page"
  "/usr/share/dbus-1/system-services/org.freedesktop.UDisks2.service|udisks2|Recommends|a device opened through UDisks2"
)
field() { dpkg-deb -f "$gui" "$1" | tr ',' '\n' | sed 's/^ *//; s/ .*//'; }
for row in "${runtime[@]}"; do
  IFS='|' read -r file package want why <<<"$row"
  owner=$(dpkg -S "$file" 2>/dev/null | cut -d: -f1)
  [ "$owner" = "$package" ] || fail "$file ($why) is provided by '${owner:-nothing installed}', not $package"
  field "$want" | grep -qx "$package" || fail "quarlix-gui does not name $package in $want ($why)"
done
# The sources still do what the rows say; a program started with exec
# would need a row of its own.
grep -q 'org.freedesktop.UDisks2' "$root"/ui/*.cpp || fail "the window no longer asks UDisks2: update the table"
grep -q 'QDesktopServices::openUrl' "$root"/ui/*.cpp || fail "the window no longer opens URLs: update the table"
grep -q '\.svg<' "$root"/ui/icons/icons.qrc || fail "the window's icons are no longer SVG: update the table"
started=$(grep -rnE 'QProcess|\bexec[lv]p?e?\(|posix_spawn|\bpopen\(|\bsystem\(' --include='*.cpp' --include='*.h' \
  "$root"/{engine,platform,app,cli,ui} | grep -v '//.*\(exec\|system\)')
[ -z "$started" ] || fail "a program is started at run time; give it a row in the table: $started"

# ---- the update check is off in the packages ----------------------------------------
# The optimiser may cut a string literal, so the built-in default is looked for by its start.
grep -aq 'https://update\.' "$files/usr/bin/quarlix-gui" && fail "an update service is built into quarlix-gui"
[ ! -f "$build/CMakeCache.txt" ] || grep -qx 'QUARLIX_UPDATE_BASE_URL:STRING=' "$build/CMakeCache.txt" ||
  fail "the packages were configured with an update service"

# ---- control fields, copyright, dates --------------------------------------------
for deb in "$cli" "$gui"; do
  name=$(dpkg-deb -f "$deb" Package)
  [ "$(dpkg-deb -f "$deb" Section)" = admin ] || fail "$name: section $(dpkg-deb -f "$deb" Section), not admin"
  copyright="$files/usr/share/doc/$name/copyright"
  for licence in Expat Unicode-DFS-2016 BSD-3-clause; do
    grep -q "^License: $licence$" "$copyright" || fail "$name: the copyright file has no $licence licence"
  done
  zcat "$files/usr/share/doc/$name/changelog.gz" | grep -q -- "  $(date -u -R -d "@$epoch")$" ||
    fail "$name: the changelog is not dated by the last commit"
  newer=$(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time | awk -v e="$(date -u -d "@$epoch" '+%F %T')" '$4" "$5 > e')
  [ -z "$newer" ] || fail "$name: $(wc -l <<<"$newer") files newer than the last commit, as $(head -n 1 <<<"$newer")"
done
synopses=$(for deb in "$cli" "$gui"; do dpkg-deb -f "$deb" Description | head -n 1; done | sort -u | wc -l)
[ "$synopses" = 2 ] || fail "the two packages share one synopsis"

# ---- help without a display ---------------------------------------------------------
version=$(dpkg-deb -f "$gui" Version)
for option in --help --version; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$files/usr/bin/quarlix-gui" "$option" 2>&1)
  status=$?
  [ "$status" = 0 ] || fail "quarlix-gui $option ended with $status without a display: $out"
  case $option in
    --help) grep -q -- '--no-devices' <<<"$out" || fail "quarlix-gui --help does not list the options: $out" ;;
    --version) [ "$out" = "quarlix-gui $version" ] || fail "quarlix-gui --version says '$out', not $version" ;;
  esac
done

[ "$failures" = 0 ] || { echo "$failures failures"; exit 1; }
echo "both packages pass"
