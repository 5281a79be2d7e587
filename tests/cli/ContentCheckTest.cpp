// A deleted FAT file's clusters after the first are a guess. The recovery
// reads each such file back and checks it by its type's structure: on a
// FAT16 image made with mtools, each sample deleted whole recovers "ok"
// (with the check passed where its type has checksums or coding rules), the
// same file whose second cluster now holds other bytes (as when the file
// was fragmented) is "unverified: content check failed" and still written,
// and a multi-cluster file of a type with nothing to check is "ok",
// contiguity assumed. On dftt-6 the
// fragmented files whose guessed clusters run into another deleted file's
// first cluster are unverified; the single-cluster and contiguous files
// recover with the published MD5s.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

namespace {

struct Outcome {
    std::string status, reason, note, output;
};

// A deleted entry's name without its first letter (lost with the deletion
// unless a long name kept it), in lower case.
std::string Key(std::string name) {
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return name.empty() ? name : name.substr(1);
}

std::map<std::string, Outcome> RecoverAll(const std::string& image, const std::string& to, int& exitCode) {
    auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --all --to " + Quote(to));
    exitCode = r.exitCode;
    std::map<std::string, Outcome> out;
    for (const auto& j : JsonLines(r.out)) {
        if (!j.contains("status") || j["path"].is_null() || j["folder"].get<bool>()) continue;
        Outcome o {j["status"], j.value("reason", ""), j.value("note", ""), j["output"]};
        out[Key(std::filesystem::path(j["path"].get<std::string>()).filename().string())] = o;
    }
    return out;
}

}  // namespace

TEST(ContentCheck, GuessedFatLayoutsAreCheckedByTheirStructure) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mshowfat"),
                    "dosfstools or mtools missing");
    testutil::TempDir dir;
    const std::string img = dir.file("fat16.img");
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    testutil::MustRun("mkfs.fat -C -F 16 -s 2 -S 512 " + Quote(img) + " 8192 >/dev/null");
    const std::string data = testutil::SourceDir() + "/tests/data/";
    // deep: the type has checksums or a coding rule the bytes in between
    // must keep (JPEG entropy data, PNG chunk CRCs, ZIP member CRCs, PDF
    // Flate streams; GIF sub-blocks and MPEG frames are framed a few hundred
    // bytes apart). The other types keep their framing around any bytes
    // (raw pixels, samples, sectors): their recovered bytes cannot be told
    // right or wrong, so they stay "contiguity assumed" when broken, unless
    // the wrong cluster breaks their framing (caught): the second cluster of
    // the small spreadsheet holds its sector allocation table. The box
    // types pass as one another: a QuickTime movie named .mp4 is checked as
    // a movie.
    const struct {
        const char* file;
        bool deep;
        bool caught;
        const char* as = nullptr;  // the name on the volume, when not the file's
    } samples[] = {{"sample.jpg", true, true},           {"sample.png", true, true},
                   {"sample.gif", true, true},           {"sample.mp3", true, true},
                   {"documents/report.pdf", true, true}, {"documents/report.docx", true, true},
                   {"documents/archive.zip", true, true}, {"sample.bmp", false, false},
                   {"sample.tif", false, false},         {"sample.mov", false, false},
                   {"documents/budget.xls", false, true}, {"sample.mp4", false, false},
                   {"sample.heic", false, false},        {"sample.mov", false, false, "clip.mp4"}};
    std::vector<std::string> names;
    for (const auto& s : samples) {
        const std::string name = s.as ? s.as : std::filesystem::path(s.file).filename().string();
        testutil::MustRun(mt + "mcopy -i " + Quote(img) + " " + Quote(data + s.file) + " ::/" + name);
        testutil::MustRun(mt + "mcopy -i " + Quote(img) + " " + Quote(data + s.file) + " ::/broken-" + name);
        names.push_back(name);
    }
    testutil::WriteFileBytes(dir.file("plain.dat"), testutil::PatternBytes(5000, 7));
    testutil::MustRun(mt + "mcopy -i " + Quote(img) + " " + Quote(dir.file("plain.dat")) + " ::/plain.dat");
    // The second cluster of each broken- copy, while its chain is still on record.
    const auto info = JsonLines(testutil::MustRun(Quarlix() + " --no-cache --json info " + Quote(img)));
    ASSERT_FALSE(info.empty());
    const uint64_t dataStart = info[0]["data_start_sector"].get<uint64_t>() * 512;
    const uint64_t clusterSize = info[0]["cluster_size"];
    std::vector<uint64_t> secondClusters;
    for (const std::string& name : names) {
        const std::string fat = testutil::MustRun(mt + "mshowfat -i " + Quote(img) + " ::/broken-" + name);
        const size_t open = fat.find('<');
        ASSERT_NE(open, std::string::npos) << fat;
        const uint64_t first = std::stoull(fat.substr(open + 1));
        secondClusters.push_back(first + 1);
    }
    testutil::MustRun(mt + "mdel -i " + Quote(img) + " '::/*.*'");
    for (size_t i = 0; i < secondClusters.size(); ++i)
        testutil::PatchFile(img, dataStart + (secondClusters[i] - 2) * clusterSize, testutil::PatternBytes(clusterSize, 99));

    int exitCode = 0;
    const auto got = RecoverAll(img, dir.file("out"), exitCode);
    EXPECT_EQ(exitCode, 1);  // unverified items make a partial result
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        SCOPED_TRACE(name);
        const std::string whole = Key(name);
        const std::string broken = Key("broken-" + name);
        ASSERT_TRUE(got.count(whole) && got.count(broken));
        EXPECT_EQ(got.at(whole).status, "ok");
        EXPECT_EQ(got.at(whole).note, samples[i].deep ? "contiguity assumed; content check passed" : "contiguity assumed");
        if (samples[i].caught) {
            EXPECT_EQ(got.at(broken).status, "unverified");
            EXPECT_EQ(got.at(broken).reason, "content check failed");
        } else {
            EXPECT_EQ(got.at(broken).status, "ok");
            EXPECT_EQ(got.at(broken).note, "contiguity assumed");
        }
        EXPECT_TRUE(std::filesystem::exists(got.at(broken).output));  // still written
    }
    ASSERT_TRUE(got.count(Key("plain.dat")));
    EXPECT_EQ(got.at(Key("plain.dat")).status, "ok");
    EXPECT_EQ(got.at(Key("plain.dat")).note, "contiguity assumed");
}

