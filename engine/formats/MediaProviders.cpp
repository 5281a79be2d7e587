// MPEG audio (with ID3v2.3, Lyrics3 v2 and ID3v1 tags) and QuickTime movie
// recognisers.
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kMp3Keys[] = {u"mp3"};
constexpr std::u16string_view kMovKeys[] = {u"mov"};

// ---------------------------------------------------------------------------
// MPEG audio
//
// Frame lengths follow ISO/IEC 11172-3 and 13818-3 for every version and
// layer: Layer I 4 x (12 x bit rate / sample rate + padding), Layer II
// 144 x bit rate / sample rate + padding, Layer III the same for MPEG-1 and
// 72 x bit rate / sample rate + padding for MPEG-2 and MPEG-2.5 (their
// frames hold half the samples), with the bit-rate table of the layer. The
// reserved version (01) is not MPEG audio. The frame walk ends at the first
// invalid header, at a read that fails after a valid frame (the end of the
// source) or at 4 GiB.
//
// Tag texts longer than the buffer are cut to it; ID3v1 title and artist are
// their whole 30-byte fields. A Lyrics3 v2 block longer than its format's
// 999,999 bytes is not counted.

constexpr uint16_t kBitRates[2][3][16] = {
    // MPEG-1: Layer I, II, III
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    // MPEG-2 and MPEG-2.5: Layer I, II, III
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
constexpr uint32_t kSampleRates[3][4] = {
    {44100, 48000, 32000, 0},  // MPEG-1
    {22050, 24000, 16000, 0},  // MPEG-2
    {11025, 12000, 8000, 0},   // MPEG-2.5
};
constexpr uint64_t kMpegWalkCap = 0xFFFFFFFFull;
constexpr uint64_t kLyrics3MaxBlock = 999999 + 15;

// Length of the frame whose header is h, or 0 for an invalid header. A
// free-format frame (bit-rate index 0) takes previousBitRate (0: invalid).
uint32_t MpegFrameLength(const uint8_t* h, uint32_t previousBitRate, uint32_t& bitRate) {
    bitRate = 0;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const uint32_t layerBits = (h[1] >> 1) & 3;  // 3 = Layer I, 2 = II, 1 = III
    if (layerBits == 0) return 0;
    const uint32_t versionBits = (h[1] >> 3) & 3;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5, 1 reserved
    if (versionBits == 1) return 0;
    const int layer = 3 - static_cast<int>(layerBits);  // 0 = I, 1 = II, 2 = III
    const int rateRow = versionBits == 3 ? 0 : 1;
    const int srRow = versionBits == 3 ? 0 : versionBits == 2 ? 1 : 2;
    const uint32_t index = h[2] >> 4;
    uint32_t br = index == 0 ? previousBitRate : kBitRates[rateRow][layer][index] * 1000u;
    const uint32_t sr = kSampleRates[srRow][(h[2] >> 2) & 3];
    const uint32_t padding = (h[2] >> 1) & 1;
    if (br == 0 || sr == 0) return 0;
    uint32_t length;
    if (layer == 0)
        length = (12 * br / sr + padding) * 4;
    else if (layer == 2 && versionBits != 3)
        length = 72 * br / sr + padding;
    else
        length = 144 * br / sr + padding;
    if (length < 4) return 0;  // a frame holds at least its header: the walk must move on
    bitRate = br;
    return length;
}

std::u16string NarrowText(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0) ++len;
    return CodePageToUtf16(std::string_view(reinterpret_cast<const char*>(p), len));
}

// An ID3v2 text frame's content (encoding byte first).
std::u16string Id3Text(const uint8_t* p, uint32_t size) {
    if (size == 0) return {};
    if (p[0] == 0) return NarrowText(p + 1, size - 1);
    if (p[0] != 1 || size <= 3) return {};
    const bool bigEndian = p[1] == 0xFE;
    std::u16string s;
    for (uint32_t i = 3; i + 1 < size; i += 2) {
        char16_t u = bigEndian ? static_cast<char16_t>(p[i] << 8 | p[i + 1]) : static_cast<char16_t>(p[i] | p[i + 1] << 8);
        if (u == 0) break;
        s.push_back(u);
    }
    return s;
}

std::u16string TrimSpaces(std::u16string s) {
    size_t b = s.find_first_not_of(u' ');
    if (b == std::u16string::npos) return {};
    size_t e = s.find_last_not_of(u' ');
    return s.substr(b, e - b + 1);
}

