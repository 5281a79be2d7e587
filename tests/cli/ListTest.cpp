// `quarlix list` on the NTFS sample image the repository ships (made by
// tools/make-ntfs-sample.sh with mkntfs + libntfs-3g): lost-folder content
// under $LostFolders, and the overwritten percentages against the clusters
// Sleuth Kit sees allocated; a recursive listing's live rows against each
// folder's own listing. The deleted listing against Sleuth Kit's is in
// DeletedCensusTest.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "NtfsRecoveryFixture.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

namespace {

class NtfsSampleList : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("ntfs-sample.img");
        testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/ntfs-sample.img.gz") + " > " +
                          Quote(image));
    }
    std::vector<nlohmann::json> List(const std::string& args) {
        auto r = testutil::Run(Quarlix() + " --no-cache --json list " + Quote(image) + " " + args +
                               " 2>" + Quote(dir.file("err.txt")));
        EXPECT_EQ(r.exitCode, 0) << testutil::MustRun("cat " + Quote(dir.file("err.txt")));
        return JsonLines(r.out);
    }
    testutil::TempDir dir;
    std::string image;
};

}  // namespace

TEST_F(NtfsSampleList, OverwrittenShareFollowsTheReusedClusters) {
    QUARLIX_REQUIRE(testutil::HaveTool("istat") && testutil::HaveTool("blkstat"), "sleuthkit missing");
    int checked = 0, partly = 0;
    for (const auto& j : List(" --recursive --deleted-only")) {
        if (j["folder"].get<bool>() || j["overwritten"].is_null()) continue;
        // The clusters of the unnamed data stream, as istat lists them.
        const std::string stat = testutil::MustRun("istat " + Quote(image) + " " + std::to_string(j["id"].get<int>()));
        const size_t at = stat.find("Type: $DATA (128-");
        if (at == std::string::npos || stat.find("Non-Resident", at) > stat.find('\n', at)) continue;
        if (stat.find("Name: N/A", at) > stat.find('\n', at)) continue;
        std::istringstream runs(stat.substr(stat.find('\n', at) + 1));
        std::string row;
        uint64_t total = 0, inUse = 0;
        while (std::getline(runs, row) && !row.empty() && std::isdigit(static_cast<unsigned char>(row[0]))) {
            std::istringstream clusters(row);
            std::string c;
            while (clusters >> c) {
                if (c == "0") continue;  // istat's mark of a sparse (compressed-away) cluster
                ++total;
                if (testutil::MustRun("blkstat " + Quote(image) + " " + c).find("Not Allocated") == std::string::npos)
                    ++inUse;
            }
        }
        if (total == 0) continue;
        const double expected = 100.0 * static_cast<double>(inUse) / static_cast<double>(total);
        EXPECT_NEAR(j["overwritten"].get<double>(), expected, 1.0) << j["path"] << ": " << inUse << "/" << total;
        ++checked;
        if (inUse > 0 && inUse < total) ++partly;
    }
    EXPECT_GE(checked, 2);
    EXPECT_EQ(partly, 1);  // budget.xls: the filler took some of its clusters
}

TEST_F(NtfsSampleList, RootShowsTheVirtualFoldersThatHoldSomething) {
    std::set<std::string> root;
    for (const auto& j : List("")) root.insert(j["path"].get<std::string>());
    EXPECT_TRUE(root.count("/$LostFolders"));
    EXPECT_FALSE(root.count("/$RecycleBin"));  // the sample has no recycle bin
    std::set<std::string> lost;
    for (const auto& j : List(" " + Quote("/$LostFolders"))) {
        lost.insert(j["name"].get<std::string>());
        EXPECT_TRUE(j["lost"].get<bool>()) << j.dump();
    }
    EXPECT_EQ(lost, std::set<std::string>{"Folder64"});
}

