#!/usr/bin/env bash
# Builds the preview's test image: a 32 MiB FAT16 volume (mkfs.fat and
# mtools, never mounted) whose deleted files are real pictures made by
# GraphicsMagick and a text file, plus a deleted JPEG whose second half a
# later file took.
#   make-preview-fixture.sh IMAGE [--big]
#     /Photos  IMG_2041.JPG 640x480, Beach.png 320x200, scan.tif 120x90,
#              damaged.jpg 400x300 (second half overwritten); all deleted
#     /Docs    notes.txt (deleted), report.txt (live)
#     /Other   setup.exe, garbled.txt (binary bytes), broken.png (no picture): live
#     --big    also /Photos/big.jpg, a deleted JPEG just under 10 MiB
# Prints one line per file: path, size.
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
img=${1:?image}
big=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkfs.fat -C -F 16 -s 4 -n PREVIEW "$img" 32768 >/dev/null
mmd -i "$img" ::/Photos ::/Docs ::/Other
put() {  # put HOSTFILE IMAGEPATH
  mcopy -i "$img" "$1" "::$2"
  printf '%s %s\n' "$2" "$(stat -c %s "$1")"
}
gm convert -size 400x300 plasma:red-yellow -quality 85 "$work/damaged.jpg"
gm convert -size 640x480 plasma:steelblue-orange -quality 90 "$work/IMG_2041.JPG"
gm convert -size 320x200 gradient:gold-seagreen "$work/Beach.png"
gm convert -size 120x90 plasma:fractal -compress LZW "$work/scan.tif"
{ echo "Shopping list"; for i in $(seq 1 40); do echo "line $i: milk, bread, apples"; done; } >"$work/notes.txt"
echo "A live report." >"$work/report.txt"
# The damaged photo first, so that it lies on the first free clusters, then
# the others (live for now, so that they keep their clusters and their
# folder entries stay where they are).
put "$work/damaged.jpg" /Photos/damaged.jpg
for f in IMG_2041.JPG Beach.png scan.tif; do put "$work/$f" "/Photos/$f"; done
put "$work/notes.txt" /Docs/notes.txt
put "$work/report.txt" /Docs/report.txt
if [ "$big" = --big ]; then
  gm convert -size 1850x1850 xc:gray +noise Random -quality 100 "$work/big.jpg"
  [ "$(stat -c %s "$work/big.jpg")" -lt 10485760 ] || { echo "big.jpg is not under 10 MiB" >&2; exit 1; }
  put "$work/big.jpg" /Photos/big.jpg
fi
# The damaged photo goes; its first half comes back on the same clusters
# (the same bytes), a text takes the second half, and the first half goes
# again: the deleted photo keeps its head and has lost its tail.
mdel -i "$img" ::/Photos/damaged.jpg
size=$(stat -c %s "$work/damaged.jpg")
cluster=2048
half=$(( (size / 2 + cluster - 1) / cluster * cluster ))
head -c "$half" "$work/damaged.jpg" >"$work/part1.bin"
(yes "this text took the clusters of a deleted photo" || true) | head -c $(( size - half )) >"$work/filler.txt"
mcopy -i "$img" "$work/part1.bin" ::/Other/part1.bin
mcopy -i "$img" "$work/filler.txt" ::/Other/filler.txt
# Live files the previews cannot show: a program (binary bytes), a text
# name over binary bytes, and a picture name over bytes that are no picture.
{ printf 'MZ\220\0\3\0\0\0\4\0\0\0\377\377\0\0'; seq 1 400 | gzip -n -9; } >"$work/setup.exe"
{ printf 'log start\0\0\0\1\2\3'; seq 1 300 | gzip -n -9; } >"$work/garbled.txt"
{ printf '\211PNG\r\n\032\n'; head -c 2000 "$work/filler.txt"; } >"$work/broken.png"
for f in setup.exe garbled.txt broken.png; do mcopy -i "$img" "$work/$f" "::/Other/$f"; done
mdel -i "$img" ::/Other/part1.bin
for f in IMG_2041.JPG Beach.png scan.tif; do mdel -i "$img" "::/Photos/$f"; done
mdel -i "$img" ::/Docs/notes.txt
if [ "$big" = --big ]; then mdel -i "$img" ::/Photos/big.jpg; fi
