// Builders of recycle-bin records for tests: the two $I layouts and INFO2
// records, as Windows writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

inline void PutLe32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutUtf16Le(std::vector<uint8_t>& b, size_t off, const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        b[off + 2 * i] = static_cast<uint8_t>(s[i]);
        b[off + 2 * i + 1] = static_cast<uint8_t>(s[i] >> 8);
    }
}

// $I version 1 (Vista to 8.1): 544 bytes, the path as 260 units at 24.
inline std::vector<uint8_t> DollarIV1(const std::u16string& path, uint64_t size) {
    std::vector<uint8_t> b(544, 0);
    PutLe64(b, 0, 1);
    PutLe64(b, 8, size);
    PutLe64(b, 16, 0x01D0000000000000ull);
    PutUtf16Le(b, 24, path);
    return b;
}
// $I version 2 (Windows 10 on): u32 length in characters (with the NUL) at 24, the path at 28.
inline std::vector<uint8_t> DollarIV2(const std::u16string& path, uint64_t size, uint32_t lengthField = 0) {
    std::vector<uint8_t> b(28 + 2 * (path.size() + 1), 0);
    PutLe64(b, 0, 2);
    PutLe64(b, 8, size);
    PutLe32(b, 24, lengthField ? lengthField : static_cast<uint32_t>(path.size() + 1));
    PutUtf16Le(b, 28, path);
    return b;
}
// One 800-byte INFO2 record: the ANSI path, the record number, the drive
// number and the wide path.
inline std::vector<uint8_t> Info2Record(uint32_t number, uint32_t drive, const std::u16string& path) {
    std::vector<uint8_t> b(800, 0);
    for (size_t i = 0; i < path.size() && i < 259; ++i) b[i] = static_cast<uint8_t>(path[i]);
    PutLe32(b, 260, number);
    PutLe32(b, 264, drive);
    PutUtf16Le(b, 280, path);
    return b;
}

}  // namespace testutil
