// JPEG, PNG, BMP, GIF and PSD recognisers. Positions are byte offsets from
// the candidate's first byte, kept in 64 bits so that no length read from the
// disk can wrap them; each walk is bounded by its format's cap and moves
// forward by at least one byte per step.
#include <algorithm>
#include <cstring>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"

namespace {

constexpr std::u16string_view kJpgKeys[] = {u"jpg"};
constexpr std::u16string_view kPngKeys[] = {u"png"};
constexpr std::u16string_view kBmpKeys[] = {u"bmp"};
constexpr std::u16string_view kGifKeys[] = {u"gif"};
constexpr std::u16string_view kPsdKeys[] = {u"psd"};

bool Accept(CarveContext& c, uint64_t size, const char16_t* key) {
    if (size == 0 || size > UINT32_MAX) return false;
    c.size = size;
    c.typeKey = key;
    return true;
}

bool IsAsciiLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// Skips GIF data sub-blocks from p: each starts with its length byte n and
// is followed by n bytes; the block with n = 0 ends the run. The length bytes
// are looked up in chunks of up to 512 bytes so that a long chain of short
// sub-blocks costs one read per chunk, not one per sub-block.
bool SkipGifSubBlocks(CarveContext& c, uint64_t& p) {
    while (p < kGifWalkCap) {
        if (c.Stopped()) return false;
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(512, kGifWalkCap - p));
        if (!c.ReadAt(p, want) && (want == 1 || !c.ReadAt(p, 1))) return false;  // near the end: one byte at a time
        const uint64_t chunkStart = p;
        const uint64_t chunkEnd = p + c.length;
        const uint8_t* d = c.Data();
        while (p < chunkEnd) {
            uint8_t n = d[p - chunkStart];
            p += uint64_t(n) + 1;
            if (n == 0) return true;
        }
    }
    return false;
}

}  // namespace

// JPEG: FF D8, the marker segments skipped by their lengths up to the start
// of scan, then the first FF D9 in 1,024-byte reads that overlap by one byte
// (near the end of the source, in short reads, so that a photo ending in the
// source's last bytes is still found). The segment walk and the end search
// are both bounded by 15,728,640 bytes.
bool JPEGProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 2)) return false;
    if (c.Data()[0] != 0xFF || c.Data()[1] != 0xD8) return false;
    uint64_t p = 2;
    while (true) {
        if (c.Stopped() || p > kJpegEndSearchCap) return false;
        if (!c.ReadAt(p, 4)) return false;
        LeBytes b = c.Bytes();
        if (b.u8(0) != 0xFF) return false;
        uint16_t len = b.be16(2);
        if (len < 2) return false;
        uint8_t marker = b.u8(1);
        p += 2 + uint64_t(len);
        if (marker == 0xDA) break;
    }
    while (p <= kJpegEndSearchCap) {
        if (c.Stopped()) return false;
        if (!c.ReadAt(p, 1024)) {
            // Fewer than 1,024 bytes left before the end of the source: the
            // rest, two bytes at a time.
            for (uint32_t i = 0; i < 1023; ++i) {
                if (!c.ReadAt(p + i, 2)) return false;
                if (c.Data()[0] == 0xFF && c.Data()[1] == 0xD9) return Accept(c, p + i + 2, u"jpg");
            }
            return false;
        }
        const uint8_t* d = c.Data();
        for (uint32_t i = 0; i < 1023; ++i) {
            if (d[i] == 0xFF && d[i + 1] == 0xD9) return Accept(c, p + i + 2, u"jpg");
        }
        p += 1023;
    }
    return false;
}

// PNG: the signature, then chunks (length, type of four ASCII letters, data,
// CRC) up to IEND; the walk gives up at 26,214,400 bytes. CRCs are not checked.
bool PNGProviderDetect(CarveContext& c) {
    static constexpr uint8_t kSig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (!c.ReadAt(uint64_t(0), 8) || std::memcmp(c.Data(), kSig, 8) != 0) return false;
    uint64_t p = 8;
    while (true) {
        if (p >= kPngWalkCap || c.Stopped()) return false;
        if (!c.ReadAt(p, 8)) return false;
        LeBytes b = c.Bytes();
        const uint32_t length = b.be32(0);
        for (int i = 4; i < 8; ++i)
            if (!IsAsciiLetter(b.u8(i))) return false;
        const bool iend = b.equals(4, "IEND", 4);
        p += uint64_t(length) + 12;
        if (iend) return p <= kPngWalkCap && Accept(c, p, u"png");
    }
}

// BMP: "BM", a file size up to 104,857,600 bytes, then the info header. Besides
// the bit count of a 40-byte header, the header size must be one the format
// defines and the plane count 1: random clusters starting with "BM" are
// otherwise taken for bitmaps of up to 100 MB and skipped whole.
bool BMPProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 14)) return false;
    LeBytes h = c.Bytes();
    if (!h.equals(0, "BM", 2)) return false;
    const uint32_t fileSize = h.u32(2);
    const uint32_t dataOffset = h.u32(10);
    if (fileSize > kBmpMaxFileSize) return false;
    if (!c.ReadAt(uint64_t(14), 40)) return false;
    LeBytes info = c.Bytes();
    const uint32_t headerSize = info.u32(0);
    if (headerSize == 0) return false;
    switch (headerSize) {
        case 12:
            if (info.u16(8) != 1) return false;
            break;
        case 16: case 40: case 52: case 56: case 64: case 108: case 124:
            if (info.u16(12) != 1) return false;
            break;
        default:
            return false;
    }
    uint64_t size = fileSize;
    if (headerSize == 40) {
        if (info.u16(14) > 32) return false;
        const uint32_t imageSize = info.u32(20);
        if (imageSize != 0) size = uint64_t(dataOffset) + imageSize;
    }
    if (size > kBmpMaxFileSize) return false;  // a data offset from the disk must not stretch the file past the cap
    return Accept(c, size, u"bmp");
}

