// The exFAT index: BuildIndex walks the folders from the root, deleted ones
// included; the enumerator, the lookups by id and by path, the search walk
// and the live listings.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "app/Log.h"
#include "engine/volume/EnginePath.h"
#include "engine/exfat/ExfatVolume.h"
#include "engine/volume/SearchCriteria.h"

namespace {

// Items an index holds at most (ids stay below 0xFFFFFFF0).
constexpr size_t kMaxItems = 0xFFFFFFF0u - 2;
// Folders whose bytes end within a set, kept to look for where they went on.
constexpr size_t kMostCutFolders = 65536;

// The offsets from UTC the item's times were written with, where recorded.
void SetOffsets(const ExfatItem& item, FileItemInfo& info) {
    int minutes = 0;
    if (ExfatUtcOffsetMinutes(item.created, minutes)) info.creationOffset = static_cast<int16_t>(minutes);
    if (ExfatUtcOffsetMinutes(item.modified, minutes)) info.modificationOffset = static_cast<int16_t>(minutes);
}

class ExfatEnumDeleted : public IEnumDeletedFiles {
public:
    ExfatEnumDeleted(CExfatVolume& volume, const ExfatFolder& folder) : m_volume(volume), m_folder(folder) {}
    bool Next(FileItemInfo& info, bool namesOnly) override {
        const std::vector<uint32_t>& list = m_at < m_folder.deletedFolders.size() ? m_folder.deletedFolders
                                                                                   : m_folder.deletedFiles;
        const size_t k = m_at < m_folder.deletedFolders.size() ? m_at : m_at - m_folder.deletedFolders.size();
        if (k >= list.size()) return false;
        ++m_at;
        const uint32_t item = list[k];
        info = m_volume.MakeItemInfo(m_volume.Items()[item], item, namesOnly, !namesOnly);
        return true;
    }
    bool Reset() override {
        m_at = 0;
        return true;
    }

private:
    CExfatVolume& m_volume;
    const ExfatFolder& m_folder;
    size_t m_at = 0;
};

}  // namespace

void CExfatVolume::Clear() {
    m_items.clear();
    m_items.shrink_to_fit();
    m_folders.clear();
    m_folders.shrink_to_fit();
    m_liveFiles.clear();
    m_liveFiles.shrink_to_fit();
    m_lostRoot = 0;
    m_lostFolderRuns.clear();
    m_liveFilesKept = false;
    {
        std::lock_guard<std::mutex> g(m_startsLock);
        m_deletedStarts.clear();
        m_haveDeletedStarts = false;
    }
    std::lock_guard<std::mutex> g(m_lossLock);
    m_unreadableFolderClusters.clear();
}

void CExfatVolume::ClearIndex() { Clear(); }

uint32_t CExfatVolume::AddItem(uint32_t parent, const ExfatEntrySet& set, bool deleted) {
    if (m_items.size() >= kMaxItems) return UINT32_MAX;
    const uint32_t index = static_cast<uint32_t>(m_items.size());
    ExfatItem it;
    it.name = set.name;
    it.parent = parent;
    it.slot = set.slot;
    it.attributes = set.attributes;
    it.streamFlags = set.streamFlags;
    it.deleted = deleted;
    it.firstCluster = set.firstCluster;
    it.size = set.size;
    // Written data past the size is no data: a hostile or torn entry.
    it.validSize = std::min(set.validSize, set.size);
    it.created = set.created;
    it.modified = set.modified;
    ExfatFolder& holder = m_folders[m_items[parent].folder];
    if (it.IsFolder()) {
        it.folder = static_cast<int32_t>(m_folders.size());
        ExfatFolder f;
        f.item = index;
        f.depth = holder.depth + 1;
        (deleted ? holder.deletedFolders : holder.liveFolders).push_back(index);
        m_folders.push_back(std::move(f));
    } else if (!deleted) {
        // Kept apart: the ids of the index never depend on whether live files were kept.
        holder.liveFiles.push_back(static_cast<uint32_t>(m_liveFiles.size()));
        m_liveFiles.push_back(std::move(it));
        return index;
    } else {
        holder.deletedFiles.push_back(index);
    }
    m_items.push_back(std::move(it));
    return index;
}

