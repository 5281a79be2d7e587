#include "NtfsFile.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "app/Log.h"
#include "engine/ntfs/NtfsRecovery.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/LeBytes.h"

UsaResult ApplyUpdateSequence(uint8_t* block, uint32_t size, uint32_t sectorSize, uint32_t* where) {
    LeBytes b(block, size);
    const uint32_t usaOffset = b.u16(ntfsrec::kUsaOffset);
    const uint32_t usaCount = b.u16(ntfsrec::kUsaCount);
    if (!b.ok() || usaCount < 2) return UsaResult::Invalid;
    if (!b.has(usaOffset, 2u * usaCount)) return UsaResult::Invalid;
    // NTFS protects every 512 bytes of a multi-sector block, whatever the
    // device's sector size; a count that fits the sector size is taken too.
    const uint64_t strides = usaCount - 1;
    uint32_t stride = 0;
    if (strides * 512 == size)
        stride = 512;
    else if (sectorSize != 0 && strides * sectorSize == size)
        stride = sectorSize;
    else
        return UsaResult::Invalid;
    const uint16_t usn = b.u16(usaOffset);
    for (uint32_t i = 0; i < strides; ++i) {
        const uint32_t end = (i + 1) * stride - 2;
        if (LeBytes::u16_unsafe(block + end) != usn) {
            if (where) *where = end;
            return UsaResult::Mismatch;
        }
    }
    for (uint32_t i = 0; i < strides; ++i) {
        const uint32_t end = (i + 1) * stride - 2;
        std::memcpy(block + end, block + usaOffset + 2 * (i + 1), 2);
    }
    return UsaResult::Ok;
}

namespace {

constexpr uint32_t kRecordHeaderSize = 0x30;
constexpr uint32_t kAttrHeaderSize = 0x18;  // the resident header, the shortest an attribute has
constexpr uint32_t kAttrEndMarker = 0xFFFFFFFF;

RecordParse Damaged(RecordParse p, uint32_t offset, const char* reason) {
    p.state = RecordParse::State::Damaged;
    p.offset = offset;
    p.reason = reason;
    return p;
}

}  // namespace

RecordParse ParseFileRecord(CNtfsFile* owner, const uint8_t* bytes, uint32_t size, uint32_t sectorSize,
                            AttrFilter filter) {
    RecordParse p;
    LeBytes raw(bytes, size);
    if (!raw.equals(ntfsrec::kSignature, "FILE", 4)) return p;
    if (size < kRecordHeaderSize) return Damaged(std::move(p), 0, "record shorter than its header");
    p.sequence = raw.u16(ntfsrec::kSequence);
    p.inUse = (raw.u16(ntfsrec::kFlags) & 1) != 0;
    p.baseReference = raw.u64(ntfsrec::kBaseRecord);

    std::vector<uint8_t> rec(bytes, bytes + size);
    uint32_t torn = 0;
    switch (ApplyUpdateSequence(rec.data(), size, sectorSize, &torn)) {
        case UsaResult::Ok: break;
        case UsaResult::Mismatch:
            return Damaged(std::move(p), torn, "sector end differs from the update sequence number");
        case UsaResult::Invalid:
            return Damaged(std::move(p), ntfsrec::kUsaOffset, "update sequence array does not fit the record");
    }
    const uint32_t first = raw.u16(ntfsrec::kFirstAttr);
    if (first < kRecordHeaderSize || first >= size) {
        p.walked = true;
        return Damaged(std::move(p), ntfsrec::kFirstAttr, "first attribute offset out of bounds");
    }

    LeBytes r(rec.data(), rec.size());
    p.walked = true;
    // Every attribute is at least kAttrHeaderSize bytes, so the walk ends.
    for (uint32_t pos = first; pos < size;) {
        if (!r.has(pos, 8)) return Damaged(std::move(p), pos, "attribute header past the record end");
        if (r.u32(pos) == kAttrEndMarker) {
            p.state = RecordParse::State::Valid;
            return p;
        }
        const uint32_t length = r.u32(pos + 4);
        if (length < kAttrHeaderSize) return Damaged(std::move(p), pos, "attribute shorter than its header");
        if (!r.has(pos, length)) return Damaged(std::move(p), pos, "attribute runs past the record end");
        uint32_t advance = 0;
        auto attr = CreateNtfsAttribute(owner, rec.data(), size, pos, filter, advance);
        if (attr && attr->Type() == kAttrAttributeList) {
            if (!p.list) {
                p.list.reset(static_cast<CAttr_$ATTRIBUTE_LIST*>(attr.release()));
                p.listOffset = pos;
            }
        } else if (attr) {
            p.attributes.push_back(std::move(attr));
        }
        pos += length;
    }
    return Damaged(std::move(p), size, "no end marker");
}

