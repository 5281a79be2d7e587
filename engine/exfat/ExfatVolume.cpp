#include "ExfatVolume.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "app/Log.h"
#include "platform/CaseFold.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

// Bytes read from the device at a time while reading a folder or the bitmap.
constexpr uint64_t kReadChunk = 1u << 20;
// The up-case table maps at most the 65,536 UTF-16 units.
constexpr uint64_t kMaxUpcaseBytes = 65536 * 2 * 2;
// The FAT entries that mark a cluster bad and end a chain.
constexpr uint32_t kBadCluster = 0xFFFFFFF7u;

}  // namespace

CExfatVolume::CExfatVolume() = default;
CExfatVolume::~CExfatVolume() = default;

bool CExfatVolume::Initialize(const std::string& devicePath) {
    CScopeTrace trace(1, "CExfatVolume::Initialize");
    m_initError.clear();
    m_bootNote.clear();
    m_devicePath = devicePath;
    if (!OpenDevice()) return false;
    const ProbeResult found = FindBootRegion(DeviceBootSource(), m_geometry, m_bootNote);
    if (found.answer != ProbeAnswer::Yes) {
        m_initError = found.reason;
        if (!m_initError.empty()) LogWriteLevel(1, "CExfatVolume::Initialize: %s\n", m_initError.c_str());
        return false;
    }
    if (!m_bootNote.empty()) LogWrite("CExfatVolume::Initialize: %s\n", m_bootNote.c_str());
    if (!m_geometry.warning.empty()) LogWrite("CExfatVolume::Initialize: %s\n", m_geometry.warning.c_str());
    m_sectorSize = m_geometry.sectorSize;
    m_clusterSize = m_geometry.clusterSize;
    m_initialized = 1;

    // The root folder's own entries name the bitmap, the up-case table and the label.
    m_root = ExfatRootFacts();
    const std::vector<uint8_t> root = ReadFolder(RootRuns(), false);
    WalkExfatEntries(root.data(), root.size(), 0, [](const ExfatEntrySet&) { return true; }, &m_root);
    if (!m_root.haveBitmap) LogWrite("CExfatVolume::Initialize: the root folder names no allocation bitmap\n");
    LoadBitmap();
    LoadUpcase();
    return true;
}

uint64_t CExfatVolume::ClusterToOffset(uint64_t cluster) const {
    return uint64_t(m_geometry.heapOffset) * m_geometry.sectorSize + (cluster - 2) * m_geometry.clusterSize;
}

uint64_t CExfatVolume::ClusterEndOnSource() const {
    const uint64_t heap = uint64_t(m_geometry.heapOffset) * m_geometry.sectorSize;
    const uint64_t length = DeviceLength();
    if (m_clusterSize == 0 || length < heap) return 2;
    return 2 + (length - heap) / m_clusterSize;
}

bool CExfatVolume::ReadFatEntry(uint32_t n, uint32_t& value) {
    if (n > uint64_t(m_geometry.clusterCount) + 1 || m_sectorSize == 0) return false;
    const uint64_t fatStart = uint64_t(m_geometry.fatOffset) + uint64_t(m_geometry.activeFat) * m_geometry.fatLength;
    const uint64_t byte = uint64_t(n) * 4;
    const uint64_t sector = fatStart + byte / m_sectorSize;
    std::lock_guard<std::mutex> g(m_fatLock);
    if (m_fatSectorAt != sector) {
        m_fatSector.resize(m_sectorSize);
        m_fatSectorAt = UINT64_MAX;
        if (ReadDeviceAt(sector * m_sectorSize, m_fatSector.data(), m_sectorSize) != int64_t(m_sectorSize)) return false;
        m_fatSectorAt = sector;
    }
    value = LeBytes::u32_unsafe(m_fatSector.data() + byte % m_sectorSize);
    return true;
}

