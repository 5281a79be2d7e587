// Reading MBR and GPT partition tables from a whole disk or disk image.
//
// Layouts read here (all fields little endian):
//
//   MBR (sector 0, 512 bytes)
//     446  4 x 16   partition entries
//     510  2        boot signature 0x55 0xAA
//   MBR partition entry (16 bytes)
//     0    1        status: 0x00 or 0x80 (bootable)
//     1    3        CHS of the first sector (ignored)
//     4    1        type byte
//     5    3        CHS of the last sector (ignored)
//     8    4        first sector (LBA)
//     12   4        sector count
//   An extended partition (0x05, 0x0F, 0x85) holds a chain of extended boot
//   records, each laid out as an MBR: entry 0 is a logical partition relative
//   to that record, entry 1 links to the next record relative to the start of
//   the extended partition (entries 2 and 3 are read too: some tools put
//   the logical partition or the link there).
//
//   GPT header (LBA 1)
//     0    8        "EFI PART"
//     8    4        revision
//     12   4        header size (92 .. sector size)
//     16   4        CRC32 of the header, computed with this field zeroed
//     24   8        LBA of this header
//     32   8        LBA of the other (backup or primary) header
//     40   8        first usable LBA
//     48   8        last usable LBA
//     56   16       disk GUID
//     72   8        LBA of the partition entry array
//     80   4        number of entries
//     84   4        size of one entry (a multiple of 128)
//     88   4        CRC32 of the entry array
//   GPT partition entry
//     0    16       type GUID (all zero: unused)
//     16   16       unique GUID
//     32   8        first LBA
//     40   8        last LBA (inclusive)
//     48   8        attributes
//     56   72       name, 36 UTF-16 code units, NUL padded
//
// Every value from disk is checked before it is used: the EBR chain is
// bounded and must move forward, GPT counts and sizes have fixed limits, and
// partitions are clipped to (or dropped at) the end of the device.
#include "PartitionTable.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "DeviceStream.h"
#include "LeBytes.h"
#include "Status.h"
#include "Text.h"

namespace {

constexpr size_t kMbrSize = 512;
constexpr size_t kMbrEntries = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMaxEbrLinks = 128;        // extended boot records followed, all chains together
constexpr uint32_t kMaxGptEntries = 1024;
constexpr uint32_t kMaxGptEntrySize = 4096;
constexpr uint32_t kMinGptHeaderSize = 92;
constexpr size_t kGptNameUnits = 36;

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// The CRC-32 the GPT header and entry array carry (zlib's, the same polynomial).
uint32_t Crc32(const uint8_t* data, size_t size) {
    return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), data, size));
}

// A GUID as stored on disk: the first three groups little endian, the last
// two as bytes.
std::string GuidText(const LeBytes& b, size_t off) {
    if (!b.has(off, 16)) return {};
    const uint8_t* p = b.data() + off;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", LeBytes::u32_unsafe(p),
                  LeBytes::u16_unsafe(p + 4), LeBytes::u16_unsafe(p + 6), p[8], p[9], p[10], p[11], p[12], p[13],
                  p[14], p[15]);
    return buf;
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// A FAT or NTFS (or exFAT) boot sector found at sector 0: a volume without a
// partition table. These end with 0x55AA too.
bool IsVolumeBootSector(const LeBytes& s) {
    uint8_t jump = s.u8(0);
    if (jump != 0xEB && jump != 0xE9) return false;
    return s.equals(3, "NTFS    ", 8) || s.equals(3, "EXFAT   ", 8) || s.equals(54, "FAT", 3) || s.equals(82, "FAT32", 5);
}

// A BIOS parameter block that looks like a FAT volume's, for boot sectors
// whose file-system type strings were left blank.
bool HasPlausibleBpb(const LeBytes& s) {
    uint8_t jump = s.u8(0);
    if (!((jump == 0xEB && s.u8(2) == 0x90) || jump == 0xE9)) return false;
    uint16_t bytesPerSector = s.u16(11);
    uint8_t sectorsPerCluster = s.u8(13);
    uint16_t reserved = s.u16(14);
    uint8_t fats = s.u8(16);
    bool bpsOk = bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096;
    bool spcOk = sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0;
    return s.ok() && bpsOk && spcOk && reserved != 0 && (fats == 1 || fats == 2);
}

