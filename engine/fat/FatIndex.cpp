// The FAT index: the tree operations, BuildIndex with its two walks, the
// enumerator and the lookups by id and by path.
#include <algorithm>
#include <bit>
#include <unordered_set>

#include "app/Log.h"
#include "engine/volume/EnginePath.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"
#include "platform/CaseFold.h"

// ---------------------------------------------------------------------------
// Tree nodes

FatNode::~FatNode() = default;

uint32_t FatNode::ChildCount() const {
    return static_cast<uint32_t>(deletedFolders.size() + deletedFiles.size());
}

void FatNode::AppendChildFolders(std::vector<const FatNode*>& out) const {
    for (const auto& d : deletedFolders) out.push_back(d.get());
}

void FatNode::CountTree(uint32_t& folders, uint32_t& files) const {
    // Iterative: the depth of a tree read from a hostile volume is not trusted.
    std::vector<const FatNode*> stack {this};
    while (!stack.empty()) {
        const FatNode* n = stack.back();
        stack.pop_back();
        folders += static_cast<uint32_t>(n->deletedFolders.size());
        files += static_cast<uint32_t>(n->deletedFiles.size());
        n->AppendChildFolders(stack);
    }
}

uint64_t FatNode::TotalCount() const {
    uint64_t total = 0;
    std::vector<const FatNode*> stack {this};
    while (!stack.empty()) {
        const FatNode* n = stack.back();
        stack.pop_back();
        total += n->ChildCount();
        n->AppendChildFolders(stack);
    }
    return total;
}

uint32_t FatExistingDir::ChildCount() const {
    return FatNode::ChildCount() + static_cast<uint32_t>(existingFolders.size());
}

void FatExistingDir::AppendChildFolders(std::vector<const FatNode*>& out) const {
    FatNode::AppendChildFolders(out);
    for (const auto& [key, d] : existingFolders) out.push_back(d.get());
}

FatExistingDir* FatExistingDir::FindExisting(const std::u16string& anyCaseName) const {
    auto it = existingFolders.find(FoldCase(anyCaseName));
    return it == existingFolders.end() ? nullptr : it->second.get();
}

// ---------------------------------------------------------------------------
// Ids

const FatFileInfo* CFatVolume::RecordOfId(uint32_t id) const {
    auto it = m_ids.find(id);
    return it == m_ids.end() ? nullptr : it->second.record;
}

const FatDirInfo* CFatVolume::FolderOfId(uint32_t id) const {
    auto it = m_ids.find(id);
    return it == m_ids.end() ? nullptr : it->second.folder;
}

void CFatVolume::AddDeletedFile(FatNode* node, FatFileInfo entry) {
    if (m_recordCount >= kMaxRecords) return;
    auto rec = std::make_unique<FatFileInfo>(std::move(entry));
    rec->parent = node;
    rec->id = 0;
    ++m_recordCount;
    node->deletedFiles.push_back(std::move(rec));
}

FatDirInfo* CFatVolume::AddDeletedFolder(FatNode* node, const FatFileInfo& entry) {
    if (m_recordCount >= kMaxRecords) return nullptr;
    auto dir = std::make_unique<FatDirInfo>();
    dir->entry = entry;
    dir->entry.parent = node;
    dir->entry.id = 0;
    dir->parent = node;
    dir->depth = node->depth + 1;
    ++m_recordCount;
    FatDirInfo* raw = dir.get();
    node->deletedFolders.push_back(std::move(dir));
    return raw;
}

uint32_t CFatVolume::FolderClusterOf(const FatNode* node) const {
    if (node == m_indexRoot.get()) return m_fatType == kPartitionFat32 ? m_rootFirstCluster : 0;
    if (node->IsDeleted()) return static_cast<const FatDirInfo*>(node)->entry.firstCluster;
    return static_cast<const FatExistingDir*>(node)->firstCluster;
}

