// ZIP archives and Office Open XML packages: the local header walk, data
// descriptors and their cap, the central directory's part names against the
// enabled types, and the core properties title.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "DocumentTestSupport.h"

using namespace doctest;

namespace {

struct ZipEntry {
    std::string name;
    Bytes data;
    bool deflate = true;
    bool descriptor = false;  // sizes after the data (flag bit 3)
};

Bytes RawDeflate(const Bytes& in) {
    z_stream zs {};
    EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&zs, in.size()) + 16);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A complete archive: local headers with their data, the central directory
// and the end record with the comment.
Bytes BuildZip(const std::vector<ZipEntry>& entries, const std::string& comment = "") {
    Bytes out, central;
    for (const ZipEntry& e : entries) {
        const Bytes stored = e.deflate ? RawDeflate(e.data) : e.data;
        const uint32_t crc = static_cast<uint32_t>(crc32(0, e.data.data(), static_cast<uInt>(e.data.size())));
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint16_t flags = e.descriptor ? 8 : 0;
        const uint16_t method = e.deflate ? 8 : 0;
        Le32(out, 0x04034B50);
        Le16(out, 20);
        Le16(out, flags);
        Le16(out, method);
        Le32(out, 0);  // time, date
        Le32(out, e.descriptor ? 0 : crc);
        Le32(out, e.descriptor ? 0 : static_cast<uint32_t>(stored.size()));
        Le32(out, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
        Le16(out, static_cast<uint16_t>(e.name.size()));
        Le16(out, 0);
        Text(out, e.name);
        out.insert(out.end(), stored.begin(), stored.end());
        if (e.descriptor) {
            Le32(out, 0x08074B50);
            Le32(out, crc);
            Le32(out, static_cast<uint32_t>(stored.size()));
            Le32(out, static_cast<uint32_t>(e.data.size()));
        }
        Le32(central, 0x02014B50);
        Le16(central, 20);
        Le16(central, 20);
        Le16(central, flags);
        Le16(central, method);
        Le32(central, 0);
        Le32(central, crc);
        Le32(central, static_cast<uint32_t>(stored.size()));
        Le32(central, static_cast<uint32_t>(e.data.size()));
        Le16(central, static_cast<uint16_t>(e.name.size()));
        Le16(central, 0);  // extra
        Le16(central, 0);  // comment
        Le16(central, 0);  // disk
        Le16(central, 0);  // internal attributes
        Le32(central, 0);  // external attributes
        Le32(central, offset);
        Text(central, e.name);
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    Le32(out, 0x06054B50);
    Le16(out, 0);
    Le16(out, 0);
    Le16(out, static_cast<uint16_t>(entries.size()));
    Le16(out, static_cast<uint16_t>(entries.size()));
    Le32(out, static_cast<uint32_t>(central.size()));
    Le32(out, centralOffset);
    Le16(out, static_cast<uint16_t>(comment.size()));
    Text(out, comment);
    return out;
}

std::string CoreXml(const std::string& title, const std::string& creator) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><cp:coreProperties xmlns:cp="urn:cp" )"
           R"(xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>)" +
           title + "</dc:title><dc:creator>" + creator + "</dc:creator></cp:coreProperties>";
}

std::vector<ZipEntry> Package(const std::string& mainPart, const ZipEntry& core) {
    return {{"[Content_Types].xml", Str("<Types/>")}, core, {mainPart, Str("<document/>")}};
}

}  // namespace

