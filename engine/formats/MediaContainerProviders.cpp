// FLAC, Ogg and Matroska/WebM recognisers.
//
// FLAC: "fLaC", then metadata blocks (STREAMINFO first, at most
// kFlacMaxMetadataBlocks) up to the one flagged last, then frames. Each
// frame header is checked field by field and by its CRC-8, and must carry
// the next frame or sample number. A frame ends where its CRC-16 (over the
// whole frame, footer included) comes out zero and the next frame's header
// follows; the last frame (the one reaching STREAMINFO's sample count, or
// the last one found when the count is 0) ends at the first position where
// the CRC-16 comes out zero past the minimum frame size. No frame is
// searched over more than its maximum size from STREAMINFO (or
// kFlacMaxFrameSearch when unknown). The size is the end of the last frame.
//
// Ogg: pages from the first byte: "OggS", version 0, no unknown flags, the
// page CRC checked, the first page opening the stream, every page of the
// same serial number with the next sequence number, up to the page closing
// the stream; positions stay within 32 bits.
//
// Titles and artists come from the Vorbis comments (FLAC's VORBIS_COMMENT
// block, the comment packet at the start of an Ogg stream's second page),
// as far as they lie in the first 5,120 bytes.
//
// Matroska and WebM: the EBML header (at most kEbmlMaxHeader bytes) with a
// DocType of "matroska" or "webm", then a Segment. A Segment of known size
// ends the file (its first child must be a top-level element). A Segment of
// unknown size (a live recording) is walked over its top-level elements of
// known size, at most kMatroskaMaxElements of them; it ends before the
// first bytes that are no top-level element; an element of unknown size
// inside it leaves the end unknown and the file is not reported.
#include <algorithm>
#include <cstring>

#include "engine/formats/CarveSupport.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kFlacKeys[] = {u"flac"};
constexpr std::u16string_view kOggKeys[] = {u"ogg"};
constexpr std::u16string_view kMatroskaKeys[] = {u"mkv", u"webm"};



// The title and artist of a Vorbis comment block (a vendor string, then a
// count of "KEY=value" comments, each after its 32-bit length), as far as it
// lies in the n bytes at d; keys compare without case.
void ReadVorbisComments(const uint8_t* d, uint32_t n, DocumentProperties& properties) {
    const LeBytes b(d, n);
    if (n < 8) return;
    uint64_t p = 4 + uint64_t(b.u32(0));
    if (p + 4 > n) return;
    const uint32_t count = b.u32(static_cast<size_t>(p));
    p += 4;
    for (uint32_t i = 0; i < count && p + 4 <= n; ++i) {
        const uint32_t length = b.u32(static_cast<size_t>(p));
        p += 4;
        if (length > n - p) return;
        const std::string_view field(reinterpret_cast<const char*>(d + p), length);
        p += length;
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos) continue;
        std::string key(field.substr(0, equals));
        for (char& ch : key)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        std::u16string& target = key == "TITLE" ? properties.title : properties.creator;
        if ((key == "TITLE" || key == "ARTIST") && target.empty()) target = Utf8ToUtf16(field.substr(equals + 1));
    }
}

void SetShown(CarveContext& c, const DocumentProperties& properties) {
    const DocumentProperties shown = ShownDocumentProperties(properties);
    c.title = shown.title;
    c.author = shown.creator;
}

// ---------------------------------------------------------------------------
// FLAC

struct FlacFrameHeader {
    uint32_t length = 0;     // header bytes, CRC-8 included
    uint32_t blockSize = 0;  // samples per channel
    uint64_t number = 0;     // frame number (fixed blocking) or first sample number (variable)
    bool variable = false;
};