// GIF87a/89a: the screen descriptor and global colour table, then extension
// and image blocks with their data sub-blocks up to the trailer; the walk gives
// up at 20,971,520 bytes.
bool GIFProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 6)) return false;
    LeBytes sig = c.Bytes();
    if (!sig.equals(0, "GIF", 3) || !(sig.equals(3, "87a", 3) || sig.equals(3, "89a", 3))) return false;
    if (!c.ReadAt(uint64_t(6), 7)) return false;
    const uint8_t packed = c.Data()[4];
    uint64_t p = 13;
    if (packed & 0x80) p += 3ull << ((packed & 7) + 1);
    while (p < kGifWalkCap) {
        if (c.Stopped()) return false;
        // A block needs at most 10 bytes; ask for 512 as a batch but accept
        // the short tail of a source.
        if (!c.ReadAt(p, 512) && !c.ReadAt(p, 10) && !c.ReadAt(p, 1)) return false;
        LeBytes b = c.Bytes();
        const uint8_t kind = b.u8(0);
        if (kind == 0x3B) return Accept(c, p + 1, u"gif");
        if (kind == 0x21) {
            if (c.length < 3) return false;
            const uint8_t label = b.u8(1);
            if (label == 0xF9) {
                p += 8;
            } else if (label == 0x01 || label == 0xFE) {
                p += 2;
                if (!SkipGifSubBlocks(c, p)) return false;
            } else if (label == 0xFF) {
                p += uint64_t(b.u8(2)) + 3;
                if (!SkipGifSubBlocks(c, p)) return false;
            } else {
                return false;
            }
        } else if (kind == 0x2C) {
            if (c.length < 10) return false;
            const uint8_t desc = b.u8(9);
            p += 10;
            if (desc & 0x80) p += 3ull << ((desc & 7) + 1);
            p += 1;  // LZW minimum code size
            if (!SkipGifSubBlocks(c, p)) return false;
        } else {
            return false;
        }
    }
    return false;
}

// PSD version 1: header, three length-prefixed sections, the compression
// word, then the image data: raw (channels x depth x width x height / 8) or
// RLE (a table of one 16-bit byte count per row and channel, read in
// buffer-sized pieces, plus the bytes it counts). The header's ranges are the
// format's own (1-56 channels, 1-30,000 pixels, depth 1/8/16/32); a size past
// 32 bits is rejected.
bool PSDProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 26)) return false;
    LeBytes h = c.Bytes();
    if (!h.equals(0, "8BPS", 4) || h.be16(4) != 1) return false;
    const uint64_t channels = h.be16(12);
    const uint64_t height = h.be32(14);
    const uint64_t width = h.be32(18);
    const uint64_t depth = h.be16(22);
    if (channels < 1 || channels > 56 || height < 1 || height > 30000 || width < 1 || width > 30000) return false;
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return false;
    uint64_t p = 26;
    for (int section = 0; section < 3; ++section) {
        if (!c.ReadAt(p, 4)) return false;
        p += uint64_t(c.Bytes().be32(0)) + 4;
    }
    if (!c.ReadAt(p, 2)) return false;
    const uint16_t compression = c.Bytes().be16(0);
    p += 2;
    uint64_t dataLength = 0;
    if (compression == 0) {
        dataLength = channels * depth * width * height / 8;  // at most 56 x 32 x 30000^2: fits in 64 bits
    } else if (compression == 1) {
        const uint64_t rows = height * channels;
        const uint64_t tableBytes = rows * 2;
        uint64_t sum = 0;
        uint64_t done = 0;
        while (done < tableBytes) {
            if (c.Stopped()) return false;
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kCarveBufferSize, tableBytes - done));
            if (!c.ReadAt(p + done, n)) return false;
            LeBytes t = c.Bytes();
            for (uint32_t i = 0; i + 1 < n; i += 2) sum += t.be16(i);
            done += n;
        }
        dataLength = tableBytes + sum;
    } else {
        return false;
    }
    return Accept(c, p + dataLength, u"psd");
}

const ProviderDescriptor kJPEGProvider {u"JPEGProvider", u"JPEG images (JFIF, Exif)", JPEGProviderDetect, kJpgKeys,
                                        {0, "\xFF"}};
const ProviderDescriptor kPNGProvider {u"PNGProvider", u"PNG images", PNGProviderDetect, kPngKeys, {0, "\x89"}};
const ProviderDescriptor kBMPProvider {u"BMPProvider", u"Windows bitmaps", BMPProviderDetect, kBmpKeys, {0, "B"}};
const ProviderDescriptor kGIFProvider {u"GIFProvider", u"GIF images", GIFProviderDetect, kGifKeys, {0, "G"}};
const ProviderDescriptor kPSDProvider {u"PSDProvider", u"Photoshop documents", PSDProviderDetect, kPsdKeys, {0, "8"}};
