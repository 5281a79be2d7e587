// The FAT index in the cache file: the folder tree serialised as blocks.
//
// The first record names the layout, so that a file of another layout is
// rebuilt, never misread:
//
//   type 6 layout            +3 u32 layout version (kLayoutVersion)
//
// Then a block holds the children of one folder node:
//
//   type 4 block start       +3 u32 block id, +7 u32 number of child records
//   type 2 deleted folder    +3 u32 block id of its children (0xFFFFFFFF: none),
//                            +7 u16 slot, +9 u8 attributes, +10 u32 first cluster,
//                            +14 u32 size, +18 u16 creation date,
//                            +20 u16 creation time, +22 u16 modification date,
//                            +24 u16 modification time, +26 u8 creation fine
//                            part, +27 name
//   type 1 deleted file      +3 u16 slot, +5 u8 attributes, +6 u32 first cluster,
//                            +10 u32 size, +14 u16 creation date,
//                            +16 u16 creation time, +18 u16 modification date,
//                            +20 u16 modification time, +22 u8 creation fine
//                            part, +23 name
//   type 3 existing folder   +3 u32 block id or 0xFFFFFFFF, +7 u32 first cluster,
//                            +11 u32 size, +15 name
//   type 5 block end         +3 u32 block id
//
// Names are UTF-16LE with one NUL unit. Block 0 is the root; the writer gives
// the other ids from a counter starting at 1 in the order it meets folders
// that have children, and writes a node's block followed by the blocks of its
// subfolders in id order (depth first). The header's record count is the
// number of type 1, 2 and 3 records (the root's total count).
//
// The lost folders (FatLostFolders.cpp) are type 2 records in the block of
// a type 3 record at the end of the root's block named "\x01$LostFolders";
// a lost folder's size is the length of its group of clusters.
//
// An existing folder's record carries its name as stored on the volume, not
// case-folded: the reader derives the lookup key itself, and the restored
// index then shows folder names (and full paths) exactly as a fresh build
// does.
//
// The slot of a record is where its short entry sits in its folder, from
// which its id comes (FatIndex.h): with it in the file, a restore reads
// nothing of the volume but the fingerprint (Volume.h), which tells
// whether the volume changed since the save, and the recycle bin. Layout 1
// (before the layout record) carried no slots, and its restore read every
// folder again to find them.
//
// The reader treats the file as hostile: the record count is checked against
// the file size, every record against its fixed part and its name's NUL,
// block ids only reach nodes of the tree being built (never a node twice as
// its own ancestor), and nodes deeper than BuildIndex makes them are refused.
// Any slot is accepted: NumberIds gives every record a unique id whatever
// the slots. A file that does not open with the layout record of this
// version, or does not yield exactly the promised records, is deleted.
#include <filesystem>
#include <unordered_map>

#include "app/Log.h"
#include "engine/fat/FatVolume.h"
#include "engine/volume/IndexCache.h"
#include "platform/CaseFold.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint32_t kNoBlock = 0xFFFFFFFFu;
constexpr uint8_t kTypeFile = 1;
constexpr uint8_t kTypeDeletedFolder = 2;
constexpr uint8_t kTypeExistingFolder = 3;
constexpr uint8_t kTypeBlockStart = 4;
constexpr uint8_t kTypeBlockEnd = 5;
constexpr uint8_t kTypeLayout = 6;
constexpr uint32_t kLayoutVersion = 2;
// The lost folders travel as the children of an existing folder record of
// the root with this name, which no FAT folder can have.
constexpr char16_t kLostRootName[] = u"\u0001$LostFolders";
// The smallest entry record (an existing folder with an empty name).
constexpr uint64_t kMinEntryRecord = 17;

// Walks the folder nodes that have children in the order the writer writes
// their blocks. onBlock(node, blockId, childBlock) is called once per such
// node; it must call childBlock(sub) for every subfolder record it writes, in
// record order, and gets back the block id of that subfolder (kNoBlock when it
// has no children). onBlock returns false to end the walk.
template <class OnBlock>
void WalkBlocks(const FatExistingDir& root, OnBlock&& onBlock) {
    uint32_t counter = 1;
    std::vector<std::pair<const FatNode*, uint32_t>> stack {{&root, 0}};
    std::vector<std::pair<const FatNode*, uint32_t>> remembered;
    while (!stack.empty()) {
        auto [node, id] = stack.back();
        stack.pop_back();
        if (node->ChildCount() == 0) continue;
        remembered.clear();
        auto childBlock = [&](const FatNode* sub) -> uint32_t {
            if (sub->ChildCount() == 0 || counter == kNoBlock) return kNoBlock;
            remembered.emplace_back(sub, counter);
            return counter++;
        };
        if (!onBlock(node, id, childBlock)) return;
        for (auto it = remembered.rbegin(); it != remembered.rend(); ++it) stack.push_back(*it);
    }
}

