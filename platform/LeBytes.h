// Bounds-checked little-endian field reader over a byte block read from disk.
//
// Every on-disk structure is parsed through this reader: a checked read
// outside the block returns 0 and sets a sticky error, so a parser may read a
// dozen fields and test ok() once. The *_unsafe readers skip the check and
// say so; use them only after has(off, len).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class LeBytes {
public:
    LeBytes() = default;
    LeBytes(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}

    size_t size() const { return m_size; }
    const uint8_t* data() const { return m_data; }
    bool ok() const { return !m_error; }
    void clearError() { m_error = false; }

    // True when [off, off + len) lies inside the block (overflow-safe).
    bool has(size_t off, size_t len) const { return off <= m_size && len <= m_size - off; }

    uint8_t u8(size_t off) const { return has(off, 1) ? m_data[off] : fail<uint8_t>(); }
    uint16_t u16(size_t off) const { return has(off, 2) ? u16_unsafe(m_data + off) : fail<uint16_t>(); }
    uint32_t u32(size_t off) const { return has(off, 4) ? u32_unsafe(m_data + off) : fail<uint32_t>(); }
    uint64_t u64(size_t off) const { return has(off, 8) ? u64_unsafe(m_data + off) : fail<uint64_t>(); }
    int8_t i8(size_t off) const { return static_cast<int8_t>(u8(off)); }
    int16_t i16(size_t off) const { return static_cast<int16_t>(u16(off)); }
    int32_t i32(size_t off) const { return static_cast<int32_t>(u32(off)); }
    int64_t i64(size_t off) const { return static_cast<int64_t>(u64(off)); }
    uint16_t be16(size_t off) const { return has(off, 2) ? static_cast<uint16_t>(m_data[off] << 8 | m_data[off + 1]) : fail<uint16_t>(); }
    uint32_t be32(size_t off) const {
        return has(off, 4) ? (uint32_t(m_data[off]) << 24 | uint32_t(m_data[off + 1]) << 16 | uint32_t(m_data[off + 2]) << 8 |
                              uint32_t(m_data[off + 3]))
                           : fail<uint32_t>();
    }

    // Compares len bytes at off with text; false (no error) when out of range.
    bool equals(size_t off, const void* text, size_t len) const {
        return has(off, len) && std::memcmp(m_data + off, text, len) == 0;
    }
    // UTF-16LE code units [off, off + 2 * count); error and empty when out of range.
    std::u16string utf16(size_t off, size_t count) const {
        if (count > m_size / 2 || !has(off, count * 2)) {
            m_error = true;
            return {};
        }
        std::u16string s(count, u'\0');
        for (size_t i = 0; i < count; ++i) s[i] = u16_unsafe(m_data + off + 2 * i);
        return s;
    }
    // A sub-block; an out-of-range slice is empty and sets the error.
    LeBytes slice(size_t off, size_t len) const {
        if (!has(off, len)) {
            m_error = true;
            return {};
        }
        return LeBytes(m_data + off, len);
    }

    static uint16_t u16_unsafe(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
    static uint32_t u32_unsafe(const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    static uint64_t u64_unsafe(const uint8_t* p) { return uint64_t(u32_unsafe(p)) | uint64_t(u32_unsafe(p + 4)) << 32; }

private:
    template <typename T>
    T fail() const {
        m_error = true;
        return T(0);
    }

    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    mutable bool m_error = false;
};
