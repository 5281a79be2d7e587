#!/usr/bin/env bash
# Writes PNGs of the window's pages and dialogs, drawn on IMAGE with real
# fonts (offscreen, or under Xvfb with --xvfb), at 1280x800, once on the
# default palette (NAME.png) and once on a dark one (NAME-dark.png).
#
#   tools/screenshots.sh IMAGE OUTDIR [--xvfb]
#
# QUARLIX_SCREENSHOT_THEMES="light" (or "dark") draws only that one.
# The program is build-test/bin/quarlix-screenshots (or $QUARLIX_SCREENSHOTS);
# its settings and index cache go under OUTDIR/settings. The update dialog is
# drawn against a loopback server this script starts (python3 http.server).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
image=${1:?IMAGE}
out=${2:?OUTDIR}
tool=${QUARLIX_SCREENSHOTS:-}
if [ -z "$tool" ]; then
  for b in "$root/build-test/bin/quarlix-screenshots" "$root/build/bin/quarlix-screenshots" \
           "$root/build-rel/bin/quarlix-screenshots"; do
    [ -x "$b" ] && tool=$b && break
  done
fi
[ -n "$tool" ] || { echo "quarlix-screenshots not built (ninja -C build-test quarlix-screenshots)" >&2; exit 1; }
mkdir -p "$out"
case "$image" in
  *.gz) gunzip -c "$image" >"$out/source.img"; image=$out/source.img ;;
esac
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
# The update dialog is drawn on the answer of a loopback server of our own:
# a newer version 2.03.00 (nothing else is contacted).
srv=$(mktemp -d)
mkdir -p "$srv/scr"
printf 'https://example.invalid/download,20300' >"$srv/scr/check_update.php"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$srv" && exec python3 -m http.server --bind 127.0.0.1 "$port" >/dev/null 2>&1) &
srvpid=$!
trap 'kill "$srvpid" 2>/dev/null; rm -rf "$srv"' EXIT
export QUARLIX_UPDATE_URL="http://127.0.0.1:$port"
for _ in $(seq 1 50); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null && break
  sleep 0.1
done
# The thumbnails are drawn on a camera card's deleted photos of their own.
if command -v gm >/dev/null && command -v exiftool >/dev/null && command -v mcopy >/dev/null; then
  "$root/tools/make-thumbnail-fixture.sh" "$out/pictures.img" "$out/pictures" >/dev/null
  export QUARLIX_SCREENSHOT_PICTURES=$out/pictures.img
fi
status=0
for theme in ${QUARLIX_SCREENSHOT_THEMES:-light dark}; do
  args=("$image" "$out")
  [ "$theme" = dark ] && args+=(--dark)
  if [ "${3:-}" = "--xvfb" ]; then
    xvfb-run -a -s "-screen 0 1280x800x24" "$tool" "${args[@]}" || status=$?
  else
    QT_QPA_PLATFORM=offscreen "$tool" "${args[@]}" || status=$?
  fi
done
exit "$status"
