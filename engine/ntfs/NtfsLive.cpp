// The live (existing) entries of an NTFS folder, read from the folder's own
// $I30 index: the entries of $INDEX_ROOT and of every INDX block of
// $INDEX_ALLOCATION that the index's $BITMAP marks in use. One entry per
// file record: a Win32 (or POSIX) name is preferred to the DOS 8.3 name.
// The system metafiles (records below 16) and the folder's own "." entry are
// left out. Used by the browse views and by the recycle bin.
//
// A build made for a recursive listing (KeepLiveItems) keeps instead what
// each live record's own $FILE_NAMEs say, one item per name under the folder
// it names, with what the folder's index entry holds of it: the attributes
// and the times of $STANDARD_INFORMATION and the size of the unnamed $DATA
// (the values the file system copies into the parent's index entry; the
// $FILE_NAME in the record keeps those of the file's creation). Such a
// listing reads no INDX block.
//
// Every item listed so has a live name and a record in use: a folder's index
// entry names a record in use (a record read is checked to be).
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "NtfsIndexNode.h"
#include "NtfsVolume.h"
#include "app/Log.h"
#include "platform/CaseFold.h"
#include "platform/LeBytes.h"

namespace {

// $INDEX_ROOT value.
constexpr size_t kRootBlockSize = 0x08;  // u32
constexpr uint32_t kFirstUserRecord = 16;
// $FILE_NAME flag of a folder: the record holds an $I30 index.
constexpr uint32_t kIndexPresent = 0x10000000;
// Blocks read from one folder at most (a 64 MiB index of 4 KiB blocks).
constexpr uint64_t kMaxIndexBlocks = 16384;

using Found = NtfsLiveEntry;

void MarkLive(FileItemInfo& info) {
    info.nameState = NameState::Live;
    info.recordState = RecordState::InUse;
}

// FNV-1a over the bytes of one value.
template <class T>
void Mix(uint64_t& h, const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    for (size_t i = 0; i < sizeof v; ++i) h = (h ^ p[i]) * 1099511628211ull;
}

}  // namespace

uint64_t NtfsLiveEntriesHash(const std::map<uint32_t, NtfsLiveEntry>& entries) {
    uint64_t h = 14695981039346656037ull;
    for (const auto& [record, e] : entries) {
        Mix(h, record);
        Mix(h, e.info.attributes);
        Mix(h, e.info.size);
        Mix(h, e.info.creationTime);
        Mix(h, e.info.modificationTime);
        Mix(h, e.info.name.size());
        for (char16_t c : e.info.name) Mix(h, c);
    }
    return h;
}

bool AddLiveIndexEntries(const LeBytes& b, size_t header, uint32_t folder, std::map<uint32_t, NtfsLiveEntry>& out) {
    using Entry = NtfsIndexNodeEntry;
    CNtfsIndexNodeReader node(b, header);
    Entry e;
    while (node.Next(e)) {
        if (e.IsLast()) break;
        if (!e.hasName || e.nameLength == 0 || e.record < kFirstUserRecord || e.record == folder) continue;
        const uint8_t ns = b.u8(e.key + Entry::kKeyNamespace);
        auto it = out.find(e.record);
        const bool better =
            it == out.end() || (it->second.nameSpace == CAttr_$FILE_NAME::kDos && ns != CAttr_$FILE_NAME::kDos);
        if (!better) continue;
        Found f;
        f.nameSpace = ns;
        f.info.name = node.Name(e);
        uint32_t attributes = b.u32(e.key + Entry::kKeyFlags);
        if (attributes & kIndexPresent) attributes = (attributes & ~kIndexPresent) | FILE_ATTRIBUTE_DIRECTORY;
        f.info.attributes = attributes;
        f.info.size = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : b.u64(e.key + Entry::kKeyRealSize);
        f.info.creationTime = b.u64(e.key + Entry::kKeyCreation);
        f.info.modificationTime = b.u64(e.key + Entry::kKeyModification);
        f.info.id = e.record;
        MarkLive(f.info);
        if (b.ok()) out[e.record] = std::move(f);
    }
    return node.HeaderOk();
}

