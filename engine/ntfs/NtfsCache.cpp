// The NTFS index in the cache file: one record per container element.
//
//   type 1 file index entry  +3 u32 record, +7 u32 parent, +11 u32 attributes, +15 name (UTF-16LE + NUL)
//   type 2 children pair     +3 u32 parent, +7 u32 child
//   type 3 lost folder       +3 u32 record
//   type 4 existing folder   +3 u32 folder, +7 u32 parent
//   type 5 index slack name  +3 u32 id, +7 u64 size, +15 u64 creation time,
//                            +23 u64 modification time (its name, parent and
//                            attributes are its type 1 record's)
//   type 6 further link name +3 u32 id, +7 u32 record, +11 u16 which $FILE_NAME
//                            of the record (its name, parent and attributes
//                            are its type 1 record's)
//
// The header's record count is the sum of the six container sizes. The
// reader counts every record it reads (also one of an unknown type, which is
// logged) and accepts the file only when the count matches; a rejected or
// unreadable file is deleted so that the next request builds afresh.
#include <cstdio>

#include "NtfsVolume.h"
#include "app/Log.h"
#include "engine/volume/IndexCache.h"
#include "platform/LeBytes.h"

bool CNtfsVolume::DumpIndexToCache(IndexProgress* progress) {
    CScopeTrace trace(1, "DumpIndexToCache");
    SortChildren();
    const uint64_t count64 =
        m_fileIndex.size() + m_children.size() + m_lostFolders.size() + m_existingFolders.size() + m_slackNames.size() +
        m_links.size();
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(count64, UINT32_MAX));
    CCacheWriter writer;
    if (!writer.Begin(*this, count, progress)) return false;
    bool ok = true;
    bool cancelled = false;
    auto step = [&]() {
        if (progress && progress->Step() != WalkResult::Continue) cancelled = true;
        return !cancelled && ok;
    };
    for (const auto& [record, e] : m_fileIndex) {
        if (!ok || cancelled) break;
        writer.BeginRecord(1);
        writer.U32(record);
        writer.U32(e.parent);
        writer.U32(e.attributes);
        writer.Name(EntryName(e));
        ok = writer.EndRecord() && ok;
        step();
    }
    for (const auto& [parent, child] : m_children) {
        if (!ok || cancelled) break;
        writer.BeginRecord(2);
        writer.U32(parent);
        writer.U32(child);
        ok = writer.EndRecord() && ok;
        step();
    }
    for (uint32_t record : m_lostFolders) {
        if (!ok || cancelled) break;
        writer.BeginRecord(3);
        writer.U32(record);
        ok = writer.EndRecord() && ok;
        step();
    }
    for (const auto& [folder, parent] : m_existingFolders) {
        if (!ok || cancelled) break;
        writer.BeginRecord(4);
        writer.U32(folder);
        writer.U32(parent);
        ok = writer.EndRecord() && ok;
        step();
    }
    for (const auto& [id, slack] : m_slackNames) {
        if (!ok || cancelled) break;
        writer.BeginRecord(5);
        writer.U32(id);
        writer.U32(static_cast<uint32_t>(slack.size));
        writer.U32(static_cast<uint32_t>(slack.size >> 32));
        writer.U32(static_cast<uint32_t>(slack.creation));
        writer.U32(static_cast<uint32_t>(slack.creation >> 32));
        writer.U32(static_cast<uint32_t>(slack.modification));
        writer.U32(static_cast<uint32_t>(slack.modification >> 32));
        ok = writer.EndRecord() && ok;
        step();
    }
    for (const auto& [id, link] : m_links) {
        if (!ok || cancelled) break;
        writer.BeginRecord(6);
        writer.U32(id);
        writer.U32(link.record);
        writer.U16(link.ordinal);
        ok = writer.EndRecord() && ok;
        step();
    }
    return writer.Finish(ok, cancelled);
}

