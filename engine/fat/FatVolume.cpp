#include "FatVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/Log.h"
#include "engine/fat/FatDirectory.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

// Boot sector fields the volume reads after opening (the rest: FatProbe.cpp).
constexpr size_t kSerial16 = 39;          // u32 (FAT12/16)
constexpr size_t kLabel16 = 43;           // 11 bytes (FAT12/16)
constexpr size_t kSerial32 = 67;          // u32 (FAT32)
constexpr size_t kLabel32 = 71;           // 11 bytes (FAT32)

}  // namespace

CFatVolume::CFatVolume()
    : m_indexRoot(std::make_unique<FatExistingDir>()), m_lostRoot(std::make_unique<FatExistingDir>()) {}
CFatVolume::~CFatVolume() = default;

bool CFatVolume::Initialize(const std::string& devicePath) {
    CScopeTrace trace(1, "CFatVolume::Initialize");
    m_initError.clear();
    m_warning.clear();
    m_bootNote.clear();
    m_fatType = 0;
    m_devicePath = devicePath;
    if (!OpenDevice()) return false;

    FatBootGeometry g;
    const ProbeResult found = FindBootSector(DeviceBootSource(), m_bootSector, g, m_bootNote);
    if (found.answer != ProbeAnswer::Yes) {
        m_initError = found.reason;
        if (!m_initError.empty()) LogWriteLevel(1, "CFatVolume::Initialize: %s\n", m_initError.c_str());
        return false;
    }
    if (!m_bootNote.empty()) LogWrite("CFatVolume::Initialize: %s\n", m_bootNote.c_str());
    if (g.untyped)
        LogWrite("CFatVolume::Initialize: FAT32 whose sector count (%llu) is the 64-bit field at 0x52\n",
                 static_cast<unsigned long long>(g.totalSectors));
    m_warning = g.warning;
    if (!m_warning.empty()) LogWrite("CFatVolume::Initialize: %s\n", m_warning.c_str());
    m_fatType = g.fatType;
    m_sectorSize = g.sectorSize;
    m_clusterSize = g.clusterSize;
    m_reservedSectors = g.reservedSectors;
    m_fatCopies = g.fatCopies;
    m_activeCopy = g.activeCopy;
    m_sectorsPerFat = g.sectorsPerFat;
    m_activeFatFirstSector = g.activeFatFirstSector;
    m_rootFirstSector = g.rootFirstSector;
    m_dataFirstSector = g.dataFirstSector;
    m_rootFirstCluster = g.rootFirstCluster;
    m_rootSize = g.rootSize;
    m_totalSectors = g.totalSectors;
    m_clusterCount = g.clusterCount;
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
    auto readAt = [&](uint32_t at) {
        uint32_t got = 0;
        return ReadRawUnbuffered(at, 1, m_fatSectorCache.Data(), &got) && got == m_sectorSize;
    };
    bool ok = readAt(sector);
    if (!ok && SourceRefused(uint64_t(sector) * m_sectorSize)) {
        // The same sector of another copy of the FAT, where the source gives it.
        const uint64_t inFat = uint64_t(sector) - m_activeFatFirstSector;
        for (uint32_t copy = 0; !ok && copy < std::min<uint32_t>(m_fatCopies, 4) && inFat < m_sectorsPerFat; ++copy) {
            const uint64_t other = uint64_t(m_reservedSectors) + uint64_t(copy) * m_sectorsPerFat + inFat;
            if (other != sector && other <= UINT32_MAX) ok = readAt(static_cast<uint32_t>(other));
        }
        if (ok) LogWriteLevel(1, "FAT sector %u was read from another copy of the FAT.\n", sector);
        else NoteUnreadable(m_unreadableFatSectors, sector);
    }
    if (!ok) {
        // The buffer may hold part of the new sector: forget what was cached.
        m_cachedFatSector = 0;
        return false;
    }
    m_cachedFatSector = sector;
    return true;
}

void CFatVolume::NoteUnreadable(std::set<uint32_t>& where, uint32_t n) {
    std::lock_guard<std::mutex> g(m_lossLock);
    if (where.size() < kMaxNotedLosses) where.insert(n);
}

std::vector<ReadLoss> CFatVolume::IndexReadLosses() const {
    std::lock_guard<std::mutex> g(m_lossLock);
    std::vector<ReadLoss> losses;
    if (!m_unreadableFatSectors.empty())
        losses.push_back({m_unreadableFatSectors.size(), "FAT sectors",
                          "the clusters they describe are not known to be free or in use"});
    if (!m_unreadableFolderClusters.empty())
        losses.push_back({m_unreadableFolderClusters.size(), "folder clusters",
                          "the deleted items they held are not listed"});
    return losses;
}

bool CFatVolume::ReadFatEntry(uint32_t n, uint32_t& value, bool* refused) {
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
    if (!ReadFatSector(sector)) {
        if (refused) *refused = SourceRefused(uint64_t(sector) * m_sectorSize);
        return false;
    }
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
        if (!ReadFatSector(sector + 1)) {
            if (refused) *refused = SourceRefused(uint64_t(sector + 1) * m_sectorSize);
            return false;
        }
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
