#!/usr/bin/env bash
# Mutation run: seeded 1-8 byte changes to NTFS / FAT images, each mutated
# image run through `quarlix list`, `quarlix recover --all` and `quarlix scan
# --to`, recording exit status, signals, timeouts and bytes written.
#
#   tools/mutate-run.sh [--seed N] [--runs N] [--jobs N] [--work DIR] [--keep]
#                       [--images LIST] [--no-shared] [--timeout S]
#
#   QUARLIX          the binary (default build-rel/bin/quarlix)
#   NTFS_FIXTURE     the NTFS fixture maker (default: ntfs-fixture beside QUARLIX)
#   --seed N         PRNG seed (default 1); the same seed gives the same mutations
#   --runs N         mutated images per input image (default 20)
#   --jobs N         runs at once (default 1)
#   --work DIR       work folder (default build-rel/mutate-work); emptied at start
#                    except findings of earlier seeds
#   --keep           keep every run's folder (mutated image, outputs), not only bad ones
#   --images LIST    comma-separated subset of input names (see the "inputs" line)
#   --no-shared      skip the public images under /work/shared/testdata
#   --timeout S      per-command limit (default 30; SIGKILL 5 s later)
#   --focus LIST     comma-separated structure kinds (substrings, e.g.
#                    attr-sizes,runlist) that get two mutations in three
#   --set OFF=VAL,.. one given mutation instead of random ones (to replay a
#                    finding or check a known bug; use with --images and --runs 1)
#
# A run is bad when a command dies from a signal (other than our own timeout
# or size stop), runs past the time limit, writes more than 8x the image size
# to its destination (stopped there: a per-file ulimit plus a watcher on the
# folder), or ends with an exit status outside 0/1/3. Every bad run goes into
# WORK/findings/<image>-<index>/ with the mutation (seed, index, offsets, old
# and new bytes), the command lines, their stderr tails and, for images up to
# 16 MiB, the mutated image (gzip). `tools/mutate.py apply` recreates any
# mutation from its seed and index. Exit status 1 when any run was bad.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
QUARLIX=${QUARLIX:-$root/build-rel/bin/quarlix}
seed=1
runs=20
jobs=1
work=$root/build-rel/mutate-work
keep=0
only=
shared=1
given=
focus=
limit=30
grace=5
shared_dir=${QUARLIX_TESTDATA:-/work/shared/testdata}

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit "${1:-0}"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --seed) seed=${2:?}; shift 2 ;;
    --runs) runs=${2:?}; shift 2 ;;
    --jobs) jobs=${2:?}; shift 2 ;;
    --work) work=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    --images) only=${2:?}; shift 2 ;;
    --no-shared) shared=0; shift ;;
    --timeout) limit=${2:?}; shift 2 ;;
    --set) given=${2:?}; shift 2 ;;
    --focus) focus=${2:?}; shift 2 ;;
    -h|--help) usage 0 ;;
    *) echo "unknown option $1" >&2; usage 2 >&2 ;;
  esac
done
[ -x "$QUARLIX" ] || { echo "no quarlix at $QUARLIX (set QUARLIX)" >&2; exit 2; }
QUARLIX=$(cd "$(dirname "$QUARLIX")" && pwd)/$(basename "$QUARLIX")
NTFS_FIXTURE=${NTFS_FIXTURE:-$(dirname "$QUARLIX")/ntfs-fixture}
mutate=$here/mutate.py

mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -rf "$work/images" "$work/runs" "$work/results" "$work/findings/seed$seed"
mkdir -p "$work/images" "$work/runs" "$work/results" "$work/findings/seed$seed"
findings=$work/findings/seed$seed

