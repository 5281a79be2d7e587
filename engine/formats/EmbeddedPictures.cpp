#include "engine/formats/EmbeddedPictures.h"

#include <algorithm>
#include <cstring>

namespace preview {

namespace {

constexpr size_t kMaxIfds = 64;
constexpr uint32_t kMaxIfdEntries = 1000;
constexpr size_t kMaxJpegSegments = 4096;

constexpr uint16_t kTagCompression = 0x0103;
constexpr uint16_t kTagStripOffsets = 0x0111;
constexpr uint16_t kTagStripByteCounts = 0x0117;
constexpr uint16_t kTagSubIfds = 0x014A;
constexpr uint16_t kTagJpegOffset = 0x0201;
constexpr uint16_t kTagJpegLength = 0x0202;
constexpr uint16_t kTagExifIfd = 0x8769;

constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeIfd = 13;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// One JPEG segment: its marker and where it lies. end may pass the bytes.
struct Segment {
    uint8_t marker = 0;
    size_t start = 0;  // the FF of the marker
    uint64_t end = 0;  // the byte after the segment (after the marker of a standalone one)
};

bool IsFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}
bool IsStandalone(uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9); }

// The segment at pos (fill bytes FF FF before the marker skipped); false
// when no marker lies there, or its length field is cut or below 2.
bool SegmentAt(const uint8_t* data, size_t size, size_t pos, Segment& seg) {
    if (pos >= size || data[pos] != 0xFF) return false;
    while (pos + 1 < size && data[pos + 1] == 0xFF) ++pos;
    if (pos + 1 >= size) return false;
    seg.marker = data[pos + 1];
    seg.start = pos;
    if (IsStandalone(seg.marker)) {
        seg.end = pos + 2;
        return true;
    }
    if (pos + 4 > size) return false;
    const uint16_t length = Be16(data + pos + 2);
    if (length < 2) return false;
    seg.end = uint64_t(pos) + 2 + length;
    return true;
}

bool StartsJpeg(const uint8_t* data, size_t size) { return size >= 2 && data[0] == 0xFF && data[1] == 0xD8; }

// A TIFF structure: its header at base in the file, its offsets relative to
// it, its IFDs read within the file's bytes up to limit (the end of an Exif
// segment); its pictures checked against all the file's bytes.
class TiffWalk {
public:
    TiffWalk(const uint8_t* data, size_t size, uint64_t base, uint64_t limit)
        : m_data(data), m_size(size), m_base(base), m_limit(std::min<uint64_t>(limit, size)) {}

    // Reads the header (byte order, IFD0) and walks the IFDs.
    void Run(std::vector<EmbeddedPicture>& found) {
        uint32_t ifd0 = 0;
        if (!Header(ifd0)) return;
        m_pending.push_back(ifd0);
        while (!m_pending.empty() && m_visited.size() < kMaxIfds) {
            const uint32_t at = m_pending.front();
            m_pending.erase(m_pending.begin());
            if (std::find(m_visited.begin(), m_visited.end(), at) != m_visited.end()) continue;
            m_visited.push_back(at);
            WalkIfd(at, found);
        }
    }

private:
    // The bytes [at, at + n) relative to the header, or null when they do not lie within limit.
    const uint8_t* Bytes(uint64_t at, uint64_t n) const {
        if (m_base > m_limit || at > m_limit - m_base || n > m_limit - m_base - at) return nullptr;
        return m_data + m_base + at;
    }
    uint16_t U16(const uint8_t* p) const { return m_little ? static_cast<uint16_t>(p[0] | p[1] << 8) : Be16(p); }
    uint32_t U32(const uint8_t* p) const {
        return m_little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                        : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
    }

    bool Header(uint32_t& ifd0) {
        const uint8_t* h = Bytes(0, 8);
        if (!h) return false;
        if (h[0] == 'I' && h[1] == 'I') {
            m_little = true;
            if (!(h[3] == 0 && (h[2] == 0x2A || h[2] == 'U')) && !(h[2] == 'R' && h[3] == 'O')) return false;
        } else if (h[0] == 'M' && h[1] == 'M') {
            m_little = false;
            if (!(h[2] == 0 && h[3] == 0x2A) && !(h[2] == 'O' && h[3] == 'R')) return false;
        } else {
            return false;
        }
        ifd0 = U32(h + 4);
        return true;
    }

    void Queue(uint32_t at) {
        if (at != 0 && m_pending.size() + m_visited.size() < kMaxIfds) m_pending.push_back(at);
    }

    // An entry's first value when it is one SHORT or LONG (inline).
    bool SingleValue(const uint8_t* entry, uint32_t& value) const {
        const uint16_t type = U16(entry + 2);
        if (U32(entry + 4) != 1) return false;
        if (type == kTypeShort) value = U16(entry + 8);
        else if (type == kTypeLong || type == kTypeIfd) value = U32(entry + 8);
        else return false;
        return true;
    }

    // SubIFDs: LONG or IFD values, inline when there is one, else at an offset.
    void QueueSubIfds(const uint8_t* entry) {
        const uint16_t type = U16(entry + 2);
        if (type != kTypeLong && type != kTypeIfd) return;
        const uint32_t count = std::min<uint32_t>(U32(entry + 4), kMaxIfds);
        const uint8_t* values = count <= 1 ? entry + 8 : Bytes(U32(entry + 8), uint64_t(count) * 4);
        if (!values) return;
        for (uint32_t i = 0; i < count; ++i) Queue(U32(values + 4 * i));
    }

