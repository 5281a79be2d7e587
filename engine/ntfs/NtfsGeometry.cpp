// The geometry of an NTFS volume whose boot sector and its backup are both
// lost, read off the MFT: record 0 names itself "$MFT" and its $DATA's first
// run starts at the MFT's own cluster, so its byte offset divided by that
// cluster number is the cluster size. Format places the MFT where few
// places need looking: a third of the way into a small volume (Windows XP),
// at cluster 786,432 on a large one, or in the first clusters (mkntfs).
// Each candidate costs one record-sized read; nothing else is searched.
#include <cstring>
#include <vector>

#include "NtfsFile.h"
#include "NtfsVolume.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint32_t kRecordSize = 1024;

// The first cluster of the $DATA of the record in buf (fixed up) when the
// record is named `name`; 0 when it is not so.
uint64_t FirstDataCluster(uint8_t* buf, std::u16string_view name) {
    if (std::memcmp(buf, "FILE", 4) != 0 || ApplyUpdateSequence(buf, kRecordSize, 512) != UsaResult::Ok) return 0;
    LeBytes r(buf, kRecordSize);
    if (!(r.u16(ntfsrec::kFlags) & 1)) return 0;
    bool named = false;
    uint64_t lcn = 0;
    size_t pos = r.u16(ntfsrec::kFirstAttr);
    for (int guard = 0; guard < 64 && pos + 0x18 <= kRecordSize; ++guard) {
        const uint32_t type = r.u32(pos), length = r.u32(pos + 4);
        if (type == 0xFFFFFFFF || length < 0x18 || pos + length > kRecordSize) break;
        const bool resident = r.u8(pos + 8) == 0;
        if (type == 0x30 && resident) {
            const size_t value = pos + r.u16(pos + 0x14);
            const uint32_t n = r.u8(value + 0x40);
            named = named || (n == name.size() && r.utf16(value + 0x42, n) == name);
        } else if (type == 0x80 && !resident && r.u8(pos + 9) == 0 && lcn == 0) {
            const size_t runs = pos + r.u16(pos + 0x20);
            const uint8_t header = r.u8(runs);
            const uint32_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
            if (lengthBytes == 0 || offsetBytes == 0 || offsetBytes > 8 || runs + 1 + lengthBytes + offsetBytes > pos + length)
                break;
            uint64_t v = 0;
            for (uint32_t k = 0; k < offsetBytes; ++k) v |= uint64_t(r.u8(runs + 1 + lengthBytes + k)) << (8 * k);
            if (r.u8(runs + lengthBytes + offsetBytes) & 0x80) break;  // a negative first offset
            lcn = v;
        }
        pos += length;
    }
    return r.ok() && named ? lcn : 0;
}

}  // namespace

bool CNtfsVolume::RebuildBootSector(const BootSource& source, uint8_t* boot) {
    const uint64_t device = source.length;
    std::vector<uint8_t> record(kRecordSize);
    for (uint32_t cs = 512; cs <= 65536; cs *= 2) {
        const uint64_t clusters = device / cs;
        if (clusters < 16) break;
        std::vector<uint64_t> candidates;
        for (uint64_t third : {clusters / 3, (clusters + 2) / 3})
            for (uint64_t d = 0; d < 3; ++d) candidates.insert(candidates.end(), {third + d, third - d});
        for (uint64_t c : {uint64_t(2), uint64_t(4), uint64_t(8), uint64_t(16), uint64_t(786432), clusters / 2}) candidates.push_back(c);
        for (uint64_t lcn : candidates) {
            if (lcn == 0 || lcn > (device - kRecordSize) / cs) continue;
            const uint64_t offset = lcn * cs;
            if (source.read(offset, record.data(), kRecordSize) != static_cast<int64_t>(kRecordSize)) continue;
            if (FirstDataCluster(record.data(), u"$MFT") != lcn) continue;
            uint64_t mirror = 0;
            if (source.read(offset + kRecordSize, record.data(), kRecordSize) == static_cast<int64_t>(kRecordSize))
                mirror = FirstDataCluster(record.data(), u"$MFTMirr");
            std::memset(boot, 0, 512);
            static constexpr uint8_t kJump[3] = {0xEB, 0x52, 0x90};
            std::memcpy(boot, kJump, 3);
            std::memcpy(boot + 3, "NTFS    ", 8);
            boot[0x0B] = 0x00;
            boot[0x0C] = 0x02;  // 512-byte sectors
            boot[0x0D] = static_cast<uint8_t>(cs / 512);  // at most 128
            boot[0x15] = 0xF8;
            const uint64_t sectors = device / 512;
            for (int k = 0; k < 8; ++k) {
                boot[0x28 + k] = static_cast<uint8_t>(sectors >> (8 * k));
                boot[0x30 + k] = static_cast<uint8_t>(lcn >> (8 * k));
                boot[0x38 + k] = static_cast<uint8_t>(mirror >> (8 * k));
            }
            boot[0x40] = 0xF6;  // 2^10: 1,024-byte records
            boot[0x44] = 0xF4;  // 2^12: 4,096-byte index blocks
            boot[0x1FE] = 0x55;
            boot[0x1FF] = 0xAA;
            return true;
        }
    }
    return false;
}