uint32_t CFatVolume::SlotBits() const {
    if (m_fatType != kPartitionFat32) return 16;
    const uint64_t top = static_cast<uint64_t>(m_clusterCount) + 2;  // highest cluster + 1
    const uint32_t width = static_cast<uint32_t>(std::bit_width(top));
    return width >= 32 ? 0 : std::min<uint32_t>(16, 32 - width);
}

bool CFatVolume::PackedId(uint32_t folderCluster, uint32_t slot, uint32_t& id) const {
    const uint32_t bits = SlotBits();
    if (bits == 0 || slot >= (1u << bits)) return false;
    const uint64_t packed = ((static_cast<uint64_t>(folderCluster) << bits) | slot) + 1;
    if (packed >= 0xFFFFFFFEull) return false;  // a cluster number beyond the volume's
    id = static_cast<uint32_t>(packed);
    return true;
}

void CFatVolume::NumberIds() {
    m_ids.clear();
    m_ids.reserve(m_recordCount);
    struct Pending {
        FatFileInfo* record;
        FatDirInfo* folder;
        uint32_t cluster;
    };
    std::vector<Pending> unpacked;
    auto place = [&](FatFileInfo* rec, FatDirInfo* folder, uint32_t cluster) {
        uint32_t id = 0;
        if (PackedId(cluster, rec->slot, id) && m_ids.emplace(id, IdSlot {rec, folder}).second)
            rec->id = id;
        else
            unpacked.push_back({rec, folder, cluster});
    };
    // Iterative walk (the tree's depth comes from the volume), children in
    // list order; then the lost folders, each numbered in its own cluster.
    std::vector<FatNode*> stack {m_lostRoot.get(), m_indexRoot.get()};
    while (!stack.empty()) {
        FatNode* node = stack.back();
        stack.pop_back();
        const uint32_t cluster = FolderClusterOf(node);
        for (auto& d : node->deletedFolders) place(&d->entry, d.get(), node == m_lostRoot.get() ? d->entry.firstCluster : cluster);
        for (auto& f : node->deletedFiles) place(f.get(), nullptr, cluster);
        for (size_t i = node->deletedFolders.size(); i-- > 0;) stack.push_back(node->deletedFolders[i].get());
        if (!node->IsDeleted())
            for (auto& [key, sub] : static_cast<FatExistingDir*>(node)->existingFolders) stack.push_back(sub.get());
    }
    for (const Pending& p : unpacked) {
        // FNV-1a over the folder cluster and the slot, then linear probing.
        uint32_t h = 2166136261u;
        for (uint32_t v : {p.cluster, static_cast<uint32_t>(p.record->slot)})
            for (int k = 0; k < 4; ++k) h = (h ^ ((v >> (8 * k)) & 0xFF)) * 16777619u;
        for (uint64_t tries = 0; tries <= m_ids.size(); ++tries, ++h) {
            if (h == 0 || h >= 0xFFFFFFFEu) continue;
            if (m_ids.emplace(h, IdSlot {p.record, p.folder}).second) {
                p.record->id = h;
                break;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// BuildIndex

namespace {

bool IsDotName(const std::u16string& n) { return n == u"." || n == u".."; }

bool Cancelled(IndexProgress* progress) {
    return progress && progress->Stopped();
}

bool ValidDate(uint16_t date) {
    const uint32_t month = (date >> 5) & 15, day = date & 31;
    return date == 0 || (month >= 1 && month <= 12 && day >= 1);
}

bool ValidTime(uint16_t time) { return (time >> 11) < 24 && ((time >> 5) & 63) < 60 && (time & 31) < 30; }

}  // namespace

const char* ImplausibleEntry(CFatVolume& volume, const FatFileInfo& e, bool inProvenFolder) {
    if (e.firstCluster == 1 || uint64_t(e.firstCluster) > uint64_t(volume.ClusterCount()) + 1)
        return "first cluster outside the volume";
    if (e.size > volume.VolumeLength()) return "size above the volume";
    // (A folder entry with a size exists: Windows wrote some.)
    if (e.attributes & 0xC0) return "attribute bits no entry has";
    if (!ValidDate(e.modificationDate) || !ValidTime(e.modificationTime) || !ValidDate(e.creationDate) ||
        !ValidTime(e.creationTime) || e.creationFine > 199)
        return "invalid date or time";
    if (e.IsFolder() && e.firstCluster >= 2 && !inProvenFolder) {
        CFatDirectory probe(&volume);
        probe.OpenFolder(0, e.firstCluster, false,
                         volume.IsAllocatedCluster(e.firstCluster) ? kFatModeChain : kFatModeFreeClusters);
        FatFileInfo dot;
        bool deleted = false;
        if (!probe.NextEntry(dot, deleted) || dot.firstCluster != e.firstCluster)
            return "folder cluster without its own \".\" entry";
    }
    return nullptr;
}

void CFatVolume::ClearIndex() {
    m_indexRoot = std::make_unique<FatExistingDir>();
    m_lostRoot = std::make_unique<FatExistingDir>();
    m_ids = {};
    m_recordCount = 0;
    {
        std::lock_guard<std::mutex> losses(m_lossLock);
        m_unreadableFatSectors.clear();
        m_unreadableFolderClusters.clear();
    }
    std::lock_guard<std::mutex> g(m_startsLock);
    m_deletedStarts.clear();
    m_haveDeletedStarts = false;
}

bool CFatVolume::BuildIndex(IndexProgress* progress) {
    CScopeTrace trace(1, "CFatVolume::BuildIndex");
    ClearIndex();
    if (progress) progress->Start(1, 0);  // no progress units are counted for FAT
    if (!IsInitialized()) return false;

    CFatDirectory reader(this);
    // Clusters already read as existing folders: a chain that loops, or a
    // subfolder that points back at an ancestor, ends there.
    std::unordered_set<uint32_t> existingClusters;
    // First clusters of the deleted folders already walked, and a budget of
    // clusters for all deleted folders together: deleted folders are read
    // through free space, so the same clusters could otherwise be read again
    // and again from entries that name them.
    std::unordered_set<uint32_t> deletedFirstClusters;
    const uint64_t deletedBudget = 2ull * ClusterCount() + 1024;
    uint64_t deletedSpent = 0;
    bool budgetLogged = false;

    struct Work {
        FatNode* node;
        bool deleted;
    };
    std::vector<Work> stack {{m_indexRoot.get(), false}};
    FatFileInfo e;
    bool deleted = false;

    while (!stack.empty() && !Cancelled(progress)) {
        Work w = stack.back();
        stack.pop_back();
        FatNode* node = w.node;

        if (!w.deleted) {
            // Existing folder: keep its deleted entries, remember its live subfolders.
            auto* dir = static_cast<FatExistingDir*>(node);
            if (dir == m_indexRoot.get())
                reader.OpenRoot();
            else
                reader.OpenFolder(0, dir->firstCluster, false, kFatModeChain);
            reader.SetVisitedClusters(&existingClusters);
            std::vector<FatFileInfo> live;
            while (!Cancelled(progress) && reader.NextEntry(e, deleted)) {
                if (IsDotName(e.name)) continue;
                e.slot = static_cast<uint16_t>(std::min<uint32_t>(reader.LastSlot(), UINT16_MAX));
                if (e.IsFolder()) {
                    if (deleted)
                        AddDeletedFolder(node, e);
                    else
                        live.push_back(e);
                } else if (deleted) {
                    AddDeletedFile(node, e);
                }
            }
            reader.SetVisitedClusters(nullptr);
            std::vector<FatExistingDir*> children;
            if (node->depth < kMaxFolderDepth) {
                for (auto& l : live) {
                    auto child = std::make_unique<FatExistingDir>();
                    child->key = FoldCase(l.name);
                    if (dir->existingFolders.count(child->key)) continue;  // a second folder of the same name
                    child->name = l.name;
                    child->firstCluster = l.firstCluster;
                    child->size = l.size;
                    child->parent = dir;
                    child->depth = dir->depth + 1;
                    children.push_back(child.get());
                    dir->existingFolders.emplace(child->key, std::move(child));
                }
            }
            // Existing subfolders first (in directory order), then the deleted ones.
            for (size_t i = node->deletedFolders.size(); i-- > 0;)
                stack.push_back({node->deletedFolders[i].get(), true});
            for (size_t i = children.size(); i-- > 0;) stack.push_back({children[i], false});
            continue;
        }

        // Deleted folder: its old clusters must open with a "." entry that
        // names them and a ".." that names the parent. They are read as
        // free clusters; a folder deleted while open keeps its chain
        // allocated, and is read along it when it is no live folder's and
        // its ".." names its parent exactly (0 for the root).
        auto* dir = static_cast<FatDirInfo*>(node);
        const FatFileInfo& own = dir->entry;
        if (node->depth > kMaxFolderDepth) continue;
        if (!deletedFirstClusters.insert(own.firstCluster).second) continue;
        if (deletedSpent > deletedBudget) {
            if (!budgetLogged) LogWriteLevel(1, "CFatVolume::BuildIndex: deleted folders exceed the read budget\n");
            budgetLogged = true;
            continue;
        }
        const bool allocated = IsAllocatedCluster(own.firstCluster);
        if (allocated && existingClusters.count(own.firstCluster)) continue;
        reader.OpenFolder(0, own.firstCluster, false, allocated ? kFatModeChain : kFatModeFreeClusters);
        if (allocated) reader.SetVisitedClusters(&existingClusters);
        // The times of "." are not compared: a system that updates a folder's
        // own entry when its content changes (Linux does) leaves them apart.
        bool ok = reader.NextEntry(e, deleted) && !deleted && e.name == u"." && e.IsFolder() &&
                  e.firstCluster == own.firstCluster && e.size == 0;
        if (ok) {
            const bool parentIsRoot = node->parent == m_indexRoot.get();
            const uint32_t parent = parentIsRoot ? 0 : FolderClusterOf(node->parent);
            ok = reader.NextEntry(e, deleted) && !deleted && e.name == u".." && e.IsFolder() && e.size == 0 &&
                 ((parentIsRoot && !allocated) || e.firstCluster == parent ||
                  (parentIsRoot && e.firstCluster == FolderClusterOf(node->parent)));
        }
        if (ok) {
            // Everything in a deleted folder is deleted, whether or not its
            // entry was marked: files and folders alike.
            while (!Cancelled(progress) && reader.NextEntry(e, deleted)) {
                if (IsDotName(e.name)) continue;
                e.slot = static_cast<uint16_t>(std::min<uint32_t>(reader.LastSlot(), UINT16_MAX));
                // The clusters after a deleted folder's first may hold
                // anything since: what does not pass is not listed.
                if (const char* why = ImplausibleEntry(*this, e, true)) {
                    LogWriteLevel(2, "CFatVolume::BuildIndex: slot %u of the deleted folder at cluster %u is no item: %s\n",
                                  static_cast<unsigned>(e.slot), own.firstCluster, why);
                    continue;
                }
                if (e.IsFolder())
                    AddDeletedFolder(node, e);
                else
                    AddDeletedFile(node, e);
            }
            for (size_t i = node->deletedFolders.size(); i-- > 0;)
                stack.push_back({node->deletedFolders[i].get(), true});
        }
        const uint32_t clustersRead = (reader.Tell() + ClusterSize() - 1) / ClusterSize();
        if (allocated)
            reader.SetVisitedClusters(nullptr);  // the chain's clusters went in as they were read
        else
            for (uint32_t k = 0; k < clustersRead; ++k) existingClusters.insert(own.firstCluster + k);
        deletedSpent += clustersRead + 1;
    }
    // Folder clusters that no walk reached: existingClusters now holds
    // every cluster read as a folder's.
    if (!Cancelled(progress)) FindLostFolders(existingClusters, progress);
    NumberIds();
    if (!Cancelled(progress)) ReloadRecycleBin();
    return true;
}

// ---------------------------------------------------------------------------
// Enumeration and lookups

bool CFatVolume::CEnumDeletedFiles::Reset() {
    m_folder = 0;
    m_file = 0;
    return true;
}

bool CFatVolume::CEnumDeletedFiles::Next(FileItemInfo& info, bool namesOnly) {
    if (!m_node) return false;
    if (m_folder < m_node->deletedFolders.size()) {
        info = m_volume->MakeItemInfo(m_node->deletedFolders[m_folder++]->entry, namesOnly, !namesOnly);
        return true;
    }
    if (m_file < m_node->deletedFiles.size()) {
        info = m_volume->MakeItemInfo(*m_node->deletedFiles[m_file++], namesOnly, !namesOnly);
        return true;
    }
    return false;
}

FileItemInfo CFatVolume::MakeItemInfo(const FatFileInfo& rec, bool namesOnly, bool withDataStatus) {
    FileItemInfo info;
    info.name = rec.name;
    info.attributes = rec.attributes;
    info.id = rec.id;
    // An entry is a FAT item's name and record at once: marked deleted, or in
    // a deleted folder's clusters. A lost folder is clusters without an entry.
    const bool lostFolder = rec.parent == m_lostRoot.get();
    info.nameState = lostFolder ? NameState::None : NameState::Deleted;
    info.recordState = lostFolder ? RecordState::None : RecordState::Free;
    for (const FatNode* n = rec.parent; n && !info.orphan; n = n->parent) info.orphan = n == m_lostRoot.get();
    if (namesOnly) return info;
    info.size = rec.size;
    info.creationTime = FatTimeToFileTime(rec.creationDate, rec.creationTime, rec.creationFine);
    info.modificationTime = FatTimeToFileTime(rec.modificationDate, rec.modificationTime);
    info.dataStatus = withDataStatus ? DataStatus(rec) : 0;
    return info;
}

int32_t CFatVolume::DataStatus(const FatFileInfo& rec) {
    if (rec.IsFolder() || rec.size == 0 || ClusterSize() == 0) return 0;
    // A deletion frees the chain: the file is taken as contiguous from its
    // first cluster, and every byte in a cluster that is in use again (or
    // bad, or beyond the FAT, or past the end of the source) counts as
    // overwritten. A cluster whose FAT entry no copy of the FAT gives makes
    // the status unknown (the index names those sectors): a read error is no
    // sign of overwritten data.
    const uint64_t size = rec.size;
    const uint64_t cs = ClusterSize();
    const uint64_t clusters = (size + cs - 1) / cs;
    // One past the last cluster that is both in the data area and on the source.
    const uint64_t end = std::min(static_cast<uint64_t>(ClusterCount()) + 2, ClusterEndOnSource());
    uint64_t lost = 0;
    bool unknown = false;
    for (uint64_t k = 0; k < clusters; ++k) {
        const uint64_t c = static_cast<uint64_t>(rec.firstCluster) + k;
        const uint64_t bytes = std::min(cs, size - k * cs);
        if (c < 2 || c >= end) {
            // This cluster and all after it lie outside the data area or
            // past the end of a short source: they cannot be read.
            lost += size - k * cs;
            break;
        }
        uint32_t v = 0;
        bool refused = false;
        if (!ReadFatEntry(static_cast<uint32_t>(c), v, &refused)) {
            if (refused) unknown = true;
            else lost += bytes;
        } else if (IsInUse(v) || IsBad(v)) {
            lost += bytes;
        }
    }
    return unknown ? kDataStatusUnknown : static_cast<int32_t>(lost * 100 / size);
}

bool CFatVolume::EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    if (folderId == kNoFolderId) return false;
    if (folderId == kLostFoldersId) {
        if (!HasLostFolders()) return false;
        enumerator = std::make_unique<CEnumDeletedFiles>(this, m_lostRoot.get());
        return true;
    }
    if (folderId == kRecycleBinId) return EnumRecycleBinDeleted(enumerator);
    const FatDirInfo* dir = FolderOfId(static_cast<uint32_t>(folderId));
    if (!dir) return false;
    enumerator = std::make_unique<CEnumDeletedFiles>(this, dir);
    return true;
}

bool CFatVolume::EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    const FatExistingDir* dir = FindFolderByPath(path);
    if (!dir) return false;
    enumerator = std::make_unique<CEnumDeletedFiles>(this, dir);
    return true;
}

bool CFatVolume::HasDeletedFilesByPath(const std::u16string& path) {
    const FatExistingDir* dir = FindFolderByPath(path);
    if (!dir) return false;
    std::vector<const FatExistingDir*> stack {dir};
    while (!stack.empty()) {
        const FatExistingDir* d = stack.back();
        stack.pop_back();
        if (!d->deletedFolders.empty() || !d->deletedFiles.empty()) return true;
        for (const auto& [key, sub] : d->existingFolders) stack.push_back(sub.get());
    }
    return false;
}

bool CFatVolume::CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files) {
    if (CVolume::CountDeletedFiles(folderId, folders, files)) return true;
    if (folderId == kNoFolderId) return false;
    if (folderId == kLostFoldersId) {
        if (!HasLostFolders()) return false;
        folders = files = 0;
        m_lostRoot->CountTree(folders, files);
        return true;
    }
    const FatDirInfo* dir = FolderOfId(static_cast<uint32_t>(folderId));
    if (!dir) return false;
    folders = files = 0;
    dir->CountTree(folders, files);
    return true;
}

bool CFatVolume::CountDeletedFilesByPath(const std::u16string& path, uint32_t& folders, uint32_t& files) {
    const FatExistingDir* dir = FindFolderByPath(path);
    if (!dir) return false;
    folders = files = 0;
    dir->CountTree(folders, files);
    // The whole volume's count holds the lost folders and what they hold too.
    if (dir == m_indexRoot.get() && HasLostFolders()) m_lostRoot->CountTree(folders, files);
    return true;
}

bool CFatVolume::GetFileInfo(uint32_t id, bool, FileItemInfo& info) {
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec) return false;
    info = MakeItemInfo(*rec, false, true);  // the data status is computed whatever the flag says
    return true;
}

