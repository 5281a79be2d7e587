#!/usr/bin/env bash
# Builds the thumbnail benchmark's image: a FAT32 volume (mkfs.fat and
# mtools, never mounted) whose /DCIM held COUNT camera-style JPEGs of
# 2048x1536, all deleted. Each is one of eight plasma pictures (gm) with a
# 160x120 Exif thumbnail (exiftool), made distinct by a COM segment right
# after SOI that carries its number, so every file is a valid JPEG of its
# own (about 100 KB). The files as written stay in HOSTDIR (DSC00001.JPG on).
#   make-thumbnail-bench-fixture.sh IMAGE HOSTDIR COUNT
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
img=$(realpath -m "${1:?image}")
host=${2:?host folder}
count=${3:?count}
[[ $count =~ ^[0-9]+$ && $count -ge 1 && $count -le 99999 ]] || { echo "count must be 1..99999" >&2; exit 2; }
rm -rf "$host"
mkdir -p "$host/base"
colours=(steelblue-orange navy-gold seagreen-pink purple-khaki darkred-skyblue olive-lavender teal-coral sienna-white)
thumbs=(red green blue orange purple teal gold gray)
for i in "${!colours[@]}"; do
  gm convert -size 2048x1536 "plasma:${colours[$i]}" -quality 35 "$host/base/$i.jpg"
  gm convert -size 160x120 "xc:${thumbs[$i]}" -quality 90 "$host/base/$i.thumb.jpg"
  exiftool -q -overwrite_original -Make=Quarlix -Model=Bench "-ThumbnailImage<=$host/base/$i.thumb.jpg" \
    "$host/base/$i.jpg"
done
# COUNT files: base (n % 8) with "picture n" in a COM segment after SOI.
perl -e '
  my ($dir, $count) = @ARGV;
  my @base;
  for my $i (0 .. 7) {
    open(my $in, "<:raw", "$dir/base/$i.jpg") or die "$i.jpg: $!";
    local $/; $base[$i] = <$in>; close $in;
    die "$i.jpg is no JPEG" unless substr($base[$i], 0, 2) eq "\xFF\xD8";
  }
  for my $n (1 .. $count) {
    my $text = sprintf("Quarlix bench picture %05d", $n);
    my $com = "\xFF\xFE" . pack("n", length($text) + 2) . $text;
    my $b = $base[$n % 8];
    open(my $out, ">:raw", sprintf("%s/DSC%05d.JPG", $dir, $n)) or die "$n: $!";
    print $out substr($b, 0, 2), $com, substr($b, 2);
    close $out or die "$n: $!";
  }' "$host" "$count"
rm -rf "$host/base"
# The volume: the files plus a 4 KiB cluster of slack each, the FATs and room.
bytes=$(du -cb "$host"/DSC*.JPG | tail -1 | cut -f1)
kib=$(( bytes / 1024 + count * 4 + 64 * 1024 ))
# 4 KiB clusters, smaller ones on a small volume: FAT32 wants 65525 of them.
spc=8
while (( spc > 1 && kib * 2 / spc < 70000 )); do spc=$(( spc / 2 )); done
(( kib * 2 / spc >= 70000 )) || kib=35000
rm -f "$img"
mkfs.fat -C -F 32 -s "$spc" -n BENCH "$img" "$kib" >/dev/null
mmd -i "$img" ::/DCIM
# Many files per call, in name order (so the clusters follow the names).
(cd "$host" && printf '%s\0' DSC*.JPG | sort -z | xargs -0 -n 1000 sh -c 'mcopy -i "$0" "$@" ::/DCIM/' "$img")
mdel -i "$img" '::/DCIM/*.JPG'
