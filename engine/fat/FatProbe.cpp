// The FAT boot sector: its geometry checked before anything divides by it or
// reads through it, and the search for a usable one (the first sector, the
// FAT32 copy at sector 6, one rebuilt from the FATs and the root folder)
// that CFatVolume::Initialize opens by and the probe answers by.
#include <algorithm>
#include <string>

#include "FatVolume.h"
#include "platform/LeBytes.h"

namespace {

// Boot sector fields (byte offsets from the start of sector 0).
constexpr size_t kBytesPerSector = 11;    // u16
constexpr size_t kSectorsPerCluster = 13; // u8
constexpr size_t kReservedSectors = 14;   // u16
constexpr size_t kFatCount = 16;          // u8
constexpr size_t kRootEntryCount = 17;    // u16
constexpr size_t kTotalSectors16 = 19;    // u16
constexpr size_t kSectorsPerFat16 = 22;   // u16
constexpr size_t kTotalSectors32 = 32;    // u32
constexpr size_t kSectorsPerFat32 = 36;   // u32 (FAT32)
constexpr size_t kExtFlags = 40;          // u8, low byte of the FAT32 extended flags
constexpr size_t kRootCluster = 44;       // u32 (FAT32)
constexpr size_t kTypeText16 = 54;        // "FAT12" / "FAT16"
constexpr size_t kTypeText32 = 82;        // "FAT32"
constexpr size_t kTotalSectors64 = 82;    // u64 in place of the FAT32 type text (some formatters)
constexpr size_t kSignature = 510;        // 0xAA55
constexpr size_t kBackupBootField = 50;   // u16 (FAT32): the sector of the boot sector's copy
constexpr uint32_t kBackupBootSector = 6;
constexpr size_t kBootSize = 512;

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A FAT32 boot sector that carries no type text: both sector counts are 0
// and the 8 bytes of the text hold the sector count instead. The FAT32
// layout must show: no fixed root, no 16-bit FAT size, a 32-bit one.
bool Fat32WithLongCount(const LeBytes& boot) {
    if (boot.equals(3, "NTFS    ", 8) || boot.equals(3, "EXFAT   ", 8)) return false;
    return boot.u16(kTotalSectors16) == 0 && boot.u32(kTotalSectors32) == 0 && boot.u16(kRootEntryCount) == 0 &&
           boot.u16(kSectorsPerFat16) == 0 && boot.u32(kSectorsPerFat32) != 0 && boot.u64(kTotalSectors64) != 0;
}

}  // namespace

