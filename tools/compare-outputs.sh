#!/usr/bin/env bash
# Runs two quarlix binaries over the same fixture images and compares, case
# by case, what they print on stdout and stderr, their exit status and the
# trees they recover (names and sha256 of contents). Meant for a change that
# must leave every output as it was (the kind and schema version that lead
# each JSON line are left out, so that builds from before them compare too):
#
#   tools/compare-outputs.sh OLD_QUARLIX NEW_QUARLIX
#
# Prints one line per case, "same" or "DIFFERENT", and exits 1 when any case
# differs; the work folder is then kept, with the diff of every difference in
# differences.txt. The images are made once into the work folder: the samples
# of samples/, FAT fixtures of tools/make-fat-fixture.sh and
# tools/make-fat-sample.sh, NTFS fixtures made with mkntfs and ntfs-fixture,
# a disk with a partition table, and the public images of the shared test
# data (read in place). Each binary runs with its own HOME and XDG folders, so
# neither sees the other's settings or cache; every command that uses the
# index runs twice, a build and then a restore from the cache.
#
# Environment:
#   NTFS_FIXTURE      the ntfs-fixture program (default: beside NEW_QUARLIX)
#   QUARLIX_TESTDATA  the shared test images (default: shared/testdata beside
#                     the source tree or a folder above it); empty: none
#   KEEP=1            keep the work folder also when everything is the same
#   ONLY=REGEX        only the cases of the images (and groups: usage,
#                     mbr-win-512, disk-mbr, *.mft) whose name matches
#   TZ                passed on (default Europe/Berlin, so that local times
#                     and zone offsets are exercised)
set -uo pipefail
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1
export TZ=${TZ:-Europe/Berlin}

