#include "FatVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/Log.h"
#include "engine/fat/FatDirectory.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

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
constexpr size_t kSerial16 = 39;          // u32 (FAT12/16)
constexpr size_t kLabel16 = 43;           // 11 bytes (FAT12/16)
constexpr size_t kTypeText16 = 54;        // "FAT12" / "FAT16"
constexpr size_t kSerial32 = 67;          // u32 (FAT32)
constexpr size_t kLabel32 = 71;           // 11 bytes (FAT32)
constexpr size_t kTypeText32 = 82;        // "FAT32"
constexpr size_t kTotalSectors64 = 82;    // u64 in place of the FAT32 type text (some formatters)
constexpr size_t kSignature = 510;        // 0xAA55
constexpr size_t kBackupBootField = 50;   // u16 (FAT32): the sector of the boot sector's copy
constexpr uint32_t kBackupBootSector = 6;

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

CFatVolume::CFatVolume()
    : m_indexRoot(std::make_unique<FatExistingDir>()), m_lostRoot(std::make_unique<FatExistingDir>()) {}
CFatVolume::~CFatVolume() = default;

bool CFatVolume::Fail(const std::string& reason) {
    m_fatType = 0;
    if (m_untyped) {
        // No type text claimed FAT: a sector that does not hold up is no FAT volume.
        LogWriteLevel(2, "CFatVolume::Initialize: no FAT32 without type text: %s\n", reason.c_str());
        return false;
    }
    m_initError = reason;
    LogWriteLevel(1, "CFatVolume::Initialize: %s\n", reason.c_str());
    return false;
}

bool CFatVolume::Initialize(const std::string& devicePath) {
    CScopeTrace trace(1, "CFatVolume::Initialize");
    m_initError.clear();
    m_warning.clear();
    m_bootNote.clear();
    m_devicePath = devicePath;
    if (!OpenDevice()) return false;

    int64_t got = ReadDeviceAt(0, m_bootSector, sizeof m_bootSector);
    if (got != static_cast<int64_t>(sizeof m_bootSector)) {
        int err = got < 0 ? errno : 0;
        LogWrite("Cannot read the boot sector, errno = %d\n", err);
        return false;
    }
    if (InitializeFromBoot()) return true;

    // FAT32 keeps a copy of its boot sector at sector 6 (FAT12 and FAT16
    // keep none). The copy must say so itself: its backup field names 6.
    const std::string primaryError = m_initError;
    for (uint32_t bps = 512; bps <= 4096; bps *= 2) {
        if (ReadDeviceAt(uint64_t(kBackupBootSector) * bps, m_bootSector, sizeof m_bootSector) !=
            static_cast<int64_t>(sizeof m_bootSector))
            break;
        LeBytes boot(m_bootSector, sizeof m_bootSector);
        if (boot.u16(kSignature) != 0xAA55 || !(boot.equals(kTypeText32, "FAT32", 5) || Fat32WithLongCount(boot)) ||
            boot.u16(kBytesPerSector) != bps || boot.u16(kBackupBootField) != kBackupBootSector)
            continue;
        m_initError.clear();
        if (!InitializeFromBoot()) break;
        m_bootNote = "the boot sector is damaged; the backup boot sector at sector " +
                     std::to_string(kBackupBootSector) + " was used";
        LogWrite("CFatVolume::Initialize: %s\n", m_bootNote.c_str());
        return true;
    }
    // FAT12 and FAT16 keep no copy: a first sector that claims no FAT at all
    // may still be one whose geometry the volume shows.
    if (primaryError.empty() && RebuildBootSector(m_bootSector)) {
        m_initError.clear();
        if (InitializeFromBoot()) {
            m_bootNote = "the boot sector is damaged; its geometry was rebuilt from the FATs and the root folder";
            LogWrite("CFatVolume::Initialize: %s\n", m_bootNote.c_str());
            return true;
        }
    }
    if (!primaryError.empty()) m_initError = primaryError;
    m_fatType = 0;
    return false;
}

