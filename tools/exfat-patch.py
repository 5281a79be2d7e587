#!/usr/bin/env python3
"""Reads and patches directory entry sets of an exFAT image (never mounted).

Used by tools/make-exfat-fixture.sh after exfat-fuse has written and deleted
files, to make states exfat-fuse does not make by itself, and to check what it
left behind.

  exfat-patch.py IMAGE ls [FOLDER]
      Every entry set of the folder (a path from the root, "/" by default):
      IN-USE|DELETED, first cluster, NoFatChain, valid data length, data
      length, checksum ok|bad, name.
  exfat-patch.py IMAGE show PATH
      The entry set of PATH (the last part may be deleted; the folders above
      must be live) and its clusters: "contiguous" or the FAT chain as it is
      now, and for each cluster whether the allocation bitmap marks it used.
  exfat-patch.py IMAGE set PATH FIELD=VALUE...
      Rewrites fields of the stream extension entry (vdl, size, cluster,
      flags) and recomputes the set checksum.
  exfat-patch.py IMAGE corrupt PATH
      Changes one byte of the set's first file name entry and keeps the old
      checksum, so the set no longer matches its checksum.

A path's last part is matched first among sets in use, then among deleted
ones. Every walk is bounded: a folder's clusters by the cluster count, its
entries by its size.
"""
import struct
import sys

ENTRY = 32


