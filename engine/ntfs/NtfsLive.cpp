// The live (existing) entries of an NTFS folder, read from the folder's own
// $I30 index: the entries of $INDEX_ROOT and of every INDX block of
// $INDEX_ALLOCATION that the index's $BITMAP marks in use. One entry per
// file record: a Win32 (or POSIX) name is preferred to the DOS 8.3 name.
// The system metafiles (records below 16) and the folder's own "." entry are
// left out. Used by the browse views and by the recycle bin.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "NtfsIndexNode.h"
#include "NtfsVolume.h"
#include "app/Log.h"
#include "platform/LeBytes.h"

namespace {

// $INDEX_ROOT value.
constexpr size_t kRootBlockSize = 0x08;  // u32
constexpr uint32_t kFirstUserRecord = 16;
// Blocks read from one folder at most (a 64 MiB index of 4 KiB blocks).
constexpr uint64_t kMaxIndexBlocks = 16384;

struct Found {
    FileItemInfo info;
    uint8_t nameSpace = 0;
};

// Adds the named entries of one index node; false when the node cannot hold its index header.
bool WalkNode(const LeBytes& b, size_t header, uint32_t folder, std::map<uint32_t, Found>& out) {
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
        if (attributes & 0x10000000) attributes = (attributes & ~0x10000000u) | FILE_ATTRIBUTE_DIRECTORY;
        f.info.attributes = attributes;
        f.info.size = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : b.u64(e.key + Entry::kKeyRealSize);
        f.info.creationTime = b.u64(e.key + Entry::kKeyCreation);
        f.info.modificationTime = b.u64(e.key + Entry::kKeyModification);
        f.info.id = e.record;
        if (b.ok()) out[e.record] = std::move(f);
    }
    return node.HeaderOk();
}

}  // namespace

bool CNtfsVolume::VisitIndexNodes(CNtfsFile& dir, bool freeBlocks,
                                  const std::function<bool(const LeBytes&, size_t, bool)>& visit) {
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
        if (!alloc->SetPosition(i * blockSize) || !alloc->Read(block.data(), blockSize, got) || got != blockSize)
            continue;
        if (std::memcmp(block.data(), "INDX", 4) != 0 || !CheckIndexBlock(block.data(), blockSize)) continue;
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
    return true;
}

bool CNtfsVolume::ListFolderRecord(uint32_t folder, std::vector<FileItemInfo>& items) {
    items.clear();
    CNtfsFile dir;
    if (!dir.OpenRecord(this, folder, false) || !dir.IsInUse()) return false;
    std::map<uint32_t, Found> found;
    bool rootOk = false;
    const bool indexed = VisitIndexNodes(dir, false, [&](const LeBytes& node, size_t header, bool) {
        const bool ok = WalkNode(node, header, folder, found);
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
    for (uint32_t sub : known) {
        if (found.count(sub)) continue;
        Found f;
        if (!LiveRecordInfo(sub, f.info)) continue;
        LogWriteLevel(1, "Folder %lu: its index does not list its subfolder %lu\n", static_cast<unsigned long>(folder),
                      static_cast<unsigned long>(sub));
        found.emplace(sub, std::move(f));
    }
    items.reserve(found.size());
    for (auto& [rec, f] : found) items.push_back(std::move(f.info));
    std::sort(items.begin(), items.end(),
              [this](const FileItemInfo& a, const FileItemInfo& b) { return CompareNames(a.name, b.name) < 0; });
    return true;
}

bool CNtfsVolume::ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) {
    items.clear();
    const uint32_t folder = ResolvePath(path);
    if (folder == 0) return false;
    return ListFolderRecord(folder, items);
}

std::u16string CNtfsVolume::GetRecycleBinPath() { return FindRecycleBinFolder(); }
