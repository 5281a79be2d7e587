// TIFF and DNG recogniser: walks the IFD chain (and the SubIFDs trees) from
// the header, tracking the extent - the largest end of anything the file is
// seen to hold (IFDs, out-of-line values, strips and tiles) - and whether an
// IFD describes a full-resolution image. Every position is capped at
// 62,914,560 bytes and every IFD at 426 entries.
//
// Bounds of this implementation:
// - an IFD offset met a second time (a chain or SubIFDs tree that loops)
//   fails that IFD, at most 1,024 IFDs are parsed per candidate and SubIFDs
//   nest at most 4 deep;
// - out-of-line arrays (strip/tile offsets and byte counts, SubIFDs) are read
//   in buffer-sized pieces; an Artist longer than the buffer is cut to it;
// - an IFD without NewSubfileType is a full-resolution image (the tag's
//   default value is 0; most writers omit it);
// - RowsPerStrip absent or 0 means one strip for the whole image (the tag's
//   default is 2^32 - 1); the strip count is computed after all entries, so
//   an IFD whose tags are out of order is measured the same way;
// - piece counts are kept in 64 bits, and the IFD type (13) has 4-byte
//   elements like LONG.
#include <algorithm>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kTiffKeys[] = {u"tif", u"dng"};

constexpr uint32_t kMaxIfds = 1024;
constexpr int kMaxSubIfdDepth = 4;
constexpr uint32_t kMaxCount = 0x100000;

constexpr uint16_t kTagNewSubfileType = 254;
constexpr uint16_t kTagImageWidth = 256;
constexpr uint16_t kTagImageLength = 257;
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
constexpr uint16_t kTagDngVersion = 50706;