    void WalkIfd(uint32_t at, std::vector<EmbeddedPicture>& found) {
        const uint8_t* head = Bytes(at, 2);
        if (!head) return;
        const uint32_t count = std::min<uint32_t>(U16(head), kMaxIfdEntries);
        bool haveJpegOffset = false, haveJpegLength = false, haveStrip = false, haveStripLength = false;
        uint32_t jpegOffset = 0, jpegLength = 0, strip = 0, stripLength = 0, compression = 0;
        uint32_t i = 0;
        for (; i < count; ++i) {
            const uint8_t* e = Bytes(uint64_t(at) + 2 + 12 * uint64_t(i), 12);
            if (!e) break;
            switch (U16(e)) {
                case kTagCompression: SingleValue(e, compression); break;
                case kTagStripOffsets: haveStrip = SingleValue(e, strip); break;
                case kTagStripByteCounts: haveStripLength = SingleValue(e, stripLength); break;
                case kTagJpegOffset: haveJpegOffset = SingleValue(e, jpegOffset); break;
                case kTagJpegLength: haveJpegLength = SingleValue(e, jpegLength); break;
                case kTagSubIfds: QueueSubIfds(e); break;
                case kTagExifIfd: {
                    uint32_t exif = 0;
                    if (SingleValue(e, exif)) Queue(exif);
                    break;
                }
                default: break;
            }
        }
        if (haveJpegOffset && haveJpegLength) Add(jpegOffset, jpegLength, found);
        if ((compression == 6 || compression == 7) && haveStrip && haveStripLength) Add(strip, stripLength, found);
        // The next IFD of the chain, when the whole IFD was there.
        if (i == count) {
            if (const uint8_t* next = Bytes(uint64_t(at) + 2 + 12 * uint64_t(count), 4)) Queue(U32(next));
        }
    }

    void Add(uint32_t offset, uint32_t length, std::vector<EmbeddedPicture>& found) const {
        if (length < kMinEmbeddedLength || length > kMaxEmbeddedLength) return;
        if (uint64_t(offset) + length > UINT32_MAX) return;
        const EmbeddedPicture picture{m_base + offset, length};
        // Its first bytes, as far as they lie within the file's bytes.
        if (picture.offset < m_size) {
            if (m_data[picture.offset] != 0xFF) return;
            if (picture.offset + 1 < m_size && m_data[picture.offset + 1] != 0xD8) return;
        }
        for (const EmbeddedPicture& p : found)
            if (p.offset == picture.offset && p.length == picture.length) return;
        found.push_back(picture);
    }

    const uint8_t* m_data;
    uint64_t m_size;
    uint64_t m_base;
    uint64_t m_limit;
    bool m_little = true;
    std::vector<uint32_t> m_pending;
    std::vector<uint32_t> m_visited;
};

void WalkTiff(const uint8_t* data, size_t size, uint64_t base, uint64_t limit, std::vector<EmbeddedPicture>& found) {
    TiffWalk(data, size, base, limit).Run(found);
}

}  // namespace

std::vector<EmbeddedPicture> FindEmbeddedPictures(const uint8_t* data, size_t size) {
    std::vector<EmbeddedPicture> found;
    if (!data) return found;
    if (StartsJpeg(data, size)) {
        // The APPn and COM segments after SOI; Exif sits in an APP1 among them.
        static constexpr uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
        size_t pos = 2;
        Segment seg;
        for (size_t n = 0; n < kMaxJpegSegments && SegmentAt(data, size, pos, seg); ++n) {
            if (!((seg.marker >= 0xE0 && seg.marker <= 0xEF) || seg.marker == 0xFE)) break;
            if (seg.marker == 0xE1 && seg.end >= seg.start + 10 && seg.start + 10 <= size &&
                std::memcmp(data + seg.start + 4, kExif, sizeof kExif) == 0)
                WalkTiff(data, size, seg.start + 10, seg.end, found);
            if (seg.end >= size) break;
            pos = static_cast<size_t>(seg.end);
        }
    } else {
        WalkTiff(data, size, 0, size, found);
    }
    std::stable_sort(found.begin(), found.end(), [](const EmbeddedPicture& a, const EmbeddedPicture& b) {
        return a.length != b.length ? a.length < b.length : a.offset < b.offset;
    });
    if (found.size() > kMaxEmbeddedPictures) found.resize(kMaxEmbeddedPictures);
    return found;
}

bool JpegDimensions(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
    if (!data || !StartsJpeg(data, size)) return false;
    size_t pos = 2;
    Segment seg;
    for (size_t n = 0; n < kMaxJpegSegments && SegmentAt(data, size, pos, seg); ++n) {
        if (seg.marker == 0xDA || seg.marker == 0xD9) return false;
        if (IsFrameHeader(seg.marker)) {
            // FF Cn, length, precision, height, width, components.
            if (seg.end < seg.start + 10 || seg.start + 9 > size) return false;
            height = Be16(data + seg.start + 5);
            width = Be16(data + seg.start + 7);
            return true;
        }
        if (seg.end >= size) return false;
        pos = static_cast<size_t>(seg.end);
    }
    return false;
}

}  // namespace preview
