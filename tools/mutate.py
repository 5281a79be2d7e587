#!/usr/bin/env python3
"""Seeded byte mutations of NTFS / FAT / partitioned images for tools/mutate-run.sh.

  mutate.py regions IMAGE              the structures found in IMAGE, as JSON
  mutate.py apply IMAGE OUT --seed S --index I [--regions FILE] [--tag T] [--set OFF=VAL,...]
                                       copies IMAGE to OUT with 1-8 bytes changed and
                                       prints one JSON line: seed, index, tag, and every
                                       change (structure, offset, old, new)

The same IMAGE, seed, index and tag always give the same mutation (the PRNG is
seeded from "seed:tag:index"; the tag defaults to the image's file name).

Structures are found from the image itself: the partition table (MBR, GPT),
and per volume the boot sector fields. FAT: boot sector, backup boot sector,
FSInfo, the FAT copies (their used part), the root folder and every folder
cluster reachable from it (deleted folders included). NTFS: boot sector and
its backup, and every FILE / INDX block on a record boundary, split into
record header, attribute headers, sizes, run lists and index entry headers.
"""
import argparse
import json
import os
import random
import shutil
import struct
import sys

SECTOR = 512
MAX_REGIONS_PER_KIND = 20000


def u8(b, o):
    return b[o] if 0 <= o < len(b) else 0


def u16(b, o):
    return struct.unpack_from("<H", b, o)[0] if 0 <= o and o + 2 <= len(b) else 0


def u32(b, o):
    return struct.unpack_from("<I", b, o)[0] if 0 <= o and o + 4 <= len(b) else 0


def u64(b, o):
    return struct.unpack_from("<Q", b, o)[0] if 0 <= o and o + 8 <= len(b) else 0


class Regions:
    """(kind, start, length) ranges, clipped to the image."""

    def __init__(self, size):
        self.size = size
        self.items = []
        self.count = {}

    def add(self, kind, start, length):
        if start < 0 or length <= 0 or start >= self.size:
            return
        length = min(length, self.size - start)
        if self.count.get(kind, 0) >= MAX_REGIONS_PER_KIND:
            return
        self.count[kind] = self.count.get(kind, 0) + 1
        self.items.append((kind, start, length))


def is_fat_boot(b, o):
    if u16(b, o + 510) != 0xAA55:
        return False
    bps = u16(b, o + 11)
    spc = u8(b, o + 13)
    return (bps in (512, 1024, 2048, 4096) and spc in (1, 2, 4, 8, 16, 32, 64, 128)
            and u16(b, o + 14) > 0 and u8(b, o + 16) in (1, 2)
            and b[o + 3:o + 11] != b"NTFS    ")


def is_ntfs_boot(b, o):
    return b[o + 3:o + 11] == b"NTFS    "


