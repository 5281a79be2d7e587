// ZIP archives, Office Open XML packages (docx, xlsx, pptx) and OpenDocument
// packages (odt, ods, odp, odg).
//
// The local headers are walked from the first byte (after a "PK00" split
// marker); an entry whose sizes follow its data in a data descriptor is
// measured by searching for the descriptor, at most 52,428,800 positions.
// The central directory that follows names the package's parts: the main
// part decides docx, xlsx or pptx. The end record gives the total size. The
// core properties part (docProps/core.xml) is inflated (raw deflate, at most
// 5,119 bytes either way) and gives the title and author (dc:title,
// dc:creator). An OpenDocument package starts with a stored member
// "mimetype" holding its media type (at most kZipMaxMimeTypeSize bytes); its
// meta.xml (deflated within the same caps as the core properties, or stored)
// gives the title and author (dc:title, meta:initial-creator).
//
// Member names are only compared with ASCII part names, so they are compared
// as bytes: every encoding an archive may use (UTF-8 with flag bit 11, a DOS
// code page without) keeps ASCII as it is.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/formats/CarveSupport.h"
#include "engine/formats/DocumentProviders.h"

namespace {

constexpr std::u16string_view kZipKeys[] = {u"zip", u"docx", u"xlsx", u"pptx", u"odt", u"ods", u"odp", u"odg"};

// The OpenDocument media types and the type each makes.
struct OpenDocumentType {
    std::string_view mediaType;
    const char16_t* key;
};
constexpr OpenDocumentType kOpenDocumentTypes[] = {
    {"application/vnd.oasis.opendocument.text", u"odt"},
    {"application/vnd.oasis.opendocument.spreadsheet", u"ods"},
    {"application/vnd.oasis.opendocument.presentation", u"odp"},
    {"application/vnd.oasis.opendocument.graphics", u"odg"},
};

constexpr uint32_t kLocalHeaderSig = 0x04034B50;
constexpr uint32_t kCentralHeaderSig = 0x02014B50;
constexpr uint32_t kEndRecordSig = 0x06054B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;
constexpr uint32_t kSplitMarker = 0x30304B50;  // "PK00"
constexpr uint32_t kZip64EndRecordSig = 0x06064B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;

constexpr uint16_t kFlagDescriptor = 1u << 3;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;



bool ReadName(CarveContext& c, uint64_t position, uint32_t length, std::string& name) {
    name.clear();
    if (length == 0) return true;
    if (!c.ReadAt(position, length)) return false;
    name.assign(reinterpret_cast<const char*>(c.Data()), length);
    return true;
}

// The data descriptor of an entry whose data starts at dataStart: the first
// position q, among at most kZipDescriptorSearchCap from dataStart, holding
// the descriptor signature followed by a compressed size of q - dataStart (a
// signature inside the compressed data does not carry its own distance and
// is passed over). Gives the compressed and uncompressed sizes. False when
// the cap is reached, the source ends, a read fails or the scan stops.
bool FindDataDescriptor(CarveContext& c, uint64_t dataStart, uint64_t& compressed, uint32_t& uncompressed) {
    const uint64_t end = dataStart + kZipDescriptorSearchCap;  // first position not tried
    uint64_t q = dataStart;
    while (q < end) {
        if (c.Stopped()) return false;
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kCarveBufferSize, end - q + 15));
        if (!ReadSome(c, q, std::max<uint32_t>(want, 4), 4)) return false;
        const uint32_t got = c.length;
        const uint8_t* d = c.Data();
        const uint64_t positions = std::min<uint64_t>(got - 3, end - q);
        uint64_t next = q + positions;
        for (uint32_t i = 0; i < positions; ++i) {
            if (LeBytes::u32_unsafe(d + i) != kDescriptorSig) continue;
            if (i + 16 > got) {
                // The descriptor's fields lie past this read: read again from
                // the signature, unless that is where this read began.
                if (i == 0) return false;
                next = q + i;
                break;
            }
            const uint64_t distance = q + i - dataStart;
            if (LeBytes::u32_unsafe(d + i + 8) == static_cast<uint32_t>(distance)) {
                compressed = distance;
                uncompressed = LeBytes::u32_unsafe(d + i + 12);
                return true;
            }
        }
        q = next;
    }
    return false;
}

using PropertiesParser = bool (*)(const uint8_t*, size_t, DocumentProperties&);

// Inflates the raw deflate stream into at most capacity bytes and parses it
// with parse. False on any inflate or XML failure.
bool ReadProperties(const std::vector<uint8_t>& compressed, uint32_t capacity, PropertiesParser parse,
                    DocumentProperties& properties) {
    std::vector<uint8_t> out(capacity);
    z_stream zs {};
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(compressed.data());
    zs.avail_in = static_cast<uInt>(compressed.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&zs, Z_FINISH);
    const size_t produced = zs.total_out;
    inflateEnd(&zs);
    if (result != Z_STREAM_END) return false;
    return parse(out.data(), produced, properties);
}

}  // namespace