// The frame header at d (n bytes available); false when any field is
// reserved or invalid, the header does not fit n or its CRC-8 differs.
bool ParseFlacFrameHeader(const uint8_t* d, uint32_t n, FlacFrameHeader& h) {
    if (n < 6 || d[0] != 0xFF || (d[1] & 0xFE) != 0xF8) return false;
    const uint32_t sizeCode = d[2] >> 4, rateCode = d[2] & 15;
    const uint32_t channels = d[3] >> 4, sampleSize = (d[3] >> 1) & 7;
    if (sizeCode == 0 || rateCode == 15 || channels > 10 || sampleSize == 3 || (d[3] & 1)) return false;
    // The coded number: UTF-8 style, 1 to 7 bytes.
    uint32_t p = 4;
    const uint8_t first = d[p++];
    uint32_t extra;
    uint64_t v;
    if (first < 0x80) extra = 0, v = first;
    else if ((first & 0xE0) == 0xC0) extra = 1, v = first & 0x1F;
    else if ((first & 0xF0) == 0xE0) extra = 2, v = first & 0x0F;
    else if ((first & 0xF8) == 0xF0) extra = 3, v = first & 0x07;
    else if ((first & 0xFC) == 0xF8) extra = 4, v = first & 0x03;
    else if ((first & 0xFE) == 0xFC) extra = 5, v = first & 0x01;
    else if (first == 0xFE) extra = 6, v = 0;
    else return false;
    const uint32_t sizeBytes = sizeCode == 6 ? 1 : sizeCode == 7 ? 2 : 0;
    const uint32_t rateBytes = rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    if (p + extra + sizeBytes + rateBytes + 1 > n) return false;
    for (uint32_t i = 0; i < extra; ++i) {
        const uint8_t b = d[p++];
        if ((b & 0xC0) != 0x80) return false;
        v = v << 6 | (b & 0x3F);
    }
    uint32_t blockSize;
    if (sizeCode == 1) blockSize = 192;
    else if (sizeCode <= 5) blockSize = 576u << (sizeCode - 2);
    else if (sizeCode == 6) blockSize = d[p++] + 1u;
    else if (sizeCode == 7) blockSize = (uint32_t(d[p]) << 8 | d[p + 1]) + 1u, p += 2;
    else blockSize = 256u << (sizeCode - 8);
    p += rateBytes;
    if (FlacCrc8(d, p) != d[p]) return false;
    h.length = p + 1;
    h.blockSize = blockSize;
    h.number = v;
    h.variable = (d[1] & 1) != 0;
    return true;
}

struct FlacStream {
    uint32_t minFrame = 0, maxFrame = 0;
    uint64_t totalSamples = 0;
};

// From frame start (whose header h is valid) on: the frame's end, and
// whether a following frame with the expected number starts there (next).
// With last set, the frame is known to be the last and ends at the first
// zero CRC-16 past the minimum size.
bool FindFlacFrameEnd(CarveContext& c, uint64_t start, const FlacStream& s, uint64_t expected, bool variable,
                      bool last, uint64_t& end, bool& next, FlacFrameHeader& nextHeader) {
    const uint64_t minimum = std::max<uint64_t>(s.minFrame, 2);
    const uint64_t limit = start + (s.maxFrame ? s.maxFrame : kFlacMaxFrameSearch);
    uint16_t crc = 0;
    uint64_t q = start;
    uint64_t lastZero = 0;  // for an unknown count: the first zero CRC, taken when no next frame follows
    next = false;
    while (q <= limit) {
        if (c.Stopped()) return false;
        if (!ReadSome(c, q, kCarveBufferSize, 1)) break;
        const uint32_t got = c.length;
        const uint8_t* d = c.Data();
        uint32_t i = 0;
        for (; i < got && q + i <= limit; ++i) {
            if (crc == 0 && q + i - start >= minimum) {
                if (last) {
                    end = q + i;
                    return true;
                }
                if (lastZero == 0) lastZero = q + i;
                if (d[i] == 0xFF && i + 1 < got && (d[i + 1] & 0xFE) == 0xF8) {
                    // A header may run past this read: read again from it, unless it began here.
                    if (i + 16 > got && i > 0 && got == kCarveBufferSize) break;
                    FlacFrameHeader h;
                    if (ParseFlacFrameHeader(d + i, got - i, h) && h.variable == variable && h.number == expected) {
                        end = q + i;
                        next = true;
                        nextHeader = h;
                        return true;
                    }
                }
            }
            crc = FlacCrc16Update(crc, d + i, 1);
        }
        if (i == 0) break;
        q += i;
    }
    // The source ended (or the search limit was reached) right after a zero CRC.
    if (crc == 0 && q - start >= minimum && q <= limit) {
        if (last) {
            end = q;
            return true;
        }
        if (lastZero == 0) lastZero = q;
    }
    // No next frame: the stream ends with this frame, where its CRC first came out zero.
    if (lastZero == 0) return false;
    end = lastZero;
    return true;
}

}  // namespace