bool CFatVolume::InitializeFromBoot() {
    LeBytes boot(m_bootSector, sizeof m_bootSector);
    if (boot.u16(kSignature) != 0xAA55) return false;

    if (boot.equals(kTypeText16, "FAT12", 5))
        m_fatType = kPartitionFat12;
    else if (boot.equals(kTypeText16, "FAT16", 5))
        m_fatType = kPartitionFat16;
    else if (boot.equals(kTypeText32, "FAT32", 5) || Fat32WithLongCount(boot))
        m_fatType = kPartitionFat32;
    else {
        m_fatType = 0;
        return false;
    }
    const bool fat32 = m_fatType == kPartitionFat32;
    // Both sector counts 0 and the type text replaced by a 64-bit count.
    const bool longCount = fat32 && !boot.equals(kTypeText32, "FAT32", 5);
    m_untyped = longCount;

    // The geometry is checked before anything divides by it or reads through it.
    uint32_t bps = boot.u16(kBytesPerSector);
    uint32_t spc = boot.u8(kSectorsPerCluster);
    if (!IsPowerOfTwo(bps) || bps < 128 || bps > 4096)
        return Fail("invalid FAT boot sector: bytes per sector is " + std::to_string(bps));
    if (!IsPowerOfTwo(spc))
        return Fail("invalid FAT boot sector: sectors per cluster is " + std::to_string(spc));
    // 4,096-byte sectors of 128 sectors make the largest cluster, 512 KiB
    // (mkfs.fat makes them; Windows reads them).
    if (bps * spc > 512u * 1024u)
        return Fail("invalid FAT boot sector: cluster size " + std::to_string(bps * spc) + " is too large");
    m_sectorSize = bps;
    m_clusterSize = bps * spc;

    m_reservedSectors = boot.u16(kReservedSectors);
    m_fatCopies = boot.u8(kFatCount);
    if (m_reservedSectors == 0) return Fail("invalid FAT boot sector: no reserved sectors");
    if (m_fatCopies == 0) return Fail("invalid FAT boot sector: the number of FATs is 0");
    m_activeCopy = 0;
    m_sectorsPerFat = boot.u16(kSectorsPerFat16);
    if (fat32) {
        m_sectorsPerFat = boot.u32(kSectorsPerFat32);
        uint8_t flags = boot.u8(kExtFlags);
        if (flags & 0x80) m_activeCopy = flags & 0x0F;
    }
    if (m_sectorsPerFat == 0) return Fail("invalid FAT boot sector: the FAT size is 0");
    if (m_activeCopy >= m_fatCopies)
        return Fail("invalid FAT boot sector: active FAT " + std::to_string(m_activeCopy) + " of " +
                    std::to_string(m_fatCopies) + " copies");

    uint64_t fatArea = static_cast<uint64_t>(m_fatCopies) * m_sectorsPerFat;
    uint64_t activeFirst = m_reservedSectors + static_cast<uint64_t>(m_activeCopy) * m_sectorsPerFat;
    uint64_t rootFirst = m_reservedSectors + fatArea;
    uint64_t dataFirst = rootFirst;
    uint32_t rootEntries = boot.u16(kRootEntryCount);
    if (!fat32) {
        if (rootEntries == 0) return Fail("invalid FAT boot sector: the root folder has no entries");
        dataFirst += (static_cast<uint64_t>(rootEntries) * 32 + bps - 1) / bps;
    }
    if (dataFirst > UINT32_MAX) return Fail("invalid FAT boot sector: the data area starts beyond 2^32 sectors");
    m_activeFatFirstSector = static_cast<uint32_t>(activeFirst);
    m_rootFirstSector = static_cast<uint32_t>(rootFirst);
    m_dataFirstSector = static_cast<uint32_t>(dataFirst);
    if (fat32) {
        m_rootFirstCluster = boot.u32(kRootCluster);
        m_rootSize = 0xFFFFFFFF;
    } else {
        m_rootFirstCluster = 0;
        m_rootSize = rootEntries * 32;
    }

    m_totalSectors = boot.u16(kTotalSectors16);
    if (m_totalSectors == 0) m_totalSectors = boot.u32(kTotalSectors32);
    const uint64_t deviceSectors = DeviceLength() / bps;
    if (longCount) {
        // No type text vouches for this sector: the count must fit the
        // source, hold the FATs and a data area of a FAT32 cluster count
        // that the FATs can map; anything else is no FAT volume.
        const uint64_t total = boot.u64(kTotalSectors64);
        const uint64_t fatEntries = uint64_t(m_sectorsPerFat) * bps / 4;
        const uint64_t clusters = total > dataFirst ? (total - dataFirst) / spc : 0;
        if (total > deviceSectors || clusters < 65525 || clusters > 0x0FFFFFF5 || clusters + 2 > fatEntries)
            return Fail("the 64-bit sector count " + std::to_string(total) + " does not fit the volume");
        m_totalSectors = total;
        LogWrite("CFatVolume::Initialize: FAT32 whose sector count (%llu) is the 64-bit field at 0x52\n",
                 static_cast<unsigned long long>(total));
    }
    if (m_totalSectors == 0) m_totalSectors = deviceSectors;
    if (m_totalSectors < dataFirst)
        return Fail("invalid FAT boot sector: the volume (" + std::to_string(m_totalSectors) +
                    " sectors) ends before its data area (sector " + std::to_string(dataFirst) + ")");
    if (deviceSectors < dataFirst)
        return Fail("the device is truncated: it holds " + std::to_string(deviceSectors) +
                    " sectors, the FATs and root folder need " + std::to_string(dataFirst));
    if (deviceSectors < m_totalSectors) {
        m_warning = "the device is truncated: it holds " + std::to_string(deviceSectors) + " of the volume's " +
                    std::to_string(m_totalSectors) + " sectors";
        LogWrite("CFatVolume::Initialize: %s\n", m_warning.c_str());
    }
    uint64_t clusters = (m_totalSectors - dataFirst) / spc;
    m_clusterCount = static_cast<uint32_t>(std::min<uint64_t>(clusters, 0x0FFFFFF5));
    if (fat32 && (m_rootFirstCluster < 2 || m_rootFirstCluster >= FatEntryCount()))
        return Fail("invalid FAT boot sector: root cluster " + std::to_string(m_rootFirstCluster) +
                    " is outside the FAT");

    m_initialized = 1;
    return true;
}