bool ZIPContainerProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 4)) return false;
    const uint32_t first = c.Bytes().u32(0);
    if (first != kLocalHeaderSig && first != kSplitMarker) return false;
    uint64_t p = first == kSplitMarker ? 4 : 0;
    uint32_t localHeaders = 0;
    bool docx = false, xlsx = false, pptx = false;
    const char16_t* openDocument = nullptr;  // the type named by a first member "mimetype"
    bool propertiesParsed = false;
    DocumentProperties properties;
    std::string name;

    // Local headers. Each step moves forward by at least 30 bytes; positions
    // past 32 bits fail to read.
    while (true) {
        if (c.Stopped()) return false;
        if (!c.ReadAt(p, 4)) return false;
        if (c.Bytes().u32(0) != kLocalHeaderSig) break;
        if (!c.ReadAt(p, 30)) return false;
        const LeBytes h = c.Bytes();
        const uint16_t flags = h.u16(6);
        const uint16_t method = h.u16(8);
        const uint32_t headerCompressed = h.u32(18);
        uint32_t uncompressed = h.u32(22);
        const uint16_t nameLength = h.u16(26);
        const uint16_t extraLength = h.u16(28);
        ++localHeaders;
        if (nameLength > kZipMaxNameLength || extraLength > kZipMaxNameLength) return false;
        p += 30;
        if (!ReadName(c, p, nameLength, name)) return false;
        p += nameLength + uint64_t(extraLength);
        uint64_t k = headerCompressed;
        if (k == 0 && (flags & kFlagDescriptor)) {
            // Sizes follow the data; the descriptor's uncompressed size is the
            // one that counts (the header's is 0 or a guess).
            if (!FindDataDescriptor(c, p, k, uncompressed)) return false;
        }
        if (localHeaders == 1 && name == "mimetype" && method == kMethodStored && k == uncompressed && k >= 1 &&
            k <= kZipMaxMimeTypeSize) {
            if (!c.ReadAt(p, static_cast<uint32_t>(k))) return false;
            const std::string_view mediaType(reinterpret_cast<const char*>(c.Data()), static_cast<size_t>(k));
            for (const OpenDocumentType& t : kOpenDocumentTypes)
                if (mediaType == t.mediaType) openDocument = t.key;
        }
        const PropertiesParser parse = name == "docProps/core.xml"         ? ParseCoreProperties
                                       : openDocument && name == "meta.xml" ? ParseOpenDocumentMeta
                                                                            : nullptr;
        if (!propertiesParsed && parse && k >= 1 && k <= kZipMaxCorePropertiesSize && uncompressed >= 1 &&
            uncompressed <= kZipMaxCorePropertiesSize &&
            (method == kMethodDeflate || (method == kMethodStored && parse == ParseOpenDocumentMeta))) {
            if (!c.ReadAt(p, static_cast<uint32_t>(k))) return false;
            DocumentProperties read;
            bool parsed;
            if (method == kMethodStored) {
                parsed = k == uncompressed && parse(c.Data(), static_cast<size_t>(k), read);
            } else {
                const std::vector<uint8_t> compressed(c.Data(), c.Data() + k);
                parsed = ReadProperties(compressed, uncompressed, parse, read);
            }
            if (parsed) {
                properties = std::move(read);
                propertiesParsed = true;
            }
        }
        p += k;
        if (flags & kFlagDescriptor) p += 16;
    }
    if (p == 0 || localHeaders == 0) return false;

    // Central directory, then the end record.
    bool centralSeen = false;
    uint64_t size = 0;
    while (true) {
        if (c.Stopped()) return false;
        if (!c.ReadAt(p, 4)) return false;
        const uint32_t sig = c.Bytes().u32(0);
        if (sig == kCentralHeaderSig) {
            if (!c.ReadAt(p, 46)) return false;
            const LeBytes h = c.Bytes();
            const uint16_t nameLength = h.u16(28);
            const uint16_t extraLength = h.u16(30);
            const uint16_t commentLength = h.u16(32);
            if (nameLength > kZipMaxNameLength || extraLength > kZipMaxNameLength || commentLength > kZipMaxNameLength)
                return false;
            centralSeen = true;
            p += 46;
            if (!ReadName(c, p, nameLength, name)) return false;
            if (name == "word/document.xml") docx = true;
            else if (name == "xl/workbook.xml") xlsx = true;
            else if (name == "ppt/presentation.xml") pptx = true;
            p += nameLength + uint64_t(extraLength) + commentLength;
            continue;
        }
        if (!centralSeen) return false;
        // Archives of more than 65,535 entries or 4 GiB put a ZIP64 end
        // record and its locator before the end record.
        if (sig == kZip64EndRecordSig) {
            if (!c.ReadAt(p, 12)) return false;
            const uint64_t recordSize = c.Bytes().u64(4);
            if (recordSize > UINT32_MAX) return false;
            p += 12 + recordSize;
            continue;
        }
        if (sig == kZip64LocatorSig) {
            p += 20;
            continue;
        }
        if (!c.ReadAt(p, 22)) return false;
        const LeBytes e = c.Bytes();
        if (e.u32(0) != kEndRecordSig) return false;
        size = p + 22 + e.u16(20);
        break;
    }
    if (size > UINT32_MAX) return false;

    const char16_t* key = nullptr;
    if (openDocument && TypeEnabled(c, openDocument)) key = openDocument;
    else if (docx && TypeEnabled(c, u"docx")) key = u"docx";
    else if (xlsx && TypeEnabled(c, u"xlsx")) key = u"xlsx";
    else if (pptx && TypeEnabled(c, u"pptx")) key = u"pptx";
    else if (TypeEnabled(c, u"zip")) key = u"zip";
    if (!key) return false;
    if (propertiesParsed) {
        const DocumentProperties shown = ShownDocumentProperties(properties);
        c.title = shown.title;
        c.author = shown.creator;
    }
    c.size = size;
    c.typeKey = key;
    return true;
}

const ProviderDescriptor kZIPContainerProvider {u"ZIPContainerProvider",
                                                u"ZIP archives, Office Open XML documents (docx, xlsx, pptx) and "
                                                u"OpenDocument files (odt, ods, odp, odg)",
                                                ZIPContainerProviderDetect, kZipKeys, {0, "P"}};