uint32_t ElementSize(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

// A tag's value: inline (up to 4 bytes, in the value field) or at an offset.
struct ValueRef {
    bool present = false;
    uint64_t bytes = 0;
    uint32_t elementSize = 0;
    uint8_t field[4] = {};
    uint32_t offset = 0;
    uint64_t Elements() const { return elementSize ? bytes / elementSize : 0; }
};

class TiffParser {
public:
    explicit TiffParser(CarveContext& c) : m_c(c) {}

    bool Detect() {
        if (!m_c.ReadAt(uint64_t(0), 8)) return false;
        const uint8_t* h = m_c.Data();
        const uint16_t order = static_cast<uint16_t>(h[0] | h[1] << 8);
        if (order == 0x4949)
            m_big = false;
        else if (order == 0x4D4D)
            m_big = true;
        else
            return false;
        if (U16(h + 2) != 42) return false;
        const uint32_t first = U32(h + 4);
        if (first > kTiffPositionCap) return false;
        bool main = false;
        uint64_t next = first;
        while (next != 0) {
            if (m_c.Stopped()) return false;
            uint64_t following = 0;
            const bool ok = ParseIfd(next, main, following, 0);
            if (!ok && main) return false;
            next = following;
        }
        if (!main || m_extent == 0 || m_extent > UINT32_MAX) return false;
        m_c.size = m_extent;
        m_c.typeKey = m_dng ? u"dng" : u"tif";
        if (!m_artist.empty()) m_c.author = CodePageToUtf16(m_artist);
        return true;
    }

private:
    uint16_t U16(const uint8_t* p) const {
        return m_big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[0] | p[1] << 8);
    }
    uint32_t U32(const uint8_t* p) const {
        return m_big ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                     : (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    }
    uint32_t Element(const uint8_t* p, uint32_t size) const {
        switch (size) {
            case 1: return p[0];
            case 2: return U16(p);
            case 4: return U32(p);
            default: return 0;  // 8-byte elements are no offsets or counts
        }
    }
    void Extend(uint64_t end) { m_extent = std::max(m_extent, end); }

    // Elements [first, first + n) of a value as 32-bit numbers; n x element
    // size must fit the buffer.
    bool ReadElements(const ValueRef& v, uint64_t first, uint32_t n, std::vector<uint32_t>& out) {
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

    bool ParseIfd(uint64_t o, bool& main, uint64_t& next, int depth) {
        next = 0;
        if (++m_ifds > kMaxIfds || o > kTiffPositionCap) return false;
        if (std::find(m_visited.begin(), m_visited.end(), o) != m_visited.end()) return false;
        m_visited.push_back(o);

        if (!m_c.ReadAt(o, 2)) return false;
        const uint32_t n = U16(m_c.Data());
        if (n > kTiffMaxEntries) return false;
        const uint32_t blockBytes = n * 12 + 4;
        if (!m_c.ReadAt(o + 2, blockBytes)) return false;
        const std::vector<uint8_t> block(m_c.Data(), m_c.Data() + blockBytes);
        Extend(o + uint64_t(n) * 12 + 6);

        uint32_t width = 0, length = 0, tileWidth = 0, tileLength = 0, rowsPerStrip = 0;
        bool haveRowsPerStrip = false, haveSubfileType = false;
        ValueRef offsets, counts, artist, subIfds;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = block.data() + uint64_t(i) * 12;
            const uint16_t tag = U16(e);
            const uint32_t es = ElementSize(U16(e + 2));
            const uint32_t count = U32(e + 4);
            if (count > kMaxCount) return false;
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
                if (uint64_t(v.offset) + v.bytes > kTiffPositionCap) return false;
                Extend(uint64_t(v.offset) + v.bytes);
                value = v.offset;
            }
            switch (tag) {
                case kTagNewSubfileType:
                    haveSubfileType = true;
                    if (!(value & 1)) main = true;
                    break;
                case kTagImageWidth: width = value; if (value > 50000) return false; break;
                case kTagImageLength: length = value; if (value > 50000) return false; break;
                case kTagTileWidth: tileWidth = value; if (value > 50000) return false; break;
                case kTagTileLength: tileLength = value; if (value > 50000) return false; break;
                case kTagStripOffsets: case kTagTileOffsets: offsets = v; break;
                case kTagStripByteCounts: case kTagTileByteCounts: counts = v; break;
                case kTagRowsPerStrip: haveRowsPerStrip = true; rowsPerStrip = value; break;
                case kTagDateTime: if (v.bytes != 20) return false; break;
                case kTagArtist: artist = v; break;
                case kTagSubIfds: subIfds = v; break;
                case kTagDngVersion: m_dng = true; break;
                default: break;
            }
        }
        if (!haveSubfileType) main = true;

        // Strips and tiles.
        uint64_t strips = 0;
        if (length > 0) strips = (haveRowsPerStrip && rowsPerStrip != 0) ? (uint64_t(length) + rowsPerStrip - 1) / rowsPerStrip : 1;
        uint64_t pieces = 0;
        if (tileWidth != 0) {
            if (tileLength == 0 || haveRowsPerStrip) return false;
            pieces = ((uint64_t(width) + tileWidth - 1) / tileWidth) * ((uint64_t(length) + tileLength - 1) / tileLength);
        } else {
            if (tileLength != 0) return false;
            pieces = strips;
        }
        if (offsets.elementSize == 0 || counts.elementSize == 0) return false;
        if (offsets.Elements() != pieces || counts.Elements() != pieces) return false;

        const uint32_t nextOffset = U32(block.data() + uint64_t(n) * 12);
        if (nextOffset > kTiffPositionCap) return false;
        next = nextOffset;

        if (!m_artistTaken && artist.present && artist.bytes > 0) {
            m_artistTaken = true;
            const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(artist.bytes, kCarveBufferSize));
            std::string text;
            if (artist.bytes <= 4) {
                text.assign(reinterpret_cast<const char*>(artist.field), take);
            } else {
                if (!m_c.ReadAt(uint64_t(artist.offset), take)) return false;
                text.assign(reinterpret_cast<const char*>(m_c.Data()), take);
            }
            m_artist = text.substr(0, text.find('\0'));
        }

        // Pieces, in chunks that fit the buffer.
        std::vector<uint32_t> pieceOffsets, pieceCounts;
        for (uint64_t i = 0; i < pieces;) {
            if (m_c.Stopped()) return false;
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(pieces - i, 1024));
            if (!ReadElements(offsets, i, chunk, pieceOffsets) || !ReadElements(counts, i, chunk, pieceCounts))
                return false;
            for (uint32_t k = 0; k < chunk; ++k) {
                const uint64_t off = pieceOffsets[k], cnt = pieceCounts[k];
                if (off >= kTiffPositionCap || off + cnt > kTiffPositionCap) return false;
                Extend(off + cnt);
            }
            i += chunk;
        }

        // SubIFDs.
        const uint64_t subs = subIfds.present ? subIfds.Elements() : 0;
        std::vector<uint32_t> subOffsets;
        for (uint64_t i = 0; i < subs;) {
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(subs - i, 1024));
            if (!ReadElements(subIfds, i, chunk, subOffsets)) return false;
            for (uint32_t k = 0; k < chunk; ++k) {
                if (depth + 1 > kMaxSubIfdDepth) return false;
                bool subMain = false;
                uint64_t ignored = 0;
                const bool ok = ParseIfd(subOffsets[k], subMain, ignored, depth + 1);
                if (subMain) main = true;
                if (!ok) return false;
            }
            i += chunk;
        }
        return true;
    }

    CarveContext& m_c;
    bool m_big = false;
    uint64_t m_extent = 0;
    bool m_dng = false;
    bool m_artistTaken = false;
    std::string m_artist;
    std::vector<uint64_t> m_visited;
    uint32_t m_ifds = 0;
};

}  // namespace

bool TIFFProviderDetect(CarveContext& c) { return TiffParser(c).Detect(); }

const ProviderDescriptor kTIFFProvider {u"TIFFProvider", u"TIFF images and DNG camera raw files", TIFFProviderDetect,
                                        kTiffKeys};
