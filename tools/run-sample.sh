#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds quarlix and runs the
# main job on the sample image shipped in samples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARLIX_BUILD_TESTS=OFF >/dev/null
ninja -C build quarlix
mkdir -p build/sample
gunzip -c samples/fat-sample.img.gz > build/sample/fat-sample.img
echo "== quarlix info samples/fat-sample.img"
build/bin/quarlix info build/sample/fat-sample.img
