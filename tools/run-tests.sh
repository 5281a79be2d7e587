#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds with
# AddressSanitizer + UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
BUILD=${QUARLIX_TEST_BUILD:-build-test}
# Warnings are errors here, so a new one fails CI.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARLIX_SANITIZE=ON -DQUARLIX_BUILD_BENCH=ON \
  -DQUARLIX_WERROR=ON >/dev/null
ninja -C "$BUILD"
cd "$BUILD"
# Leak checking stays on (the default); the NTFS fixture program turns it off for itself.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --output-on-failure -j"$(nproc)" --timeout 900
