// `quarlix image` on a real failing device (FailingDevice.h): every readable
// byte is copied, the bad ranges are zeros (holes) in the image and exactly
// the bad blocks of the map, which ddrescuelog reads; GNU ddrescue on the
// same device rescues the same bytes. A run stopped by Ctrl-C leaves a whole
// map and the next run finishes from it; the image is never the source, a
// link, a file on the source, or resumed from the map of another source.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "cli/CliTestSupport.h"
#include "common/FailingDevice.h"
#include "common/TestUtil.h"
#include "platform/RescueMap.h"

namespace {

using testutil::Quote;
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

constexpr uint64_t kSize = 32ull << 20;
// The first and last blocks, a short run, and one longer than the first skip.
const Ranges kBad = {{0x0, 0x1000}, {0x801000, 0x3000}, {0x1400000, 0x21000}, {kSize - 0x1000, 0x1000}};
// Where the source holds data; the rest is zeros.
const Ranges kData = {{0, 4u << 20}, {10u << 20, 1u << 20}, {0x13F0000, 0x40000}, {kSize - (1u << 20), 1u << 20}};

using clitest::Outcome;

Outcome Quarlix(const testutil::TempDir& dir, const std::string& args) {
    return clitest::RunQuarlix("--no-cache --progress never " + args, dir);
}

std::vector<uint8_t> SourceBytes() {
    std::vector<uint8_t> bytes(kSize, 0);
    uint32_t seed = 7;
    for (const auto& [offset, length] : kData) {
        const auto p = testutil::PatternBytes(length, seed++);
        std::copy(p.begin(), p.end(), bytes.begin() + static_cast<long>(offset));
    }
    return bytes;
}

// The first byte where image is not the source with zeros in the bad ranges, or "".
std::string Mismatch(const std::vector<uint8_t>& source, const std::vector<uint8_t>& image) {
    if (image.size() != source.size())
        return "the image has " + std::to_string(image.size()) + " bytes, the source " + std::to_string(source.size());
    auto at = [](const std::vector<uint8_t>& v, uint64_t offset) { return v.begin() + static_cast<long>(offset); };
    uint64_t pos = 0;
    for (const auto& [offset, length] : kBad) {
        if (!std::equal(at(source, pos), at(source, offset), at(image, pos)))
            return "a readable byte differs in [" + std::to_string(pos) + ", " + std::to_string(offset) + ")";
        if (std::any_of(at(image, offset), at(image, offset + length), [](uint8_t b) { return b != 0; }))
            return "the bad range at " + std::to_string(offset) + " is not zeros";
        pos = offset + length;
    }
    if (!std::equal(at(source, pos), source.end(), at(image, pos))) return "a byte after the last bad range differs";
    return "";
}

CRescueMap LoadMap(const std::string& path, uint64_t size) {
    CRescueMap map(size);
    std::string error;
    EXPECT_TRUE(map.Load(path, error)) << error;
    EXPECT_EQ(map.TextEnd(), size) << path;
    return map;
}

Ranges BadOf(const CRescueMap& map) {
    Ranges out;
    for (const RescueBlock& b : map.Blocks())
        if (b.state == RescueState::Bad) out.push_back({b.offset, b.length});
    return out;
}

// Every byte the map calls rescued is the source's in the image.
void ExpectRescuedBytesInImage(const CRescueMap& map, const std::vector<uint8_t>& source, const std::string& image) {
    const auto bytes = testutil::ReadFileBytes(image);
    ASSERT_EQ(bytes.size(), kSize);
    for (const RescueBlock& b : map.Blocks()) {
        if (b.state != RescueState::Rescued) continue;
        EXPECT_TRUE(std::equal(source.begin() + static_cast<long>(b.offset),
                               source.begin() + static_cast<long>(b.offset + b.length),
                               bytes.begin() + static_cast<long>(b.offset)))
            << b.offset;
    }
}

uint64_t BadBytes() {
    uint64_t n = 0;
    for (const auto& r : kBad) n += r.second;
    return n;
}

TEST(Image, RescuesEveryReadableByteAndMapsExactlyTheBadBlocks) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    QUARLIX_REQUIRE(testutil::HaveTool("ddrescue") && testutil::HaveTool("ddrescuelog"),
                    "ddrescue is not installed (gddrescue)");
    testutil::TempDir dir;
    const std::string sourceImage = dir.file("source.img");
    const std::vector<uint8_t> source = SourceBytes();
    testutil::WriteFileBytes(sourceImage, source);
    testutil::FailingDevice device(dir, sourceImage, kBad);
    ASSERT_TRUE(device.Ready());
    const std::string out = dir.file("out.img"), map = out + ".map";

