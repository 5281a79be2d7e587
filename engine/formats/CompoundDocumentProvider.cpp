// Compound files (the structured storage of Word, Excel and PowerPoint
// 97-2003 documents): doc, xls, ppt.
//
// The header's DIFAT entries and the DIFAT chain list the FAT sectors; the
// FAT, the mini FAT and the directory are read; the main stream's name gives
// the type and the SummaryInformation property set the title and author.
// The size is that of the sectors up to the highest one the FAT marks used.
//
// Bounds: sector sizes of 128 to 1,024 bytes; at most kMaxFatEntries FAT
// entries (a 4 GiB file of 512-byte sectors); every chain ends at the first
// sector it visits again, and no chain is longer than its table. Streams are
// read piece by piece through their chains, so a large SummaryInformation
// stream (one with a preview picture) costs only the reads of its header,
// its property table and the two texts.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kCompoundKeys[] = {u"doc", u"xls", u"ppt"};
constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kMaxFatEntries = size_t(1) << 23;
constexpr uint32_t kMaxPropertyText = 4096;  // bytes of a title or author looked at
constexpr int32_t kFreeSector = -1;
constexpr int32_t kLowestSpecialSector = -4;  // below this a sector number is invalid
constexpr uint32_t kDirEntrySize = 128;
constexpr uint16_t kVtI2 = 2;
constexpr uint32_t kPidTitle = 2;   // PIDSI_TITLE
constexpr uint32_t kPidAuthor = 4;  // PIDSI_AUTHOR
constexpr uint32_t kVtLpstr = 30;
constexpr uint32_t kVtLpwstr = 31;

// Header fields (offsets in the 512-byte header).
constexpr size_t kHdrSectorShift = 30;      // u16
constexpr size_t kHdrMiniSectorShift = 32;  // u16
constexpr size_t kHdrFirstDirSector = 48;   // i32
constexpr size_t kHdrMiniCutoff = 56;       // u32
constexpr size_t kHdrFirstMiniFat = 60;     // i32
constexpr size_t kHdrMiniFatCount = 64;     // u32
constexpr size_t kHdrFirstDifat = 68;       // i32
constexpr size_t kHdrDifat = 76;            // 109 x i32
constexpr size_t kHdrDifatEntries = 109;

// Directory entry fields.
constexpr size_t kDirObjectType = 66;   // u8, 5 = root storage
constexpr size_t kDirStartSector = 116; // i32
constexpr size_t kDirStreamSize = 120;  // u32

bool Enabled(const CarveContext& c, std::u16string_view key) { return c.scanner && IsTypeEnabled(*c.scanner, key); }

// A stream located through its chain: the sectors (or mini sectors) in order.
struct Stream {
    std::vector<uint32_t> sectors;
    bool mini = false;
    uint64_t size = 0;
};

class CompoundFile {
public:
    explicit CompoundFile(CarveContext& c) : m_c(c) {}

    bool Parse();

    uint64_t Size() const { return m_usedSectors * uint64_t(m_sectorSize) + 512; }
    const std::u16string& Type() const { return m_type; }
    const DocumentProperties& Properties() const { return m_properties; }

private:
    uint64_t SectorPosition(uint32_t sector) const { return 512 + uint64_t(sector) * m_sectorSize; }
    bool ReadSector(uint32_t sector) { return m_c.ReadAt(SectorPosition(sector), m_sectorSize); }
    bool ReadFatSectorList(const LeBytes& header, std::vector<uint32_t>& list);
    bool ReadFat(const std::vector<uint32_t>& list);
    bool ReadMiniFat(int32_t first, uint32_t count);
    bool ReadDirectory(int32_t first);
    // 1 = handled, 0 = skipped, -1 = reject the candidate.
    int ReadSummaryInformation(int32_t start, uint32_t size);
    bool ReadStreamBytes(const Stream& s, uint64_t offset, uint32_t n, uint8_t* out);
    bool OpenStream(int32_t start, uint32_t size, bool mini, Stream& s) const;

    CarveContext& m_c;
    uint32_t m_sectorSize = 0;
    uint32_t m_miniSectorSize = 0;
    uint32_t m_miniCutoff = 0;
    std::vector<int32_t> m_fat;
    std::vector<int32_t> m_miniFat;
    uint64_t m_usedSectors = 0;
    bool m_miniStreamOpen = false;
    Stream m_miniStream;  // the root entry's stream, which holds the mini sectors
    bool m_summarySeen = false;
    std::u16string m_type;
    DocumentProperties m_properties;
};