bool IsFrameIdChar(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9'); }
bool IsUpper(uint8_t b) { return b >= 'A' && b <= 'Z'; }

// Reads the ID3v2.3 frames of a tag of size tagSize; fills title and artist.
bool ReadId3v23Frames(CarveContext& c, uint8_t flags, uint64_t tagSize, std::u16string& title, std::u16string& artist) {
    uint64_t p = 10;
    if (flags & 0x40) {  // extended header: its size (not counting these 4 bytes), then its content
        if (!c.ReadAt(p, 4)) return false;
        const uint32_t ext = c.Bytes().be32(0);
        if (ext > tagSize) return true;  // not a usable tag: no frames
        p += 4 + uint64_t(ext);
    }
    uint64_t total = 0;
    while (total < tagSize && !c.Stopped()) {
        if (!c.ReadAt(p, 10)) return false;
        LeBytes f = c.Bytes();
        bool idOk = true;
        for (int i = 0; i < 4; ++i) idOk = idOk && IsFrameIdChar(f.u8(i));
        if (!idOk) break;
        const bool isTitle = f.equals(0, "TIT2", 4), isArtist = f.equals(0, "TPE1", 4);
        const uint32_t size = f.be32(4);
        p += 10;
        if ((isTitle || isArtist) && size > 0) {
            const uint32_t take = std::min<uint32_t>(size, kCarveBufferSize);
            if (!c.ReadAt(p, take)) return false;
            std::u16string text = Id3Text(c.Data(), take);
            (isTitle ? title : artist) = std::move(text);
        }
        p += size;
        total += uint64_t(size) + 10;
    }
    return true;
}

}  // namespace

bool MPEGProviderDetect(CarveContext& c) {
    std::u16string title, artist;
    bool id3v2 = false, frames = false, lyrics = false, id3v1 = false;
    uint64_t p = 0;

    // 1. ID3v2
    if (!c.ReadAt(uint64_t(0), 10)) return false;
    {
        LeBytes h = c.Bytes();
        if (h.equals(0, "ID3", 3)) {
            const uint64_t tagSize = uint64_t(h.u8(6) & 0x7F) << 21 | uint64_t(h.u8(7) & 0x7F) << 14 |
                                     uint64_t(h.u8(8) & 0x7F) << 7 | uint64_t(h.u8(9) & 0x7F);
            const uint8_t major = h.u8(3), flags = h.u8(5);
            if (major == 3 && !ReadId3v23Frames(c, flags, tagSize, title, artist)) return false;
            p = tagSize + 10;
            if (!c.ReadAt(p, 2048)) return false;
            id3v2 = true;
            const uint8_t* d = c.Data();
            for (uint32_t i = 0; i < 2048; ++i) {
                if (d[i] >= 0x80) {
                    p += i;
                    break;
                }
            }
        }
    }

    // 2. Frames
    uint32_t previousBitRate = 0;
    while (!c.Stopped() && p < kMpegWalkCap) {
        if (!c.ReadAt(p, 4)) {
            if (!frames) return false;
            break;
        }
        uint32_t bitRate = 0;
        const uint32_t length = MpegFrameLength(c.Data(), previousBitRate, bitRate);
        if (length == 0) break;
        frames = true;
        previousBitRate = bitRate;
        p += length;
    }
    if (!frames) return false;

    // 3. Lyrics3 v2 (a tag that cannot be read is simply absent)
    if (c.ReadAt(p, 11) && std::memcmp(c.Data(), "LYRICSBEGIN", 11) == 0) {
        const uint64_t start = p;
        lyrics = true;
        p += 11;
        bool counted = false;
        std::u16string lyricTitle, lyricArtist;
        while (!c.Stopped() && p - start <= kLyrics3MaxBlock) {
            if (!c.ReadAt(p, 8)) break;
            LeBytes f = c.Bytes();
            if (IsUpper(f.u8(0)) && IsUpper(f.u8(1)) && IsUpper(f.u8(2))) {
                uint32_t size = 0;
                bool digits = true;
                for (int i = 3; i < 8; ++i) {
                    const uint8_t d = f.u8(i);
                    digits = digits && d >= '0' && d <= '9';
                    size = size * 10 + (d - '0');
                }
                if (!digits) break;
                const bool isTitle = f.equals(0, "ETT", 3), isArtist = f.equals(0, "EAR", 3);
                p += 8;
                if ((isTitle || isArtist) && size > 0) {
                    const uint32_t take = std::min<uint32_t>(size, kCarveBufferSize);
                    if (!c.ReadAt(p, take)) break;
                    (isTitle ? lyricTitle : lyricArtist) = NarrowText(c.Data(), take);
                }
                p += size;
                continue;
            }
            // The fields end: the 6-digit size, then the end mark.
            if (c.ReadAt(p + 6, 9) && std::memcmp(c.Data(), "LYRICS200", 9) == 0) {
                p += 15;
                counted = true;
            }
            break;
        }
        if (counted && p - start <= kLyrics3MaxBlock) {
            if (!lyricTitle.empty()) title = lyricTitle;
            if (!lyricArtist.empty()) artist = lyricArtist;
        } else {
            p = start;
        }
    }

    // 4. ID3v1
    if (c.ReadAt(p, 128) && std::memcmp(c.Data(), "TAG", 3) == 0) {
        p += 128;
        id3v1 = true;
        if (title.empty()) title = NarrowText(c.Data() + 3, 30);
        if (artist.empty()) artist = NarrowText(c.Data() + 33, 30);
    }

    // 5. Decision
    if (!(id3v2 || id3v1 || lyrics || p >= kMpegHeaderlessMinimum)) return false;
    if (p > UINT32_MAX) return false;
    c.title = TrimSpaces(std::move(title));
    c.author = TrimSpaces(std::move(artist));
    c.size = p;
    c.typeKey = u"mp3";
    return true;
}

