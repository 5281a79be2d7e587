// SQLite databases, 7-Zip archives and RAR archives (versions 4 and 5).
//
// SQLite: the 100-byte database header (page size 512 to 32,768, a power of
// two, or 1 for 65,536; the fixed payload fractions; zero in the reserved
// bytes; a known schema format and text encoding) and the b-tree page
// header of page 1. The size is the header's page count times the page
// size, taken only when the header's count is valid (its version-valid-for
// number equals the change counter): older writers leave the count stale,
// and such a file is not reported.
//
// 7-Zip: the 32-byte signature header with its CRC; the next header lies at
// 32 + its offset, and the archive ends with it: size = 32 + offset + size.
// The next header (at most kSevenZipMaxHeader bytes) must start with a
// header or encoded-header id and match its CRC.
//
// RAR 4: the marker block, then the archive header, then blocks of a 7-byte
// base header (CRC-16 of the header, type, flags, header size), each
// header's CRC checked (the low 16 bits of its CRC-32); file and service
// blocks are followed by their packed data (its high 32 bits when flagged),
// other blocks by their added size when flagged; the archive ends with the
// end-of-archive block. Archives with encrypted headers cannot be walked
// and are not reported. RAR 5: the signature, then headers of a CRC-32, a
// vint header size (at most kRar5MaxHeaderSize), type and flags, with their
// data areas; the first is the main archive header, the archive ends with
// the end-of-archive header. At most kRarMaxBlocks blocks either way.
#include <algorithm>
#include <cstring>

#include "engine/formats/CarveSupport.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"

namespace {

constexpr std::u16string_view kSqliteKeys[] = {u"sqlite"};
constexpr std::u16string_view kSevenZipKeys[] = {u"7z"};
constexpr std::u16string_view kRarKeys[] = {u"rar"};

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

// ---------------------------------------------------------------------------
// SQLite

bool SQLiteProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 108)) return false;
    const uint8_t* h = c.Data();
    if (std::memcmp(h, "SQLite format 3", 16) != 0) return false;
    const uint32_t rawPageSize = Be16(h + 16);
    const uint32_t pageSize = rawPageSize == 1 ? 65536 : rawPageSize;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return false;
    if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2) return false;
    if (pageSize - h[20] < 480) return false;  // usable size
    if (h[21] != 64 || h[22] != 32 || h[23] != 32) return false;
    for (int i = 72; i < 92; ++i)
        if (h[i] != 0) return false;
    const uint32_t schemaFormat = Be32(h + 44), encoding = Be32(h + 56);
    if (schemaFormat < 1 || schemaFormat > 4 || encoding < 1 || encoding > 3) return false;
    const uint32_t changeCounter = Be32(h + 24), pages = Be32(h + 28);
    const uint32_t freelistTrunk = Be32(h + 32), freelistPages = Be32(h + 36);
    if (Be32(h + 92) != changeCounter || pages == 0) return false;
    if (freelistTrunk > pages || freelistPages >= pages) return false;
    // Page 1 holds the schema table: a table b-tree page, leaf or interior.
    if (h[100] != 0x0D && h[100] != 0x05) return false;
    const uint64_t size = uint64_t(pages) * pageSize;
    if (size > UINT32_MAX) return false;
    c.size = size;
    c.typeKey = u"sqlite";
    return true;
}

// ---------------------------------------------------------------------------
// 7-Zip

bool SevenZipProviderDetect(CarveContext& c) {
    static constexpr uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    if (!c.ReadAt(uint64_t(0), 32)) return false;
    const LeBytes h = c.Bytes();
    if (!h.equals(0, kSignature, 6) || h.u8(6) != 0) return false;
    if (Crc32Update(0, c.Data() + 12, 20) != h.u32(8)) return false;
    const uint64_t offset = h.u64(12), headerSize = h.u64(20);
    const uint32_t headerCrc = h.u32(28);
    if (headerSize == 0 || headerSize > kSevenZipMaxHeader || offset > UINT32_MAX) return false;
    const uint64_t size = 32 + offset + headerSize;
    if (size > UINT32_MAX) return false;
    if (!c.ReadAt(32 + offset, 1)) return false;
    const uint8_t id = c.Data()[0];
    if (id != 0x01 && id != 0x17) return false;  // Header, EncodedHeader
    uint32_t crc = 0;
    if (!Crc32Of(c, 32 + offset, headerSize, crc) || crc != headerCrc) return false;
    c.size = size;
    c.typeKey = u"7z";
    return true;
}

// ---------------------------------------------------------------------------
// RAR

namespace {

constexpr uint8_t kRar4Marker[7] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr uint8_t kRar5Signature[8] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};

