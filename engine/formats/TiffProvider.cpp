// TIFF and DNG recogniser, and the IFD walk it shares with the camera raw
// recognisers (TiffWalk.h names the rules and the bounds of the walk).
//
// The TIFF recogniser walks the IFD chain (and the SubIFDs trees) from the
// header under the TIFF rules, with every position capped at 62,914,560
// bytes and every IFD at 426 entries, and needs an IFD describing a
// full-resolution image. A file that the camera raw rules name (a maker's
// header, or a maker's Make with colour-filter-array data, without
// DNGVersion) is left to the camera raw recogniser.
//
// Bounds of the walk beyond TiffWalk.h:
// - an IFD without NewSubfileType is a full-resolution image (the tag's
//   default value is 0; most writers omit it);
// - RowsPerStrip absent or 0 means one strip for the whole image (the tag's
//   default is 2^32 - 1); the strip count is computed after all entries, so
//   an IFD whose tags are out of order is measured the same way;
// - piece counts are kept in 64 bits, and the IFD type (13) has 4-byte
//   elements like LONG.
#include "engine/formats/TiffWalk.h"

#include <algorithm>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kTiffKeys[] = {u"tif", u"dng"};

constexpr uint32_t kMaxIfds = 1024;
constexpr int kMaxSubIfdDepth = 4;
constexpr uint32_t kMaxCount = 0x100000;
constexpr uint32_t kMaxDimension = 50000;

constexpr uint16_t kTagNewSubfileType = 254;
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
constexpr uint16_t kTagPhotometric = 262;
constexpr uint16_t kTagImageDescription = 270;
constexpr uint16_t kTagMake = 271;
constexpr uint16_t kTagModel = 272;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagRowsPerStrip = 278;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagDateTime = 306;
constexpr uint16_t kTagArtist = 315;
constexpr uint16_t kTagTileWidth = 322;
constexpr uint16_t kTagTileLength = 323;
constexpr uint16_t kTagTileOffsets = 324;
constexpr uint16_t kTagTileByteCounts = 325;
constexpr uint16_t kTagSubIfds = 330;
constexpr uint16_t kTagJpegOffset = 513;
constexpr uint16_t kTagJpegLength = 514;
constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagGpsIfd = 34853;
constexpr uint16_t kTagInteropIfd = 40965;
constexpr uint16_t kTagDngVersion = 50706;

// Panasonic RW2, IFD 0: the sensor's size in pixels, the raw data's
// compression and where the raw data starts. Packed raw data (compression
// 34316) holds 14 pixels in 16 bytes, each row in whole groups, and is
// written in whole blocks of 16,384 bytes; the cameras mark its strips absent
// (offset 2^32 - 1, 0 bytes).
constexpr uint16_t kMagicRw2 = 0x0055;
constexpr uint16_t kTagRw2SensorWidth = 0x0002;
constexpr uint16_t kTagRw2SensorHeight = 0x0003;
constexpr uint16_t kTagRw2Compression = 0x000B;
constexpr uint16_t kTagRw2RawDataOffset = 0x0118;
constexpr uint32_t kRw2Packed = 34316;
constexpr uint64_t kRw2PixelsPerGroup = 14, kRw2GroupBytes = 16, kRw2BlockBytes = 16384;

constexpr uint32_t kPhotometricCfa = 32803;
constexpr uint32_t kPhotometricLinearRaw = 34892;

uint32_t ElementSize(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

}  // namespace

TiffWalk::TiffWalk(CarveContext& c, Rules rules, uint64_t positionCap)
    : m_c(c), m_raw(rules == Rules::CameraRaw), m_cap(positionCap) {}

