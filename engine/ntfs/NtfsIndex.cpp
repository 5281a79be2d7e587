// The NTFS index: BuildIndex over the MFT bitmap with its chain walks, the
// index containers and the CVolume operations that read them (enumerators,
// counts, file info, parents, the by-path operations).
//
// A record is a deleted item when the MFT bitmap marks it free, its FILE
// record still parses, its in-use flag is clear and it still has a name.
// From each such record the chain walk follows the $FILE_NAME parents up to
// the root: deleted, named records enter the file index (and the children
// pairs), live folders on the way enter the existing folders, and a record
// that a chain names as a folder but that is no usable folder any more (no
// name, or not a folder) becomes a lost folder.
//
// Every item of the index has a deleted name and a free record; a lost
// folder has no name, and what its record holds now is read at the end of
// the build or restore (NoteLostFolderRecords); what lies under a lost
// folder is orphaned. The names from index slack are NtfsSlack.cpp's.
//
// Hostile input: the walk covers at most the records the $MFT stream holds
// (a bitmap longer than the MFT is cut), every chain keeps a visited set and
// a length cap, and the recursive counts keep a visited set, so parent loops
// (also a record that names itself as its parent) end.
#include <algorithm>

#include "NtfsVolume.h"
#include "app/Log.h"

namespace {

constexpr uint32_t kLastSystemRecord = 24;
constexpr uint32_t kBitmapPiece = 512;
// Records read per device access during the walking pass.
constexpr uint32_t kBatchRecords = 64;
// No real folder tree is deeper than this; a longer chain is corrupt.
constexpr size_t kMaxChainLength = 4096;

}  // namespace

void CNtfsVolume::ClearIndex() {
    m_fileIndex.clear();
    m_namePool.clear();
    m_namePool.shrink_to_fit();
    m_children.clear();
    m_children.shrink_to_fit();
    m_childrenSorted = true;
    m_lostFolders.clear();
    m_lostFolderRecords.clear();
    m_existingFolders.clear();
    m_existingChildren.clear();
    m_slackNames.clear();
    m_links.clear();
    m_nextLinkId = kLinkIdBase;
    m_itemFacts.clear();
    m_itemFacts.shrink_to_fit();
    m_unreadableRecords.clear();
    FinishLiveItems(false);
}

std::vector<ReadLoss> CNtfsVolume::IndexReadLosses() const {
    if (m_unreadableRecords.empty()) return {};
    return {{m_unreadableRecords.size(), "MFT records", "the files they held are not listed"}};
}

void CNtfsVolume::NoteUnreadableRecord(uint32_t n) {
    auto it = std::lower_bound(m_unreadableRecords.begin(), m_unreadableRecords.end(), n);
    if (it == m_unreadableRecords.end() || *it != n) m_unreadableRecords.insert(it, n);
}

const CNtfsVolume::ItemFacts* CNtfsVolume::FindItemFacts(uint32_t record) const {
    auto it = std::lower_bound(m_itemFacts.begin(), m_itemFacts.end(), record,
                               [](const ItemFacts& f, uint32_t r) { return f.record < r; });
    return it != m_itemFacts.end() && it->record == record ? &*it : nullptr;
}

void CNtfsVolume::NoteItemFacts(uint32_t r, CNtfsFile& full) {
    const NtfsIndexEntry* e = FindEntry(r);
    if (!e || (e->attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (!m_itemFacts.empty() && m_itemFacts.back().record >= r) return;
    FileItemInfo info;
    uint32_t parent = 0;
    if (!full.GetInfo(info, parent)) return;
    // Exactly what the enumerator would read, or nothing.
    if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) || info.name != EntryName(*e)) return;
    m_itemFacts.push_back({r, info.attributes, DataStatusOf(full), full.DataSize(), info.creationTime,
                           info.modificationTime});
}

