// The provider registry, the enabled-type set, DetectAt, the type groups and
// settings, and the names given to found files.
#include <gtest/gtest.h>

#include <algorithm>

#include "ScanTestSupport.h"
#include "engine/surfacescan/Providers.h"
#include "engine/surfacescan/ScanTypes.h"

using namespace scantest;

namespace {

std::vector<std::u16string> Names(const ProviderRegistry& r) {
    std::vector<std::u16string> n;
    for (const auto& p : r.providers) n.push_back(p.name);
    return n;
}

int32_t ProviderOf(const ProviderRegistry& r, const std::u16string& key) {
    for (const auto& t : r.types)
        if (t.typeKey == key) return t.providerIndex;
    return -2;
}

Bytes TinyPng() {
    Bytes b = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Be32(b, 13);
    Text(b, "IHDR");
    Fill(b, 13 + 4, 1);
    Be32(b, 0);
    Text(b, "IEND");
    Be32(b, 0xAE426082);
    return b;
}

}  // namespace

TEST(ProviderRegistry, RegistersEveryProviderInOrderWithItsTypes) {
    ProviderRegistry r;
    ASSERT_TRUE(RegisterProviders(r));
    EXPECT_EQ(Names(r), (std::vector<std::u16string> {u"MPEGProvider", u"JPEGProvider", u"PNGProvider", u"BMPProvider",
                                                      u"GIFProvider", u"PSDProvider", u"TIFFProvider", u"QTFFProvider"}));
    ASSERT_EQ(r.registrationList.size(), r.providers.size());
    // Each type points at the provider that registered it; TIFF registers two, in order.
    const int32_t tiff = 6;
    EXPECT_EQ(r.providers[tiff].detect, &TIFFProviderDetect);
    EXPECT_EQ(ProviderOf(r, u"tif"), tiff);
    EXPECT_EQ(ProviderOf(r, u"dng"), tiff);
    auto tif = std::find_if(r.types.begin(), r.types.end(), [](const TypeEntry& t) { return t.typeKey == u"tif"; });
    ASSERT_NE(tif + 1, r.types.end());
    EXPECT_EQ((tif + 1)->typeKey, u"dng");
    EXPECT_EQ(ProviderOf(r, u"mp3"), 0);
    EXPECT_EQ(ProviderOf(r, u"mov"), 7);
    // Every registered key has display strings and a group.
    for (const auto& t : r.types) {
        EXPECT_NE(FindScanType(t.typeKey), nullptr) << Utf8(t.typeKey);
        bool grouped = false;
        for (const auto& g : ScanTypeGroups())
            for (auto k : g.typeKeys) grouped = grouped || k == t.typeKey;
        EXPECT_TRUE(grouped) << Utf8(t.typeKey);
    }
}

TEST(ScanTypeSet, EnableTypeOrdersDetectorsByFirstEnabledTypeAndAddsEachProviderOnce) {
    ScanTypeSet s = TypesOf({u"dng", u"png", u"tif", u"jpg"});
    ASSERT_EQ(s.detectorCount, 3u);
    EXPECT_EQ(s.detectors[0], &TIFFProviderDetect);
    EXPECT_EQ(s.detectors[1], &PNGProviderDetect);
    EXPECT_EQ(s.detectors[2], &JPEGProviderDetect);
    EXPECT_TRUE(IsTypeEnabled(s, u"tif"));
    EXPECT_TRUE(IsTypeEnabled(s, u"dng"));
    EXPECT_FALSE(IsTypeEnabled(s, u"gif"));

    // Unknown keys, keys of providers not built, and keys differing in case are ignored.
    EnableType(s, u"JPG");
    EnableType(s, u"docx");
    EnableType(s, u"nope");
    EXPECT_EQ(s.detectorCount, 3u);
    EXPECT_FALSE(IsTypeEnabled(s, u"docx"));
    EXPECT_FALSE(IsTypeEnabled(s, u"JPG"));

    ResetTypes(s);
    EXPECT_EQ(s.detectorCount, 0u);
    EXPECT_TRUE(s.enabledKeys.empty());
    EXPECT_EQ(s.registry, &Registry());
}

TEST(ScanTypeSet, DetectAtAsksOnlyTheEnabledProvidersAndClearsTheContext) {
    ByteVolume v(Concat({TinyPng(), testutil::PatternBytes(4096, 3)}));
    CarveContext c;
    ASSERT_TRUE(c.Init(&v.volume(), 0, nullptr, nullptr));
    ScanTypeSet jpgOnly = TypesOf({u"jpg", u"gif"});
    c.title = u"stale";
    c.size = 77;
    EXPECT_FALSE(DetectAt(jpgOnly, c));
    EXPECT_TRUE(c.title.empty());
    EXPECT_EQ(c.size, 0u);

    ScanTypeSet withPng = TypesOf({u"jpg", u"png"});
    ASSERT_TRUE(DetectAt(withPng, c));
    EXPECT_EQ(c.typeKey, u"png");
    EXPECT_EQ(c.size, TinyPng().size());
    EXPECT_EQ(c.unit, 512u);
}

