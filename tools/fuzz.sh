#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan, in
# build-fuzz, apart from the normal build) and runs one of them.
#
#   tools/fuzz.sh list              the targets
#   tools/fuzz.sh build             build them all (and the seeds)
#   tools/fuzz.sh TARGET SECONDS [LIBFUZZER OPTIONS...]
#       runs TARGET for SECONDS on its seeds (build-fuzz/seeds/TARGET, made
#       by tools/fuzz-seeds.sh when missing) and the kept corpus
#       (tests/fuzz-corpus/TARGET, read only); new inputs go to
#       build-fuzz/corpus/TARGET, faults to build-fuzz/crashes/TARGET/.
#       Prints libFuzzer's final statistics (executions, exec/s, coverage).
#
# Environment: FUZZ_BUILD (default build-fuzz), FUZZ_JOBS (ninja -j, default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
targets=$(sed -n 's/^ *{"\([a-z0-9_]*\)", Fuzz.*/\1/p' "$root/fuzz/FuzzTargets.cpp")

usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

build_all() {
  command -v clang++-14 >/dev/null || { echo "clang++-14 missing: run tools/setup.sh" >&2; exit 1; }
  if [ ! -f "$build/build.ninja" ]; then
    # ccache speeds rebuilds where it is installed; the build does not need it.
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DQUARLIX_FUZZ=ON -DQUARLIX_BUILD_TESTS=OFF -DQUARLIX_BUILD_BENCH=OFF \
      "${launcher[@]}" >/dev/null
  fi
  ninja -C "$build" -j "${FUZZ_JOBS:-2}" fuzz_all >"$build/ninja.log" 2>&1 || { cat "$build/ninja.log" >&2; exit 1; }
}

[ $# -ge 1 ] || usage
case "$1" in
  list) printf '%s\n' $targets; exit 0 ;;
  build) build_all; exit 0 ;;
  -h|--help) usage ;;
esac
target=$1
seconds=${2:?seconds}
shift 2
printf '%s\n' $targets | grep -qx "$target" || { echo "unknown target $target (tools/fuzz.sh list)" >&2; exit 2; }
build_all
[ -d "$build/seeds/$target" ] || "$root/tools/fuzz-seeds.sh" "$build"

corpus=$build/corpus/$target
crashes=$build/crashes/$target
mkdir -p "$corpus" "$crashes" "$build/seeds/$target"
dirs=("$corpus" "$build/seeds/$target")
[ -d "$root/tests/fuzz-corpus/$target" ] && dirs+=("$root/tests/fuzz-corpus/$target")
# Volume images need room; the byte parsers stay small.
case "$target" in
  ntfs_volume) maxlen=786432 ;;
  fat_volume|exfat_volume|surface_scan|fat_cache|ntfs_cache) maxlen=524288 ;;
  *) maxlen=65536 ;;
esac
cd "$build"
export QUARLIX_SOURCE_DIR=$root
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# -rss_limit_mb: a parser that takes memory from an on-disk length is a fault.
"$build/bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -max_len="$maxlen" \
  -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$crashes/" "$@" "${dirs[@]}" 2>&1 |
  grep -vE '^#[0-9]+\s+(NEW|REDUCE|pulse)|# Uses: [0-9]+$|recommended dictionary' || true
ls "$crashes" | sed 's/^/fault: /'
