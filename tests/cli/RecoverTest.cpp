// `quarlix list` and `quarlix recover` end to end on the FAT sample image the
// repository ships (made by tools/make-fat-sample.sh with mkfs.fat + mtools).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
using testutil::TempDir;

namespace {

// The content the sample maker wrote for a file.
std::vector<uint8_t> SampleContent(const std::string& name, int seed, size_t size) {
    std::string out = testutil::MustRun("yes " + Quote("Quarlix sample " + name + " seed " + std::to_string(seed) +
                                                      " ----------------------------------------") +
                                        " | head -c " + std::to_string(size));
    return std::vector<uint8_t>(out.begin(), out.end());
}

class SampleImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("fat-sample.img");
        testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " +
                          Quote(image));
    }
    testutil::CommandResult Q(const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache " + args + " 2>" + Quote(dir.file("err.txt")));
    }
    TempDir dir;
    std::string image;
};

TEST_F(SampleImageTest, DeletedListingAgreesWithSleuthKit) {
    auto r = Q("--json list " + Quote(image) + " --recursive --deleted-only");
    ASSERT_EQ(r.exitCode, 0);
    std::set<std::pair<std::string, uint64_t>> ours;
    for (const auto& j : JsonLines(r.out)) {
        EXPECT_TRUE(j["deleted"].get<bool>());
        std::string path = j["path"];
        // A deleted short name has lost its first letter: we show "?", Sleuth Kit "_".
        auto slash = path.rfind('/');
        if (path[slash + 1] == '?') path[slash + 1] = '_';
        // Folders carry no data size here; Sleuth Kit reports their first cluster's bytes.
        ours.insert({path, j["folder"].get<bool>() ? 0 : j["size"].get<uint64_t>()});
    }
    std::set<std::pair<std::string, uint64_t>> theirs;
    std::istringstream fls(testutil::MustRun("fls -r -d -p -l " + Quote(image)));
    std::string line;
    while (std::getline(fls, line)) {
        // "r/r * 522:<TAB>Docs/Budget 2026.xls<TAB>mtime<TAB>atime<TAB>ctime<TAB>crtime<TAB>size<TAB>uid<TAB>gid"
        std::vector<std::string> cols;
        std::istringstream ls(line);
        std::string c;
        while (std::getline(ls, c, '\t')) cols.push_back(c);
        ASSERT_GE(cols.size(), 7u) << line;
        bool folder = cols[0].rfind("d/", 0) == 0;
        theirs.insert({"/" + cols[1], folder ? 0 : std::stoull(cols[6])});
    }
    EXPECT_EQ(ours, theirs);
}

TEST_F(SampleImageTest, RecoverAllWritesTheOriginalContentAndNeverOverwrites) {
    std::string out = dir.file("out");
    auto r = Q("--json recover " + Quote(image) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0);
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["summary"]["files"], 4);
    EXPECT_EQ(lines.back()["summary"]["folders"], 1);
    EXPECT_EQ(lines.back()["summary"]["failed"], 0);

    const struct {
        const char* output;
        const char* name;
        int seed;
        size_t size;
    } files[] = {{"Docs/Budget 2026.xls", "budget.xls", 4, 12000},
                 {"Photos/Holiday photo.jpg", "photo.jpg", 2, 40000},
                 {"Trash/_otes.txt", "notes.txt", 3, 500},
                 {"_eadme.txt", "readme.txt", 5, 700}};
    for (const auto& f : files)
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + f.output), SampleContent(f.name, f.seed, f.size)) << f.output;
    EXPECT_FALSE(std::filesystem::exists(out + "/Docs/report.txt")) << "live files are not recovered";

    // A second run into the same folder renames every conflict with the default answer.
    r = Q("--json recover " + Quote(image) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/Docs/Budget 2026 (2).xls"), SampleContent("budget.xls", 4, 12000));
    EXPECT_EQ(testutil::ReadFileBytes(out + "/_eadme_1.txt"), SampleContent("readme.txt", 5, 700));
    EXPECT_TRUE(std::filesystem::exists(out + "/Trash (2)/_otes.txt"));
    for (const auto& f : files)
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + f.output), SampleContent(f.name, f.seed, f.size)) << f.output;

    // --on-conflict skip leaves everything as it is; one item by id, one by path.
    std::string budget;  // the id as `list` prints it
    for (const auto& j : JsonLines(Q("--json list " + Quote(image) + " /Docs --deleted-only").out))
        if (j["name"] == "Budget 2026.xls") budget = std::to_string(j["id"].get<uint32_t>());
    ASSERT_FALSE(budget.empty());
    r = Q("--json recover " + Quote(image) + " --on-conflict skip --to " + Quote(out + "/Docs") + " " + budget);
    ASSERT_EQ(r.exitCode, 0);
    lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["status"], "skipped");
    r = Q("--json recover " + Quote(image) + " --to " + Quote(out + "/single") + " " + Quote("/Photos/Holiday photo.jpg"));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/single/Holiday photo.jpg"), SampleContent("photo.jpg", 2, 40000));
}

TEST_F(SampleImageTest, BadSelectionsAreUsageErrors) {
    EXPECT_EQ(Q("recover " + Quote(image) + " --to " + Quote(dir.file("o"))).exitCode, 2);
    EXPECT_EQ(Q("recover " + Quote(image) + " 999999 --to " + Quote(dir.file("o"))).exitCode, 2);
    EXPECT_EQ(Q("recover " + Quote(image) + " /Docs/none.txt --to " + Quote(dir.file("o"))).exitCode, 2);
    EXPECT_EQ(Q("list " + Quote(image) + " /NoSuchFolder").exitCode, 2);
    // A folder listing below a deleted folder works by name.
    auto r = Q("--json list " + Quote(image) + " /Trash");
    ASSERT_EQ(r.exitCode, 0);
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["path"], "/Trash/?otes.txt");
    EXPECT_EQ(lines[0]["overwritten"], 0);
}

}  // namespace
