#!/usr/bin/env bash
# Builds an exFAT test image with mkfs.exfat (exfatprogs), writes and deletes
# its files through exfat-fuse on a loop device, patches what exfat-fuse
# cannot make with tools/exfat-patch.py (after unmounting), and prints what it
# did, one action per line:
#   image KIND IMAGE | dir PATH | file PATH SIZE | deleted PATH |
#   deleted-folder PATH | fragmented PATH | vdl PATH VALID SIZE | large PATH SIZE |
#   reused PATH TAKEN CLUSTERS (live files took TAKEN of its CLUSTERS clusters) |
#   overlaid PATH OTHER (its clusters hold the bytes of OTHER, deleted too) |
#   badsum PATH NAME-AS-STORED | files N in M folders | deleted N |
#   orphaned PATH (its deleted set lies in a folder cluster exfat-fuse freed)
#
#   make-exfat-fixture.sh standard IMAGE [ORIGINALS_DIR]
#       128 MiB, label QEXFAT, 4 KiB clusters. Deleted files in the root and
#       in live folders, a deleted folder tree (rm -r), a 255-unit name and
#       non-ASCII names, a deleted fragmented file (FAT chain), deleted files
#       whose clusters later files took (wholly and partly), a deleted
#       contiguous file of 100 MiB, a deleted file whose valid data length is
#       below its size, a deleted entry set whose checksum no longer
#       matches, and deleted files whose sets lie in a folder cluster that
#       exfat-fuse freed when it shrank the folder. With ORIGINALS_DIR, every file's content as a reader should
#       recover it is kept there under its path in the image (the vdl file:
#       its bytes up to the valid length, zeros after).
#   make-exfat-fixture.sh large IMAGE [ORIGINALS_DIR]
#       A sparse 6 GiB image (label QEXLARGE, 4 KiB clusters, about 10 MB of
#       it written) with one live file and one deleted file of 4.5 GiB whose
#       valid data length is 1 MiB; its next 1 MiB of clusters hold random
#       bytes, which read as zeros. ORIGINALS_DIR keeps its first 2 MiB as a
#       reader should recover them (1 MiB of data, 1 MiB of zeros); the rest
#       is zeros too.
#   make-exfat-fixture.sh split IMAGE [ORIGINALS_DIR]
#       16 MiB, label QEXSPLIT, 4 KiB clusters. Two folders written between
#       their files: each file takes the cluster after the folder's last, so
#       a folder that grows goes on in a cluster past its files' data, and
#       entry sets run from one of its clusters into the next. Then every
#       file but each folder's first is deleted and exfat-fuse frees the
#       folders' later clusters. In /cut a set runs from the cluster the
#       folder keeps into the first freed one; in /whole the kept cluster
#       ends with a whole set (32 sets of 4 entries), so its freed clusters
#       follow no folder, and a set runs from the first into the second.
#       /contig holds empty files only, so its clusters follow one another
#       and a set runs from the kept cluster into the freed one after it.
#       Prints "split FOLDER CLUSTERS" with the clusters each folder had
#       before the deletions.
#   make-exfat-fixture.sh bench IMAGE [FILES] [DELETED]
#       FILES small files (default 100000) in folders of 1000, of which
#       DELETED (default 20000) are deleted, spread over the folders.
#
# The file of more than 4 GiB: its clusters must lie inside the volume, so
# the volume is larger than 4 GiB. Rather than write 4 GiB, the maker writes
# a 2 MiB contiguous file last, deletes it, and sets the DataLength of its
# deleted entry set to 4.5 GiB and its ValidDataLength to 1 MiB (NoFatChain
# set, the checksum recomputed): the 1.18 M clusters it then claims are free
# and inside the volume, and read as zeros past the valid length. It has an image of its own because a
# reader that scans every cluster (Sleuth Kit's fls looks for orphan entries)
# takes many seconds over 6 GiB, and the standard image is read by such
# checks many times.
#
# What exfat-fuse (1.3.0) does, which readers must expect:
#  - New files take the lowest free cluster; a growing file takes the first
#    free cluster after its last one. A file stays NoFatChain (no FAT entries
#    written at all) while its clusters are contiguous; once it must jump it
#    gets a FAT chain for all its clusters and NoFatChain is cleared.
#  - On delete it clears bit 0x80 of every entry type of the set, keeps the
#    rest of the set (names, sizes, first cluster, the checksum of the set as
#    it was in use), clears the file's bits in the allocation bitmap and sets
#    every FAT entry of a FAT-chained file to 0: the chain of a deleted
#    fragmented file is gone, only its first cluster and size remain.
#  - It always writes ValidDataLength = DataLength (growing a file writes
#    zeros), so a smaller valid length is patched in.
#  - A new entry set takes the first free run of slots in its folder,
#    deleted slots included, so after a deletion nothing new is made in that
#    folder.
#  - After a delete it shrinks the folder to its last set in use: the
#    clusters after it are freed (their FAT links cut, the folder's
#    DataLength lowered) with the deleted sets still in them. Those sets
#    belong to no folder any more: only a scan of free clusters finds them
#    (Sleuth Kit lists them under $OrphanFiles).
#
# Needs root (losetup), /dev/fuse, mkfs.exfat, mount.exfat-fuse and python3;
# without them it says what is missing and exits 77 (tests skip, or fail
# under CI=true).
set -euo pipefail
export LC_ALL=C.UTF-8
kind=${1:?kind}
img=${2:?image}
here=$(cd "$(dirname "$0")" && pwd)
patcher="$here/exfat-patch.py"