bool CExfatVolume::BuildIndex(IndexProgress* progress) {
    CScopeTrace trace(1, "CExfatVolume::BuildIndex");
    Clear();
    if (progress) progress->Start(1, 0);
    if (!IsInitialized()) return false;
    ExfatItem root;
    root.attributes = 0x10;
    root.firstCluster = m_geometry.rootCluster;
    root.folder = 0;
    m_items.push_back(root);
    m_folders.push_back(ExfatFolder {});
    m_liveFilesKept = m_keepLive;

    // Every folder's clusters are read once: a folder entry that names the
    // clusters of one already read (a loop, or junk) is listed, not entered.
    // All folders together read at most about twice the heap: folders whose
    // runs overlap (junk, or a crafted volume) cannot read the same clusters
    // again and again.
    std::unordered_set<uint32_t> entered {m_geometry.rootCluster};
    std::unordered_set<uint32_t> readClusters;  // every cluster read as a folder's
    const uint64_t heapEnd = uint64_t(m_geometry.clusterCount) + 2;
    const uint64_t budget = 2ull * m_geometry.clusterCount + 1024;
    uint64_t spent = 0;
    bool stopped = false, full = false, budgetLogged = false;

    // The sets of one folder's bytes (firstSlot: the slot of their first
    // entry) become the folder's items; its subfolders go on the stack.
    std::vector<uint32_t> stack;
    std::vector<CutFolder> cutFolders;
    auto take = [&](uint32_t index, const std::vector<uint8_t>& bytes, uint32_t firstSlot, bool allDeleted) {
        std::vector<uint32_t> subfolders;
        const ExfatWalkCounts counts =
            WalkExfatEntries(bytes.data(), bytes.size(), firstSlot, [&](const ExfatEntrySet& set) {
                const bool deleted = allDeleted || !set.inUse;
                if (!deleted && !set.IsFolder() && !m_keepLive) return true;
                const uint32_t child = AddItem(index, set, deleted);
                if (child == UINT32_MAX) {
                    full = true;
                    return false;
                }
                if (set.IsFolder()) subfolders.push_back(child);
                return true;
            });
        if (counts.badChecksum) {
            LogWrite("CExfatVolume::BuildIndex: %u entry sets of the folder at cluster %u failed their checksum and "
                     "were skipped\n",
                     counts.badChecksum, m_items[index].firstCluster);
        }
        for (size_t k = subfolders.size(); k-- > 0;) {
            const ExfatItem& sub = m_items[subfolders[k]];
            const bool inHeap = sub.firstCluster >= 2 && sub.firstCluster < heapEnd;
            if (!inHeap || sub.size == 0 || m_folders[sub.folder].depth > kMaxFolderDepth) continue;
            if (!entered.insert(sub.firstCluster).second) continue;
            stack.push_back(subfolders[k]);
        }
        return counts;
    };
    auto walk = [&] {
        while (!stack.empty() && !stopped && !full) {
            if (progress && progress->Stopped()) {
                stopped = true;
                break;
            }
            const uint32_t index = stack.back();
            stack.pop_back();
            const bool deletedFolder = m_items[index].deleted;
            const std::vector<ExfatRun> runs = FolderRuns(index);
            uint64_t clusters = 0;
            for (const ExfatRun& r : runs) clusters += r.count;
            if (spent + clusters > budget) {
                if (!budgetLogged) LogWrite("CExfatVolume::BuildIndex: the folders exceed the read budget\n");
                budgetLogged = true;
                continue;
            }
            spent += clusters;
            for (const ExfatRun& r : runs)
                for (uint64_t k = 0; k < r.count && readClusters.size() < budget; ++k)
                    readClusters.insert(static_cast<uint32_t>(r.first + k));
            // A deleted folder's clusters that are in use again belong to another item now.
            const std::vector<uint8_t> bytes = ReadFolder(runs, deletedFolder);
            take(index, bytes, 0, deletedFolder);
            if (!runs.empty() && cutFolders.size() < kMostCutFolders && ExfatEndsInSet(bytes.data(), bytes.size())) {
                const size_t w = std::min(kExfatJoinWindow, bytes.size());
                cutFolders.push_back({index, static_cast<uint32_t>(runs.back().first + runs.back().count - 1),
                                      static_cast<uint32_t>(bytes.size() / 32),
                                      std::vector<uint8_t>(bytes.end() - w, bytes.end())});
            }
            if (progress && progress->Step() != WalkResult::Continue) stopped = true;
        }
    };
    stack.push_back(0);
    walk();

    // Past a contiguous folder's end: a writer that shrinks a folder after
    // a deletion frees its last clusters with the deleted sets still in
    // them. Each free cluster after the folder's last that no folder walk
    // read and no folder starts at (or whose bitmap byte could not be
    // read), and that holds sets whose checksums hold, is taken as the
    // folder's; the first one that holds none ends it. A set cut short at a cluster's end goes on in the next.
    std::unordered_set<uint32_t> folderStarts;
    for (const ExfatItem& item : m_items)
        if (item.IsFolder()) folderStarts.insert(item.firstCluster);
    const size_t foldersBefore = m_folders.size();
    std::vector<uint8_t> cluster(m_clusterSize);
    std::vector<uint8_t> joined;
    std::unordered_map<uint32_t, size_t> cutOf;  // folder item -> its entry in cutFolders
    for (size_t k = 0; k < cutFolders.size(); ++k) cutOf.emplace(cutFolders[k].item, k);
    for (size_t f = 1; f < foldersBefore && !stopped && !full; ++f) {
        const uint32_t index = m_folders[f].item;
        const ExfatItem& folder = m_items[index];
        if (!folder.Contiguous() || folder.firstCluster < 2 || folder.firstCluster >= heapEnd) continue;
        const std::vector<ExfatRun> runs = FolderRuns(index);
        if (runs.size() != 1 || !readClusters.count(folder.firstCluster)) continue;
        const uint64_t perCluster = m_clusterSize / 32;
        const uint64_t most = std::max<uint64_t>(1, kMaxFolderBytes / m_clusterSize);
        const auto known = cutOf.find(index);
        CutFolder* cut = known != cutOf.end() ? &cutFolders[known->second] : nullptr;
        for (uint64_t c = runs[0].first + runs[0].count; c < heapEnd && c - runs[0].first < most; ++c) {
            if (ClusterAllocated(c) == 1 || readClusters.count(static_cast<uint32_t>(c)) ||
                folderStarts.count(static_cast<uint32_t>(c)) || spent >= budget)
                break;
            if (ReadHeap(c, 0, cluster.data(), cluster.size()) != static_cast<int64_t>(cluster.size())) break;
            ++spent;
            const size_t itemsBefore = m_items.size();
            const bool deleted = m_items[index].deleted;
            const auto slot = static_cast<uint32_t>((c - runs[0].first) * perCluster);
            if (cut) {
                const ExfatJoin join = ExfatJoinCutSet(cut->tail.data(), cut->tail.size(), cluster.data(), cluster.size());
                if (join.need) {
                    joined.assign(cut->tail.end() - size_t(join.back) * 32, cut->tail.end());
                    joined.insert(joined.end(), cluster.begin(), cluster.begin() + size_t(join.need) * 32);
                    take(index, joined, slot - join.back, true);
                }
            }
            take(index, cluster, slot, true);
            if (m_items.size() == itemsBefore) break;
            readClusters.insert(static_cast<uint32_t>(c));
            // The folder ends here now, cut short or not.
            if (ExfatEndsInSet(cluster.data(), cluster.size())) {
                if (!cut && cutFolders.size() < kMostCutFolders) cut = &cutFolders.emplace_back();
                if (cut) {
                    *cut = {index, static_cast<uint32_t>(c), slot + static_cast<uint32_t>(perCluster),
                            std::vector<uint8_t>(cluster.end() - std::min(kExfatJoinWindow, cluster.size()), cluster.end())};
                }
            } else if (cut) {
                cut->tail.clear();
            }
            LogWriteLevel(1, "CExfatVolume::BuildIndex: free cluster %llu after the folder at cluster %u holds %zu of "
                             "its deleted items%s\n",
                          static_cast<unsigned long long>(c), m_items[index].firstCluster, m_items.size() - itemsBefore,
                          deleted ? "" : " (the folder shrank)");
        }
    }
    // Folders found in those clusters are walked as any other. Then the
    // free clusters where a cut folder went on are taken as its own, and the
    // lost folders are walked.
    walk();
    if (!stopped && !full) {
        const LostFinds finds = FindLostFolders(readClusters, cutFolders, progress);
        for (const FolderContinuation& more : finds.continuations) {
            if (full) break;
            std::vector<uint8_t> bytes = more.prefix;
            const std::vector<uint8_t> rest = ReadFolder(more.runs, true);
            bytes.insert(bytes.end(), rest.begin(), rest.end());
            for (const ExfatRun& r : more.runs)
                for (uint64_t k = 0; k < r.count; ++k) readClusters.insert(static_cast<uint32_t>(r.first + k));
            const size_t itemsBefore = m_items.size();
            take(more.item, bytes, more.firstSlot, true);
            LogWriteLevel(1, "CExfatVolume::BuildIndex: %zu free clusters from cluster %llu go on the folder at cluster "
                             "%u with %zu deleted items\n",
                          rest.size() / m_clusterSize, static_cast<unsigned long long>(more.runs.front().first),
                          m_items[more.item].firstCluster, m_items.size() - itemsBefore);
        }
        // Under what those sets hold, walked first, in the order found.
        for (uint32_t lost : finds.folders) {
            entered.insert(m_items[lost].firstCluster);
            stack.insert(stack.begin(), lost);
        }
        walk();
    }
    if (full) LogWrite("CExfatVolume::BuildIndex: the index is full\n");
    if (!stopped) ReloadRecycleBin();
    return true;
}

