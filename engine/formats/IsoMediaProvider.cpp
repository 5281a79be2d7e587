// ISO base media files: MP4, M4A, M4V, 3GP, HEIC, HEIF, AVIF and Canon CR3
// raw photos, and the brand rule that splits them from QuickTime movies.
//
// Which type a file is comes from its leading "ftyp" box alone
// (IsoFtypTypeKey): a specific major brand names the type; a generic one
// ("isom", "mp42", "mif1", ...) gives way to the first specific compatible
// brand, and only without one names its own type (mp4 or heif). The brand
// "qt  " means a QuickTime movie: that file is the QuickTime recogniser's
// (MediaProviders.cpp), which asks the same function, so that no file is
// claimed by both or under the wrong key.
//
// The top-level boxes are walked from the ftyp to the last one; the file
// ends where the last valid top-level box ends. A box is valid when its
// header can be read, its type is one of the top-level types below, its
// 32-bit size is at least 8 (or 1, then its 64-bit size is at least 16) and
// it ends within kCarvedSizeCap. A size of 0 ("to the end of the file")
// cannot be bounded on a disk and makes the box invalid. A second ftyp or
// moov belongs to another file and ends the walk as well. When the walk
// ends, the file must be complete, else it is no find:
// - movies and audio (and CR3) need a moov and an mdat; the moov must hold a
//   movie header (version 0 or 1, its full length, a nonzero time scale) and
//   children that fill it exactly; a CR3's moov must hold Canon's uuid box;
// - HEIF images (heic, heif, avif) need a meta box (version 0) with a
//   "pict" handler, pitm, iloc and iinf children that fill it exactly, or a
//   moov and an mdat (image sequences). Every file extent listed in its
//   iloc must lie inside the walked boxes.
//
// Bounds of this implementation: at most kIsoMaxTopBoxes top-level boxes (a
// file with more is not taken rather than taken short), at most
// kIsoMaxChildren children per box looked into, an ftyp of at most 256
// bytes, an iloc of at most the buffer's 5,120 bytes (a larger one is not
// checked against the extents). Title and author come from moov/udta:
// QuickTime text atoms "\xA9nam" and "\xA9ART", iTunes-style meta/ilst items
// of the same names (their "data" box) or 3GPP "titl" and "auth" boxes,
// UTF-8 or, with a byte-order mark, UTF-16; a text longer than the buffer is
// cut to it.
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kIsoKeys[] = {u"mp4", u"m4a", u"m4v", u"3gp", u"heic", u"heif", u"avif", u"cr3"};

constexpr uint32_t kFtypMaxSize = 256;

struct Brand {
    char name[5];
    std::u16string_view key;
};

// Brands that name one type.
constexpr Brand kSpecificBrands[] = {
    {"qt  ", u"mov"},  {"M4A ", u"m4a"},  {"M4B ", u"m4a"},  {"M4P ", u"m4a"},  {"M4V ", u"m4v"},
    {"M4VH", u"m4v"},  {"M4VP", u"m4v"},  {"heic", u"heic"}, {"heix", u"heic"}, {"heim", u"heic"},
    {"heis", u"heic"}, {"hevc", u"heic"}, {"hevx", u"heic"}, {"hevm", u"heic"}, {"hevs", u"heic"},
    {"avif", u"avif"}, {"avis", u"avif"}, {"avio", u"avif"}, {"crx ", u"cr3"},
};
// Brands that many kinds of files carry.
constexpr Brand kGenericBrands[] = {
    {"isom", u"mp4"}, {"iso2", u"mp4"}, {"iso3", u"mp4"}, {"iso4", u"mp4"}, {"iso5", u"mp4"}, {"iso6", u"mp4"},
    {"iso7", u"mp4"}, {"iso8", u"mp4"}, {"iso9", u"mp4"}, {"mp41", u"mp4"}, {"mp42", u"mp4"}, {"mp71", u"mp4"},
    {"avc1", u"mp4"}, {"dash", u"mp4"}, {"mmp4", u"mp4"}, {"MSNV", u"mp4"}, {"mif1", u"heif"}, {"msf1", u"heif"},
    {"miaf", u"heif"},
};

std::u16string_view SpecificKey(const uint8_t* b) {
    // 3GPP and 3GPP2 brands: "3gp4" ... "3gp9", "3gg6", "3gs7", "3ge6", "3gr6", "3gt8", "3g2a" ...
    if (b[0] == '3' && b[1] == 'g' && std::memchr("pgsert2", b[2], 7)) return u"3gp";
    for (const Brand& br : kSpecificBrands)
        if (std::memcmp(b, br.name, 4) == 0) return br.key;
    return {};
}