bool FLACProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 42)) return false;
    const uint8_t* d = c.Data();
    if (std::memcmp(d, "fLaC", 4) != 0) return false;
    // STREAMINFO: 34 bytes.
    if ((d[4] & 0x7F) != 0 || (uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7]) != 34) return false;
    const uint8_t* si = d + 8;
    const uint32_t minBlock = uint32_t(si[0]) << 8 | si[1], maxBlock = uint32_t(si[2]) << 8 | si[3];
    FlacStream s;
    s.minFrame = uint32_t(si[4]) << 16 | uint32_t(si[5]) << 8 | si[6];
    s.maxFrame = uint32_t(si[7]) << 16 | uint32_t(si[8]) << 8 | si[9];
    const uint32_t rate = uint32_t(si[10]) << 12 | uint32_t(si[11]) << 4 | si[12] >> 4;
    s.totalSamples = uint64_t(si[13] & 0x0F) << 32 | uint64_t(si[14]) << 24 | uint64_t(si[15]) << 16 |
                     uint64_t(si[16]) << 8 | si[17];
    if (minBlock < 16 || maxBlock < minBlock || rate == 0) return false;
    if (s.maxFrame != 0 && s.maxFrame < s.minFrame) return false;

    // Metadata blocks; the Vorbis comment gives title and artist.
    DocumentProperties properties;
    uint64_t p = 4;
    bool lastBlock = false;
    for (uint32_t n = 0; n < kFlacMaxMetadataBlocks && !lastBlock; ++n) {
        if (c.Stopped() || p > UINT32_MAX || !c.ReadAt(p, 4)) return false;
        const uint8_t* b = c.Data();
        const uint32_t type = b[0] & 0x7F;
        if (type == 127 || (n > 0 && type == 0)) return false;
        lastBlock = (b[0] & 0x80) != 0;
        const uint32_t length = uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
        if (type == 4 && length > 0) {
            const uint32_t take = std::min(length, kCarveBufferSize);
            if (!c.ReadAt(p + 4, take)) return false;
            ReadVorbisComments(c.Data(), take, properties);
        }
        p += 4 + uint64_t(length);
    }
    if (!lastBlock) return false;

    // Frames.
    if (!ReadSome(c, p, 16, 6)) return false;
    FlacFrameHeader h;
    if (!ParseFlacFrameHeader(c.Data(), c.length, h) || h.number != 0) return false;
    const bool variable = h.variable;
    uint64_t samples = 0, frames = 0;
    while (true) {
        if (c.Stopped() || p > UINT32_MAX) return false;
        samples += h.blockSize;
        ++frames;
        const bool last = s.totalSamples != 0 && samples >= s.totalSamples;
        if (s.totalSamples != 0 && samples > s.totalSamples) return false;
        uint64_t end = 0;
        bool next = false;
        FlacFrameHeader following;
        if (!FindFlacFrameEnd(c, p, s, variable ? samples : frames, variable, last, end, next, following)) return false;
        p = end;
        if (!next) break;
        h = following;
    }
    if (s.totalSamples != 0 && samples != s.totalSamples) return false;
    if (p > UINT32_MAX) return false;
    SetShown(c, properties);
    c.size = p;
    c.typeKey = u"flac";
    return true;
}

// ---------------------------------------------------------------------------
// Ogg