namespace {

// A volume changed after `index`: the cache is reused only while the
// volume's fingerprint matches. The change keeps the image's modification
// time, so that the file system's own regions are what tell; a change of
// the modification time alone is enough as well.
struct CacheCase {
    const char* name;
    const char* sample;
    std::string (*remove)(const std::string& image);  // deletes the live /Docs/report.txt
    const char* deletedPath;                            // how list shows it afterwards
};

void PrintTo(const CacheCase& c, std::ostream* os) { *os << c.name; }

class StaleCacheTest : public ::testing::TestWithParam<CacheCase> {
protected:
    // quarlix with its own cache and log folders; the JSON lines of stdout.
    std::vector<nlohmann::json> Q(const std::string& args) {
        const std::string env = "XDG_CACHE_HOME=" + Quote(dir.file("cache")) + " XDG_CONFIG_HOME=" +
                                Quote(dir.file("config")) + " XDG_STATE_HOME=" + Quote(dir.file("state")) + " ";
        auto r = testutil::Run(env + Quarlix() + " --json " + args + " 2>/dev/null");
        EXPECT_EQ(r.exitCode, 0) << args;
        return JsonLines(r.out);
    }
    bool IndexFromCache() {
        auto lines = Q("index " + Quote(image));
        return !lines.empty() && lines.back()["from_cache"].get<bool>();
    }
    std::string Log() {
        auto bytes = testutil::ReadFileBytes(dir.file("state") + "/QuarlixRecovery/QuarlixRecovery.log");
        return std::string(bytes.begin(), bytes.end());
    }
    testutil::TempDir dir;
    std::string image;
};

TEST_P(StaleCacheTest, ListShowsTheChangeAndAnUnchangedVolumeRestores) {
    const CacheCase& c = GetParam();
    image = dir.file("v.img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + c.sample) + " > " + Quote(image));
    EXPECT_FALSE(IndexFromCache());
    EXPECT_TRUE(IndexFromCache()) << "an unchanged volume restores from its cache";

    const std::string stamp = dir.file("stamp");
    testutil::MustRun("touch -r " + Quote(image) + " " + Quote(stamp));
    testutil::MustRun(c.remove(image));
    testutil::MustRun("touch -r " + Quote(stamp) + " " + Quote(image));
    std::set<std::string> live, deleted;
    for (const auto& j : Q("list " + Quote(image) + " --recursive"))
        (j["deleted"].get<bool>() ? deleted : live).insert(j["path"].get<std::string>());
    EXPECT_EQ(live.count("/Docs/report.txt"), 0u);
    EXPECT_EQ(deleted.count(c.deletedPath), 1u) << "the file deleted after the index was made is listed";
    EXPECT_NE(Log().find("Stale cache: the volume has changed since it was saved"), std::string::npos) << Log();
    EXPECT_TRUE(IndexFromCache()) << "the rebuilt index was saved with the new fingerprint";

    testutil::MustRun("touch -d '2001-02-03 04:05:06' " + Quote(image));
    EXPECT_FALSE(IndexFromCache()) << "a new modification time makes the cache of an image stale";
    EXPECT_TRUE(IndexFromCache());
}

INSTANTIATE_TEST_SUITE_P(
    Samples, StaleCacheTest,
    ::testing::Values(CacheCase {"Fat", "fat-sample.img.gz",
                                 [](const std::string& img) {
                                     return "MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(img) + " ::/Docs/report.txt";
                                 },
                                 "/Docs/?eport.txt"},
                      CacheCase {"Ntfs", "ntfs-sample.img.gz",
                                 [](const std::string& img) {
                                     return Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(img) +
                                            " delete /Docs/report.txt >/dev/null";
                                 },
                                 "/Docs/report.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// A recursive listing takes the live items from their records as the index
// build reads them; a folder listed alone reads its own index. Both show the
// same rows in the same order: a long name rather than its DOS alias, a hard
// link in each folder that holds one (twice in one folder: once), sizes and
// times of files written after they were made, a folder of INDX blocks, and
// with the root's INDX blocks zeroed what the damaged index still lists.
TEST(NtfsLiveListing, RecursiveRowsAreWhatEachFolderListsAlone) {
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "root index zeroed" : "intact");
        testutil::TempDir dir;
        const std::string image = dir.file("live.img");
        std::string script = "many /big 400 f\nmkdir /docs/sub\ntext /docs/a.txt \"alpha\"\n"
                             "write /docs/sub/b.bin random:3 20000\ntext /docs/LongFileName.txt \"long\"\n"
                             "dosname /docs/LongFileName.txt LONGFI~1.TXT\nlink /docs/a.txt /big/a-link.txt\n"
                             "link /docs/a.txt /docs/a-second.txt\ndelete /big/f00007.txt\n";
        for (int i = 10; i < 50; ++i) script += "text /a-rather-long-root-file-name-" + std::to_string(i) + ".txt \"r\"\n";
        auto fx = ntfsfixture::Make(image, "16M", script);
        ASSERT_TRUE(fx.error.empty()) << fx.error;
        if (damaged) {
            const std::string istat = testutil::MustRun("istat " + Quote(image) + " 5");
            const size_t at = istat.find("Type: $INDEX_ALLOCATION");
            ASSERT_NE(at, std::string::npos) << istat;
            std::istringstream runs(istat.substr(istat.find('\n', at) + 1));
            for (std::string c; runs >> c && c.find_first_not_of("0123456789") == std::string::npos;)
                testutil::PatchFile(image, std::stoull(c) * 4096, std::vector<uint8_t>(4096, 0));
        }
        auto list = [&](const std::string& args) {
            auto r = testutil::Run(Quarlix() + " --no-cache --json list " + Quote(image) + " " + args + " 2>/dev/null");
            EXPECT_EQ(r.exitCode, 0) << args;
            return JsonLines(r.out);
        };
        // Live rows by the folder that shows them, in order.
        auto live = [](const std::vector<nlohmann::json>& rows, std::map<std::string, std::vector<std::string>>& out) {
            for (const auto& j : rows) {
                if (!j.contains("path") || j["deleted"].get<bool>()) continue;
                std::string path = j["path"].get<std::string>();
                if (path.size() > 1 && path.back() == '/') path.pop_back();
                if (path.rfind("/$", 0) == 0) continue;  // the virtual folders
                const size_t slash = path.rfind('/');
                out[slash == 0 ? "/" : path.substr(0, slash)].push_back(j.dump());
            }
        };
        std::map<std::string, std::vector<std::string>> recursive, alone;
        live(list("--recursive"), recursive);
        for (const auto& [folder, rows] : recursive) live(list(Quote(folder)), alone);
        EXPECT_EQ(recursive, alone);
        std::set<std::string> names;
        for (const auto& [folder, rows] : recursive)
            for (const auto& row : rows) names.insert(nlohmann::json::parse(row)["path"].get<std::string>());
        // One row per record and folder: of a.txt and a-second.txt the first in index order.
        for (const char* p : {"/docs/a-second.txt", "/docs/LongFileName.txt", "/big/a-link.txt", "/docs/sub/b.bin",
                              "/big/f00399.txt"})
            EXPECT_EQ(names.count(p), damaged ? 0u : 1u) << p;  // /docs and /big were in the zeroed blocks
        for (const char* p : {"/docs/a.txt", "/docs/LONGFI~1.TXT", "/big/f00007.txt"}) EXPECT_FALSE(names.count(p)) << p;
        // The zeroed blocks took most of the root's names with them.
        EXPECT_EQ(recursive["/"].size() > 40, !damaged) << recursive["/"].size();
    }
}
