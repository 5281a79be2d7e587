// The exFAT index in the cache file: the item list in order, one record per
// item after the root, each naming its folder by its place in the list.
//
//   type 7 layout   +3 u32 layout version (kLayoutVersion)
//   type 1 item     +3 u32 parent (the item number of its folder; 0: the root),
//                   +7 u16 attributes, +9 u8 flags (1: deleted, 2: the node
//                   of the lost folders, after the walk's items), +10 u8 stream
//                   flags, +11 u32 first cluster, +15 u64 size (two u32, low
//                   first), +23 u64 valid data length, +31 u32 slot, +35 u32
//                   creation stamp, +39 u8 its 10 ms part, +40 u8 its UTC
//                   offset, +41 u32 modification stamp, +45 u8, +46 u8, +47 name
//
// The header's record count is the number of item records. Items come in
// index order, so a restored index gives every item the id a build gave it.
// The reader treats the file as hostile: a parent must be a folder that
// came before, deleted below a deleted folder, no deeper than a build goes.
#include <filesystem>

#include "app/Log.h"
#include "engine/exfat/ExfatVolume.h"
#include "engine/volume/IndexCache.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint8_t kTypeItem = 1;
constexpr uint8_t kTypeLayout = 7;
constexpr uint32_t kLayoutVersion = 2;  // 1 carried each item's folder cluster, its parent's first cluster
constexpr uint64_t kMinItemRecord = 49;  // an item with an empty name

void U64(CCacheWriter& w, uint64_t v) {
    w.U32(static_cast<uint32_t>(v));
    w.U32(static_cast<uint32_t>(v >> 32));
}

}  // namespace

bool CExfatVolume::DumpIndexToCache(IndexProgress* progress) {
    CScopeTrace trace(1, "DumpIndexToCache");
    const uint64_t total = m_items.empty() ? 0 : m_items.size() - 1;
    if (total > UINT32_MAX) return false;
    CCacheWriter writer;
    if (!writer.Begin(*this, static_cast<uint32_t>(total), progress)) return false;
    writer.BeginRecord(kTypeLayout);
    writer.U32(kLayoutVersion);
    bool ok = writer.EndRecord();
    bool cancelled = progress && progress->Stopped();
    for (size_t i = 1; ok && !cancelled && i < m_items.size(); ++i) {
        const ExfatItem& it = m_items[i];
        writer.BeginRecord(kTypeItem);
        writer.U32(it.parent);
        writer.U16(it.attributes);
        writer.U8((it.deleted ? 1 : 0) | (i == m_lostRoot ? 2 : 0));
        writer.U8(it.streamFlags);
        writer.U32(it.firstCluster);
        U64(writer, it.size);
        U64(writer, it.validSize);
        writer.U32(it.slot);
        for (const ExfatTime* t : {&it.created, &it.modified}) {
            writer.U32(t->stamp);
            writer.U8(t->tenMs);
            writer.U8(t->utcOffset);
        }
        writer.Name(it.name);
        ok = writer.EndRecord();
        if (ok && progress && progress->Step() != WalkResult::Continue) cancelled = true;
    }
    return writer.Finish(ok, cancelled);
}

bool CExfatVolume::RestoreIndexFromCache(IndexProgress* progress) {
    CScopeTrace trace(1, "RestoreIndexFromCache");
    CCacheReader reader;
    if (!reader.Begin(*this)) return false;
    const CacheHeader& header = reader.Header();
    Clear();
    std::error_code sizeError;
    const uint64_t fileSize = std::filesystem::file_size(reader.Path(), sizeError);
    if (sizeError || fileSize < kCacheHeaderSize || header.recordCount > (fileSize - kCacheHeaderSize) / kMinItemRecord) {
        LogWrite("Error reading cache: wrong number of entries\n");
        reader.Discard();
        return false;
    }
    uint8_t type = 0;
    std::vector<uint8_t> body;
    {
        const bool read = reader.Next(type, body);
        const LeBytes b(body.data(), body.size());
        if (!read || type != kTypeLayout || !b.has(3, 4) || b.u32(3) != kLayoutVersion) {
            LogWrite("Error reading cache: it does not open with index layout %u\n", kLayoutVersion);
            reader.Discard();
            return false;
        }
    }
    if (progress) progress->Start(3, header.recordCount);
    ExfatItem root;
    root.attributes = 0x10;
    root.firstCluster = m_geometry.rootCluster;
    root.folder = 0;
    m_items.reserve(header.recordCount + 1);
    m_items.push_back(root);
    m_folders.push_back(ExfatFolder {});
    uint64_t counted = 0;
    while (counted < header.recordCount && reader.Next(type, body)) {
        const LeBytes b(body.data(), body.size());
        if (type != kTypeItem || !b.has(3, kMinItemRecord - 5)) break;
        ExfatItem it;
        it.parent = b.u32(3);
        it.attributes = b.u16(7);
        it.deleted = (b.u8(9) & 1) != 0;
        it.streamFlags = b.u8(10);
        it.firstCluster = b.u32(11);
        it.size = b.u32(15) | uint64_t(b.u32(19)) << 32;
        it.validSize = std::min<uint64_t>(b.u32(23) | uint64_t(b.u32(27)) << 32, it.size);
        it.slot = b.u32(31);
        it.created = {b.u32(35), b.u8(39), b.u8(40)};
        it.modified = {b.u32(41), b.u8(45), b.u8(46)};
        it.name = CacheRecordName(body, 47);
        const uint32_t index = static_cast<uint32_t>(m_items.size());
        if (b.u8(9) & 2) {
            // The node of the lost folders: once, a live folder of no folder.
            if (m_lostRoot != 0 || it.parent != 0 || it.deleted || !it.IsFolder()) break;
            it.folder = static_cast<int32_t>(m_folders.size());
            ExfatFolder f;
            f.item = index;
            m_folders.push_back(std::move(f));
            m_items.push_back(std::move(it));
            m_lostRoot = index;
            ++counted;
            continue;
        }
        // The parent: a folder met before, deleted when this one is under a deleted folder.
        if (it.parent >= m_items.size() || m_items[it.parent].folder < 0 ||
            (m_items[it.parent].deleted && !it.deleted) || m_folders[m_items[it.parent].folder].depth >= kMaxFolderDepth + 1) {
            LogWrite("Error reading cache: item %llu names no folder before it\n", static_cast<unsigned long long>(counted + 1));
            break;
        }
        ExfatFolder& holder = m_folders[m_items[it.parent].folder];
        if (it.IsFolder()) {
            it.folder = static_cast<int32_t>(m_folders.size());
            (it.deleted ? holder.deletedFolders : holder.liveFolders).push_back(index);
            ExfatFolder f;
            f.item = index;
            f.depth = m_folders[m_items[it.parent].folder].depth + 1;
            m_folders.push_back(std::move(f));
        } else if (it.deleted) {
            holder.deletedFiles.push_back(index);
        } else {
            break;  // live files are never stored
        }
        m_items.push_back(std::move(it));
        ++counted;
        if (progress && progress->Step() != WalkResult::Continue) return true;  // cancelled: the partial index stays
    }
    return reader.Finish(*this, counted);
}