uint64_t CFatVolume::ClusterToOffset(uint64_t cluster) const {
    // Cluster 2 is the first cluster of the data area; 0 and 1 map below it and
    // are never valid data clusters (reads there simply return other bytes).
    return static_cast<uint64_t>(m_dataFirstSector) * m_sectorSize + (cluster - 2) * m_clusterSize;
}

uint64_t CFatVolume::ClusterEndOnSource() const {
    const uint64_t dataStart = static_cast<uint64_t>(m_dataFirstSector) * m_sectorSize;
    const uint64_t length = DeviceLength();
    if (m_clusterSize == 0 || length < dataStart) return 2;
    return 2 + (length - dataStart) / m_clusterSize;
}

bool CFatVolume::HashFingerprintRegions(CFingerprintHasher& hasher) {
    {
        // The FAT sector cache may hold what the device held before: read anew.
        std::lock_guard<std::mutex> g(m_fatLock);
        m_cachedFatSector = 0;
    }
    const uint64_t ss = m_sectorSize;
    if (!HashSourceRange(hasher, m_activeFatFirstSector * ss, static_cast<uint64_t>(m_sectorsPerFat) * ss))
        return false;
    if (m_fatType != kPartitionFat32) return HashSourceRange(hasher, m_rootFirstSector * ss, m_rootSize);
    std::vector<uint32_t> chain;
    if (!RootChain(chain)) return false;
    for (uint32_t cluster : chain)
        if (!ClusterOnSource(cluster) || !HashSourceRange(hasher, ClusterToOffset(cluster), m_clusterSize))
            return false;
    return true;
}

bool CFatVolume::RootChain(std::vector<uint32_t>& chain, uint32_t most) {
    chain.clear();
    uint32_t cluster = m_rootFirstCluster;
    for (uint32_t n = 0; n < std::min(most, kMaxRootClusters); ++n) {
        if (cluster < 2 || cluster > m_clusterCount + 1) break;
        chain.push_back(cluster);
        uint32_t next = 0;
        if (!ReadFatEntry(cluster, next)) return false;
        next &= 0x0FFFFFFF;
        if (IsEndOfChain(next)) break;
        cluster = next;
    }
    return true;
}

