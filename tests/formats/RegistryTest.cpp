// The provider registry, the enabled-type set, DetectAt, the type groups and
// settings, and the names given to found files.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "CameraRawBuilder.h"
#include "IsoBuilder.h"
#include "TiffBuilder.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"
#include "engine/surfacescan/ScanTypes.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

// What a scan with these types enabled finds at the first cluster of the
// file (followed by filler, as on a disk): the type key and the size.
std::pair<std::u16string, uint64_t> DetectedBy(const ScanTypeSet& types, const Bytes& file) {
    ByteVolume v(Concat({file, testutil::PatternBytes(8192, 5)}));
    CarveContext c;
    EXPECT_TRUE(c.Init(&v.volume(), 0, nullptr, &types));
    if (!DetectAt(types, c)) return {u"(none)", 0};
    return {c.typeKey, c.size};
}

// A DNG: a thumbnail in IFD 0, which carries DNGVersion, and the raw image in a SubIFD.
Bytes TinyDng() {
    TiffBuilder t(false);
    t.Append(Bytes(100, 1));
    const size_t raw = t.Append(Bytes(4000, 2));
    const size_t sub = t.AppendIfd({{254, 4, 1, 0}, {256, 3, 1, 40}, {257, 3, 1, 50},
                                    {273, 4, 1, static_cast<uint32_t>(raw)}, {278, 3, 1, 50}, {279, 4, 1, 4000}});
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd({{254, 4, 1, 1}, {256, 3, 1, 10}, {257, 3, 1, 10}, {273, 4, 1, 8},
                                                      {278, 3, 1, 10}, {279, 4, 1, 100},
                                                      {330, 4, 1, static_cast<uint32_t>(sub)}, {50706, 1, 4, 0x401}})));
    return t.bytes;
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