unavailable() { echo "make-exfat-fixture: $*" >&2; exit 77; }
for tool in mkfs.exfat mount.exfat-fuse losetup python3; do
  command -v "$tool" >/dev/null || unavailable "$tool is not installed (exfatprogs, exfat-fuse, util-linux, python3)"
done
[ -e /dev/fuse ] || unavailable "/dev/fuse is missing: FUSE is not available here"

work=$(mktemp -d)
mnt="$work/mnt"
dev=""
mounted=0
cleanup() {
  if [ "$mounted" = 1 ]; then umount "$mnt" 2>/dev/null || true; fi
  if [ -n "$dev" ]; then losetup -d "$dev" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

say() { printf '%s\n' "$*"; }
attach() {
  dev=$(losetup -f --show "$img" 2>/dev/null) || unavailable "no loop device (losetup -f --show needs root and /dev/loop*)"
  mount.exfat-fuse "$dev" "$mnt" >/dev/null 2>&1 || unavailable "mount.exfat-fuse $dev failed: FUSE is not usable here"
  mounted=1
}
detach() {
  umount "$mnt"
  mounted=0
  losetup -d "$dev"
  dev=""
}

case "$kind" in
  standard) rm -f "$img"; truncate -s 128M "$img"; mkfs.exfat -c 4K -L QEXFAT "$img" >/dev/null ;;
  large) rm -f "$img"; truncate -s 6G "$img"; mkfs.exfat -c 4K -L QEXLARGE "$img" >/dev/null ;;
  bench) rm -f "$img"; truncate -s 256M "$img"; mkfs.exfat -c 512 -L QEXBENCH "$img" >/dev/null ;;
  split) rm -f "$img"; truncate -s 16M "$img"; mkfs.exfat -c 4K -L QEXSPLIT "$img" >/dev/null ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
say "image $kind $img"
attach

if [ "$kind" = bench ]; then
  files=${3:-100000}
  deleted=${4:-20000}
  per=1000
  folders=$(( (files + per - 1) / per ))
  # The tree is made here first and copied in with one cp: the files are
  # still made one by one through FUSE, but no process starts per file.
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
  # The first DELETED/folders files of every folder (the rest in the last ones).
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
  detach
  exit 0
fi