std::u16string_view GenericKey(const uint8_t* b) {
    for (const Brand& br : kGenericBrands)
        if (std::memcmp(b, br.name, 4) == 0) return br.key;
    return {};
}

bool IsHeifKey(std::u16string_view key) { return key == u"heic" || key == u"heif" || key == u"avif"; }

bool Printable(const uint8_t* t) {
    for (int i = 0; i < 4; ++i)
        if (t[i] < 0x20 || t[i] > 0x7E) return false;
    return true;
}

bool Is(const uint8_t* t, const char* type) { return std::memcmp(t, type, 4) == 0; }

// The box types that stand at the top level of the files taken here.
constexpr const char* kTopLevelTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "meta", "uuid",
                                          "moof", "mfra", "styp", "sidx", "ssix", "prft", "pdin", "udta",
                                          "emsg", "bloc"};

bool IsTopLevel(const uint8_t* t) {
    for (const char* k : kTopLevelTypes)
        if (Is(t, k)) return true;
    return false;
}

struct Box {
    uint64_t start = 0;
    uint64_t size = 0;    // the whole box, header included
    uint32_t header = 8;  // 8, or 16 with a 64-bit size
    uint8_t type[4] = {};
    uint64_t End() const { return start + size; }
    uint64_t Body() const { return start + header; }
};

// Reads the header of the box at p, which must end by limit. False for a
// read that fails, a size of 0 or below the header's own length, a type of
// other than four printable characters and a box past limit. A child's type
// may also start with the byte 0xA9 (the QuickTime and iTunes text atoms).
bool ReadBox(CarveContext& c, uint64_t p, uint64_t limit, Box& box, bool child = false) {
    if (p >= limit || limit - p < 8 || !c.ReadAt(p, 8)) return false;
    box.start = p;
    box.header = 8;
    box.size = c.Bytes().be32(0);
    std::memcpy(box.type, c.Data() + 4, 4);
    const uint8_t first = child && box.type[0] == 0xA9 ? uint8_t('A') : box.type[0];
    const uint8_t type[4] = {first, box.type[1], box.type[2], box.type[3]};
    if (!Printable(type)) return false;
    if (box.size == 1) {
        if (limit - p < 16 || !c.ReadAt(p + 8, 8)) return false;
        const LeBytes b = c.Bytes();
        box.size = uint64_t(b.be32(0)) << 32 | b.be32(4);
        box.header = 16;
    }
    return box.size >= box.header && box.size <= limit - p;
}

bool ReadChild(CarveContext& c, uint64_t p, uint64_t limit, Box& box) { return ReadBox(c, p, limit, box, true); }

// Walks the children of [from, to): calls visit(child) for each; false when
// a child is invalid, the children do not fill the range exactly, there are
// more than kIsoMaxChildren, the stop flag is raised or visit says false.
template <typename Visit>
bool ForEachChild(CarveContext& c, uint64_t from, uint64_t to, Visit visit) {
    uint64_t q = from;
    for (uint32_t n = 0; q < to; ++n) {
        if (n >= kIsoMaxChildren || c.Stopped()) return false;
        Box child;
        if (!ReadChild(c, q, to, child) || !visit(child)) return false;
        q = child.End();
    }
    return q == to;
}

// Text of n bytes at p: UTF-16 after a byte-order mark, else UTF-8; ends at
// the first NUL; cut to the buffer.
std::u16string ReadText(CarveContext& c, uint64_t p, uint64_t n) {
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(n, kCarveBufferSize));
    if (take == 0 || !c.ReadAt(p, take)) return {};
    const uint8_t* d = c.Data();
    if (take >= 2 && ((d[0] == 0xFE && d[1] == 0xFF) || (d[0] == 0xFF && d[1] == 0xFE))) {
        const bool big = d[0] == 0xFE;
        std::u16string s;
        for (uint32_t i = 2; i + 1 < take; i += 2) {
            const char16_t u = big ? char16_t(d[i] << 8 | d[i + 1]) : char16_t(d[i] | d[i + 1] << 8);
            if (u == 0) break;
            s.push_back(u);
        }
        return s;
    }
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(d, 0, take));
    return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(d), end ? size_t(end - d) : take));
}

struct Names {
    std::u16string title, author;
};

void Keep(std::u16string& slot, std::u16string text) {
    if (slot.empty()) slot = std::move(text);
}