bool CNtfsVolume::VisitIndexNodes(CNtfsFile& dir, bool freeBlocks,
                                  const std::function<bool(const LeBytes&, size_t, bool)>& visit,
                                  uint64_t* brokenBlocks) {
    CNtfsFileAttr* root = dir.FindAttribute(kAttrIndexRoot, u"$I30");
    if (!root) return false;
    std::vector<uint8_t> rootValue;
    if (!root->ReadAll(rootValue, 65536)) return false;
    LeBytes r(rootValue.data(), rootValue.size());
    const uint32_t blockSize = r.u32(kRootBlockSize);
    if (!r.ok() || !visit(r, kIndexRootHeader, true)) return true;

    CNtfsFileAttr* alloc = dir.FindAttribute(kAttrIndexAllocation, u"$I30");
    const bool sizeOk = blockSize >= 512 && blockSize <= 65536 && (blockSize & (blockSize - 1)) == 0;
    if (!alloc || !sizeOk) return true;
    std::vector<uint8_t> bitmap;
    if (CNtfsFileAttr* bm = dir.FindAttribute(kAttrBitmap, u"$I30")) bm->ReadAll(bitmap, 1 << 20);
    const uint64_t blocks = std::min<uint64_t>(alloc->RealSize() / blockSize, kMaxIndexBlocks);
    std::vector<uint8_t> block(blockSize);
    for (uint64_t i = 0; i < blocks; ++i) {
        const bool inUse = i / 8 < bitmap.size() && ((bitmap[i / 8] >> (i % 8)) & 1);
        if (!inUse && !freeBlocks) continue;
        uint32_t got = 0;
        if (!alloc->SetPosition(i * blockSize) || !alloc->Read(block.data(), blockSize, got) || got != blockSize ||
            std::memcmp(block.data(), "INDX", 4) != 0 || !CheckIndexBlock(block.data(), blockSize)) {
            if (inUse && brokenBlocks) ++*brokenBlocks;
            continue;
        }
        LeBytes x(block.data(), block.size());
        if (!visit(x, kIndexBlockHeader, inUse)) break;
    }
    return true;
}

bool CNtfsVolume::LiveRecordInfo(uint32_t record, FileItemInfo& info) {
    CNtfsFile file;
    uint32_t parent = 0;
    info = FileItemInfo{};
    if (!file.OpenRecord(this, record, true) || !file.IsInUse() || !file.GetInfo(info, parent) || info.name.empty())
        return false;
    info.id = record;
    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) info.size = 0;
    MarkLive(info);
    return true;
}

void CNtfsVolume::NoteLiveItems(uint32_t r, const CNtfsFile& file) {
    if (!file.IsParsed() || !file.IsInUse() || file.IsExtension()) return;
    uint32_t standard = 0;
    uint64_t creation = 0, modification = 0;
    bool folderRecord = false;
    const CAttr_$STANDARD_INFORMATION* si = nullptr;
    for (size_t i = 0; i < file.AttributeCount(); ++i) {
        const CNtfsFileAttr* a = file.AttributeAt(i);
        if (!si && a->Type() == kAttrStandardInformation) si = static_cast<const CAttr_$STANDARD_INFORMATION*>(a);
        if (a->Type() == kAttrFileName && (static_cast<const CAttr_$FILE_NAME*>(a)->Flags() & (kIndexPresent | FILE_ATTRIBUTE_DIRECTORY)))
            folderRecord = true;
    }
    if (si) {
        standard = si->FileAttributes();
        creation = si->CreationTime();
        modification = si->ModificationTime();
    }
    if (folderRecord) m_liveFolders.push_back(r);
    if (r < kFirstUserRecord) return;
    uint32_t attributes = standard & ~kIndexPresent;
    if (folderRecord) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    const uint64_t size = folderRecord ? 0 : file.DataSize();
    for (size_t i = 0; i < file.AttributeCount(); ++i) {
        const CNtfsFileAttr* a = file.AttributeAt(i);
        if (a->Type() != kAttrFileName) continue;
        const auto* fn = static_cast<const CAttr_$FILE_NAME*>(a);
        const std::u16string& name = fn->FileName();
        if (name.empty() || fn->ParentRecord() == r || name.size() > 0xFF) continue;
        LiveItem item;
        item.parent = fn->ParentRecord();
        item.record = r;
        item.attributes = attributes;
        item.size = size;
        item.creationTime = creation;
        item.modificationTime = modification;
        AddLiveItem(item, fn->Namespace(), name);
    }
}

