// Compound files: the header, DIFAT and FAT, the mini FAT and mini stream,
// the directory's stream names, the SummaryInformation property set, the
// size, and chains that loop.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"

using namespace doctest;

namespace {

struct Stream {
    std::u16string name;
    Bytes data;
};

constexpr int32_t kFree = -1, kEnd = -2, kFatSect = -3;

// A compound file built sector by sector: sector 0 is the FAT, the
// directory follows, then the mini FAT, the mini stream and the streams of
// at least 4,096 bytes. Positions are kept so that tests can damage them.
struct Compound {
    uint32_t sectorSize = 512;
    Bytes bytes;
    uint32_t dirSector = 0, miniFatSector = 0, firstStreamSector = 0;
    std::vector<int32_t> fat;
    // Sector n follows the 512-byte header; with 4,096-byte sectors the
    // header fills a whole sector.
    size_t SectorOffset(uint32_t n) const { return (sectorSize == 4096 ? 4096 : 512) + size_t(n) * sectorSize; }
    size_t FatEntryOffset(uint32_t n) const { return SectorOffset(0) + 4 * size_t(n); }
};

Compound BuildCompound(const std::vector<Stream>& streams, uint16_t shift = 9, uint32_t trailingFree = 0) {
    Compound c;
    c.sectorSize = 1u << shift;
    const uint32_t ss = c.sectorSize;
    const uint32_t perDir = ss / 128;
    const uint32_t dirSectors = static_cast<uint32_t>((streams.size() + 1 + perDir - 1) / perDir);
    Bytes mini;                     // the mini stream
    std::vector<int32_t> miniFat;
    std::vector<int32_t> starts(streams.size());
    std::vector<Bytes> regular;     // sector-padded large streams, in order
    for (size_t i = 0; i < streams.size(); ++i) {
        const Bytes& d = streams[i].data;
        if (d.empty()) {
            starts[i] = kEnd;
        } else if (d.size() < 4096) {
            const uint32_t first = static_cast<uint32_t>(miniFat.size());
            const uint32_t count = static_cast<uint32_t>((d.size() + 63) / 64);
            for (uint32_t k = 0; k < count; ++k) miniFat.push_back(k + 1 < count ? int32_t(first + k + 1) : kEnd);
            mini.insert(mini.end(), d.begin(), d.end());
            PadTo(mini, miniFat.size() * 64);
            starts[i] = static_cast<int32_t>(first);
        }
    }
    const uint32_t miniFatSectors = miniFat.empty() ? 0 : static_cast<uint32_t>((miniFat.size() * 4 + ss - 1) / ss);
    const uint32_t miniSectors = static_cast<uint32_t>((mini.size() + ss - 1) / ss);
    c.dirSector = 1;
    c.miniFatSector = 1 + dirSectors;
    uint32_t next = c.miniFatSector + miniFatSectors + miniSectors;
    c.firstStreamSector = next;
    auto& fat = c.fat;
    fat.assign(1, kFatSect);
    auto chain = [&](uint32_t first, uint32_t count) {
        fat.resize(std::max<size_t>(fat.size(), first + count), kFree);
        for (uint32_t k = 0; k < count; ++k) fat[first + k] = k + 1 < count ? int32_t(first + k + 1) : kEnd;
    };
    chain(c.dirSector, dirSectors);
    if (miniFatSectors) chain(c.miniFatSector, miniFatSectors);
    if (miniSectors) chain(c.miniFatSector + miniFatSectors, miniSectors);
    for (size_t i = 0; i < streams.size(); ++i) {
        const Bytes& d = streams[i].data;
        if (d.size() < 4096) continue;
        const uint32_t count = static_cast<uint32_t>((d.size() + ss - 1) / ss);
        chain(next, count);
        starts[i] = static_cast<int32_t>(next);
        Bytes padded = d;
        PadTo(padded, size_t(count) * ss);
        regular.push_back(padded);
        next += count;
    }
    for (uint32_t k = 0; k < trailingFree; ++k) fat.push_back(kFree);
    EXPECT_LE(fat.size(), ss / 4) << "one FAT sector only";
    const uint32_t totalSectors = static_cast<uint32_t>(fat.size());
    fat.resize(ss / 4, kFree);

    Bytes& b = c.bytes;
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    b.assign(sig, sig + 8);
    PadTo(b, 24);
    Le16(b, 0x3E);
    Le16(b, shift == 9 ? 3 : 4);
    Le16(b, 0xFFFE);
    Le16(b, shift);
    Le16(b, 6);
    PadTo(b, 40);
    Le32(b, shift == 9 ? 0 : dirSectors);
    Le32(b, 1);  // FAT sectors
    Le32(b, c.dirSector);
    Le32(b, 0);
    Le32(b, 4096);
    Le32(b, miniFatSectors ? c.miniFatSector : uint32_t(kEnd));
    Le32(b, miniFatSectors);
    Le32(b, uint32_t(kEnd));  // no DIFAT sector
    Le32(b, 0);
    Le32(b, 0);               // the FAT is sector 0
    for (int i = 1; i < 109; ++i) Le32(b, uint32_t(kFree));
    PadTo(b, c.SectorOffset(0));
    for (int32_t v : fat) Le32(b, static_cast<uint32_t>(v));
    // Directory: the root, then the streams as a chain of right siblings.
    auto entry = [&](const std::u16string& name, uint8_t type, int32_t child, int32_t right, int32_t start,
                     uint32_t size) {
        const size_t at = b.size();
        for (char16_t u : name) Le16(b, u);
        PadTo(b, at + 64);
        Le16(b, static_cast<uint16_t>(2 * (name.size() + 1)));
        b.push_back(type);
        b.push_back(1);
        Le32(b, uint32_t(-1));
        Le32(b, static_cast<uint32_t>(right));
        Le32(b, static_cast<uint32_t>(child));
        PadTo(b, at + 116);
        Le32(b, static_cast<uint32_t>(start));
        Le32(b, size);
        Le32(b, 0);
    };
    entry(u"Root Entry", 5, streams.empty() ? -1 : 1, -1,
          miniSectors ? int32_t(c.miniFatSector + miniFatSectors) : kEnd, static_cast<uint32_t>(mini.size()));
    for (size_t i = 0; i < streams.size(); ++i)
        entry(streams[i].name, 2, -1, i + 1 < streams.size() ? int32_t(i + 2) : -1, starts[i],
              static_cast<uint32_t>(streams[i].data.size()));
    PadTo(b, c.SectorOffset(c.miniFatSector));
    for (int32_t v : miniFat) Le32(b, static_cast<uint32_t>(v));
    PadTo(b, c.SectorOffset(c.miniFatSector + miniFatSectors), 0xFF);
    b.insert(b.end(), mini.begin(), mini.end());
    PadTo(b, c.SectorOffset(c.firstStreamSector));
    for (const Bytes& r : regular) b.insert(b.end(), r.begin(), r.end());
    PadTo(b, c.SectorOffset(totalSectors));
    return c;
}

// A SummaryInformation property set: the header, one section (or more),
// the property table and the values.
struct Property {
    uint32_t id;
    uint32_t type;
    Bytes value;  // after the type field
};
Property Lpstr(uint32_t id, const std::string& text) {
    Bytes v;
    Le32(v, static_cast<uint32_t>(text.size() + 1));
    Text(v, text);
    v.push_back(0);
    PadTo(v, (v.size() + 3) & ~size_t(3));
    return {id, 30, v};
}
// VT_LPWSTR: a count of UTF-16 units (with the closing zero), then the units.
Property Lpwstr(uint32_t id, const std::u16string& text) {
    Bytes v;
    Le32(v, static_cast<uint32_t>(text.size() + 1));
    for (char16_t u : text) Le16(v, u);
    Le16(v, 0);
    PadTo(v, (v.size() + 3) & ~size_t(3));
    return {id, 31, v};
}
Property CodePage(uint16_t cp) {
    Bytes v;
    Le16(v, cp);
    Le16(v, 0);
    return {1, 2, v};
}

Bytes PropertySet(const std::vector<Property>& props, uint32_t sections = 1) {
    Bytes b;
    Le16(b, 0xFFFE);
    Le16(b, 0);
    Le32(b, 0x00020006);
    PadTo(b, 24);
    Le32(b, sections);
    PadTo(b, 44);  // FMTID of the section
    Le32(b, 48);
    Bytes section;
    Le32(section, 0);  // size, set below
    Le32(section, static_cast<uint32_t>(props.size()));
    Bytes values;
    const uint32_t tableEnd = 8 + 8 * static_cast<uint32_t>(props.size());
    for (const Property& p : props) {
        Le32(section, p.id);
        Le32(section, tableEnd + static_cast<uint32_t>(values.size()));
        Le32(values, p.type);
        values.insert(values.end(), p.value.begin(), p.value.end());
    }
    section.insert(section.end(), values.begin(), values.end());
    Put32(section, 0, static_cast<uint32_t>(section.size()));
    b.insert(b.end(), section.begin(), section.end());
    return b;
}

const std::u16string kSummary = u"\u0005SummaryInformation";

Bytes Filler(size_t n, uint8_t v = 0x42) { return Bytes(n, v); }

Hit DetectCompound(const Compound& c, const ScanTypeSet& types) {
    return Detect(MSCompoundDocumentProviderDetect, c.bytes, &types);
}

}  // namespace

