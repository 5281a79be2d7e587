// The ISO media recogniser: the brand rule it shares with the QuickTime one,
// the top-level walk over built layouts and broken ones, and the titles.
// The real files (tests/data) are found on volumes by the surface-scan tests.
#include <gtest/gtest.h>

#include "IsoBuilder.h"
#include "engine/formats/Providers.h"

using namespace scantest;
using namespace isotest;

namespace {

Bytes Mdat(size_t n) { return Box("mdat", Bytes(n, 0x6D)); }

// A box with a 64-bit size (32-bit size 1).
Bytes LargeBox(const std::string& type, const Bytes& payload, uint64_t size) {
    Bytes b;
    Be32(b, 1);
    Text(b, type);
    Be32(b, uint32_t(size >> 32));
    Be32(b, uint32_t(size));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Chars(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Udta(const Bytes& children) { return Box("udta", children); }

// A QuickTime text atom: 16-bit length, 16-bit language, the text.
Bytes QtText(const std::string& type, const std::string& text) {
    Bytes p;
    Be16(p, uint16_t(text.size()));
    Be16(p, 0);
    Text(p, text);
    return Box(type, p);
}

// An iTunes-style item: a "data" box of type 1 (UTF-8).
Bytes Item(const std::string& type, const std::string& text) {
    Bytes data = {0, 0, 0, 1, 0, 0, 0, 0};
    Text(data, text);
    return Box(type, Box("data", data));
}

Bytes ItemList(const Bytes& items) {
    Bytes hdlr(4, 0);
    Text(hdlr, "mdir");
    Fill(hdlr, 13, 0);
    return FullBox("meta", 0, Concat({FullBox("hdlr", 0, hdlr), Box("ilst", items)}));
}

}  // namespace

TEST(IsoMediaProvider, TheFtypBrandsNameOneTypeForBothRecognisers) {
    const struct {
        std::initializer_list<const char*> brands;
        std::u16string key;
    } cases[] = {
        {{"isom", "iso2", "avc1", "mp41"}, u"mp4"},
        {{"mp42", "isom"}, u"mp4"},
        {{"M4A ", "isom"}, u"m4a"},
        {{"M4V ", "M4A ", "mp42"}, u"m4v"},  // the major brand first
        {{"isom", "M4V "}, u"m4v"},          // a generic major brand gives way
        {{"3gp4", "isom"}, u"3gp"},
        {{"3g2a"}, u"3gp"},
        {{"heic", "mif1"}, u"heic"},
        {{"mif1", "heic"}, u"heic"},
        {{"mif1", "miaf"}, u"heif"},
        {{"avif", "mif1", "miaf"}, u"avif"},
        {{"crx ", "isom"}, u"cr3"},
        {{"qt  "}, u"mov"},
        {{"mp42", "qt  "}, u"mov"},
        {{"XAVC", "mp42"}, u"mp4"},  // an unknown major brand: the listed ones decide
        {{"abcd", "efgh"}, u""},
    };
    for (const auto& t : cases) {
        const Bytes ftyp = Ftyp(t.brands);
        SCOPED_TRACE(std::string(ftyp.begin() + 8, ftyp.begin() + 12));
        EXPECT_EQ(IsoFtypTypeKey(ftyp.data(), uint32_t(ftyp.size())), t.key);
        // Each file is found by exactly one recogniser, under that key (the
        // moov holds Canon's uuid box, which a CR3 needs and others ignore).
        const Bytes file = Concat({ftyp, Mdat(600), Moov(CanonUuid())});
        const Hit iso = Detect(IsoMediaProviderDetect, file), qt = Detect(QTFFProviderDetect, file);
        EXPECT_EQ(iso.found, !t.key.empty() && t.key != u"mov");
        EXPECT_EQ(qt.found, t.key == u"mov");
        if (iso.found) {
            EXPECT_EQ(iso.type, t.key);
            EXPECT_EQ(iso.size, file.size());
        }
    }
    // An ftyp whose size leaves half a brand, or that is too long, names nothing.
    Bytes odd = Ftyp({"isom", "mp41"});
    EXPECT_EQ(IsoFtypTypeKey(odd.data(), uint32_t(odd.size() - 2)), u"");
    Bytes big = Box("ftyp", Concat({Bytes {'i', 's', 'o', 'm', 0, 0, 0, 0}, Bytes(300, 'a')}));
    EXPECT_EQ(IsoFtypTypeKey(big.data(), uint32_t(big.size())), u"");
    EXPECT_FALSE(Detect(IsoMediaProviderDetect, Concat({big, Mdat(10), Moov()})).found);
}

TEST(IsoMediaProvider, TheFileEndsWithItsLastValidTopLevelBox) {
    const Bytes ftyp = Ftyp({"isom", "mp41"});
    const Bytes moovFirst = Concat({ftyp, Moov(), Box("free", Bytes(20, 0)), Mdat(3000)});
    const Bytes mdatFirst = Concat({ftyp, Box("free", {}), Mdat(3000), Moov()});
    const Bytes large = Concat({ftyp, LargeBox("mdat", Bytes(2000, 1), 2016), Moov()});
    const Bytes fragmented = Concat({ftyp, Moov(), Box("moof", Bytes(50, 2)), Mdat(700), Box("moof", Bytes(50, 2)),
                                     Mdat(700), Box("mfra", Bytes(30, 3))});
    const Bytes zeroSized = Concat({ftyp, Moov(), Mdat(100), Box("free", Bytes(10, 0))});
    Bytes sizeZeroAfter = zeroSized;
    sizeZeroAfter[sizeZeroAfter.size() - 18 + 3] = 0;  // the free box says "to the end"
    Bytes sizeZeroMdat = Concat({ftyp, Moov(), Mdat(100)});
    sizeZeroMdat[sizeZeroMdat.size() - 108 + 3] = 0;
    const struct {
        const char* name;
        Bytes file;
        uint64_t size;  // 0: no find
    } cases[] = {
        {"moov first", moovFirst, moovFirst.size()},
        {"mdat first", mdatFirst, mdatFirst.size()},
        {"64-bit mdat size", large, large.size()},
        {"fragments", fragmented, fragmented.size()},
        {"unknown box after a complete file", Concat({mdatFirst, Box("junk", Bytes(40, 1))}), mdatFirst.size()},
        {"a second ftyp starts another file", Concat({moovFirst, ftyp, Moov(), Mdat(10)}), moovFirst.size()},
        {"a second moov", Concat({moovFirst, Moov()}), moovFirst.size()},
        {"size 0 after a complete file", sizeZeroAfter, zeroSized.size() - 18},
        {"size 0 mdat cannot be bounded", sizeZeroMdat, 0},
        {"no mdat", Concat({ftyp, Moov()}), 0},
        {"no moov", Concat({ftyp, Mdat(100)}), 0},
        {"unknown box before the moov", Concat({ftyp, Mdat(100), Box("junk", {}), Moov()}), 0},
        {"box of 4 bytes", Concat({ftyp, Bytes {0, 0, 0, 4}, Chars("free"), Mdat(10), Moov()}), 0},
        {"type of unprintable bytes", Concat({ftyp, Box(std::string("fr\x01" "e"), {}), Mdat(10), Moov()}), 0},
        {"64-bit size below its header", Concat({ftyp, LargeBox("mdat", {}, 12), Moov()}), 0},
        {"64-bit size past 4 GiB", Concat({ftyp, Moov(), LargeBox("mdat", Bytes(100, 1), 1ull << 40)}), 0},
        {"ftyp not first", Concat({Box("free", {}), ftyp, Moov(), Mdat(10)}), 0},
        {"moov without a header", Concat({ftyp, Mdat(10), Box("moov", Box("trak", Bytes(40, 1)))}), 0},
        {"movie header cut short", Concat({ftyp, Mdat(10), Box("moov", FullBox("mvhd", 0, Bytes(60, 0)))}), 0},
        {"time scale 0", Concat({ftyp, Mdat(10), Box("moov", Mvhd(0))}), 0},
        {"movie header version 2", Concat({ftyp, Mdat(10), Box("moov", FullBox("mvhd", 2, Bytes(120, 1)))}), 0},
        {"moov children overrun it",
         Concat({ftyp, Mdat(10), Box("moov", Concat({Mvhd(), Bytes {0, 0, 1, 0}, Chars("trak")}))}), 0},
        {"moov children leave a gap", Concat({ftyp, Mdat(10), Box("moov", Concat({Mvhd(), Bytes(5, 0)}))}), 0},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        const Hit h = Detect(IsoMediaProviderDetect, t.file);
        EXPECT_EQ(h.found, t.size != 0);
        if (h.found) {
            EXPECT_EQ(h.size, t.size);
        }
    }
}

TEST(IsoMediaProvider, HeifNeedsAPictureMetaAndCr3CanonsUuid) {
    const Bytes heif = TinyHeif();
    const Bytes ftyp = Ftyp({"mif1", "miaf"});
    // The item moved past the file's end, or kept inside the meta (idat: no mdat needed).
    Bytes beyond = heif;
    const size_t offsetAt = ftyp.size() + 8 + 4 + 33 + 14 + 8 + 4 + 2 + 2 + 2 + 2 + 2;
    ASSERT_EQ(beyond[offsetAt + 3], uint8_t(ftyp.size() + HeifMeta(0, 0).size() + 8));
    beyond[offsetAt + 4 + 1] = 0x10;  // length 1 MiB + 2,000
    const Bytes inMeta = Concat({ftyp, HeifMeta(0, 0)});
    const struct {
        const char* name;
        Bytes file;
        std::u16string type;  // empty: no find
    } cases[] = {
        {"heif", heif, u"heif"},
        {"heic", TinyHeif({"heic", "mif1", "heic"}), u"heic"},
        {"avif", TinyHeif({"avif", "mif1", "miaf"}), u"avif"},
        {"item data past the file", beyond, u""},
        {"meta only", inMeta, u"heif"},
        {"video handler", Concat({ftyp, HeifMeta(0, 0, "vide"), Mdat(10)}), u""},
        {"meta version 1", Concat({ftyp, FullBox("meta", 1, Bytes(40, 0)), Mdat(10)}), u""},
        {"no meta", Concat({ftyp, Mdat(10)}), u""},
        {"an image sequence", Concat({ftyp, Moov(), Mdat(10)}), u"heif"},
        {"cr3", TinyCr3(), u"cr3"},
        {"cr3 without Canon's uuid", Concat({Ftyp({"crx ", "isom"}), Moov(), Mdat(100)}), u""},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        const Hit h = Detect(IsoMediaProviderDetect, t.file);
        EXPECT_EQ(h.found, !t.type.empty());
        if (!h.found) continue;
        EXPECT_EQ(h.type, t.type);
        EXPECT_EQ(h.size, t.file.size());
    }
}

TEST(IsoMediaProvider, TitleAndAuthorFromTheUserData) {
    const Bytes ftyp = Ftyp({"M4A ", "isom"});
    Bytes utf16 = {0, 0, 0, 0, 0x15, 0xC7, 0xFE, 0xFF};
    for (char16_t ch : std::u16string(u"Caf\u00E9 \u266B")) Be16(utf16, ch);
    const struct {
        const char* name;
        Bytes udta;
        std::u16string title, author;
    } cases[] = {
        {"iTunes items", Udta(ItemList(Concat({Item("\xA9too", "Lavf"), Item("\xA9nam", "Caf\xC3\xA9"),
                                                Item("\xA9" "ART", "Band")}))),
         u"Caf\u00E9", u"Band"},
        {"QuickTime text atoms", Udta(Concat({QtText("\xA9" "ART", "Artist"), QtText("\xA9nam", "Name")})), u"Name",
         u"Artist"},
        {"3GPP titl in UTF-16", Udta(FullBox("titl", 0, Bytes(utf16.begin() + 4, utf16.end()))), u"Caf\u00E9 \u266B",
         u""},
        {"no user data", {}, u"", u""},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        const Bytes file = Concat({ftyp, Mdat(500), Moov(t.udta)});
        const Hit h = Detect(IsoMediaProviderDetect, file);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, file.size());
        EXPECT_EQ(h.title, t.title);
        EXPECT_EQ(h.author, t.author);
    }
    // An iTunes title longer than the buffer is cut to it.
    const Bytes file = Concat({ftyp, Mdat(500), Moov(Udta(ItemList(Item("\xA9nam", std::string(6000, 'L')))))});
    EXPECT_EQ(Detect(IsoMediaProviderDetect, file).title, std::u16string(5120, u'L'));
}
