// Camera raw files built in each maker's layout, for the camera raw tests:
// the IFDs first (IFD 0 right after the header, as cameras write them), the
// values, the Exif IFD with an opaque maker note, then the image data - the
// thumbnail and preview streams before the raw strips, which end the file.
// Pixel data is patterned filler; the JPEG streams are SOI ... EOI frames.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "TiffBuilder.h"
#include "tests/common/TestUtil.h"

namespace scantest {

struct CameraRawFile {
    const char* name;          // file name for the images
    std::u16string type;
    Bytes bytes;               // the whole file: its size is bytes.size()
    std::u16string title, author;
    uint64_t thumbnailEnd = 0;  // end of IFD 0's own image data, where it has one
};

namespace rawbuild {

inline Bytes Ascii(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

inline Bytes Jpeg(size_t n, uint32_t seed) {
    Bytes b = testutil::PatternBytes(n, seed);
    b[0] = 0xFF, b[1] = 0xD8, b[2] = 0xFF, b[3] = 0xDB;
    b[n - 2] = 0xFF, b[n - 1] = 0xD9;
    return b;
}

// Appends IFDs now and fills their offsets in when the data is placed.
class Layout {
public:
    explicit Layout(bool big) : t(big) {}
    size_t Ifd(std::vector<TiffEntry> entries) {
        const size_t at = t.AppendIfd(entries);
        m_ifds.push_back({at, std::move(entries)});
        return at;
    }
    // Sets the LONG value of tag in the IFD at ifd.
    void Set(size_t ifd, uint16_t tag, uint32_t value) {
        for (const auto& [at, entries] : m_ifds) {
            if (at != ifd) continue;
            for (size_t i = 0; i < entries.size(); ++i)
                if (entries[i].tag == tag) t.Put32(at + 2 + i * 12 + 8, value);
        }
    }
    void Next(size_t ifd, size_t nextIfd) {
        for (const auto& [at, entries] : m_ifds)
            if (at == ifd) t.SetNext(at, entries.size(), static_cast<uint32_t>(nextIfd));
    }
    uint32_t Put(const Bytes& b) { return static_cast<uint32_t>(t.Append(b)); }
    uint32_t Size() const { return static_cast<uint32_t>(t.bytes.size()); }
    TiffBuilder t;

private:
    std::vector<std::pair<size_t, std::vector<TiffEntry>>> m_ifds;
};

inline uint32_t Len(const std::string& s) { return static_cast<uint32_t>(s.size() + 1); }

// Texts of IFD 0, placed as out-of-line values.
struct Texts {
    std::string make, model, artist;
};

// IFD 0's text entries (Make, Model, DateTime, Artist); offsets filled by PutTexts.
inline std::vector<TiffEntry> TextEntries(const Texts& x) {
    std::vector<TiffEntry> e = {{271, 2, Len(x.make), 0}, {272, 2, Len(x.model), 0}, {306, 2, 20, 0}};
    if (!x.artist.empty()) e.push_back({315, 2, Len(x.artist), 0});
    return e;
}

inline void PutTexts(Layout& l, size_t ifd0, const Texts& x) {
    l.Set(ifd0, 271, l.Put(Ascii(x.make)));
    l.Set(ifd0, 272, l.Put(Ascii(x.model)));
    l.Set(ifd0, 306, l.Put(Ascii("2024:05:01 10:00:00")));
    if (!x.artist.empty()) l.Set(ifd0, 315, l.Put(Ascii(x.artist)));
}

inline std::vector<TiffEntry> Sorted(std::vector<TiffEntry> e) {
    std::sort(e.begin(), e.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    return e;
}

// IFD 0 with the text entries and these, in tag order, as the first IFD.
inline size_t FirstIfd(Layout& l, const Texts& x, std::initializer_list<TiffEntry> more) {
    std::vector<TiffEntry> e = TextEntries(x);
    e.insert(e.end(), more.begin(), more.end());
    const size_t at = l.Ifd(Sorted(e));
    l.t.SetFirstIfd(static_cast<uint32_t>(at));
    return at;
}

// An Exif IFD (exposure, ISO, maker note) and its values; returns its offset.
inline uint32_t PutExif(Layout& l, const std::string& makerTag, uint32_t seed) {
    const size_t exif = l.Ifd({{33434, 5, 1, 0}, {34855, 3, 1, 200}, {37500, 7, 400, 0}});
    Bytes exposure = {0, 0, 0, 1, 0, 0, 0, 125};
    l.Set(exif, 33434, l.Put(exposure));
    Bytes maker = testutil::PatternBytes(400, seed);
    std::copy(makerTag.begin(), makerTag.end(), maker.begin());
    l.Set(exif, 37500, l.Put(maker));
    return static_cast<uint32_t>(exif);
}

// The raw image IFD of a SubIFD-style file (NEF, ARW, SRW).
inline std::vector<TiffEntry> RawIfd(uint16_t compression, uint32_t rawBytes) {
    return {{254, 4, 1, 0},      {256, 4, 1, 64},     {257, 4, 1, 48},         {258, 3, 1, 12},
            {259, 3, 1, compression}, {262, 3, 1, 32803}, {273, 4, 1, 0},    {277, 3, 1, 1},
            {278, 3, 1, 48},     {279, 4, 1, rawBytes}, {33421, 3, 2, 0x00020002}, {33422, 1, 4, 0x02010100}};
}

// NEF: IFD 0 holds the RGB thumbnail and points to two SubIFDs, the preview
// JPEG and the raw strip, and to the Exif IFD.
inline CameraRawFile Nef() {
    const Texts x {"NIKON CORPORATION", "NIKON D850", "Ada Lovelace"};
    const uint32_t thumbBytes = 16 * 12 * 3, rawBytes = 6000;
    Layout l(true);
    const size_t ifd0 = FirstIfd(l, x, {{254, 4, 1, 1}, {256, 4, 1, 16}, {257, 4, 1, 12}, {259, 3, 1, 1},
                                        {262, 3, 1, 2}, {273, 4, 1, 0}, {274, 3, 1, 1}, {277, 3, 1, 3},
                                        {278, 3, 1, 12}, {279, 4, 1, thumbBytes}, {330, 4, 2, 0}, {34665, 4, 1, 0}});
    const size_t preview = l.Ifd({{254, 4, 1, 1}, {259, 3, 1, 6}, {513, 4, 1, 0}, {514, 4, 1, 1500}});
    const size_t raw = l.Ifd(RawIfd(34713, rawBytes));
    l.Set(ifd0, 330, static_cast<uint32_t>(l.t.AppendLongs({uint32_t(preview), uint32_t(raw)})));
    PutTexts(l, ifd0, x);
    l.Set(ifd0, 34665, PutExif(l, std::string("Nikon\0\2\x11\0\0MM", 12), 11));
    l.Set(ifd0, 273, l.Put(testutil::PatternBytes(thumbBytes, 12)));
    const uint64_t thumbEnd = l.Size();
    l.Set(preview, 513, l.Put(Jpeg(1500, 13)));
    l.Set(raw, 273, l.Put(testutil::PatternBytes(rawBytes, 14)));
    return {"photo.nef", u"nef", l.t.bytes, u"NIKON D850", u"Ada Lovelace", thumbEnd};
}

// CR2: header with "CR" 2 0 and the raw IFD's offset; IFD 0 (full-size
// JPEG strip) -> IFD 1 (thumbnail JPEG) -> IFD 2 (small RGB) -> IFD 3 (raw,
// no image size, the slice tag).
inline CameraRawFile Cr2() {
    const Texts x {"Canon", "Canon EOS 5D Mark III", ""};
    Layout l(false);
    l.t.Append({'C', 'R', 2, 0, 0, 0, 0, 0});
    const size_t ifd0 = FirstIfd(l, x, {{256, 3, 1, 64}, {257, 3, 1, 48}, {259, 3, 1, 6}, {273, 4, 1, 0},
                                        {274, 3, 1, 1}, {279, 4, 1, 2000}, {34665, 4, 1, 0}});
    const size_t ifd1 = l.Ifd({{259, 3, 1, 6}, {513, 4, 1, 0}, {514, 4, 1, 700}});
    const size_t ifd2 = l.Ifd({{256, 3, 1, 8}, {257, 3, 1, 6}, {259, 3, 1, 1}, {262, 3, 1, 2}, {273, 4, 1, 0},
                               {277, 3, 1, 3}, {278, 3, 1, 6}, {279, 4, 1, 144}});
    const size_t ifd3 = l.Ifd({{259, 3, 1, 6}, {273, 4, 1, 0}, {279, 4, 1, 7000}, {50648, 4, 1, 1}, {50656, 4, 1, 1},
                               {50752, 3, 3, 0}});
    l.Next(ifd0, ifd1), l.Next(ifd1, ifd2), l.Next(ifd2, ifd3);
    l.t.Put32(12, static_cast<uint32_t>(ifd3));
    PutTexts(l, ifd0, x);
    l.Set(ifd3, 50752, l.Put({1, 0, 32, 0, 32, 0}));
    l.Set(ifd0, 34665, PutExif(l, "", 21));
    l.Set(ifd1, 513, l.Put(Jpeg(700, 22)));
    l.Set(ifd2, 273, l.Put(testutil::PatternBytes(144, 23)));
    l.Set(ifd0, 273, l.Put(Jpeg(2000, 24)));
    const uint64_t ifd0End = l.Size();
    l.Set(ifd3, 273, l.Put(testutil::PatternBytes(7000, 25)));
    return {"photo.cr2", u"cr2", l.t.bytes, u"Canon EOS 5D Mark III", u"", ifd0End};
}

// ARW: IFD 0 is the preview (JPEGInterchangeFormat), its SubIFD the raw
// strip; IFD 1 the thumbnail JPEG.
inline CameraRawFile Arw() {
    const Texts x {"SONY", "ILCE-7M3", "Grace Hopper"};
    Layout l(false);
    const size_t ifd0 = FirstIfd(l, x, {{254, 4, 1, 1}, {259, 3, 1, 6}, {274, 3, 1, 1}, {330, 4, 1, 0},
                                        {513, 4, 1, 0}, {514, 4, 1, 1800}, {34665, 4, 1, 0}});
    const size_t raw = l.Ifd(RawIfd(32767, 5000));
    const size_t ifd1 = l.Ifd({{259, 3, 1, 6}, {513, 4, 1, 0}, {514, 4, 1, 600}});
    l.Next(ifd0, ifd1);
    l.Set(ifd0, 330, static_cast<uint32_t>(raw));
    PutTexts(l, ifd0, x);
    l.Set(ifd0, 34665, PutExif(l, "SONY DSC \0\0\0", 31));
    l.Set(ifd1, 513, l.Put(Jpeg(600, 32)));
    l.Set(ifd0, 513, l.Put(Jpeg(1800, 33)));
    const uint64_t previewEnd = l.Size();
    l.Set(raw, 273, l.Put(testutil::PatternBytes(5000, 34)));
    return {"photo.arw", u"arw", l.t.bytes, u"ILCE-7M3", u"Grace Hopper", previewEnd};
}

// An IFD 0 that holds the raw strip itself (ORF, PEF), with the Exif IFD.
inline size_t RawIfd0(Layout& l, const Texts& x, uint16_t bits, uint16_t compression, uint32_t rawBytes) {
    return FirstIfd(l, x, {{254, 4, 1, 0}, {256, 4, 1, 64}, {257, 4, 1, 48}, {258, 3, 1, bits},
                           {259, 3, 1, compression}, {262, 3, 1, 32803}, {273, 4, 1, 0}, {274, 3, 1, 1},
                           {277, 3, 1, 1}, {278, 3, 1, 48}, {279, 4, 1, rawBytes}, {34665, 4, 1, 0}});
}

// ORF: "IIRO", IFD 0 holds the raw strip; the preview lives in the maker note.
inline CameraRawFile Orf() {
    const Texts x {"OLYMPUS IMAGING CORP.", "E-M10MarkII", ""};
    Layout l(false);
    l.t.bytes[2] = 'R', l.t.bytes[3] = 'O';
    const size_t ifd0 = RawIfd0(l, x, 16, 1, 6144);
    PutTexts(l, ifd0, x);
    l.Set(ifd0, 34665, PutExif(l, std::string("OLYMPUS\0II\3\0", 12), 41));
    l.Set(ifd0, 273, l.Put(testutil::PatternBytes(6144, 42)));
    return {"photo.orf", u"orf", l.t.bytes, u"E-M10MarkII", u"", 0};
}

// PEF: big-endian, IFD 0 holds the raw strip, IFD 1 the preview JPEG.
inline CameraRawFile Pef() {
    const Texts x {"RICOH IMAGING COMPANY, LTD.", "PENTAX K-1", ""};
    Layout l(true);
    const size_t ifd0 = RawIfd0(l, x, 12, 65535, 5500);
    const size_t ifd1 = l.Ifd({{259, 3, 1, 6}, {513, 4, 1, 0}, {514, 4, 1, 900}});
    l.Next(ifd0, ifd1);
    PutTexts(l, ifd0, x);
    l.Set(ifd0, 34665, PutExif(l, std::string("AOC\0MM", 6), 51));
    l.Set(ifd1, 513, l.Put(Jpeg(900, 52)));
    l.Set(ifd0, 273, l.Put(testutil::PatternBytes(5500, 53)));
    return {"photo.pef", u"pef", l.t.bytes, u"PENTAX K-1", u"", 0};
}

// SRW: IFD 0 holds an RGB thumbnail and one SubIFD with the raw strip.
inline CameraRawFile Srw() {
    const Texts x {"SAMSUNG", "NX300", "Samsung User"};
    const uint32_t thumbBytes = 16 * 12 * 3;
    Layout l(false);
    const size_t ifd0 = FirstIfd(l, x, {{254, 4, 1, 1}, {256, 4, 1, 16}, {257, 4, 1, 12}, {259, 3, 1, 1},
                                        {262, 3, 1, 2}, {273, 4, 1, 0}, {277, 3, 1, 3}, {278, 3, 1, 12},
                                        {279, 4, 1, thumbBytes}, {330, 4, 1, 0}, {34665, 4, 1, 0}});
    const size_t raw = l.Ifd(RawIfd(32770, 4500));
    l.Set(ifd0, 330, static_cast<uint32_t>(raw));
    PutTexts(l, ifd0, x);
    l.Set(ifd0, 34665, PutExif(l, "", 61));
    l.Set(ifd0, 273, l.Put(testutil::PatternBytes(thumbBytes, 62)));
    const uint64_t thumbEnd = l.Size();
    l.Set(raw, 273, l.Put(testutil::PatternBytes(4500, 63)));
    return {"photo.srw", u"srw", l.t.bytes, u"NX300", u"Samsung User", thumbEnd};
}

// RW2: "IIU\0", IFD 0 at 0x18 with the sensor tags, the embedded JPEG
// (tag 0x002E, which carries the Exif data) and the raw data, as Panasonic's
// cameras write packed raw (compression 34316; DMC-GF1, GF3, GF7, LX7): the
// strips marked absent (offset 2^32 - 1, 0 bytes), RawDataOffset naming where
// the data starts, 14 pixels in 16 bytes, whole blocks of 16,384 bytes to the
// end of the file (140 x 120 pixels: 19,200 bytes, two blocks).
inline CameraRawFile Rw2() {
    Layout l(false);
    l.t.bytes[2] = 'U', l.t.bytes[3] = 0;
    l.t.Append(testutil::PatternBytes(16, 70));
    const uint32_t jpegBytes = 2500, rawBytes = 2 * 16384;
    const size_t ifd0 = l.Ifd({{0x0001, 7, 4, 0x30313330}, {0x0002, 3, 1, 140}, {0x0003, 3, 1, 120},
                               {0x0004, 3, 1, 0}, {0x0005, 3, 1, 0}, {0x0006, 3, 1, 120}, {0x0007, 3, 1, 140},
                               {0x0009, 3, 1, 1}, {0x000A, 3, 1, 12}, {0x000B, 3, 1, 34316}, {0x0017, 3, 1, 200},
                               {0x002E, 7, jpegBytes, 0}, {0x010F, 2, 10, 0}, {0x0110, 2, 8, 0},
                               {0x0111, 4, 1, 0xFFFFFFFF}, {0x0112, 3, 1, 1}, {0x0116, 3, 1, 120}, {0x0117, 4, 1, 0},
                               {0x0118, 4, 1, 0}});
    l.t.SetFirstIfd(static_cast<uint32_t>(ifd0));
    l.Set(ifd0, 0x010F, l.Put(Ascii("Panasonic")));
    l.Set(ifd0, 0x0110, l.Put(Ascii("DMC-GF3")));
    l.Set(ifd0, 0x002E, l.Put(Jpeg(jpegBytes, 71)));
    l.Set(ifd0, 0x0118, l.Put(testutil::PatternBytes(rawBytes, 72)));
    return {"photo.rw2", u"rw2", l.t.bytes, u"DMC-GF3", u"", 0};
}

// RAF: the big-endian header, the JPEG, the meta container and the CFA data.
inline CameraRawFile Raf() {
    Bytes b;
    Text(b, "FUJIFILMCCD-RAW 0201FF129502");
    Bytes name(32, 0);
    const std::string model = "X-T1";
    std::copy(model.begin(), model.end(), name.begin());
    b.insert(b.end(), name.begin(), name.end());
    Text(b, "0100");
    Fill(b, 20, 0);
    const uint32_t jpegAt = 0x94, jpegBytes = 2200, metaBytes = 24, cfaBytes = 7200;
    const uint32_t metaAt = jpegAt + jpegBytes + 8, cfaAt = metaAt + metaBytes + 40;
    for (uint32_t v : {jpegAt, jpegBytes, metaAt, metaBytes, cfaAt, cfaBytes}) Be32(b, v);
    Fill(b, jpegAt - b.size(), 0);
    Bytes jpeg = Jpeg(jpegBytes, 81);
    b.insert(b.end(), jpeg.begin(), jpeg.end());
    Fill(b, metaAt - b.size(), 0);
    // Two records: the raw image's full size, then its cropped size.
    Be32(b, 2);
    for (uint16_t tag : {uint16_t(0x100), uint16_t(0x110)}) {
        Be16(b, tag);
        Be16(b, 4);
        Be16(b, 48);
        Be16(b, 64);
    }
    Fill(b, cfaAt - b.size(), 0);
    Bytes cfa = testutil::PatternBytes(cfaBytes, 82);
    b.insert(b.end(), cfa.begin(), cfa.end());
    return {"photo.raf", u"raf", b, u"X-T1", u"", 0};
}

}  // namespace rawbuild

// One file of each camera raw type.
inline std::vector<CameraRawFile> CameraRawFiles() {
    return {rawbuild::Cr2(), rawbuild::Nef(), rawbuild::Arw(), rawbuild::Orf(),
            rawbuild::Rw2(), rawbuild::Pef(), rawbuild::Srw(), rawbuild::Raf()};
}

}  // namespace scantest