// ---------------------------------------------------------------------------
// Lookups

const ExfatItem* CExfatVolume::ItemOfId(uint32_t id) const {
    if (id < 2 || id - 1 >= m_items.size()) return nullptr;
    const ExfatItem& item = m_items[id - 1];
    return item.deleted ? &item : nullptr;
}

FileItemInfo CExfatVolume::MakeItemInfo(const ExfatItem& item, uint32_t index, bool namesOnly, bool withDataStatus) {
    FileItemInfo info;
    info.name = item.name;
    info.attributes = item.attributes;
    info.id = IdOf(index);
    info.nameState = item.deleted ? NameState::Deleted : NameState::Live;
    info.recordState = item.deleted ? RecordState::Free : RecordState::InUse;
    if (m_lostRoot && item.parent == m_lostRoot) {
        // A lost folder is clusters without an entry of their own.
        info.nameState = NameState::None;
        info.recordState = RecordState::None;
    }
    info.orphan = IsOrphan(item);
    if (namesOnly) return info;
    info.size = item.IsFolder() ? 0 : item.size;
    info.creationTime = ExfatTimeToFileTime(item.created);
    info.modificationTime = ExfatTimeToFileTime(item.modified);
    SetOffsets(item, info);
    info.dataStatus = withDataStatus && item.deleted ? DataStatus(item) : 0;
    return info;
}

