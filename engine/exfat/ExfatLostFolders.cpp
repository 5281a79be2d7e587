// Lost folders of an exFAT volume: folder clusters that no walk from the
// root reaches any more. A writer that shrinks a folder after deleting in
// it frees the folder's last clusters with their deleted sets still in
// them; a deleted folder's FAT chain may be gone; a quick format leaves the
// whole old tree in free space. The search reads free clusters that no walk
// read and keeps those that hold entry sets whose checksums hold (the
// checksum is what tells entries from data). Consecutive such clusters are
// one lost folder, unless a set of another one names them as its folder's
// first cluster: then they are that folder's content, walked through it.
//
// Hostile input and cost: the search reads at most kLostScanBytes of free
// clusters, keeps at most kLostKeptBytes of folder clusters, and a group
// holds at most a folder's largest size.
#include <algorithm>
#include <unordered_set>

#include "app/Log.h"
#include "engine/exfat/ExfatVolume.h"

namespace {

constexpr uint64_t kLostScanBytes = 256ull << 20;
constexpr uint64_t kLostKeptBytes = 32ull << 20;
constexpr uint64_t kScanPiece = 256u << 10;

// A cluster a folder's entries may open: its first entry is one of exFAT's
// entry types (a set may also go on from the cluster before).
bool MayHoldEntries(uint8_t type) {
    switch (type & 0x7F) {
        case 0x01: case 0x02: case 0x03: case 0x05: case 0x20: case 0x40: case 0x41: return true;
        default: return false;
    }
}

}  // namespace

std::vector<uint32_t> CExfatVolume::FindLostFolders(const std::unordered_set<uint32_t>& readClusters,
                                                    IndexProgress* progress) {
    std::vector<uint32_t> lost;
    const uint64_t cs = m_clusterSize;
    if (!m_bitmapRead || cs == 0) return lost;
    const uint64_t heapEnd = std::min<uint64_t>(uint64_t(m_geometry.clusterCount) + 2, ClusterEndOnSource());
    auto unread = [&](uint64_t c) { return ClusterAllocated(c) == 0 && !readClusters.count(static_cast<uint32_t>(c)); };

    // The free clusters that hold sets, in ascending order.
    std::vector<uint32_t> found;
    std::vector<uint8_t> buffer;
    uint64_t scanned = 0;
    for (uint64_t c = 2; c < heapEnd && scanned < kLostScanBytes;) {
        if (!unread(c)) {
            ++c;
            continue;
        }
        uint64_t n = 1;
        while (c + n < heapEnd && n < std::max<uint64_t>(1, kScanPiece / cs) && unread(c + n)) ++n;
        buffer.resize(n * cs);
        scanned += n * cs;
        if (ReadHeap(c, 0, buffer.data(), buffer.size()) == static_cast<int64_t>(buffer.size())) {
            for (uint64_t k = 0; k < n; ++k) {
                const uint8_t* p = buffer.data() + k * cs;
                if (!MayHoldEntries(p[0])) continue;
                bool any = false;
                WalkExfatEntries(p, cs, 0, [&](const ExfatEntrySet&) {
                    any = true;
                    return false;
                });
                if (any) found.push_back(static_cast<uint32_t>(c + k));
            }
        }
        c += n;
        if (progress && progress->Stopped()) return lost;
    }
    if (found.empty()) return lost;

    // Consecutive clusters are one group; each group's sets name the folders they were.
    struct Group {
        uint32_t first;
        uint32_t count;
    };
    std::vector<Group> groups;
    const uint64_t most = std::max<uint64_t>(1, kMaxFolderBytes / cs);
    uint64_t kept = 0;
    for (uint32_t c : found) {
        if (kept + cs > kLostKeptBytes) break;
        kept += cs;
        if (!groups.empty() && groups.back().first + groups.back().count == c && groups.back().count < most)
            ++groups.back().count;
        else
            groups.push_back({c, 1});
    }
    std::unordered_set<uint32_t> named;
    for (const Group& g : groups) {
        ExfatItem folder;
        folder.firstCluster = g.first;
        folder.size = uint64_t(g.count) * cs;
        folder.streamFlags = kExfatNoFatChain;
        const std::vector<uint8_t> bytes = ReadFolder(ItemRuns(folder), true);
        WalkExfatEntries(bytes.data(), bytes.size(), 0, [&](const ExfatEntrySet& set) {
            if (set.IsFolder() && set.firstCluster != g.first) named.insert(set.firstCluster);
            return true;
        });
    }

    // The node that holds them, after every item the walk from the root found.
    ExfatItem node;
    node.attributes = 0x10;
    node.folder = static_cast<int32_t>(m_folders.size());
    m_lostRoot = static_cast<uint32_t>(m_items.size());
    ExfatFolder holder;
    holder.item = m_lostRoot;
    m_items.push_back(node);
    m_folders.push_back(holder);
    for (const Group& g : groups) {
        if (named.count(g.first)) continue;
        ExfatItem folder;
        folder.parent = m_lostRoot;
        folder.attributes = 0x10;
        folder.deleted = true;
        folder.firstCluster = g.first;
        folder.size = folder.validSize = uint64_t(g.count) * cs;
        folder.streamFlags = kExfatNoFatChain;
        folder.folder = static_cast<int32_t>(m_folders.size());
        const uint32_t index = static_cast<uint32_t>(m_items.size());
        ExfatFolder f;
        f.item = index;
        f.depth = 1;
        m_folders[m_items[m_lostRoot].folder].deletedFolders.push_back(index);
        m_items.push_back(folder);
        m_folders.push_back(f);
        lost.push_back(index);
    }
    LogWriteLevel(1, "CExfatVolume: %zu lost folders in %zu free clusters holding entry sets (%llu bytes examined)\n",
                  lost.size(), found.size(), static_cast<unsigned long long>(scanned));
    return lost;
}
