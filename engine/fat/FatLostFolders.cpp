// Lost folders of a FAT volume: folder clusters that no folder reaches any
// more. A deleted folder's chain is freed with it, so only its first cluster
// is known (its entry names it); when the folder was fragmented, its later
// clusters lie somewhere in free space, and a folder deleted inside one of
// them is known to no entry at all. The search looks at free clusters that
// no walk of the index read and keeps those whose 32-byte slots all parse
// as directory entries. Consecutive such clusters are one folder's, unless
// one opens with a "." entry naming itself, which starts a folder of its
// own; a folder that opens so and is named by an entry of another lost
// folder is that entry's content. The rest are listed under $LostFolders,
// their entries deleted items recoverable like any other.
//
// Hostile input: the search looks at most at kLostFolderScanBytes of
// clusters and keeps at most kLostFolderKeptBytes of folder clusters, a group holds at most kFatMaxFolderBytes minus a cluster (so a
// slot index stays below 0xFFFF, the lost folder's own), and the nesting of
// lost folders is bounded by kMaxFolderDepth and by each group being used
// once.
#include <algorithm>
#include <unordered_map>

#include "app/Log.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint64_t kLostFolderScanBytes = 256ull << 20;
constexpr uint64_t kLostFolderKeptBytes = 32ull << 20;
constexpr uint64_t kScanPiece = 256u << 10;

bool ValidNameByte(uint8_t b) {
    if (b < 0x20 || (b >= 'a' && b <= 'z')) return false;  // short names are stored in upper case
    static constexpr char kInvalid[] = "\"*+,./:;<=>?[\\]|";
    return std::find(std::begin(kInvalid), std::end(kInvalid) - 1, static_cast<char>(b)) == std::end(kInvalid) - 1;
}

bool ValidDateTime(uint16_t date, uint16_t time) {
    if (date != 0) {
        const uint32_t month = (date >> 5) & 15, day = date & 31;
        if (month < 1 || month > 12 || day < 1) return false;
    }
    return (time >> 11) < 24 && ((time >> 5) & 63) < 60 && (time & 31) < 30;
}

enum class Slot { End, Entry, Piece, Bad };

// What one 32-byte slot of a folder cluster is.
Slot Classify(const uint8_t* s, bool fat32, uint32_t clusterLimit) {
    LeBytes e(s, 32);
    const uint8_t first = s[0];
    if (first == 0) return Slot::End;
    const uint8_t attributes = s[11];
    if (attributes == 0x0F) {
        if (first != 0xE5 && ((first & 0x1F) == 0 || (first & 0x1F) > kFatMaxLongNamePieces || (first & 0xA0)))
            return Slot::Bad;
        if (s[12] != 0 || e.u16(26) != 0) return Slot::Bad;
        // 13 units: text up to a NUL, then 0xFFFF padding.
        static constexpr int kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        bool ended = false;
        for (int off : kUnits) {
            const uint16_t u = e.u16(off);
            if (ended) {
                if (u != 0xFFFF) return Slot::Bad;
            } else if (u == 0) {
                ended = true;
            } else if (u < 0x20 || u == 0xFFFF) {
                return Slot::Bad;
            }
        }
        return Slot::Piece;
    }
    if (attributes & 0xC0) return Slot::Bad;
    const bool dot = s[0] == '.' && (s[1] == ' ' || (s[1] == '.' && s[2] == ' '));
    if (!dot) {
        if (first != 0xE5 && first != 0x05 && !ValidNameByte(first)) return Slot::Bad;
        for (int i = 1; i < 11; ++i)
            if (s[i] != ' ' && !ValidNameByte(s[i])) return Slot::Bad;
    }
    const uint32_t high = e.u16(20);
    if (!fat32 && high != 0) return Slot::Bad;
    const uint32_t cluster = high << 16 | e.u16(26);
    if (cluster == 1 || cluster > clusterLimit) return Slot::Bad;
    if ((attributes & 0x10) && e.u32(28) != 0) return Slot::Bad;
    if (!ValidDateTime(e.u16(24), e.u16(22)) || !ValidDateTime(e.u16(16), e.u16(14))) return Slot::Bad;
    return Slot::Entry;
}