TEST(CompoundDocumentProvider, TypeFromTheMainStream) {
    const ScanTypeSet all = AllDocumentTypes();
    struct Case {
        std::u16string stream;
        const char16_t* type;
    } cases[] = {{u"WordDocument", u"doc"}, {u"Workbook", u"xls"}, {u"Book", u"xls"},
                 {u"PowerPoint Document", u"ppt"}, {u"PP40", u"ppt"}};
    for (const Case& k : cases) {
        const Compound c = BuildCompound({{u"\u0001CompObj", Filler(80)}, {k.stream, Filler(700)}});
        const Hit h = DetectCompound(c, all);
        ASSERT_TRUE(h.found) << Utf8(k.stream);
        EXPECT_EQ(h.type, k.type);
        EXPECT_EQ(h.size, c.bytes.size());
        EXPECT_EQ(h.title, u"");
    }
    // The first main stream decides.
    EXPECT_EQ(DetectCompound(BuildCompound({{u"WordDocument", Filler(100)}, {u"Workbook", Filler(100)}}), all).type,
              u"doc");
    // Only enabled types are reported; a file without a main stream never.
    const Compound book = BuildCompound({{u"Book", Filler(100)}});
    EXPECT_FALSE(DetectCompound(book, TypesOf({u"doc", u"ppt"})).found);
    EXPECT_TRUE(DetectCompound(book, TypesOf({u"xls"})).found);
    EXPECT_FALSE(DetectCompound(BuildCompound({{u"Contents", Filler(100)}}), all).found);
}

