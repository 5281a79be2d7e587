#include "DiskBytes.h"

#include <zlib.h>

#include <stdexcept>

#include "common/TestUtil.h"

void DiskBytes::Put8(size_t off, uint8_t v) {
    if (off < m_bytes.size()) m_bytes[off] = v;
}
void DiskBytes::Put16(size_t off, uint16_t v) {
    for (int i = 0; i < 2; ++i) Put8(off + i, static_cast<uint8_t>(v >> (8 * i)));
}
void DiskBytes::Put32(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) Put8(off + i, static_cast<uint8_t>(v >> (8 * i)));
}
void DiskBytes::Put64(size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) Put8(off + i, static_cast<uint8_t>(v >> (8 * i)));
}

void DiskBytes::MbrEntry(uint64_t sector, int slot, uint8_t status, uint8_t type, uint32_t start, uint32_t count) {
    size_t e = static_cast<size_t>(sector * 512 + 446 + 16 * slot);
    Put8(e, status);
    Put8(e + 4, type);
    Put32(e + 8, start);
    Put32(e + 12, count);
}

void DiskBytes::BootSignature(uint64_t sector) {
    Put8(static_cast<size_t>(sector * 512 + 510), 0x55);
    Put8(static_cast<size_t>(sector * 512 + 511), 0xAA);
}

std::vector<uint8_t> GuidBytes(const std::string& text) {
    std::string hex;
    for (char c : text)
        if (c != '-') hex += c;
    if (hex.size() != 32) throw std::invalid_argument("bad GUID " + text);
    std::vector<uint8_t> raw(16);
    for (size_t i = 0; i < 16; ++i) raw[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    // The first three groups are stored little endian.
    std::vector<uint8_t> out = raw;
    for (int i = 0; i < 4; ++i) out[i] = raw[3 - i];
    out[4] = raw[5];
    out[5] = raw[4];
    out[6] = raw[7];
    out[7] = raw[6];
    return out;
}

size_t DiskBytes::WriteGpt(const GptSpec& spec) {
    const size_t ss = spec.sectorSize;
    MbrEntry(0, 0, 0x00, 0xEE, 1, static_cast<uint32_t>(m_bytes.size() / 512 - 1));
    BootSignature(0);

    // The entry array, built whole when its size is sane, then copied in as
    // far as the image reaches.
    uint64_t arrayBytes = uint64_t(spec.entryCount) * spec.entrySize;
    uint32_t arrayCrc = 0;
    if (arrayBytes <= (4u << 20)) {
        std::vector<uint8_t> array(static_cast<size_t>(arrayBytes), 0);
        for (size_t i = 0; i < spec.entries.size() && spec.entrySize >= 128; ++i) {
            size_t e = i * spec.entrySize;
            if (e + 128 > array.size()) break;
            const GptEntrySpec& p = spec.entries[i];
            std::vector<uint8_t> type = GuidBytes(p.typeGuid);
            std::copy(type.begin(), type.end(), array.begin() + static_cast<long>(e));
            std::vector<uint8_t> unique = GuidBytes("01234567-89ab-cdef-0123-456789abcd" + std::to_string(10 + i % 90));
            std::copy(unique.begin(), unique.end(), array.begin() + static_cast<long>(e + 16));
            for (int k = 0; k < 8; ++k) {
                array[e + 32 + k] = static_cast<uint8_t>(p.firstLba >> (8 * k));
                array[e + 40 + k] = static_cast<uint8_t>(p.lastLba >> (8 * k));
            }
            for (size_t k = 0; k < p.name.size() && k < 36; ++k) {
                array[e + 56 + 2 * k] = static_cast<uint8_t>(p.name[k]);
                array[e + 57 + 2 * k] = static_cast<uint8_t>(p.name[k] >> 8);
            }
        }
        arrayCrc = static_cast<uint32_t>(crc32(0, array.data(), static_cast<uInt>(array.size())));
        size_t at = static_cast<size_t>(spec.entryLba * ss);
        for (size_t i = 0; i < array.size() && at + i < m_bytes.size(); ++i) m_bytes[at + i] = array[i];
    }

    const size_t h = ss;  // LBA 1
    const char* sig = "EFI PART";
    for (int i = 0; i < 8; ++i) Put8(h + i, static_cast<uint8_t>(sig[i]));
    Put32(h + 8, 0x00010000);
    Put32(h + 12, spec.headerSize);
    Put64(h + 24, 1);
    Put64(h + 32, m_bytes.size() / ss - 1);
    Put64(h + 40, spec.entryLba + (arrayBytes + ss - 1) / ss);
    Put64(h + 48, m_bytes.size() / ss - 2);
    std::vector<uint8_t> disk = GuidBytes("5eed5eed-0000-4000-8000-000000000001");
    for (int i = 0; i < 16; ++i) Put8(h + 56 + i, disk[i]);
    Put64(h + 72, spec.entryLba);
    Put32(h + 80, spec.entryCount);
    Put32(h + 84, spec.entrySize);
    Put32(h + 88, arrayCrc);
    FixGptHeaderCrc(h);
    return h;
}

void DiskBytes::FixGptHeaderCrc(size_t header) {
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= uint32_t(m_bytes.at(header + 12 + i)) << (8 * i);
    if (size < 92 || header + size > m_bytes.size()) return;  // nothing sane to checksum
    Put32(header + 16, 0);
    Put32(header + 16, static_cast<uint32_t>(crc32(0, m_bytes.data() + header, size)));
}

void DiskBytes::Save(const std::string& path) const { testutil::WriteFileBytes(path, m_bytes); }
