// An owned heap byte block with its size; the sector, cluster and record
// buffers of the engine.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <utility>

class ByteBuffer {
public:
    ByteBuffer() = default;
    ~ByteBuffer() { Free(); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& o) noexcept : m_data(std::exchange(o.m_data, nullptr)), m_size(std::exchange(o.m_size, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& o) noexcept {
        if (this != &o) {
            Free();
            m_data = std::exchange(o.m_data, nullptr);
            m_size = std::exchange(o.m_size, 0);
        }
        return *this;
    }

    // Frees any block held, then allocates n bytes (zero-filled). n = 0 leaves
    // the buffer empty and succeeds. On failure logs
    // "Buffer allocation error: Out of memory!\n" and returns false.
    bool Allocate(uint32_t n);
    void Free() {
        std::free(m_data);
        m_data = nullptr;
        m_size = 0;
    }

    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    uint32_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    uint8_t& operator[](uint32_t i) { return m_data[i]; }
    const uint8_t& operator[](uint32_t i) const { return m_data[i]; }

private:
    uint8_t* m_data = nullptr;
    uint32_t m_size = 0;
};