    const Outcome first = Quarlix(dir, "--json image " + Quote(device.Path()) + " --to " + Quote(out));
    EXPECT_EQ(first.exitCode, 1) << first.out << first.err;
    EXPECT_NE(first.err.find(std::to_string(BadBytes()) + " bytes in 4 areas could not be read; the map " + map +
                             " names them"),
              std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("the map of the image is " + map), std::string::npos) << first.err;
    const auto lines = clitest::JsonLines(first.out);
    ASSERT_EQ(lines.size(), 1u) << first.out;
    EXPECT_EQ(lines[0]["kind"], "image_summary");
    EXPECT_EQ(lines[0]["rescued"], kSize - BadBytes());
    EXPECT_EQ(lines[0]["bad_bytes"], BadBytes());
    EXPECT_EQ(lines[0]["bad_areas"], 4);
    EXPECT_EQ(lines[0]["remaining"], 0);
    EXPECT_EQ(lines[0]["bad"].size(), 4u);
    EXPECT_EQ(lines[0]["bad"][2]["offset"], kBad[2].first);
    EXPECT_EQ(lines[0]["bad"][2]["length"], kBad[2].second);

    EXPECT_EQ(Mismatch(source, testutil::ReadFileBytes(out)), "");
    const CRescueMap ours = LoadMap(map, kSize);
    EXPECT_EQ(BadOf(ours), kBad);
    EXPECT_EQ(ours.Bytes(RescueState::Rescued), kSize - BadBytes());
    EXPECT_EQ(ours.position.phase, '+');
    // Zeros were not written: the image holds little more than the data.
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, kSize / 2);

    // ddrescue's own tools read the map.
    const auto told = testutil::Run("ddrescuelog -t " + Quote(map) + " 2>&1");
    EXPECT_EQ(told.exitCode, 0) << told.out;
    EXPECT_NE(told.out.find("bad-sector:   " + std::to_string(BadBytes()) + " B,  in      4 area(s)"),
              std::string::npos)
        << told.out;
    std::string blocks;
    for (const auto& [offset, length] : kBad)
        for (uint64_t b = offset / 4096; b < (offset + length) / 4096; ++b) blocks += std::to_string(b) + "\n";
    EXPECT_EQ(testutil::MustRun("ddrescuelog -b 4096 -l- " + Quote(map)), blocks);

    // GNU ddrescue on the same device: the same bytes rescued, the same bad blocks.
    const std::string ref = dir.file("ref.img"), refMap = dir.file("ref.map");
    testutil::MustRun("ddrescue -q " + Quote(device.Path()) + " " + Quote(ref) + " " + Quote(refMap));
    const CRescueMap theirs = LoadMap(refMap, kSize);
    EXPECT_EQ(BadOf(theirs), BadOf(ours));
    EXPECT_EQ(theirs.Bytes(RescueState::Rescued), ours.Bytes(RescueState::Rescued));
    // ddrescue's image ends where its last rescued byte does.
    EXPECT_EQ(testutil::Run("cmp -n " + std::to_string(std::filesystem::file_size(ref)) + " " + Quote(ref) + " " +
                            Quote(out) + " 2>&1").exitCode,
              0);

    // Run again: nothing left to read, and the bad blocks are not asked for
    // again unless --retry-bad says so, and then once each.
    // (Opening the device reads its first and last blocks, bad here, to tell
    // an image container: a few failed reads whatever the map says.)
    const int failedBefore = device.FailedReads();
    const Outcome again = Quarlix(dir, "image " + Quote(device.Path()) + " --to " + Quote(out));
    EXPECT_EQ(again.exitCode, 1) << again.err;
    EXPECT_NE(again.err.find("areas the map marks bad are not read again (--retry-bad tries them once more)"),
              std::string::npos)
        << again.err;
    const int opening = device.FailedReads() - failedBefore;
    EXPECT_LE(opening, 4);
    const Outcome retried = Quarlix(dir, "image " + Quote(device.Path()) + " --to " + Quote(out) + " --retry-bad");
    EXPECT_EQ(retried.exitCode, 1) << retried.err;
    EXPECT_GE(device.FailedReads() - failedBefore - 2 * opening, static_cast<int>(BadBytes() / 4096));
    EXPECT_EQ(BadOf(LoadMap(map, kSize)), kBad);
    EXPECT_EQ(Mismatch(source, testutil::ReadFileBytes(out)), "");
}