bool CFatVolume::GetIndexEntry(uint32_t id, std::u16string& name, uint32_t& attributes) {
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec) return false;
    name = rec->name;
    attributes = rec->attributes;
    return true;
}

bool CFatVolume::OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec) return false;
    auto f = std::make_unique<CFatFile>(this);
    f->Open(rec->firstCluster, rec->size, kFatModeFreeClusters);
    file = std::move(f);
    return true;
}

// ---------------------------------------------------------------------------
// Paths

const FatExistingDir* CFatVolume::FindFolderByPath(const std::u16string& path) const {
    if (path.empty()) return nullptr;
    const FatExistingDir* node = m_indexRoot.get();
    for (const auto& part : SplitEnginePath(path)) {
        node = node->FindExisting(part);
        if (!node) return nullptr;
    }
    return node;
}

bool CFatVolume::FindLiveEntry(const std::u16string& path, FatFileInfo& entry, bool& isRoot, bool* loopsBack) {
    isRoot = false;
    entry = FatFileInfo();
    if (loopsBack) *loopsBack = false;
    if (path.empty() || !IsInitialized()) return false;
    const std::vector<std::u16string> parts = SplitEnginePath(path);
    // Through the index as far as it knows the folders, then on disk. A
    // folder whose cluster is one of a folder above it (junk or a crafted
    // loop) is the last thing a path reaches.
    auto loops = [&](const FatNode* n) {
        for (const FatNode* a = n->parent; a; a = a->parent)
            if (FolderClusterOf(a) == FolderClusterOf(n)) return true;
        return false;
    };
    const FatExistingDir* node = m_indexRoot.get();
    size_t i = 0;
    for (; i < parts.size(); ++i) {
        if (node != m_indexRoot.get() && loops(node)) return false;
        const FatExistingDir* next = node->FindExisting(parts[i]);
        if (!next) break;
        node = next;
    }
    if (i == parts.size()) {
        if (loopsBack && node != m_indexRoot.get()) *loopsBack = loops(node);
        if (node == m_indexRoot.get()) {
            isRoot = true;
            return true;
        }
        entry.name = node->name;
        entry.attributes = 0x10;
        entry.firstCluster = node->firstCluster;
        entry.size = node->size;
        return true;
    }
    // A folder entry that names a folder already on the path (junk or a
    // crafted loop) would repeat the same listing ever deeper: refused.
    std::unordered_set<uint32_t> onPath;
    for (const FatNode* n = node; n; n = n->parent) onPath.insert(FolderClusterOf(n));
    CFatDirectory reader(this);
    if (node == m_indexRoot.get())
        reader.OpenRoot();
    else
        reader.OpenFolder(0, node->firstCluster, false, kFatModeChain);
    FatFileInfo e;
    bool deleted = false;
    for (; i < parts.size(); ++i) {
        bool found = false;
        while (reader.NextEntry(e, deleted)) {
            if (deleted || IsDotName(e.name)) continue;
            if (EqualsIgnoreCase(e.name, parts[i])) {
                found = true;
                break;
            }
        }
        if (!found) return false;
        if (e.IsFolder() && !onPath.insert(e.firstCluster).second) {
            if (i + 1 < parts.size()) return false;
            if (loopsBack) *loopsBack = true;
        }
        if (i + 1 == parts.size()) break;
        if (!e.IsFolder()) return false;
        reader.OpenFolder(0, e.firstCluster, false, kFatModeChain);
    }
    entry = e;
    return true;
}

