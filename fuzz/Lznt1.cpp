// LZNT1: a chunk payload and a whole compression unit, with the output
// capacity taken from the input so that every capacity up to 4096 (chunks)
// and 64 KiB (units) is tried.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/ntfs/Lznt1.h"

int FuzzLznt1(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t chunkCap = (size_t(data[0]) | size_t(data[1]) << 8) % (lznt1::kChunkSize + 1);
    const uint8_t* in = data + 2;
    const size_t inLen = size - 2;
    // Guard bytes after the capacity catch a write past it even where the
    // sanitizer would not (inside one allocation).
    constexpr size_t kGuard = 64;
    constexpr uint8_t kFill = 0xA5;
    {
        std::vector<uint8_t> out(chunkCap + kGuard, kFill);
        size_t produced = SIZE_MAX;
        lznt1::DecodeChunk(in, inLen, out.data(), chunkCap, produced);
        FUZZ_CHECK(produced <= chunkCap);
        for (size_t i = chunkCap; i < out.size(); ++i) FUZZ_CHECK(out[i] == kFill);
    }
    {
        const size_t unitCap = chunkCap * 16;
        std::vector<uint8_t> out(unitCap + kGuard, kFill);
        bool ok = false;
        size_t produced = lznt1::DecompressUnit(in, inLen, out.data(), unitCap, ok);
        FUZZ_CHECK(produced <= unitCap);
        for (size_t i = unitCap; i < out.size(); ++i) FUZZ_CHECK(out[i] == kFill);
    }
    return 0;
}
