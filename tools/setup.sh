#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Every program a test runs comes from here (under CI=true a missing one fails
# its test): mkfs.fat (dosfstools), mcopy/mdel/mdeltree/mshowfat (mtools),
# fdisk/sfdisk (fdisk), fls/istat/icat/blkstat/tsk_recover (sleuthkit), mkntfs
# (ntfs-3g), pffinfo/pffexport (pff-tools), losetup/mount (mount),
# mount.exfat-fuse/mkfs.exfat (exfat-fuse, exfatprogs: the exFAT
# destinations of the recovery tests, as a USB stick is); clang-14 and its
# runtime (libFuzzer, the sanitizers) build the fuzz targets (tools/fuzz.sh);
# Qt 6 Widgets builds the window (quarlix-gui), Xvfb and DejaVu fonts draw its
# screenshots (tools/screenshots.sh). libjpeg (libjpeg62-turbo) decodes a
# recovered JPEG and its Exif thumbnail for the content check. GraphicsMagick
# and OpenJPEG decode the preview's images that Qt cannot; gm,
# opj_compress/opj_decompress, icotool (icoutils) and libUEMF make the image
# samples of its tests; libcurl makes
# the update check's one request; groff, desktop-file-validate and appstreamcli
# check the man pages, the desktop entry and the metainfo; dbus-daemon runs the
# private bus of the UDisks2 test; unicode-data's CaseFolding.txt is what
# tools/gen-casefold.py makes platform/CaseFoldTable.h from, and what the
# search tests check the case folding against. jq reads the JSON lines in
# tools/compare-outputs.sh, pkill (procps) stops a runaway run in
# tools/mutate-run.sh. libewf, libvhdi, libvmdk and libqcow read the image
# containers (E01, VHD/VHDX, VMDK, QCOW2); ewfacquire (ewf-tools), qemu-img
# (qemu-utils), mkfs.ext4 (e2fsprogs) and cryptsetup make their test fixtures
# and the volumes the detection tests name. nbdkit (its ddrescue and log
# filters) behind nbdfuse (libnbd-bin, with fuse3's fusermount3) is the
# failing device of the read-error tests.
# Safe to run repeatedly; needs root (or sudo).
set -euo pipefail
PKGS=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpugixml-dev libcli11-dev nlohmann-json3-dev
  libblkid-dev libudev-dev
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils e2fsprogs cryptsetup-bin
  dosfstools mtools fdisk sleuthkit ntfs-3g ntfs-3g-dev
  pff-tools testdisk mount exfat-fuse exfatprogs
  clang-14 libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libqt6svg6 libgl-dev libegl-dev libxkbcommon-dev
  xvfb xauth fonts-dejavu-core
  libjpeg62-turbo-dev libgraphicsmagick1-dev libopenjp2-7-dev graphicsmagick libopenjp2-tools icoutils libuemf-dev libimage-exiftool-perl
  libcurl4-openssl-dev
  groff-base desktop-file-utils appstream python3 dbus-daemon
  unicode-data
  jq procps
  nbdkit libnbd-bin fuse3 gddrescue
)
# The package check (tests/packaging/check-debs.sh): lintian, hardening-check
# (devscripts) and dpkg-dev (dpkg-buildflags, dpkg-shlibdeps for tools/make-deb.sh);
# what quarlix-gui recommends (qt6-wayland, xdg-utils, udisks2) is installed so
# that dpkg -S can tell which package each runtime-loaded file comes from.
# debootstrap makes a clean Debian 12 to try the packages in by hand.
PKGS+=(
  lintian devscripts dpkg-dev binutils
  qt6-wayland xdg-utils udisks2
  debootstrap
)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