bool CFatVolume::OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    FatFileInfo e;
    bool isRoot = false;
    if (!FindLiveEntry(path, e, isRoot)) return false;
    auto f = std::make_unique<CFatFile>(this);
    f->Open(isRoot ? 0 : e.firstCluster, isRoot ? 0 : e.size, kFatModeChain);
    file = std::move(f);
    return true;
}

bool CFatVolume::ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) {
    items.clear();
    FatFileInfo e;
    bool isRoot = false, loopsBack = false;
    if (!FindLiveEntry(path, e, isRoot, &loopsBack)) return false;
    if (!isRoot && !e.IsFolder()) return false;
    // A folder entry that names a folder above it is listed in its own
    // folder, but not entered: that would list the same tree again.
    if (loopsBack) return true;
    CFatDirectory reader(this);
    if (isRoot)
        reader.OpenRoot();
    else
        reader.OpenFolder(0, e.firstCluster, false, kFatModeChain);
    std::unordered_set<uint32_t> visited;  // a chain that loops ends the listing
    reader.SetVisitedClusters(&visited);
    bool deleted = false;
    while (reader.NextEntry(e, deleted)) {
        if (deleted || IsDotName(e.name)) continue;
        FileItemInfo info;
        info.name = e.name;
        info.attributes = e.attributes;
        info.size = e.IsFolder() ? 0 : e.size;
        info.creationTime = FatTimeToFileTime(e.creationDate, e.creationTime, e.creationFine);
        info.modificationTime = FatTimeToFileTime(e.modificationDate, e.modificationTime);
        info.id = 0;
        info.nameState = NameState::Live;
        info.recordState = RecordState::InUse;
        items.push_back(std::move(info));
    }
    return true;
}