TEST(ScanTypes, DisplayOrderGroupsAndSortsByDisplayName) {
    auto grouped = TypesInDisplayOrder(1);
    auto flat = TypesInDisplayOrder(0);
    ASSERT_EQ(grouped.size(), flat.size());
    EXPECT_EQ(grouped.size(), 19u);
    // Groups by name: Archives, Audio, Images, Microsoft Office, Other.
    EXPECT_EQ(grouped.front(), u"zip");
    EXPECT_EQ(grouped[1], u"mp3");
    EXPECT_EQ(grouped[2], u"bmp");  // "Bitmap image" is the first image by name
    EXPECT_EQ(grouped.back(), u"mov");  // "Other": "PDF document", then "QuickTime movie"
    // Flat: one list sorted by display name.
    for (size_t i = 1; i < flat.size(); ++i)
        EXPECT_LE(FindScanType(flat[i - 1])->displayName, FindScanType(flat[i])->displayName);
}

TEST(ScanTypes, SettingsEnableCheckedTypesInDisplayOrder) {
    ScanTypeSet s;
    s.registry = &Registry();
    EnableType(s, u"gif");  // left over from an earlier scan: reset first
    // Missing keys default to checked; jpg and mov unchecked.
    std::map<std::string, bool> checked = {{"jpg", false}, {"mov", false}, {"zip", false}};
    uint32_t n = EnableTypesFromSettings(s, checked, 1);
    EXPECT_EQ(n, 16u);  // 19 types, 3 unchecked (document types count as checked although not built yet)
    EXPECT_FALSE(IsTypeEnabled(s, u"jpg"));
    EXPECT_FALSE(IsTypeEnabled(s, u"mov"));
    // Grouped order: Audio (mp3), Images (Bitmap, DNG, GIF, PNG, Photoshop, TIFF).
    ASSERT_EQ(s.detectorCount, 6u);
    EXPECT_EQ(s.detectors[0], &MPEGProviderDetect);
    EXPECT_EQ(s.detectors[1], &BMPProviderDetect);
    EXPECT_EQ(s.detectors[2], &TIFFProviderDetect);  // through dng, listed before tif
    EXPECT_EQ(s.detectors[3], &GIFProviderDetect);
    EXPECT_EQ(s.detectors[4], &PNGProviderDetect);
    EXPECT_EQ(s.detectors[5], &PSDProviderDetect);

    std::map<std::string, bool> none;
    for (const auto& t : ScanTypes()) none[std::string(t.key.begin(), t.key.end())] = false;
    EXPECT_EQ(EnableTypesFromSettings(s, none, 0), 0u);
    EXPECT_EQ(s.detectorCount, 0u);
}

TEST(CarvedItemName, AuthorTitleClusterAndExtension) {
    std::u16string name;
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", u"T", u"A", 77, name));
    EXPECT_EQ(name, u"A - T (77).mp3");
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", u"T", u"", 77, name));
    EXPECT_EQ(name, u"T (77).mp3");
    ASSERT_TRUE(MakeCarvedItemName(u"jpg", u"", u"", 18446744073709551615ull, name));
    EXPECT_EQ(name, u"JPEG image (18446744073709551615).jpg");
    ASSERT_TRUE(MakeCarvedItemName(u"tif", u"", u"Ada", 5, name));
    EXPECT_EQ(name, u"Ada - TIFF image (5).tif");
    // Unknown or differently cased keys are ignored.
    name = u"unchanged";
    EXPECT_FALSE(MakeCarvedItemName(u"JPG", u"T", u"", 1, name));
    EXPECT_FALSE(MakeCarvedItemName(u"exe", u"T", u"", 1, name));
    EXPECT_EQ(name, u"unchanged");
}

TEST(CarvedItemName, ForbiddenCharactersBecomeUnderscores) {
    std::u16string name;
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", u"AC/DC: <Live> \"1\" |a\\b?*", u"x\ty\x1F", 3, name));
    EXPECT_EQ(name, u"x_y_ - AC_DC_ _Live_ _1_ _a_b__ (3).mp3");
}

TEST(CarvedItemName, LongNamesAreShortenedFrom250Characters) {
    std::u16string name;
    // " (1).mp3" is 8 characters: titles of 242 and 241 give names of 250 and 249.
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", std::u16string(242, u'a'), u"", 1, name));
    EXPECT_EQ(name.size(), 105u);
    EXPECT_EQ(name, std::u16string(50, u'a') + u" ... " + std::u16string(42, u'a') + u" (1).mp3");
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", std::u16string(241, u'a'), u"", 1, name));
    EXPECT_EQ(name.size(), 249u);

    // A surrogate pair at the cut stays whole.
    std::u16string title = std::u16string(49, u'b') + u"\U0001F600" + std::u16string(250, u'c');
    ASSERT_TRUE(MakeCarvedItemName(u"mp3", title, u"", 1, name));
    EXPECT_EQ(name.substr(0, 54), std::u16string(49, u'b') + u" ... ");
}