TEST(CompoundDocumentProvider, SectorSizesAndSize) {
    const ScanTypeSet all = AllDocumentTypes();
    // 1,024-byte sectors are read; 4,096-byte sectors are not taken.
    const Compound k1 = BuildCompound({{u"WordDocument", Filler(5000)}}, 10);
    Hit h = DetectCompound(k1, all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.size, k1.bytes.size());
    EXPECT_FALSE(DetectCompound(BuildCompound({{u"WordDocument", Filler(5000)}}, 12), all).found);
    Compound tiny = BuildCompound({{u"WordDocument", Filler(100)}});
    Put16(tiny.bytes, 30, 6);  // 64-byte sectors
    EXPECT_FALSE(DetectCompound(tiny, all).found);

    // The size ends at the highest sector the FAT marks used: free sectors
    // behind it are not part of the file.
    const Compound withFree = BuildCompound({{u"WordDocument", Filler(5000)}}, 9, 6);
    h = DetectCompound(withFree, all);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, withFree.bytes.size() - 6 * 512);

    Compound badEntry = BuildCompound({{u"WordDocument", Filler(5000)}});
    Put32(badEntry.bytes, badEntry.FatEntryOffset(40), static_cast<uint32_t>(-5));
    EXPECT_FALSE(DetectCompound(badEntry, all).found);
}

TEST(CompoundDocumentProvider, SummaryInformationTitleAndAuthor) {
    const ScanTypeSet all = AllDocumentTypes();
    // A text whose length runs past the stream is skipped, the file kept.
    Bytes cut = PropertySet({Lpstr(4, "Kept"), Lpstr(2, "Title")});
    Put32(cut, cut.size() - 12, 500);  // the title's length field
    const struct {
        const char* what;
        Bytes summary;
        std::u16string title, author;
    } cases[] = {
        {"no code page: CP1252, trimmed",
         PropertySet({Lpstr(2, "  Minutes \xE9t\xE9 "), Lpstr(4, " Ann "), Lpstr(3, "subject")}), u"Minutes été", u"Ann"},
        // What LibreOffice writes.
        {"code page 65001: UTF-8", PropertySet({CodePage(65001), Lpstr(2, "Caf\xC3\xA9 \xE2\x80\x93 plan"), Lpstr(4, "Bo")}),
         u"Café – plan", u"Bo"},
        {"code page 1200: UTF-16", PropertySet({CodePage(1200), Lpstr(2, std::string("P\0i\0", 4)), Lpstr(4, std::string("\x3A\x04", 2))}),
         u"Pi", u"\u043A"},
        {"VT_LPWSTR", PropertySet({Lpwstr(4, u"Zo\u00EB"), Lpwstr(2, u"\u65E5\u672C")}), u"\u65E5\u672C", u"Zo\u00EB"},
        {"author alone", PropertySet({Lpstr(4, "Solo")}), u"", u"Solo"},
        {"ends at its NUL; other types ignored", PropertySet({Lpstr(2, std::string("Short\0Long", 10)), {4, 3, Bytes(4, 1)}}),
         u"Short", u""},
        {"a text past the stream", cut, u"", u"Kept"},
        // A stream of more than 4,096 bytes (a preview picture after the
        // texts) lies in ordinary sectors and is read in pieces.
        {"large stream", PropertySet({Lpstr(2, "Big"), Lpstr(4, "Pic"), {17, 71, Bytes(9000, 0x77)}}), u"Big", u"Pic"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        const Hit h = DetectCompound(BuildCompound({{u"WordDocument", Filler(600)}, {kSummary, k.summary}}), all);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.title, k.title);
        EXPECT_EQ(h.author, k.author);
    }
}