struct MbrEntry {
    uint8_t status = 0;
    uint8_t type = 0;
    uint32_t start = 0;  // sectors
    uint32_t count = 0;  // sectors
    bool empty() const { return type == 0 || count == 0; }
};

MbrEntry ReadMbrEntry(const LeBytes& sector, int slot) {
    size_t off = kMbrEntries + static_cast<size_t>(slot) * kMbrEntrySize;
    MbrEntry e;
    e.status = sector.u8(off + 0);
    e.type = sector.u8(off + 4);
    e.start = sector.u32(off + 8);
    e.count = sector.u32(off + 12);
    return e;
}

struct GptHeader {
    uint64_t headerLba = 0;
    uint64_t alternateLba = 0;
    uint64_t entryLba = 0;
    uint32_t entryCount = 0;
    uint32_t entrySize = 0;
    uint32_t entriesCrc = 0;
};

class CTableReader {
public:
    CTableReader(CDeviceStream& device, PartitionTable& table) : m_device(device), m_table(table) {
        m_deviceLength = device.Length();
    }

    bool Read(std::string& error);

private:
    // Reads size bytes at offset into out (resized to what was read).
    // Returns false on an I/O error (errno kept in m_errno).
    bool ReadBytes(uint64_t offset, size_t size, std::vector<uint8_t>& out) {
        out.assign(size, 0);
        int64_t n = m_device.ReadAt(offset, out.data(), size);
        if (n < 0) {
            m_errno = errno;
            out.clear();
            return false;
        }
        out.resize(static_cast<size_t>(n));
        return true;
    }

    void Warn(std::string text) { m_table.warnings.push_back(std::move(text)); }

    // Adds a partition after checking it against the end of the device.
    void Add(PartitionEntry p, const std::string& what);

    void ReadMbr(const LeBytes& sector);
    void ReadExtended(const MbrEntry& extended, int slot, int& nextLogical, size_t& linksLeft);
    bool ReadGpt();
    bool CheckGptHeader(const LeBytes& h, uint32_t sectorSize, uint64_t lba, GptHeader& out, std::string& why);
    void ReadGptEntries(const GptHeader& h, uint32_t sectorSize);

    CDeviceStream& m_device;
    PartitionTable& m_table;
    uint64_t m_deviceLength = 0;
    uint32_t m_mbrSector = 512;      // unit of MBR sector numbers
    uint32_t m_logicalSector = 0;    // logical sector size of a block device, 0 for image files
    int m_errno = 0;
};

void CTableReader::Add(PartitionEntry p, const std::string& what) {
    if (p.offset >= m_deviceLength) {
        Warn(what + " starts at byte " + std::to_string(p.offset) + ", past the end of the device (" +
             std::to_string(m_deviceLength) + " bytes); dropped");
        return;
    }
    if (p.length > m_deviceLength - p.offset) {
        uint64_t clipped = m_deviceLength - p.offset;
        Warn(what + " ends past the end of the device; clipped from " + std::to_string(p.length) + " to " +
             std::to_string(clipped) + " bytes");
        p.length = clipped;
    }
    m_table.partitions.push_back(std::move(p));
}