# --- Inputs ---------------------------------------------------------------
inputs=()
want() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }
add_input() {  # add_input NAME FILE
  want "$1" || return 0
  python3 "$mutate" regions "$2" >"$work/images/$1.regions.json"
  inputs+=("$1")
}
gunzip -c "$root/samples/fat-sample.img.gz" >"$work/images/fat-sample.img"
add_input fat-sample "$work/images/fat-sample.img"
gunzip -c "$root/samples/ntfs-sample.img.gz" >"$work/images/ntfs-sample.img"
add_input ntfs-sample "$work/images/ntfs-sample.img"
for k in fat12 fat16 fat32; do
  if want "fixture-$k"; then
    "$here/make-fat-fixture.sh" "$k" "$work/images/fixture-$k.img" >/dev/null
    add_input "fixture-$k" "$work/images/fixture-$k.img"
  fi
done
if want fixture-ntfs; then
  if [ -x "$NTFS_FIXTURE" ] && command -v mkntfs >/dev/null; then
    img=$work/images/fixture-ntfs.img
    truncate -s 16M "$img"
    mkntfs -F -f -q -L MUTATE -s 512 -c 4096 "$img" >/dev/null 2>&1
    # Non-resident folders (INDX blocks), a fragmented file (long run list),
    # an attribute list, a sparse and a compressed file, streams, hard links
    # and deletions of each.
    "$NTFS_FIXTURE" "$img" - >/dev/null <<'EOF'
mkdir /Many
many /Many 120 item
mkdir /Docs
write /Docs/keep.bin random:1 30000
stream /Docs/keep.bin:meta text:2 700
link /Docs/keep.bin /keep-link.bin
write /Docs/gone.bin random:3 50000
stream /Docs/gone.bin:extra text:4 3000
sparse /Docs/sparse.bin random:5 400000 0:8192,200000:12288
mkdir /Packed
compress-dir /Packed
write /Packed/log.txt text:6 70000
mkdir /Old
mkdir /Old/Inner
text /Old/Inner/note.txt "a note in a deleted folder tree"
write /Old/data.bin random:8 20000
fragment /frag.bin random:9 262144 4096
remount
delete /Docs/gone.bin
delete /Docs/sparse.bin
delete /Packed/log.txt
delete /Old/Inner/note.txt
delete /Old/Inner
delete /Old/data.bin
delete /Old
delete /frag.bin
delete /Many/item00007.txt
delete /Many/item00050.txt
delete /Many/item00099.txt
EOF
    add_input fixture-ntfs "$img"
  else
    echo "skipping fixture-ntfs: no $NTFS_FIXTURE or mkntfs" >&2
  fi
