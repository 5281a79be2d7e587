#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds quarlix and runs the
# main job on the sample image shipped in samples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARLIX_BUILD_TESTS=OFF >/dev/null
ninja -C build quarlix quarlix-gui
mkdir -p build/sample
gunzip -c samples/fat-sample.img.gz > build/sample/fat-sample.img
rm -rf build/sample/recovered
echo "== quarlix info samples/fat-sample.img"
build/bin/quarlix info build/sample/fat-sample.img
echo "== quarlix list --recursive --deleted-only"
build/bin/quarlix --no-cache list build/sample/fat-sample.img --recursive --deleted-only
echo "== quarlix recover --all --to build/sample/recovered"
build/bin/quarlix --no-cache recover build/sample/fat-sample.img --all --to build/sample/recovered
find build/sample/recovered -type f | sort
