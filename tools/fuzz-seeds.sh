#!/usr/bin/env bash
# Cuts the seed corpora of the fuzz targets out of the fixture images into
# BUILD/seeds/<target>/ (default build-fuzz). Generated, never committed.
#
#   tools/fuzz-seeds.sh [BUILD]
#
# Sources: the repository's samples (samples/*.img.gz), a small FAT12 image,
# a small NTFS image and a small exFAT image made here (mkfs.fat + mtools,
# mkntfs + the ntfs-fixture tool when built, mkfs.exfat + exfat-fuse on a
# loop device when run as root), the shared test images
# (/work/shared/testdata or QUARLIX_TESTDATA) and the files of tests/data.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
out=$build/seeds
testdata=${QUARLIX_TESTDATA:-/work/shared/testdata}
work=$(mktemp -d)
loop=""
# The exFAT volume below is written through a mount: undone first.
trap 'umount "$work/exmnt" 2>/dev/null || true; [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true; rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
mkdir -p "$out"

# Images to cut from, decompressed into the work folder.
images=()
for gz in "$root"/samples/*.img.gz; do
  zcat "$gz" >"$work/$(basename "$gz" .gz)"
  images+=("$work/$(basename "$gz" .gz)")
done
for f in "$testdata"/*.raw "$testdata"/*.dd; do [ -f "$f" ] && images+=("$f"); done
if [ -f "$testdata/dfirntfs-fat_deleted_dir.raw.gz" ]; then
  zcat "$testdata/dfirntfs-fat_deleted_dir.raw.gz" >"$work/fat_deleted_dir.raw"
  images+=("$work/fat_deleted_dir.raw")
fi
if [ -f "$testdata/dfirntfs-mbr-win-512.raw.tgz" ]; then
  tar -xzf "$testdata/dfirntfs-mbr-win-512.raw.tgz" -C "$work" 2>/dev/null || true
fi

# A small FAT12 volume whole: long names, deleted files and a deleted folder.
if command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null; then
  small=$work/small-fat12.img
  mkfs.fat -C -F 12 -s 1 -S 512 -n SMALL "$small" 160 >/dev/null
  printf 'hello\n' >"$work/a.txt"
  head -c 3000 /dev/urandom >"$work/b.bin"
  mmd -i "$small" ::/Docs ::/Docs/Old
  mcopy -i "$small" "$work/a.txt" "::/A long file name.txt"
  mcopy -i "$small" "$work/b.bin" ::/Docs/data.bin
  mcopy -i "$small" "$work/a.txt" ::/Docs/Old/keep.txt
  mcopy -i "$small" "$work/b.bin" "::/Docs/Old/gone with a long name.bin"
  mdel -i "$small" "::/Docs/Old/gone with a long name.bin"
  mcopy -i "$small" "$work/a.txt" ::/del.txt
  mdel -i "$small" ::/del.txt
  mdeltree -i "$small" ::/Docs/Old
  images+=("$small")
fi
# A small NTFS volume (512-byte clusters: the MFT starts at 16 KiB).
if command -v mkntfs >/dev/null; then
  ntfs=$work/small-ntfs.img
  truncate -s 2M "$ntfs"
  mkntfs -F -f -q -c 512 -s 512 "$ntfs" >/dev/null 2>&1 || rm -f "$ntfs"
  fixture=""
  for b in "$root/build-test/bin/ntfs-fixture" "$build/bin/ntfs-fixture"; do [ -x "$b" ] && fixture=$b; done
  if [ -f "$ntfs" ] && [ -n "$fixture" ]; then
    printf '%s\n' "mkdir /Docs" "write /Docs/a.txt text:1 300" "write /Docs/big.bin random:2 20000" \
      "write /gone.txt text:3 500" "delete /gone.txt" "write /Docs/old.bin random:4 9000" "delete /Docs/old.bin" \
      "compress-dir /Packed" "write /Packed/p.txt text:5 30000" | "$fixture" "$ntfs" - >/dev/null 2>&1 || true
  fi
  [ -f "$ntfs" ] && images+=("$ntfs")
fi

# A small exFAT volume (512-byte clusters: the root folder lies at 27 KiB):
# long and non-ASCII names, a root and a folder of several clusters with
# deleted entries, a deleted folder tree four deep, a file with a FAT chain;
# and the same volume opened by its backup boot region, and with the deleted
# folder's set broken (a lost folder). The files are written
# through exfat-fuse, which needs a loop device (root); otherwise the volume
# stays as mkfs.exfat made it. Cut after its last written sector.
if command -v mkfs.exfat >/dev/null; then
  exfat=$work/small-exfat.img
  truncate -s 1M "$exfat"
  if mkfs.exfat -c 512 -b 4K -L SEEDS "$exfat" >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v mount.exfat-fuse >/dev/null && [ -e /dev/fuse ] &&
       loop=$(losetup -f --show "$exfat" 2>/dev/null); then
      mkdir -p "$work/exmnt"
      if mount.exfat-fuse "$loop" "$work/exmnt" >/dev/null 2>&1; then
        m=$work/exmnt
        printf 'hello\n' >"$m/hello.txt"
        head -c 300 /dev/urandom >"$m/A long file name of more than fifteen units.txt"
        head -c 1000 /dev/urandom >"$m/Фото_été_日本.jpg"
        mkdir -p "$m/Docs/Old"
        for i in $(seq -w 1 20); do printf 'entry %s\n' "$i" >"$m/Docs/note number $i.txt"; done
        head -c 2000 /dev/urandom >"$m/Docs/Old/inner.bin"
        printf 'old\n' >"$m/Docs/Old/old.txt"
        mkdir -p "$m/Docs/Old/b/c/d"
        for d in b b/c b/c/d; do printf 'deep\n' >"$m/Docs/Old/$d/f.txt"; done
        mkdir "$m/frag"
        for f in A B C; do head -c 1000 /dev/urandom >"$m/frag/$f.bin"; done
        rm "$m/frag/B.bin"
        head -c 3000 /dev/urandom >>"$m/frag/A.bin"  # past C: A gets a FAT chain
        printf 'gone\n' >"$m/gone.txt"
        rm "$m/gone.txt" "$m/Docs/note number 05.txt" "$m/Docs/note number 17.txt"
        rm -r "$m/Docs/Old"
        umount "$m"
      fi
      losetup -d "$loop"
      loop=""
    fi
    images+=("$exfat")
  fi
fi

python3 - "$out" "$root/tests/data" "$work" "${images[@]}" <<'PY'
import os, struct, sys, glob, hashlib

out, data_dir, work, images = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]

def put(target, blob, limit=60):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    if len(os.listdir(d)) >= limit or not blob:
        return
    with open(os.path.join(d, hashlib.sha1(blob).hexdigest()[:16]), "wb") as f:
        f.write(blob)

def read(path, off, n):
    with open(path, "rb") as f:
        f.seek(off)
        return f.read(n)

def fs_of(boot):
    if boot[3:11] == b"EXFAT   ":
        return "exfat"
    if boot[3:11] == b"NTFS    ":
        return "ntfs"
    if boot[510:512] == b"\x55\xaa" and (boot[54:59] == b"FAT12" or boot[54:59] == b"FAT16" or boot[82:87] == b"FAT32"):
        return "fat"
    return None

def volumes(path):
    """(offset, kind) of each volume: at 0 or inside an MBR."""
    s0 = read(path, 0, 512)
    k = fs_of(s0)
    if k:
        return [(0, k)]
    res = []
    if s0[510:512] == b"\x55\xaa":
        for i in range(4):
            e = s0[446 + 16 * i: 462 + 16 * i]
            lba = struct.unpack("<I", e[8:12])[0]
            if lba:
                b = read(path, lba * 512, 512)
                if fs_of(b):
                    res.append((lba * 512, fs_of(b)))
    return res

for img in images:
    size = os.path.getsize(img)
    put("partition_table", read(img, 0, 512 * 40))
    for off, kind in volumes(img):
        boot = read(img, off, 512)
        bps = struct.unpack("<H", boot[11:13])[0] or 512
        spc = boot[13] or 1
        cluster = bps * spc
        if kind == "ntfs":
            mft = struct.unpack("<Q", boot[48:56])[0] * cluster
            rs = boot[64]
            rsize = 1 << (256 - rs) if rs >= 128 else rs * cluster
            # The volume up to past its first records (a short source).
            put("ntfs_volume", read(img, off, min(mft + 96 * rsize, 512 * 1024)))
            recs = read(img, off + mft, 256 * rsize)
            for i in range(0, len(recs) - rsize + 1, rsize):
                r = recs[i:i + rsize]
                if r[:4] == b"FILE":
                    put("ntfs_record", r, 120)
            # INDX blocks and $INDEX_ROOT values: scan the volume's first MiBs.
            blob = read(img, off, min(size - off, 16 << 20))
            for i in range(0, len(blob) - 4096, 512):
                if blob[i:i + 4] == b"INDX":
                    put("ntfs_index_node", blob[i:i + 4096], 40)
            for i in range(0, len(recs) - rsize + 1, rsize):
                r = recs[i:i + rsize]
                at = r.find(b"\x90\x00\x00\x00")
                if at > 0 and at + 24 < len(r):
                    vo = struct.unpack("<H", r[at + 20:at + 22])[0]
                    vl = struct.unpack("<I", r[at + 16:at + 20])[0]
                    put("ntfs_index_node", r[at + vo: at + vo + vl], 80)
            # Compressed chunks: LZNT1 headers (bit 15, sizes) in the data area.
            for i in range(0, len(blob) - 4096, 4096):
                h = struct.unpack("<H", blob[i:i + 2])[0]
                if h & 0x8000 and (h & 0x7000) == 0x3000 and blob[i + 2] in (0, 1, 2, 4, 8, 16, 32, 64, 128) and blob[i+3:i+4] != b"\0":
                    put("lznt1", b"\x00\x10" + blob[i:i + 8192], 30)
        elif kind == "exfat":
            heap = struct.unpack("<I", boot[88:92])[0] << boot[108]
            ecluster = 1 << (boot[108] + boot[109])
            # The volume up to its last written sector (a short source), at most 64 KiB.
            blob = read(img, off, min(size - off, 64 * 1024))
            end = len(blob.rstrip(b"\0"))
            blob = blob[:(end + 511) // 512 * 512]
            put("exfat_volume", blob)
            # The same with its main boot sector damaged (boot code: the
            # region's checksum fails): it opens by the backup region.
            if len(blob) > 512:
                put("exfat_volume", blob[:120] + bytes([blob[120] ^ 0xFF]) + blob[121:])
            # A deleted folder whose set no longer matches its checksum (one
            # unit of its name changed): its clusters are a lost folder.
            lost = bytearray(blob)
            for i in range(heap, len(lost) - 96, 32):
                if lost[i] == 0x05 and lost[i + 4] & 0x10 and lost[i + 32] == 0x40 and lost[i + 64] == 0x41:
                    lost[i + 66] ^= 0x01
                    put("exfat_volume", bytes(lost))
                    break
            # Folder clusters (a file entry and its stream extension, in use
            # or not), one by one and all of them in a row.
            heapblob = read(img, off + heap, 256 * 1024)
            folders = b""
            for i in range(0, len(heapblob) - ecluster + 1, ecluster):
                c = heapblob[i:i + ecluster]
                if any(c[j] & 0x7F == 0x05 and c[j + 32] & 0x7F == 0x40 for j in range(0, ecluster - 32, 32)):
                    put("exfat_entry_set", c, 40)
                    folders += c
            put("exfat_entry_set", folders, 40)
        else:
            # A whole small volume; a big one up to its first folders.
            reserved = struct.unpack("<H", boot[14:16])[0]
            fats = boot[16]
            rootents = struct.unpack("<H", boot[17:19])[0]
            fatsz = struct.unpack("<H", boot[22:24])[0] or struct.unpack("<I", boot[36:40])[0]
            data = (reserved + fats * fatsz) * bps + rootents * 32
            put("fat_volume", read(img, off, min(size - off, max(data + 32 * cluster, 64 * 1024), 512 * 1024)))
            # Folder slots with long names and deleted entries, as raw slot runs.
            blob = read(img, off + (reserved + fats * fatsz) * bps, 256 * 1024)
            for i in range(0, len(blob) - 512, 512):
                s = blob[i:i + 512]
                if any(s[j] == 0xE5 for j in range(0, 512, 32)) and any(s[j + 11] == 0x0F for j in range(0, 512, 32)):
                    put("fat_volume", s, 80)
    # Recycle-bin records and the raw scan: file-sized pieces of the images.
    put("surface_scan", read(img, 0, 4096), 20)

for f in sorted(glob.glob(os.path.join(data_dir, "**", "*"), recursive=True)):
    if os.path.isfile(f) and os.path.getsize(f) <= 512 * 1024:
        with open(f, "rb") as h:
            put("surface_scan", h.read(), 80)

# $I (both versions) and INFO2, made here.
def u16(s, n=None):
    b = s.encode("utf-16-le")
    return b if n is None else (b + b"\0" * n)[:n]
path = "C:\\Users\\me\\Documents\\report.final.docx"
put("recycle_bin", struct.pack("<QQQ", 1, 12345, 0x01D0000000000000) + u16(path, 520))
put("recycle_bin", struct.pack("<QQQI", 2, 777, 0x01D0000000000000, len(path) + 1) + u16(path) + b"\0\0")
rec = bytearray(800)
rec[0:len(b"C:\\old.txt")] = b"C:\\old.txt"
struct.pack_into("<IIQI", rec, 260, 3, 2, 0x01C0000000000000, 4096)
rec[280:280 + 2 * len("C:\\old.txt")] = u16("C:\\old.txt")
put("recycle_bin", struct.pack("<IIIII", 5, 1, 0, 800, 0) + bytes(rec) * 2)
put("recycle_bin", bytes(rec))
# LZNT1: a literal chunk and one with back-references.
put("lznt1", b"\x00\x10" + struct.pack("<H", 0xB000 | (3 + 8 - 3)) + b"\x00abcdefgh" + b"\0\0")
put("lznt1", b"\x00\x10" + struct.pack("<H", 0xB000 | 10) + b"\x02ab\x00\x30cdef" + b"\0\0")
PY

# The small NTFS volume cut after its $UpCase table (the last structure
# that opening it needs): a short source that opens, far below its 2 MiB.
if [ -n "${ntfs:-}" ] && [ -f "$ntfs" ] && command -v istat >/dev/null; then
  last=$(istat "$ntfs" 10 | awk '/^Type: \$DATA/{d=1;next} /^Type:/{d=0} d{for(i=1;i<=NF;i++) if($i+0>m) m=$i+0} END{print m+1}')
  mkdir -p "$out/ntfs_volume"
  head -c $((last * 512)) "$ntfs" >"$out/ntfs_volume/small-ntfs-cut"
fi

# The cache files of the sample volumes, written by the engine itself.
seedtool=""
for b in "$build/bin/fuzz-seed" "$root/build-test/bin/fuzz-seed"; do [ -x "$b" ] && seedtool=$b && break; done
if [ -n "$seedtool" ]; then
  for fs in fat ntfs; do
    mkdir -p "$out/${fs}_cache"
    XDG_CACHE_HOME=$work/cache QUARLIX_SOURCE_DIR=$root ASAN_OPTIONS=detect_leaks=0 \
      "$seedtool" cache "$fs" "$out/${fs}_cache/sample" || echo "no $fs cache seed" >&2
    # The header target reads the same files with their headers as written
    # (the fingerprint a stand-in that the target replaces).
    mkdir -p "$out/cache_header"
    XDG_CACHE_HOME=$work/cache QUARLIX_SOURCE_DIR=$root ASAN_OPTIONS=detect_leaks=0 \
      "$seedtool" cache-header "$fs" "$out/cache_header/$fs-sample" || echo "no $fs cache header seed" >&2
  done
fi
for d in "$out"/*/; do printf '%-18s %s\n' "$(basename "$d")" "$(ls "$d" | wc -l)"; done