uint32_t CFatVolume::FatEntryCount() const {
    uint64_t bytes = static_cast<uint64_t>(m_sectorsPerFat) * m_sectorSize;
    uint64_t n = 0;
    switch (m_fatType) {
        case kPartitionFat12: n = bytes * 2 / 3; break;
        case kPartitionFat16: n = bytes / 2; break;
        case kPartitionFat32: n = bytes / 4; break;
        default: return 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
}

bool CFatVolume::ReadFatSector(uint32_t sector) {
    if (sector == m_cachedFatSector && !m_fatSectorCache.Empty()) return true;
    if (m_fatSectorCache.Empty() && !m_fatSectorCache.Allocate(m_sectorSize)) return false;
    uint32_t got = 0;
    if (!ReadRawUnbuffered(sector, 1, m_fatSectorCache.Data(), &got) || got != m_sectorSize) {
        // The buffer may hold part of the new sector: forget what was cached.
        m_cachedFatSector = 0;
        return false;
    }
    m_cachedFatSector = sector;
    return true;
}

bool CFatVolume::ReadFatEntry(uint32_t n, uint32_t& value) {
    std::lock_guard<std::mutex> g(m_fatLock);
    if (m_sectorSize == 0) return false;
    uint64_t offset;
    switch (m_fatType) {
        case kPartitionFat12: offset = static_cast<uint64_t>(n) * 3 / 2; break;
        case kPartitionFat16: offset = static_cast<uint64_t>(n) * 2; break;
        case kPartitionFat32: offset = static_cast<uint64_t>(n) * 4; break;
        default: return false;
    }
    // Entries beyond the FAT copy would read the next copy or the data area.
    if (offset >= static_cast<uint64_t>(m_sectorsPerFat) * m_sectorSize) return false;
    uint32_t sector = m_activeFatFirstSector + static_cast<uint32_t>(offset / m_sectorSize);
    uint32_t within = static_cast<uint32_t>(offset % m_sectorSize);
    if (!ReadFatSector(sector)) return false;
    const uint8_t* p = m_fatSectorCache.Data();
    switch (m_fatType) {
        case kPartitionFat16: value = LeBytes::u16_unsafe(p + within); return true;
        case kPartitionFat32: value = LeBytes::u32_unsafe(p + within); return true;
        default: break;
    }
    uint32_t lo = p[within];
    uint32_t hi;
    if (within + 1 < m_sectorSize) {
        hi = p[within + 1];
    } else {
        // The entry straddles two sectors: its high byte opens the next one.
        if (offset + 1 >= static_cast<uint64_t>(m_sectorsPerFat) * m_sectorSize) return false;
        if (!ReadFatSector(sector + 1)) return false;
        hi = m_fatSectorCache.Data()[0];
    }
    uint32_t word = lo | hi << 8;
    value = (n & 1) ? word >> 4 : word & 0xFFF;
    return true;
}

bool CFatVolume::IsInUse(uint32_t v) const {
    switch (m_fatType) {
        case kPartitionFat12: return (v & 0xFFF) > 1;
        case kPartitionFat16: return (v & 0xFFFF) > 1;
        case kPartitionFat32: return (v & 0x0FFFFFFF) > 1;
        default: return false;
    }
}

bool CFatVolume::IsAllocatedCluster(uint32_t c) {
    uint32_t v = 0;
    return c >= 2 && uint64_t(c) <= uint64_t(m_clusterCount) + 1 && ReadFatEntry(c, v) && IsInUse(v) && !IsBad(v);
}

std::vector<uint32_t> CFatVolume::AllocatedFolderChain(const FatFileInfo& folder) {
    std::vector<uint32_t> chain;
    if (!folder.IsFolder() || m_clusterSize == 0) return chain;
    std::unordered_set<uint32_t> seen;
    const uint32_t most = std::max<uint32_t>(1, kFatMaxFolderBytes / m_clusterSize);
    for (uint32_t c = folder.firstCluster; chain.size() < most && IsAllocatedCluster(c) && seen.insert(c).second;) {
        chain.push_back(c);
        uint32_t v = 0;
        if (!ReadFatEntry(c, v) || IsEndOfChain(v)) break;
        c = m_fatType == kPartitionFat32 ? (v & 0x0FFFFFFF) : v;
    }
    return chain;
}

bool CFatVolume::IsBad(uint32_t v) const {
    switch (m_fatType) {
        case kPartitionFat12: return (v & 0xFFF) == 0xFF7;
        case kPartitionFat16: return (v & 0xFFFF) == 0xFFF7;
        case kPartitionFat32: return (v & 0x0FFFFFFF) == 0x0FFFFFF7;
        default: return false;
    }
}

bool CFatVolume::IsEndOfChain(uint32_t v) const {
    switch (m_fatType) {
        case kPartitionFat12: return v >= 0xFF8 && v <= 0xFFF;
        case kPartitionFat16: return v >= 0xFFF8 && v <= 0xFFFF;
        case kPartitionFat32: {
            uint32_t x = v & 0x0FFFFFFF;
            return x >= 0x0FFFFFF8 && x <= 0x0FFFFFFF;
        }
        default: return true;
    }
}

uint32_t CFatVolume::EndOfChainMark() const {
    switch (m_fatType) {
        case kPartitionFat12: return 0xFFF;
        case kPartitionFat16: return 0xFFFF;
        case kPartitionFat32: return 0x0FFFFFFF;
        default: return 0xFFFFFFFF;
    }
}

void CFatVolume::DumpVolume() {
    LogWriteLevel(0, "VOLUME DUMP\n");
    LogWriteLevel(0, "fs=%s drive_letter=%c bps=%d bpc=%d\n", PartitionTypeName(static_cast<int>(m_fatType)),
                  m_driveLetter ? static_cast<char>(m_driveLetter) : '?', static_cast<int>(m_sectorSize),
                  static_cast<int>(m_clusterSize));
    LogWriteLevel(0, "FAT Info\n  copies = %u, sectors per copy = %u, entries per copy = %u,\n  active copy number = %u (sectors %u - %u)\n",
                  m_fatCopies, m_sectorsPerFat, FatEntryCount(), m_activeCopy, m_activeFatFirstSector,
                  m_activeFatFirstSector + m_sectorsPerFat - 1);
    LogWriteLevel(0, "Root directory info\n");
    if (m_fatType == kPartitionFat32)
        LogWriteLevel(0, "  starting cluster = %u, size = unknown\n", m_rootFirstCluster);
    else
        LogWriteLevel(0, "  starting sector = %u, size = %u bytes (%u directory entries)\n", m_rootFirstSector,
                      m_rootSize, m_rootSize / 32);
    LogWriteLevel(0, "Data starts at sector %u\n", m_dataFirstSector);
    LogWriteLevel(0, "END VOLUME DUMP\n");
}

namespace {
// An 11-byte label field as text: trailing spaces and NULs dropped, "NO NAME" blank.
std::string LabelText(const uint8_t* field) {
    std::string label(reinterpret_cast<const char*>(field), 11);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    if (label == "NO NAME") label.clear();
    return Utf16ToUtf8(CodePageToUtf16(label));
}
}  // namespace

std::string CFatVolume::VolumeLabel() {
    std::string label = LabelText(m_bootSector + (m_fatType == kPartitionFat32 ? kLabel32 : kLabel16));
    if (!label.empty() || m_sectorSize == 0) return label;
    // The root folder's label entry: FAT12/16 in the root region, FAT32 in
    // the first clusters of the root chain (bounded: hostile volumes).
    constexpr uint32_t kMaxRootSectors = 1024;
    std::vector<uint64_t> sectors;
    if (m_fatType != kPartitionFat32) {
        for (uint32_t i = 0; i < m_rootSize / m_sectorSize && i < kMaxRootSectors; ++i)
            sectors.push_back(static_cast<uint64_t>(m_rootFirstSector) + i);
    } else {
        std::vector<uint32_t> chain;
        const uint32_t perCluster = m_clusterSize / m_sectorSize;
        RootChain(chain, (kMaxRootSectors + perCluster - 1) / perCluster);  // what could be read of it
        for (size_t n = 0; n < chain.size() && sectors.size() < kMaxRootSectors; ++n) {
            const uint64_t first = ClusterToOffset(chain[n]) / m_sectorSize;
            for (uint32_t i = 0; i < m_clusterSize / m_sectorSize; ++i) sectors.push_back(first + i);
        }
    }
    std::vector<uint8_t> buffer(m_sectorSize);
    for (uint64_t sector : sectors) {
        uint32_t got = 0;
        if (!ReadRawUnbuffered(sector, 1, buffer.data(), &got) || got != m_sectorSize) break;
        for (uint32_t at = 0; at + 32 <= m_sectorSize; at += 32) {
            const uint8_t* entry = buffer.data() + at;
            if (entry[0] == 0x00) return {};  // the end of the folder
            const uint8_t attributes = entry[11];  // the label bit, not a folder, not a long-name piece (0x0F)
            if (entry[0] != 0xE5 && (attributes & 0x18) == 0x08 && (attributes & 0x0F) != 0x0F)
                return LabelText(entry);
        }
    }
    return {};
}

uint32_t CFatVolume::SerialNumber() const {
    LeBytes boot(m_bootSector, sizeof m_bootSector);
    return boot.u32(m_fatType == kPartitionFat32 ? kSerial32 : kSerial16);
}

bool CFatVolume::CountFreeClusters(uint32_t& freeClusters) {
    freeClusters = 0;
    uint32_t last = std::min<uint64_t>(FatEntryCount(), static_cast<uint64_t>(m_clusterCount) + 2);
    for (uint32_t n = 2; n < last; ++n) {
        uint32_t v;
        if (!ReadFatEntry(n, v)) return false;
        if (!IsInUse(v) && !IsBad(v)) ++freeClusters;
    }
    return true;
}