bool CTableReader::Read(std::string& error) {
    m_table = PartitionTable{};
    if (m_device.IsBlockDevice()) {
        int logical = 0;
        if (ioctl(m_device.NativeHandle(), BLKSSZGET, &logical) == 0 && logical >= 512 && logical <= 4096 &&
            (logical & (logical - 1)) == 0)
            m_logicalSector = static_cast<uint32_t>(logical);
    }
    // MBR sector numbers count logical sectors of the disk: 512 bytes on an
    // image file, the device's own size on a block device.
    m_mbrSector = m_logicalSector ? m_logicalSector : 512;

    std::vector<uint8_t> buf;
    if (!ReadBytes(0, kMbrSize, buf)) {
        error = "cannot read sector 0 of " + m_device.Path() + ": " + ErrnoText(m_errno);
        return false;
    }
    if (buf.size() < kMbrSize) return true;  // too short to hold a table
    LeBytes sector(buf.data(), buf.size());
    if (sector.u8(510) != 0x55 || sector.u8(511) != 0xAA) return true;
    if (IsVolumeBootSector(sector)) return true;

    bool anyEntry = false;
    bool protective = false;
    for (int slot = 0; slot < 4; ++slot) {
        MbrEntry e = ReadMbrEntry(sector, slot);
        if (e.status != 0x00 && e.status != 0x80) {
            Warn("sector 0 ends with 0x55AA but MBR entry " + std::to_string(slot + 1) + " has the invalid status byte " +
                 Hex(e.status) + "; not a partition table");
            return true;
        }
        if (!e.empty()) anyEntry = true;
        if (e.type == 0xEE) protective = true;
    }
    if (!anyEntry && HasPlausibleBpb(sector)) return true;  // a volume whose boot code area is blank

    if (protective) {
        m_table.scheme = "GPT";
        if (!ReadGpt()) {
            error = "cannot read the GPT of " + m_device.Path() + ": " + ErrnoText(m_errno);
            return false;
        }
        return true;
    }
    m_table.scheme = "MBR";
    m_table.sectorSize = m_mbrSector;
    ReadMbr(sector);
    return true;
}

void CTableReader::ReadMbr(const LeBytes& sector) {
    int nextLogical = 5;
    size_t linksLeft = kMaxEbrLinks;
    for (int slot = 0; slot < 4; ++slot) {
        MbrEntry e = ReadMbrEntry(sector, slot);
        if (e.empty()) continue;
        std::string what = "MBR partition " + std::to_string(slot + 1);
        if (uint64_t(e.start) + e.count > (uint64_t(1) << 32)) {
            Warn(what + ": start sector " + std::to_string(e.start) + " plus " + std::to_string(e.count) +
                 " sectors overflows the 32-bit sector range; ignored");
            continue;
        }
        if (e.start == 0) {
            Warn(what + " starts at sector 0, on top of the partition table; ignored");
            continue;
        }
        if (IsExtendedType(e.type)) {
            ReadExtended(e, slot, nextLogical, linksLeft);
            continue;
        }
        PartitionEntry p;
        p.number = slot + 1;
        p.offset = uint64_t(e.start) * m_mbrSector;
        p.length = uint64_t(e.count) * m_mbrSector;
        p.mbrType = e.type;
        p.typeName = MbrTypeName(e.type);
        Add(std::move(p), what);
    }
    // Primaries are listed by slot, logicals after them in chain order.
    std::stable_sort(m_table.partitions.begin(), m_table.partitions.end(),
                     [](const PartitionEntry& a, const PartitionEntry& b) { return a.number < b.number; });
}

