// One MFT record: the input, cut or zero-padded to the record size, parsed
// as a record of the sample NTFS volume (so non-resident attributes read
// their runs from a real volume), then its info, attributes, run lists and
// data read. The bytes are also parsed as an attribute list value.
#include <algorithm>
#include <vector>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/ntfs/NtfsAttr.h"
#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

CNtfsVolume* SampleVolume() {
    static CNtfsVolume* volume = [] {
        auto* v = new CNtfsVolume();
        if (!v->Initialize(SampleImagePath("ntfs-sample"))) FuzzFail(__FILE__, __LINE__, "ntfs-sample does not open");
        return v;
    }();
    return volume;
}

void ReadAttributes(CNtfsFile& file) {
    std::vector<uint8_t> buffer(4096);
    for (size_t i = 0; i < file.AttributeCount() && i < 64; ++i) {
        CNtfsFileAttr* a = file.AttributeAt(i);
        if (!a) continue;
        DataRun run;
        int64_t lcn = 0;
        for (uint32_t k = 0; k < 256 && a->RunAt(k, run, lcn); ++k) {
        }
        a->InUsePercentage();
        uint32_t got = 0;
        if (a->SetPosition(0)) a->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got);
        FUZZ_CHECK(got <= buffer.size());
        // A position inside and one past the end of the value.
        if (a->RealSize() > 0 && a->SetPosition(a->RealSize() - 1)) a->Read(buffer.data(), 16, got);
        if (a->SetPosition(a->RealSize() / 2)) a->Read(buffer.data(), 700, got);
    }
}

}  // namespace

int FuzzNtfsRecord(const uint8_t* data, size_t size) {
    CAttr_$ATTRIBUTE_LIST::ParseEntries(data, size);
    CNtfsVolume* volume = SampleVolume();
    std::vector<uint8_t> record(volume->MftRecordSize(), 0);
    std::copy_n(data, std::min(size, record.size()), record.begin());
    for (bool quick : {true, false}) {
        CNtfsFile file;
        if (!file.InitializeFromBuffer(volume, record.data(), 200, quick)) continue;
        FileItemInfo info;
        uint32_t parent = 0;
        if (file.IsValid()) file.GetInfo(info, parent);
        file.GetName();
        file.DataSize();
        if (quick) continue;
        ReadAttributes(file);
        std::vector<uint8_t> buffer(16384);
        uint32_t got = 0;
        file.Rewind();
        file.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got);
        FUZZ_CHECK(got <= buffer.size());
        file.IsEof();
        file.GetSize();
    }
    return 0;
}
