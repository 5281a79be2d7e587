#!/usr/bin/env bash
# Builds a FAT test image with mkfs.fat and mtools (never mounted) and prints
# what it wrote, one action per line.
#
#   make-fat-fixture.sh fat12|fat16|fat32 IMAGE
#       The standard tree: 8.3 and long names, a non-ASCII long name, a live
#       folder larger than one cluster with deleted entries past its first
#       cluster, deleted files (mdel) and deleted folder trees (mdeltree) at the
#       root and inside a live folder, and a deleted file whose clusters were
#       partly taken by a later file.
#   make-fat-fixture.sh bench IMAGE [FILES] [DELETED]
#       FAT32 with FILES small files (default 50000) in folders of 1000, of
#       which DELETED (default 10000) are deleted.
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
export LC_ALL=C.UTF-8
kind=${1:?kind}
img=${2:?image}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { printf '%s\n' "$*"; }
put() {  # put SIZE HOSTNAME IMAGEPATH
  head -c "$1" /dev/urandom >"$work/$2"
  mcopy -i "$img" "$work/$2" "::$3"
  say "file $3 $1"
}

case "$kind" in
  fat12) mkfs.fat -C -F 12 -s 1 -S 512 -n QFAT12 "$img" 2048 >/dev/null ;;
  fat16) mkfs.fat -C -F 16 -s 4 -S 512 -n QFAT16 "$img" 32768 >/dev/null ;;
  fat32|bench) mkfs.fat -C -F 32 -s 1 -S 512 -n QFAT32 "$img" 131072 >/dev/null ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
say "image $kind $img"

if [ "$kind" = bench ]; then
  files=${3:-50000}
  deleted=${4:-10000}
  per=1000
  folders=$(( (files + per - 1) / per ))
  mkdir -p "$work/tree"
  n=0
  for ((d = 0; d < folders; d++)); do
    dir=$(printf 'folder%03d' "$d")
    mkdir -p "$work/tree/$dir"
    for ((i = 0; i < per && n < files; i++, n++)); do
      printf 'file %d\n' "$n" >"$work/tree/$dir/$(printf 'file%04d.dat' "$i")"
    done
  done
  mcopy -s -i "$img" "$work/tree/"* ::/
  say "files $files in $folders folders"
  # Delete the first DELETED/folders files of every folder.
  left=$deleted
  for ((d = 0; d < folders && left > 0; d++)); do
    dir=$(printf 'folder%03d' "$d")
    take=$(( deleted / folders ))
    (( take > left )) && take=$left
    names=()
    for ((i = 0; i < take; i++)); do names+=("::/$dir/$(printf 'file%04d.dat' "$i")"); done
    mdel -i "$img" "${names[@]}"
    left=$(( left - take ))
  done
  say "deleted $deleted"
  exit 0
fi

# Live items.
put 700 readme.txt /README.TXT
put 300 lower.txt /lower.txt
mmd -i "$img" ::/DOCS && say "dir /DOCS"
put 1500 keep.txt "/DOCS/Keep this one.txt"
mmd -i "$img" ::/DOCS/SUB && say "dir /DOCS/SUB"
put 20 sub.txt /DOCS/SUB/sub.txt
mmd -i "$img" ::/KEEP && say "dir /KEEP"
put 10 k.txt /KEEP/k.txt
# A folder larger than one cluster: 90 long names of 3 slots each.
mmd -i "$img" ::/BIG && say "dir /BIG"
for i in $(seq -w 1 90); do
  printf 'entry %s\n' "$i" >"$work/big$i"
  mcopy -i "$img" "$work/big$i" "::/BIG/Entry number $i of the big folder.txt"
done
say "files /BIG/Entry number NN of the big folder.txt 01..90"

# Items that will be deleted.
put 1234 letter.txt /LETTER.TXT
put 5000 long.txt "/A long file name.txt"
put 2222 uni.txt "/Ünïcødé файл.txt"
put 100 zero.txt /ZERO.TXT
: >"$work/empty" && mcopy -i "$img" "$work/empty" ::/EMPTY.DAT && say "file /EMPTY.DAT 0"
mmd -i "$img" "::/DOCS/Old Stuff" "::/DOCS/Old Stuff/inner" && say "dir /DOCS/Old Stuff/inner"
put 3000 note1.txt "/DOCS/Old Stuff/note one.txt"
put 40 n2.txt "/DOCS/Old Stuff/N2.TXT"
put 4100 deep.txt "/DOCS/Old Stuff/inner/deep file.txt"
put 2500 gone.doc /DOCS/gone.doc
mmd -i "$img" ::/TOPDEL && say "dir /TOPDEL"
put 900 t1.txt /TOPDEL/t1.txt
put 64 t2.bin "/TOPDEL/Second file.bin"
put 40000 big.bin /PARTLY.BIN

# A deleted file whose first clusters are taken by a later file (the first
# write after its deletion takes the lowest free clusters, which are its own).
mdel -i "$img" ::/PARTLY.BIN && say "deleted /PARTLY.BIN"
if [ "$kind" = fat32 ]; then
  # Forget the FAT32 next-free hint so that the next write, like on FAT12/16,
  # takes the lowest free clusters.
  fsinfo=$(od -An -tu2 -j48 -N2 "$img" | tr -d ' ')
  printf '\377\377\377\377' | dd of="$img" bs=1 seek=$((fsinfo * 512 + 492)) conv=notrunc status=none
fi
put 9000 new.bin /DOCS/NEWER.BIN

# Nothing is written after these deletions, so their slots and clusters stay.
mdel -i "$img" ::/LETTER.TXT "::/A long file name.txt" "::/Ünïcødé файл.txt" ::/ZERO.TXT ::/EMPTY.DAT
say "deleted /LETTER.TXT /A long file name.txt /Ünïcødé файл.txt /ZERO.TXT /EMPTY.DAT"
mdel -i "$img" ::/DOCS/gone.doc && say "deleted /DOCS/gone.doc"
mdeltree -i "$img" "::/DOCS/Old Stuff" && say "deltree /DOCS/Old Stuff"
mdeltree -i "$img" ::/TOPDEL && say "deltree /TOPDEL"
for i in 07 45 88 89; do
  mdel -i "$img" "::/BIG/Entry number $i of the big folder.txt"
  say "deleted /BIG/Entry number $i of the big folder.txt"
done