void CNtfsVolume::AddLiveItem(LiveItem item, uint8_t nameSpace, std::u16string_view name) {
    // One item per record and folder, as the folder's index shows it: a long
    // name before the DOS 8.3 one, of two long names the first in index
    // order. The record's items so far are the last ones.
    auto keep = m_liveItems.end();
    for (auto it = m_liveItems.rbegin(); it != m_liveItems.rend() && it->record == item.record; ++it) {
        if (it->parent != item.parent) continue;
        const bool dosBefore = (m_liveNames[it->nameOffset] >> 8) == CAttr_$FILE_NAME::kDos;
        const bool dosNow = nameSpace == CAttr_$FILE_NAME::kDos;
        if (dosNow && !dosBefore) return;
        if (dosNow == dosBefore && CompareNames(name, LiveName(*it)) >= 0) return;
        keep = std::prev(it.base());
        break;
    }
    item.nameOffset = static_cast<uint32_t>(m_liveNames.size());
    m_liveNames.push_back(static_cast<char16_t>(name.size() | nameSpace << 8));
    m_liveNames.insert(m_liveNames.end(), name.begin(), name.end());
    if (keep != m_liveItems.end())
        *keep = item;
    else
        m_liveItems.push_back(item);
}

namespace {

// Attribute header and value offsets a live item's facts are read from.
constexpr uint32_t kAttrNonResident = 0x08;  // u8
constexpr uint32_t kAttrNameLength = 0x09;   // u8
constexpr uint32_t kAttrNameOffset = 0x0A;   // u16
constexpr uint32_t kAttrValueLength = 0x10;  // u32 (resident)
constexpr uint32_t kAttrValueOffset = 0x14;  // u16 (resident)
constexpr uint32_t kAttrRealSize = 0x30;     // u64 (non-resident)
constexpr uint32_t kAttrMinLength = 0x18;
constexpr uint32_t kAttrNonResidentHeader = 0x40;
constexpr uint32_t kNameValueHeader = 0x42;  // $FILE_NAME value up to its name

// Where the value of the resident attribute at a (length bytes) lies, when
// its header holds (as CNtfsFileAttr::Initialize checks it).
bool ResidentValue(const uint8_t* a, uint32_t length, uint32_t& offset, uint32_t& size) {
    if (a[kAttrNonResident]) return false;
    size = LeBytes::u32_unsafe(a + kAttrValueLength);
    offset = LeBytes::u16_unsafe(a + kAttrValueOffset);
    return uint64_t(offset) + size <= length;
}

}  // namespace

