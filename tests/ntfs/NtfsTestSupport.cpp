#include "NtfsTestSupport.h"

#include <cstring>

namespace ntfstest {

void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
    b[off] = v & 0xFF;
    b[off + 1] = v >> 8;
}
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = (v >> (8 * i)) & 0xFF;
}
void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[off + i] = (v >> (8 * i)) & 0xFF;
}

RecordBuilder::RecordBuilder(uint32_t size, uint16_t flags, uint64_t baseRecord) : m_rec(size, 0), m_pos(0x38) {
    std::memcpy(m_rec.data(), "FILE", 4);
    Put16(m_rec, 0x04, 0x30);
    Put16(m_rec, 0x06, static_cast<uint16_t>(size / 512 + 1));
    Put16(m_rec, 0x10, 1);
    Put16(m_rec, 0x12, 1);
    Put16(m_rec, 0x14, 0x38);
    Put16(m_rec, 0x16, flags);
    Put32(m_rec, 0x1C, size);
    Put64(m_rec, 0x20, baseRecord);
}

static size_t Align8(size_t v) { return (v + 7) & ~size_t(7); }

size_t RecordBuilder::Resident(uint32_t type, uint16_t id, const std::vector<uint8_t>& value,
                               const std::u16string& name) {
    size_t at = m_pos;
    size_t valueOff = Align8(0x18 + 2 * name.size());
    size_t len = Align8(valueOff + value.size());
    Put32(m_rec, at, type);
    Put32(m_rec, at + 4, static_cast<uint32_t>(len));
    m_rec[at + 8] = 0;
    m_rec[at + 9] = static_cast<uint8_t>(name.size());
    Put16(m_rec, at + 0x0A, 0x18);
    Put16(m_rec, at + 0x0E, id);
    Put32(m_rec, at + 0x10, static_cast<uint32_t>(value.size()));
    Put16(m_rec, at + 0x14, static_cast<uint16_t>(valueOff));
    for (size_t i = 0; i < name.size(); ++i) Put16(m_rec, at + 0x18 + 2 * i, name[i]);
    std::memcpy(m_rec.data() + at + valueOff, value.data(), value.size());
    m_pos += len;
    return at;
}

size_t RecordBuilder::NonResident(uint32_t type, uint16_t id, const std::vector<uint8_t>& runs, uint64_t realSize,
                                  uint64_t initSize, uint16_t compUnit, const std::u16string& name,
                                  uint64_t startVcn) {
    size_t at = m_pos;
    size_t runsOff = Align8(0x40 + 2 * name.size());
    size_t len = Align8(runsOff + runs.size() + 1);
    Put32(m_rec, at, type);
    Put32(m_rec, at + 4, static_cast<uint32_t>(len));
    m_rec[at + 8] = 1;
    m_rec[at + 9] = static_cast<uint8_t>(name.size());
    Put16(m_rec, at + 0x0A, 0x40);
    Put16(m_rec, at + 0x0C, compUnit ? 0x0001 : 0);  // compressed
    Put16(m_rec, at + 0x0E, id);
    Put64(m_rec, at + 0x10, startVcn);
    Put16(m_rec, at + 0x20, static_cast<uint16_t>(runsOff));
    Put16(m_rec, at + 0x22, compUnit);
    Put64(m_rec, at + 0x28, realSize);
    Put64(m_rec, at + 0x30, realSize);
    Put64(m_rec, at + 0x38, initSize);
    for (size_t i = 0; i < name.size(); ++i) Put16(m_rec, at + 0x40 + 2 * i, name[i]);
    std::memcpy(m_rec.data() + at + runsOff, runs.data(), runs.size());
    m_pos += len;
    return at;
}

size_t RecordBuilder::Raw(const std::vector<uint8_t>& bytes) {
    size_t at = m_pos;
    std::memcpy(m_rec.data() + at, bytes.data(), bytes.size());
    m_pos += bytes.size();
    return at;
}

std::vector<uint8_t> RecordBuilder::Finish() {
    Put32(m_rec, m_pos, 0xFFFFFFFF);
    Put32(m_rec, 0x18, static_cast<uint32_t>(m_pos + 8));
    std::vector<uint8_t> out = m_rec;
    ProtectBlock(out);
    return out;
}

std::vector<uint8_t> FileNameValue(uint32_t parent, const std::u16string& name, uint8_t nameSpace, uint32_t flags,
                                   uint64_t size) {
    std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
    Put64(v, 0x00, parent | (uint64_t(1) << 48));
    Put64(v, 0x08, 0x01D0000000000001ull);
    Put64(v, 0x10, 0x01D0000000000002ull);
    Put64(v, 0x30, size);
    Put32(v, 0x38, flags);
    v[0x40] = static_cast<uint8_t>(name.size());
    v[0x41] = nameSpace;
    for (size_t i = 0; i < name.size(); ++i) Put16(v, 0x42 + 2 * i, name[i]);
    return v;
}

std::vector<uint8_t> ListEntry(uint32_t type, uint64_t startVcn, uint32_t record, uint16_t id) {
    std::vector<uint8_t> e(0x20, 0);
    Put32(e, 0, type);
    Put16(e, 4, 0x20);
    e[6] = 0;
    e[7] = 0x1A;
    Put64(e, 8, startVcn);
    Put64(e, 0x10, record | (uint64_t(1) << 48));
    Put16(e, 0x18, id);
    return e;
}

void ProtectBlock(std::vector<uint8_t>& block, uint16_t usn) {
    uint16_t usaOff = static_cast<uint16_t>(block[4] | block[5] << 8);
    size_t strides = block.size() / 512;
    Put16(block, usaOff, usn);
    for (size_t i = 0; i < strides; ++i) {
        size_t end = (i + 1) * 512 - 2;
        block[usaOff + 2 * (i + 1)] = block[end];
        block[usaOff + 2 * (i + 1) + 1] = block[end + 1];
        Put16(block, end, usn);
    }
}

void UnprotectBlock(std::vector<uint8_t>& block) {
    uint16_t usaOff = static_cast<uint16_t>(block[4] | block[5] << 8);
    size_t strides = block.size() / 512;
    for (size_t i = 0; i < strides; ++i) {
        size_t end = (i + 1) * 512 - 2;
        block[end] = block[usaOff + 2 * (i + 1)];
        block[end + 1] = block[usaOff + 2 * (i + 1) + 1];
    }
}

}  // namespace ntfstest