// An iTunes-style item list: each item holds a "data" box (type and locale,
// 8 bytes, then the text).
void ReadItemList(CarveContext& c, const Box& ilst, Names& names) {
    ForEachChild(c, ilst.Body(), ilst.End(), [&](const Box& item) {
        const bool title = Is(item.type, "\xA9nam"), author = Is(item.type, "\xA9" "ART");
        if (!title && !author) return true;
        Box data;
        if (ReadChild(c, item.Body(), item.End(), data) && Is(data.type, "data") && data.size >= data.header + 8)
            Keep(title ? names.title : names.author, ReadText(c, data.Body() + 8, data.size - data.header - 8));
        return true;
    });
}

// moov/udta: QuickTime text atoms (16-bit length, 16-bit language, text),
// 3GPP boxes (version and flags, 16-bit language, text) and meta/ilst.
void ReadUserData(CarveContext& c, const Box& udta, Names& names) {
    ForEachChild(c, udta.Body(), udta.End(), [&](const Box& b) {
        const uint64_t body = b.size - b.header;
        if (Is(b.type, "\xA9nam") || Is(b.type, "\xA9" "ART")) {
            if (body >= 4 && c.ReadAt(b.Body(), 2)) {
                const uint64_t n = std::min<uint64_t>(c.Bytes().be16(0), body - 4);
                Keep(Is(b.type, "\xA9nam") ? names.title : names.author, ReadText(c, b.Body() + 4, n));
            }
        } else if (Is(b.type, "titl") || Is(b.type, "auth") || Is(b.type, "perf")) {
            if (body > 6) Keep(Is(b.type, "titl") ? names.title : names.author, ReadText(c, b.Body() + 6, body - 6));
        } else if (Is(b.type, "meta") && body >= 4) {
            ForEachChild(c, b.Body() + 4, b.End(), [&](const Box& m) {
                if (Is(m.type, "ilst")) ReadItemList(c, m, names);
                return true;
            });
        }
        return true;
    });
}

// Canon's uuid box inside a CR3's moov.
constexpr uint8_t kCanonUuid[16] = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0,
                                    0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};

bool MoovValid(CarveContext& c, const Box& moov, bool needCanonUuid, Names& names) {
    bool header = false, canon = false;
    const bool fits = ForEachChild(c, moov.Body(), moov.End(), [&](const Box& b) {
        if (Is(b.type, "mvhd")) {
            // Version 0: 32-bit times, 100 bytes after the header; version 1: 64-bit times, 112.
            if (header || !c.ReadAt(b.Body(), 24)) return false;
            const LeBytes h = c.Bytes();
            const uint8_t version = h.u8(0);
            if (version > 1 || b.size - b.header < (version == 0 ? 100u : 112u)) return false;
            if (h.be32(version == 0 ? 12 : 20) == 0) return false;  // time scale
            header = true;
        } else if (Is(b.type, "uuid")) {
            canon = canon || (b.size >= b.header + 16 && c.ReadAt(b.Body(), 16) &&
                              std::memcmp(c.Data(), kCanonUuid, 16) == 0);
        } else if (Is(b.type, "udta")) {
            ReadUserData(c, b, names);
        }
        return true;
    });
    return fits && header && (canon || !needCanonUuid);
}

// An item location box: the end of the furthest extent in the file
// (construction method 0), or false when it cannot be read.
bool IlocEnd(CarveContext& c, const Box& iloc, uint64_t& furthest) {
    furthest = 0;
    const uint64_t n = iloc.size - iloc.header;
    if (n < 8 || n > kCarveBufferSize) return n >= 8;  // a larger one is left unchecked
    if (!c.ReadAt(iloc.Body(), static_cast<uint32_t>(n))) return false;
    const LeBytes b = c.Bytes();
    const uint8_t version = b.u8(0);
    if (version > 2) return false;
    const uint32_t offsetSize = b.u8(4) >> 4, lengthSize = b.u8(4) & 15, baseSize = b.u8(5) >> 4;
    const uint32_t indexSize = version == 0 ? 0 : b.u8(5) & 15;
    for (uint32_t s : {offsetSize, lengthSize, baseSize, indexSize})
        if (s != 0 && s != 4 && s != 8) return false;
    size_t at = 6;
    auto field = [&](uint32_t bytes, uint64_t& v) {
        v = 0;
        if (!b.has(at, bytes)) return false;
        for (uint32_t i = 0; i < bytes; ++i) v = v << 8 | b.u8(at + i);
        at += bytes;
        return true;
    };
    uint64_t items = 0, unused = 0;
    uint32_t extentsSeen = 0;  // extents of no bytes (all field sizes 0) must not loop long
    if (!field(version < 2 ? 2 : 4, items)) return false;
    for (uint64_t i = 0; i < items; ++i) {
        uint64_t method = 0, base = 0, extents = 0;
        if (!field(version < 2 ? 2 : 4, unused)) return false;  // item ID
        if (version >= 1) {
            if (!field(2, method)) return false;
            method &= 15;
        }
        if (!field(2, unused) || !field(baseSize, base) || !field(2, extents)) return false;
        for (uint64_t e = 0; e < extents; ++e) {
            if (++extentsSeen > kIsoMaxChildren) return false;
            uint64_t offset = 0, length = 0;
            if (!field(indexSize, unused) || !field(offsetSize, offset) || !field(lengthSize, length)) return false;
            if (method != 0) continue;
            if (base > kCarvedSizeCap || offset > kCarvedSizeCap || length > kCarvedSizeCap) return false;
            furthest = std::max(furthest, base + offset + length);
        }
    }
    return true;
}

