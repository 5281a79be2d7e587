// LZNT1, the compression of NTFS compressed attributes.
//
// A compression unit (normally 16 clusters) holds a sequence of chunks. Each
// chunk starts with a 16-bit header: the low 12 bits are the stored size
// minus 3 (header included), bit 15 set means the payload is compressed, a
// header of 0 ends the unit. A compressed payload is a series of groups: one
// flag byte, then eight tokens, bit i of the flag telling whether token i is
// a literal byte (0) or a 16-bit back-reference (1). The split of a
// back-reference between offset and length bits depends on how far into the
// 4096-byte chunk the output already is.
//
// Everything here treats its input as hostile: a back-reference that points
// before the start of the chunk, a length that runs past 4096 bytes, or a
// chunk whose stored size runs past the input ends the chunk (or the unit)
// with what was produced so far.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lznt1 {

inline constexpr size_t kChunkSize = 4096;

enum class Status {
    Ok,          // the payload decoded completely
    BadBackRef,  // a back-reference pointed before the start of the chunk
    Truncated,   // the payload ended inside a token
    Overflow,    // the output would pass the output capacity
};

// Decodes one compressed chunk payload (without its header) into out, at
// most outCap bytes (outCap <= 4096). produced tells how many bytes were
// written, also on failure.
Status DecodeChunk(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap, size_t& produced);

// Decompresses a whole unit: chunk k lands at out + k * 4096. Bytes of out
// that no chunk writes are left as they are (the caller zero-fills).
// Returns the number of bytes up to the end of the last chunk written;
// ok is false when a chunk was malformed (decoding stopped there).
size_t DecompressUnit(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap, bool& ok);

}  // namespace lznt1