TEST(ZipProvider, RealDocxTypeFollowsEnabledTypes) {
    const Bytes docx = testutil::ReadFileBytes(DocumentsDir() + "/report.docx");
    ASSERT_FALSE(docx.empty());
    ByteVolume v(docx);
    const ScanTypeSet docxOn = TypesOf({u"docx"}), zipOnly = TypesOf({u"zip"}), others = TypesOf({u"xlsx", u"pptx"});

    Hit h = DetectOn(ZIPContainerProviderDetect, v.volume(), 0, &docxOn);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.type, u"docx");
    EXPECT_EQ(h.size, docx.size());

    h = DetectOn(ZIPContainerProviderDetect, v.volume(), 0, &zipOnly);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.type, u"zip");
    EXPECT_EQ(h.size, docx.size());

    EXPECT_FALSE(DetectOn(ZIPContainerProviderDetect, v.volume(), 0, &others).found);
    EXPECT_FALSE(DetectOn(ZIPContainerProviderDetect, v.volume(), 0, nullptr).found);
}

TEST(ZipProvider, MainPartPrecedenceAndPlainArchives) {
    const ZipEntry core {"docProps/core.xml", Str(CoreXml("Sheet", "Bob"))};
    Bytes both = BuildZip({{"xl/workbook.xml", Str("<w/>")}, core, {"word/document.xml", Str("<d/>")}});
    const ScanTypeSet all = AllDocumentTypes(), noDocx = TypesOf({u"xlsx", u"zip"});
    EXPECT_EQ(Detect(ZIPContainerProviderDetect, both, &all).type, u"docx");
    Hit h = Detect(ZIPContainerProviderDetect, both, &noDocx);
    EXPECT_EQ(h.type, u"xlsx");
    EXPECT_EQ(h.title, u"Sheet");
    EXPECT_EQ(h.author, u"Bob");
    EXPECT_EQ(Detect(ZIPContainerProviderDetect, BuildZip(Package("ppt/presentation.xml", core)), &all).type, u"pptx");

    // A plain archive is reported only when zip is enabled.
    const Bytes plain = BuildZip({{"a.txt", Str("hello hello hello")}, {"b/c.txt", Str("x")}}, "a comment");
    const ScanTypeSet office = TypesOf({u"docx", u"xlsx", u"pptx"});
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, plain, &office).found);
    h = Detect(ZIPContainerProviderDetect, plain, &all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.type, u"zip");
    EXPECT_EQ(h.size, plain.size());  // the end record's comment counts
    EXPECT_EQ(h.title, u"");
    EXPECT_EQ(h.author, u"");

    // A "PK00" split marker in front of the first header.
    Bytes split = Str("PK00");
    split.insert(split.end(), plain.begin(), plain.end());
    h = Detect(ZIPContainerProviderDetect, split, &all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.size, split.size());
}

TEST(ZipProvider, StructuralRejections) {
    const ScanTypeSet all = AllDocumentTypes();
    const Bytes plain = BuildZip({{"a.txt", Str("hello")}});

    // First record a central directory header: no local header seen.
    const size_t central = 30 + 5 + 5;
    Bytes centralFirst(plain.begin() + central, plain.end());
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, centralFirst, &all).found);

    // Local headers followed by the end record, without a central directory.
    Bytes noCentral(plain.begin(), plain.begin() + central);
    const Bytes end(plain.end() - 22, plain.end());
    noCentral.insert(noCentral.end(), end.begin(), end.end());
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, noCentral, &all).found);

    // Central directory followed by something that is not an end record.
    Bytes badEnd = plain;
    Put32(badEnd, badEnd.size() - 22, 0x01020304);
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, badEnd, &all).found);

    // Name lengths: 1,024 bytes pass, 1,025 reject (local or central).
    EXPECT_TRUE(Detect(ZIPContainerProviderDetect, BuildZip({{std::string(1024, 'n'), Str("x")}}), &all).found);
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, BuildZip({{std::string(1025, 'n'), Str("x")}}), &all).found);
    Bytes longComment = plain;
    Put16(longComment, central + 32, 1025);  // the central header's comment length
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, longComment, &all).found);
    // A raised stop flag: RealDocuments.
}