// The chain from start through table, at most limit entries: it ends at a
// negative number, a number outside the table or a sector already visited.
void FollowChain(const std::vector<int32_t>& table, int32_t start, size_t limit, std::vector<uint32_t>& out) {
    out.clear();
    std::vector<bool> visited;
    int32_t s = start;
    while (s >= 0 && static_cast<size_t>(s) < table.size() && out.size() < limit) {
        if (visited.empty()) visited.resize(table.size());
        if (visited[static_cast<size_t>(s)]) break;
        visited[static_cast<size_t>(s)] = true;
        out.push_back(static_cast<uint32_t>(s));
        s = table[static_cast<size_t>(s)];
    }
}

bool CompoundFile::ReadFatSectorList(const LeBytes& header, std::vector<uint32_t>& list) {
    const size_t maxFatSectors = kMaxFatEntries / (m_sectorSize / 4) + 1;
    for (size_t i = 0; i < kHdrDifatEntries; ++i) {
        const int32_t v = header.i32(kHdrDifat + 4 * i);
        if (v < 0) {
            if (v < kLowestSpecialSector) return false;
            break;
        }
        list.push_back(static_cast<uint32_t>(v));
    }
    int32_t next = header.i32(kHdrFirstDifat);
    if (next == -2) return true;
    // The DIFAT chain: each sector lists FAT sectors and ends with the next
    // DIFAT sector. A sector seen before ends it, and so does a list longer
    // than any FAT this provider accepts.
    std::set<int32_t> visited;
    const uint32_t perSector = m_sectorSize / 4 - 1;
    while (next >= 0) {
        if (m_c.Stopped()) return false;
        if (!visited.insert(next).second) break;
        if (!ReadSector(static_cast<uint32_t>(next))) return false;
        const LeBytes d = m_c.Bytes();
        for (uint32_t i = 0; i < perSector; ++i) {
            const int32_t v = d.i32(4 * i);
            if (v < 0) {
                if (v < kLowestSpecialSector) return false;
                break;
            }
            list.push_back(static_cast<uint32_t>(v));
        }
        if (list.size() > maxFatSectors) return false;
        next = d.i32(4 * perSector);
    }
    return true;
}

bool CompoundFile::ReadFat(const std::vector<uint32_t>& list) {
    const uint32_t perSector = m_sectorSize / 4;
    if (list.size() > kMaxFatEntries / perSector + 1) return false;
    m_fat.reserve(list.size() * perSector);
    for (uint32_t sector : list) {
        if (m_c.Stopped()) return false;
        if (!ReadSector(sector)) return false;
        const LeBytes d = m_c.Bytes();
        for (uint32_t i = 0; i < perSector; ++i) {
            const int32_t v = d.i32(4 * i);
            if (v < kLowestSpecialSector) return false;
            if (v != kFreeSector) m_usedSectors = m_fat.size() + 1;
            m_fat.push_back(v);
        }
    }
    return true;
}

bool CompoundFile::ReadMiniFat(int32_t first, uint32_t count) {
    if (first >= 0 && static_cast<size_t>(first) > m_fat.size()) return false;
    const uint32_t perSector = m_sectorSize / 4;
    std::vector<bool> visited(m_fat.size());
    int32_t s = first;
    for (uint32_t walked = 0; walked < count; ++walked) {
        if (m_c.Stopped()) return false;
        if (s < kLowestSpecialSector) return false;
        if (s < 0) break;
        // The next sector is FAT[s]: s must lie inside the FAT.
        if (static_cast<size_t>(s) >= m_fat.size()) return false;
        if (visited[static_cast<size_t>(s)]) break;
        visited[static_cast<size_t>(s)] = true;
        if (!ReadSector(static_cast<uint32_t>(s))) return false;
        const LeBytes d = m_c.Bytes();
        for (uint32_t i = 0; i < perSector; ++i) {
            const int32_t v = d.i32(4 * i);
            if (v == kFreeSector) break;
            if (v < kLowestSpecialSector) return false;
            m_miniFat.push_back(v);
        }
        s = m_fat[static_cast<size_t>(s)];
    }
    return true;
}

bool CompoundFile::OpenStream(int32_t start, uint32_t size, bool mini, Stream& s) const {
    const std::vector<int32_t>& table = mini ? m_miniFat : m_fat;
    if (start < 0 || static_cast<size_t>(start) >= table.size()) return false;
    const uint32_t unit = mini ? m_miniSectorSize : m_sectorSize;
    s.mini = mini;
    s.size = size;
    FollowChain(table, start, (uint64_t(size) + unit - 1) / unit, s.sectors);
    return true;
}