bool CNtfsVolume::NoteLiveRecord(uint32_t r, const uint8_t* bytes, std::vector<uint8_t>& scratch) {
    // The record as ParseFileRecord with AttrFilter::Facts would take it,
    // with no attribute object made: any record that is not plain (not in
    // use, an extension, damaged, with an attribute list, with too many
    // names) is left to the parse.
    const uint32_t size = m_mftRecordSize;
    if (r < kFirstUserRecord || size < 0x30 || std::memcmp(bytes, "FILE", 4) != 0) return false;
    if (!(LeBytes::u16_unsafe(bytes + ntfsrec::kFlags) & 1) || LeBytes::u64_unsafe(bytes + ntfsrec::kBaseRecord) != 0)
        return false;
    scratch.resize(size);
    uint8_t* rec = scratch.data();
    std::memcpy(rec, bytes, size);
    if (ApplyUpdateSequence(rec, size, SectorSize()) != UsaResult::Ok) return false;
    const uint32_t first = LeBytes::u16_unsafe(rec + ntfsrec::kFirstAttr);
    if (first < 0x30 || first >= size) return false;

    constexpr size_t kMaxNames = 16;
    uint32_t names[kMaxNames];  // the values of the $FILE_NAMEs, in record order
    size_t nameCount = 0;
    const uint8_t* si = nullptr;
    bool folderRecord = false;
    bool haveData = false;
    uint64_t dataSize = 0;
    bool ended = false;
    for (uint32_t pos = first; pos < size;) {
        if (size - pos < 8) return false;
        const uint8_t* a = rec + pos;
        const uint32_t type = LeBytes::u32_unsafe(a);
        if (type == kAttrEnd) {
            ended = true;
            break;
        }
        const uint32_t length = LeBytes::u32_unsafe(a + 4);
        if (length < kAttrMinLength || length > size - pos) return false;
        pos += length;
        if (type == kAttrAttributeList) return false;
        if (type != kAttrStandardInformation && type != kAttrFileName && type != kAttrData) continue;
        const uint32_t attrNameLength = a[kAttrNameLength];
        if (attrNameLength > 0 &&
            uint64_t(length) < uint64_t(LeBytes::u16_unsafe(a + kAttrNameOffset)) + 2u * attrNameLength)
            continue;  // an attribute that does not initialise is passed over
        uint32_t valueOffset = 0, valueSize = 0;
        if (type == kAttrData) {
            if (haveData) continue;
            if (a[kAttrNonResident]) {
                if (length < kAttrNonResidentHeader) continue;
                dataSize = LeBytes::u64_unsafe(a + kAttrRealSize);
            } else {
                if (!ResidentValue(a, length, valueOffset, valueSize)) continue;
                dataSize = valueSize;
            }
            haveData = true;
        } else if (type == kAttrStandardInformation) {
            if (!si && ResidentValue(a, length, valueOffset, valueSize) && valueSize >= 0x24) si = a + valueOffset;
        } else {
            if (!ResidentValue(a, length, valueOffset, valueSize) || valueSize < kNameValueHeader ||
                2u * a[valueOffset + 0x40] > valueSize - kNameValueHeader)
                continue;
            if (nameCount == kMaxNames) return false;
            const uint8_t* v = a + valueOffset;
            if (LeBytes::u32_unsafe(v + 0x38) & (kIndexPresent | FILE_ATTRIBUTE_DIRECTORY)) folderRecord = true;
            names[nameCount++] = pos - length + valueOffset;
        }
    }
    if (!ended) return false;

    uint32_t attributes = 0;
    uint64_t creation = 0, modification = 0;
    if (si) {
        creation = LeBytes::u64_unsafe(si + 0x00);
        modification = LeBytes::u64_unsafe(si + 0x08);
        // As $STANDARD_INFORMATION's folder bit is read (FoldDirectoryBit).
        const uint32_t standard = LeBytes::u32_unsafe(si + 0x20);
        attributes = standard & ~kIndexPresent;
        if (standard & kIndexPresent) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    }
    if (folderRecord) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
        m_liveFolders.push_back(r);
    }
    const uint64_t itemSize = folderRecord ? 0 : dataSize;
    for (size_t i = 0; i < nameCount; ++i) {
        const uint8_t* v = rec + names[i];
        const uint32_t parent = LeBytes::u32_unsafe(v);
        const uint32_t length = v[0x40];
        if (length == 0 || parent == r) continue;
        LiveItem item;
        item.parent = parent;
        item.record = r;
        item.attributes = attributes;
        item.size = itemSize;
        item.creationTime = creation;
        item.modificationTime = modification;
        char16_t name[255];
        for (uint32_t c = 0; c < length; ++c) name[c] = static_cast<char16_t>(LeBytes::u16_unsafe(v + kNameValueHeader + 2 * c));
        AddLiveItem(item, v[0x41], std::u16string_view(name, length));
    }
    return true;
}