int32_t CExfatVolume::DataStatus(const ExfatItem& item) {
    if (item.IsFolder() || item.validSize == 0 || m_clusterSize == 0) return 0;
    // The share of the written data (up to the valid data length: past it
    // the file reads as zeros whatever the clusters hold) whose clusters are
    // in use again, or past the heap or the source. A bitmap byte that could
    // not be read makes it unknown: a read error is no sign of overwriting.
    const uint64_t cs = m_clusterSize;
    const uint64_t valid = item.validSize;
    const uint64_t end = ClusterEndOnSource();
    uint64_t at = 0, lost = 0;
    bool unknown = false;
    for (const ExfatRun& run : ItemRuns(item)) {
        for (uint64_t k = 0; k < run.count && at < valid; ++k, at += cs) {
            const uint64_t bytes = std::min(cs, valid - at);
            const uint64_t c = run.first + k;
            const int state = c >= end ? 1 : ClusterAllocated(c);
            if (state < 0) unknown = true;
            else if (state > 0) lost += bytes;
        }
    }
    if (at < valid) lost += valid - at;  // clusters the heap does not hold
    return unknown ? kDataStatusUnknown : static_cast<int32_t>(lost * 100 / valid);
}

int32_t CExfatVolume::FindFolderByPath(const std::u16string& path) const {
    if (path.empty() || m_folders.empty()) return -1;
    int32_t folder = 0;
    for (const std::u16string& part : SplitEnginePath(path)) {
        int32_t next = -1;
        for (uint32_t sub : m_folders[folder].liveFolders)
            if (SameName(m_items[sub].name, part)) {
                next = m_items[sub].folder;
                break;
            }
        if (next < 0) return -1;
        folder = next;
    }
    return folder;
}

bool CExfatVolume::EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    if (folderId == kRecycleBinId) return EnumRecycleBinDeleted(enumerator);
    if (folderId == kLostFoldersId) {
        if (!HasLostFolders()) return false;
        enumerator = std::make_unique<ExfatEnumDeleted>(*this, m_folders[m_items[m_lostRoot].folder]);
        return true;
    }
    if (folderId == kNoFolderId) return false;
    const ExfatItem* item = ItemOfId(static_cast<uint32_t>(folderId));
    if (!item || item->folder < 0) return false;
    enumerator = std::make_unique<ExfatEnumDeleted>(*this, m_folders[item->folder]);
    return true;
}