void WriteEntryFields(CCacheWriter& w, const FatFileInfo& e) {
    w.U16(e.slot);
    w.U8(e.attributes);
    w.U32(e.firstCluster);
    w.U32(e.size);
    w.U16(e.creationDate);
    w.U16(e.creationTime);
    w.U16(e.modificationDate);
    w.U16(e.modificationTime);
    w.U8(e.creationFine);
}

bool ReadName(const std::vector<uint8_t>& body, size_t off, std::u16string& name) {
    for (size_t i = off; i + 1 < body.size(); i += 2) {
        if (body[i] == 0 && body[i + 1] == 0) {
            name.resize((i - off) / 2);
            for (size_t k = 0; k < name.size(); ++k)
                name[k] = static_cast<char16_t>(body[off + 2 * k] | body[off + 2 * k + 1] << 8);
            return true;
        }
    }
    return false;
}

// The entry fields at off (slot and 18 bytes of the entry; kEntryFields in
// all) and the NUL-terminated name after them; false when the record is too
// short or its name has no NUL inside it.
constexpr size_t kEntryFields = 20;
bool ReadEntry(const std::vector<uint8_t>& body, size_t off, FatFileInfo& e) {
    LeBytes b(body.data(), body.size());
    if (!b.has(off, kEntryFields)) return false;
    e.slot = b.u16(off);
    off += 2;
    e.attributes = b.u8(off);
    e.firstCluster = b.u32(off + 1);
    e.size = b.u32(off + 5);
    e.creationDate = b.u16(off + 9);
    e.creationTime = b.u16(off + 11);
    e.modificationDate = b.u16(off + 13);
    e.modificationTime = b.u16(off + 15);
    e.creationFine = b.u8(off + 17);
    return ReadName(body, off + 18, e.name);
}

}  // namespace

bool CFatVolume::DumpIndexToCache(IndexProgress* progress) {
    CScopeTrace trace(1, "DumpIndexToCache");
    const bool lost = HasLostFolders();
    const uint64_t total = m_indexRoot->TotalCount() + (lost ? 1 + m_lostRoot->TotalCount() : 0);
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
    CCacheWriter writer;
    if (!writer.Begin(*this, count, progress)) return false;
    writer.BeginRecord(kTypeLayout);
    writer.U32(kLayoutVersion);
    bool ok = writer.EndRecord();
    bool cancelled = false;
    // One entry record written: count it, then look at cancel.
    auto entryDone = [&] {
        if (progress && progress->Step() != WalkResult::Continue) cancelled = true;
        return ok && !cancelled;
    };
    if (ok && progress && progress->Stopped()) cancelled = true;
    if (ok && !cancelled) {
        WalkBlocks(*m_indexRoot, [&](const FatNode* node, uint32_t id, auto&& childBlock) {
            const bool withLost = lost && node == m_indexRoot.get();
            writer.BeginRecord(kTypeBlockStart);
            writer.U32(id);
            writer.U32(node->ChildCount() + (withLost ? 1 : 0));
            ok = writer.EndRecord();
            for (const auto& d : node->deletedFolders) {
                if (!ok) return false;
                writer.BeginRecord(kTypeDeletedFolder);
                writer.U32(childBlock(d.get()));
                WriteEntryFields(writer, d->entry);
                writer.Name(d->entry.name);
                ok = writer.EndRecord();
                if (!entryDone()) return false;
            }
            for (const auto& f : node->deletedFiles) {
                if (!ok) return false;
                writer.BeginRecord(kTypeFile);
                WriteEntryFields(writer, *f);
                writer.Name(f->name);
                ok = writer.EndRecord();
                if (!entryDone()) return false;
            }
            if (!node->IsDeleted()) {
                for (const auto& [key, sub] : static_cast<const FatExistingDir*>(node)->existingFolders) {
                    if (!ok) return false;
                    writer.BeginRecord(kTypeExistingFolder);
                    writer.U32(childBlock(sub.get()));
                    writer.U32(sub->firstCluster);
                    writer.U32(sub->size);
                    writer.Name(sub->name);
                    ok = writer.EndRecord();
                    if (!entryDone()) return false;
                }
            }
            if (withLost && ok) {
                writer.BeginRecord(kTypeExistingFolder);
                writer.U32(childBlock(m_lostRoot.get()));
                writer.U32(0);
                writer.U32(0);
                writer.Name(kLostRootName);
                ok = writer.EndRecord();
                if (!entryDone()) return false;
            }
            writer.BeginRecord(kTypeBlockEnd);
            writer.U32(id);
            ok = writer.EndRecord() && ok;
            return ok;
        });
    }
    // A cancelled save keeps its file marked incomplete: the next restore deletes it.
    return writer.Finish(ok, cancelled);
}