void CNtfsVolume::FinishLiveItems(bool complete) {
    m_liveItemsReady = complete && m_keepLiveItems && !m_liveItemsPartial;
    if (complete && m_keepLiveItems && m_liveItemsPartial)
        LogWriteLevel(1, "A record in use could not be read whole: folders are listed from their indexes\n");
    m_liveItemsPartial = false;
    if (!m_liveItemsReady) {
        m_liveItems = {};
        m_liveNames = {};
        m_liveFolders = {};
        m_liveChecks = {};
        return;
    }
    // By folder, each folder's items in record order (one per record): in place.
    std::sort(m_liveItems.begin(), m_liveItems.end(), [](const LiveItem& a, const LiveItem& b) {
        return a.parent != b.parent ? a.parent < b.parent : a.record < b.record;
    });
    std::sort(m_liveFolders.begin(), m_liveFolders.end());
    // The kept items stand for the indexes only where the two agree: every
    // folder whose index the slack walk read whole lists the same, and every
    // live name names a live folder. Else (a damaged index block, a record
    // whose parent reference disagrees with the index) each folder is listed
    // from its own index, as without kept items.
    const char* why = nullptr;
    uint32_t where = 0;
    for (const LiveCheck& c : m_liveChecks) {
        std::map<uint32_t, Found> kept;
        if (std::binary_search(m_liveFolders.begin(), m_liveFolders.end(), c.folder)) KeptEntries(c.folder, kept);
        if (c.broken || NtfsLiveEntriesHash(kept) != c.hash) {
            why = c.broken ? "has an unreadable index block" : "index lists other items than the records name";
            where = c.folder;
            break;
        }
    }
    for (size_t i = 0; !why && i < m_liveItems.size(); ++i)
        if (!std::binary_search(m_liveFolders.begin(), m_liveFolders.end(), m_liveItems[i].parent)) {
            why = "is named as a parent but is no live folder";
            where = m_liveItems[i].parent;
        }
    m_liveChecks = {};
    if (!why) return;
    LogWriteLevel(1, "Folder %lu %s: folders are listed from their indexes\n", static_cast<unsigned long>(where), why);
    FinishLiveItems(false);
}

void CNtfsVolume::NoteIndexCheck(uint32_t folder, const std::map<uint32_t, NtfsLiveEntry>& entries, bool broken) {
    if (m_keepLiveItems) m_liveChecks.push_back({folder, NtfsLiveEntriesHash(entries), broken});
}

void CNtfsVolume::KeptEntries(uint32_t folder, std::map<uint32_t, NtfsLiveEntry>& found) {
    auto lo = std::lower_bound(m_liveItems.begin(), m_liveItems.end(), folder,
                               [](const LiveItem& a, uint32_t f) { return a.parent < f; });
    for (; lo != m_liveItems.end() && lo->parent == folder; ++lo) {
        Found& f = found[lo->record];
        f.nameSpace = static_cast<uint8_t>(m_liveNames[lo->nameOffset] >> 8);
        f.info.name.assign(LiveName(*lo));
        f.info.attributes = lo->attributes;
        f.info.size = lo->size;
        f.info.creationTime = lo->creationTime;
        f.info.modificationTime = lo->modificationTime;
        f.info.id = lo->record;
        MarkLive(f.info);
    }
}