uint16_t TiffWalk::U16(const uint8_t* p) const {
    return m_f.bigEndian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t TiffWalk::U32(const uint8_t* p) const {
    return m_f.bigEndian ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                         : (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

uint32_t TiffWalk::Element(const uint8_t* p, uint32_t size) const {
    switch (size) {
        case 1: return p[0];
        case 2: return U16(p);
        case 4: return U32(p);
        default: return 0;  // 8-byte elements are no offsets or counts
    }
}

bool TiffWalk::ReadHeader() {
    if (!m_c.ReadAt(uint64_t(0), 8)) return false;
    const uint8_t* h = m_c.Data();
    if (h[0] == 'I' && h[1] == 'I')
        m_f.bigEndian = false;
    else if (h[0] == 'M' && h[1] == 'M')
        m_f.bigEndian = true;
    else
        return false;
    m_f.magic = U16(h + 2);
    m_f.firstIfd = U32(h + 4);
    if (m_f.firstIfd > m_cap) return false;
    if (m_f.magic == 42 && m_c.ReadAt(uint64_t(8), 8)) {
        const uint8_t* cr = m_c.Data();
        m_f.canonHeader = cr[0] == 'C' && cr[1] == 'R' && cr[2] == 2;
        if (m_f.canonHeader) m_f.canonRawIfd = U32(cr + 4);
    }
    return true;
}

bool TiffWalk::Seen(uint64_t o) const { return std::find(m_visited.begin(), m_visited.end(), o) != m_visited.end(); }

bool TiffWalk::WalkChain() {
    bool main = false;
    uint64_t next = m_f.firstIfd;
    while (next != 0) {
        if (m_c.Stopped()) return false;
        uint64_t following = 0;
        const bool ok = ParseIfd(next, main, following, 0, false);
        if (!ok && (main || m_raw)) return false;
        next = following;
    }
    m_f.main = m_f.main || main;
    return true;
}

bool TiffWalk::WalkExtra(uint32_t offset) {
    if (Seen(offset)) return true;
    bool main = false;
    uint64_t ignored = 0;
    if (!ParseIfd(offset, main, ignored, 0, false)) return false;
    m_f.main = m_f.main || main;
    return true;
}

// Elements [first, first + n) of a value as 32-bit numbers; n x element
// size must fit the buffer.
bool TiffWalk::ReadElements(const ValueRef& v, uint64_t first, uint32_t n, std::vector<uint32_t>& out) {
    out.assign(n, 0);
    const uint32_t es = v.elementSize;
    if (es != 1 && es != 2 && es != 4) return true;  // no usable elements: zeros
    if (v.bytes <= 4) {
        for (uint32_t i = 0; i < n; ++i) {
            uint64_t at = (first + i) * es;
            if (at + es <= 4) out[i] = Element(v.field + at, es);
        }
        return true;
    }
    if (!m_c.ReadAt(uint64_t(v.offset) + first * es, n * es)) return false;
    const uint8_t* d = m_c.Data();
    for (uint32_t i = 0; i < n; ++i) out[i] = Element(d + uint64_t(i) * es, es);
    return true;
}

// A text value cut to the buffer and at its first NUL.
bool TiffWalk::ReadText(const ValueRef& v, std::string& out) {
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(v.bytes, kCarveBufferSize));
    std::string text;
    if (v.bytes <= 4) {
        text.assign(reinterpret_cast<const char*>(v.field), take);
    } else {
        if (!m_c.ReadAt(uint64_t(v.offset), take)) return false;
        text.assign(reinterpret_cast<const char*>(m_c.Data()), take);
    }
    out = text.substr(0, text.find('\0'));
    return true;
}

// The IFDs a SubIFDs or IFD-pointer value names, one level down.
bool TiffWalk::WalkTree(const ValueRef& v, bool& main, int depth, bool valuesOnly) {
    const uint64_t subs = v.present ? v.Elements() : 0;
    std::vector<uint32_t> offsets;
    for (uint64_t i = 0; i < subs;) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(subs - i, 1024));
        if (!ReadElements(v, i, chunk, offsets)) return false;
        for (uint32_t k = 0; k < chunk; ++k) {
            if (depth + 1 > kMaxSubIfdDepth) return false;
            bool subMain = false;
            uint64_t ignored = 0;
            const bool ok = ParseIfd(offsets[k], subMain, ignored, depth + 1, valuesOnly);
            if (subMain) main = true;
            if (!ok) return false;
        }
        i += chunk;
    }
    return true;
}