fi
if [ "$shared" = 1 ] && [ -d "$shared_dir" ]; then
  for f in "$shared_dir"/*.raw "$shared_dir"/*.dd "$shared_dir"/*.raw.gz; do
    [ -f "$f" ] || continue
    name=$(basename "$f"); name=${name%.gz}; name=${name%.*}
    want "$name" || continue
    if [[ "$f" == *.gz ]]; then
      gunzip -c "$f" >"$work/images/$name.img"
    else
      ln -s "$f" "$work/images/$name.img"
    fi
    if [ "$(stat -L -c %s "$work/images/$name.img")" -ge $((64 << 20)) ]; then
      rm -f "$work/images/$name.img"; continue
    fi
    add_input "$name" "$work/images/$name.img"
  done
fi
[ "${#inputs[@]}" -gt 0 ] || { echo "no inputs" >&2; exit 2; }
echo "inputs: ${inputs[*]}"
echo "seed $seed, $runs runs per image, ${#inputs[@]} images, jobs $jobs, quarlix $QUARLIX"

# --- One command ------------------------------------------------------------
# run_cmd RUNDIR NAME CAP_BYTES DEST|- ARGS...: runs quarlix with the time
# limit, a per-file size limit and a watcher that stops it when DEST grows
# past CAP_BYTES; appends "NAME status signal timedout sizestop seconds
# apparent allocated" to RUNDIR/result.
run_cmd() {
  local dir=$1 name=$2 cap=$3 dest=$4; shift 4
  local out=$dir/$name.out err=$dir/$name.err stopfile=$dir/$name.sizestop
  local blocks=$(( cap / 512 + 2 ))
  local start end status pid watcher
  start=$(date +%s.%N)
  (
    # SIGXFSZ ignored: a write past the limit fails with EFBIG instead of
    # killing the process (an ignored signal stays ignored across exec).
    trap '' XFSZ
    ulimit -f "$blocks"
    ulimit -v $(( 4 << 20 ))  # KiB: a run that wants more than 4 GiB is a finding
    ulimit -c 0
    exec env HOME="$dir/home" XDG_CACHE_HOME="$dir/home/.cache" \
      XDG_CONFIG_HOME="$dir/home/.config" XDG_DATA_HOME="$dir/home/.local/share" \
      XDG_STATE_HOME="$dir/home/.local/state" XDG_RUNTIME_DIR="$dir/home/run" \
      TMPDIR="$dir/tmp" \
      timeout -k "$grace" "$limit" "$QUARLIX" "$@"
  ) >"$out" 2>"$err" &
  pid=$!
  watcher=
  if [ "$dest" != - ]; then
    (
      while kill -0 "$pid" 2>/dev/null; do
        if [ -d "$dest" ] && [ "$(du -s --apparent-size -B1 "$dest" 2>/dev/null | cut -f1)" -gt "$cap" ]; then
          : >"$stopfile"
          pkill -KILL -P "$pid" 2>/dev/null || true   # timeout's child: quarlix
          kill -KILL "$pid" 2>/dev/null || true
          break
        fi
        sleep 0.2
      done
    ) &
    watcher=$!
  fi
  status=0
  wait "$pid" 2>/dev/null || status=$?
  [ -z "$watcher" ] || { kill "$watcher" 2>/dev/null || true; wait "$watcher" 2>/dev/null || true; }
  end=$(date +%s.%N)
  local secs timedout=0 sig=0 sizestop=0 app=0 alloc=0
  secs=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
  [ -e "$stopfile" ] && sizestop=1
  # The per-file limit was hit (EFBIG); quarlix may have removed the file since.
  grep -qs 'File too large' "$out" "$err" && sizestop=1
  if [ "$dest" != - ] && [ -d "$dest" ]; then
    app=$(du -s --apparent-size -B1 "$dest" | cut -f1)
    alloc=$(du -s -B1 "$dest" | cut -f1)
    [ "$app" -gt "$cap" ] && sizestop=1
  fi
  if [ "$sizestop" = 0 ]; then
    if [ "$status" = 124 ] || { [ "$status" = 137 ] && awk -v s="$secs" -v l="$limit" 'BEGIN { exit !(s >= l) }'; }; then
      timedout=1
    elif [ "$status" -gt 128 ]; then
      sig=$(( status - 128 ))
    fi
  fi
  echo "$name $status $sig $timedout $sizestop $secs $app $alloc" >>"$dir/result"
}

# --- One run ----------------------------------------------------------------
# run_one IMAGE INDEX: mutates, runs the three commands, writes
# results/IMAGE-INDEX.tsv and, when bad, findings/IMAGE-INDEX/.
run_one() {
  local name=$1 index=$2
  local id=$name-$index dir=$work/runs/$name-$index
  local src=$work/images/$name.img img size cap
  rm -rf "$dir"; mkdir -p "$dir/home/run" "$dir/tmp"
  chmod 700 "$dir/home/run"
  img=$dir/image.img
  python3 "$mutate" apply "$src" "$img" --seed "$seed" --index "$index" \
    --regions "$work/images/$name.regions.json" --tag "$name" ${given:+--set "$given"} ${focus:+--focus "$focus"} >"$dir/mutation.json"
  size=$(stat -c %s "$img")
  cap=$(( size * 8 ))
  run_cmd "$dir" list "$cap" - --json list "$img" --recursive
  run_cmd "$dir" recover "$cap" "$dir/recovered" --json recover "$img" --all --to "$dir/recovered"
  run_cmd "$dir" scan "$cap" "$dir/scanned" --json scan "$img" --to "$dir/scanned"
  local bad=0 what=()
  while read -r cmd status sig timedout sizestop _ _ _; do
    if [ "$sig" != 0 ]; then bad=1; what+=("$cmd:signal$sig")
    elif [ "$timedout" = 1 ]; then bad=1; what+=("$cmd:timeout")
    elif [ "$sizestop" = 1 ]; then bad=1; what+=("$cmd:over8x")
    elif [[ "$status" != [013] ]]; then bad=1; what+=("$cmd:exit$status")
    fi
  done <"$dir/result"
  local structs
  structs=$(python3 -c 'import json,sys; print(",".join(sorted({c["structure"] for c in json.load(open(sys.argv[1]))["changes"]})))' "$dir/mutation.json")
  {
    while read -r line; do printf '%s %s %s %s\n' "$name" "$index" "$structs" "$line"; done <"$dir/result"
  } >"$work/results/$id.tsv"
  if [ "$bad" = 1 ]; then
    local f=$findings/$id
    mkdir -p "$f"
    cp "$dir/mutation.json" "$dir/result" "$f/"
    printf '%s\n' "${what[@]}" >"$f/what"
    for c in list recover scan; do
      tail -c 4000 "$dir/$c.err" >"$f/$c.stderr.tail"
      tail -c 4000 "$dir/$c.out" >"$f/$c.stdout.tail"
    done
    du -a --apparent-size -B1 "$dir/recovered" "$dir/scanned" 2>/dev/null | sort -rn | head -20 >"$f/largest-outputs" || true
    {
      echo "# recreate the mutated image:"
      echo "python3 tools/mutate.py apply $(printf %q "$src") image.img --seed $seed --index $index --tag $name${given:+ --set $given}${focus:+ --focus $focus}"
      echo "# (the input image: $(printf %q "$(readlink -f "$src")"))"
      echo "quarlix --json list image.img --recursive"
      echo "quarlix --json recover image.img --all --to recovered"
      echo "quarlix --json scan image.img --to scanned"
    } >"$f/commands.sh"
    [ "$size" -le $((16 << 20)) ] && gzip -c "$img" >"$f/image.img.gz"
    echo "BAD $id: ${what[*]} ($structs)"
  fi
  [ "$keep" = 1 ] || rm -rf "$dir"
}

# --- All runs -----------------------------------------------------------------
running=0
for name in "${inputs[@]}"; do
  for ((i = 0; i < runs; i++)); do
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
    run_one "$name" "$i" &
    running=$((running + 1))
  done
done
wait || true

# --- Summary ------------------------------------------------------------------
cat "$work"/results/*.tsv >"$work/results.tsv"
python3 - "$work/results.tsv" "$findings" <<'EOF'
import collections, os, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
runs = {(r[0], r[1]) for r in rows}
print(f"\n{len(runs)} runs, {len(rows)} commands")
for cmd in ("list", "recover", "scan"):
    rs = [r for r in rows if r[3] == cmd]
    hist = collections.Counter(int(r[4]) for r in rs)
    sig = collections.Counter(int(r[5]) for r in rs if r[5] != "0")
    tmo = sum(r[6] == "1" for r in rs)
    big = sum(r[7] == "1" for r in rs)
    secs = sorted(float(r[8]) for r in rs)
    print(f"{cmd:8} exit " + " ".join(f"{k}:{v}" for k, v in sorted(hist.items()))
          + f" | signals {dict(sig) or 0} | timeouts {tmo} | over-8x {big}"
          + (f" | slowest {secs[-1]:.1f}s" if secs else ""))
bad = sorted(os.listdir(sys.argv[2])) if os.path.isdir(sys.argv[2]) else []
print(f"bad runs: {len(bad)}" + (f" (see {sys.argv[2]})" if bad else ""))
for b in bad:
    what = open(os.path.join(sys.argv[2], b, "what")).read().split()
    print(f"  {b}: {' '.join(what)}")
sys.exit(1 if bad else 0)
EOF