TEST(ZipProvider, DataDescriptorsMeasureTheEntries) {
    const ScanTypeSet all = AllDocumentTypes();
    // Stored data holding a descriptor signature whose size field does not
    // match its distance: the search passes it and finds the real one.
    Bytes data = Str("before PK\x07\x08");
    Le32(data, 0);
    Le32(data, 99);  // compressed size 99: not its distance (7)
    Le32(data, 0);
    Text(data, "after");
    const ZipEntry core {"docProps/core.xml", Str(CoreXml("Streamed", "Eve")), true, true};
    const Bytes zip = BuildZip({{"a.bin", data, false, true}, core, {"word/document.xml", Str("<d/>"), true, true}});
    const Hit h = Detect(ZIPContainerProviderDetect, zip, &all);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, zip.size());
    EXPECT_EQ(h.type, u"docx");
    // The core properties' sizes come from its descriptor (its header says 0).
    EXPECT_EQ(h.title, u"Streamed");
    EXPECT_EQ(h.author, u"Eve");
    // zip writing to a pipe (descriptors after every member): archive-streamed.zip in RealSamples.
}

TEST(ZipProvider, DataDescriptorSearchStopsAtItsCap) {
    const ScanTypeSet all = AllDocumentTypes();
    // A local header with sizes in a descriptor, its data starting at byte
    // 35, and nothing but zeros behind it: the descriptor never comes.
    Bytes head;
    Le32(head, 0x04034B50);
    Le16(head, 20);
    Le16(head, 8);
    Le16(head, 0);
    Le32(head, 0);
    Le32(head, 0);
    Le32(head, 0);
    Le32(head, 0);
    Le16(head, 5);
    Le16(head, 0);
    Text(head, "a.bin");
    const uint64_t dataStart = head.size();
    {
        ByteVolume v(head, kZipDescriptorSearchCap + 65536, true);
        EXPECT_FALSE(DetectOn(ZIPContainerProviderDetect, v.volume(), 0, &all).found);
    }
    // A descriptor (with its central directory and end record) at the last
    // position tried is found; one position further it is not.
    auto withDescriptorAt = [&](uint64_t distance) {
        Bytes z = head;
        z.resize(dataStart + distance, 0);
        Le32(z, 0x08074B50);
        Le32(z, 0);
        Le32(z, static_cast<uint32_t>(distance));
        Le32(z, static_cast<uint32_t>(distance));
        Le32(z, 0x02014B50);
        z.resize(z.size() + 24, 0);
        Le16(z, 5);
        z.resize(z.size() + 16, 0);
        Text(z, "a.bin");
        Le32(z, 0x06054B50);
        z.resize(z.size() + 18, 0);
        return z;
    };
    for (uint64_t distance : {kZipDescriptorSearchCap - 1, kZipDescriptorSearchCap}) {
        const Bytes z = withDescriptorAt(distance);
        ByteVolume v(z, 4096, true);
        const Hit h = DetectOn(ZIPContainerProviderDetect, v.volume(), 0, &all);
        EXPECT_EQ(h.found, distance < kZipDescriptorSearchCap) << distance;
        if (h.found) {
            EXPECT_EQ(h.size, z.size());
        }
    }
}