bool TiffWalk::ParseIfd(uint64_t o, bool& main, uint64_t& next, int depth, bool valuesOnly) {
    next = 0;
    if (++m_ifds > kMaxIfds || o > m_cap || (m_raw && o < 8)) return false;
    if (Seen(o)) return false;
    m_visited.push_back(o);

    if (!m_c.ReadAt(o, 2)) return false;
    const uint32_t n = U16(m_c.Data());
    if (n > kTiffMaxEntries) return false;
    const uint32_t blockBytes = n * 12 + 4;
    if (!m_c.ReadAt(o + 2, blockBytes)) return false;
    const std::vector<uint8_t> block(m_c.Data(), m_c.Data() + blockBytes);
    Extend(o + uint64_t(n) * 12 + 6);

    uint32_t width = 0, length = 0, tileWidth = 0, tileLength = 0, rowsPerStrip = 0;
    uint32_t jpegOffset = 0, jpegLength = 0;
    uint32_t rw2Width = 0, rw2Height = 0, rw2Compression = 0, rw2RawOffset = 0;
    bool haveRowsPerStrip = false, haveSubfileType = false, reduced = false, haveJpeg = false, haveRw2Raw = false;
    ValueRef offsets, counts, subIfds, exif, gps, interop, make, model, description, artist;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* e = block.data() + uint64_t(i) * 12;
        const uint16_t tag = U16(e);
        const uint32_t es = ElementSize(U16(e + 2));
        const uint32_t count = U32(e + 4);
        // Byte values of a camera file (an embedded JPEG, a maker note) are
        // never read element by element: the position cap bounds them.
        if (count > kMaxCount && !(m_raw && es == 1)) return false;
        ValueRef v;
        v.present = true;
        v.bytes = uint64_t(count) * es;
        v.elementSize = es;
        std::copy(e + 8, e + 12, v.field);
        uint32_t value = 0;
        if (v.bytes <= 4) {
            value = Element(e + 8, es);
        } else {
            v.offset = U32(e + 8);
            if (uint64_t(v.offset) + v.bytes > m_cap) return false;
            Extend(uint64_t(v.offset) + v.bytes);
            value = v.offset;
        }
        switch (tag) {
            case kTagMake: make = v; continue;
            case kTagModel: model = v; continue;
            case kTagImageDescription: description = v; continue;
            case kTagArtist: artist = v; continue;
            case kTagExifIfd: exif = v; continue;
            case kTagGpsIfd: gps = v; continue;
            case kTagInteropIfd: interop = v; continue;
            default: break;
        }
        if (valuesOnly) continue;
        switch (tag) {
            case kTagNewSubfileType:
                haveSubfileType = true;
                reduced = value & 1;
                if (!reduced && !m_raw) main = true;
                break;
            case kTagImageWidth: width = value; if (value > kMaxDimension) return false; break;
            case kTagImageLength: length = value; if (value > kMaxDimension) return false; break;
            case kTagTileWidth: tileWidth = value; if (value > kMaxDimension) return false; break;
            case kTagTileLength: tileLength = value; if (value > kMaxDimension) return false; break;
            case kTagStripOffsets: case kTagTileOffsets: offsets = v; break;
            case kTagStripByteCounts: case kTagTileByteCounts: counts = v; break;
            case kTagRowsPerStrip: haveRowsPerStrip = true; rowsPerStrip = value; break;
            case kTagDateTime: if (!m_raw && v.bytes != 20) return false; break;
            case kTagSubIfds: subIfds = v; break;
            case kTagDngVersion: m_f.dng = true; break;
            case kTagPhotometric:
                if (value == kPhotometricCfa || value == kPhotometricLinearRaw) m_f.cfa = true;
                break;
            case kTagJpegOffset: jpegOffset = value; haveJpeg = true; break;
            case kTagJpegLength: jpegLength = value; break;
            case kTagRw2SensorWidth: rw2Width = value; break;
            case kTagRw2SensorHeight: rw2Height = value; break;
            case kTagRw2Compression: rw2Compression = value; break;
            case kTagRw2RawDataOffset: rw2RawOffset = value; haveRw2Raw = true; break;
            default: break;
        }
    }

    uint64_t pieces = 0;
    const bool rw2Packed = m_raw && !valuesOnly && depth == 0 && m_f.magic == kMagicRw2 && haveRw2Raw &&
                           rw2Compression == kRw2Packed;
    if (valuesOnly) {
        // An Exif, GPS or Interoperability IFD: its values only.
    } else if (!m_raw) {
        if (!haveSubfileType) main = true;
        // Strips and tiles as the image's size asks.
        uint64_t strips = 0;
        if (length > 0)
            strips = (haveRowsPerStrip && rowsPerStrip != 0) ? (uint64_t(length) + rowsPerStrip - 1) / rowsPerStrip : 1;
        if (tileWidth != 0) {
            if (tileLength == 0 || haveRowsPerStrip) return false;
            pieces = ((uint64_t(width) + tileWidth - 1) / tileWidth) * ((uint64_t(length) + tileLength - 1) / tileLength);
        } else {
            if (tileLength != 0) return false;
            pieces = strips;
        }
        if (offsets.elementSize == 0 || counts.elementSize == 0) return false;
        if (offsets.Elements() != pieces || counts.Elements() != pieces) return false;
    } else {
        // Strips as listed; both arrays or neither.
        if (offsets.present != counts.present) return false;
        if (offsets.present) {
            if (offsets.elementSize == 0 || counts.elementSize == 0 || offsets.Elements() != counts.Elements())
                return false;
            pieces = offsets.Elements();
        }
        if (pieces > 0 && !reduced) main = true;
        if (rw2Packed) {
            if (rw2Width == 0 || rw2Height == 0 || rw2Width > kMaxDimension || rw2Height > kMaxDimension ||
                rw2RawOffset < 8)
                return false;
            const uint64_t packed =
                uint64_t(rw2Height) * ((rw2Width + kRw2PixelsPerGroup - 1) / kRw2PixelsPerGroup) * kRw2GroupBytes;
            const uint64_t end = uint64_t(rw2RawOffset) + (packed + kRw2BlockBytes - 1) / kRw2BlockBytes * kRw2BlockBytes;
            if (end > m_cap) return false;
            Extend(end);
            main = true;
        }
        if (haveJpeg && jpegLength != 0) {
            if (jpegOffset < 8 || uint64_t(jpegOffset) + jpegLength > m_cap) return false;
            Extend(uint64_t(jpegOffset) + jpegLength);
        }
    }

    const uint32_t nextOffset = U32(block.data() + uint64_t(n) * 12);
    if (nextOffset > m_cap) return false;
    next = valuesOnly ? 0 : nextOffset;

    // Text of the first IFD that carries it.
    struct {
        const ValueRef& value;
        std::string& text;
    } texts[] = {{artist, m_f.artist}, {make, m_f.make}, {model, m_f.model}, {description, m_f.description}};
    for (auto& t : texts)
        if (t.text.empty() && t.value.present && t.value.bytes > 0 && !ReadText(t.value, t.text)) return false;

    // Pieces, in chunks that fit the buffer.
    std::vector<uint32_t> pieceOffsets, pieceCounts;
    for (uint64_t i = 0; i < pieces;) {
        if (m_c.Stopped()) return false;
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(pieces - i, 1024));
        if (!ReadElements(offsets, i, chunk, pieceOffsets) || !ReadElements(counts, i, chunk, pieceCounts))
            return false;
        for (uint32_t k = 0; k < chunk; ++k) {
            const uint64_t off = pieceOffsets[k], cnt = pieceCounts[k];
            if (rw2Packed && cnt == 0) continue;  // the strips marked absent
            if (off >= m_cap || off + cnt > m_cap) return false;
            if (m_raw && (cnt == 0 || off < 8)) return false;
            Extend(off + cnt);
        }
        i += chunk;
    }

    if (!WalkTree(subIfds, main, depth, false)) return false;
    if (m_raw) {
        bool ignored = false;
        for (const ValueRef* pointer : {&exif, &gps, &interop})
            if (pointer->present && !WalkTree(*pointer, ignored, depth, true)) return false;
    }
    return true;
}

namespace {

bool TiffDetect(CarveContext& c) {
    TiffWalk walk(c, TiffWalk::Rules::Tiff, kTiffPositionCap);
    if (!walk.ReadHeader() || walk.Facts().magic != 42 || !walk.WalkChain()) return false;
    const TiffFacts& f = walk.Facts();
    if (!f.main || f.extent == 0 || f.extent > UINT32_MAX) return false;
    if (!CameraRawTypeKey(f).empty()) return false;  // the camera raw recogniser's
    c.size = f.extent;
    c.typeKey = f.dng ? u"dng" : u"tif";
    if (!f.artist.empty()) c.author = CodePageToUtf16(f.artist);
    return true;
}

}  // namespace

bool TIFFProviderDetect(CarveContext& c) { return TiffDetect(c); }

const ProviderDescriptor kTIFFProvider {u"TIFFProvider", u"TIFF images and DNG camera raw files", TIFFProviderDetect,
                                        kTiffKeys, {0, "IM"}};