void CNtfsVolume::AddIndexEntry(uint32_t record, const std::u16string& name, uint32_t attributes, uint32_t parent) {
    NtfsIndexEntry e;
    e.nameOffset = static_cast<uint32_t>(m_namePool.size());
    e.nameLength = static_cast<uint16_t>(std::min<size_t>(name.size(), UINT16_MAX));
    e.attributes = attributes;
    e.parent = parent;
    if (!m_fileIndex.emplace(record, e).second) return;
    m_namePool.insert(m_namePool.end(), name.begin(), name.begin() + e.nameLength);
    if (!m_children.empty() && m_children.back().first > parent) m_childrenSorted = false;
    m_children.emplace_back(parent, record);
}

std::u16string CNtfsVolume::EntryName(const NtfsIndexEntry& e) const {
    if (static_cast<uint64_t>(e.nameOffset) + e.nameLength > m_namePool.size()) return {};
    return std::u16string(m_namePool.data() + e.nameOffset, e.nameLength);
}

const NtfsIndexEntry* CNtfsVolume::FindEntry(uint32_t record) const {
    auto it = m_fileIndex.find(record);
    return it == m_fileIndex.end() ? nullptr : &it->second;
}

void CNtfsVolume::SortChildren() {
    if (m_childrenSorted) return;
    std::stable_sort(m_children.begin(), m_children.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    m_childrenSorted = true;
}

void CNtfsVolume::FinishTree() {
    SortChildren();
    auto fileExistingFolders = [this] {
        m_existingChildren.clear();
        m_existingChildren.reserve(m_existingFolders.size());
        for (const auto& [folder, parent] : m_existingFolders)
            if (folder != parent && folder != kRootRecord) m_existingChildren.emplace_back(parent, folder);
        std::sort(m_existingChildren.begin(), m_existingChildren.end());
    };
    fileExistingFolders();
    if (ReachEveryItem()) fileExistingFolders();
    NoteLostFolderRecords();
}

void CNtfsVolume::NoteLostFolderRecords() {
    m_lostFolderRecords.clear();
    for (uint32_t n : m_lostFolders) {
        RecordState state = RecordState::None;
        uint16_t flags = 0, sequence = 0;
        if (n < MftRecordCount()) {
            if (!ReadRecordHead(n, flags, sequence))
                state = RecordState::Unreadable;
            else if (!(flags & kRecordIsFolder))
                state = RecordState::Reused;  // parent references name it as a folder: it held one before
            else
                state = (flags & kRecordInUse) ? RecordState::InUse : RecordState::Free;
        }
        m_lostFolderRecords.emplace_hint(m_lostFolderRecords.end(), n, state);
    }
}

RecordState CNtfsVolume::LostFolderRecord(uint32_t folder) const {
    auto it = m_lostFolderRecords.find(folder);
    return it == m_lostFolderRecords.end() ? RecordState::None : it->second;
}

bool CNtfsVolume::UnderLostFolder(uint32_t folder) const {
    uint32_t cur = folder;
    for (size_t steps = 0; steps < kMaxChainLength; ++steps) {
        if (m_lostFolders.count(cur)) return true;
        if (cur == kRootRecord) return false;
        if (const NtfsIndexEntry* e = FindEntry(cur))
            cur = e->parent;
        else if (auto it = m_existingFolders.find(cur); it != m_existingFolders.end())
            cur = it->second;
        else
            return false;
    }
    return false;
}

bool CNtfsVolume::ReachEveryItem() {
    // The parent reference of an indexed item or of a live folder a chain met.
    auto parentOf = [this](uint32_t id, uint32_t& parent) {
        if (const NtfsIndexEntry* e = FindEntry(id)) {
            parent = e->parent;
            return true;
        }
        auto it = m_existingFolders.find(id);
        if (it == m_existingFolders.end()) return false;
        parent = it->second;
        return true;
    };
    // An item is reached when the folder its parent reference names is: the
    // root, a lost folder, or a folder whose own parent is reached. Only the
    // folders that hold items are asked (a few, against many items).
    std::map<uint32_t, bool> known;
    auto reached = [&](uint32_t folder) {
        std::vector<uint32_t> path;
        bool result = false;
        for (uint32_t cur = folder; path.size() < kMaxChainLength;) {
            if (cur == kRootRecord || m_lostFolders.count(cur)) {
                result = true;
                break;
            }
            if (auto k = known.find(cur); k != known.end()) {
                result = k->second;
                break;
            }
            if (std::find(path.begin(), path.end(), cur) != path.end()) break;  // a loop
            path.push_back(cur);
            if (!parentOf(cur, cur)) break;  // a record the index does not hold
        }
        for (uint32_t p : path) known[p] = result;
        return result;
    };
    bool changed = false;
    for (size_t i = 0; i < m_children.size(); ++i) {
        const uint32_t folder = m_children[i].first;
        if ((i > 0 && m_children[i - 1].first == folder) || reached(folder)) continue;
        // Up the parent references to where the chain leaves the tree: the
        // record where a loop closes, or the last one the index holds.
        std::vector<uint32_t> seen;
        uint32_t top = folder;
        while (seen.size() < kMaxChainLength) {
            seen.push_back(top);
            uint32_t parent = 0;
            if (!parentOf(top, parent)) break;
            if (parent == kRootRecord || m_lostFolders.count(parent)) break;
            const bool loop = std::find(seen.begin(), seen.end(), parent) != seen.end();
            top = parent;
            if (loop) break;
        }
        const NtfsIndexEntry* e = FindEntry(top);
        if (e && (e->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // A deleted folder becomes the lost folder: out of its parent's items, so it is listed once.
            auto [lo, hi] = ChildRange(e->parent);
            for (size_t j = lo; j < hi; ++j)
                if (m_children[j].second == top) {
                    m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(j));
                    if (j <= i) --i;
                    break;
                }
            m_fileIndex.erase(top);
        } else if (!e) {
            m_existingFolders.erase(top);
        }
        // A file that names itself as its parent stays an item: its lost folder holds it.
        m_lostFolders.insert(top);
        known.clear();
        changed = true;
        LogWriteLevel(1, "Record %lu: its parent references reach no root; listed as a lost folder\n",
                      static_cast<unsigned long>(top));
    }
    return changed;
}

std::vector<uint32_t> CNtfsVolume::ExistingSubfolders(uint32_t folder) const {
    auto lo = std::lower_bound(m_existingChildren.begin(), m_existingChildren.end(), std::make_pair(folder, 0u));
    std::vector<uint32_t> out;
    for (; lo != m_existingChildren.end() && lo->first == folder; ++lo) out.push_back(lo->second);
    return out;
}

std::pair<size_t, size_t> CNtfsVolume::ChildRange(uint32_t folder) const {
    auto lo = std::lower_bound(m_children.begin(), m_children.end(), folder,
                               [](const auto& p, uint32_t f) { return p.first < f; });
    auto hi = std::upper_bound(lo, m_children.end(), folder, [](uint32_t f, const auto& p) { return f < p.first; });
    return {static_cast<size_t>(lo - m_children.begin()), static_cast<size_t>(hi - m_children.begin())};
}

std::vector<uint32_t> CNtfsVolume::FileIndexRecords() const {
    std::vector<uint32_t> out;
    out.reserve(m_fileIndex.size());
    for (const auto& [r, e] : m_fileIndex) out.push_back(r);
    return out;
}

uint32_t CNtfsVolume::ItemRecord(uint32_t id, int* nameOrdinal) const {
    auto it = id >= kLinkIdBase ? m_links.find(id) : m_links.end();
    if (nameOrdinal) *nameOrdinal = it == m_links.end() ? -1 : it->second.ordinal;
    return it == m_links.end() ? id : it->second.record;
}

bool CNtfsVolume::GetIndexParent(uint32_t id, uint32_t& parent) const {
    const NtfsIndexEntry* e = FindEntry(id);
    if (!e) return false;
    parent = e->parent;
    return true;
}

uint64_t CNtfsVolume::IndexMemoryEstimate() const {
    // Tree nodes of the maps and sets are about 64 bytes with their header.
    return m_fileIndex.size() * 64 + m_namePool.capacity() * 2 + m_children.capacity() * 8 +
           (m_lostFolders.size() + m_existingFolders.size() + m_links.size()) * 48 +
           m_itemFacts.capacity() * sizeof(ItemFacts);
}

// ---------------------------------------------------------------------------
// BuildIndex

void CNtfsVolume::ChainWalk(uint32_t r, CNtfsFile& first, bool haveFirst) {
    std::vector<PendingLink> links;
    WalkChain(r, r, haveFirst ? &first : nullptr, links);
    // Each further name of a deleted file is an item of its own, under its
    // own folder, whose chain is walked in turn (it may bring more: a file
    // that a hostile chain names as a folder).
    for (size_t i = 0; i < links.size(); ++i) {
        if (m_nextLinkId >= kSlackIdBase) {
            LogWriteLevel(1, "CNtfsVolume::BuildIndex: no ids left for further link names\n");
            return;
        }
        const uint32_t id = m_nextLinkId++;
        const PendingLink l = std::move(links[i]);
        AddIndexEntry(id, l.name, l.attributes, l.parent);
        m_links.emplace(id, LinkName {l.record, l.ordinal});
        WalkChain(id, l.parent, nullptr, links);
    }
}

void CNtfsVolume::CollectLinks(uint32_t record, const CNtfsFile& file, uint32_t attributes,
                               std::vector<PendingLink>& links) {
    // Folders have no hard links; ids of their own would not fit an MFT this large.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || MftRecordCount() >= kLinkIdBase) return;
    bool cut = false;
    const std::vector<uint16_t> further = file.FurtherLinks(kMaxLinksPerRecord - 1, cut);
    if (cut)
        LogWrite("Record %lu holds more than %lu names; the rest are not listed\n", static_cast<unsigned long>(record),
                 static_cast<unsigned long>(kMaxLinksPerRecord));
    for (uint16_t k : further) {
        FileItemInfo info;
        PendingLink l;
        if (!file.GetInfo(info, l.parent, k) || info.name.empty()) continue;
        l.record = record;
        l.ordinal = k;
        l.attributes = info.attributes;
        l.name = std::move(info.name);
        links.push_back(std::move(l));
    }
}

void CNtfsVolume::WalkChain(uint32_t r, uint32_t start, CNtfsFile* first, std::vector<PendingLink>& links) {
    std::set<uint32_t> visited;
    uint32_t cur = start;
    bool end = false;
    CNtfsFile file;
    for (size_t steps = 0; !end && steps < kMaxChainLength; ++steps) {
        if (cur == kRootRecord) return;
        std::u16string name;
        uint32_t attributes = 0;
        uint32_t parent = 0;
        if (const NtfsIndexEntry* e = FindEntry(cur)) {
            attributes = e->attributes;
            parent = e->parent;
            name = EntryName(*e);
            if (name.empty()) name.push_back(u'?');  // an indexed entry always had a name
            // A deleted folder met again: its chain above was walked when it entered the index.
            if (cur != r && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        } else if (cur != r && m_existingFolders.count(cur)) {
            // A live folder met again: its chain above is known, and its
            // record is not read a second time.
            return;
        } else {
            CNtfsFile* f = &file;
            bool ok;
            if (cur == r && first) {
                f = first;
                ok = first->IsParsed();
            } else {
                ok = file.OpenRecord(this, cur, true);
            }
            FileItemInfo info;
            if (!ok || !f->IsValid() || !f->GetInfo(info, parent)) {
                name.clear();
                end = true;
            } else {
                name = info.name;
                attributes = info.attributes;
                if (!f->IsInUse() && !name.empty()) {
                    AddIndexEntry(cur, name, attributes, parent);
                    CollectLinks(cur, *f, attributes, links);
                } else {
                    if (m_existingFolders.count(cur)) {
                        end = true;
                    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                        m_existingFolders.emplace(cur, parent);
                    }
                }
            }
        }
        if (cur != r && cur > kLastSystemRecord && (name.empty() || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            m_lostFolders.insert(cur);
            return;
        }
        if (visited.count(parent)) end = true;
        visited.insert(cur);
        cur = parent;
    }
}

bool CNtfsVolume::BuildIndex(IndexProgress* progress) {
    CScopeTrace trace(1, "CNtfsVolume::BuildIndex");
    CNtfsFileAttr* bitmap = m_mftFile.IsParsed() ? m_mftFile.FindAttribute(kAttrBitmap) : nullptr;
    if (!bitmap || !MftData()) {
        LogWrite("CNtfsVolume::BuildIndex: the $MFT has no $BITMAP attribute\n");
        return false;
    }
    ClearIndex();

    // The walk covers the records the $MFT stream holds; bits past them (a
    // bitmap longer than the MFT) name no record.
    uint64_t limit = MftRecordCount();
    const uint64_t bitmapBits = bitmap->RealSize() > UINT64_MAX / 8 ? UINT64_MAX : bitmap->RealSize() * 8;
    limit = std::min<uint64_t>({limit, bitmapBits, uint64_t(UINT32_MAX)});

    // Counting pass.
    uint8_t piece[kBitmapPiece];
    uint64_t freeCount = 0;
    {
        std::lock_guard<std::mutex> g(m_recordLock);
        for (uint64_t pos = 0; pos * 8 < limit; pos += kBitmapPiece) {
            uint32_t got = 0;
            if (!bitmap->SetPosition(pos) || !bitmap->Read(piece, kBitmapPiece, got) || got == 0) break;
            for (uint32_t j = 0; j < got; ++j)
                for (uint32_t k = 0; k < 8; ++k) {
                    const uint64_t rec = (pos + j) * 8 + k;
                    if (rec < limit && !((piece[j] >> k) & 1)) ++freeCount;
                }
        }
    }
    LogWrite("Found %lu unused records in MFT (%c:).\n", static_cast<unsigned long>(freeCount),
             m_driveLetter ? static_cast<char>(m_driveLetter) : '?');
    if (progress) progress->Start(1, static_cast<uint32_t>(std::min<uint64_t>(freeCount, UINT32_MAX)));
    // At most one entry of facts per free record: reserved at once, so the
    // vector never doubles past what it holds.
    m_itemFacts.reserve(static_cast<size_t>(std::min<uint64_t>(freeCount, 1u << 24)));

    // Walking pass. Free records are read in batches of consecutive records;
    // for a recursive listing (KeepLiveItems) every record, its live items noted.
    const bool live = m_keepLiveItems;
    if (live) {
        m_liveItems.reserve(static_cast<size_t>(std::min<uint64_t>(limit - freeCount, 1u << 24)));
        m_liveFolders.reserve(1024);
    }
    CNtfsFileAttr* mft = MftData();
    const uint32_t recordSize = m_mftRecordSize;
    std::vector<uint8_t> batch(static_cast<size_t>(kBatchRecords) * recordSize);
    uint64_t batchFirst = UINT64_MAX;
    uint32_t batchCount = 0;
    CNtfsFile first;
    std::vector<uint8_t> scratch;
    bool cancelled = false;
    for (uint64_t pos = 0; pos * 8 < limit && !cancelled; pos += kBitmapPiece) {
        uint32_t got = 0;
        {
            std::lock_guard<std::mutex> g(m_recordLock);
            if (!bitmap->SetPosition(pos) || !bitmap->Read(piece, kBitmapPiece, got)) got = 0;
        }
        if (got == 0) break;
        for (uint32_t j = 0; j < got && !cancelled; ++j) {
            if (piece[j] == 0xFF && !live) continue;
            for (uint32_t k = 0; k < 8; ++k) {
                const uint64_t rec = (pos + j) * 8 + k;
                if (rec >= limit) break;
                const bool inUse = (piece[j] >> k) & 1;
                if (inUse && !live) continue;
                if (progress && progress->Stopped()) {
                    cancelled = true;
                    break;
                }
                const uint32_t r = static_cast<uint32_t>(rec);
                if (rec < batchFirst || rec >= batchFirst + batchCount) {
                    batchFirst = rec;
                    batchCount = static_cast<uint32_t>(std::min<uint64_t>(kBatchRecords, limit - rec));
                    std::lock_guard<std::mutex> g(m_recordLock);
                    // A read error ends the batch at the block that failed:
                    // the records before it are read, the next batch starts
                    // at the record after this one.
                    uint32_t read = 0;
                    if (mft->SetPosition(rec * recordSize)) mft->Read(batch.data(), batchCount * recordSize, read);
                    batchCount = read / recordSize;
                }
                const bool inBatch = rec >= batchFirst && rec < batchFirst + batchCount;
                if (!inBatch) NoteUnreadableRecord(r);
                // A live record that stands alone is noted from its bytes, with no parse.
                if (live && inUse && inBatch &&
                    NoteLiveRecord(r, batch.data() + (rec - batchFirst) * recordSize, scratch))
                    continue;
                bool parsed = false;
                bool whole = false;
                if (inBatch) {
                    // The names and the data streams: their size and runs give
                    // the facts the listing shows (NoteItemFacts). A record
                    // whose streams do not parse still has its name.
                    const uint8_t* bytes = batch.data() + (rec - batchFirst) * recordSize;
                    for (const AttrFilter filter : {AttrFilter::Facts, AttrFilter::Quick}) {
                        parsed = first.InitializeFromBuffer(this, bytes, r, filter);
                        whole = parsed && filter == AttrFilter::Facts;
                        if (parsed) break;
                    }
                }
                // A record in use whose names or streams cannot be taken may
                // still be listed by its folder's index: the kept items cannot stand for it.
                if (live && (parsed ? first.IsInUse() && !whole : inUse && r > kLastSystemRecord))
                    m_liveItemsPartial = true;
                else if (parsed && live && first.IsInUse())
                    NoteLiveItems(r, first);
                if (inUse) continue;
                if (!parsed) {
                    // Unreadable or not a record: no item, and its chain ends at once.
                } else if (!first.IsInUse()) {
                    ChainWalk(r, first, true);
                    if (whole) NoteItemFacts(r, first);
                }
                if (progress) progress->Step();
            }
        }
    }
    if (!cancelled) FindSlackNames(progress);
    cancelled = cancelled || (progress && progress->Stopped());
    FinishTree();
    FinishLiveItems(!cancelled);
    if (cancelled) {
        LogWrite("CNtfsVolume::BuildIndex: cancelled\n");
        return false;
    }
    ReloadRecycleBin();
    return true;
}

// ---------------------------------------------------------------------------
// Enumerators

CNtfsVolume::CEnumDeletedFiles::CEnumDeletedFiles(CNtfsVolume& volume, uint32_t folder)
    : m_volume(volume), m_folder(folder) {
    Reset();
}

bool CNtfsVolume::CEnumDeletedFiles::Reset() {
    m_pos = m_volume.ChildRange(m_folder).first;
    m_orphan = m_volume.UnderLostFolder(m_folder);
    return true;
}

bool CNtfsVolume::CEnumDeletedFiles::Next(FileItemInfo& info, bool namesOnly) {
    const auto& children = m_volume.m_children;
    if (m_pos >= children.size() || children[m_pos].first != m_folder) return false;
    const uint32_t child = children[m_pos].second;
    // A deleted name and a free record, or a name from index slack.
    auto states = [&](FileItemInfo& i) {
        const bool slack = m_volume.FindSlackName(child) != nullptr;
        i.nameState = slack ? NameState::IndexSlack : NameState::Deleted;
        i.recordState = slack ? RecordState::None : RecordState::Free;
        i.orphan = m_orphan;
    };
    if (namesOnly) {
        info = FileItemInfo{};
        info.id = child;
        if (const NtfsIndexEntry* e = m_volume.FindEntry(child)) {
            info.name = m_volume.EntryName(*e);
            info.attributes = e->attributes;
        }
        states(info);
        ++m_pos;
        return true;
    }
    if (const SlackName* s = m_volume.FindSlackName(child)) {
        info = m_volume.SlackNameInfo(child, *s);
        ++m_pos;
        return true;
    }
    if (const ItemFacts* f = child < kLinkIdBase ? m_volume.FindItemFacts(child) : nullptr) {
        info = FileItemInfo{};
        if (const NtfsIndexEntry* e = m_volume.FindEntry(child)) info.name = m_volume.EntryName(*e);
        info.attributes = f->attributes;
        info.size = f->size;
        info.creationTime = f->creationTime;
        info.modificationTime = f->modificationTime;
        info.dataStatus = f->dataStatus;
        info.id = child;
        states(info);
        ++m_pos;
        return true;
    }
    int ordinal = -1;
    CNtfsFile file;
    if (!file.OpenRecord(&m_volume, m_volume.ItemRecord(child, &ordinal), false)) return false;
    uint32_t parent = 0;
    info = FileItemInfo{};
    if (!file.GetInfo(info, parent, ordinal)) return false;
    info.dataStatus = 0;
    info.id = child;
    if (!(info.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        info.dataStatus = DataStatusOf(file);
        info.size = file.DataSize();
    }
    states(info);
    ++m_pos;
    return true;
}

CNtfsVolume::CEnumOrphanedFiles::CEnumOrphanedFiles(CNtfsVolume& volume)
    : m_volume(volume), m_pos(volume.m_lostFolders.begin()) {}

bool CNtfsVolume::CEnumOrphanedFiles::Reset() {
    m_pos = m_volume.m_lostFolders.begin();
    return true;
}

bool CNtfsVolume::CEnumOrphanedFiles::Next(FileItemInfo& info, bool namesOnly) {
    if (m_pos == m_volume.m_lostFolders.end()) return false;
    if (namesOnly) {
        info.name.clear();
        info.attributes = FILE_ATTRIBUTE_DIRECTORY;
        info.id = *m_pos;
    } else {
        info = FileItemInfo{};
        info.attributes = FILE_ATTRIBUTE_DIRECTORY;
        info.id = *m_pos;
    }
    info.nameState = NameState::None;
    info.recordState = m_volume.LostFolderRecord(*m_pos);
    info.orphan = true;
    ++m_pos;
    return true;
}

int32_t CNtfsVolume::DataStatusOf(CNtfsFile& file) {
    CNtfsFileAttr* data = file.FindAttribute(kAttrData);
    return data ? static_cast<int32_t>(data->InUsePercentage()) : 0;
}

bool CNtfsVolume::EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    if (folderId == kLostFoldersId)
        enumerator = std::make_unique<CEnumOrphanedFiles>(*this);
    else if (folderId == kRecycleBinId)
        EnumRecycleBinDeleted(enumerator);
    else
        enumerator = std::make_unique<CEnumDeletedFiles>(*this, static_cast<uint32_t>(folderId));
    return true;
}

bool CNtfsVolume::EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    const uint32_t f = ResolvePath(path);
    if (f == 0) return false;
    enumerator = std::make_unique<CEnumDeletedFiles>(*this, f);
    return true;
}

// ---------------------------------------------------------------------------
// Files and entries

bool CNtfsVolume::OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& out) {
    out.reset();
    if (FindSlackName(id)) return false;  // a name without a record
    auto file = std::make_unique<CNtfsFile>();
    if (!file->OpenRecord(this, ItemRecord(id), false)) return false;
    FileItemInfo info;
    uint32_t parent = 0;
    if (file->GetInfo(info, parent) && (info.attributes & FILE_ATTRIBUTE_ENCRYPTED)) return false;
    out = std::move(file);
    return true;
}

bool CNtfsVolume::OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    const uint32_t r = ResolvePath(path);
    if (r == 0) return false;
    return OpenFile(r, file);
}