namespace {

// Whether an extension record's base reference (48-bit record number, 16-bit
// sequence) names record n whose header holds seq and the in-use flag. The
// reference keeps the sequence the base had while in use; freeing a record
// advances its sequence (skipping 0), so a deleted base may be one ahead.
bool NamesBase(uint64_t ref, uint32_t n, uint16_t seq, bool inUse) {
    if (ref == 0 || (ref & 0xFFFFFFFFFFFFull) != n) return false;
    const uint16_t refSeq = static_cast<uint16_t>(ref >> 48);
    if (refSeq == seq) return true;
    return !inUse && refSeq != 0 && (refSeq == 0xFFFF ? 1 : refSeq + 1) == seq;
}

}  // namespace

CNtfsFile::CNtfsFile() = default;
CNtfsFile::~CNtfsFile() = default;

void CNtfsFile::Clear() {
    m_valid = 0;
    m_extension = 0;
    m_inUse = 0;
    m_attributes.clear();
    m_visited.clear();
    m_mftDataId = 0;
    m_fault = Fault{};
}

bool CNtfsFile::ReadRecordThrough(CNtfsFileAttr* mftStream, uint32_t n, std::vector<uint8_t>& buffer) {
    const uint32_t recordSize = m_volume->MftRecordSize();
    buffer.assign(recordSize, 0);
    std::lock_guard<std::mutex> g(m_volume->RecordLock());
    if (!mftStream->SetPosition(static_cast<uint64_t>(n) * recordSize)) return false;
    uint32_t got = 0;
    if (!mftStream->Read(buffer.data(), recordSize, got)) return false;
    return got == recordSize;
}

bool CNtfsFile::OpenRecord(CNtfsVolume* volume, uint32_t n, bool quick) {
    if (!volume) return false;
    m_volume = volume;
    CNtfsFileAttr* stream = volume->MftData();
    if (!stream) {
        LogWrite("Couldn't init file, because MFT data stream is NULL!\n");
        Clear();
        return false;
    }
    std::vector<uint8_t> buffer;
    if (!ReadRecordThrough(stream, n, buffer)) {
        Clear();
        m_recordNumber = n;
        SetFault(RecordParse::State::Damaged, n, 0, "record cannot be read");
        return false;
    }
    return InitializeFromBuffer(volume, buffer.data(), n, quick);
}

bool CNtfsFile::InitializeFromBuffer(CNtfsVolume* volume, const uint8_t* buffer, uint32_t n, bool quick) {
    return InitializeFromBuffer(volume, buffer, n, quick ? AttrFilter::Quick : AttrFilter::All);
}

bool CNtfsFile::InitializeFromBuffer(CNtfsVolume* volume, const uint8_t* buffer, uint32_t n, AttrFilter filter) {
    if (!buffer || !volume) return false;
    Clear();
    m_volume = volume;
    const uint32_t recordSize = volume->MftRecordSize();
    LeBytes r(buffer, recordSize);
    SetFault(RecordParse::State::NotRecord, n, 0, "");
    if (!r.has(0, 0x30)) return false;
    m_inUse = r.u16(ntfsrec::kFlags) & 1;
    if (r.u64(ntfsrec::kBaseRecord) != 0) {
        // An extension record is part of its base record's file, no file of its own.
        m_extension = 1;
        return false;
    }
    m_recordNumber = n;
    if (n == 0) {
        // The $MFT: first assemble its own unnamed $DATA (possibly spread over
        // extension records), then the rest through that stream.
        AttrList boot;
        if (!ReadRecordSet(buffer, 0, AttrFilter::MftBootstrap, boot, nullptr)) return false;
        std::unique_ptr<CNtfsFileAttr> data;
        for (auto& a : boot)
            if (a && a->IsUnnamedData()) {
                data = std::move(a);
                break;
            }
        if (!data) return false;
        m_mftDataId = data->Id();
        m_visited.clear();
        AttrList normal;
        if (!ReadRecordSet(buffer, 0, AttrFilter::MftNormal, normal, data.get())) return false;
        auto at = std::find_if(normal.begin(), normal.end(), [](const auto& a) { return a->Type() > kAttrData; });
        normal.insert(at, std::move(data));
        m_attributes = std::move(normal);
    } else {
        m_visited.clear();
        AttrList list;
        if (!ReadRecordSet(buffer, n, filter, list, volume->MftData())) return false;
        m_attributes = std::move(list);
    }
    m_valid = 1;
    return true;
}

