#!/usr/bin/env bash
# Builds the thumbnails' test image: a 32 MiB FAT16 volume (mkfs.fat and
# mtools, never mounted) whose /Camera folder holds deleted pictures of every
# kind the lists show as thumbnails, each also left in HOSTDIR as written:
#   DSC_0001.JPG  1600x1200 blue, a camera-style Exif block with a 160x120
#                 red thumbnail (exiftool), as a camera writes it
#   DSC_0002.JPG  1200x900 with a green Exif thumbnail; a later file took
#                 its second half
#   holiday.png 800x600, banner.gif 400x300, scan.tif 640x480 (LZW)
#   icon.png 32x32, dot.gif 16x16: the small pictures a filter hides
#   make-thumbnail-fixture.sh IMAGE HOSTDIR
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
img=${1:?image}
host=${2:?host folder}
mkdir -p "$host"
mkfs.fat -C -F 16 -s 4 -n THUMBS "$img" 32768 >/dev/null
mmd -i "$img" ::/Camera ::/Other
camera() {  # camera NAME SIZE PICTURE THUMBCOLOUR
  gm convert -size "$2" "$3" -quality 85 "$host/$1"
  gm convert -size 160x120 "xc:$4" -quality 90 "$host/$1.thumb.jpg"
  exiftool -q -overwrite_original -Make=Quarlix -Model=Fixture "-ThumbnailImage<=$host/$1.thumb.jpg" "$host/$1"
}
camera DSC_0002.JPG 1200x900 plasma:steelblue-orange green
camera DSC_0001.JPG 1600x1200 gradient:navy-skyblue red
gm convert -size 800x600 gradient:gold-seagreen "$host/holiday.png"
gm convert -size 400x300 gradient:purple-white "$host/banner.gif"
gm convert -size 640x480 gradient:white-darkred -depth 8 -type TrueColor -compress LZW "$host/scan.tif"
gm convert -size 32x32 xc:orange "$host/icon.png"
gm convert -size 16x16 xc:teal "$host/dot.gif"
# The damaged photo last, so that its clusters are the first free ones once
# it is deleted (and its carved form runs on into free space, not into them).
for f in DSC_0001.JPG holiday.png banner.gif scan.tif icon.png dot.gif DSC_0002.JPG; do
  mcopy -i "$img" "$host/$f" "::/Camera/$f"
done
# The damaged photo goes; its first half comes back on the same clusters,
# a text takes the second half, and the first half goes again.
mdel -i "$img" ::/Camera/DSC_0002.JPG
size=$(stat -c %s "$host/DSC_0002.JPG")
half=$(( (size / 2 + 2047) / 2048 * 2048 ))
head -c "$half" "$host/DSC_0002.JPG" >"$host/part1.bin"
(yes "this text took the clusters of a deleted photo" || true) | head -c $(( size - half )) >"$host/filler.txt"
mcopy -i "$img" "$host/part1.bin" ::/Other/part1.bin
mcopy -i "$img" "$host/filler.txt" ::/Other/filler.txt
mdel -i "$img" ::/Other/part1.bin
for f in DSC_0001.JPG holiday.png banner.gif scan.tif icon.png dot.gif; do mdel -i "$img" "::/Camera/$f"; done
rm -f "$host/part1.bin" "$host/filler.txt"