// ---------------------------------------------------------------------------
// QuickTime
//
// Top-level atoms are walked from the first byte; a movie needs a valid moov
// and an mdat. An "ftyp" before them must make the file a QuickTime movie by
// the brand rule of the ISO media recogniser (IsoFtypTypeKey: the major brand
// "qt  ", or, under a generic major brand, "qt  " as the first listed brand
// that names a type). The walk ends at the first atom it does not know, at a
// size below 8, at a read that fails (the end of the source) and after 4,096
// top-level atoms; a moov is walked over at most 65,536 children.

namespace {

constexpr uint32_t kMaxTopAtoms = 4096;
constexpr uint32_t kMaxMoovChildren = 65536;

bool IsType(const uint8_t* p, const char* t) { return std::memcmp(p, t, 4) == 0; }

// Reads [from, to) in buffer-sized pieces: the bytes are there.
bool Readable(CarveContext& c, uint64_t from, uint64_t to) {
    while (from < to) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(to - from, kCarveBufferSize));
        if (!c.ReadAt(from, n)) return false;
        from += n;
    }
    return true;
}

// The meta atom at m of size size: its child atoms must fit it and be readable.
bool MetaValid(CarveContext& c, uint64_t m, uint64_t size) {
    if (size < 67 || size > 10000) return false;
    uint64_t q = m + 8;
    const uint64_t end = m + size;
    while (q + 8 <= end) {
        if (!c.ReadAt(q, 8)) return false;
        const uint64_t childSize = c.Bytes().be32(0);
        if (childSize < 8 || q + childSize > end) return false;
        if (!Readable(c, q + 8, q + childSize)) return false;
        q += childSize;
    }
    return true;
}

// The moov atom at m of size size.
bool MoovValid(CarveContext& c, uint64_t m, uint64_t size) {
    bool valid = false;
    uint64_t q = m + 8;
    const uint64_t end = m + size;
    uint32_t children = 0;
    while (q < end) {
        if (c.Stopped() || ++children > kMaxMoovChildren) return false;
        if (end - q < 8 || !c.ReadAt(q, 8)) return false;
        const uint64_t childSize = c.Bytes().be32(0);
        uint8_t type[4];
        std::memcpy(type, c.Data() + 4, 4);
        if (childSize < 8 || q + childSize > end) return false;
        if (IsType(type, "cmov") || IsType(type, "rmra")) {
            valid = true;
        } else if (IsType(type, "mvhd")) {
            if (childSize < 100 || !c.ReadAt(q + 8, 100)) return false;
            valid = true;
        } else if (IsType(type, "meta")) {
            if (!MetaValid(c, q, childSize)) return false;
        }
        q += childSize;
    }
    return valid;
}

}  // namespace

bool QTFFProviderDetect(CarveContext& c) {
    bool moov = false, mdat = false;
    bool havePreview = false;
    uint8_t previewType[4] = {};
    uint64_t p = 0;
    for (uint32_t atoms = 0; atoms < kMaxTopAtoms; ++atoms) {
        if (c.Stopped()) return false;
        if (p > UINT32_MAX || !c.ReadAt(p, 8)) break;
        const uint64_t size = c.Bytes().be32(0);
        uint8_t type[4];
        std::memcpy(type, c.Data() + 4, 4);
        if (size < 8) break;
        if (IsType(type, "ftyp")) {
            if (!moov && !mdat) {
                if (size < 20 || size > 100 || !c.ReadAt(p, static_cast<uint32_t>(size))) break;
                if (IsoFtypTypeKey(c.Data(), static_cast<uint32_t>(size)) != u"mov") {
                    p += size;
                    break;
                }
            }
        } else if (IsType(type, "mdat")) {
            mdat = true;
        } else if (IsType(type, "free") || IsType(type, "skip") || IsType(type, "wide")) {
            // skipped
        } else if (IsType(type, "moov")) {
            if (!moov) {
                if (!MoovValid(c, p, size)) break;
                moov = true;
            }
        } else if (IsType(type, "pnot")) {
            if (size >= 20) {
                if (!c.ReadAt(p + 8, 12)) break;
                std::memcpy(previewType, c.Data() + 6, 4);
                havePreview = true;
            }
        } else if (havePreview && std::memcmp(type, previewType, 4) == 0) {
            // the preview atom named by pnot
        } else {
            break;
        }
        p += size;
    }
    if (!moov || !mdat || p > UINT32_MAX) return false;
    c.size = p;
    c.typeKey = u"mov";
    return true;
}

const ProviderDescriptor kMPEGProvider {u"MPEGProvider", u"MPEG audio (MP3) with ID3 and Lyrics3 tags",
                                        MPEGProviderDetect, kMp3Keys, {0, "I\xFF"}};  // "ID3", or a frame's sync
// The first atom's type: ftyp, mdat, moov, free, skip, wide or pnot.
const ProviderDescriptor kQTFFProvider {u"QTFFProvider", u"QuickTime movies", QTFFProviderDetect, kMovKeys,
                                        {4, "fmswp"}};
