// RIFF files: WebP images, WAVE audio and AVI video.
//
// A RIFF file is "RIFF", a 32-bit little-endian size and a form type; the
// file is the size + 8 bytes. The chunks inside the form are walked from the
// first: each must fit the form, and together (each padded to an even size)
// they must fill it exactly; at most kRiffMaxChunks chunks are walked. The
// first chunk decides the form: VP8, VP8L or VP8X for WebP (with the
// bitstream's own signature), "fmt " (after an optional JUNK or bext chunk)
// with a plausible format for WAVE, a LIST "hdrl" starting with "avih" for
// AVI. A WAVE needs a "data" chunk and an AVI a LIST "movi".
//
// An AVI larger than 1 GiB goes on in RIFF "AVIX" forms right after the
// first; each is walked in the same way and added, at most
// kAviMaxContinuations of them, while the total stays within 32 bits.
//
// A LIST "INFO" chunk of the first form gives the title (INAM) and artist
// (IART), as far as they lie in its first 5,120 bytes.
#include <algorithm>
#include <cstring>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kWebpKeys[] = {u"webp"};
constexpr std::u16string_view kWavKeys[] = {u"wav"};
constexpr std::u16string_view kAviKeys[] = {u"avi"};

bool Is(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// The RIFF form at position: its size field and form type. False unless it
// reads "RIFF" with a size that holds at least the form type and one chunk
// header.
bool ReadForm(CarveContext& c, uint64_t position, uint32_t& formSize, uint8_t type[4]) {
    if (!c.ReadAt(position, 12) || !Is(c.Data(), "RIFF")) return false;
    formSize = c.Bytes().u32(4);
    std::memcpy(type, c.Data() + 8, 4);
    return formSize >= 12;
}

struct FormWalk {
    bool sawData = false;  // WAVE "data"
    bool sawMovi = false;  // AVI LIST "movi"
    DocumentProperties info;  // INAM, IART
};

// The INAM and IART texts among the n bytes of INFO subchunks at d.
void ReadInfo(const uint8_t* d, uint32_t n, DocumentProperties& info) {
    const LeBytes b(d, n);
    for (uint64_t q = 0; q + 8 <= n;) {
        const size_t at = static_cast<size_t>(q);
        const uint32_t size = b.u32(at + 4);
        const bool title = b.equals(at, "INAM", 4), artist = b.equals(at, "IART", 4);
        q += 8;
        if (title || artist) {
            const uint64_t take = std::min<uint64_t>(size, n - q);
            std::string_view text(reinterpret_cast<const char*>(d + q), static_cast<size_t>(take));
            text = text.substr(0, text.find('\0'));
            (title ? info.title : info.creator) = Utf8ToUtf16(text);
        }
        q += uint64_t(size) + (size & 1);
    }
}

// Walks the chunks of the form at position (size field formSize): they must
// tile it. The last chunk may lack its pad byte when the form ends right
// after its data.
bool WalkChunks(CarveContext& c, uint64_t position, uint32_t formSize, FormWalk& walk) {
    const uint64_t end = position + 8 + uint64_t(formSize);
    uint64_t p = position + 12;
    for (uint32_t n = 0; n < kRiffMaxChunks; ++n) {
        if (p == end) return true;
        if (c.Stopped() || end - p < 8 || !c.ReadAt(p, 12 <= end - p ? 12 : 8)) return false;
        const uint64_t size = c.Bytes().u32(4);
        if (Is(c.Data(), "data")) walk.sawData = true;
        if (c.length == 12 && Is(c.Data(), "LIST") && Is(c.Data() + 8, "movi")) walk.sawMovi = true;
        if (c.length == 12 && Is(c.Data(), "LIST") && Is(c.Data() + 8, "INFO") && size > 4 && p + 8 + size <= end) {
            const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(size - 4, kCarveBufferSize));
            if (!c.ReadAt(p + 12, take)) return false;
            ReadInfo(c.Data(), take, walk.info);
        }
        const uint64_t next = p + 8 + size;
        if (next > end) return false;
        if (next == end) return true;
        p = next + (size & 1);
    }
    return false;
}

// The bitstream signature of the first WebP chunk (id at 12, data at 20).
bool WebpFirstChunkValid(CarveContext& c, uint32_t chunkSize) {
    if (Is(c.Data() + 12, "VP8 ")) {
        // A key frame: frame tag (bit 0 clear), then the start code 9D 01 2A.
        if (chunkSize < 10 || !c.ReadAt(uint64_t(20), 10)) return false;
        const uint8_t* d = c.Data();
        return (d[0] & 1) == 0 && d[3] == 0x9D && d[4] == 0x01 && d[5] == 0x2A;
    }
    if (Is(c.Data() + 12, "VP8L")) {
        // Signature 0x2F, then 14-bit width and height and a version of 0.
        if (chunkSize < 5 || !c.ReadAt(uint64_t(20), 5)) return false;
        return c.Data()[0] == 0x2F && (c.Data()[4] >> 5) == 0;
    }
    if (Is(c.Data() + 12, "VP8X")) {
        // Ten bytes: flags, three reserved, canvas width and height minus one.
        if (chunkSize != 10 || !c.ReadAt(uint64_t(20), 10)) return false;
        const uint8_t* d = c.Data();
        return (d[0] & 0xC1) == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0;
    }
    return false;
}

