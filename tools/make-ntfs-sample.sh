#!/usr/bin/env bash
# Makes samples/ntfs-sample.img.gz: an 8 MiB NTFS volume (mkntfs) with live
# and deleted files written by tools/ntfs-fixture (libntfs-3g): a deleted file
# in a live folder, a deleted file with a named stream, a deleted compressed
# file, and a lost folder (a deleted folder whose record now holds a file).
#   tools/make-ntfs-sample.sh NTFS_FIXTURE [OUTPUT.img.gz]
set -euo pipefail
FIXTURE=${1:?path of the ntfs-fixture program (build/bin/ntfs-fixture)}
OUT=${2:-"$(dirname "$0")/../samples/ntfs-sample.img.gz"}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
IMG="$WORK/ntfs-sample.img"
truncate -s 8M "$IMG"
mkntfs -F -f -q -L SAMPLE -s 512 -c 1024 "$IMG" >/dev/null 2>&1
fx() { "$FIXTURE" "$IMG" "$@" >>"$WORK/records.txt"; }
# Each step mounts the volume anew, so deletions are on disk before the next one.
fx mkdir /Lost
fx text /Lost/orphan.txt "This file lived in a folder whose record was reused."
fx mkdir /Docs
fx text /Docs/report.txt "Quarterly report, still here."
fx write /Docs/budget.xls random:11 20000
fx stream /Docs/budget.xls:summary text:3 900
fx text /Docs/old-notes.txt "Old notes that were deleted."
fx mkdir /Archive
fx compress-dir /Archive
fx write /Archive/log.txt text:5 60000
# Deletions come after every creation, so no deleted record is taken again...
fx delete /Lost/orphan.txt
fx delete /Lost
fx delete /Docs/budget.xls
fx delete /Docs/old-notes.txt
fx delete /Archive/log.txt
# ...except the lowest free one, /Lost's, which a new file now holds: the
# deleted orphan.txt is left with a parent that is no folder (a lost folder).
fx write /filler.bin random:7 3000
mkdir -p "$(dirname "$OUT")"
gzip -9n < "$IMG" > "$OUT"
echo "wrote $OUT"
