// Builds TIFF files entry by entry for the TIFF tests (either byte order).
#pragma once

#include <cstdint>
#include <vector>

#include "tests/surfacescan/ScanTestSupport.h"

namespace scantest {

struct TiffEntry {
    uint16_t tag;
    uint16_t type;   // 3 SHORT, 4 LONG, 2 ASCII, 1 BYTE, 13 IFD
    uint32_t count;
    uint32_t value;  // inline value (SHORT in the first two bytes) or offset
};

class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian) : m_big(bigEndian) {
        if (m_big) Text(bytes, "MM"); else Text(bytes, "II");
        U16(42);
        U32(0);
    }
    void SetFirstIfd(uint32_t offset) { Put32(4, offset); }
    size_t Append(const Bytes& data) {
        size_t at = bytes.size();
        bytes.insert(bytes.end(), data.begin(), data.end());
        return at;
    }
    // An array of 32-bit values in the file's order.
    size_t AppendLongs(const std::vector<uint32_t>& values) {
        size_t at = bytes.size();
        for (uint32_t v : values) U32(v);
        return at;
    }
    size_t AppendIfd(const std::vector<TiffEntry>& entries, uint32_t next = 0) {
        size_t at = bytes.size();
        U16(static_cast<uint16_t>(entries.size()));
        for (const TiffEntry& e : entries) {
            U16(e.tag);
            U16(e.type);
            U32(e.count);
            if (e.type == 3 && e.count == 1) {
                U16(static_cast<uint16_t>(e.value));
                U16(0);
            } else {
                U32(e.value);
            }
        }
        U32(next);
        return at;
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<uint8_t>(m_big ? v >> (24 - 8 * i) : v >> (8 * i));
    }
    // Patches the next-IFD offset of the IFD at `ifd` with n entries.
    void SetNext(size_t ifd, size_t n, uint32_t next) { Put32(ifd + 2 + n * 12, next); }

    Bytes bytes;

private:
    void U16(uint16_t v) { m_big ? Be16(bytes, v) : Le16(bytes, v); }
    void U32(uint32_t v) { m_big ? Be32(bytes, v) : Le32(bytes, v); }
    bool m_big;
};

// A one-strip image of w x h with the strip at `strip` of `count` bytes.
inline std::vector<TiffEntry> StripImage(uint32_t w, uint32_t h, uint32_t strip, uint32_t count) {
    return {{256, 3, 1, w}, {257, 3, 1, h}, {273, 4, 1, strip}, {278, 3, 1, h}, {279, 4, 1, count}};
}

}  // namespace scantest
