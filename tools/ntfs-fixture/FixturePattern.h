// The content the NTFS fixture writes, computable from (pattern, offset) so
// that tests can recompute any byte of any file the fixture made.
//
//   random:SEED  incompressible bytes (splitmix64 of seed and 8-byte block)
//   text:SEED    64-byte text lines, numbered; LZNT1 compresses them well
//   zero         zeros
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fixture {

struct Pattern {
    enum Kind { Random, Text, Zero } kind = Zero;
    uint32_t seed = 0;

    static bool Parse(const std::string& s, Pattern& p) {
        if (s == "zero") {
            p.kind = Zero;
            return true;
        }
        size_t colon = s.find(':');
        if (colon == std::string::npos) return false;
        std::string k = s.substr(0, colon);
        p.seed = static_cast<uint32_t>(std::strtoul(s.c_str() + colon + 1, nullptr, 0));
        if (k == "random") p.kind = Random;
        else if (k == "text") p.kind = Text;
        else return false;
        return true;
    }

    static uint64_t Mix(uint64_t x) {
        x += 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }

    // Fills out with the n bytes at offset.
    void Fill(uint64_t offset, uint8_t* out, size_t n) const {
        for (size_t i = 0; i < n;) {
            uint64_t at = offset + i;
            if (kind == Zero) {
                out[i++] = 0;
            } else if (kind == Random) {
                uint64_t v = Mix((uint64_t(seed) << 40) ^ (at / 8));
                out[i++] = static_cast<uint8_t>(v >> (8 * (at % 8)));
            } else {
                char line[80];
                uint64_t k = at / 64;
                std::snprintf(line, sizeof line, "%012llu seed %08x: the quick brown fox jumps over%*s\n",
                              static_cast<unsigned long long>(k), seed, 4, "");
                line[63] = '\n';
                size_t from = at % 64;
                size_t take = std::min<size_t>(64 - from, n - i);
                std::memcpy(out + i, line + from, take);
                i += take;
            }
        }
    }

    std::vector<uint8_t> Bytes(uint64_t offset, size_t n) const {
        std::vector<uint8_t> v(n);
        Fill(offset, v.data(), n);
        return v;
    }
};

}  // namespace fixture
