// Byte builders for NTFS structures that no tool makes (torn records,
// hostile run lists), and the update-sequence helpers for patching images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ntfstest {

void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v);
void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v);

// Builds a FILE record: attributes are appended in order, Finish() writes
// the end marker and protects the record with its update sequence.
class RecordBuilder {
public:
    explicit RecordBuilder(uint32_t size = 1024, uint16_t flags = 1, uint64_t baseRecord = 0);
    // A resident attribute; returns its offset in the record.
    size_t Resident(uint32_t type, uint16_t id, const std::vector<uint8_t>& value, const std::u16string& name = u"");
    // A non-resident attribute with the given run bytes (the terminating 0 is added).
    size_t NonResident(uint32_t type, uint16_t id, const std::vector<uint8_t>& runs, uint64_t realSize,
                       uint64_t initSize, uint16_t compUnit = 0, const std::u16string& name = u"",
                       uint64_t startVcn = 0);
    // Raw attribute bytes as they are.
    size_t Raw(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Finish();
    std::vector<uint8_t>& Bytes() { return m_rec; }

private:
    std::vector<uint8_t> m_rec;
    size_t m_pos;
};

// A $FILE_NAME value.
std::vector<uint8_t> FileNameValue(uint32_t parent, const std::u16string& name, uint8_t nameSpace,
                                   uint32_t flags = 0, uint64_t size = 0);
// An attribute list entry.
std::vector<uint8_t> ListEntry(uint32_t type, uint64_t startVcn, uint32_t record, uint16_t id);

// Protects a multi-sector block (stride 512) with update sequence number usn.
void ProtectBlock(std::vector<uint8_t>& block, uint16_t usn = 1);
// Undoes the protection (no check).
void UnprotectBlock(std::vector<uint8_t>& block);

}  // namespace ntfstest