// Ctrl-C in the middle of a slow device: the map is whole, and the next run
// goes on from it to the same image a whole run makes.
TEST(Image, AStoppedRunGoesOnFromItsMap) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    testutil::TempDir dir;
    const std::string sourceImage = dir.file("source.img");
    const std::vector<uint8_t> source = SourceBytes();
    testutil::WriteFileBytes(sourceImage, source);
    testutil::FailingDevice device(dir, sourceImage, kBad, "10ms");
    ASSERT_TRUE(device.Ready());
    const std::string out = dir.file("out.img"), map = dir.file("rescue.map");
    const std::string args = "image " + Quote(device.Path()) + " --to " + Quote(out) + " --map " + Quote(map);

    // Stopped once it has written a few MiB of data.
    const auto stopped = testutil::Run(
        "bash -c " + Quote(clitest::Quarlix() + " --no-cache --progress never " + args + " 2>" +
                           Quote(dir.file("stderr.txt")) + " & pid=$!; " + clitest::WaitUntilWritten(2u << 20) +
                           "kill -INT $pid; wait $pid; echo exit=$?"));
    EXPECT_NE(stopped.out.find("exit=130"), std::string::npos) << stopped.out;
    {
        const CRescueMap half = LoadMap(map, kSize);
        EXPECT_GT(half.Bytes(RescueState::Rescued), 2u << 20);
        EXPECT_GT(half.Bytes(RescueState::Untried) + half.Bytes(RescueState::Untrimmed) +
                      half.Bytes(RescueState::Unscraped),
                  0u);
        EXPECT_EQ(testutil::Run("ddrescuelog -t " + Quote(map) + " >/dev/null 2>&1").exitCode, 0);
        ExpectRescuedBytesInImage(half, source, out);
    }
    const Outcome rest = Quarlix(dir, args);
    EXPECT_EQ(rest.exitCode, 1) << rest.err;
    EXPECT_NE(rest.err.find("continuing from the map " + map), std::string::npos) << rest.err;
    EXPECT_EQ(Mismatch(source, testutil::ReadFileBytes(out)), "");
    EXPECT_EQ(BadOf(LoadMap(map, kSize)), kBad);
}

// A destination that fills up ends the run with the reason, and the map
// (kept elsewhere) names only bytes the image holds, so a run onto a larger
// destination could go on from it.
TEST(Image, AFullDestinationLeavesATrueMap) {
    testutil::TempDir dir;
    const std::string sourceImage = dir.file("source.img"), small = dir.file("small");
    const std::vector<uint8_t> source = SourceBytes();
    testutil::WriteFileBytes(sourceImage, source);
    std::filesystem::create_directories(small);
    clitest::MountGuard guard;
    if (testutil::Run("mount -t tmpfs -o size=2m none " + Quote(small) + " 2>&1").exitCode != 0)
        GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    guard.mnt = small;
    const std::string out = small + "/out.img", map = dir.file("out.map");
    const Outcome full = Quarlix(dir, "image " + Quote(sourceImage) + " --to " + Quote(out) + " --map " + Quote(map));
    EXPECT_EQ(full.exitCode, 1) << full.err;
    EXPECT_NE(full.err.find("cannot write " + out + ": No space left on device; the map " + map +
                            " names what was rescued: run again to go on"),
              std::string::npos)
        << full.err;
    const CRescueMap half = LoadMap(map, kSize);
    EXPECT_GT(half.Bytes(RescueState::Rescued), 0u);
    EXPECT_GT(half.Bytes(RescueState::Untried), 0u);
    ExpectRescuedBytesInImage(half, source, out);
}