// Each type the type tree offers finds a file of its kind, enabled alone
// (through the provider it is registered with) and with every type enabled
// (the providers asked in registration order, where an earlier one could
// claim another's file). pst and ost stores are built, and found through the
// registry, by the document tests.
TEST(ProviderRegistry, EachTypeFindsItsFileAloneAndWithEveryTypeEnabled) {
    // The first sample of each type, a document of each, and the built files.
    std::map<std::u16string, Bytes> files = {
        {u"dng", TinyDng()}, {u"heif", isotest::TinyHeif()}, {u"cr3", isotest::TinyCr3()}};
    for (const Sample& x : Samples()) files.emplace(x.type, testutil::ReadFileBytes(DataDir() + "/" + x.file));
    const std::pair<const char16_t*, const char*> documents[] = {
        {u"zip", "archive.zip"}, {u"docx", "report.docx"}, {u"xlsx", "budget.xlsx"}, {u"pptx", "slides.pptx"},
        {u"doc", "report.doc"},  {u"xls", "budget.xls"},   {u"ppt", "slides.ppt"},   {u"pdf", "report.pdf"}};
    for (const auto& [type, file] : documents)
        files.emplace(type, testutil::ReadFileBytes(DataDir() + "/documents/" + file));
    for (const CameraRawFile& f : CameraRawFiles()) files[f.type] = f.bytes;
    const ScanTypeSet all = AllTypes();
    std::set<std::u16string> offered;
    for (const auto& t : ScanTypes()) {
        const std::u16string key(t.key);
        SCOPED_TRACE(Utf8(key));
        offered.insert(key);
        if (key == u"pst" || key == u"ost") continue;
        if (key == u"rar") continue;  // built block by block in ContainerProviderTest
        const auto file = files.find(key);
        ASSERT_NE(file, files.end()) << "no file of this type to find";
        ASSERT_FALSE(file->second.empty());
        const auto want = std::make_pair(key, uint64_t(file->second.size()));
        ScanTypeSet alone;
        alone.registry = &Registry();
        EnableType(alone, key);
        EXPECT_EQ(DetectedBy(alone, file->second), want) << "enabled alone";
        EXPECT_EQ(DetectedBy(all, file->second), want) << "with every type enabled";
    }
    // Every registered type is offered by the tree and sits in a group.
    for (const auto& t : Registry().types) {
        EXPECT_EQ(offered.count(t.typeKey), 1u) << Utf8(t.typeKey);
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

    // Unknown keys and keys differing in case are ignored.
    EnableType(s, u"JPG");
    EnableType(s, u"DOCX");
    EnableType(s, u"nope");
    EXPECT_EQ(s.detectorCount, 3u);
    EXPECT_FALSE(IsTypeEnabled(s, u"DOCX"));
    EXPECT_FALSE(IsTypeEnabled(s, u"JPG"));

    ResetTypes(s);
    EXPECT_EQ(s.detectorCount, 0u);
    EXPECT_TRUE(s.enabledKeys.empty());
    EXPECT_EQ(s.registry, &Registry());
}

TEST(ScanTypeSet, ContainerTypesShareTheirProviderAndReportOnlyEnabledKeys) {
    // docx and doc: the ZIP containers' provider, then the compound documents'.
    ScanTypeSet office = TypesOf({u"docx", u"doc"});
    ASSERT_EQ(office.detectorCount, 2u);
    EXPECT_EQ(office.detectors[0], &ZIPContainerProviderDetect);
    EXPECT_EQ(office.detectors[1], &MSCompoundDocumentProviderDetect);
    // xlsx and docx add the ZIP provider once.
    ScanTypeSet packages = TypesOf({u"xlsx", u"docx"});
    ASSERT_EQ(packages.detectorCount, 1u);
    EXPECT_EQ(packages.detectors[0], &ZIPContainerProviderDetect);

    const std::string docs = testutil::SourceDir() + "/tests/data/documents/";
    auto detectAt = [](const ScanTypeSet& types, const Bytes& file) { return DetectedBy(types, file).first; };
    // A plain archive is not reported while zip is off; a package is.
    const Bytes archive = testutil::ReadFileBytes(docs + "archive.zip");
    const Bytes docx = testutil::ReadFileBytes(docs + "report.docx");
    const Bytes doc = testutil::ReadFileBytes(docs + "report.doc");
    ASSERT_FALSE(archive.empty() || docx.empty() || doc.empty());
    EXPECT_EQ(detectAt(office, archive), u"(none)");
    EXPECT_EQ(detectAt(office, docx), u"docx");
    EXPECT_EQ(detectAt(office, doc), u"doc");
    EXPECT_EQ(detectAt(packages, doc), u"(none)");
    EXPECT_EQ(detectAt(TypesOf({u"zip"}), docx), u"zip");
    EXPECT_EQ(detectAt(TypesOf({u"pptx", u"xls"}), docx), u"(none)");
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

// The signature tables spare a provider only candidates it rejects: DetectAt
// answers the same as when it asks every active detector, for every file of
// tests/data, the built camera raw and ISO files, random and zero clusters,
// with every type enabled and with each provider alone. (The provider tests
// check each of their own finds against its provider's signature: RAR and
// the mail stores are built there.)
TEST(ScanTypeSet, SignaturesRuleOutOnlyCandidatesTheProvidersReject) {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(DataDir()))
        if (e.is_regular_file()) files.emplace_back(e.path().string(), testutil::ReadFileBytes(e.path().string()));
    files.emplace_back("dng", TinyDng());
    files.emplace_back("heif", isotest::TinyHeif());
    files.emplace_back("cr3", isotest::TinyCr3());
    for (const CameraRawFile& f : CameraRawFiles()) files.emplace_back(f.name, f.bytes);
    for (uint32_t seed = 1; seed <= 8; ++seed) files.emplace_back("random", testutil::PatternBytes(4096, seed));
    files.emplace_back("zeros", Bytes(4096, 0));

    // Every type, then each provider alone with all its types.
    std::vector<std::pair<std::u16string, ScanTypeSet>> sets = {{u"every type", AllTypes()}};
    for (const ProviderDescriptor* d : ProviderDescriptors()) {
        ScanTypeSet alone;
        alone.registry = &Registry();
        for (std::u16string_view key : d->typeKeys) EnableType(alone, key);
        sets.emplace_back(d->name, alone);
    }
    auto detect = [](const ScanTypeSet& types, CarveContext& c) {
        c.scanner = &types;
        c.Reset(0);
        return DetectAt(types, c) ? Utf8(c.typeKey) + " " + std::to_string(c.size) + " " + Utf8(c.title) + " / " +
                                        Utf8(c.author)
                                  : std::string("(none)");
    };
    std::map<std::u16string, int> finds;
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        ByteVolume v(Concat({file, testutil::PatternBytes(8192, 5)}));
        CarveContext c;
        ASSERT_TRUE(c.Init(&v.volume(), 0, nullptr, nullptr));
        for (const auto& [what, types] : sets) {
            SCOPED_TRACE(Utf8(what));
            ScanTypeSet askAll = types;
            askAll.signatureTableCount = 0;
            const std::string got = detect(types, c);
            EXPECT_EQ(got, detect(askAll, c));
            if (got != "(none)") ++finds[what];
        }
    }
    // Each provider met files of its own here, but those the container and document tests build.
    for (const ProviderDescriptor* d : ProviderDescriptors()) {
        const std::u16string name(d->name);
        if (d != &kRARProvider && d != &kPSTProvider) {
            EXPECT_GT(finds[name], 0) << Utf8(name);
        }
    }
}

