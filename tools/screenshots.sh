#!/usr/bin/env bash
# Writes PNGs of the window's pages and dialogs, drawn on IMAGE with real
# fonts (offscreen, or under Xvfb with --xvfb), at 1280x800.
#
#   tools/screenshots.sh IMAGE OUTDIR [--xvfb]
#
# The program is build-test/bin/quarlix-screenshots (or $QUARLIX_SCREENSHOTS);
# its settings and index cache go under OUTDIR/settings.
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
if [ "${3:-}" = "--xvfb" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$tool" "$image" "$out"
fi
QT_QPA_PLATFORM=offscreen exec "$tool" "$image" "$out"