void CNtfsFile::SetFault(RecordParse::State state, uint32_t record, uint32_t offset, const char* reason) {
    m_fault.state = state;
    m_fault.record = record;
    m_fault.offset = offset;
    m_fault.reason = reason;
}

bool CNtfsFile::Accept(const RecordParse& p, uint32_t n) {
    // A damage found before (an extension record's) stays the one reported.
    if (p.state != RecordParse::State::Valid || m_fault.state != RecordParse::State::Damaged)
        SetFault(p.state, n, p.offset, p.reason);
    if (p.state == RecordParse::State::Damaged)
        LogWriteLevel(1, "Record %lu is damaged at byte %lu: %s\n", static_cast<unsigned long>(n),
                      static_cast<unsigned long>(p.offset), p.reason);
    return p.Usable();
}

bool CNtfsFile::ReadRecordSet(const uint8_t* buffer, uint32_t n, AttrFilter filter, AttrList& out,
                              CNtfsFileAttr* mftStream) {
    m_visited.insert(n);
    const uint32_t recordSize = m_volume->MftRecordSize();
    const uint32_t sectorSize = m_volume->SectorSize();
    RecordParse base = ParseFileRecord(this, buffer, recordSize, sectorSize, filter);
    if (!Accept(base, n)) return false;
    AttrList local = std::move(base.attributes);
    // A non-resident list's value lies in clusters of its own.
    if (base.list && !base.list->ReadEntries()) {
        LogWriteLevel(1, "Record %lu: its attribute list cannot be read\n", static_cast<unsigned long>(n));
        base.list.reset();
    }
    if (!base.list) {
        for (auto& a : local) out.push_back(std::move(a));
        return true;
    }

    CNtfsFileAttr* stream = mftStream;
    if (filter == AttrFilter::MftBootstrap) {
        stream = nullptr;
        for (auto& a : local)
            if (a->IsUnnamedData()) stream = a.get();
    }
    if (!stream) {
        SetFault(RecordParse::State::Damaged, n, base.listOffset, "no $MFT stream to read the extension records through");
        return false;
    }

    std::vector<AttrListEntry> entries = std::move(base.list->Entries());
    if (n == 0 && (filter == AttrFilter::MftBootstrap || filter == AttrFilter::MftNormal)) {
        const uint16_t dataId = filter == AttrFilter::MftBootstrap ? stream->Id() : m_mftDataId;
        std::vector<AttrListEntry> kept;
        uint32_t lastStartId = UINT32_MAX;
        uint32_t lastStartRecord = UINT32_MAX;
        for (const auto& e : entries) {
            if (e.startingVcn == 0) {
                lastStartId = e.id;
                lastStartRecord = e.record;
            }
            const bool mftData = e.type == kAttrData && e.name.empty() && lastStartId == dataId &&
                                 lastStartRecord == 0;
            const bool keep = e.type == kAttrAttributeList ||
                              (filter == AttrFilter::MftBootstrap ? mftData : !mftData);
            if (keep) kept.push_back(e);
        }
        entries = std::move(kept);
    }

    // Attributes per record: the base record's first, then each extension
    // record in the order the list names it.
    std::vector<std::pair<uint32_t, AttrList>> records;
    records.emplace_back(n, std::move(local));
    std::map<uint32_t, size_t> slot{{n, 0}};
    std::vector<uint8_t> extBuffer;
    for (const auto& e : entries) {
        if (m_visited.count(e.record)) continue;
        if (records.size() > kMaxExtensionRecords) break;
        m_visited.insert(e.record);
        if (!ReadRecordThrough(stream, e.record, extBuffer)) {
            SetFault(RecordParse::State::Damaged, n, base.listOffset,
                     "attribute list names a record that cannot be read");
            LogWriteLevel(1, "Record %lu: record %lu its attribute list names cannot be read\n",
                          static_cast<unsigned long>(n), static_cast<unsigned long>(e.record));
            return false;
        }
        AttrList extAttrs;
        LeBytes x(extBuffer.data(), extBuffer.size());
        if (!NamesBase(x.u64(ntfsrec::kBaseRecord), n, base.sequence, base.inUse)) {
            // Not an extension of this record (reused since, or corrupt): its attributes are not ours.
            LogWriteLevel(1, "Record %lu named by the attribute list of record %lu is not its extension\n",
                          static_cast<unsigned long>(e.record), static_cast<unsigned long>(n));
        } else {
            // An extension record's own attribute list, if it has one, is not followed.
            RecordParse ext = ParseFileRecord(this, extBuffer.data(), recordSize, sectorSize, filter);
            if (!Accept(ext, e.record)) return false;
            extAttrs = std::move(ext.attributes);
        }
        slot[e.record] = records.size();
        records.emplace_back(e.record, std::move(extAttrs));
    }

    // Merge split attributes: continuations (starting VCN > 0) join the
    // piece that starts at VCN 0 before them.
    auto find = [&](uint32_t record, uint32_t id, AttrList*& list) -> CNtfsFileAttr* {
        auto it = slot.find(record);
        if (it == slot.end()) return nullptr;
        list = &records[it->second].second;
        for (auto& a : *list)
            if (a && a->Id() == id) return a.get();
        return nullptr;
    };
    const AttrListEntry* start = nullptr;
    for (const auto& e : entries) {
        if (e.startingVcn == 0) {
            start = &e;
            continue;
        }
        if (!start || start->type != e.type) continue;
        AttrList* firstList = nullptr;
        AttrList* contList = nullptr;
        CNtfsFileAttr* first = find(start->record, start->id, firstList);
        CNtfsFileAttr* cont = find(e.record, e.id, contList);
        if (!first || !cont || first == cont || first->Type() != cont->Type()) continue;
        if (!CNtfsFileAttr::ConcatenateRuns(*first, *cont)) continue;
        contList->erase(std::remove_if(contList->begin(), contList->end(),
                                       [cont](const auto& a) { return a.get() == cont; }),
                        contList->end());
    }
    for (auto& [record, list] : records)
        for (auto& a : list) out.push_back(std::move(a));
    return true;
}