bool OggProviderDetect(CarveContext& c) {
    uint64_t p = 0;
    uint32_t serial = 0, sequence = 0;
    uint64_t pages = 0;
    DocumentProperties properties;
    for (bool first = true;; first = false) {
        if (c.Stopped() || p > UINT32_MAX || !c.ReadAt(p, 27)) return false;
        uint8_t header[27 + 255];
        std::memcpy(header, c.Data(), 27);
        const LeBytes h(header, 27);
        if (!h.equals(0, "OggS", 4) || header[4] != 0) return false;
        const uint8_t flags = header[5];
        if (flags & 0xF8) return false;
        if (first != ((flags & 2) != 0)) return false;  // the first page opens the stream, and only it
        if (first && (flags & 1)) return false;
        const uint32_t pageSerial = h.u32(14), pageSequence = h.u32(18), pageCrc = h.u32(22);
        if (first) serial = pageSerial;
        else if (pageSerial != serial || pageSequence != sequence + 1) return false;
        sequence = pageSequence;
        const uint32_t segments = header[26];
        if (segments > 0) {
            if (!c.ReadAt(p + 27, segments)) return false;
            std::memcpy(header + 27, c.Data(), segments);
        }
        uint64_t body = 0;
        for (uint32_t i = 0; i < segments; ++i) body += header[27 + i];
        std::memset(header + 22, 0, 4);
        uint32_t crc = OggCrcUpdate(0, header, 27 + segments);
        uint64_t q = p + 27 + segments;
        for (uint64_t left = body; left > 0;) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, kCarveBufferSize));
            if (!c.ReadAt(q, n)) return false;
            // The second page starts with the comment packet (Vorbis or Opus).
            if (pages == 1 && left == body) {
                if (n > 7 && std::memcmp(c.Data(), "\x03vorbis", 7) == 0)
                    ReadVorbisComments(c.Data() + 7, n - 7, properties);
                else if (n > 8 && std::memcmp(c.Data(), "OpusTags", 8) == 0)
                    ReadVorbisComments(c.Data() + 8, n - 8, properties);
            }
            crc = OggCrcUpdate(crc, c.Data(), n);
            q += n;
            left -= n;
        }
        if (crc != pageCrc) return false;
        ++pages;
        p = q;
        if (flags & 4) break;  // end of stream
    }
    if (p > UINT32_MAX) return false;
    SetShown(c, properties);
    c.size = p;
    c.typeKey = u"ogg";
    return true;
}

// ---------------------------------------------------------------------------
// Matroska and WebM

namespace {

constexpr uint32_t kEbmlId = 0x1A45DFA3;
constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kDocTypeId = 0x4282;
constexpr uint64_t kUnknownSize = UINT64_MAX;

// An element ID (1 to 4 bytes, marker kept) at d (n bytes); 0 when invalid.
uint32_t ReadId(const uint8_t* d, uint32_t n, uint32_t& length) {
    if (n == 0 || d[0] == 0) return 0;
    length = d[0] >= 0x80 ? 1 : d[0] >= 0x40 ? 2 : d[0] >= 0x20 ? 3 : d[0] >= 0x10 ? 4 : 0;
    if (length == 0 || length > n) return 0;
    uint32_t id = 0;
    for (uint32_t i = 0; i < length; ++i) id = id << 8 | d[i];
    return id;
}

// A data size (1 to 8 bytes, marker removed); kUnknownSize when all its
// value bits are ones. False when invalid.
bool ReadSize(const uint8_t* d, uint32_t n, uint32_t& length, uint64_t& size) {
    if (n == 0 || d[0] == 0) return false;
    length = 1;
    while (!(d[0] & (0x80 >> (length - 1)))) ++length;
    if (length > n) return false;
    uint64_t v = d[0] & (0xFF >> length);
    bool allOnes = v == (0xFFu >> length);
    for (uint32_t i = 1; i < length; ++i) {
        v = v << 8 | d[i];
        allOnes = allOnes && d[i] == 0xFF;
    }
    size = allOnes ? kUnknownSize : v;
    return true;
}

bool IsTopLevelId(uint32_t id) {
    switch (id) {
        case 0x114D9B74:  // SeekHead
        case 0x1549A966:  // Info
        case 0x1654AE6B:  // Tracks
        case 0x1F43B675:  // Cluster
        case 0x1C53BB6B:  // Cues
        case 0x1254C367:  // Tags
        case 0x1043A770:  // Chapters
        case 0x1941A469:  // Attachments
        case 0xEC:        // Void
        case 0xBF:        // CRC-32
            return true;
        default:
            return false;
    }
}

// The element header at position: ID, data size, header length.
bool ReadElement(CarveContext& c, uint64_t position, uint32_t& id, uint64_t& size, uint32_t& headerLength) {
    if (!ReadSome(c, position, 12, 2)) return false;
    uint32_t idLength = 0, sizeLength = 0;
    id = ReadId(c.Data(), c.length, idLength);
    if (id == 0 || !ReadSize(c.Data() + idLength, c.length - idLength, sizeLength, size)) return false;
    headerLength = idLength + sizeLength;
    return true;
}

}  // namespace