orig=${3:-}
[ -n "$orig" ] && mkdir -p "$orig"
keep() {  # keep IMAGEPATH HOSTFILE: the content a reader should recover
  [ -n "$orig" ] || return 0
  mkdir -p "$(dirname "$orig$1")"
  cp "$2" "$orig$1"
}
put() {  # put SIZE IMAGEPATH
  head -c "$1" /dev/urandom >"$work/data"
  cp "$work/data" "$mnt$2"
  keep "$2" "$work/data"
  say "file $2 $1"
}
mkd() { mkdir "$mnt$1"; say "dir $1"; }

if [ "$kind" = split ]; then
  # Sets of 3 entries (a name of up to 15 units) and of 4 (16 to 30 units):
  # 128 entries to a cluster.
  mkd /cut
  for i in $(seq -w 1 100); do put 100 "/cut/c$i.bin"; done
  mkd /whole
  for i in $(seq -w 1 32); do put 100 "/whole/a long name $i.bin"; done
  for i in $(seq -w 1 60); do put 100 "/whole/w$i.bin"; done
  # Empty files take no cluster: this folder's clusters follow one another.
  mkd /contig
  for i in $(seq -w 1 100); do put 0 "/contig/e$i.dat"; done
  for d in /cut /whole /contig; do say "split $d $(( $(stat -c %s "$mnt$d") / 4096 ))"; done
  for f in "$mnt"/cut/*.bin "$mnt"/whole/*.bin "$mnt"/contig/*.dat; do
    case "$f" in */cut/c001.bin | *"/whole/a long name 01.bin" | */contig/e001.dat) continue ;; esac
    rm "$f"
    say "deleted ${f#"$mnt"}"
  done
  detach
  for d in /cut /whole /contig; do
    grep -q '^clusters 1 used 1$' <<<"$(python3 "$patcher" "$img" show "$d")" ||
      { echo "make-exfat-fixture: $d kept more than its first cluster" >&2; exit 1; }
  done
  exit 0
fi

if [ "$kind" = large ]; then
  put 1000 /small.txt
  put 2097152 /large.bin   # written last: the clusters after it stay free
  rm "$mnt/large.bin"
  if [ -n "$orig" ]; then
    head -c 1048576 "$orig/large.bin" >"$work/large"
    head -c 1048576 /dev/zero >>"$work/large"
    cp "$work/large" "$orig/large.bin"
  fi
  say "deleted /large.bin"
  detach
  python3 "$patcher" "$img" set /large.bin size=4831838208 vdl=1048576 flags=3
  grep -q '^size 4831838208$' <<<"$(python3 "$patcher" "$img" show /large.bin)" || { echo "make-exfat-fixture: /large.bin was not raised" >&2; exit 1; }
  say "large /large.bin 4831838208"
  exit 0
fi

long="A long name $(printf 'x%.0s' $(seq 1 239)).txt"   # 255 UTF-16 units
uni="Фото_été_日本.jpg"
wide="$(printf '文%.0s' $(seq 1 80)).txt"                 # 84 units, 244 UTF-8 bytes

# Live items, and the items that will be deleted, written in this order so
# that their clusters follow one another.
put 700 /README.txt
mkd /keep
put 1500 /keep/keep.txt
mkd /docs
put 2000 /docs/live.txt
put 25000 /docs/gone.doc
put 33000 "/docs/$uni"
put 20000 /docs/vdl.bin
mkd /old
mkd /old/inner
put 3000 "/old/note one.txt"
put 40 /old/N2.TXT
put 4100 "/old/inner/deep file.txt"
put 0 /old/inner/empty.dat
put 1234 /letter.txt
put 5000 "/$long"
put 6000 "/$wide"
put 0 /EMPTY.DAT
put 3333 /BADSUM.TXT

