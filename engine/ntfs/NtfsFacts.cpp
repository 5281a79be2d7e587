// What an NTFS volume tells about itself (info), where an item's record and
// data lie (stat), and the reader of an item's named data stream.
#include <cstdio>

#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/Text.h"

namespace {

// One named $DATA stream of a record, read as a file; owns the record.
class CNamedStreamFile : public IGenericFile {
public:
    CNamedStreamFile(std::unique_ptr<CNtfsFile> record, CNtfsFileAttr* stream)
        : m_record(std::move(record)), m_stream(stream) {}
    bool Read(void* buffer, uint32_t length, uint32_t& bytesRead) override {
        return m_stream->Read(buffer, length, bytesRead);
    }
    bool Rewind() override { return m_stream->SetPosition(0); }
    bool IsEof() override { return m_stream->Position() >= m_stream->RealSize(); }
    bool IsValid() override { return m_stream->IsValid(); }
    uint64_t GetSize() override { return m_stream->RealSize(); }
    void Dump() override {}

private:
    std::unique_ptr<CNtfsFile> m_record;
    CNtfsFileAttr* m_stream;
};

}  // namespace

bool CNtfsVolume::DescribeVolume(VolumeFacts& f) {
    uint64_t freeClusters = 0;
    char serial[24];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(SerialNumber()));
    f.fileSystem = "NTFS";
    f.sectorSize = SectorSize();
    f.clusterSize = ClusterSize();
    f.clusterCount = TotalClusters();
    if (CountFreeClusters(freeClusters)) f.freeClusters = freeClusters;
    f.label = VolumeLabelUtf8();
    f.serial = serial;
    f.totalSectors = TotalSectors();
    auto number = [](uint64_t v) { return std::optional<std::variant<uint64_t, std::string>>(v); };
    f.fields = {{"mft_record_size", number(MftRecordSize())},
                {"mft_start_cluster", number(MftStartCluster())},
                {"mft_mirror_cluster", number(MftMirrorCluster())},
                {"mft_records", number(MftRecordCount())},
                {"index_block_size", number(IndexBlockSize())}};
    f.lines = {"MFT record size: " + std::to_string(MftRecordSize()),
               "MFT start cluster: " + std::to_string(MftStartCluster()),
               "MFT mirror cluster: " + std::to_string(MftMirrorCluster()),
               "MFT records: " + std::to_string(MftRecordCount()),
               "Index block size: " + std::to_string(IndexBlockSize())};
    if (StandardUpCase()) {
        f.fields.push_back({"upcase", std::string("standard table: the volume's $UpCase cannot be read")});
        f.lines.push_back("Upper-case table: the standard one (the volume's $UpCase cannot be read)");
    }
    return true;
}

// The item's record (the one every link name of a file shares), the parent
// its name gives, the record's streams and the runs of its main data.
bool CNtfsVolume::DescribeItem(uint32_t id, ItemPlacement& out, std::string& why) {
    int ordinal = -1;
    const uint32_t record = ItemRecord(id, &ordinal);
    CNtfsFile file;
    if (!file.OpenRecord(this, record, false) || !file.IsValid()) {
        why = "cannot read MFT record " + std::to_string(record);
        return false;
    }
    FileItemInfo info;
    uint32_t parent = 0;
    if (file.GetInfo(info, parent, ordinal)) out.parent = parent;
    out.record = record;
    out.inUse = file.IsInUse();
    const uint64_t spc = SectorSize() ? ClusterSize() / SectorSize() : 0;
    std::vector<StreamFact> streams;
    for (size_t i = 0; i < file.AttributeCount(); ++i) {
        CNtfsFileAttr* a = file.AttributeAt(i);
        if (!a || a->Type() != kAttrData) continue;
        StreamFact s;
        s.name = Utf16ToUtf8(a->Name());
        s.resident = a->IsResident();
        s.size = a->RealSize();
        s.initialized = a->IsResident() ? a->RealSize() : a->InitializedSize();
        for (const auto& x : a->Extents())
            s.runs.push_back({x.vcn, x.lcn, x.length, x.lcn < 0 ? 0 : static_cast<uint64_t>(x.lcn) * spc});
        if (s.name.empty() && !out.runs) out.runs = s.runs;
        streams.push_back(std::move(s));
    }
    out.streams = std::move(streams);
    if (!out.runs) out.runs.emplace();
    return true;
}

bool CNtfsVolume::OpenNamedStream(uint32_t id, const std::u16string& stream, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    if (stream.empty()) return false;
    auto record = std::make_unique<CNtfsFile>();
    if (!record->OpenRecord(this, ItemRecord(id), false) || !record->IsValid()) return false;
    FileItemInfo info;
    uint32_t parent = 0;
    if (record->GetInfo(info, parent) && (info.attributes & FILE_ATTRIBUTE_ENCRYPTED)) return false;
    CNtfsFileAttr* attr = record->FindAttribute(kAttrData, stream);
    if (!attr || !attr->IsValid() || !attr->SetPosition(0)) return false;
    file = std::make_unique<CNamedStreamFile>(std::move(record), attr);
    return true;
}