int CExfatVolume::ClusterAllocated(uint64_t c) const {
    if (c < 2 || c >= uint64_t(m_geometry.clusterCount) + 2) return 1;
    const uint64_t bit = c - 2;
    if (bit / 8 >= m_bitmap.size()) return m_bitmapRead ? 1 : -1;
    if (m_bitmapUnread[bit / 8]) return -1;
    return (m_bitmap[bit / 8] >> (bit % 8)) & 1;
}

std::vector<ExfatRun> CExfatVolume::RootRuns() {
    std::vector<ExfatRun> runs;
    std::unordered_set<uint32_t> seen;
    const uint64_t most = std::max<uint64_t>(1, kMaxFolderBytes / std::max<uint32_t>(1, m_clusterSize));
    uint32_t c = m_geometry.rootCluster;
    for (uint64_t n = 0; n < most && c >= 2 && uint64_t(c) <= uint64_t(m_geometry.clusterCount) + 1; ++n) {
        if (!seen.insert(c).second) break;  // a chain that loops
        if (!runs.empty() && runs.back().first + runs.back().count == c) ++runs.back().count;
        else runs.push_back({c, 1});
        uint32_t next = 0;
        if (!ReadFatEntry(c, next)) break;
        c = next;
    }
    return runs;
}

std::vector<ExfatRun> CExfatVolume::ItemRuns(const ExfatItem& item, bool* chained) {
    if (chained) *chained = false;
    std::vector<ExfatRun> runs;
    const uint64_t cs = m_clusterSize;
    const uint64_t heapEnd = uint64_t(m_geometry.clusterCount) + 2;
    if (cs == 0 || item.size == 0 || item.firstCluster < 2 || item.firstCluster >= heapEnd) return runs;
    const uint64_t wanted = (item.size + cs - 1) / cs;
    if (!item.Contiguous()) {
        // The FAT chain, when it is intact: every link inside the heap, no
        // cluster twice, exactly the clusters the size needs.
        std::vector<ExfatRun> chain;
        std::unordered_set<uint32_t> seen;
        uint32_t c = item.firstCluster;
        uint64_t n = 0;
        bool intact = false;
        while (n < wanted && c >= 2 && c < heapEnd && seen.insert(c).second) {
            if (!chain.empty() && chain.back().first + chain.back().count == c) ++chain.back().count;
            else chain.push_back({c, 1});
            ++n;
            uint32_t next = 0;
            if (!ReadFatEntry(c, next)) break;
            // The size's clusters all linked: the chain holds them, whatever
            // its last entry says.
            if (n == wanted) {
                intact = true;
                break;
            }
            if (next == kBadCluster) break;
            c = next;
        }
        if (intact && n == wanted) {
            if (chained) *chained = true;
            return chain;
        }
    }
    if (item.Contiguous()) {
        runs.push_back({item.firstCluster, std::min<uint64_t>(wanted, heapEnd - item.firstCluster)});
        return runs;
    }
    // The chain is gone: the guess is the first cluster and the free
    // clusters after it, stepping over those in use (another file's now, or
    // then: a file written in pieces went around them).
    uint64_t n = 0;
    for (uint64_t c = item.firstCluster; n < wanted && c < heapEnd; ++c) {
        if (c != item.firstCluster && ClusterAllocated(c) == 1) continue;
        if (!runs.empty() && runs.back().first + runs.back().count == c) ++runs.back().count;
        else runs.push_back({c, 1});
        ++n;
    }
    return runs;
}

std::vector<ExfatRun> CExfatVolume::FolderRuns(uint32_t index) {
    if (index == 0) return RootRuns();
    if (const auto lost = m_lostFolderRuns.find(index); lost != m_lostFolderRuns.end()) return lost->second;
    return ItemRuns(m_items[index]);
}

void CExfatVolume::NoteUnreadableFolderCluster(uint64_t cluster) {
    std::lock_guard<std::mutex> g(m_lossLock);
    if (m_unreadableFolderClusters.size() < (1u << 20)) m_unreadableFolderClusters.insert(cluster);
}

