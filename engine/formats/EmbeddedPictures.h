// The small preview JPEGs a picture carries, found in its bytes so that a
// thumbnail can be decoded from a few kilobytes instead of the whole photo:
// the Exif thumbnail of a JPEG and the previews of TIFF-based camera raws.
// Pure byte parsing: the input is hostile, every offset, count and length is
// checked before use, and every walk is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace preview {

// One embedded JPEG: where it lies in the file (bytes from the file's start).
struct EmbeddedPicture {
    uint64_t offset = 0;
    uint64_t length = 0;
};

inline constexpr size_t kMaxEmbeddedPictures = 8;
// Lengths an embedded picture may have.
inline constexpr uint64_t kMinEmbeddedLength = 100;
inline constexpr uint64_t kMaxEmbeddedLength = 16u << 20;

// The embedded preview JPEGs of a picture's first `size` bytes, smallest
// first (ties by offset; at most kMaxEmbeddedPictures, no range twice):
// - a JPEG: the Exif APP1 segments among the APPn/COM segments after SOI,
//   their offsets taken relative to the TIFF header inside APP1 (segment
//   start + 10) and turned into file offsets;
// - a TIFF-based raw (header "II*\0", "MM\0*", "IIRO", "MMOR", "IIU\0":
//   CR2, NEF, ARW, DNG, ORF, RW2): IFD0 from the header.
// Either way the IFD chain, SubIFDs (0x014A) and the Exif IFD (0x8769) are
// walked (at most 64 IFDs, an IFD met again is skipped, at most 1000 entries
// each), and an IFD gives a picture through JPEGInterchangeFormat/Length
// (0x0201/0x0202) or, with Compression 6 or 7, through its single strip
// (StripOffsets/StripByteCounts of one value each).
// A picture is listed only when its 32-bit offset plus its length stays
// below 2^32, its length is from kMinEmbeddedLength to kMaxEmbeddedLength,
// and, when its start lies within `size`, its first bytes are FF D8. It may
// end past `size`: the caller reads further.
std::vector<EmbeddedPicture> FindEmbeddedPictures(const uint8_t* data, size_t size);

// The width and height the first frame header (SOF0..SOF15 but not DHT, JPG
// or DAC) of a JPEG gives, walking its segments from SOI within `size` bytes
// (fill bytes FF FF skipped, at most 4096 segments). False when the bytes
// start with no SOI, or no frame header lies wholly within them before SOS
// or EOI. A height of 0 (given later by DNL) is returned as it stands.
bool JpegDimensions(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height);

}  // namespace preview
