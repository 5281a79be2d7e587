// The preview's rules: what is previewable, the previous/next walk, RTF text,
// and what the quick view and the pane show of deleted files on a FAT image
// at the size limits.
#include <gtest/gtest.h>

#include <map>

#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/recovery/Preview.h"

using namespace preview;

namespace {

PreviewItem Item(const char16_t* name, uint64_t size, uint32_t attributes = 0, bool carved = false) {
    PreviewItem i;
    i.name = name;
    i.size = size;
    i.attributes = attributes;
    i.carved = carved;
    return i;
}

TEST(PreviewTest, PreviewableRule) {
    struct Case {
        PreviewItem item;
        bool previewable;
    } cases[] = {
        {Item(u"big.LOG", 600000), false},
        {Item(u"a.log", 511999), true},
        {Item(u"a.txt", 512000), false},
        {Item(u"p.JPG", 100), true},
        {Item(u"p.png", kImageLimit - 1), true},
        {Item(u"p.png", kImageLimit), false},
        {Item(u"secret.txt", 10, FILE_ATTRIBUTE_ENCRYPTED), false},
        {Item(u"dir.txt", 0, FILE_ATTRIBUTE_DIRECTORY), false},
        {Item(u"data.bin", 10), false},
        {Item(u"noext", 10), false},
        {Item(u"carved.jpg", 100, FILE_ATTRIBUTE_ENCRYPTED, true), true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsPreviewable(c.item), c.previewable) << std::string(c.item.name.begin(), c.item.name.end());
}

TEST(PreviewTest, NeighboursSkipAndWrap) {
    std::vector<PreviewItem> list = {Item(u"a.txt", 10), Item(u"big.LOG", 600000),
                                     Item(u"enc.txt", 5, FILE_ATTRIBUTE_ENCRYPTED), Item(u"b.jpg", 10),
                                     Item(u"c.bin", 10)};
    Neighbours n = FindNeighbours(list, 0);
    EXPECT_EQ(n.previous, 3u);  // wraps from the first to the last, skipping c.bin
    EXPECT_EQ(n.next, 3u);      // skips the 600,000-byte .LOG and the encrypted file
    n = FindNeighbours(list, 3);
    EXPECT_EQ(n.previous, 0u);
    EXPECT_EQ(n.next, 0u);      // wraps from the last to the first
    std::vector<PreviewItem> alone = {Item(u"a.txt", 10), Item(u"x.bin", 1)};
    n = FindNeighbours(alone, 0);
    EXPECT_EQ(n.previous, kNoPosition);
    EXPECT_EQ(n.next, kNoPosition);
}

TEST(PreviewTest, RtfToText) {
    struct Case {
        const char* rtf;
        const char* text;
    } cases[] = {
        {R"({\rtf1\ansi{\fonttbl{\f0 Arial;}}{\colortbl;\red0\green0\blue0;}\f0\fs20 Hello \b world\b0\par Next})",
         "Hello world\nNext"},
        {R"({\rtf1 caf\'e9 \u8364? {\*\generator x;}a\{b\}\\c})", "caf\xc3\xa9 \xe2\x82\xac a{b}\\c"},
        {R"({\rtf1 a\tab b{\pict 0123abcd}c)", "a\tbc"},
    };
    for (const auto& c : cases) EXPECT_EQ(RtfToPlainText(c.rtf), c.text) << c.rtf;
}

// Deleted files of one FAT16 image, found by their (distinct) sizes.
class PreviewVolumeTest : public ::testing::Test {
protected:
    static constexpr size_t kSizes[] = {100, 200000, 511999, 512001, 600000};
    static void SetUpTestSuite() {
        dir = new testutil::TempDir;
        image = dir->file("preview.img");
        testutil::MustRun("mkfs.fat -C -F 16 -s 1 -n PREVIEW " + testutil::Quote(image) + " 8192 >/dev/null");
        const char* names[] = {"broken.jpg", "notes.txt", "b511999.bin", "b512001.bin", "big.log"};
        for (size_t i = 0; i < std::size(kSizes); ++i) {
            std::vector<uint8_t> bytes = testutil::PatternBytes(kSizes[i], static_cast<uint32_t>(i + 1));
            if (kSizes[i] == 200000)
                for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>('a' + k % 26);
            testutil::WriteFileBytes(dir->file(names[i]), bytes);
            testutil::MustRun("MTOOLS_SKIP_CHECK=1 mcopy -i " + testutil::Quote(image) + " " +
                              testutil::Quote(dir->file(names[i])) + " ::" + names[i]);
        }
        for (const char* n : names) testutil::MustRun("MTOOLS_SKIP_CHECK=1 mdel -i " + testutil::Quote(image) + " ::" + n);
    }
    static void TearDownTestSuite() { delete dir; }
    void SetUp() override {
        ASSERT_TRUE(volume.Initialize(image));
        IndexProgress progress;
        ASSERT_TRUE(volume.BuildIndex(&progress));
        std::unique_ptr<IEnumDeletedFiles> e;
        ASSERT_TRUE(volume.EnumDeletedFilesByPath(u"\\", e) && e);
        FileItemInfo info;
        while (e->Next(info, false)) {
            PreviewItem item;
            item.name = info.name;
            item.size = info.size;
            item.id = static_cast<uint32_t>(info.id);
            bySize[info.size] = item;
        }
        ASSERT_EQ(bySize.size(), std::size(kSizes));
    }
    QuickViewContent Show(size_t size, bool asText, bool decodes = false) {
        return PrepareQuickView(volume, bySize.at(size), asText, [&](const uint8_t*, size_t) {
            ++decodeCalls;
            return decodes;
        });
    }
    static testutil::TempDir* dir;
    static std::string image;
    CFatVolume volume;
    std::map<uint64_t, PreviewItem> bySize;
    int decodeCalls = 0;
};
testutil::TempDir* PreviewVolumeTest::dir = nullptr;
std::string PreviewVolumeTest::image;

TEST_F(PreviewVolumeTest, QuickViewAtTheLimits) {
    const struct {
        size_t size;
        bool asText, decodes;
        ShownAs shown;
        size_t textSize;
    } cases[] = {
        {100, false, false, ShownAs::Nothing, 0},       // an undecodable .jpg is not text by its name
        {100, true, false, ShownAs::PlainText, 100},    // unless viewed as text
        {100, false, true, ShownAs::Image, 0},
        {511999, true, false, ShownAs::PlainText, 511999},
        {512001, true, false, ShownAs::Nothing, 0},
        {600000, false, false, ShownAs::Nothing, 0},    // a .log past the text limit
        {200000, false, false, ShownAs::PlainText, 200000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.asText ? " as text" : ""));
        const QuickViewContent content = Show(c.size, c.asText, c.decodes);
        EXPECT_EQ(content.shown, c.shown);
        EXPECT_EQ(content.text.size(), c.textSize);
        if (c.shown == ShownAs::Image) {
            EXPECT_EQ(content.image.size(), c.size);
        }
        EXPECT_FALSE(content.readFailed);
    }
    // The text is the file's bytes.
    EXPECT_EQ(Show(200000, false).text.substr(0, 27), "abcdefghijklmnopqrstuvwxyza");
}

TEST_F(PreviewVolumeTest, CarvedItemsAndThePane) {
    // A 25 MB carved run is not read at all; one under the limit is read in one piece.
    PreviewItem carved = Item(u"big.jpg", 25 * 1000 * 1000, 0, true);
    carved.firstCluster = 2;
    EXPECT_EQ(PrepareQuickView(volume, carved, false, [&](const uint8_t*, size_t) { return ++decodeCalls, true; }).shown,
              ShownAs::Nothing);
    EXPECT_EQ(decodeCalls, 0);
    carved.size = 4096;
    EXPECT_EQ(PrepareQuickView(volume, carved, false, [&](const uint8_t*, size_t n) { return n == 4096; }).shown,
              ShownAs::Image);
    // The pane stops after the chunk that passes 102,399 bytes.
    std::unique_ptr<IGenericFile> file;
    ASSERT_TRUE(OpenIndexItem(volume, bySize.at(200000).id, u"", file));
    const QuickViewContent pane = PreparePane(*file, u"notes.txt", nullptr);
    EXPECT_EQ(pane.shown, ShownAs::PlainText);
    EXPECT_EQ(pane.text.size(), 102400u);
    // An image name that does not decode falls back to its text.
    ASSERT_TRUE(OpenIndexItem(volume, bySize.at(100).id, u"", file));
    EXPECT_EQ(PreparePane(*file, u"broken.jpg", [](const uint8_t*, size_t) { return false; }).text.size(), 100u);
}

}  // namespace