// What is never written: the source, through a link, a file on a mount of
// the source, an image another map belongs to.
TEST(Image, RefusesTheSourceLinksAndForeignMaps) {
    testutil::TempDir dir;
    const std::string sourceImage = dir.file("source.img");
    testutil::WriteFileBytes(sourceImage, testutil::PatternBytes(1u << 20, 3));
    const std::string sum = testutil::MustRun("md5sum < " + Quote(sourceImage));
    testutil::MustRun("ln -s " + Quote(dir.file("target.img")) + " " + Quote(dir.file("link.img")) + " && ln -s " +
                      Quote(sourceImage) + " " + Quote(dir.file("to-source.img")));
    testutil::MustRun("printf '0x0 ?\\n0x0 0x80000 ?\\n' > " + Quote(dir.file("half.map")) + " && head -c 100 /dev/zero > " +
                      Quote(dir.file("old.img")));
    struct Case {
        const char* what;
        std::string args;
        std::string says;
    };
    const std::string src = Quote(sourceImage);
    const std::vector<Case> cases = {
        {"onto the source", "--to " + src, "is the source itself: it is never written"},
        {"the map onto the source", "--to " + Quote(dir.file("a.img")) + " --map " + src,
         "is the source itself: it is never written"},
        {"through a link", "--to " + Quote(dir.file("link.img")), "is a symbolic link"},
        {"through a link to the source", "--to " + Quote(dir.file("to-source.img")), "is a symbolic link"},
        {"a map of another size", "--to " + Quote(dir.file("b.img")) + " --map " + Quote(dir.file("half.map")),
         "is the map of a source of 524288 bytes"},
        {"an image without its map", "--to " + Quote(dir.file("old.img")), "exists and has no map"},
        {"the image as its own map", "--to " + Quote(dir.file("c.img")) + " --map " + Quote(dir.file("c.img")),
         "cannot be one file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome r = Quarlix(dir, "image " + src + " " + c.args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    for (const char* made : {"target.img", "a.img", "b.img", "c.img", "c.img.map", "b.img.map", "old.img.map"})
        EXPECT_FALSE(std::filesystem::exists(dir.file(made))) << made;
    EXPECT_EQ(std::filesystem::file_size(dir.file("old.img")), 100u);

    // A folder on a mount of the source (ntfs-3g names the image it serves).
    const bool fuse = testutil::HaveTool("ntfs-3g") && testutil::HaveTool("mkntfs") &&
                      std::filesystem::exists("/dev/fuse");
    QUARLIX_REQUIRE(fuse, "ntfs-3g, mkntfs or FUSE is missing");
    const std::string ntfs = dir.file("ntfs.img"), mnt = dir.file("mnt");
    testutil::MustRun("truncate -s 8M " + Quote(ntfs) + " && mkntfs -F -f -q " + Quote(ntfs) + " >/dev/null 2>&1");
    std::filesystem::create_directories(mnt);
    clitest::MountGuard guard;
    ASSERT_EQ(testutil::Run("ntfs-3g -o noatime " + Quote(ntfs) + " " + Quote(mnt) + " 2>&1").exitCode, 0);
    guard.mnt = mnt;
    const Outcome onMount = Quarlix(dir, "image " + Quote(ntfs) + " --to " + Quote(mnt + "/copy.img"));
    EXPECT_EQ(onMount.exitCode, 2) << onMount.err;
    EXPECT_NE(onMount.err.find("choose a folder on another drive"), std::string::npos) << onMount.err;
    EXPECT_FALSE(std::filesystem::exists(mnt + "/copy.img"));
    EXPECT_EQ(testutil::MustRun("md5sum < " + Quote(sourceImage)), sum);
}

}  // namespace