// A WAVE format chunk of size chunkSize at position: a known coding, 1 to
// 64 channels, a rate of 1 Hz to 1 MHz, and for PCM and float the block
// alignment and byte rate they imply.
bool WaveFormatValid(CarveContext& c, uint64_t position, uint32_t chunkSize) {
    if (chunkSize < 16 || chunkSize > 1024 || !c.ReadAt(position + 8, 16)) return false;
    const LeBytes f = c.Bytes();
    const uint16_t tag = f.u16(0), channels = f.u16(2), blockAlign = f.u16(12), bits = f.u16(14);
    const uint32_t rate = f.u32(4), byteRate = f.u32(8);
    if (channels == 0 || channels > 64 || rate == 0 || rate > 1000000 || blockAlign == 0) return false;
    switch (tag) {
        case 0x0001:  // PCM
        case 0x0003:  // IEEE float
        case 0xFFFE:  // extensible
            if (bits == 0 || bits > 64) return false;
            return blockAlign == channels * ((bits + 7u) / 8u) && byteRate == rate * blockAlign;
        case 0x0002:  // Microsoft ADPCM
        case 0x0006:  // A-law
        case 0x0007:  // mu-law
        case 0x0011:  // IMA ADPCM
        case 0x0031:  // GSM 6.10
        case 0x0050:  // MPEG
        case 0x0055:  // MPEG Layer III
        case 0x0160:  // WMA
        case 0x0161:
        case 0x0162:
        case 0x2000:  // AC-3
            return byteRate != 0;
        default:
            return false;
    }
}

enum class Form { Webp, Wave, Avi };

bool DetectRiff(CarveContext& c, Form form) {
    uint32_t formSize = 0;
    uint8_t type[4];
    if (!ReadForm(c, 0, formSize, type)) return false;
    const uint64_t end = 8 + uint64_t(formSize);
    if (!c.ReadAt(uint64_t(0), 24)) return false;
    const uint32_t firstSize = c.Bytes().u32(16);
    if (20 + uint64_t(firstSize) > end) return false;
    switch (form) {
        case Form::Webp:
            if (!Is(type, "WEBP") || !WebpFirstChunkValid(c, firstSize)) return false;
            break;
        case Form::Wave: {
            if (!Is(type, "WAVE")) return false;
            // Broadcast and padded writers put a bext or JUNK chunk first.
            uint64_t p = 12;
            for (int skipped = 0; skipped < 2; ++skipped) {
                if (!c.ReadAt(p, 8)) return false;
                if (!Is(c.Data(), "JUNK") && !Is(c.Data(), "bext")) break;
                p += 8 + uint64_t(c.Bytes().u32(4));
                p += p & 1;
                if (p + 8 > end) return false;
            }
            if (!c.ReadAt(p, 8) || !Is(c.Data(), "fmt ") || !WaveFormatValid(c, p, c.Bytes().u32(4))) return false;
            break;
        }
        case Form::Avi:
            if (!Is(type, "AVI ") || !Is(c.Data() + 12, "LIST") || !Is(c.Data() + 20, "hdrl")) return false;
            // The main header comes first in the header list, 56 bytes.
            if (firstSize < 4 + 8 + 56 || !c.ReadAt(uint64_t(24), 8) || !Is(c.Data(), "avih") ||
                c.Bytes().u32(4) != 56)
                return false;
            break;
    }
    FormWalk walk;
    if (!WalkChunks(c, 0, formSize, walk)) return false;
    uint64_t size = end;
    switch (form) {
        case Form::Webp:
            break;
        case Form::Wave:
            if (!walk.sawData) return false;
            break;
        case Form::Avi:
            if (!walk.sawMovi) return false;
            // OpenDML continuation forms.
            for (uint32_t n = 0; n < kAviMaxContinuations && size <= UINT32_MAX; ++n) {
                uint32_t nextSize = 0;
                uint8_t nextType[4];
                if (c.Stopped()) return false;
                if (!ReadForm(c, size, nextSize, nextType) || !Is(nextType, "AVIX")) break;
                FormWalk next;
                if (!WalkChunks(c, size, nextSize, next) || !next.sawMovi) break;
                size += 8 + uint64_t(nextSize);
            }
            break;
    }
    if (size > UINT32_MAX) return false;
    const DocumentProperties shown = ShownDocumentProperties(walk.info);
    c.title = shown.title;
    c.author = shown.creator;
    c.size = size;
    c.typeKey = form == Form::Webp ? u"webp" : form == Form::Wave ? u"wav" : u"avi";
    return true;
}

}  // namespace

bool WebPProviderDetect(CarveContext& c) { return DetectRiff(c, Form::Webp); }
bool WAVProviderDetect(CarveContext& c) { return DetectRiff(c, Form::Wave); }
bool AVIProviderDetect(CarveContext& c) { return DetectRiff(c, Form::Avi); }

const ProviderDescriptor kWebPProvider {u"WebPProvider", u"WebP images", WebPProviderDetect, kWebpKeys, {0, "R"}};
const ProviderDescriptor kWAVProvider {u"WAVProvider", u"WAVE audio", WAVProviderDetect, kWavKeys, {0, "R"}};
const ProviderDescriptor kAVIProvider {u"AVIProvider", u"AVI video (with OpenDML continuation forms)",
                                       AVIProviderDetect, kAviKeys, {0, "R"}};
