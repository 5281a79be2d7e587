#!/usr/bin/env bash
# Builds the two Debian packages, quarlix and quarlix-gui, from a clean build
# tree (build-deb), installed under /usr, and lists them.
#   tools/make-deb.sh [OUTDIR]   (default build-deb/packages)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
out=${1:-build-deb/packages}
rm -rf build-deb
launcher=$(command -v ccache >/dev/null && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache || true)
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr $launcher \
  -DQUARLIX_BUILD_TESTS=OFF -DQUARLIX_BUILD_BENCH=OFF >/dev/null
ninja -C build-deb quarlix quarlix-gui
(cd build-deb && cpack -G DEB >/dev/null)
mkdir -p "$out"
mv build-deb/*.deb "$out"/
ls -1 "$out"/*.deb
