#include "engine/formats/ContentVerify.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/formats/ThumbnailCheck.h"
#include "platform/LeBytes.h"

namespace {

// The TIFF-based camera raws, checked by their largest preview against their thumbnail.
constexpr std::u16string_view kTiffRaws[] = {u"dng", u"cr2", u"nef", u"arw", u"orf", u"rw2", u"pef", u"srw"};

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// A marker that may stand between a JPEG's segments.
bool IsJpegMarker(uint8_t m) {
    return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDB && m <= 0xDF) || (m >= 0xE0 && m <= 0xEF) || m == 0xFE ||
           m == 0xD9 || m == 0xDA;
}

// Inflates [data, data + size) as one stream (windowBits: 15 zlib, -15
// raw), for its checksum or its end; out: the CRC-32 of what it produced.
// False on a coding error or a stream that does not end within the input.
bool InflateWhole(const uint8_t* data, size_t size, int windowBits, uint32_t* crc, uint64_t* produced) {
    z_stream zs {};
    if (inflateInit2(&zs, windowBits) != Z_OK) return false;
    std::array<uint8_t, 16384> out {};
    uLong sum = crc32(0, nullptr, 0);
    uint64_t total = 0;
    size_t fed = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (zs.avail_in == 0 && fed < size) {
            const size_t piece = std::min<size_t>(size - fed, 1u << 20);
            zs.next_in = const_cast<Bytef*>(data + fed);
            zs.avail_in = static_cast<uInt>(piece);
            fed += piece;
        }
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        result = inflate(&zs, Z_NO_FLUSH);
        const size_t got = out.size() - zs.avail_out;
        if (crc) sum = crc32(sum, out.data(), static_cast<uInt>(got));
        total += got;
        if (result == Z_BUF_ERROR && zs.avail_in == 0 && fed >= size) break;  // input ran out
        if (result == Z_BUF_ERROR) result = Z_OK;  // output full: go on
    }
    inflateEnd(&zs);
    if (crc) *crc = static_cast<uint32_t>(sum);
    if (produced) *produced = total;
    return result == Z_STREAM_END;
}

}  // namespace

bool VerifyJpegEntropy(const uint8_t* d, size_t size) {
    if (size < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    size_t pos = 2;
    while (pos + 1 < size) {
        if (d[pos] != 0xFF) return false;
        while (pos + 1 < size && d[pos + 1] == 0xFF) ++pos;  // fill bytes
        if (pos + 1 >= size) return false;
        const uint8_t m = d[pos + 1];
        pos += 2;
        if (m == 0xD9) return true;
        if (!IsJpegMarker(m) || pos + 2 > size) return false;
        const uint16_t length = Be16(d + pos);
        if (length < 2 || pos + length > size) return false;
        pos += length;
        if (m != 0xDA) continue;
        // Entropy-coded data: a 0xFF is stuffed (FF 00), a fill byte, a
        // restart marker in its turn (D0, D1, ... D7, D0, ...) or the next
        // marker. Other bytes behind a 0xFF are no JPEG's.
        uint8_t nextRestart = 0;
        while (pos < size) {
            const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(d + pos, 0xFF, size - pos));
            if (!ff) return false;
            pos = static_cast<size_t>(ff - d);
            if (pos + 1 >= size) return false;
            const uint8_t n = d[pos + 1];
            if (n == 0x00) {
                pos += 2;
            } else if (n == 0xFF) {
                ++pos;
            } else if (n >= 0xD0 && n <= 0xD7) {
                if (n - 0xD0 != nextRestart) return false;
                nextRestart = (nextRestart + 1) & 7;
                pos += 2;
            } else {
                break;  // a marker
            }
        }
    }
    return false;
}

bool VerifyPngChunks(const uint8_t* d, size_t size) {
    static constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size < 8 || std::memcmp(d, kSignature, 8) != 0) return false;
    size_t pos = 8;
    while (pos + 12 <= size) {
        const uint32_t length = Be32(d + pos);
        if (length > size - pos - 12) return false;
        const uint8_t* type = d + pos + 4;
        const uLong crc = crc32(crc32(0, nullptr, 0), type, 4 + length);
        if (static_cast<uint32_t>(crc) != Be32(type + 4 + length)) return false;
        if (std::memcmp(type, "IEND", 4) == 0) return true;
        pos += 12 + length;
    }
    return false;
}