// A HEIF meta box: version 0, a "pict" handler, pitm, iloc and iinf,
// children filling it exactly; extentEnd is the end of its furthest extent.
bool HeifMetaValid(CarveContext& c, const Box& meta, uint64_t& extentEnd) {
    if (meta.size - meta.header < 4 || !c.ReadAt(meta.Body(), 4) || c.Bytes().be32(0) != 0) return false;
    bool pict = false, pitm = false, iloc = false, iinf = false;
    const bool fits = ForEachChild(c, meta.Body() + 4, meta.End(), [&](const Box& b) {
        if (Is(b.type, "hdlr")) {
            pict = b.size - b.header >= 12 && c.ReadAt(b.Body() + 8, 4) && Is(c.Data(), "pict");
        } else if (Is(b.type, "pitm")) {
            pitm = true;
        } else if (Is(b.type, "iinf")) {
            iinf = true;
        } else if (Is(b.type, "iloc")) {
            if (iloc || !IlocEnd(c, b, extentEnd)) return false;
            iloc = true;
        }
        return true;
    });
    return fits && pict && pitm && iloc && iinf;
}

}  // namespace

std::u16string_view IsoFtypTypeKey(const uint8_t* ftyp, uint32_t size) {
    if (size < 16 || size > kFtypMaxSize || (size - 16) % 4 != 0 || !Is(ftyp + 4, "ftyp")) return {};
    const uint8_t* major = ftyp + 8;
    if (!Printable(major)) return {};
    std::u16string_view key = SpecificKey(major);
    for (uint32_t i = 16; key.empty() && i < size; i += 4) key = SpecificKey(ftyp + i);
    if (key.empty()) key = GenericKey(major);
    for (uint32_t i = 16; key.empty() && i < size; i += 4) key = GenericKey(ftyp + i);
    return key;
}

bool IsoMediaProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 8) || !Is(c.Data() + 4, "ftyp")) return false;
    const uint32_t ftypSize = c.Bytes().be32(0);
    if (ftypSize < 16 || ftypSize > kFtypMaxSize || !c.ReadAt(uint64_t(0), ftypSize)) return false;
    const std::u16string_view key = IsoFtypTypeKey(c.Data(), ftypSize);
    if (key.empty() || key == u"mov") return false;
    const bool heif = IsHeifKey(key), cr3 = key == u"cr3";
    const uint64_t cap = CarvedSizeCap(key);

    Names names;
    bool moov = false, mdat = false, meta = false;
    uint64_t extentEnd = 0;
    uint64_t p = ftypSize;
    for (uint32_t boxes = 1;; ++boxes) {
        if (c.Stopped() || boxes > kIsoMaxTopBoxes) return false;
        Box box;
        if (!ReadBox(c, p, cap, box) || !IsTopLevel(box.type) || Is(box.type, "ftyp")) break;
        if (Is(box.type, "moov")) {
            if (moov || !MoovValid(c, box, cr3, names)) break;
            moov = true;
        } else if (Is(box.type, "mdat")) {
            mdat = true;
        } else if (Is(box.type, "meta") && heif && !meta) {
            if (!HeifMetaValid(c, box, extentEnd)) break;
            meta = true;
        }
        p = box.End();
    }
    const bool complete = (moov && mdat) || (heif && meta);
    if (!complete || p > cap || extentEnd > p) return false;
    c.size = p;
    c.typeKey = std::u16string(key);
    c.title = std::move(names.title);
    c.author = std::move(names.author);
    return true;
}

const ProviderDescriptor kIsoMediaProvider {u"IsoMediaProvider",
                                            u"ISO media files: MP4, M4A, M4V, 3GP video and audio, HEIC, HEIF and AVIF "
                                            u"images, Canon CR3 raw photos",
                                            IsoMediaProviderDetect, kIsoKeys, {4, "f"}};  // the ftyp box first