bool Rar4Walk(CarveContext& c, uint64_t& size) {
    uint64_t p = 7;
    for (uint32_t n = 0; n < kRarMaxBlocks; ++n) {
        if (c.Stopped() || p > UINT32_MAX || !c.ReadAt(p, 7)) return false;
        const LeBytes b = c.Bytes();
        const uint16_t crc = b.u16(0), flags = b.u16(3), headerSize = b.u16(5);
        const uint8_t type = b.u8(2);
        if (headerSize < 7 || type < 0x72 || type > 0x7B) return false;
        if (n == 0 && (type != 0x73 || headerSize < 13)) return false;
        if (n == 0 && (flags & 0x0080)) return false;  // encrypted headers
        uint32_t headerCrc = 0;
        if (!Crc32Of(c, p + 2, headerSize - 2u, headerCrc) || (headerCrc & 0xFFFF) != crc) return false;
        uint64_t data = 0;
        if (type == 0x74 || type == 0x7A) {
            const bool large = (flags & 0x0100) != 0;  // high 32 bits of the sizes follow the fixed fields
            if (headerSize < (large ? 40 : 32) || !c.ReadAt(p, large ? 36 : 11)) return false;
            data = c.Bytes().u32(7);
            if (large) data |= uint64_t(c.Bytes().u32(32)) << 32;
        } else if (flags & 0x8000) {
            if (headerSize < 11 || !c.ReadAt(p + 7, 4)) return false;
            data = c.Bytes().u32(0);
        }
        p += headerSize + data;
        if (type == 0x7B) {
            size = p;
            return true;
        }
    }
    return false;
}

// A RAR 5 vint at d (n bytes): 7 bits a byte, low first; false past 10 bytes
// or n.
bool Vint(const uint8_t* d, uint32_t n, uint32_t& at, uint64_t& value) {
    value = 0;
    for (uint32_t i = 0; i < 10 && at < n; ++i) {
        const uint8_t b = d[at++];
        if (i == 9 && b > 1) return false;
        value |= uint64_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) return true;
    }
    return false;
}

bool Rar5Walk(CarveContext& c, uint64_t& size) {
    uint64_t p = 8;
    for (uint32_t n = 0; n < kRarMaxBlocks; ++n) {
        if (c.Stopped() || p > UINT32_MAX) return false;
        // CRC-32, header size, type, flags, extra area size, data size: at most 4 + 5 x 10 bytes.
        if (!ReadSome(c, p, 64, 8)) return false;
        const uint32_t got = c.length;
        const uint8_t* d = c.Data();
        const uint32_t crc = c.Bytes().u32(0);
        uint32_t at = 4;
        uint64_t headerSize = 0, type = 0, flags = 0, extra = 0, data = 0;
        if (!Vint(d, got, at, headerSize) || headerSize == 0 || headerSize > kRar5MaxHeaderSize) return false;
        const uint32_t fieldsStart = at;
        if (!Vint(d, got, at, type) || !Vint(d, got, at, flags)) return false;
        if ((flags & 0x0001) && !Vint(d, got, at, extra)) return false;
        if ((flags & 0x0002) && !Vint(d, got, at, data)) return false;
        if (at - fieldsStart > headerSize || extra > headerSize) return false;
        if (type < 1 || type > 5 || type == 4 || (n == 0) != (type == 1)) return false;  // 4: encrypted headers
        uint32_t headerCrc = 0;
        if (!Crc32Of(c, p + 4, fieldsStart - 4 + headerSize, headerCrc) || headerCrc != crc) return false;
        if (data > UINT32_MAX) return false;
        p += fieldsStart + headerSize + data;
        if (type == 5) {
            size = p;
            return true;
        }
    }
    return false;
}

}  // namespace

bool RARProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 8)) return false;
    uint64_t size = 0;
    if (std::memcmp(c.Data(), kRar5Signature, 8) == 0) {
        if (!Rar5Walk(c, size)) return false;
    } else if (std::memcmp(c.Data(), kRar4Marker, 7) == 0) {
        if (!Rar4Walk(c, size)) return false;
    } else {
        return false;
    }
    if (size > UINT32_MAX) return false;
    c.size = size;
    c.typeKey = u"rar";
    return true;
}

const ProviderDescriptor kSQLiteProvider {u"SQLiteProvider", u"SQLite databases", SQLiteProviderDetect, kSqliteKeys,
                                          {0, "S"}};
const ProviderDescriptor kSevenZipProvider {u"SevenZipProvider", u"7-Zip archives", SevenZipProviderDetect,
                                            kSevenZipKeys, {0, "7"}};
const ProviderDescriptor kRARProvider {u"RARProvider", u"RAR archives (versions 4 and 5)", RARProviderDetect, kRarKeys,
                                       {0, "R"}};