bool MatroskaProviderDetect(CarveContext& c) {
    uint32_t id = 0, headerLength = 0;
    uint64_t size = 0;
    if (!ReadElement(c, 0, id, size, headerLength) || id != kEbmlId) return false;
    if (size == kUnknownSize || size > kEbmlMaxHeader) return false;
    // The header's children: find DocType.
    const uint64_t headerEnd = headerLength + size;
    bool webm = false, matroska = false;
    for (uint64_t q = headerLength; q < headerEnd;) {
        uint32_t childId = 0, childHeader = 0;
        uint64_t childSize = 0;
        if (!ReadElement(c, q, childId, childSize, childHeader) || childSize == kUnknownSize) return false;
        if (q + childHeader + childSize > headerEnd) return false;
        if (childId == kDocTypeId && childSize >= 4 && childSize <= 16) {
            if (!c.ReadAt(q + childHeader, static_cast<uint32_t>(childSize))) return false;
            std::string docType(reinterpret_cast<const char*>(c.Data()), static_cast<size_t>(childSize));
            docType.erase(std::find(docType.begin(), docType.end(), '\0'), docType.end());
            webm = docType == "webm";
            matroska = docType == "matroska";
        }
        q += childHeader + childSize;
    }
    if (!webm && !matroska) return false;

    if (!ReadElement(c, headerEnd, id, size, headerLength) || id != kSegmentId) return false;
    const uint64_t dataStart = headerEnd + headerLength;
    uint64_t end = 0;
    if (size != kUnknownSize) {
        uint32_t childId = 0, childHeader = 0;
        uint64_t childSize = 0;
        if (!ReadElement(c, dataStart, childId, childSize, childHeader) || !IsTopLevelId(childId)) return false;
        end = dataStart + size;
    } else {
        uint64_t q = dataStart;
        bool cluster = false;
        for (uint32_t n = 0; n < kMatroskaMaxElements; ++n) {
            if (c.Stopped() || q > UINT32_MAX) return false;
            uint32_t childId = 0, childHeader = 0;
            uint64_t childSize = 0;
            if (!ReadElement(c, q, childId, childSize, childHeader) || !IsTopLevelId(childId)) {
                end = q;
                break;
            }
            if (childSize == kUnknownSize) return false;
            cluster = cluster || childId == 0x1F43B675;
            q += childHeader + childSize;
        }
        if (end == 0 || !cluster) return false;
    }
    if (end > UINT32_MAX) return false;
    // Each key is reported only while enabled (without a type set: by DocType).
    const char16_t* key = webm ? u"webm" : u"mkv";
    if (c.scanner && !TypeEnabled(c, key)) return false;
    c.size = end;
    c.typeKey = key;
    return true;
}

const ProviderDescriptor kFLACProvider {u"FLACProvider", u"FLAC audio", FLACProviderDetect, kFlacKeys, {0, "f"}};
const ProviderDescriptor kOggProvider {u"OggProvider", u"Ogg audio and video streams", OggProviderDetect, kOggKeys,
                                       {0, "O"}};
const ProviderDescriptor kMatroskaProvider {u"MatroskaProvider", u"Matroska and WebM video", MatroskaProviderDetect,
                                            kMatroskaKeys, {0, "\x1A"}};