CNtfsFileAttr* CNtfsFile::FindAttribute(uint32_t type) const {
    for (const auto& a : m_attributes)
        if (a->Type() == type) return a.get();
    return nullptr;
}

CNtfsFileAttr* CNtfsFile::FindAttribute(uint32_t type, const std::u16string& name) const {
    for (const auto& a : m_attributes)
        if (a->Type() == type && a->Name() == name) return a.get();
    return nullptr;
}

CNtfsFileAttr* CNtfsFile::AttributeAt(size_t index) const {
    return index < m_attributes.size() ? m_attributes[index].get() : nullptr;
}

CNtfsFileAttr* CNtfsFile::FirstData() const { return FindAttribute(kAttrData); }

bool CNtfsFile::GetInfo(FileItemInfo& info, uint32_t& parent, int nameOrdinal) const {
    if (!m_valid) return false;
    info.name.clear();
    info.size = 0;
    info.attributes = 0;
    parent = 0;
    if (auto* si = static_cast<CAttr_$STANDARD_INFORMATION*>(FindAttribute(kAttrStandardInformation)))
        info.attributes = si->FileAttributes();
    const uint32_t standard = info.attributes;
    int ordinal = -1;
    bool found = false;
    for (const auto& a : m_attributes) {
        if (a->Type() != kAttrFileName) continue;
        ++ordinal;
        if (nameOrdinal >= 0 && ordinal != nameOrdinal) continue;
        const auto* fn = static_cast<const CAttr_$FILE_NAME*>(a.get());
        info.name = fn->FileName();
        info.size = fn->Size();
        info.attributes = (nameOrdinal < 0 ? info.attributes : standard) | fn->Flags();
        parent = fn->ParentRecord();
        info.creationTime = fn->CreationTime();
        info.modificationTime = fn->ModificationTime();
        found = true;
        if (nameOrdinal >= 0 || fn->Namespace() == CAttr_$FILE_NAME::kWin32) break;
    }
    return nameOrdinal < 0 || found;
}