TEST(ZipProvider, CorePropertiesTitleAndAuthor) {
    const ScanTypeSet all = AllDocumentTypes();
    auto titleOf = [&](const ZipEntry& core) {
        const Hit h = Detect(ZIPContainerProviderDetect, BuildZip(Package("word/document.xml", core)), &all);
        EXPECT_TRUE(h.found);
        EXPECT_EQ(h.type, u"docx");
        return h.title + u"|" + h.author;
    };
    EXPECT_EQ(titleOf({"docProps/core.xml", Str(CoreXml("T", "A"))}), u"T|A");
    EXPECT_EQ(titleOf({"docProps/core.xml", Str(CoreXml(" T ", ""))}), u"T|");
    EXPECT_EQ(titleOf({"docProps/core.xml", Str(CoreXml("", "Ann &amp; Bo"))}), u"|Ann & Bo");
    // Stored instead of deflated.
    EXPECT_EQ(titleOf({"docProps/core.xml", Str(CoreXml("T", "A")), false}), u"|");
    // Larger than 5,119 bytes once inflated.
    EXPECT_EQ(titleOf({"docProps/core.xml", Str(CoreXml(std::string(5200, 't'), "A"))}), u"|");
    // Not XML.
    EXPECT_EQ(titleOf({"docProps/core.xml", Str("<cp:coreProperties><dc:title>x")}), u"|");
    // The name is compared exactly.
    EXPECT_EQ(titleOf({"docprops/core.xml", Str(CoreXml("T", "A"))}), u"|");

    // A deflate stream that does not inflate leaves both empty.
    Bytes zip = BuildZip(Package("word/document.xml", {"docProps/core.xml", Str(CoreXml("T", "A"))}));
    const std::string name = "docProps/core.xml";
    const auto at = std::search(zip.begin(), zip.end(), name.begin(), name.end());
    ASSERT_NE(at, zip.end());
    *(at + static_cast<ptrdiff_t>(name.size())) = 0xFF;  // the first deflate block: type 3, invalid
    const Hit h = Detect(ZIPContainerProviderDetect, zip, &all);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.title, u"");
    EXPECT_EQ(h.author, u"");
}

TEST(ZipProvider, OpenDocumentPackagesAreNamedByTheirFirstStoredMimetypeMember) {
    const ScanTypeSet all = TypesOf({u"zip", u"odt", u"ods", u"odp", u"odg"});
    const std::string meta =
        "<office:document-meta xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:meta=\"urn:oasis:names:tc:opendocument:xmlns:meta:1.0\">"
        "<office:meta><dc:title> T </dc:title><dc:creator>Editor</dc:creator></office:meta></office:document-meta>";
    const std::string odt = "application/vnd.oasis.opendocument.text";
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        std::u16string type, title, author;
    };
    const Case cases[] = {
        {"text, meta.xml deflated", {{"mimetype", Str(odt), false}, {"content.xml", Str("<a/>")}, {"meta.xml", Str(meta)}},
         u"odt", u"T", u"Editor"},
        {"spreadsheet, meta.xml stored",
         {{"mimetype", Str("application/vnd.oasis.opendocument.spreadsheet"), false}, {"meta.xml", Str(meta), false}},
         u"ods", u"T", u"Editor"},
        {"presentation", {{"mimetype", Str("application/vnd.oasis.opendocument.presentation"), false}}, u"odp", u"", u""},
        {"graphics", {{"mimetype", Str("application/vnd.oasis.opendocument.graphics"), false}}, u"odg", u"", u""},
        {"mimetype deflated", {{"mimetype", Str(odt), true}, {"meta.xml", Str(meta)}}, u"zip", u"", u""},
        {"mimetype not first", {{"content.xml", Str("<a/>")}, {"mimetype", Str(odt), false}}, u"zip", u"", u""},
        {"another media type", {{"mimetype", Str("application/vnd.oasis.opendocument.formula"), false}}, u"zip", u"",
         u""},
        {"media type with a trailing newline", {{"mimetype", Str(odt + "\n"), false}}, u"zip", u"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Hit h = Detect(ZIPContainerProviderDetect, BuildZip(c.entries), &all);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(Utf8(h.type), Utf8(c.type));
        EXPECT_EQ(Utf8(h.title), Utf8(c.title));
        EXPECT_EQ(Utf8(h.author), Utf8(c.author));
    }
    // With odt off, a text document is a plain archive, and nothing at all with zip off too.
    const Bytes text = BuildZip(cases[0].entries);
    const ScanTypeSet zipOnly = TypesOf({u"zip"}), calcOnly = TypesOf({u"ods"});
    EXPECT_EQ(Detect(ZIPContainerProviderDetect, text, &zipOnly).type, u"zip");
    EXPECT_FALSE(Detect(ZIPContainerProviderDetect, text, &calcOnly).found);
}
