#include "engine/formats/CarveSupport.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "engine/formats/ProviderRegistry.h"

namespace {

constexpr std::array<uint32_t, 256> MakeOggTable() {
    std::array<uint32_t, 256> t {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[i] = r;
    }
    return t;
}

constexpr std::array<uint16_t, 256> MakeFlac16Table() {
    std::array<uint16_t, 256> t {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 8;
        for (int k = 0; k < 8; ++k) r = (r & 0x8000u) ? (r << 1) ^ 0x8005u : r << 1;
        t[i] = static_cast<uint16_t>(r);
    }
    return t;
}

constexpr auto kOggTable = MakeOggTable();
constexpr auto kFlac16Table = MakeFlac16Table();

}  // namespace

bool ReadSome(CarveContext& c, uint64_t position, uint32_t want, uint32_t atLeast) {
    while (true) {
        if (c.ReadAt(position, want)) return true;
        if (want <= atLeast) return false;
        want = std::max(atLeast, want / 2);
    }
}

bool TypeEnabled(const CarveContext& c, std::u16string_view key) { return c.scanner && IsTypeEnabled(*c.scanner, key); }

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t n) {
    while (n > 0) {
        const uInt piece = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, data, piece));
        data += piece;
        n -= piece;
    }
    return crc;
}

uint32_t OggCrcUpdate(uint32_t crc, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kOggTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

uint8_t FlacCrc8(const uint8_t* data, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

uint16_t FlacCrc16Update(uint16_t crc, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kFlac16Table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

bool Crc32Of(CarveContext& c, uint64_t position, uint64_t length, uint32_t& crc) {
    crc = 0;
    while (length > 0) {
        if (c.Stopped()) return false;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, kCarveBufferSize));
        if (!c.ReadAt(position, n)) return false;
        crc = Crc32Update(crc, c.Data(), n);
        position += n;
        length -= n;
    }
    return true;
}
