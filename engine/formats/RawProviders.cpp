// Camera raw recognisers.
//
// The TIFF family (cr2, nef, arw, orf, rw2, pef, srw) is walked with the
// shared IFD walk under its camera raw rules (TiffWalk.h): IFD 0's chain,
// every SubIFD, the Exif, GPS and Interoperability IFDs, and for CR2 the
// raw IFD its header names. The size is the extent: the furthest end of any
// IFD, out-of-line value (the maker note counted whole, never entered),
// strip, tile or JPEGInterchangeFormat stream, so a file is never measured
// by its first IFD's thumbnail alone. A file needs a full-resolution image
// with data (the raw strips of a NEF's, ARW's or SRW's SubIFD, a CR2's raw
// IFD, the strips of an ORF's, RW2's or PEF's IFD 0, or an RW2's packed raw
// data from its RawDataOffset on). The type comes from
// the header (ORF "IIRO"/"MMOR"/"IISR", RW2 "IIU\0", CR2 "CR" 2 at offset 8
// with Make "Canon") or from IFD 0's Make for a TIFF-headed file holding
// colour-filter-array data (NIKON: nef, SONY: arw, PENTAX or RICOH: pef,
// SAMSUNG: srw); a file with DNGVersion, or without such a Make, is the
// TIFF recogniser's. Title: the Model (else ImageDescription); author: the
// Artist. Positions are capped at kCameraRawPositionCap.
//
// Fuji RAF: a big-endian header of its own ("FUJIFILMCCD-RAW ", a format
// version of four digits, the camera's name) naming the offset and length
// of the embedded JPEG, the meta container and the CFA data at 0x54..0x6B.
// Each part must lie past the header and within kCameraRawPositionCap, the
// JPEG must start with a JPEG marker and the CFA data must not be empty;
// the size is the largest offset + length. Title: the camera's name.
//
// A found type that the scan has not enabled is no hit (a context without a
// type set, as in a single-provider check, takes every type).
#include <algorithm>
#include <cstring>

#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"
#include "engine/formats/TiffWalk.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kCameraRawKeys[] = {u"cr2", u"nef", u"arw", u"orf", u"rw2", u"pef", u"srw"};
constexpr std::u16string_view kRafKeys[] = {u"raf"};

constexpr uint16_t kMagicTiff = 42;
constexpr uint16_t kMagicOrf = 0x4F52;   // "RO" read in the file's order: "IIRO", "MMOR"
constexpr uint16_t kMagicOrfSr = 0x5253;  // "IISR"
constexpr uint16_t kMagicRw2 = 0x0055;   // "IIU\0"

bool Enabled(const CarveContext& c, std::u16string_view key) { return !c.scanner || IsTypeEnabled(*c.scanner, key); }

bool StartsWithNoCase(const std::string& s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (a != prefix[i]) return false;
    }
    return true;
}

// Text without trailing blanks, as CP1252.
std::u16string Field(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return CodePageToUtf16(text);
}

bool CameraRawDetect(CarveContext& c) {
    TiffWalk walk(c, TiffWalk::Rules::CameraRaw, kCameraRawPositionCap);
    if (!walk.ReadHeader()) return false;
    const uint16_t magic = walk.Facts().magic;
    if (magic != kMagicTiff && magic != kMagicOrf && magic != kMagicOrfSr && magic != kMagicRw2) return false;
    if (magic == kMagicRw2 && walk.Facts().bigEndian) return false;
    if (!walk.WalkChain()) return false;
    if (walk.Facts().canonHeader && !walk.WalkExtra(walk.Facts().canonRawIfd)) return false;
    const TiffFacts& f = walk.Facts();
    const std::u16string_view key = CameraRawTypeKey(f);
    if (key.empty() || !f.main || f.extent == 0 || f.extent > kCameraRawPositionCap || !Enabled(c, key)) return false;
    c.size = f.extent;
    c.typeKey = key;
    c.title = Field(!f.model.empty() ? f.model : f.description);
    c.author = Field(f.artist);
    return true;
}

