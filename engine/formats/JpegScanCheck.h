// A decode of a baseline JPEG's entropy-coded data that says where the data
// stops being the picture's: every Huffman code valid, every block at most
// 64 coefficients, a restart marker (RST0..7 in turn) after every restart
// interval and nowhere else, the padding bits before a marker all ones, and
// FF D9 right after the last MCU the frame's size asks for. A cluster of
// other bytes inside the data breaks one of these within a few bytes
// (random bytes) or at the latest where the MCU count runs out; the check
// is what the surface scan splits a JPEG at and rejoins it with.
//
// Only sequential Huffman frames (SOF0, SOF1) whose one scan holds all
// components are decoded; Parse refuses the others (progressive,
// arithmetic, lossless, a height set by DNL). The pixel values are not
// computed. Bounds: the headers are read within the bytes Parse is given,
// at most 4 components and 10 blocks an MCU, 65,535 x 65,535 pixels; the
// decode moves forward by at least one bit per code and ends at the MCU
// count, at the first fault or where the bytes end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

// The bytes a decode reads, from a file offset on: a pointer to n > 0
// bytes at offset, false where there are none (the end, or a read error).
class IJpegBytes {
public:
    virtual ~IJpegBytes() = default;
    virtual bool Bytes(uint64_t offset, const uint8_t*& data, size_t& n) = 0;
};

class CJpegScanCheck {
public:
    enum class Outcome { Ok, Fault };
    // Where the decode stands between two blocks; a copy resumes it.
    struct State {
        uint64_t pos = 0;            // the next byte to take into the bit buffer
        uint32_t bits = 0;           // bits taken but not used (the low nbits)
        int nbits = 0;
        uint64_t mcu = 0;            // MCUs done
        uint32_t block = 0;          // blocks done of the current MCU
        uint32_t sinceRestart = 0;   // MCUs since the last restart marker
        uint8_t nextRestart = 0;     // the restart marker expected next (0..7)
    };
    struct Result {
        Outcome outcome = Outcome::Fault;
        uint64_t at = 0;  // Ok: the offset just past FF D9; Fault: the byte the decode could not take
    };

    // Reads the headers from SOI to the scan's data in [data, data + n);
    // false when the bytes are no JPEG this check decodes.
    bool Parse(const uint8_t* data, size_t n);
    uint64_t EntropyStart() const { return m_entropyStart; }
    State Start() const;
    // Decodes from state on (state is left where the decode ended). atBlock,
    // when set, sees the state before every block.
    Result Run(State& state, IJpegBytes& bytes, const std::function<void(const State&)>& atBlock = {}) const;

private:
    struct Table {
        bool defined = false;
        std::array<int32_t, 17> maxCode {};
        std::array<int32_t, 17> minCode {};
        std::array<int32_t, 17> valPtr {};
        std::array<uint8_t, 256> values {};
    };
    bool ParseTables(const uint8_t* p, size_t length);

    std::array<Table, 4> m_dc {}, m_ac {};
    std::array<uint8_t, 10> m_blockDc {}, m_blockAc {};  // the tables of each block of an MCU
    uint32_t m_blocksPerMcu = 0;
    uint64_t m_mcuCount = 0;
    uint32_t m_restartInterval = 0;
    uint64_t m_entropyStart = 0;
};