void CTableReader::ReadExtended(const MbrEntry& extended, int slot, int& nextLogical, size_t& linksLeft) {
    const uint64_t extStart = extended.start;  // sectors
    uint64_t extEnd = extStart + extended.count;
    const uint64_t deviceSectors = m_deviceLength / m_mbrSector;
    const std::string extName = "extended partition " + std::to_string(slot + 1);
    if (extEnd > deviceSectors) {
        if (extStart >= deviceSectors) {
            Warn(extName + " starts past the end of the device; its logical partitions are not read");
            return;
        }
        Warn(extName + " ends past the end of the device; its chain is read up to the end");
        extEnd = deviceSectors;
    }

    uint64_t ebr = extStart;
    std::vector<uint8_t> buf;
    for (;;) {
        if (linksLeft == 0) {
            Warn(extName + ": more than " + std::to_string(kMaxEbrLinks) +
                 " extended boot records; the rest of the chain is not read");
            return;
        }
        --linksLeft;
        std::string ebrName = "extended boot record at sector " + std::to_string(ebr);
        if (!ReadBytes(ebr * m_mbrSector, kMbrSize, buf)) {
            Warn("cannot read the " + ebrName + ": " + ErrnoText(m_errno) + "; the rest of the chain is not read");
            return;
        }
        if (buf.size() < kMbrSize) {
            Warn("the " + ebrName + " lies past the end of the device; the rest of the chain is not read");
            return;
        }
        LeBytes sector(buf.data(), buf.size());
        if (sector.u8(510) != 0x55 || sector.u8(511) != 0xAA) {
            Warn("the " + ebrName + " has no 0x55AA signature; the rest of the chain is not read");
            return;
        }

        // The logical partition normally sits in slot 1 and the link in
        // slot 2, but Windows and Linux read every slot: a logical entry in
        // slot 3 or 4 counts when it lies inside the extended partition
        // (those slots sometimes hold garbage), and when slot 2 holds no
        // link, the first extended entry of slots 3 and 4 is the link.
        MbrEntry link = ReadMbrEntry(sector, 1);
        for (int s = 2; s < 4 && !IsExtendedType(link.type); ++s) {
            const MbrEntry e = ReadMbrEntry(sector, s);
            if (IsExtendedType(e.type)) link = e;
        }
        for (int s : {0, 2, 3}) {
            const MbrEntry logical = ReadMbrEntry(sector, s);
            if (logical.empty()) continue;
            if (s > 0 && (IsExtendedType(logical.type) || logical.start == 0 ||
                          ebr + logical.start + logical.count > extEnd))
                continue;
            std::string what = "logical partition " + std::to_string(nextLogical);
            if (IsExtendedType(logical.type)) {
                Warn("the " + ebrName + " holds an extended partition where a logical one belongs; ignored");
            } else if (uint64_t(logical.start) + logical.count > (uint64_t(1) << 32)) {
                Warn(what + ": start sector " + std::to_string(logical.start) + " plus " +
                     std::to_string(logical.count) + " sectors overflows the 32-bit sector range; ignored");
            } else if (logical.start == 0) {
                Warn(what + " starts on its own extended boot record; ignored");
            } else {
                uint64_t first = ebr + logical.start;
                uint64_t end = first + logical.count;
                if (end > extEnd)
                    Warn(what + " extends past the end of " + extName + " (sector " + std::to_string(end) + " > " +
                         std::to_string(extEnd) + ")");
                PartitionEntry p;
                p.number = nextLogical++;
                p.offset = first * m_mbrSector;
                p.length = uint64_t(logical.count) * m_mbrSector;
                p.mbrType = logical.type;
                p.typeName = MbrTypeName(logical.type);
                Add(std::move(p), what);
            }
        }

        if (link.empty()) return;  // end of the chain
        if (!IsExtendedType(link.type)) {
            Warn("the " + ebrName + " links to a partition of type " + Hex(link.type) +
                 " instead of the next extended boot record; the rest of the chain is not read");
            return;
        }
        uint64_t next = extStart + link.start;
        if (next <= ebr) {
            Warn("the " + ebrName + " links back to sector " + std::to_string(next) +
                 " (a loop in the chain); the rest of the chain is not read");
            return;
        }
        if (next >= extEnd) {
            Warn("the " + ebrName + " links to sector " + std::to_string(next) + ", outside " + extName +
                 "; the rest of the chain is not read");
            return;
        }
        ebr = next;
    }
}

bool CTableReader::CheckGptHeader(const LeBytes& h, uint32_t sectorSize, uint64_t lba, GptHeader& out,
                                  std::string& why) {
    if (!h.equals(0, "EFI PART", 8)) {
        why = "no \"EFI PART\" signature";
        return false;
    }
    uint32_t headerSize = h.u32(12);
    if (headerSize < kMinGptHeaderSize || headerSize > sectorSize) {
        why = "header size " + std::to_string(headerSize) + " is out of range";
        return false;
    }
    if (!h.has(0, headerSize)) {
        why = "the device ends inside the header";
        return false;
    }
    uint32_t storedCrc = h.u32(16);
    out.headerLba = lba;
    out.alternateLba = h.u64(32);
    out.entryLba = h.u64(72);
    out.entryCount = h.u32(80);
    out.entrySize = h.u32(84);
    out.entriesCrc = h.u32(88);
    if (!h.ok()) {
        why = "header truncated";
        return false;
    }
    if (out.entrySize < 128 || out.entrySize % 128 != 0 || out.entrySize > kMaxGptEntrySize) {
        why = "partition entry size " + std::to_string(out.entrySize) + " is not a multiple of 128 up to " +
              std::to_string(kMaxGptEntrySize);
        return false;
    }
    if (out.entryCount > kMaxGptEntries) {
        why = "partition entry count " + std::to_string(out.entryCount) + " is above " + std::to_string(kMaxGptEntries);
        return false;
    }
    const uint64_t deviceSectors = m_deviceLength / sectorSize;
    if (out.entryLba < 2) {
        why = "partition entries at LBA " + std::to_string(out.entryLba) + " overlap the MBR or the header";
        return false;
    }
    if (out.entryLba >= deviceSectors) {
        why = "partition entries at LBA " + std::to_string(out.entryLba) + " lie outside the device";
        return false;
    }

    std::vector<uint8_t> copy(h.data(), h.data() + headerSize);
    std::memset(copy.data() + 16, 0, 4);
    if (Crc32(copy.data(), copy.size()) != storedCrc)
        Warn("GPT header at LBA " + std::to_string(lba) + ": CRC32 mismatch (damaged header?)");
    return true;
}