# A fragmented file: A, B, C in a row, B deleted, A grown through B's hole
# and on past C (exfat-fuse then gives A a FAT chain). B's clusters hold
# A's bytes now; A is deleted later, so they are free again and nothing on
# the volume tells that B's bytes are gone. Nothing new is made in /frag after B's deletion.
mkd /frag
put 20000 /frag/A.bin
put 20000 /frag/B.bin
put 20000 /frag/C.bin
rm "$mnt/frag/B.bin"
say "deleted /frag/B.bin"
head -c 60000 /dev/urandom >"$work/more"
cat "$work/more" >>"$mnt/frag/A.bin"
if [ -n "$orig" ]; then cat "$work/more" >>"$orig/frag/A.bin"; fi
say "file /frag/A.bin 80000"
say "overlaid /frag/B.bin /frag/A.bin"

# A live folder of two clusters (32 sets of 4 entries fill one), whose last
# files are deleted later: exfat-fuse then frees its second cluster.
mkd /many
for i in $(seq -w 1 40); do
  head -c 1000 /dev/urandom >"$work/data"
  cp "$work/data" "$mnt/many/entry $i of many.txt"
  keep "/many/entry $i of many.txt" "$work/data"
done
for i in $(seq -w 1 40); do say "file /many/entry $i of many.txt 1000"; done

# A deleted file whose first clusters a later file takes: nothing below its
# clusters is free, and a new file starts at the lowest free cluster.
put 40000 /PARTLY.BIN
put 104857600 /big100.bin
rm "$mnt/PARTLY.BIN"
say "deleted /PARTLY.BIN"
put 9000 /keep/NEWER.BIN

# The deletions; nothing is written after them, so their clusters stay.
for f in /letter.txt "/$long" "/$wide" /EMPTY.DAT /BADSUM.TXT /docs/gone.doc "/docs/$uni" /docs/vdl.bin \
         /frag/A.bin /big100.bin; do
  rm "$mnt$f"
  say "deleted $f"
done
say "fragmented /frag/A.bin"
rm -r "$mnt/old"
say "deleted-folder /old"
rm "$mnt/many/entry 05 of many.txt"
say "deleted /many/entry 05 of many.txt"
for i in $(seq 40 -1 33); do
  rm "$mnt/many/entry $i of many.txt"
  say "deleted /many/entry $i of many.txt"
done
detach

# Patches of the deleted sets (the checksums recomputed, except for BADSUM).
python3 "$patcher" "$img" set /docs/vdl.bin vdl=5000
if [ -n "$orig" ]; then
  head -c 5000 "$orig/docs/vdl.bin" >"$work/vdl"
  head -c 15000 /dev/zero >>"$work/vdl"
  cp "$work/vdl" "$orig/docs/vdl.bin"
fi
say "vdl /docs/vdl.bin 5000 20000"
python3 "$patcher" "$img" corrupt /BADSUM.TXT
say "badsum /BADSUM.TXT CADSUM.TXT"

# What exfat-fuse was asked to make, read back from the image.
fail() { echo "make-exfat-fixture: $*" >&2; exit 1; }
frag=$(python3 "$patcher" "$img" show /frag/A.bin)
grep -q '^layout fatchain' <<<"$frag" && grep -q '^flags 1$' <<<"$frag" || fail "/frag/A.bin did not get a FAT chain"
partly=$(python3 "$patcher" "$img" show /PARTLY.BIN | sed -n 's/^clusters \([0-9]*\) used \([0-9]*\)$/\1 \2/p')
[ "${partly#* }" -gt 0 ] && [ "${partly#* }" -lt "${partly% *}" ] || fail "/PARTLY.BIN is not partly reused ($partly)"
say "reused /PARTLY.BIN ${partly#* } ${partly% *}"
grep -q '^size 4096$' <<<"$(python3 "$patcher" "$img" show /many)" || fail "/many kept its second cluster"
for i in $(seq 33 40); do say "orphaned /many/entry $i of many.txt"; done
grep -q '^vdl 5000$' <<<"$(python3 "$patcher" "$img" show /docs/vdl.bin)" || fail "/docs/vdl.bin kept its valid length"
grep -q ' bad CADSUM.TXT$' <<<"$(python3 "$patcher" "$img" ls /)" || fail "the BADSUM.TXT set still matches its checksum"
