// Split raw sets made with split(1) and read back as one source; read errors
// narrowed down to the blocks that fail. (A missing piece and what libblkid
// names are checked through the command line, ImageFormatTest.)
#include "platform/ByteSource.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "common/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using testutil::Quote;

std::vector<uint8_t> ReadAll(CByteSource& s, uint64_t offset, size_t size) {
    std::vector<uint8_t> out(size);
    const int64_t r = s.ReadAt(offset, out.data(), size);
    out.resize(r < 0 ? 0 : static_cast<size_t>(r));
    return out;
}

TEST(SplitSet, NamesPiecesReadsAcrossThemAndNamesWhatIsMissing) {
    QUARLIX_REQUIRE(testutil::HaveTool("split"), "split (coreutils) is not installed");
    testutil::TempDir dir;
    const std::vector<uint8_t> raw = testutil::PatternBytes(300000, 7);
    testutil::WriteFileBytes(dir.file("disk.img"), raw);
    // The naming styles of split(1) and of imaging tools: numbered from 001
    // (and from 000), lettered from aa.
    struct Style {
        const char* options;
        const char* prefix;
        const char* first;
    } styles[] = {{"-d -a 3 --numeric-suffixes=1", "disk.dd.", "disk.dd.001"},
                  {"-d -a 3", "disk.", "disk.000"},
                  {"", "disk.img.", "disk.img.aa"}};
    for (const Style& s : styles) {
        SCOPED_TRACE(s.first);
        testutil::MustRun("cd " + Quote(dir.path().string()) + " && split -b 100000 " + s.options + " disk.img " +
                          s.prefix);
        ByteSourceError error;
        auto source = OpenByteSource(dir.file(s.first), error);
        ASSERT_TRUE(source) << error.message;
        EXPECT_EQ(source->Kind(), "split raw image");
        EXPECT_EQ(source->Files().size(), 3u);
        EXPECT_EQ(source->Size(), raw.size());
        EXPECT_EQ(ReadAll(*source, 0, raw.size()), raw);
        // Across a piece boundary, and short at the end.
        EXPECT_EQ(ReadAll(*source, 99990, 20), std::vector<uint8_t>(raw.begin() + 99990, raw.begin() + 100010));
        EXPECT_EQ(ReadAll(*source, 299990, 100).size(), 10u);
        uint64_t stampSize = 0;
        int64_t stampTime = 0;
        EXPECT_TRUE(source->FileStamp(stampSize, stampTime));
        EXPECT_EQ(stampSize, raw.size());
    }
    // A name that is no first piece is one raw image.
    std::string missing;
    EXPECT_TRUE(SplitSetPieces(dir.file("disk.dd.002"), missing).empty());
    ByteSourceError error;
    auto second = OpenByteSource(dir.file("disk.dd.002"), error);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Kind(), "raw image");

    // A piece cut short before the last one.
    fs::resize_file(dir.file("disk.img.ab"), 50000);
    EXPECT_FALSE(OpenByteSource(dir.file("disk.img.aa"), error));
    EXPECT_NE(error.message.find(dir.file("disk.img.ab")), std::string::npos) << error.message;
}

TEST(ByteSource, ReadErrorsAreNarrowedToTheBlocksThatFail) {
    QUARLIX_REQUIRE(testutil::HaveTool("split"), "split (coreutils) is not installed");
    testutil::TempDir dir;
    const std::vector<uint8_t> raw = testutil::PatternBytes(64 * 1024, 3);
    testutil::WriteFileBytes(dir.file("disk.img"), raw);
    testutil::MustRun("cd " + Quote(dir.path().string()) + " && split -b 16384 -d -a 3 --numeric-suffixes=1 disk.img disk.");
    ByteSourceError error;
    auto source = OpenByteSource(dir.file("disk.001"), error);
    ASSERT_TRUE(source) << error.message;
    const uint64_t opens = ByteSourceOpenCount();
    // The second piece loses its second half after the set was opened: the
    // bytes from 24576 to 32768 can no longer be read.
    fs::resize_file(dir.file("disk.002"), 8192);
    std::vector<uint8_t> buffer(raw.size());
    EXPECT_EQ(source->ReadAt(0, buffer.data(), buffer.size()), 24576);
    EXPECT_TRUE(std::equal(raw.begin(), raw.begin() + 24576, buffer.begin()));
    EXPECT_EQ(source->ReadAt(24576, buffer.data(), 4096), -1);
    EXPECT_EQ(ReadAll(*source, 32768, 16384), std::vector<uint8_t>(raw.begin() + 32768, raw.begin() + 49152));
    EXPECT_EQ(source->ReadAt(28672, buffer.data(), 8192), -1);
    const auto ranges = source->UnreadableRanges();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].offset, 24576u);
    EXPECT_EQ(ranges[0].length, 8192u);
    EXPECT_EQ(source->UnreadableBytes(), 8192u);
    EXPECT_EQ(ByteSourceOpenCount(), opens);  // reads never open again
}

}  // namespace