ProbeResult CFatVolume::CheckBootSector(const uint8_t* bytes, uint64_t deviceLength, FatBootGeometry& g) {
    LeBytes boot(bytes, kBootSize);
    if (boot.u16(kSignature) != 0xAA55) return {};

    if (boot.equals(kTypeText16, "FAT12", 5))
        g.fatType = kPartitionFat12;
    else if (boot.equals(kTypeText16, "FAT16", 5))
        g.fatType = kPartitionFat16;
    else if (boot.equals(kTypeText32, "FAT32", 5) || Fat32WithLongCount(boot))
        g.fatType = kPartitionFat32;
    else
        return {};
    const bool fat32 = g.fatType == kPartitionFat32;
    // Both sector counts 0 and the type text replaced by a 64-bit count.
    g.untyped = fat32 && !boot.equals(kTypeText32, "FAT32", 5);
    // No type text claimed FAT for an untyped sector: one that does not hold
    // up is no FAT volume, and says nothing.
    auto fail = [&g](std::string reason) {
        return g.untyped ? ProbeResult {} : ProbeResult {ProbeAnswer::Damaged, std::move(reason)};
    };

    // The geometry is checked before anything divides by it or reads through it.
    const uint32_t bps = boot.u16(kBytesPerSector);
    const uint32_t spc = boot.u8(kSectorsPerCluster);
    if (!IsPowerOfTwo(bps) || bps < 128 || bps > 4096)
        return fail("invalid FAT boot sector: bytes per sector is " + std::to_string(bps));
    if (!IsPowerOfTwo(spc)) return fail("invalid FAT boot sector: sectors per cluster is " + std::to_string(spc));
    // 4,096-byte sectors of 128 sectors make the largest cluster, 512 KiB
    // (mkfs.fat makes them; Windows reads them).
    if (bps * spc > 512u * 1024u)
        return fail("invalid FAT boot sector: cluster size " + std::to_string(bps * spc) + " is too large");
    g.sectorSize = bps;
    g.clusterSize = bps * spc;

    g.reservedSectors = boot.u16(kReservedSectors);
    g.fatCopies = boot.u8(kFatCount);
    if (g.reservedSectors == 0) return fail("invalid FAT boot sector: no reserved sectors");
    if (g.fatCopies == 0) return fail("invalid FAT boot sector: the number of FATs is 0");
    g.activeCopy = 0;
    g.sectorsPerFat = boot.u16(kSectorsPerFat16);
    if (fat32) {
        g.sectorsPerFat = boot.u32(kSectorsPerFat32);
        const uint8_t flags = boot.u8(kExtFlags);
        if (flags & 0x80) g.activeCopy = flags & 0x0F;
    }
    if (g.sectorsPerFat == 0) return fail("invalid FAT boot sector: the FAT size is 0");
    if (g.activeCopy >= g.fatCopies)
        return fail("invalid FAT boot sector: active FAT " + std::to_string(g.activeCopy) + " of " +
                    std::to_string(g.fatCopies) + " copies");

    const uint64_t fatArea = static_cast<uint64_t>(g.fatCopies) * g.sectorsPerFat;
    const uint64_t activeFirst = g.reservedSectors + static_cast<uint64_t>(g.activeCopy) * g.sectorsPerFat;
    const uint64_t rootFirst = g.reservedSectors + fatArea;
    uint64_t dataFirst = rootFirst;
    const uint32_t rootEntries = boot.u16(kRootEntryCount);
    if (!fat32) {
        if (rootEntries == 0) return fail("invalid FAT boot sector: the root folder has no entries");
        dataFirst += (static_cast<uint64_t>(rootEntries) * 32 + bps - 1) / bps;
    }
    if (dataFirst > UINT32_MAX) return fail("invalid FAT boot sector: the data area starts beyond 2^32 sectors");
    g.activeFatFirstSector = static_cast<uint32_t>(activeFirst);
    g.rootFirstSector = static_cast<uint32_t>(rootFirst);
    g.dataFirstSector = static_cast<uint32_t>(dataFirst);
    g.rootFirstCluster = fat32 ? boot.u32(kRootCluster) : 0;
    g.rootSize = fat32 ? 0xFFFFFFFF : rootEntries * 32;

    g.totalSectors = boot.u16(kTotalSectors16);
    if (g.totalSectors == 0) g.totalSectors = boot.u32(kTotalSectors32);
    const uint64_t deviceSectors = deviceLength / bps;
    if (g.untyped) {
        // No type text vouches for this sector: the count must fit the
        // source, hold the FATs and a data area of a FAT32 cluster count
        // that the FATs can map; anything else is no FAT volume.
        const uint64_t total = boot.u64(kTotalSectors64);
        const uint64_t fatEntries = uint64_t(g.sectorsPerFat) * bps / 4;
        const uint64_t clusters = total > dataFirst ? (total - dataFirst) / spc : 0;
        if (total > deviceSectors || clusters < 65525 || clusters > 0x0FFFFFF5 || clusters + 2 > fatEntries)
            return fail("the 64-bit sector count " + std::to_string(total) + " does not fit the volume");
        g.totalSectors = total;
    }
    if (g.totalSectors == 0) g.totalSectors = deviceSectors;
    if (g.totalSectors < dataFirst)
        return fail("invalid FAT boot sector: the volume (" + std::to_string(g.totalSectors) +
                    " sectors) ends before its data area (sector " + std::to_string(dataFirst) + ")");
    if (deviceSectors < dataFirst)
        return fail("the device is truncated: it holds " + std::to_string(deviceSectors) +
                    " sectors, the FATs and root folder need " + std::to_string(dataFirst));
    g.warning.clear();
    if (deviceSectors < g.totalSectors)
        g.warning = "the device is truncated: it holds " + std::to_string(deviceSectors) + " of the volume's " +
                    std::to_string(g.totalSectors) + " sectors";
    const uint64_t clusters = (g.totalSectors - dataFirst) / spc;
    g.clusterCount = static_cast<uint32_t>(std::min<uint64_t>(clusters, 0x0FFFFFF5));
    const uint64_t fatEntries = std::min<uint64_t>(static_cast<uint64_t>(g.sectorsPerFat) * bps / 4, UINT32_MAX);
    if (fat32 && (g.rootFirstCluster < 2 || g.rootFirstCluster >= fatEntries))
        return fail("invalid FAT boot sector: root cluster " + std::to_string(g.rootFirstCluster) +
                    " is outside the FAT");
    return {ProbeAnswer::Yes, {}};
}

ProbeResult CFatVolume::FindBootSector(const BootSource& source, uint8_t* boot, FatBootGeometry& g, std::string& note) {
    note.clear();
    if (source.read(0, boot, kBootSize) != static_cast<int64_t>(kBootSize)) return {};
    const ProbeResult primary = CheckBootSector(boot, source.length, g);
    if (primary.answer == ProbeAnswer::Yes) return primary;
    const std::string& primaryError = primary.reason;

    // FAT32 keeps a copy of its boot sector at sector 6 (FAT12 and FAT16
    // keep none). The copy must say so itself: its backup field names 6.
    std::string reason;  // why the last boot sector tried is unusable
    for (uint32_t bps = 512; bps <= 4096; bps *= 2) {
        if (source.read(uint64_t(kBackupBootSector) * bps, boot, kBootSize) != static_cast<int64_t>(kBootSize)) break;
        LeBytes b(boot, kBootSize);
        if (b.u16(kSignature) != 0xAA55 || !(b.equals(kTypeText32, "FAT32", 5) || Fat32WithLongCount(b)) ||
            b.u16(kBytesPerSector) != bps || b.u16(kBackupBootField) != kBackupBootSector)
            continue;
        ProbeResult backup = CheckBootSector(boot, source.length, g);
        if (backup.answer == ProbeAnswer::Yes) {
            note = "the boot sector is damaged; the backup boot sector at sector " +
                   std::to_string(kBackupBootSector) + " was used";
            return backup;
        }
        reason = std::move(backup.reason);
        break;
    }
    // FAT12 and FAT16 keep no copy: a first sector that claims no FAT at all
    // may still be one whose geometry the volume shows.
    if (primaryError.empty() && RebuildBootSector(source, boot)) {
        ProbeResult rebuilt = CheckBootSector(boot, source.length, g);
        if (rebuilt.answer == ProbeAnswer::Yes) {
            note = "the boot sector is damaged; its geometry was rebuilt from the FATs and the root folder";
            return rebuilt;
        }
        reason = std::move(rebuilt.reason);
    }
    if (!primaryError.empty()) reason = primaryError;
    if (reason.empty()) return {};
    return {ProbeAnswer::Damaged, std::move(reason)};
}

ProbeResult CFatVolume::Probe(const BootSource& source) {
    uint8_t boot[kBootSize];
    FatBootGeometry g;
    std::string note;
    return FindBootSector(source, boot, g, note);
}