bool CExfatVolume::EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    const int32_t folder = FindFolderByPath(path);
    if (folder < 0) return false;
    enumerator = std::make_unique<ExfatEnumDeleted>(*this, m_folders[folder]);
    return true;
}

namespace {
// Deleted folders and files below a folder (iterative: depth comes from the volume).
void CountTree(const std::vector<ExfatFolder>& folders, const std::vector<ExfatItem>& items, int32_t top,
               uint32_t& nFolders, uint32_t& nFiles) {
    std::vector<int32_t> stack {top};
    while (!stack.empty()) {
        const ExfatFolder& f = folders[stack.back()];
        stack.pop_back();
        nFolders += static_cast<uint32_t>(f.deletedFolders.size());
        nFiles += static_cast<uint32_t>(f.deletedFiles.size());
        for (uint32_t sub : f.deletedFolders) stack.push_back(items[sub].folder);
        for (uint32_t sub : f.liveFolders) stack.push_back(items[sub].folder);
    }
}
}  // namespace

bool CExfatVolume::HasDeletedFilesByPath(const std::u16string& path) {
    const int32_t folder = FindFolderByPath(path);
    if (folder < 0) return false;
    uint32_t folders = 0, files = 0;
    CountTree(m_folders, m_items, folder, folders, files);
    return folders + files > 0;
}

bool CExfatVolume::CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files) {
    if (CVolume::CountDeletedFiles(folderId, folders, files)) return true;
    if (folderId == kLostFoldersId) {
        if (!HasLostFolders()) return false;
        folders = files = 0;
        CountTree(m_folders, m_items, m_items[m_lostRoot].folder, folders, files);
        return true;
    }
    if (folderId == kNoFolderId) return false;
    const ExfatItem* item = ItemOfId(static_cast<uint32_t>(folderId));
    if (!item || item->folder < 0) return false;
    folders = files = 0;
    CountTree(m_folders, m_items, item->folder, folders, files);
    return true;
}

bool CExfatVolume::CountDeletedFilesByPath(const std::u16string& path, uint32_t& folders, uint32_t& files) {
    const int32_t folder = FindFolderByPath(path);
    if (folder < 0) return false;
    folders = files = 0;
    CountTree(m_folders, m_items, folder, folders, files);
    // The whole volume's count holds the lost folders and what they hold too.
    if (folder == 0 && HasLostFolders()) CountTree(m_folders, m_items, m_items[m_lostRoot].folder, folders, files);
    return true;
}

bool CExfatVolume::HasLostFolders() {
    return m_lostRoot != 0 && !m_folders[m_items[m_lostRoot].folder].deletedFolders.empty();
}

bool CExfatVolume::IsLostFolder(uint32_t id) {
    const ExfatItem* item = ItemOfId(id);
    return item && m_lostRoot != 0 && item->parent == m_lostRoot;
}

bool CExfatVolume::IsOrphan(const ExfatItem& item) const {
    if (m_lostRoot == 0) return false;
    // Parents come before their children in the list: the walk ends.
    for (uint32_t p = item.parent; p != 0; p = m_items[p].parent)
        if (p == m_lostRoot) return true;
    return false;
}

bool CExfatVolume::GetFileInfo(uint32_t id, bool, FileItemInfo& info) {
    const ExfatItem* item = ItemOfId(id);
    if (!item) return false;
    info = MakeItemInfo(*item, id - 1, false, true);
    return true;
}

bool CExfatVolume::GetIndexEntry(uint32_t id, std::u16string& name, uint32_t& attributes) {
    const ExfatItem* item = ItemOfId(id);
    if (!item) return false;
    name = item->name;
    attributes = item->attributes;
    return true;
}

bool CExfatVolume::GetParentFolder(uint32_t id, int32_t& parentId) {
    const ExfatItem* item = ItemOfId(id);
    if (!item) return false;
    const ExfatItem& parent = m_items[item->parent];
    parentId = parent.deleted ? static_cast<int32_t>(IdOf(item->parent)) : kNoFolderId;
    return true;
}