// True when every slot up to the end marker parses and at least one is an
// entry other than a volume label.
bool LooksLikeFolder(const uint8_t* data, size_t size, bool fat32, uint32_t clusterLimit) {
    bool entry = false;
    for (size_t off = 0; off + 32 <= size; off += 32) {
        switch (Classify(data + off, fat32, clusterLimit)) {
            case Slot::End: return entry;
            case Slot::Bad: return false;
            case Slot::Entry:
                if (!(data[off + 11] & 0x08)) entry = true;
                break;
            case Slot::Piece: break;
        }
    }
    return entry;
}

}  // namespace

void CFatVolume::FindLostFolders(const std::unordered_set<uint32_t>& readClusters, IndexProgress* progress) {
    const bool fat32 = m_fatType == kPartitionFat32;
    const uint32_t cs = m_clusterSize;
    const uint32_t limit = m_clusterCount + 1;
    const uint64_t end = std::min<uint64_t>(uint64_t(m_clusterCount) + 2, ClusterEndOnSource());
    uint64_t budget = std::max<uint64_t>(1, kLostFolderScanBytes / cs);
    const size_t maxGroup = kFatMaxFolderBytes - cs;

    struct Group {
        uint32_t first;
        std::vector<uint8_t> bytes;
        bool head;
        bool used = false;
    };
    std::vector<Group> groups;
    // Runs of candidate clusters are read in pieces of up to kScanPiece bytes.
    const uint64_t perPiece = std::max<uint64_t>(1, kScanPiece / cs);
    std::vector<uint8_t> piece(static_cast<size_t>(perPiece * cs));
    bool open = false;  // the last group may take the next cluster
    uint64_t kept = 0;  // bytes of all groups
    auto candidate = [&](uint64_t c, bool& readable) {
        uint32_t v = 0;
        readable = ReadFatEntry(static_cast<uint32_t>(c), v);
        return readable && v == 0 && !readClusters.count(static_cast<uint32_t>(c));
    };
    bool fatReadable = true;
    for (uint64_t c = 2; c < end && fatReadable;) {
        if (progress && progress->Stopped()) return;
        if (!candidate(c, fatReadable)) {
            open = false;
            ++c;
            continue;
        }
        const uint64_t first = c;
        uint64_t n = 1;
        while (n < perPiece && first + n < end && candidate(first + n, fatReadable)) ++n;
        c = first + n;
        if (budget < n) {
            LogWriteLevel(1, "CFatVolume::FindLostFolders: the search ends at cluster %llu (its read budget)\n",
                          static_cast<unsigned long long>(first));
            break;
        }
        budget -= n;
        const size_t bytes = static_cast<size_t>(n * cs);
        if (ReadDeviceAt(ClusterToOffset(first), piece.data(), bytes) != static_cast<int64_t>(bytes)) {
            open = false;
            continue;
        }
        bool full = false;
        for (uint64_t k = 0; k < n && !full; ++k) {
            const uint8_t* cluster = piece.data() + k * cs;
            if (!LooksLikeFolder(cluster, cs, fat32, limit)) {
                open = false;
                continue;
            }
            if (kept + cs > kLostFolderKeptBytes) {
                LogWriteLevel(1, "CFatVolume::FindLostFolders: more folder clusters than it keeps; the search ends\n");
                full = true;
                break;
            }
            kept += cs;
            const uint32_t at = static_cast<uint32_t>(first + k);
            uint32_t parent = 0;
            const bool head = OpensFolderAt(cluster, cs, fat32, at, parent);
            if (!open || head || groups.back().bytes.size() + cs > maxGroup) groups.push_back({at, {}, head});
            groups.back().bytes.insert(groups.back().bytes.end(), cluster, cluster + cs);
            // A cluster that ends with its end marker ends its folder.
            open = cluster[cs - 32] != 0;
        }
        if (full) break;
    }
    if (groups.empty()) return;

    std::unordered_map<uint32_t, size_t> heads;  // first cluster -> group that opens a folder there
    for (size_t i = 0; i < groups.size(); ++i)
        if (groups[i].head) heads.emplace(groups[i].first, i);

    // The entries of a group, into node; its folder entries that name a head
    // group get that group as their content (depth first, each group once).
    struct Fill {
        FatNode* node;
        size_t group;
    };
    std::vector<Fill> work;
    auto fill = [&](FatNode* node, size_t g) {
        groups[g].used = true;
        work.push_back({node, g});
        while (!work.empty()) {
            const Fill f = work.back();
            work.pop_back();
            const std::vector<uint8_t>& bytes = groups[f.group].bytes;
            ForEachFolderEntry(bytes.data(), bytes.size(), fat32, [&](FatFileInfo& e, uint32_t slot) {
                e.slot = static_cast<uint16_t>(slot);
                if (const char* why = ImplausibleEntry(*this, e, false)) {
                    LogWriteLevel(2, "CFatVolume::FindLostFolders: slot %u of the lost folder at cluster %u is no item: %s\n",
                                  slot, groups[f.group].first, why);
                    return;
                }
                // Everything in a folder that nothing reaches is deleted.
                if (!e.IsFolder()) {
                    AddDeletedFile(f.node, e);
                    return;
                }
                FatDirInfo* sub = AddDeletedFolder(f.node, e);
                auto h = heads.find(e.firstCluster);
                if (sub && h != heads.end() && !groups[h->second].used && sub->depth < kMaxFolderDepth) {
                    groups[h->second].used = true;
                    work.push_back({sub, h->second});
                }
            });
        }
    };
    // Groups no other group's entry names first, then what cycles left.
    std::unordered_set<uint32_t> named;
    for (const Group& g : groups)
        ForEachFolderEntry(g.bytes.data(), g.bytes.size(), fat32, [&](const FatFileInfo& e, uint32_t) {
            if (e.IsFolder() && e.firstCluster != g.first) named.insert(e.firstCluster);
        });
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < groups.size(); ++i) {
            if (groups[i].used || (pass == 0 && groups[i].head && named.count(groups[i].first))) continue;
            if (m_recordCount >= kMaxRecords) return;
            auto lost = std::make_unique<FatDirInfo>();
            lost->entry.attributes = 0x10;
            lost->entry.firstCluster = groups[i].first;
            lost->entry.size = static_cast<uint32_t>(groups[i].bytes.size());
            lost->entry.slot = kLostFolderSlot;
            lost->entry.parent = m_lostRoot.get();
            lost->parent = m_lostRoot.get();
            lost->depth = 1;
            ++m_recordCount;
            FatDirInfo* raw = lost.get();
            m_lostRoot->deletedFolders.push_back(std::move(lost));
            fill(raw, i);
            // A folder that holds nothing but "." and ".." (or nothing that
            // passes) is nothing to find.
            if (raw->deletedFolders.empty() && raw->deletedFiles.empty()) {
                LogWriteLevel(2, "CFatVolume::FindLostFolders: the folder at cluster %u holds no items\n",
                              groups[i].first);
                m_lostRoot->deletedFolders.pop_back();
                --m_recordCount;
            }
        }
    }
    LogWriteLevel(1, "CFatVolume::FindLostFolders: %zu lost folders\n", m_lostRoot->deletedFolders.size());
}

bool CFatVolume::IsLostFolder(uint32_t id) {
    const FatDirInfo* folder = FolderOfId(id);
    return folder && folder->parent == m_lostRoot.get();
}