// RAF header fields.
constexpr char kRafMagic[] = "FUJIFILMCCD-RAW ";
constexpr uint32_t kRafHeaderBytes = 0x6C;
constexpr uint32_t kRafVersionAt = 0x10, kRafNameAt = 0x1C, kRafNameBytes = 32, kRafDirectoryAt = 0x54;

uint32_t Be32At(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

bool RafDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), kRafHeaderBytes)) return false;
    const uint8_t* h = c.Data();
    if (std::memcmp(h, kRafMagic, 16) != 0) return false;
    for (uint32_t i = 0; i < 4; ++i)
        if (h[kRafVersionAt + i] < '0' || h[kRafVersionAt + i] > '9') return false;
    // The camera's name: printable ASCII, then NULs.
    std::string name;
    bool ended = false;
    for (uint32_t i = 0; i < kRafNameBytes; ++i) {
        const uint8_t ch = h[kRafNameAt + i];
        if (ch == 0) {
            ended = true;
        } else {
            if (ended || ch < 0x20 || ch > 0x7E) return false;
            name.push_back(static_cast<char>(ch));
        }
    }
    if (name.empty()) return false;
    struct Part {
        uint32_t offset, length;
    } parts[3];
    uint64_t end = kRafHeaderBytes;
    for (uint32_t i = 0; i < 3; ++i) {
        parts[i] = {Be32At(h + kRafDirectoryAt + 8 * i), Be32At(h + kRafDirectoryAt + 8 * i + 4)};
        if (parts[i].length == 0) continue;
        if (parts[i].offset < kRafHeaderBytes || uint64_t(parts[i].offset) + parts[i].length > kCameraRawPositionCap)
            return false;
        end = std::max<uint64_t>(end, uint64_t(parts[i].offset) + parts[i].length);
    }
    const Part& jpeg = parts[0];
    const Part& cfa = parts[2];
    if (jpeg.length < 4 || cfa.length == 0) return false;
    if (!c.ReadAt(uint64_t(jpeg.offset), 3)) return false;
    if (c.Data()[0] != 0xFF || c.Data()[1] != 0xD8 || c.Data()[2] != 0xFF) return false;
    if (!Enabled(c, u"raf")) return false;
    c.size = end;
    c.typeKey = u"raf";
    c.title = Field(name);
    return true;
}

}  // namespace

std::u16string_view CameraRawTypeKey(const TiffFacts& f) {
    if (f.dng) return {};
    if (f.magic == kMagicOrf || f.magic == kMagicOrfSr) return u"orf";
    if (f.magic == kMagicRw2) return u"rw2";
    if (f.magic != kMagicTiff) return {};
    if (f.canonHeader) return StartsWithNoCase(f.make, "CANON") ? u"cr2" : std::u16string_view();
    if (!f.cfa) return {};
    if (StartsWithNoCase(f.make, "NIKON")) return u"nef";
    if (StartsWithNoCase(f.make, "SONY")) return u"arw";
    if (StartsWithNoCase(f.make, "PENTAX") || StartsWithNoCase(f.make, "RICOH")) return u"pef";
    if (StartsWithNoCase(f.make, "SAMSUNG")) return u"srw";
    return {};
}

bool CameraRawProviderDetect(CarveContext& c) { return CameraRawDetect(c); }
bool RAFProviderDetect(CarveContext& c) { return RafDetect(c); }

const ProviderDescriptor kCameraRawProvider {u"CameraRawProvider",
                                             u"Camera raw files of the TIFF family (Canon, Nikon, Sony, Olympus, "
                                             u"Panasonic, Pentax, Samsung)",
                                             CameraRawProviderDetect, kCameraRawKeys, {0, "IM"}};
const ProviderDescriptor kRAFProvider {u"RAFProvider", u"Fujifilm camera raw files", RAFProviderDetect, kRafKeys,
                                       {0, "F"}};
