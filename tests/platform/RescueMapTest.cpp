// Rescue maps read and written in GNU ddrescue's mapfile format, checked
// against ddrescuelog both ways: it reads the maps we write, we read the maps
// it writes.
#include "platform/RescueMap.h"

#include <gtest/gtest.h>

#include "common/TestUtil.h"

namespace {

using testutil::Quote;

std::string Describe(const CRescueMap& map) {
    std::string out;
    for (const RescueBlock& b : map.Blocks())
        out += std::to_string(b.offset) + "+" + std::to_string(b.length) + static_cast<char>(b.state) + " ";
    return out;
}

TEST(RescueMap, MarksMergeAndDdrescuelogReadsWhatIsWritten) {
    QUARLIX_REQUIRE(testutil::HaveTool("ddrescuelog"), "ddrescuelog is not installed (gddrescue)");
    testutil::TempDir dir;
    constexpr uint64_t kSize = 64 * 4096;
    CRescueMap map(kSize);
    // Marks in an order a rescue makes them: a large read, a skip, its edges, its inside.
    map.Set(0, 16 * 4096, RescueState::Rescued);
    map.Set(16 * 4096, 16 * 4096, RescueState::Untrimmed);
    map.Set(16 * 4096, 4096, RescueState::Rescued);            // joins the block before
    map.Set(31 * 4096, 4096, RescueState::Rescued);
    map.Set(17 * 4096, 14 * 4096, RescueState::Unscraped);
    map.Set(20 * 4096, 2 * 4096, RescueState::Bad);
    map.Set(32 * 4096, 1000 * 4096, RescueState::Rescued);    // cut at the end; joins 31
    map.Set(kSize, 4096, RescueState::Bad);                   // past the end: nothing
    map.Set(24 * 4096, 0, RescueState::Bad);                  // empty: nothing
    map.position = {20 * 4096, '/', 2};
    EXPECT_EQ(Describe(map), "0+69632+ 69632+12288/ 81920+8192- 90112+36864/ 126976+135168+ ");
    EXPECT_EQ(map.Bytes(RescueState::Bad), 8192u);
    EXPECT_EQ(map.Bytes(RescueState::Rescued), 69632u + 135168u);
    EXPECT_EQ(map.At(82000), RescueState::Bad);
    EXPECT_EQ(map.Next(0, RescueState::Unscraped).offset, 69632u);
    EXPECT_EQ(map.Next(75000, RescueState::Unscraped).length, 81920u - 75000u);
    EXPECT_EQ(map.Next(90112 + 36864, RescueState::Unscraped).length, 0u);
    ASSERT_EQ(map.NotRescued().size(), 1u);
    EXPECT_EQ(map.NotRescued()[0].offset, 69632u);
    EXPECT_EQ(map.NotRescued()[0].length, 126976u - 69632u);

    const std::string text = map.Format({"Mapfile. Made by a test"});
    CRescueMap again(kSize);
    std::string error;
    ASSERT_TRUE(again.Parse(text, error)) << error;
    EXPECT_EQ(again.Format({"Mapfile. Made by a test"}), text);
    EXPECT_EQ(again.position.phase, '/');
    EXPECT_EQ(again.position.pass, 2);

    const std::string file = dir.file("disk.map");
    testutil::WriteFileBytes(file, std::vector<uint8_t>(text.begin(), text.end()));
    // ddrescuelog lists the 4 KiB blocks of each kind: the bad ones, and everything not rescued.
    EXPECT_EQ(testutil::MustRun("ddrescuelog -b 4096 -l- " + Quote(file)), "20\n21\n");
    std::string notRescued;
    for (int b = 17; b < 31; ++b) notRescued += std::to_string(b) + "\n";
    EXPECT_EQ(testutil::MustRun("ddrescuelog -b 4096 -l'?*/-' " + Quote(file)), notRescued);
}

TEST(RescueMap, ReadsWhatDdrescuelogWrites) {
    QUARLIX_REQUIRE(testutil::HaveTool("ddrescuelog"), "ddrescuelog is not installed (gddrescue)");
    testutil::TempDir dir;
    // Blocks 3, 4 and 9 of 512 bytes rescued, the rest of a 16-block domain bad.
    testutil::MustRun("printf '3\\n4\\n9\\n' | ddrescuelog -b 512 -s 8192 -c+- " + Quote(dir.file("made.map")));
    CRescueMap map(8192);
    std::string error;
    ASSERT_TRUE(map.Load(dir.file("made.map"), error)) << error;
    EXPECT_EQ(Describe(map), "0+1536- 1536+1024+ 2560+2048- 4608+512+ 5120+3072- ");
    EXPECT_EQ(map.TextEnd(), 8192u);  // the size of the source the map was made for
}

TEST(RescueMap, HostileTextIsRefusedOrReadSafely) {
    struct Case {
        const char* text;
        const char* blocks;  // "" when the text must be refused
    } cases[] = {
        {"# comment only\n", ""},
        {"0x0 Z\n", ""},                                    // unknown status
        {"0x0 + 9\n", ""},                                  // pass out of range
        {"0x0 +\n0x0 0x100 x\n", ""},                       // unknown block status
        {"0x0 +\n0x100 0x100 +\n0x0 0x100 -\n", ""},        // out of order
        {"0x0 +\n0x0 0x200 +\n0x100 0x100 -\n", ""},        // overlapping
        {"0x0 +\n0xFFFFFFFFFFFFFFFF 0x2 -\n", ""},          // ends past the largest offset
        {"0x0 +\n0x1FFFFFFFFFFFFFFFF 0x2 -\n", ""},         // overflows
        {"0x0 +\n0x0\n", ""},                               // no size
        // Read: decimal and octal, CRLF, blanks, a gap (untried), blocks past the end cut.
        {"  0 ? 1\r\n0 256 +\r\n# note\r\n0400 0x100 -\n1024 4096 +\n", "0+256+ 256+256- 512+512? 1024+1024+ "},
        {"0x0 F\n", "0+2048? "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CRescueMap map(2048);
        std::string error;
        const bool ok = map.Parse(c.text, error);
        if (*c.blocks == '\0') {
            EXPECT_FALSE(ok);
            EXPECT_FALSE(error.empty());
        } else {
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(Describe(map), c.blocks);
        }
    }
    std::string error;
    // A map of a larger source: its blocks are cut, its extent is kept.
    CRescueMap cut(2048);
    ASSERT_TRUE(cut.Parse("0 +\n0 1024 +\n1024 4096 -\n", error)) << error;
    EXPECT_EQ(cut.TextEnd(), 5120u);
    CRescueMap map(10);
    EXPECT_FALSE(map.Load("/nonexistent/disk.map", error));
    EXPECT_NE(error.find("/nonexistent/disk.map"), std::string::npos);
    EXPECT_FALSE(map.Load("/tmp", error));
}

}  // namespace