std::vector<uint8_t> CExfatVolume::ReadFolder(const std::vector<ExfatRun>& runs, bool skipAllocated) {
    std::vector<uint8_t> out;
    const uint64_t cs = m_clusterSize;
    if (cs == 0) return out;
    const uint64_t end = std::min<uint64_t>(uint64_t(m_geometry.clusterCount) + 2, ClusterEndOnSource());
    for (const ExfatRun& run : runs) {
        for (uint64_t k = 0; k < run.count && out.size() < kMaxFolderBytes;) {
            const uint64_t c = run.first + k;
            if (c < 2 || c >= end) return out;  // past the heap or a short source
            // As many clusters at once as the run, the chunk and the limits allow.
            uint64_t n = std::min<uint64_t>({run.count - k, std::max<uint64_t>(1, kReadChunk / cs), end - c,
                                             (kMaxFolderBytes - out.size() + cs - 1) / cs});
            if (skipAllocated) {
                uint64_t free = 0;
                // A cluster whose bitmap byte could not be read is read: unknown is not in use.
                while (free < n && ClusterAllocated(c + free) != 1) ++free;
                if (free == 0) {
                    out.resize(out.size() + cs, 0xFF);  // someone else's now: nothing of this folder
                    ++k;
                    continue;
                }
                n = free;
            }
            const size_t at = out.size();
            out.resize(at + n * cs);
            if (ReadDeviceAt(ClusterToOffset(c), out.data() + at, n * cs) != int64_t(n * cs)) {
                // Cluster by cluster: what the source refuses holds no entries.
                for (uint64_t j = 0; j < n; ++j) {
                    uint8_t* p = out.data() + at + j * cs;
                    if (ReadDeviceAt(ClusterToOffset(c + j), p, cs) != int64_t(cs)) {
                        std::fill(p, p + cs, 0xFF);
                        NoteUnreadableFolderCluster(c + j);
                    }
                }
            }
            k += n;
        }
    }
    return out;
}

bool CExfatVolume::LoadBitmap() {
    m_bitmap.clear();
    m_bitmapUnread.clear();
    m_bitmapRead = false;
    // Only the clusters the source holds: a boot sector may claim more.
    const uint64_t clusters = std::min<uint64_t>(m_geometry.clusterCount, ClusterEndOnSource() - 2);
    const uint64_t need = (clusters + 7) / 8;
    if (!m_root.haveBitmap) return false;
    // Along its FAT chain, or one run where the chain says nothing.
    ExfatItem file;
    file.firstCluster = m_root.bitmapCluster;
    file.size = std::min<uint64_t>(m_root.bitmapSize, need);
    const std::vector<ExfatRun> runs = ItemRuns(file);
    m_bitmap.assign(need, 0xFF);  // what cannot be read counts as in use...
    m_bitmapUnread.assign(need, 1);  // ...and unknown
    uint64_t at = 0;
    const uint64_t cs = m_clusterSize;
    for (const ExfatRun& run : runs) {
        for (uint64_t k = 0; k < run.count && at < need; ++k, at += cs) {
            const uint64_t n = std::min<uint64_t>(cs, need - at);
            if (ReadDeviceAt(ClusterToOffset(run.first + k), m_bitmap.data() + at, n) == int64_t(n)) {
                std::fill(m_bitmapUnread.begin() + at, m_bitmapUnread.begin() + at + n, 0);
            } else {
                std::fill(m_bitmap.begin() + at, m_bitmap.begin() + at + n, 0xFF);
                LogWrite("CExfatVolume: the allocation bitmap's cluster %llu cannot be read\n",
                         static_cast<unsigned long long>(run.first + k));
            }
        }
    }
    m_bitmapRead = true;
    return true;
}