TEST(CompoundDocumentProvider, DamagedSummaryInformationRejectsTheFile) {
    const ScanTypeSet all = AllDocumentTypes();
    auto found = [&](const Bytes& summary) {
        return DetectCompound(BuildCompound({{u"WordDocument", Filler(600)}, {kSummary, summary}}), all).found;
    };
    const Bytes good = PropertySet({Lpstr(2, "T"), Lpstr(4, "A")});
    ASSERT_TRUE(found(good));
    EXPECT_FALSE(found(PropertySet({Lpstr(2, "T")}, 2)));  // two sections
    Bytes order = good;
    Put16(order, 0, 0xFEFF);
    EXPECT_FALSE(found(order));
    Bytes sectionOutside = good;
    Put32(sectionOutside, 44, static_cast<uint32_t>(good.size() - 4));
    EXPECT_FALSE(found(sectionOutside));
    Bytes countOutside = good;
    Put32(countOutside, 48 + 4, 1000);  // a table longer than the stream
    EXPECT_FALSE(found(countOutside));
    Bytes valueOutside = good;
    Put32(valueOutside, 48 + 8 + 4, 0x7FFFFFF0);  // the first property's offset
    EXPECT_FALSE(found(valueOutside));
    EXPECT_FALSE(found(Bytes(40, 0)));  // shorter than 56 bytes
}

TEST(CompoundDocumentProvider, LoopingChainsEnd) {
    const ScanTypeSet all = AllDocumentTypes();
    // The directory's chain points back at itself: read once, still a doc.
    Compound dirLoop = BuildCompound({{u"WordDocument", Filler(600)}, {kSummary, PropertySet({Lpstr(2, "T")})}});
    Put32(dirLoop.bytes, dirLoop.FatEntryOffset(dirLoop.dirSector), dirLoop.dirSector);
    Hit h = DetectCompound(dirLoop, all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.title, u"T");

    // A large SummaryInformation whose chain loops after its first sector:
    // the stream cannot be read whole and the file is rejected.
    Compound streamLoop = BuildCompound({{u"WordDocument", Filler(600)},
                                         {kSummary, PropertySet({Lpstr(2, "T"), {17, 71, Bytes(5000, 1)}})}});
    Put32(streamLoop.bytes, streamLoop.FatEntryOffset(streamLoop.firstStreamSector), streamLoop.firstStreamSector);
    EXPECT_FALSE(DetectCompound(streamLoop, all).found);

    // The mini FAT chain loops while the header claims a million sectors.
    Compound miniLoop = BuildCompound({{u"WordDocument", Filler(600)}, {kSummary, PropertySet({Lpstr(2, "M")})}});
    Put32(miniLoop.bytes, miniLoop.FatEntryOffset(miniLoop.miniFatSector), miniLoop.miniFatSector);
    Put32(miniLoop.bytes, 64, 1000000);
    h = DetectCompound(miniLoop, all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.title, u"M");

    // A DIFAT chain whose sector names itself as the next one.
    Compound difatLoop = BuildCompound({{u"WordDocument", Filler(600)}}, 9, 1);
    const uint32_t difat = static_cast<uint32_t>(difatLoop.bytes.size() / 512 - 2);  // the trailing free sector
    for (uint32_t i = 0; i < 127; ++i) Put32(difatLoop.bytes, difatLoop.SectorOffset(difat) + 4 * i, uint32_t(kFree));
    Put32(difatLoop.bytes, difatLoop.SectorOffset(difat) + 4 * 127, difat);
    Put32(difatLoop.bytes, difatLoop.FatEntryOffset(difat), static_cast<uint32_t>(-4));
    Put32(difatLoop.bytes, 68, difat);
    Put32(difatLoop.bytes, 72, 1);
    h = DetectCompound(difatLoop, all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.size, difatLoop.bytes.size());
}