std::vector<uint16_t> CNtfsFile::FurtherLinks(size_t maxLinks, bool& cut) const {
    cut = false;
    std::vector<uint16_t> out;
    if (!m_valid) return out;
    // GetInfo's choice first: the first Win32 name, else the last name. No
    // allocation unless the record has a further link (the usual record has none).
    const CAttr_$FILE_NAME* primary = nullptr;
    size_t count = 0;
    for (const auto& a : m_attributes) {
        if (a->Type() != kAttrFileName) continue;
        const auto* fn = static_cast<const CAttr_$FILE_NAME*>(a.get());
        ++count;
        if (!primary || primary->Namespace() != CAttr_$FILE_NAME::kWin32) primary = fn;
    }
    if (count < 2) return out;
    std::set<std::pair<uint32_t, std::u16string>> taken;
    size_t k = 0;
    for (const auto& a : m_attributes) {
        if (a->Type() != kAttrFileName) continue;
        const auto* fn = static_cast<const CAttr_$FILE_NAME*>(a.get());
        const size_t ordinal = k++;
        if (fn == primary || fn->Namespace() == CAttr_$FILE_NAME::kDos) continue;
        if (fn->ParentRecord() == primary->ParentRecord() && fn->FileName() == primary->FileName()) continue;
        if (!taken.emplace(fn->ParentRecord(), fn->FileName()).second) continue;
        if (out.size() >= maxLinks || ordinal > UINT16_MAX) {
            cut = true;
            break;
        }
        out.push_back(static_cast<uint16_t>(ordinal));
    }
    return out;
}

std::u16string CNtfsFile::GetName() const {
    std::u16string name;
    for (const auto& a : m_attributes)
        if (a->Type() == kAttrFileName) name = static_cast<const CAttr_$FILE_NAME*>(a.get())->FileName();
    return name;
}

uint64_t CNtfsFile::SaneDataSize() const {
    CNtfsFileAttr* d = m_valid && m_volume ? FirstData() : nullptr;
    return d ? SaneStreamEnd(*d, m_volume->TotalClusters(), m_volume->ClusterSize()).end : 0;
}

uint64_t CNtfsFile::DataSize() const {
    if (!m_valid) return 0;
    CNtfsFileAttr* d = FirstData();
    return d ? d->RealSize() : 0;
}

bool CNtfsFile::Read(void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    CNtfsFileAttr* d = FirstData();
    if (!d) return false;
    return d->Read(buffer, length, bytesRead);
}

bool CNtfsFile::Rewind() {
    CNtfsFileAttr* d = FirstData();
    if (!d) return false;
    if (d->RealSize() == 0) return true;  // nothing to position in
    return d->SetPosition(0);
}

bool CNtfsFile::IsEof() {
    CNtfsFileAttr* d = FirstData();
    if (!d) return false;
    return d->Position() >= d->RealSize();
}

uint64_t CNtfsFile::GetSize() {
    CNtfsFileAttr* d = FirstData();
    return d ? d->RealSize() : 0;
}

void CNtfsFile::Dump() {
    if (!m_valid) {
        LogWrite("Can not dump uninitialized CNtfsFile object!\n");
        return;
    }
    LogWrite("FILE rec#=%lu\n", static_cast<unsigned long>(m_recordNumber));
    LogWrite("Valid=%d InUse=%d\n", m_valid, m_inUse);
    for (auto& a : m_attributes) a->Dump();
}
