#!/usr/bin/env bash
# Makes samples/fat-sample.img.gz: a 4 MiB FAT16 volume with live and deleted
# files and folders, written with mkfs.fat and mtools (no mounting).
#   tools/make-fat-sample.sh [OUTPUT.img.gz]
set -euo pipefail
OUT=${1:-"$(dirname "$0")/../samples/fat-sample.img.gz"}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
IMG="$WORK/fat-sample.img"
export MTOOLS_SKIP_CHECK=1
mkfs.fat -C -F 16 -s 1 -n SAMPLE -i 5A3C0001 "$IMG" 4096 >/dev/null

mk() {  # mk NAME SIZE SEED: deterministic content
  head -c "$2" < <(yes "Quarlix sample $1 seed $3 ----------------------------------------") > "$WORK/$1"
}
mk report.txt 3000 1
mk photo.jpg 40000 2
mk notes.txt 500 3
mk budget.xls 12000 4
mk readme.txt 700 5
mk old-letter.doc 9000 6

mmd -i "$IMG" ::/Docs ::/Docs/Old ::/Photos ::/Trash
mcopy -i "$IMG" "$WORK/report.txt" ::/Docs/report.txt
mcopy -i "$IMG" "$WORK/budget.xls" "::/Docs/Budget 2026.xls"
mcopy -i "$IMG" "$WORK/old-letter.doc" "::/Docs/Old/old-letter.doc"
mcopy -i "$IMG" "$WORK/photo.jpg" "::/Photos/Holiday photo.jpg"
mcopy -i "$IMG" "$WORK/notes.txt" ::/Trash/notes.txt
mcopy -i "$IMG" "$WORK/readme.txt" ::/readme.txt
# Delete a file in a live folder, a whole folder tree and a file at the root.
mdel -i "$IMG" "::/Docs/Budget 2026.xls"
mdel -i "$IMG" "::/Photos/Holiday photo.jpg"
mdeltree -i "$IMG" ::/Trash
mdel -i "$IMG" ::/readme.txt
mkdir -p "$(dirname "$OUT")"
gzip -9n < "$IMG" > "$OUT"
echo "wrote $OUT"