class Volume:
    def __init__(self, path, writable=False):
        self.f = open(path, "r+b" if writable else "rb")
        boot = self.read(0, 512)
        if boot[3:11] != b"EXFAT   ":
            sys.exit("not an exFAT boot sector")
        self.sector = 1 << boot[108]
        self.cluster = self.sector << boot[109]
        self.fat_offset = struct.unpack_from("<I", boot, 80)[0] * self.sector
        self.heap = struct.unpack_from("<I", boot, 88)[0] * self.sector
        self.count = struct.unpack_from("<I", boot, 92)[0]
        self.root = struct.unpack_from("<I", boot, 96)[0]
        self.bitmap = None

    def read(self, off, n):
        self.f.seek(off)
        b = self.f.read(n)
        if len(b) != n:
            sys.exit(f"short read at {off}")
        return b

    def write(self, off, b):
        self.f.seek(off)
        self.f.write(b)

    def valid(self, c):
        return 2 <= c < self.count + 2

    def offset(self, c):
        return self.heap + (c - 2) * self.cluster

    def fat(self, c):
        return struct.unpack("<I", self.read(self.fat_offset + 4 * c, 4))[0]

    def chain(self, first, limit=None):
        """The FAT chain from first, bounded by the cluster count (and limit)."""
        out = []
        c = first
        seen = set()
        bound = self.count if limit is None else min(limit, self.count)
        while self.valid(c) and c not in seen and len(out) < bound:
            out.append(c)
            seen.add(c)
            c = self.fat(c)
        return out

    def used(self, c):
        if self.bitmap is None:
            # The allocation bitmap: the root's entry of type 0x81.
            for off, raw in self.entries(self.chain(self.root), None):
                if raw[0] == 0x81:
                    first, length = struct.unpack_from("<IQ", raw, 20)
                    n = min(length, (self.count + 7) // 8)
                    self.bitmap = self.read(self.offset(first), n)
                    break
            else:
                sys.exit("no allocation bitmap")
        i = c - 2
        return bool(self.bitmap[i // 8] >> (i % 8) & 1) if 0 <= i < len(self.bitmap) * 8 else False

    def entries(self, clusters, size):
        """(image offset, 32 bytes) of each entry of a folder's clusters."""
        left = size if size is not None else len(clusters) * self.cluster
        for c in clusters:
            base = self.offset(c)
            data = self.read(base, self.cluster)
            for i in range(0, self.cluster, ENTRY):
                if left <= 0:
                    return
                left -= ENTRY
                yield base + i, data[i:i + ENTRY]


def checksum(raw_entries):
    s = 0
    for k, e in enumerate(raw_entries):
        for i, b in enumerate(e):
            if k == 0 and i in (2, 3):
                continue
            s = (((s << 15) | (s >> 1)) + b) & 0xFFFF
    return s


class EntrySet:
    def __init__(self, offsets, raws):
        self.offsets = offsets
        self.raws = raws
        f, s = raws[0], raws[1]
        self.deleted = not f[0] & 0x80
        self.attributes = struct.unpack_from("<H", f, 4)[0]
        self.flags = s[1]
        self.name_length = s[3]
        self.vdl = struct.unpack_from("<Q", s, 8)[0]
        self.first = struct.unpack_from("<I", s, 20)[0]
        self.size = struct.unpack_from("<Q", s, 24)[0]
        units = b"".join(r[2:32] for r in raws[2:] if r[0] & 0x7F == 0x41)
        self.name = units[:2 * self.name_length].decode("utf-16-le", "replace")
        self.stored_sum = struct.unpack_from("<H", f, 2)[0]

    def in_use_form(self):
        return [bytes([r[0] | 0x80]) + r[1:] for r in self.raws]

    def sum_ok(self):
        return checksum(self.in_use_form()) == self.stored_sum

    def is_folder(self):
        return bool(self.attributes & 0x10)

    def clusters(self, vol):
        if not vol.valid(self.first):
            return []
        n = (self.size + vol.cluster - 1) // vol.cluster
        if self.flags & 2:
            return [c for c in range(self.first, self.first + n) if vol.valid(c)]
        return vol.chain(self.first, n)


def sets(vol, clusters, size):
    """The entry sets (file entry, stream extension, names) of a folder."""
    ents = list(vol.entries(clusters, size))
    i = 0
    while i < len(ents):
        off, raw = ents[i]
        if raw[0] == 0x00:
            break
        if raw[0] & 0x7F == 0x05:
            n = raw[1]
            group = ents[i:i + 1 + n]
            if 2 <= n <= 18 and len(group) == 1 + n and group[1][1][0] & 0x7F == 0x40:
                yield EntrySet([g[0] for g in group], [g[1] for g in group])
                i += 1 + n
                continue
        i += 1


def folder(vol, path):
    """(clusters, size) of a live folder by its path."""
    clusters, size = vol.chain(vol.root), None
    for part in [p for p in path.split("/") if p]:
        for s in sets(vol, clusters, size):
            if not s.deleted and s.is_folder() and s.name == part:
                clusters, size = s.clusters(vol), s.size
                break
        else:
            sys.exit(f"no live folder {part} in {path}")
    return clusters, size


def find(vol, path):
    parent, _, name = path.rstrip("/").rpartition("/")
    clusters, size = folder(vol, parent)
    found = list(sets(vol, clusters, size))
    for want_deleted in (False, True):
        for s in found:
            if s.deleted == want_deleted and s.name == name:
                return s
    sys.exit(f"no entry set {path}")


def write_set(vol, s, raws, keep_sum=False):
    first = bytearray(raws[0])
    if not keep_sum:
        struct.pack_into("<H", first, 2, checksum([bytes([r[0] | 0x80]) + r[1:] for r in [bytes(first)] + raws[1:]]))
    raws = [bytes(first)] + raws[1:]
    for off, raw in zip(s.offsets, raws):
        vol.write(off, raw)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    image, cmd, args = argv[1], argv[2], argv[3:]
    vol = Volume(image, writable=cmd in ("set", "corrupt"))
    if cmd == "ls":
        clusters, size = folder(vol, args[0] if args else "/")
        for s in sets(vol, clusters, size):
            print("DELETED" if s.deleted else "IN-USE", s.first, "nofatchain" if s.flags & 2 else "fatchain",
                  s.vdl, s.size, "ok" if s.sum_ok() else "bad", s.name)
    elif cmd == "show":
        s = find(vol, args[0])
        print(f"name {s.name}\ndeleted {int(s.deleted)}\nfolder {int(s.is_folder())}\nflags {s.flags}\n"
              f"vdl {s.vdl}\nsize {s.size}\nfirst {s.first}\nchecksum {'ok' if s.sum_ok() else 'bad'}")
        if s.flags & 2:
            print("layout contiguous")
        else:
            # The chain as the FAT holds it now, with each link's value.
            n = (s.size + vol.cluster - 1) // vol.cluster
            links = []
            c = s.first
            for _ in range(min(n, vol.count)):
                if not vol.valid(c):
                    break
                links.append(f"{c}->{vol.fat(c):#x}")
                c = vol.fat(c)
            print("layout fatchain " + " ".join(links))
        used = [int(vol.used(c)) for c in s.clusters(vol)]
        print(f"clusters {len(used)} used {sum(used)}")
    elif cmd == "set":
        s = find(vol, args[0])
        stream = bytearray(s.raws[1])
        for a in args[1:]:
            key, _, value = a.partition("=")
            v = int(value, 0)
            if key == "vdl":
                struct.pack_into("<Q", stream, 8, v)
            elif key == "size":
                struct.pack_into("<Q", stream, 24, v)
            elif key == "cluster":
                struct.pack_into("<I", stream, 20, v)
            elif key == "flags":
                stream[1] = v
            else:
                sys.exit(f"unknown field {key}")
        write_set(vol, s, [s.raws[0], bytes(stream)] + s.raws[2:])
    elif cmd == "corrupt":
        s = find(vol, args[0])
        raws = list(s.raws)
        name = bytearray(raws[2])
        name[2] ^= 0x01  # the first name unit's low byte
        raws[2] = bytes(name)
        write_set(vol, s, raws, keep_sum=True)
    else:
        sys.exit(f"unknown command {cmd}")


if __name__ == "__main__":
    main(sys.argv)