[ $# -eq 2 ] || { echo "usage: $0 OLD_QUARLIX NEW_QUARLIX" >&2; exit 2; }
OLD=$(realpath "$1") && NEW=$(realpath "$2") || exit 2
for b in "$OLD" "$NEW"; do [ -x "$b" ] || { echo "$b: not an executable" >&2; exit 2; }; done
ROOT=$(cd "$(dirname "$0")/.." && pwd)
NTFS_FIXTURE=${NTFS_FIXTURE:-$(dirname "$NEW")/ntfs-fixture}
if [ -z "${QUARLIX_TESTDATA+set}" ]; then
  QUARLIX_TESTDATA=
  d=$ROOT
  for _ in 1 2 3; do
    d=$(dirname "$d")
    [ -d "$d/shared/testdata" ] && { QUARLIX_TESTDATA=$d/shared/testdata; break; }
  done
fi

W=$(mktemp -d -t quarlix-compare.XXXXXX)
IMG=$W/img
mkdir -p "$IMG" "$W/res/old" "$W/res/new" "$W/pick"
differ=0
cases=0
finish() {
  if [ "$differ" -ne 0 ] || [ "${KEEP:-0}" = 1 ]; then
    echo "work folder kept: $W" >&2
  else
    rm -rf "$W"
  fi
}
trap finish EXIT

# ---------------------------------------------------------------- the images
say() { printf '%s\n' "$*" >&2; }
images=()  # NAME=PATH[=PARTITION], in the order the cases run
add() { images+=("$1=$2${3:+=$3}"); }

gunzip -c "$ROOT/samples/fat-sample.img.gz" >"$IMG/fat-sample.img" && add fat-sample "$IMG/fat-sample.img"
gunzip -c "$ROOT/samples/ntfs-sample.img.gz" >"$IMG/ntfs-sample.img" && add ntfs-sample "$IMG/ntfs-sample.img"
if bash "$ROOT/tools/make-fat-sample.sh" "$IMG/fat-sample-new.img.gz" >/dev/null; then
  gunzip "$IMG/fat-sample-new.img.gz" && add fat-sample-new "$IMG/fat-sample-new.img"
fi
for k in fat12 fat16 fat32; do
  bash "$ROOT/tools/make-fat-fixture.sh" $k "$IMG/$k.img" >/dev/null && add "fixture-$k" "$IMG/$k.img"
done
if [ -x "$NTFS_FIXTURE" ]; then
  if bash "$ROOT/tools/make-ntfs-sample.sh" "$NTFS_FIXTURE" "$IMG/ntfs-sample-new.img.gz" >/dev/null; then
    gunzip "$IMG/ntfs-sample-new.img.gz" && add ntfs-sample-new "$IMG/ntfs-sample-new.img"
  fi
  # Streams, links, sparse and fragmented files, many files in one folder,
  # non-ASCII names, and their deletion.
  x=$IMG/ntfs-mixed.img
  truncate -s 16M "$x" && mkntfs -F -f -q -L MIXED -s 512 -c 4096 "$x" >/dev/null 2>&1 &&
    "$NTFS_FIXTURE" "$x" - >/dev/null <<'EOF' && add ntfs-mixed "$x"
mkdir /Photos/2024
write /Photos/2024/beach.jpg random:1 70000
stream /Photos/2024/beach.jpg:thumb random:2 5000
write "/Photos/Ünïcødé файл 🎉.txt" text:3 1500
link /Photos/2024/beach.jpg /Photos/beach-link.jpg
mkdir /Data
sparse /Data/sparse.bin random:4 300000 0:8192,200000:4096
mkdir /Data/Many
many /Data/Many 120 item
write /Data/fragmented.bin random:5 90000
mkdir /Deep/a/b/c
text /Deep/a/b/c/leaf.txt "a leaf deep down"
remount
delete /Photos/beach-link.jpg
delete /Photos/2024/beach.jpg
delete "/Photos/Ünïcødé файл 🎉.txt"
delete /Data/sparse.bin
delete /Data/Many/item00007.txt
delete /Data/Many/item00100.txt
delete /Deep/a/b/c/leaf.txt
delete /Deep/a/b/c
delete /Deep/a/b
EOF
else
  say "no ntfs-fixture at $NTFS_FIXTURE: the NTFS fixtures are left out"
fi
# A disk with an MBR: the FAT sample and the NTFS sample as two partitions.
disk=$IMG/disk-mbr.img
if truncate -s 16M "$disk" && printf 'start=2048, size=8192, type=6\nstart=12288, size=16384, type=7\n' |
  sfdisk -q "$disk" >/dev/null 2>&1; then
  dd if="$IMG/fat-sample.img" of="$disk" bs=512 seek=2048 conv=notrunc status=none
  dd if="$IMG/ntfs-sample.img" of="$disk" bs=512 seek=12288 conv=notrunc status=none
  add disk-mbr-p1 "$disk" 1
  add disk-mbr-p2 "$disk" 2
fi
T=$QUARLIX_TESTDATA
if [ -n "$T" ] && [ -d "$T" ]; then
  for f in dftt-5-fat12-daylight.dd dftt-6-fat-undel.dd dftt-7-ntfs-undel.dd dftt-8-jpeg-search.dd \
    dftt-9-fat-label.dd dfirntfs-ntfs_index.raw dfirntfs-fat16_moved.raw dfirntfs-fat_deleted_dir_2.raw; do
    [ -f "$T/$f" ] && add "${f%.*}" "$T/$f"
  done
  [ -f "$T/dfirntfs-fat_deleted_dir.raw.gz" ] && gunzip -c "$T/dfirntfs-fat_deleted_dir.raw.gz" >"$IMG/fat_deleted_dir.raw" &&
    add dfirntfs-fat_deleted_dir "$IMG/fat_deleted_dir.raw"
  [ -f "$T/dfirntfs-mbr-win-512.raw.tgz" ] && tar xf "$T/dfirntfs-mbr-win-512.raw.tgz" -C "$IMG" &&
    [ -f "$IMG/mbr-win-512.raw" ]
else
  say "no shared test data (QUARLIX_TESTDATA): the public images are left out"
fi
chmod a-w "$IMG"/* 2>/dev/null
: >"$W/a-file"

# ----------------------------------------------------------------- one case
# run SIDE BIN ID CACHED ARGS...: runs the binary with the side's HOME, @OUT@
# in ARGS being the side's output folder of the case (@KEPT@ one folder that
# several cases share, to meet names already there); with CACHED, clears the
# cache of the image first and runs the command twice (ID, then ID.cached).
run() {
  local side=$1 bin=$2 id=$3 cached=$4
  shift 4
  local base=$W/$side out=$W/$side/out/$id
  case " $* " in *@KEPT@*) out=$W/$side/kept/$KEPT ;; esac
  local args=("${@//@OUT@/$out}")
  args=("${args[@]//@KEPT@/$out}")
  mkdir -p "$base/home" "$base/config" "$base/cache" "$base/data"
  q() {
    env HOME="$base/home" XDG_CONFIG_HOME="$base/config" XDG_CACHE_HOME="$base/cache" \
      XDG_DATA_HOME="$base/data" "$bin" "$@"
  }
  one() {  # one RESULT
    local r=$W/res/$side/$1
    q "${args[@]}" >"$r.out" 2>"$r.err"
    echo $? >"$r.rc"
    sed -i -E -e "s#$base#@RUN@#g" -e "s#$W#@WORK@#g" \
      -e 's/"seconds":[-+0-9.eE]+/"seconds":@S@/g' \
      -e 's/ in [0-9]+(:[0-9]{2}){1,2}/ in @T@/g' \
      -e 's/^(  time: )[0-9]+\.[0-9]+ s/\1@T@ s/' \
      -e 's/^\{"kind":"[a-z_]+","schema":[0-9]+,?/{/' "$r.out" "$r.err"
    : >"$r.tree"
    if [ -d "$out" ]; then
      (cd "$out" && find . -mindepth 1 -printf '%y %s %P\n' | LC_ALL=C sort &&
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0r sha256sum) >"$r.tree"
    fi
  }
  if [ "$cached" = 1 ]; then
    q cache clean "$CASE_SOURCE" $CASE_PART >/dev/null 2>&1
    one "$id"
    one "$id.cached"
  else
    one "$id"
  fi
}

# check CACHED LABEL ARGS...: the case with both binaries, one line of result.
check() {
  local cached=$1 label=$2
  shift 2
  cases=$((cases + 1))
  local id
  id=$(printf 'c%04d' "$cases")
  run old "$OLD" "$id" "$cached" "$@" &
  run new "$NEW" "$id" "$cached" "$@" &
  wait
  local r results=("$id") verdict=same
  [ "$cached" = 1 ] && results+=("$id.cached")
  for r in "${results[@]}"; do
    for e in rc out err tree; do
      if ! cmp -s "$W/res/old/$r.$e" "$W/res/new/$r.$e"; then
        verdict=DIFFERENT
        { echo "=== $label ($r.$e)"; diff "$W/res/old/$r.$e" "$W/res/new/$r.$e" | head -40; } >>"$W/differences.txt"
      fi
    done
  done
  [ $verdict = same ] || differ=1
  printf '%-9s %s\n' "$verdict" "$label"
}

# both CACHED NAME ARGS...: the case as text and as JSON Lines.
both() {
  local cached=$1 name=$2
  shift 2
  [[ $name =~ ${ONLY:-.} ]] || return 0
  local shown="$*"
  [ -n "$CASE_SOURCE" ] && shown=${shown//"$CASE_SOURCE"/SOURCE}
  shown=${shown//@OUT@/DIR}
  shown=${shown//@KEPT@/DIR}
  KEPT=$name-text check "$cached" "$name: $shown" "$@"
  KEPT=$name-json check "$cached" "$name: --json $shown" --json "$@"
}

# ---------------------------------------------------- what to ask each image
# pick ARGS...: the old binary's JSON answer, to choose ids, paths and dates.
pick() {
  env HOME="$W/pick" XDG_CONFIG_HOME="$W/pick" XDG_CACHE_HOME="$W/pick" "$OLD" --json --no-cache "$@" 2>/dev/null
}
field() { sed -nE "s/.*\"$1\":([0-9]+).*/\\1/p" | head -1; }  # a number as printed (no rounding by jq)

image_cases() {
  local name=$1 src=$2 part=$3
  [[ $name =~ ${ONLY:-.} ]] || return 0
  CASE_SOURCE=$src
  CASE_PART=${part:+--partition $part}
  local p=($CASE_PART)
  both 0 "$name" info "$src" "${p[@]}"
  both 1 "$name" index "$src" "${p[@]}"
  both 1 "$name" index "$src" "${p[@]}" --rescan

  local all file dir ffile fpath fdir fday fname live
  all=$(pick list "$src" "${p[@]}" --recursive)
  ffile=$(grep '"deleted":true' <<<"$all" | grep '"folder":false' | grep '"id":[0-9]' | head -1)
  dir=$(grep '"deleted":true' <<<"$all" | grep '"folder":true' | grep '"id":[0-9]' | head -1)
  file=$(field id <<<"$ffile")
  dir=$(field id <<<"$dir")
  fpath=$(jq -r '.path // empty' <<<"$ffile" 2>/dev/null)
  fname=$(jq -r '.name // empty' <<<"$ffile" 2>/dev/null)
  fday=$(jq -r '(.modified // "") | .[0:10]' <<<"$ffile" 2>/dev/null)
  fdir=${fpath%/*}
  live=$(grep '"deleted":false' <<<"$all" | grep '"folder":true' | head -1 | jq -r '.path // empty' 2>/dev/null)
  [ -n "$fdir" ] || fdir=${live:-/}
  file=${file:-1}
  dir=${dir:-2}
  fpath=${fpath:-/no such file}
  fday=${fday:-2004-02-29}
  local ext=${fname##*.}
  [ "$ext" != "$fname" ] && [ -n "$ext" ] || ext=txt

  both 1 "$name" list "$src" "${p[@]}"
  both 1 "$name" list "$src" "${p[@]}" --recursive
  both 1 "$name" list "$src" "${p[@]}" --recursive --deleted-only
  both 1 "$name" list "$src" "$fdir" "${p[@]}"
  [ -n "$live" ] && [ "$live" != "$fdir" ] && both 1 "$name" list "$src" "$live" "${p[@]}" --deleted-only
  both 1 "$name" list "$src" "${p[@]}" --id "$dir"
  both 1 "$name" list "$src" "${p[@]}" --id "$dir" --recursive
  both 1 "$name" list "$src" "${p[@]}" --id "$file"
  both 1 "$name" stat "$src" "$file" "${p[@]}"
  both 1 "$name" stat "$src" "$dir" "${p[@]}"
  both 1 "$name" stat "$src" "$fpath" "${p[@]}"
  both 1 "$name" search "$src" "${p[@]}"
  both 1 "$name" search "$src" "${p[@]}" --name "*.$ext"
  both 1 "$name" search "$src" "${p[@]}" --name "${fname:-x}" --whole-name
  both 1 "$name" search "$src" "${p[@]}" --size 1-4
  both 1 "$name" search "$src" "${p[@]}" --size 0-0 --name "?"
  both 1 "$name" search "$src" "${p[@]}" --modified "$fday..$fday"
  both 1 "$name" search "$src" "${p[@]}" --modified "${fday}T00:00:00Z..${fday}T12:00:00+02:00"
  both 1 "$name" search "$src" "${p[@]}" --created 1990-01-01..2099-12-31
  both 1 "$name" recover "$src" "${p[@]}" --all --to @OUT@
  both 0 "$name" recover "$src" "${p[@]}" --all --to @KEPT@ --no-streams --no-attributes
  both 0 "$name" recover "$src" "${p[@]}" --all --to @KEPT@ --on-conflict skip
  both 0 "$name" recover "$src" "${p[@]}" --all --to @KEPT@ --on-conflict overwrite
  both 1 "$name" recover "$src" "$file" "$dir" --to @OUT@ "${p[@]}"
  both 1 "$name" recover "$src" "$fpath" --to @OUT@ "${p[@]}" --no-streams
  both 0 "$name" scan "$src" "${p[@]}"
  both 0 "$name" scan "$src" "${p[@]}" --types jpg,png,pdf,zip,docx
  both 0 "$name" scan "$src" "${p[@]}" --to @OUT@
  both 0 "$name" scan "$src" "${p[@]}" --all-clusters --types jpg,gif --to @OUT@
  both 0 "$name" cache clean "$src" "${p[@]}"
}

for entry in "${images[@]}"; do
  IFS='=' read -r name src part <<<"$entry"
  image_cases "$name" "$src" "$part"
done

# Sources with no file system, or that are not what they say.
CASE_SOURCE=$IMG/mbr-win-512.raw CASE_PART=
if [ -f "$CASE_SOURCE" ]; then
  both 0 mbr-win-512 info "$CASE_SOURCE"
  both 0 mbr-win-512 info "$CASE_SOURCE" --partition 5
  both 0 mbr-win-512 scan "$CASE_SOURCE" --partition 2 --unit 65536
  both 0 mbr-win-512 list "$CASE_SOURCE" --partition 9
fi
CASE_SOURCE=$IMG/disk-mbr.img
[ -f "$CASE_SOURCE" ] && both 0 disk-mbr list "$CASE_SOURCE" && both 0 disk-mbr info "$CASE_SOURCE"
if [ -n "$T" ] && [ -d "$T/mft-only" ]; then
  for f in "$T"/mft-only/*.mft; do
    CASE_SOURCE=$f
    both 0 "$(basename "$f")" info "$f"
    both 0 "$(basename "$f")" scan "$f" --unit 512
    both 0 "$(basename "$f")" list "$f"
  done
fi

# Usage mistakes and the help, on the shipped FAT sample.
S=$IMG/fat-sample.img
CASE_SOURCE=$S CASE_PART=
for a in \
  "" "bogus" "bogus $S" "help" "help recover" "help cache clean" "help nope" "--help" "recover --help" \
  "--version" "info" "info /no/such/image" "info $ROOT/LICENSE" "info $S --partition 0" "info $S --partition 2" \
  "--progress sometimes info $S" "--log-level 5 info $S" "--log-level 2 info $S" "info $S --bogus" \
  "scan $S --types nope" "scan $S --types ," "scan $S --types jpg,nope" "scan $S --unit 1000" \
  "stat $S" "stat $S abc" "stat $S 999999999999" "stat $S /no/such/file" "stat $S /Docs" \
  "list $S --id -1" "list $S --id 99999999999" "list $S /No/Such/Folder" "list $S /readme.txt" \
  "recover $S --all" "recover $S --to @OUT@" "recover $S 12x --to @OUT@" "recover $S --all --to $W/a-file" \
  "recover $S --all --to @OUT@ --on-conflict ask" "recover $S /no/such --to @OUT@" \
  "search $S --size 9-1" "search $S --size x" "search $S --modified 2020-13-01..2020-01-01" \
  "search $S --created 2020-01-01..2021-01-01 --modified 2020-01-01..2021-01-01" "search $S --whole-name" \
  "index $S --partition 1" "cache" "cache clean" "cache bogus" "drives"; do
  read -r -a words <<<"$a"
  both 0 usage "${words[@]}"
done

echo "$cases cases, $([ $differ = 0 ] && echo "all the same" || echo "some DIFFERENT (see $W/differences.txt)")"
exit $differ