bool CExfatVolume::GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) {
    path.clear();
    broken = false;
    lastId = 0;
    const ExfatItem* item = ItemOfId(id);
    if (!item) return false;
    std::u16string rest;
    // Parents always come before their children in the list: the walk ends.
    for (uint32_t p = item->parent; p != 0; p = m_items[p].parent) {
        if (m_lostRoot && m_items[p].parent == m_lostRoot) {
            // Below a lost folder: the path from there on, and the folder.
            broken = true;
            lastId = IdOf(p);
            path = rest;
            return true;
        }
        if (p == m_lostRoot) break;  // a lost folder itself: at the root
        rest = m_items[p].name + u"\\" + rest;
    }
    if (m_driveLetter) {
        path += m_driveLetter;
        path += u':';
    }
    path += u'\\';
    path += rest;
    return true;
}

void CExfatVolume::SearchFiles(SearchCriteria* criteria) {
    if (!criteria) return;
    CScopeTrace trace(1, "CExfatVolume::SearchFiles");
    ISearchCallback* callback = criteria->callback;
    uint32_t total = 0;
    for (const ExfatItem& item : m_items) total += item.deleted ? 1 : 0;
    uint32_t visited = 0;
    // In each folder its deleted files, then its deleted folders' own
    // records, then the live subfolders, then the deleted ones.
    auto test = [&](uint32_t index) -> bool {
        const ExfatItem& item = m_items[index];
        if (criteria->Stopped()) return false;
        if (callback && callback->OnSearchProgress(visited, total) != WalkResult::Continue) {
            criteria->RequestStop();
            return false;
        }
        ++visited;
        if (!NameTest(*criteria, item.name)) return true;
        if (!SizeTest64(*criteria, item.IsFolder() ? 0 : item.size)) return true;
        if (criteria->useDate &&
            !DateTest(*criteria, ExfatTimeToFileTime(item.created), ExfatTimeToFileTime(item.modified)))
            return true;
        FileItemInfo info = MakeItemInfo(item, index, false, !item.IsFolder());
        if (callback && callback->OnFileFound(info) != WalkResult::Continue) {
            criteria->RequestStop();
            return false;
        }
        return !criteria->Stopped();
    };
    if (m_folders.empty()) return;
    std::vector<int32_t> stack {0};
    if (m_lostRoot) stack.insert(stack.begin(), m_items[m_lostRoot].folder);
    while (!stack.empty()) {
        const ExfatFolder& f = m_folders[stack.back()];
        stack.pop_back();
        for (uint32_t i : f.deletedFiles)
            if (!test(i)) return;
        // A lost folder's own record has no name or times to match.
        if (f.item != m_lostRoot)
            for (uint32_t i : f.deletedFolders)
                if (!test(i)) return;
        for (size_t k = f.deletedFolders.size(); k-- > 0;) stack.push_back(m_items[f.deletedFolders[k]].folder);
        for (size_t k = f.liveFolders.size(); k-- > 0;) stack.push_back(m_items[f.liveFolders[k]].folder);
    }
}

// ---------------------------------------------------------------------------
// Live items

bool CExfatVolume::ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) {
    items.clear();
    const int32_t folder = FindFolderByPath(path);
    if (folder < 0) return false;
    auto add = [&](const ExfatItem& item) {
        FileItemInfo info;
        info.name = item.name;
        info.attributes = item.attributes;
        info.size = item.IsFolder() ? 0 : item.size;
        info.creationTime = ExfatTimeToFileTime(item.created);
        info.modificationTime = ExfatTimeToFileTime(item.modified);
        SetOffsets(item, info);
        info.nameState = NameState::Live;
        info.recordState = RecordState::InUse;
        items.push_back(std::move(info));
    };
    const ExfatFolder& f = m_folders[folder];
    if (m_liveFilesKept) {
        // The build kept them: folder order is slot order.
        std::vector<const ExfatItem*> all;
        for (uint32_t i : f.liveFolders) all.push_back(&m_items[i]);
        for (uint32_t i : f.liveFiles) all.push_back(&m_liveFiles[i]);
        std::sort(all.begin(), all.end(), [](const ExfatItem* a, const ExfatItem* b) { return a->slot < b->slot; });
        for (const ExfatItem* item : all) add(*item);
        return true;
    }
    const std::vector<uint8_t> bytes = ReadFolder(FolderRuns(f.item), false);
    WalkExfatEntries(bytes.data(), bytes.size(), 0, [&](const ExfatEntrySet& set) {
        if (!set.inUse) return true;
        ExfatItem item;
        item.name = set.name;
        item.attributes = set.attributes;
        item.size = set.size;
        item.created = set.created;
        item.modified = set.modified;
        add(item);
        return true;
    });
    return true;
}
