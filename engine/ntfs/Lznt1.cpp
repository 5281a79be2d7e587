#include "Lznt1.h"

#include <algorithm>
#include <cstring>

namespace lznt1 {

Status DecodeChunk(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap, size_t& produced) {
    outCap = std::min(outCap, kChunkSize);
    size_t ip = 0;
    size_t op = 0;
    produced = 0;
    while (ip < inLen) {
        uint8_t flags = in[ip++];
        for (int bit = 0; bit < 8 && ip < inLen; ++bit, flags >>= 1) {
            if ((flags & 1) == 0) {
                if (op >= outCap) {
                    produced = op;
                    return Status::Overflow;
                }
                out[op++] = in[ip++];
                continue;
            }
            if (inLen - ip < 2) {
                produced = op;
                return Status::Truncated;
            }
            uint16_t token = static_cast<uint16_t>(in[ip] | in[ip + 1] << 8);
            ip += 2;
            // The further into the chunk, the more bits the offset takes:
            // 4 offset bits up to position 16, one more for every doubling.
            unsigned lengthBits = 12;
            for (size_t p = op - 1; op > 0 && p >= 0x10; p >>= 1) --lengthBits;
            if (op == 0) {
                produced = op;
                return Status::BadBackRef;
            }
            size_t offset = (token >> lengthBits) + 1;
            size_t length = (token & ((1u << lengthBits) - 1)) + 3;
            if (offset > op) {
                produced = op;
                return Status::BadBackRef;
            }
            if (length > outCap - op) {
                // Copy what fits, then report the overrun.
                size_t fit = outCap - op;
                for (size_t i = 0; i < fit; ++i, ++op) out[op] = out[op - offset];
                produced = op;
                return Status::Overflow;
            }
            // Byte by byte: the source may overlap the bytes being written.
            for (size_t i = 0; i < length; ++i, ++op) out[op] = out[op - offset];
        }
    }
    produced = op;
    return Status::Ok;
}

size_t DecompressUnit(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap, bool& ok) {
    ok = true;
    size_t ip = 0;
    size_t chunk = 0;
    size_t end = 0;
    while (inLen - ip >= 2) {
        uint16_t header = static_cast<uint16_t>(in[ip] | in[ip + 1] << 8);
        if (header == 0) break;
        size_t payload = static_cast<size_t>(header & 0x0FFF) + 1;
        ip += 2;
        if (payload > inLen - ip) {
            ok = false;
            break;
        }
        size_t dst = chunk * kChunkSize;
        if (dst >= outCap) {
            ok = false;
            break;
        }
        size_t cap = std::min(kChunkSize, outCap - dst);
        size_t produced = 0;
        if (header & 0x8000) {
            if (DecodeChunk(in + ip, payload, out + dst, cap, produced) != Status::Ok) ok = false;
        } else {
            produced = std::min(payload, cap);
            std::memcpy(out + dst, in + ip, produced);
            if (payload > cap) ok = false;
        }
        end = dst + produced;
        if (!ok) break;
        ip += payload;
        ++chunk;
    }
    return end;
}

}  // namespace lznt1