def fat_regions(b, base, r):
    bps = u16(b, base + 11)
    spc = u8(b, base + 13)
    reserved = u16(b, base + 14)
    nfats = u8(b, base + 16)
    root_entries = u16(b, base + 17)
    total = u16(b, base + 19) or u32(b, base + 32)
    fatsz = u16(b, base + 22) or u32(b, base + 36)
    cluster = bps * spc
    r.add("fat-boot", base, bps)
    fat32 = u16(b, base + 22) == 0
    if fat32:
        fsinfo = u16(b, base + 48)
        backup = u16(b, base + 50)
        if 0 < fsinfo < reserved:
            r.add("fat-fsinfo", base + fsinfo * bps, bps)
        if 0 < backup < reserved:
            r.add("fat-boot-backup", base + backup * bps, bps)
    root_dir_sectors = (root_entries * 32 + bps - 1) // bps
    data = reserved + nfats * fatsz + root_dir_sectors
    clusters = max(0, (total - data) // spc) if spc else 0
    kind = 12 if clusters < 4085 else 16 if clusters < 65525 else 32
    if fat32:
        kind = 32

    fat0 = base + reserved * bps

    def entry(n):
        if kind == 12:
            v = u16(b, fat0 + n * 3 // 2)
            return (v >> 4) if n & 1 else (v & 0xFFF)
        if kind == 16:
            return u16(b, fat0 + n * 2)
        return u32(b, fat0 + n * 4) & 0x0FFFFFFF

    eoc = {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[kind]
    # The used part of each FAT copy: up to the last non-zero entry.
    fat_bytes = fatsz * bps
    used = 0
    chunk = b[fat0:fat0 + fat_bytes]
    stripped = chunk.rstrip(b"\0")
    used = max(len(stripped), 16)
    for i in range(nfats):
        start = fat0 + i * fat_bytes
        for off in range(0, used, SECTOR):
            r.add("fat-table", start + off, min(SECTOR, used - off))

    def cluster_off(c):
        return base + (data + (c - 2) * spc) * bps

    def chain(first, limit=4096):
        out, c, seen = [], first, set()
        while 2 <= c < clusters + 2 and c not in seen and len(out) < limit:
            seen.add(c)
            out.append(c)
            c = entry(c)
            if c >= eoc or c == 0:
                break
        return out

    # Folder clusters, walked from the root; a deleted folder keeps only its
    # first cluster (its chain is gone).
    todo = []
    if fat32:
        todo.append(("root", chain(u32(b, base + 44))))
    else:
        start = base + (reserved + nfats * fatsz) * bps
        for off in range(0, root_entries * 32, SECTOR):
            r.add("fat-dir", start + off, min(SECTOR, root_entries * 32 - off))
        todo.append(("root16", [start]))
    seen_dirs = set()
    while todo and len(seen_dirs) < 4096:
        what, where = todo.pop()
        spans = ([(where[0], root_entries * 32)] if what == "root16"
                 else [(cluster_off(c), cluster) for c in where])
        for start, length in spans:
            if what != "root16":
                r.add("fat-dir", start, length)
            for e in range(start, start + length, 32):
                first = u8(b, e)
                if first == 0:
                    break
                attr = u8(b, e + 11)
                if attr & 0x0F == 0x0F or not attr & 0x10:
                    continue
                if b[e:e + 2] in (b". ", b".."):
                    continue
                c = u16(b, e + 26) | (u16(b, e + 20) << 16 if kind == 32 else 0)
                if c in seen_dirs or not 2 <= c < clusters + 2:
                    continue
                seen_dirs.add(c)
                todo.append(("dir", [c] if first == 0xE5 else chain(c)))


def attr_regions(b, rec, rec_size, r, tag):
    """Attribute headers, sizes and run lists of the MFT record at rec."""
    off = u16(b, rec + 0x14)
    end = rec + rec_size
    n = 0
    while 0 < off < rec_size - 8 and n < 64:
        a = rec + off
        atype = u32(b, a)
        alen = u32(b, a + 4)
        if atype == 0xFFFFFFFF or alen < 16 or a + alen > end:
            r.add(tag + "-attr-end", a, 8)
            break
        r.add(tag + "-attr-header", a, 16)
        if u8(b, a + 8):  # non-resident
            r.add(tag + "-attr-sizes", a + 0x10, 0x30)  # VCNs, run list offset, sizes
            rl = u16(b, a + 0x20)
            if 0x40 <= rl < alen:
                r.add(tag + "-runlist", a + rl, alen - rl)
        else:
            r.add(tag + "-attr-sizes", a + 0x10, 8)  # value length and offset
            if atype == 0x90:  # $INDEX_ROOT: its node header and entries
                v = a + u16(b, a + 0x14)
                r.add(tag + "-index-entry", v, min(0x20 + 0x50, alen))
        off += alen
        n += 1


def index_entry_regions(b, blk, blk_size, r):
    node = blk + 0x18
    first = u32(b, node)
    used = u32(b, node + 4)
    r.add("indx-header", blk, 0x28)
    e = node + first
    end = min(node + used, blk + blk_size)
    n = 0
    while node < e < end - 16 and n < 512:
        elen = u16(b, e + 8)
        r.add("indx-entry", e, 16 + min(0x42, max(0, u16(b, e + 10))))
        if elen < 16 or u8(b, e + 12) & 2:
            break
        e += elen
        n += 1


def ntfs_regions(b, base, vol_end, r):
    bps = u16(b, base + 11) or SECTOR
    spc = u8(b, base + 13)
    if spc > 0x80:
        spc = 1 << (256 - spc)
    cluster = bps * max(spc, 1)
    total = u64(b, base + 0x28)
    r.add("ntfs-boot", base, bps)
    backup = base + total * bps
    if backup + bps <= len(b) and is_ntfs_boot(b, backup):
        r.add("ntfs-boot-backup", backup, bps)
    elif is_ntfs_boot(b, vol_end - bps):
        r.add("ntfs-boot-backup", vol_end - bps, bps)

    def size_of(v):
        v = v if v < 0x80 else v - 256
        return v * cluster if v > 0 else 1 << -v

    rec_size = size_of(u8(b, base + 0x40)) or 1024
    indx_size = size_of(u8(b, base + 0x44)) or 4096
    step = bps
    for sig, kind in ((b"FILE", "mft"), (b"INDX", "indx")):
        pos = b.find(sig, base, vol_end)
        while pos >= 0:
            if (pos - base) % step == 0:
                if kind == "mft":
                    r.add("mft-header", pos, 0x30)
                    attr_regions(b, pos, rec_size, r, "mft")
                else:
                    index_entry_regions(b, pos, indx_size, r)
            pos = b.find(sig, pos + 4, vol_end)


def find_regions(path):
    with open(path, "rb") as f:
        b = f.read()
    r = Regions(len(b))
    volumes = []
    if len(b) >= SECTOR and u16(b, 510) == 0xAA55 and not is_fat_boot(b, 0) and not is_ntfs_boot(b, 0):
        r.add("partition-table", 0x1BE, 0x42)
        for i in range(4):
            e = 0x1BE + 16 * i
            ptype = u8(b, e + 4)
            lba, count = u32(b, e + 8), u32(b, e + 12)
            if ptype == 0xEE and b[SECTOR:SECTOR + 8] == b"EFI PART":
                r.add("gpt-header", SECTOR, 92)
                entries, n, esz = u64(b, SECTOR + 72), u32(b, SECTOR + 80), u32(b, SECTOR + 84)
                for k in range(min(n, 128)):
                    eo = entries * SECTOR + k * esz
                    if b[eo:eo + 16] == bytes(16):
                        continue
                    r.add("gpt-entry", eo, 56)
                    volumes.append((u64(b, eo + 32) * SECTOR, (u64(b, eo + 40) + 1) * SECTOR))
            elif ptype and count:
                volumes.append((lba * SECTOR, (lba + count) * SECTOR))
    else:
        volumes.append((0, len(b)))
    for start, end in volumes:
        end = min(end, len(b))
        if start + SECTOR > end:
            continue
        if is_ntfs_boot(b, start):
            ntfs_regions(b, start, end, r)
        elif is_fat_boot(b, start):
            fat_regions(b, start, r)
    return {"size": len(b), "regions": r.items}


INTERESTING = [0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE, 0x10, 0x40]


def plan(info, rng, focus=()):
    """The list of (kind, offset, new byte) changes of one mutation. With
    focus (substrings of structure kinds), two mutations in three go to the
    structures whose kind contains one of them."""
    size = info["size"]
    regions = info["regions"]
    by_kind = {}
    for kind, start, length in regions:
        by_kind.setdefault(kind, []).append((start, length))
    kinds = sorted(by_kind)
    focused = [k for k in kinds if any(f in k for f in focus)]
    n = rng.randint(1, 8)
    if focused and rng.random() < 2 / 3:
        kind = rng.choice(focused)
        start, length = rng.choice(by_kind[kind])
    elif kinds and rng.random() < 0.9:
        kind = rng.choice(kinds)
        start, length = rng.choice(by_kind[kind])
    else:
        kind, start, length = "anywhere", 0, size
    changes = []
    if rng.random() < 0.5 and length >= 1:
        # One field: n adjacent bytes at a random aligned spot, all set to one
        # interesting pattern (sizes, counts, offsets, run headers).
        n = min(n, length)
        align = rng.choice([1, 2, 4, 8])
        off = start + (rng.randrange(max(1, length - n + 1)) // align) * align
        off = min(off, start + length - n)
        pat = rng.choice(["ones", "zero", "max-signed", "small", "random", "high-bit"])
        for i in range(n):
            if pat == "ones":
                v = 0xFF
            elif pat == "zero":
                v = 0
            elif pat == "max-signed":
                v = 0x7F if i == n - 1 else 0xFF
            elif pat == "small":
                v = rng.randint(1, 16) if i == 0 else 0
            elif pat == "high-bit":
                v = 0x80 if i == n - 1 else 0
            else:
                v = rng.randrange(256)
            changes.append((kind, off + i, v))
    else:
        # Scattered bytes inside the structure: bit flips, interesting values
        # or random ones.
        for _ in range(n):
            off = start + rng.randrange(length)
            how = rng.random()
            if how < 0.3:
                changes.append((kind, off, ("flip", 1 << rng.randrange(8))))
            elif how < 0.6:
                changes.append((kind, off, rng.choice(INTERESTING)))
            else:
                changes.append((kind, off, rng.randrange(256)))
    return changes


def apply(args):
    if args.regions and os.path.exists(args.regions):
        with open(args.regions) as f:
            info = json.load(f)
    else:
        info = find_regions(args.image)
    tag = args.tag or os.path.basename(args.image)
    rng = random.Random(f"{args.seed}:{tag}:{args.index}")
    if args.set:
        changes = []
        for item in args.set.split(","):
            off, val = item.split("=")
            changes.append(("given", int(off, 0), int(val, 0)))
    else:
        changes = plan(info, rng, tuple(f for f in (args.focus or "").split(",") if f))
    shutil.copyfile(args.image, args.out)
    done = []
    with open(args.out, "r+b") as f:
        for kind, off, v in changes:
            f.seek(off)
            old = f.read(1)[0]
            new = old ^ v[1] if isinstance(v, tuple) else v
            f.seek(off)
            f.write(bytes([new]))
            done.append({"structure": kind, "offset": off, "old": old, "new": new})
    print(json.dumps({"seed": args.seed, "index": args.index, "tag": tag, "changes": done}))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("regions")
    g.add_argument("image")
    g.add_argument("--summary", action="store_true", help="counts per structure only")
    a = sub.add_parser("apply")
    a.add_argument("image")
    a.add_argument("out")
    a.add_argument("--seed", type=int, required=True)
    a.add_argument("--index", type=int, required=True)
    a.add_argument("--regions")
    a.add_argument("--tag")
    a.add_argument("--focus", help="KIND[,KIND...]: weight mutations toward these structures")
    a.add_argument("--set", help="OFF=VAL[,OFF=VAL...]: these changes instead of random ones")
    args = p.parse_args()
    if args.cmd == "regions":
        info = find_regions(args.image)
        if args.summary:
            counts = {}
            for kind, _, _ in info["regions"]:
                counts[kind] = counts.get(kind, 0) + 1
            print(json.dumps(counts, sort_keys=True))
        else:
            json.dump(info, sys.stdout)
            print()
    else:
        apply(args)


if __name__ == "__main__":
    main()