bool CNtfsVolume::GetFileInfo(uint32_t id, bool withDataStatus, FileItemInfo& info) {
    if (const SlackName* s = FindSlackName(id)) {
        info = SlackNameInfo(id, *s);
        return true;
    }
    int ordinal = -1;
    const uint32_t record = ItemRecord(id, &ordinal);
    CNtfsFile file;
    if (!file.OpenRecord(this, record, true)) return false;
    uint32_t parent = 0;
    info = FileItemInfo{};
    if (!file.GetInfo(info, parent, ordinal)) return false;
    info.dataStatus = 0;
    info.id = id;
    if (const NtfsIndexEntry* e = FindEntry(id)) {
        info.nameState = NameState::Deleted;
        info.recordState = RecordState::Free;
        info.orphan = UnderLostFolder(e->parent);
    } else {
        // No item of the index: what its record says.
        info.nameState = file.IsInUse() ? NameState::Live : NameState::Deleted;
        info.recordState = file.IsInUse() ? RecordState::InUse : RecordState::Free;
    }
    if (withDataStatus && !(info.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CNtfsFile full;
        // The full record is read anyway: its $DATA size is the item's real
        // size ($FILE_NAME sizes are often stale, and 0 from libntfs-3g).
        if (full.OpenRecord(this, record, false)) {
            info.dataStatus = DataStatusOf(full);
            info.size = full.DataSize();
        }
    }
    return true;
}

bool CNtfsVolume::GetIndexEntry(uint32_t id, std::u16string& name, uint32_t& attributes) {
    const NtfsIndexEntry* e = FindEntry(id);
    if (!e) return false;
    name = EntryName(*e);
    attributes = e->attributes;
    return true;
}

bool CNtfsVolume::IsLostFolder(uint32_t id) { return m_lostFolders.count(id) != 0; }
bool CNtfsVolume::HasLostFolders() { return !m_lostFolders.empty(); }

bool CNtfsVolume::HasDeletedFilesByPath(const std::u16string& path) {
    const uint32_t f = ResolvePath(path);
    if (f == 0) return false;
    if (f == kRootRecord) return !m_fileIndex.empty() || !m_lostFolders.empty();
    return m_existingFolders.count(f) != 0;
}

bool CNtfsVolume::GetParentFolder(uint32_t id, int32_t& parentId) {
    if (FindSlackName(id)) {
        parentId = 0;  // always a live folder's
        return true;
    }
    int ordinal = -1;
    CNtfsFile file;
    if (!file.OpenRecord(this, ItemRecord(id, &ordinal), true)) return false;
    FileItemInfo info;
    uint32_t p = 0;
    if (!file.GetInfo(info, p, ordinal)) return false;
    parentId = (m_fileIndex.count(p) || m_lostFolders.count(p)) ? static_cast<int32_t>(p) : 0;
    return true;
}

// ---------------------------------------------------------------------------
// Counts

void CNtfsVolume::CountUnder(uint32_t folder, uint32_t& folders, uint32_t& files, std::set<uint32_t>& seen) {
    if (!seen.insert(folder).second) return;  // a loop of deleted folders
    auto [lo, hi] = ChildRange(folder);
    for (size_t i = lo; i < hi; ++i) {
        const uint32_t child = m_children[i].second;
        const NtfsIndexEntry* e = FindEntry(child);
        if (e && (e->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ++folders;
            CountUnder(child, folders, files, seen);
        } else {
            ++files;
        }
    }
}

bool CNtfsVolume::CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files) {
    if (CVolume::CountDeletedFiles(folderId, folders, files)) return true;
    folders = files = 0;
    std::set<uint32_t> seen;
    if (folderId == kLostFoldersId) {
        for (uint32_t l : m_lostFolders) CountUnder(l, folders, files, seen);
        folders += static_cast<uint32_t>(m_lostFolders.size());
        return true;
    }
    CountUnder(static_cast<uint32_t>(folderId), folders, files, seen);
    return true;
}

void CNtfsVolume::CountByRecord(uint32_t f, uint32_t& folders, uint32_t& files, std::set<uint32_t>& seen) {
    CountUnder(f, folders, files, seen);
    for (const auto& [folder, parent] : m_existingFolders)
        if (parent == f && folder != f && !seen.count(folder)) CountByRecord(folder, folders, files, seen);
}

bool CNtfsVolume::CountDeletedFilesByPath(const std::u16string& path, uint32_t& folders, uint32_t& files) {
    folders = files = 0;
    const uint32_t f = ResolvePath(path);
    if (f == 0) return false;
    if (f == kRootRecord) {
        for (const auto& [r, e] : m_fileIndex) ++((e.attributes & FILE_ATTRIBUTE_DIRECTORY) ? folders : files);
        folders += static_cast<uint32_t>(m_lostFolders.size());
        return true;
    }
    std::set<uint32_t> seen;
    CountByRecord(f, folders, files, seen);
    return true;
}