bool CNtfsVolume::RestoreIndexFromCache(IndexProgress* progress) {
    CScopeTrace trace(1, "RestoreIndexFromCache");
    CCacheReader reader;
    if (!reader.Begin(*this)) return false;
    const CacheHeader& header = reader.Header();
    LogWriteLevel(1, "Entries in file_index:%lu\n", static_cast<unsigned long>(m_fileIndex.size()));
    {
        CScopeTrace clearing(1, "Clearing index...");
        ClearIndex();
    }
    if (progress) progress->Start(3, header.recordCount);

    uint64_t counted = 0;
    bool truncated = false;
    {
        CScopeTrace reading(1, "Reading entries...");
        uint8_t type = 0;
        std::vector<uint8_t> body;
        while (reader.Next(type, body)) {
            LeBytes b(body.data(), body.size());
            bool known = true;
            switch (type) {
                case 1:
                    if (body.size() >= 17) {
                        const uint32_t record = b.u32(3);
                        NtfsIndexEntry e;
                        const std::u16string name = CacheRecordName(body, 15);
                        e.nameOffset = static_cast<uint32_t>(m_namePool.size());
                        e.nameLength = static_cast<uint16_t>(std::min<size_t>(name.size(), UINT16_MAX));
                        e.parent = b.u32(7);
                        e.attributes = b.u32(11);
                        // The writer lists the records in order: the end is the place to insert.
                        const size_t before = m_fileIndex.size();
                        m_fileIndex.emplace_hint(m_fileIndex.end(), record, e);
                        if (m_fileIndex.size() != before)
                            m_namePool.insert(m_namePool.end(), name.begin(), name.begin() + e.nameLength);
                    } else {
                        known = false;
                    }
                    break;
                case 2:
                    if (body.size() >= 11) {
                        const uint32_t parent = b.u32(3);
                        if (!m_children.empty() && m_children.back().first > parent) m_childrenSorted = false;
                        m_children.emplace_back(parent, b.u32(7));
                    } else {
                        known = false;
                    }
                    break;
                case 3:
                    if (body.size() >= 7) m_lostFolders.insert(m_lostFolders.end(), b.u32(3));
                    else known = false;
                    break;
                case 4:
                    if (body.size() >= 11) m_existingFolders.emplace_hint(m_existingFolders.end(), b.u32(3), b.u32(7));
                    else known = false;
                    break;
                case 5:
                    // After every type 1 record: its name, parent and attributes are there.
                    if (const NtfsIndexEntry* e = body.size() >= 31 ? FindEntry(b.u32(3)) : nullptr;
                        e && b.u32(3) >= kSlackIdBase) {
                        SlackName s;
                        s.parent = e->parent;
                        s.attributes = e->attributes;
                        s.size = b.u64(7);
                        s.creation = b.u64(15);
                        s.modification = b.u64(23);
                        s.name = EntryName(*e);
                        m_slackNames.emplace(b.u32(3), std::move(s));
                    } else {
                        known = false;
                    }
                    break;
                case 6:
                    // After every type 1 record; a link id maps to a record number below the link ids.
                    if (body.size() >= 13 && b.u32(3) >= kLinkIdBase && b.u32(3) < kSlackIdBase &&
                        b.u32(7) < kLinkIdBase && FindEntry(b.u32(3)))
                        m_links.emplace_hint(m_links.end(), b.u32(3), LinkName {b.u32(7), b.u16(11)});
                    else
                        known = false;
                    break;
                default:
                    known = false;
            }
            if (!known) LogWriteLevel(1, "!!!Unknown entry type\n");
            ++counted;
            if (progress && progress->Step() != WalkResult::Continue) {
                FinishTree();
                return true;  // cancelled: the partial index stays
            }
        }
        truncated = reader.ShortRecord();
    }
    FinishTree();
    if (truncated) {
        LogWrite("Error reading cache: the file ends inside a record\n");
        ClearIndex();
        reader.Discard();
        return false;
    }
    return reader.Finish(*this, counted);
}
