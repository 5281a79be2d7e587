#!/usr/bin/env bash
# Builds the exFAT image of the index benchmark (bench/exfat): mkfs.exfat on
# a sparse file, the files written and deleted through exfat-fuse on a loop
# device. Prints what it did, one action per line.
#
#   make-exfat-bench-image.sh bench IMAGE [FILES] [DELETED]
#       FILES small files (default 100000) in folders of 1000 (512-byte
#       clusters), of which DELETED (default 20000) are deleted, spread
#       evenly over the folders (the first ones of each folder).
#
# Needs root (losetup), /dev/fuse, mkfs.exfat and mount.exfat-fuse; without
# them it says what is missing and exits 77.
set -euo pipefail
export LC_ALL=C.UTF-8
kind=${1:?kind}
img=${2:?image}
[ "$kind" = bench ] || { echo "unknown kind $kind" >&2; exit 2; }
files=${3:-100000}
deleted=${4:-20000}
per=1000

unavailable() { echo "make-exfat-bench-image: $*" >&2; exit 77; }
for tool in mkfs.exfat mount.exfat-fuse losetup; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed (exfatprogs, exfat-fuse, util-linux)"
done
[ -e /dev/fuse ] || unavailable "/dev/fuse is missing"

work=$(mktemp -d)
mnt=$work/mnt
dev=""
mounted=0
complete=0
cleanup() {
  if [ "$mounted" = 1 ]; then umount "$mnt" 2>/dev/null || true; fi
  if [ -n "$dev" ]; then losetup -d "$dev" 2>/dev/null || true; fi
  rm -rf "$work"
  [ "$complete" = 1 ] || rm -f "$img"  # no half-made image is left behind
}
trap cleanup EXIT
mkdir -p "$mnt"
say() { printf '%s\n' "$*"; }

# Room for the files (one 512-byte cluster each), their folders (three
# entries a file) and a margin; at least 16 MiB.
mib=$(( (files * (512 + 96) * 3 / 2) / 1048576 + 16 ))
rm -f "$img"
truncate -s "${mib}M" "$img"
mkfs.exfat -c 512 -L QXBENCH "$img" >/dev/null
say "image bench $img ${mib} MiB"
dev=$(losetup -f --show "$img" 2>/dev/null) || unavailable "no loop device (losetup needs root)"
mount.exfat-fuse "$dev" "$mnt" >/dev/null 2>&1 || unavailable "mount.exfat-fuse $dev did not mount it"
mounted=1

# The tree is made on the host and copied in with one cp.
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
cp -r "$work/tree/." "$mnt/"
say "files $files in $folders folders"
left=$deleted
for ((d = 0; d < folders && left > 0; d++)); do
  dir=$(printf 'folder%03d' "$d")
  take=$(( (left + folders - d - 1) / (folders - d) ))
  names=()
  for ((i = 0; i < take; i++)); do names+=("$mnt/$dir/$(printf 'file%04d.dat' "$i")"); done
  rm -f "${names[@]}"
  left=$(( left - take ))
done
say "deleted $deleted"
umount "$mnt"
mounted=0
losetup -d "$dev"
dev=""
complete=1