TEST(ContentCheck, FragmentedFilesOfDftt6AreNotCalledOk) {
    const std::string shared = testutil::SharedTestData();
    QUARLIX_REQUIRE(!shared.empty(), "shared test data absent");
    testutil::TempDir dir;
    int exitCode = 0;
    const auto got = RecoverAll(shared + "/dftt-6-fat-undel.dd", dir.file("out"), exitCode);
    EXPECT_EQ(exitCode, 1);
    const struct {
        const char* name;
        const char* status;
        const char* md5;  // the published MD5 of a correct recovery, when ours must match it
    } cases[] = {
        {"_ing.dat", "ok", "59b20779f69ff9f0ac5fcd2c38835a79"},
        {"_ult1.dat", "ok", "ffd27bd782bdce67750b6b9ee069d2ef"},
        {"mult2.dat", "ok", "59cf0e9cd107bc1e75afb7374f6e05bb"},
        // Clusters 1,3: the guess 1,2 takes frag2's first cluster.
        {"_rag1.dat", "unverified", nullptr},
        // Clusters 14,17: the guess 14,15 takes mult2's first cluster.
        {"frag3.dat", "unverified", nullptr},
        // Clusters 2,4-5,11: the guess 2-5 meets no other file's first
        // cluster, and .dat has no structure: nothing tells it apart from a
        // contiguous file, so it is ok with contiguity assumed.
        {"_rag2.dat", "ok", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto it = got.find(Key(c.name));
        ASSERT_NE(it, got.end());
        EXPECT_EQ(it->second.status, c.status);
        if (it->second.status == "unverified") {
            EXPECT_EQ(it->second.reason, "its assumed clusters run into another deleted item");
        }
        if (c.md5) {
            EXPECT_EQ(testutil::MustRun("md5sum < " + Quote(it->second.output)).substr(0, 32), c.md5);
        }
    }
}