// Reads n bytes at offset of the stream into out, in pieces that never
// cross a sector (or, for a mini stream, a mini sector and a sector of the
// mini stream's own chain).
bool CompoundFile::ReadStreamBytes(const Stream& s, uint64_t offset, uint32_t n, uint8_t* out) {
    if (offset > s.size || n > s.size - offset) return false;
    const uint32_t unit = s.mini ? m_miniSectorSize : m_sectorSize;
    while (n > 0) {
        const uint64_t index = offset / unit;
        const uint32_t within = static_cast<uint32_t>(offset % unit);
        if (index >= s.sectors.size()) return false;
        uint32_t piece = std::min(n, unit - within);
        uint64_t position;
        if (!s.mini) {
            position = SectorPosition(s.sectors[index]) + within;
        } else {
            if (!m_miniStreamOpen) return false;
            const uint64_t inMini = uint64_t(s.sectors[index]) * m_miniSectorSize + within;
            const uint64_t rootIndex = inMini / m_sectorSize;
            const uint32_t rootWithin = static_cast<uint32_t>(inMini % m_sectorSize);
            if (rootIndex >= m_miniStream.sectors.size() || inMini >= m_miniStream.size) return false;
            piece = std::min(piece, m_sectorSize - rootWithin);
            position = SectorPosition(m_miniStream.sectors[rootIndex]) + rootWithin;
        }
        if (!m_c.ReadAt(position, piece)) return false;
        std::memcpy(out, m_c.Data(), piece);
        out += piece;
        offset += piece;
        n -= piece;
    }
    return true;
}

// The bytes of a title or author as stored: 8-bit text in the set's code
// page (VT_LPSTR), or UTF-16LE (VT_LPWSTR).
struct PropertyText {
    std::string bytes;
    bool wide = false;
    bool present = false;
};

// Little-endian UTF-16 units up to the first zero unit.
std::u16string Utf16LeUpToZero(const std::string& bytes) {
    std::u16string s;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t u = static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (u == 0) break;
        s.push_back(u);
    }
    return s;
}

std::u16string DecodePropertyText(const PropertyText& text, uint16_t codePage) {
    if (text.wide || codePage == 1200) return Utf16LeUpToZero(text.bytes);
    // 8-bit text ends at its first zero byte.
    const std::string bytes = text.bytes.substr(0, std::strlen(text.bytes.c_str()));
    if (codePage == 65001) return Utf8ToUtf16(bytes);
    if (codePage != 0 && codePage != 1252) {
        const std::string name = "CP" + std::to_string(codePage);
        std::u16string s = CodePageToUtf16(bytes, name.c_str());
        if (!s.empty() || bytes.empty()) return s;
    }
    return CodePageToUtf16(bytes, "CP1252");
}

// The SummaryInformation property set: the byte order, one section, the
// section's property table, and the title (2) and author (4): VT_LPSTR in the
// code page named by property 1 (CP1252 when there is none), or VT_LPWSTR. A field outside
// the stream rejects the candidate, except a text that does not fit, which is
// skipped.
int CompoundFile::ReadSummaryInformation(int32_t start, uint32_t size) {
    Stream s;
    if (!OpenStream(start, size, size < m_miniCutoff, s)) return 0;
    const uint64_t n = size;
    // The chain must hold the whole stream, as if it were read whole.
    const uint32_t unit = s.mini ? m_miniSectorSize : m_sectorSize;
    if (s.sectors.size() < (n + unit - 1) / unit) return -1;
    if (n < 56) return -1;
    uint8_t head[48];
    if (!ReadStreamBytes(s, 0, sizeof head, head)) return -1;
    const LeBytes h(head, sizeof head);
    if (h.u16(0) != 0xFFFE || h.u32(24) != 1) return -1;
    const uint64_t section = h.u32(44);
    if (section + 8 > n) return -1;
    uint8_t sectionHead[8];
    if (!ReadStreamBytes(s, section, 8, sectionHead)) return -1;
    const uint64_t count = LeBytes(sectionHead, 8).u32(4);
    if (section + 8 + 8 * count > n) return -1;  // a property entry outside the stream
    if (count > kSummaryMaxProperties) return -1;
    std::vector<uint8_t> table(static_cast<size_t>(8 * count));
    if (count > 0 && !ReadStreamBytes(s, section + 8, static_cast<uint32_t>(table.size()), table.data())) return -1;
    const LeBytes t(table.data(), table.size());
    uint16_t codePage = 0;
    PropertyText title, author;
    for (uint64_t i = 0; i < count; ++i) {
        if (m_c.Stopped()) return -1;
        const uint32_t id = t.u32(8 * i);
        const uint64_t value = section + t.u32(8 * i + 4);
        if (value + 4 > n) return -1;  // the type field outside the stream
        uint8_t field[8];
        const bool haveField = value + 8 <= n;
        if (!ReadStreamBytes(s, value, haveField ? 8 : 4, field)) return -1;
        const uint32_t type = LeBytes(field, 4).u32(0);
        if (id == 1 && type == kVtI2 && haveField) codePage = LeBytes(field, 8).u16(4);
        if ((id != kPidTitle && id != kPidAuthor) || (type != kVtLpstr && type != kVtLpwstr) || !haveField) continue;
        // VT_LPSTR counts bytes, VT_LPWSTR UTF-16 units.
        const bool wide = type == kVtLpwstr;
        const uint64_t length = uint64_t(LeBytes(field, 8).u32(4)) * (wide ? 2 : 1);
        if (value + 8 + length > n) continue;  // the text does not fit: skipped
        uint32_t look = static_cast<uint32_t>(std::min<uint64_t>(length, kMaxPropertyText));
        if (wide) look &= ~1u;
        std::string text(look, '\0');
        if (look > 0 && !ReadStreamBytes(s, value + 8, look, reinterpret_cast<uint8_t*>(text.data()))) return -1;
        PropertyText& into = id == kPidTitle ? title : author;
        into.bytes = std::move(text);
        into.wide = wide;
        into.present = true;
    }
    if (title.present) m_properties.title = DecodePropertyText(title, codePage);
    if (author.present) m_properties.creator = DecodePropertyText(author, codePage);
    return 1;
}