TEST(ScanTypes, DisplayOrderGroupsAndSortsByDisplayName) {
    auto grouped = TypesInDisplayOrder(1);
    auto flat = TypesInDisplayOrder(0);
    ASSERT_EQ(grouped.size(), flat.size());
    EXPECT_EQ(grouped.size(), ScanTypes().size());
    // Groups by name: Archives, Audio, Images, Microsoft Office, Other.
    EXPECT_EQ(grouped.front(), u"7z");  // "7-Zip archive", "RAR archive", then "ZIP archive"
    EXPECT_EQ(grouped[1], u"rar");
    EXPECT_EQ(grouped[2], u"zip");
    EXPECT_EQ(grouped[3], u"flac");  // Audio: FLAC, M4A, MP3, Ogg, WAVE
    EXPECT_EQ(grouped[4], u"m4a");
    EXPECT_EQ(grouped[8], u"arw");   // "ARW raw image" is the first image by name
    EXPECT_EQ(grouped.back(), u"webm");  // "Other" ends with "WebM video"
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
    EXPECT_EQ(n, ScanTypes().size() - 3);
    EXPECT_FALSE(IsTypeEnabled(s, u"jpg"));
    EXPECT_FALSE(IsTypeEnabled(s, u"mov"));
    EXPECT_FALSE(IsTypeEnabled(s, u"zip"));
    EXPECT_TRUE(IsTypeEnabled(s, u"docx"));
    EXPECT_TRUE(IsTypeEnabled(s, u"ost"));
    // Grouped order: Archives (7-Zip, RAR; zip unchecked), Audio (FLAC, M4A,
    // MP3, Ogg, WAVE), Images (ARW, AVIF, Bitmap, CR2, CR3, DNG, GIF, HEIC,
    // HEIF, NEF, ORF, PEF, PNG, Photoshop, RAF, RW2, SRW, TIFF, WebP), Microsoft
    // Office (Excel 97-2003, Excel workbook, Outlook..., PowerPoint..., Word...),
    // Other (3GP, AVI, M4V, MP4, Matroska, OpenDocument..., PDF, SQLite, WebM).
    const DetectFn want[] = {SevenZipProviderDetect,
                             RARProviderDetect,
                             FLACProviderDetect,
                             IsoMediaProviderDetect,  // through m4a
                             MPEGProviderDetect,
                             OggProviderDetect,
                             WAVProviderDetect,
                             CameraRawProviderDetect,  // through arw
                             BMPProviderDetect,
                             TIFFProviderDetect,  // through dng, listed before tif
                             GIFProviderDetect,
                             PNGProviderDetect,
                             PSDProviderDetect,
                             RAFProviderDetect,
                             WebPProviderDetect,
                             MSCompoundDocumentProviderDetect,  // through xls
                             ZIPContainerProviderDetect,        // through xlsx: zip itself is unchecked
                             PSTProviderDetect,
                             AVIProviderDetect,
                             MatroskaProviderDetect,
                             PDFProviderDetect,
                             SQLiteProviderDetect};
    ASSERT_EQ(s.detectorCount, std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(s.detectors[i], want[i]) << i;

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
