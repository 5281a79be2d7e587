#!/usr/bin/env bash
# Builds the two Debian packages, quarlix and quarlix-gui, from a clean build
# tree, installed under /usr, and lists them. They are built as Debian builds
# its own packages: the compiler and linker flags of dpkg-buildflags with every
# hardening feature (stack protector, _FORTIFY_SOURCE, full RELRO, BIND_NOW,
# PIE), SOURCE_DATE_EPOCH from the last commit (reproducible dates), and no
# update service: a distributed program asks no server its user did not choose.
#   tools/make-deb.sh [OUTDIR]   (default <build tree>/packages)
# QUARLIX_DEB_BUILD names the build tree (default build-deb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
build=${QUARLIX_DEB_BUILD:-build-deb}
out=${1:-$build/packages}
rm -rf "$build"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt)
fi
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CMake reads CFLAGS, CXXFLAGS and LDFLAGS from the environment; CPPFLAGS
# (-D_FORTIFY_SOURCE=2) goes to both compilers.
cppflags=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS
launcher=$(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache || true)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr $launcher \
  -DQUARLIX_BUILD_TESTS=OFF -DQUARLIX_BUILD_BENCH=OFF -DQUARLIX_UPDATE_BASE_URL= >/dev/null
ninja -C "$build" quarlix quarlix-gui
(cd "$build" && cpack -G DEB >/dev/null)
mkdir -p "$out"
mv "$build"/*.deb "$out"/
ls -1 "$out"/*.deb