bool CFatVolume::RestoreIndexFromCache(IndexProgress* progress) {
    CScopeTrace trace(1, "RestoreIndexFromCache");
    CCacheReader reader;
    if (!reader.Begin(*this)) return false;
    const CacheHeader& header = reader.Header();
    {
        CScopeTrace clearing(1, "Clearing index...");
        ClearIndex();
    }
    m_indexRoot->firstCluster = m_fatType == kPartitionFat32 ? m_rootFirstCluster : 0;
    m_indexRoot->size = m_rootSize;

    // Every entry record takes at least kMinEntryRecord bytes: a count the
    // file cannot hold is refused before anything is read.
    std::error_code sizeError;
    const uint64_t fileSize = std::filesystem::file_size(reader.Path(), sizeError);
    if (sizeError || fileSize < kCacheHeaderSize ||
        header.recordCount > (fileSize - kCacheHeaderSize) / kMinEntryRecord) {
        LogWrite("Error reading cache: wrong number of entries\n");
        reader.Discard();
        return false;
    }
    // A file of another layout (an older writer's) is rebuilt, never read.
    {
        uint8_t type = 0;
        std::vector<uint8_t> body;
        const bool read = reader.Next(type, body);
        LeBytes b(body.data(), body.size());
        if (!read || type != kTypeLayout || !b.has(3, 4) || b.u32(3) != kLayoutVersion) {
            LogWrite("Error reading cache: it does not open with index layout %u\n", kLayoutVersion);
            reader.Discard();
            return false;
        }
    }
    if (progress) progress->Start(3, header.recordCount);

    uint64_t counted = 0;
    {
        CScopeTrace reading(1, "Reading entries...");
        // Block id -> the node whose children the block holds. Ids are
        // removed when their block closes, so a block is read at most once
        // for each record that named it.
        std::unordered_map<uint32_t, FatNode*> blocks {{0, m_indexRoot.get()}};
        bool inBlock = false;
        FatNode* node = nullptr;
        uint32_t blockId = 0;
        uint32_t expected = 0;
        uint32_t read = 0;
        uint8_t type = 0;
        std::vector<uint8_t> body;
        while (counted <= header.recordCount && reader.Next(type, body)) {
            LeBytes b(body.data(), body.size());
            if (!inBlock) {
                if (type != kTypeBlockStart || !b.has(3, 8)) continue;
                inBlock = true;
                blockId = b.u32(3);
                expected = b.u32(7);
                auto it = blocks.find(blockId);
                node = it == blocks.end() ? nullptr : it->second;
                read = 0;
                continue;
            }
            if (type == kTypeBlockStart || type == kTypeBlockEnd) {
                blocks.erase(blockId);
                inBlock = false;
                node = nullptr;
                continue;
            }
            if (!node || read >= expected) continue;
            if (ReadChild(node, type, body, blocks)) {
                ++read;
                ++counted;
                if (progress && progress->Step() != WalkResult::Continue) {
                    NumberIds();
                    return true;  // cancelled: the partial index stays
                }
            } else {
                LogWriteLevel(1, "!!!Unknown entry type\n");
            }
        }
    }
    NumberIds();
    return reader.Finish(*this, counted);
}

bool CFatVolume::ReadChild(FatNode* node, uint8_t type, const std::vector<uint8_t>& body,
                           std::unordered_map<uint32_t, FatNode*>& blocks) {
    LeBytes b(body.data(), body.size());
    // A node that may get children of its own must stay within the depth a
    // build reaches; deeper ones may only be leaves.
    auto mayHaveBlock = [&](uint32_t id) { return id == kNoBlock || node->depth + 1 <= kMaxFolderDepth; };
    switch (type) {
        case kTypeFile: {
            FatFileInfo e;
            if (!ReadEntry(body, 3, e)) return false;
            const uint64_t before = m_recordCount;
            AddDeletedFile(node, std::move(e));
            return m_recordCount != before;
        }
        case kTypeDeletedFolder: {
            FatFileInfo e;
            if (!b.has(3, 4) || !ReadEntry(body, 7, e)) return false;
            const uint32_t id = b.u32(3);
            if (!mayHaveBlock(id)) return false;
            FatDirInfo* dir = AddDeletedFolder(node, e);
            if (!dir) return false;
            if (id != kNoBlock) blocks[id] = dir;
            return true;
        }
        case kTypeExistingFolder: {
            if (node->IsDeleted() || !b.has(3, 12)) return false;
            auto child = std::make_unique<FatExistingDir>();
            if (!ReadName(body, 15, child->name)) return false;
            const uint32_t id = b.u32(3);
            if (!mayHaveBlock(id)) return false;
            if (child->name == kLostRootName) {
                // Once, in the root's block.
                if (node != m_indexRoot.get() || id == kNoBlock || !m_lostRoot->deletedFolders.empty()) return false;
                for (const auto& [blockId, holder] : blocks)
                    if (holder == m_lostRoot.get()) return false;
                blocks[id] = m_lostRoot.get();
                return true;
            }
            auto* dir = static_cast<FatExistingDir*>(node);
            child->key = FoldCase(child->name);
            if (dir->existingFolders.count(child->key)) return false;  // two folders of one name
            child->firstCluster = b.u32(7);
            child->size = b.u32(11);
            child->parent = dir;
            child->depth = dir->depth + 1;
            FatExistingDir* raw = child.get();
            dir->existingFolders.emplace(raw->key, std::move(child));
            if (id != kNoBlock) blocks[id] = raw;
            return true;
        }
        default:
            return false;
    }
}