bool CNtfsVolume::ListKeptFolder(uint32_t folder, std::vector<FileItemInfo>& items) {
    const bool readable = std::binary_search(m_liveFolders.begin(), m_liveFolders.end(), folder);
    const std::vector<uint32_t> known = ExistingSubfolders(folder);
    if (!readable && known.empty()) return false;
    // What KeptEntries and AddKnownSubfolders would gather, in the same
    // (record) order, with no map: a folder's kept items are in record order,
    // one per record (AddLiveItem); the subfolders are sorted.
    auto lo = m_liveItems.end(), hi = m_liveItems.end();
    if (readable) {
        lo = std::lower_bound(m_liveItems.begin(), m_liveItems.end(), folder,
                              [](const LiveItem& a, uint32_t f) { return a.parent < f; });
        hi = std::upper_bound(lo, m_liveItems.end(), folder,
                              [](uint32_t f, const LiveItem& a) { return f < a.parent; });
    }
    struct Row {
        std::u16string_view name;
        const LiveItem* kept = nullptr;  // else the subfolder's own record
        size_t info = 0;                 // in infos
        size_t upper = 0;                // the name upper-cased, in upper
    };
    std::vector<Row> rows;
    rows.reserve(static_cast<size_t>(hi - lo) + known.size());
    std::vector<FileItemInfo> infos;
    infos.reserve(known.size());
    auto addKnown = [&](uint32_t sub) {
        FileItemInfo info;
        if (!LiveRecordInfo(sub, info)) return;
        infos.push_back(std::move(info));
        rows.push_back({{}, nullptr, infos.size() - 1});
    };
    size_t k = 0;
    for (auto it = lo; it != hi; ++it) {
        for (; k < known.size() && known[k] < it->record; ++k) addKnown(known[k]);
        if (k < known.size() && known[k] == it->record) ++k;
        rows.push_back({LiveName(*it), &*it, 0});
    }
    for (; k < known.size(); ++k) addKnown(known[k]);
    // Sorted as SortedListing sorts the same sequence: CompareNames orders
    // two names as their upper-cased forms compare (code unit by code unit,
    // then by length), so each name is upper-cased once and the sort
    // compares those.
    const char16_t* table = m_standardUpCase ? nullptr : UpCaseTable();
    std::vector<char16_t> upper;
    for (Row& row : rows) {
        if (!row.kept) row.name = infos[row.info].name;
        row.upper = upper.size();
        for (char16_t c : row.name)
            upper.push_back(m_standardUpCase ? NtfsStandardUpperCase(c) : table ? table[c] : UpperCase(c));
    }
    std::sort(rows.begin(), rows.end(), [&upper](const Row& a, const Row& b) {
        return std::u16string_view(upper.data() + a.upper, a.name.size()) <
               std::u16string_view(upper.data() + b.upper, b.name.size());
    });
    items.reserve(rows.size());
    for (const Row& row : rows) {
        if (!row.kept) {
            items.push_back(std::move(infos[row.info]));
            continue;
        }
        FileItemInfo& info = items.emplace_back();
        info.name.assign(row.name);
        info.attributes = row.kept->attributes;
        info.size = row.kept->size;
        info.creationTime = row.kept->creationTime;
        info.modificationTime = row.kept->modificationTime;
        info.id = row.kept->record;
        MarkLive(info);
    }
    return true;
}

void CNtfsVolume::AddKnownSubfolders(uint32_t folder, const std::vector<uint32_t>& known, bool unlisted,
                                     std::map<uint32_t, NtfsLiveEntry>& found) {
    for (uint32_t sub : known) {
        if (found.count(sub)) continue;
        Found f;
        if (!LiveRecordInfo(sub, f.info)) continue;
        if (unlisted)
            LogWriteLevel(1, "Folder %lu: its index does not list its subfolder %lu\n",
                          static_cast<unsigned long>(folder), static_cast<unsigned long>(sub));
        found.emplace(sub, std::move(f));
    }
}

void CNtfsVolume::SortedListing(std::map<uint32_t, NtfsLiveEntry>& found, std::vector<FileItemInfo>& items) {
    items.reserve(found.size());
    for (auto& [rec, f] : found) items.push_back(std::move(f.info));
    std::sort(items.begin(), items.end(),
              [this](const FileItemInfo& a, const FileItemInfo& b) { return CompareNames(a.name, b.name) < 0; });
}

bool CNtfsVolume::ListFolderRecord(uint32_t folder, std::vector<FileItemInfo>& items) {
    items.clear();
    if (m_liveItemsReady) return ListKeptFolder(folder, items);
    CNtfsFile dir;
    if (!dir.OpenRecord(this, folder, false) || !dir.IsInUse()) return false;
    std::map<uint32_t, Found> found;
    bool rootOk = false;
    const bool indexed = VisitIndexNodes(dir, false, [&](const LeBytes& node, size_t header, bool) {
        const bool ok = AddLiveIndexEntries(node, header, folder, found);
        // The root must hold its index header; a broken block is passed over.
        if (header == kIndexRootHeader) rootOk = ok;
        return rootOk;
    });
    const bool readable = indexed && rootOk;
    // The live subfolders that name this folder as their parent are its
    // children even where its index no longer lists them (a damaged index
    // block): the deleted items below them stay reachable by path.
    const std::vector<uint32_t> known = ExistingSubfolders(folder);
    if (!readable && known.empty()) return false;
    AddKnownSubfolders(folder, known, true, found);
    SortedListing(found, items);
    return true;
}

bool CNtfsVolume::ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) {
    items.clear();
    const uint32_t folder = ResolvePath(path);
    if (folder == 0) return false;
    return ListFolderRecord(folder, items);
}

std::u16string CNtfsVolume::GetRecycleBinPath() { return FindRecycleBinFolder(); }
