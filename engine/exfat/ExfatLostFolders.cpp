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
// How many groups after one are tried as where its last set went on.
constexpr size_t kJoinLookahead = 16;

// A cluster a folder's entries may open: its first entry is one of exFAT's
// entry types (a set may also go on from the cluster before).
bool MayHoldEntries(uint8_t type) {
    switch (type & 0x7F) {
        case 0x01: case 0x02: case 0x03: case 0x05: case 0x20: case 0x40: case 0x41: return true;
        default: return false;
    }
}

}  // namespace

CExfatVolume::LostFinds CExfatVolume::FindLostFolders(const std::unordered_set<uint32_t>& readClusters,
                                                     const std::vector<CutFolder>& cutFolders, IndexProgress* progress) {
    LostFinds finds;
    std::vector<uint32_t>& lost = finds.folders;
    const uint64_t cs = m_clusterSize;
    if (!m_bitmapRead || cs == 0) return finds;
    const uint64_t heapEnd = std::min<uint64_t>(uint64_t(m_geometry.clusterCount) + 2, ClusterEndOnSource());
    // A cluster whose bitmap byte could not be read may be free: it is
    // looked at too (the set checksums tell entries from data).
    auto unread = [&](uint64_t c) { return ClusterAllocated(c) != 1 && !readClusters.count(static_cast<uint32_t>(c)); };

    // The free clusters that hold sets, and those whose first entries may
    // finish a set another cluster cut short, in ascending order.
    struct Found {
        uint32_t cluster;
        bool holdsSets;
    };
    std::vector<Found> found;
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
                const bool continues = ExfatMayContinueSet(p);
                if (!MayHoldEntries(p[0]) && !continues) continue;
                bool any = false;
                WalkExfatEntries(p, cs, 0, [&](const ExfatEntrySet&) {
                    any = true;
                    return false;
                });
                if (any || continues) found.push_back({static_cast<uint32_t>(c + k), any});
            }
        }
        c += n;
        if (progress && progress->Stopped()) return finds;
    }
    if (found.empty()) return finds;

    // Consecutive clusters are one group; each group's sets name the folders they were.
    struct Group {
        uint32_t first;
        uint32_t count;
        bool holdsSets = false;
        bool continuation = false;     // it finishes a set another group cut short
        int32_t next = -1;             // the group this one's last set goes on in
        std::vector<uint8_t> tail;     // the last entries, when they may open a set cut short
        std::vector<uint8_t> head;     // the first entries, when they may finish one
    };
    std::vector<Group> groups;
    const uint64_t most = std::max<uint64_t>(1, kMaxFolderBytes / cs);
    uint64_t kept = 0;
    for (const Found& f : found) {
        if (kept + cs > kLostKeptBytes) break;
        kept += cs;
        if (!groups.empty() && groups.back().first + groups.back().count == f.cluster && groups.back().count < most)
            ++groups.back().count;
        else
            groups.push_back({f.cluster, 1});
        groups.back().holdsSets |= f.holdsSets;
    }
    std::unordered_set<uint32_t> named;
    for (Group& g : groups) {
        ExfatItem folder;
        folder.firstCluster = g.first;
        folder.size = uint64_t(g.count) * cs;
        folder.streamFlags = kExfatNoFatChain;
        const std::vector<uint8_t> bytes = ReadFolder(ItemRuns(folder), true);
        WalkExfatEntries(bytes.data(), bytes.size(), 0, [&](const ExfatEntrySet& set) {
            if (set.IsFolder() && set.firstCluster != g.first) named.insert(set.firstCluster);
            return true;
        });
        const size_t w = std::min(kExfatJoinWindow, bytes.size());
        if (w >= 32 && ExfatMayContinueSet(bytes.data())) g.head.assign(bytes.begin(), bytes.begin() + w);
        if (ExfatEndsInSet(bytes.data(), bytes.size())) g.tail.assign(bytes.end() - w, bytes.end());
    }

    // A folder written between files goes on in a cluster further on: a set
    // cut short at the end of a folder's clusters and finished, checksum and
    // all, by the first entries of one of the next groups tells where. Such
    // a group goes on a folder the walk read, or the lost folder before it.
    auto joinAfter = [&](uint32_t lastCluster, const std::vector<uint8_t>& tail, ExfatJoin& join) -> int32_t {
        const auto from = std::upper_bound(groups.begin(), groups.end(), lastCluster,
                                           [](uint32_t c, const Group& g) { return c < g.first; });
        for (auto h = from; h != groups.end() && h - from < static_cast<ptrdiff_t>(kJoinLookahead); ++h) {
            if (h->continuation || h->head.empty() || named.count(h->first)) continue;
            join = ExfatJoinCutSet(tail.data(), tail.size(), h->head.data(), h->head.size());
            if (join.need == 0) continue;
            h->continuation = true;
            return static_cast<int32_t>(h - groups.begin());
        }
        return -1;
    };
    for (const CutFolder& cut : cutFolders) {
        ExfatJoin join;
        const int32_t h = joinAfter(cut.lastCluster, cut.tail, join);
        if (h < 0) continue;
        FolderContinuation more;
        more.item = cut.item;
        more.firstSlot = cut.slots - join.back;
        more.prefix.assign(cut.tail.end() - size_t(join.back) * 32, cut.tail.end());
        more.first = h;
        finds.continuations.push_back(std::move(more));
    }
    for (Group& g : groups) {
        if (!named.count(g.first) && !g.tail.empty()) {
            ExfatJoin join;
            g.next = joinAfter(g.first + g.count - 1, g.tail, join);
        }
        g.tail.clear();
        g.tail.shrink_to_fit();
    }
    // The runs of a group and of the groups it goes on in.
    auto chain = [&](int32_t first, bool& holdsSets) {
        std::vector<ExfatRun> runs;
        uint64_t clusters = 0;
        holdsSets = false;
        for (int32_t j = first; j >= 0 && clusters + groups[j].count <= most; j = groups[j].next) {
            runs.push_back({groups[j].first, groups[j].count});
            clusters += groups[j].count;
            holdsSets |= groups[j].holdsSets;
        }
        return runs;
    };
    for (FolderContinuation& more : finds.continuations) {
        bool holdsSets = false;
        more.runs = chain(more.first, holdsSets);
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
    size_t joined = 0;
    for (const Group& g : groups) {
        if (named.count(g.first) || g.continuation) continue;
        bool holdsSets = false;
        std::vector<ExfatRun> runs = chain(static_cast<int32_t>(&g - groups.data()), holdsSets);
        // Stretches that may only finish a set, and finish none, are no folder.
        if (!holdsSets) continue;
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
        if (runs.size() > 1) {
            joined += runs.size() - 1;
            m_lostFolderRuns.emplace(index, std::move(runs));
        }
        lost.push_back(index);
    }
    LogWriteLevel(1,
                  "CExfatVolume: %zu lost folders in %zu free clusters holding entry sets, %zu stretches joined to "
                  "the lost folder before them, %zu to a folder the walk read (%llu bytes examined)\n",
                  lost.size(), found.size(), joined, finds.continuations.size(), static_cast<unsigned long long>(scanned));
    return finds;
}