bool CompoundFile::ReadDirectory(int32_t first) {
    if (first >= 0 && static_cast<size_t>(first) > m_fat.size()) return false;
    std::vector<uint32_t> chain;
    FollowChain(m_fat, first, m_fat.size(), chain);
    std::vector<uint8_t> sector(m_sectorSize);
    for (uint32_t sectorNumber : chain) {
        if (m_c.Stopped()) return false;
        if (!ReadSector(sectorNumber)) return false;
        std::memcpy(sector.data(), m_c.Data(), m_sectorSize);  // stream reads below reuse the buffer
        for (uint32_t e = 0; e + kDirEntrySize <= m_sectorSize; e += kDirEntrySize) {
            const LeBytes entry(sector.data() + e, kDirEntrySize);
            std::u16string name = entry.utf16(0, 32);
            name.resize(std::char_traits<char16_t>::length(name.c_str()));
            const int32_t start = entry.i32(kDirStartSector);
            const uint32_t size = entry.u32(kDirStreamSize);
            if (name == u"Root Entry" && entry.u8(kDirObjectType) == 5) {
                if (start >= 0) {
                    if (!OpenStream(start, size, false, m_miniStream)) return false;
                    m_miniStreamOpen = true;
                }
            } else if (!m_summarySeen && name == u"\u0005SummaryInformation") {
                m_summarySeen = true;
                if (ReadSummaryInformation(start, size) < 0) return false;
            }
            if (m_type.empty()) {
                if (name == u"WordDocument") m_type = u"doc";
                else if (name == u"Workbook" || name == u"Book") m_type = u"xls";
                else if (name == u"PowerPoint Document" || name == u"PP40") m_type = u"ppt";
            }
        }
    }
    return true;
}

bool CompoundFile::Parse() {
    if (!m_c.ReadAt(uint64_t(0), 8) || std::memcmp(m_c.Data(), kSignature, 8) != 0) return false;
    if (!m_c.ReadAt(uint64_t(0), 512)) return false;
    std::vector<uint8_t> headerBytes(m_c.Data(), m_c.Data() + 512);
    const LeBytes header(headerBytes.data(), headerBytes.size());
    const uint16_t shift = header.u16(kHdrSectorShift);
    const uint16_t miniShift = header.u16(kHdrMiniSectorShift);
    if (shift > 10 || miniShift > 10) return false;
    m_sectorSize = 1u << shift;
    m_miniSectorSize = 1u << miniShift;
    if (m_sectorSize < kCompoundMinSectorSize || m_sectorSize > kCompoundMaxSectorSize) return false;
    m_miniCutoff = header.u32(kHdrMiniCutoff);

    std::vector<uint32_t> fatSectors;
    if (m_c.Stopped() || !ReadFatSectorList(header, fatSectors)) return false;
    if (!ReadFat(fatSectors)) return false;
    if (!ReadMiniFat(header.i32(kHdrFirstMiniFat), header.u32(kHdrMiniFatCount))) return false;
    return ReadDirectory(header.i32(kHdrFirstDirSector));
}

}  // namespace

bool MSCompoundDocumentProviderDetect(CarveContext& c) {
    CompoundFile file(c);
    if (!file.Parse()) return false;
    const uint64_t size = file.Size();
    if (size > UINT32_MAX) return false;
    const std::u16string& type = file.Type();
    if (type.empty() || !Enabled(c, type)) return false;
    const DocumentProperties shown = ShownDocumentProperties(file.Properties());
    c.title = shown.title;
    c.author = shown.creator;
    c.size = size;
    c.typeKey = type;
    return true;
}

const ProviderDescriptor kMSCompoundDocumentProvider {u"MSCompoundDocumentProvider",
                                                      u"Word, Excel and PowerPoint 97-2003 documents",
                                                      MSCompoundDocumentProviderDetect, kCompoundKeys, {0, "\xD0"}};
