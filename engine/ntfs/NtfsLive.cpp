// The live (existing) entries of an NTFS folder, read from the folder's own
// $I30 index: the entries of $INDEX_ROOT and of every INDX block of
// $INDEX_ALLOCATION that the index's $BITMAP marks in use. One entry per
// file record: a Win32 (or POSIX) name is preferred to the DOS 8.3 name.
// The system metafiles (records below 16) and the folder's own "." entry are
// left out. Used by the browse views and by the recycle bin.
#include <algorithm>
#include <cstring>
#include <map>

#include "NtfsVolume.h"
#include "app/Log.h"
#include "platform/LeBytes.h"

namespace {

// $INDEX_ROOT value and index header.
constexpr size_t kRootBlockSize = 0x08;  // u32
constexpr size_t kRootHeader = 0x10;
constexpr size_t kHeaderEntriesOffset = 0x00;  // u32, from the header
constexpr size_t kHeaderIndexLength = 0x04;    // u32, from the header
constexpr size_t kIndxHeader = 0x18;
// Index entry and its $FILE_NAME key.
constexpr size_t kEntryLength = 0x08;     // u16
constexpr size_t kEntryKeyLength = 0x0A;  // u16
constexpr size_t kEntryFlags = 0x0C;      // u16: 2 = last entry
constexpr size_t kEntryKey = 0x10;
constexpr size_t kKeyCreation = 0x08;      // FILETIME
constexpr size_t kKeyModification = 0x10;  // FILETIME
constexpr size_t kKeyRealSize = 0x30;      // u64
constexpr size_t kKeyFlags = 0x38;         // u32
constexpr size_t kKeyNameLength = 0x40;    // u8
constexpr size_t kKeyNamespace = 0x41;     // u8
constexpr size_t kKeyName = 0x42;
constexpr uint32_t kFirstUserRecord = 16;
// Blocks read from one folder at most (a 64 MiB index of 4 KiB blocks).
constexpr uint64_t kMaxIndexBlocks = 16384;

struct Found {
    FileItemInfo info;
    uint8_t nameSpace = 0;
};

void WalkNode(const LeBytes& b, size_t start, size_t end, uint32_t folder, std::map<uint32_t, Found>& out) {
    end = std::min(end, b.size());
    size_t p = start;
    while (p < end && end - p >= kEntryKey) {
        const uint32_t entryLength = b.u16(p + kEntryLength);
        const uint32_t keyLength = b.u16(p + kEntryKeyLength);
        const uint32_t flags = b.u16(p + kEntryFlags);
        if (entryLength < kEntryKey || entryLength > end - p) return;
        if (flags & 2) return;
        if (keyLength >= kKeyName && kEntryKey + keyLength <= entryLength) {
            const size_t key = p + kEntryKey;
            const uint32_t nameLength = b.u8(key + kKeyNameLength);
            const uint8_t ns = b.u8(key + kKeyNamespace);
            const uint32_t record = b.u32(p);
            if (kKeyName + 2u * nameLength <= keyLength && nameLength > 0 && record >= kFirstUserRecord &&
                record != folder) {
                auto it = out.find(record);
                const bool better = it == out.end() || (it->second.nameSpace == CAttr_$FILE_NAME::kDos &&
                                                        ns != CAttr_$FILE_NAME::kDos);
                if (better) {
                    Found f;
                    f.nameSpace = ns;
                    f.info.name = b.utf16(key + kKeyName, nameLength);
                    uint32_t attributes = b.u32(key + kKeyFlags);
                    if (attributes & 0x10000000) attributes = (attributes & ~0x10000000u) | FILE_ATTRIBUTE_DIRECTORY;
                    f.info.attributes = attributes;
                    f.info.size = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : b.u64(key + kKeyRealSize);
                    f.info.creationTime = b.u64(key + kKeyCreation);
                    f.info.modificationTime = b.u64(key + kKeyModification);
                    f.info.id = record;
                    if (b.ok()) out[record] = std::move(f);
                }
            }
        }
        p += entryLength;
    }
}

}  // namespace

bool CNtfsVolume::ListFolderRecord(uint32_t folder, std::vector<FileItemInfo>& items) {
    items.clear();
    CNtfsFile dir;
    if (!dir.OpenRecord(this, folder, false) || !dir.IsInUse()) return false;
    CNtfsFileAttr* root = dir.FindAttribute(kAttrIndexRoot, u"$I30");
    if (!root) return false;
    std::map<uint32_t, Found> found;
    try {
        std::vector<uint8_t> rootValue;
        if (!root->ReadAll(rootValue, 65536)) return false;
        LeBytes r(rootValue.data(), rootValue.size());
        const uint32_t blockSize = r.u32(kRootBlockSize);
        const uint64_t start = kRootHeader + uint64_t(r.u32(kRootHeader + kHeaderEntriesOffset));
        const uint64_t end = kRootHeader + uint64_t(r.u32(kRootHeader + kHeaderIndexLength));
        if (!r.ok()) return false;
        WalkNode(r, static_cast<size_t>(std::min<uint64_t>(start, r.size())),
                 static_cast<size_t>(std::min<uint64_t>(end, r.size())), folder, found);

        CNtfsFileAttr* alloc = dir.FindAttribute(kAttrIndexAllocation, u"$I30");
        const bool sizeOk = blockSize >= 512 && blockSize <= 65536 && (blockSize & (blockSize - 1)) == 0;
        if (alloc && sizeOk) {
            std::vector<uint8_t> bitmap;
            if (CNtfsFileAttr* bm = dir.FindAttribute(kAttrBitmap, u"$I30")) bm->ReadAll(bitmap, 1 << 20);
            const uint64_t blocks = std::min<uint64_t>(alloc->RealSize() / blockSize, kMaxIndexBlocks);
            std::vector<uint8_t> block(blockSize);
            for (uint64_t i = 0; i < blocks; ++i) {
                if (i / 8 >= bitmap.size() || !((bitmap[i / 8] >> (i % 8)) & 1)) continue;
                uint32_t got = 0;
                if (!alloc->SetPosition(i * blockSize) || !alloc->Read(block.data(), blockSize, got) ||
                    got != blockSize)
                    continue;
                if (std::memcmp(block.data(), "INDX", 4) != 0 || !CheckIndexBlock(block.data(), blockSize)) continue;
                LeBytes x(block.data(), block.size());
                const uint64_t s = kIndxHeader + uint64_t(x.u32(kIndxHeader + kHeaderEntriesOffset));
                const uint64_t e = kIndxHeader + uint64_t(x.u32(kIndxHeader + kHeaderIndexLength));
                WalkNode(x, static_cast<size_t>(std::min<uint64_t>(s, blockSize)),
                         static_cast<size_t>(std::min<uint64_t>(e, blockSize)), folder, found);
            }
        }
    } catch (const std::exception&) {
        LogWrite("Unhandled exception while listing folder %lu\n", static_cast<unsigned long>(folder));
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