bool VerifyZipMembers(const uint8_t* d, size_t size) {
    // The end record, searched back over the longest comment.
    if (size < 22) return false;
    size_t eocd = SIZE_MAX;
    for (size_t i = size - 22 + 1; i-- > 0 && size - i <= 22 + 65535;) {
        if (LeBytes(d + i, 4).u32(0) == 0x06054B50) {
            eocd = i;
            break;
        }
    }
    if (eocd == SIZE_MAX) return false;
    const LeBytes end(d + eocd, 22);
    const uint32_t entries = end.u16(10);
    const uint64_t cdSize = end.u32(12), cdOffset = end.u32(16);
    if (cdOffset > eocd || cdSize > eocd - cdOffset) return false;
    size_t pos = static_cast<size_t>(cdOffset);
    for (uint32_t n = 0; n < entries; ++n) {
        if (pos + 46 > eocd) return false;
        const LeBytes cd(d + pos, 46);
        if (cd.u32(0) != 0x02014B50) return false;
        const uint16_t flags = cd.u16(8), method = cd.u16(10);
        const uint32_t crc = cd.u32(16), compressed = cd.u32(20), plain = cd.u32(24);
        const size_t local = cd.u32(42);
        pos += 46 + size_t(cd.u16(28)) + cd.u16(30) + cd.u16(32);
        if (local + 30 > size) return false;
        const LeBytes lh(d + local, 30);
        if (lh.u32(0) != 0x04034B50) return false;
        const size_t data = local + 30 + lh.u16(26) + lh.u16(28);
        if (data > size || compressed > size - data) return false;
        if (flags & 1) continue;  // encrypted: nothing to check without the key
        if (method == 0) {
            if (compressed != plain) return false;
            if (static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), d + data, compressed)) != crc) return false;
        } else if (method == 8) {
            uint32_t got = 0;
            uint64_t produced = 0;
            if (!InflateWhole(d + data, compressed, -15, &got, &produced) || got != crc || produced != plain)
                return false;
        }
        // Other methods are not checked.
    }
    return true;
}

bool VerifyPdfStreams(const uint8_t* d, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(d), size);
    size_t from = 0;
    while (true) {
        size_t at = text.find("stream", from);
        if (at == std::string_view::npos) return true;
        from = at + 6;
        if (at >= 3 && text.compare(at - 3, 3, "end") == 0) continue;  // "endstream"
        size_t start = at + 6;
        if (start < size && d[start] == '\r') ++start;
        if (start >= size || d[start] != '\n') continue;  // not the keyword
        ++start;
        // The stream's dictionary: back to its object's start.
        const size_t obj = text.rfind(" obj", at);
        if (obj == std::string_view::npos || at - obj > 4096) continue;
        std::string dict(text.substr(obj, at - obj));
        dict.erase(std::remove_if(dict.begin(), dict.end(), [](char c) { return c == ' ' || c == '\r' || c == '\n'; }),
                   dict.end());
        const bool flate = dict.find("/Filter/FlateDecode") != std::string::npos ||
                           dict.find("/Filter[/FlateDecode") != std::string::npos;
        const size_t stop = text.find("endstream", start);
        if (stop == std::string_view::npos) return false;
        from = stop + 9;
        if (!flate) continue;
        if (!InflateWhole(d + start, stop - start, 15, nullptr, nullptr)) return false;
    }
}

std::optional<bool> VerifyContent(std::u16string_view key, const uint8_t* data, size_t size) {
    // A JPEG's Exif thumbnail shows the photo taken: a main image that
    // decodes to another picture holds foreign clusters.
    if (key == u"jpg") return VerifyJpegEntropy(data, size) && VerifyJpegThumbnail(data, size).value_or(true);
    if (std::find(std::begin(kTiffRaws), std::end(kTiffRaws), key) != std::end(kTiffRaws))
        return VerifyRawPreviews(data, size);
    if (key == u"png") return VerifyPngChunks(data, size);
    if (key == u"zip" || key == u"docx" || key == u"xlsx" || key == u"pptx") return VerifyZipMembers(data, size);
    if (key == u"pdf") return VerifyPdfStreams(data, size);
    // GIF's sub-blocks and MPEG audio's frames are a few hundred bytes
    // apart: the recognisers' walks over them break at a wrong cluster.
    if (key == u"gif" || key == u"mp3") return true;
    return std::nullopt;
}
