// Builders of ISO base media boxes for the tests: files put together box by
// box where no tool writes the case (CR3, a plain HEIF, broken layouts).
#pragma once

#include <string>

#include "tests/surfacescan/ScanTestSupport.h"

namespace isotest {

using scantest::Bytes;

inline Bytes Box(const std::string& type, const Bytes& payload) {
    Bytes b;
    scantest::Be32(b, static_cast<uint32_t>(payload.size() + 8));
    scantest::Text(b, type);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// A box with a version byte and three flag bytes before its payload.
inline Bytes FullBox(const std::string& type, uint8_t version, const Bytes& payload) {
    return Box(type, scantest::Concat({Bytes {version, 0, 0, 0}, payload}));
}

// An ftyp with the first brand as the major brand and all of them compatible.
inline Bytes Ftyp(std::initializer_list<const char*> brands) {
    Bytes p;
    scantest::Text(p, *brands.begin());
    scantest::Be32(p, 0x200);
    for (const char* br : brands) scantest::Text(p, br);
    return Box("ftyp", p);
}

// A version-0 movie header: 100 bytes after the box header, time scale 1,000.
inline Bytes Mvhd(uint32_t timeScale = 1000) {
    Bytes p(96, 0);
    p[8] = uint8_t(timeScale >> 24), p[9] = uint8_t(timeScale >> 16), p[10] = uint8_t(timeScale >> 8),
    p[11] = uint8_t(timeScale);
    return FullBox("mvhd", 0, p);
}

inline Bytes Moov(const Bytes& extra = {}) {
    return Box("moov", scantest::Concat({Mvhd(), Box("trak", Bytes(40, 1)), extra}));
}

// Canon's uuid box as it stands first in a CR3's moov (its content here is
// filler; a camera puts its metadata boxes there).
inline Bytes CanonUuid() {
    const Bytes id = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0, 0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};
    return Box("uuid", scantest::Concat({id, Box("CNCV", Bytes(30, 'C'))}));
}

// No tool writes CR3 and camera files are large and not freely licensed: this
// has the structure a Canon camera writes (brand "crx ", a moov with Canon's
// uuid box, the movie header and a track, then the image data in an mdat).
inline Bytes TinyCr3() {
    const Bytes moov = Box("moov", scantest::Concat({CanonUuid(), Mvhd(), Box("trak", Bytes(40, 1))}));
    return scantest::Concat({Ftyp({"crx ", "isom"}), moov, Box("mdat", Bytes(3000, 0x5A))});
}

// A HEIF meta box whose one item lies at [offset, offset + length) of the file.
inline Bytes HeifMeta(uint32_t offset, uint32_t length, const char* handler = "pict") {
    Bytes hdlr(4, 0);  // pre_defined, then the handler type
    scantest::Text(hdlr, handler);
    scantest::Fill(hdlr, 13, 0);
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    scantest::Be16(iloc, 1);    // one item
    scantest::Be16(iloc, 1);    // item 1
    scantest::Be16(iloc, 0);    // this file
    scantest::Be16(iloc, 1);    // one extent
    scantest::Be32(iloc, offset);
    scantest::Be32(iloc, length);
    Bytes infe = {0, 1, 0, 0};
    scantest::Text(infe, "hvc1");
    infe.push_back(0);
    Bytes iinf;
    scantest::Be16(iinf, 1);
    return FullBox("meta", 0,
                   scantest::Concat({FullBox("hdlr", 0, hdlr), FullBox("pitm", 0, {0, 1}), FullBox("iloc", 0, iloc),
                                     FullBox("iinf", 0, scantest::Concat({iinf, FullBox("infe", 2, infe)}))}));
}

// A HEIF file with generic brands only: ftyp, meta, then the item in an mdat.
inline Bytes TinyHeif(std::initializer_list<const char*> brands = {"mif1", "miaf"}) {
    const Bytes ftyp = Ftyp(brands);
    const uint32_t metaSize = static_cast<uint32_t>(HeifMeta(0, 0).size());
    const uint32_t item = static_cast<uint32_t>(ftyp.size()) + metaSize + 8;
    return scantest::Concat({ftyp, HeifMeta(item, 2000), Box("mdat", Bytes(2000, 0x33))});
}

}  // namespace isotest