bool CExfatVolume::LoadUpcase() {
    m_upcase.clear();
    if (!m_root.haveUpcase || m_root.upcaseSize == 0 || m_root.upcaseSize > kMaxUpcaseBytes) return false;
    ExfatItem file;
    file.firstCluster = m_root.upcaseCluster;
    file.size = m_root.upcaseSize;
    std::vector<uint8_t> bytes = ReadFolder(ItemRuns(file), false);
    if (bytes.size() < m_root.upcaseSize) return false;
    bytes.resize(m_root.upcaseSize);
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum = ExfatChecksumStep(sum, b);
    if (sum != m_root.upcaseChecksum) {
        LogWrite("CExfatVolume: the up-case table's checksum does not match; names compare by case folding\n");
        return false;
    }
    // Compressed: 0xFFFF followed by a count maps that many units to themselves.
    std::vector<char16_t> table;
    table.reserve(65536);
    for (size_t i = 0; i + 1 < bytes.size() && table.size() < 65536; i += 2) {
        const char16_t v = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (v == 0xFFFF && i + 3 < bytes.size()) {
            const uint32_t count = bytes[i + 2] | bytes[i + 3] << 8;
            for (uint32_t k = 0; k < count && table.size() < 65536; ++k) table.push_back(static_cast<char16_t>(table.size()));
            i += 2;
        } else {
            table.push_back(v);
        }
    }
    m_upcase = std::move(table);
    return true;
}

bool CExfatVolume::SameName(const std::u16string& a, const std::u16string& b) const {
    if (m_upcase.empty()) return EqualsIgnoreCase(a, b);
    if (a.size() != b.size()) return false;
    auto up = [this](char16_t c) { return c < m_upcase.size() ? m_upcase[c] : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (up(a[i]) != up(b[i])) return false;
    return true;
}

bool CExfatVolume::HashFingerprintRegions(CFingerprintHasher& hasher) {
    {
        std::lock_guard<std::mutex> g(m_fatLock);
        m_fatSectorAt = UINT64_MAX;  // the FAT sector cache may hold what the device held before
    }
    ExfatItem bitmap;
    bitmap.firstCluster = m_root.bitmapCluster;
    bitmap.size = m_root.bitmapSize;
    std::vector<ExfatRun> runs = m_root.haveBitmap ? ItemRuns(bitmap) : std::vector<ExfatRun>();
    for (const ExfatRun& r : RootRuns()) runs.push_back(r);
    for (const ExfatRun& r : runs) {
        const uint64_t last = r.first + r.count;
        if (last > ClusterEndOnSource()) return false;
        if (!HashSourceRange(hasher, ClusterToOffset(r.first), r.count * m_clusterSize)) return false;
    }
    return true;
}

std::vector<ReadLoss> CExfatVolume::IndexReadLosses() const {
    std::vector<ReadLoss> losses;
    std::lock_guard<std::mutex> g(m_lossLock);
    if (!m_unreadableFolderClusters.empty())
        losses.push_back({m_unreadableFolderClusters.size(), "folder clusters", "the deleted items they held are not listed"});
    const uint64_t unread = static_cast<uint64_t>(std::count(m_bitmapUnread.begin(), m_bitmapUnread.end(), 1));
    if (unread)
        losses.push_back({unread, "bytes of the allocation bitmap",
                          "whether the clusters they describe are in use again is not known"});
    return losses;
}

std::string CExfatVolume::Label() { return Utf16ToUtf8(m_root.label); }

void CExfatVolume::DumpVolume() {
    const ExfatGeometry& g = m_geometry;
    LogWriteLevel(0, "VOLUME DUMP\n");
    LogWriteLevel(0, "fs=exFAT drive_letter=%c bps=%u bpc=%u\n", m_driveLetter ? static_cast<char>(m_driveLetter) : '?',
                  g.sectorSize, g.clusterSize);
    LogWriteLevel(0, "FAT at sector %u, %u sectors, %u copies (active %u)\n", g.fatOffset, g.fatLength, g.fatCount,
                  g.activeFat);
    LogWriteLevel(0, "Cluster heap at sector %u, %u clusters; root folder at cluster %u\n", g.heapOffset,
                  g.clusterCount, g.rootCluster);
    LogWriteLevel(0, "END VOLUME DUMP\n");
}