bool CTableReader::ReadGpt() {
    // The sector size is found by where "EFI PART" is: LBA 1 at 512 bytes, or
    // at 4096 bytes on a 4Kn disk. A block device's own size is tried first.
    std::vector<uint32_t> sizes;
    if (m_logicalSector) sizes.push_back(m_logicalSector);
    for (uint32_t s : {512u, 4096u})
        if (s != m_logicalSector) sizes.push_back(s);

    std::vector<uint8_t> buf;
    GptHeader header;
    std::string why;
    uint32_t primarySize = 0;
    for (uint32_t ss : sizes) {
        if (!ReadBytes(ss, ss, buf)) return false;
        LeBytes h(buf.data(), buf.size());
        if (!h.equals(0, "EFI PART", 8)) continue;
        primarySize = ss;
        if (CheckGptHeader(h, ss, 1, header, why)) {
            m_table.sectorSize = ss;
            ReadGptEntries(header, ss);
            return true;
        }
        Warn("primary GPT header: " + why);
        break;
    }
    if (primarySize == 0) Warn("protective MBR, but no GPT header at LBA 1");

    // The backup header lies in the last sector of the disk (or where the
    // primary header says, when that is inside the device).
    std::vector<uint32_t> backupSizes = primarySize ? std::vector<uint32_t>{primarySize} : sizes;
    for (uint32_t ss : backupSizes) {
        uint64_t deviceSectors = m_deviceLength / ss;
        if (deviceSectors < 3) continue;
        std::vector<uint64_t> candidates{deviceSectors - 1};
        if (primarySize == ss) {
            LeBytes primary(buf.data(), buf.size());
            uint64_t alt = primary.u64(32);
            if (primary.ok() && alt > 1 && alt < deviceSectors - 1) candidates.insert(candidates.begin(), alt);
        }
        for (uint64_t lba : candidates) {
            std::vector<uint8_t> hb;
            if (!ReadBytes(lba * ss, ss, hb)) return false;
            LeBytes h(hb.data(), hb.size());
            if (!h.equals(0, "EFI PART", 8)) continue;
            if (!CheckGptHeader(h, ss, lba, header, why)) {
                Warn("backup GPT header at LBA " + std::to_string(lba) + ": " + why);
                continue;
            }
            Warn("using the backup GPT header at LBA " + std::to_string(lba));
            m_table.sectorSize = ss;
            ReadGptEntries(header, ss);
            return true;
        }
    }
    Warn("no usable GPT header; no partitions read");
    return true;
}

void CTableReader::ReadGptEntries(const GptHeader& h, uint32_t ss) {
    // CheckGptHeader bounded count, size and the array's start.
    const uint64_t arrayOffset = h.entryLba * ss;
    const size_t arrayBytes = size_t(h.entryCount) * h.entrySize;
    size_t wanted = arrayBytes;
    bool truncated = false;
    if (arrayBytes > m_deviceLength - arrayOffset) {
        wanted = static_cast<size_t>(m_deviceLength - arrayOffset);
        truncated = true;
    }
    std::vector<uint8_t> array;
    if (!ReadBytes(arrayOffset, wanted, array)) {
        Warn("cannot read the GPT partition entries at LBA " + std::to_string(h.entryLba) + ": " +
             ErrnoText(m_errno));
        return;
    }
    if (array.size() < arrayBytes) truncated = true;
    size_t usable = array.size() / h.entrySize;
    if (truncated) {
        Warn("GPT partition entries end past the end of the device (truncated image?); " + std::to_string(usable) +
             " of " + std::to_string(h.entryCount) + " entries read");
    } else if (Crc32(array.data(), array.size()) != h.entriesCrc) {
        Warn("GPT partition entries: CRC32 mismatch (damaged table?)");
    }

    LeBytes all(array.data(), array.size());
    for (size_t i = 0; i < usable; ++i) {
        LeBytes e = all.slice(i * h.entrySize, h.entrySize);
        if (!all.ok() || !e.has(0, 128)) break;
        static const uint8_t zero[16] = {};
        if (e.equals(0, zero, 16)) continue;
        std::string what = "GPT partition " + std::to_string(i + 1);
        uint64_t first = e.u64(32);
        uint64_t last = e.u64(40);
        if (first > last) {
            Warn(what + ": first LBA " + std::to_string(first) + " is after its last LBA " + std::to_string(last) +
                 "; ignored");
            continue;
        }
        if (first == 0) {
            Warn(what + " starts at LBA 0, on top of the protective MBR; ignored");
            continue;
        }
        uint64_t sectors = last - first;  // + 1 below, checked
        if (first > UINT64_MAX / ss || sectors >= UINT64_MAX / ss ||
            (sectors + 1) * ss > UINT64_MAX - first * ss) {
            Warn(what + ": LBA range " + std::to_string(first) + ".." + std::to_string(last) +
                 " overflows the byte range; ignored");
            continue;
        }
        PartitionEntry p;
        p.number = static_cast<int>(i + 1);
        p.offset = first * ss;
        p.length = (sectors + 1) * ss;
        p.gptType = GuidText(e, 0);
        p.typeName = GptTypeName(p.gptType);
        std::u16string name = e.utf16(56, kGptNameUnits);
        if (size_t nul = name.find(u'\0'); nul != std::u16string::npos) name.resize(nul);
        p.name = Utf16ToUtf8(name);
        Add(std::move(p), what);
    }
}

}  // namespace

std::string MbrTypeName(uint8_t type) {
    switch (type) {
        case 0x01: return "FAT12";
        case 0x04:
        case 0x06:
        case 0x0E: return "FAT16";
        case 0x0B:
        case 0x0C: return "FAT32";
        case 0x07: return "NTFS/exFAT";
        case 0x27: return "Windows recovery";
        case 0x82: return "Linux swap";
        case 0x83: return "Linux";
        case 0x8E: return "Linux LVM";
        case 0xEE: return "GPT protective";
        case 0xEF: return "EFI system";
        case 0xFD: return "Linux RAID";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "Type 0x%02X", type);
            return buf;
        }
    }
}

std::string GptTypeName(const std::string& typeGuid) {
    static const struct {
        const char* guid;
        const char* name;
    } kNames[] = {
        {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", "Microsoft basic data"},
        {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "EFI system"},
        {"0fc63daf-8483-4772-8e79-3d69d8477de4", "Linux filesystem"},
        {"e3c9e316-0b5c-4db8-817d-f92df00215ae", "Microsoft reserved"},
        {"de94bba4-06d1-4d40-a16a-bfd50179d6ac", "Windows recovery environment"},
        {"0657fd6d-a4ab-43c4-84e5-0933c84b4f4f", "Linux swap"},
        {"e6d6d379-f507-44c2-a23c-238f2a3df928", "Linux LVM"},
        {"21686148-6449-6e6f-744e-656564454649", "BIOS boot"},
    };
    std::string lower = typeGuid;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& n : kNames)
        if (lower == n.guid) return n.name;
    return "GUID " + lower;
}

bool ReadPartitionTable(CDeviceStream& device, PartitionTable& table, std::string& error) {
    if (!device.IsOpen()) {
        table = PartitionTable{};
        error = "cannot read the partition table: the device is not open";
        return false;
    }
    CTableReader reader(device, table);
    return reader.Read(error);
}
