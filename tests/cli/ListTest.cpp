// `quarlix list` on the NTFS sample image the repository ships (made by
// tools/make-ntfs-sample.sh with mkntfs + libntfs-3g): the deleted listing
// against Sleuth Kit's, lost-folder content under $LostFolders, and the
// overwritten percentages against the clusters Sleuth Kit sees allocated.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
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

TEST_F(NtfsSampleList, DeletedListingAgreesWithSleuthKit) {
    if (!testutil::HaveTool("fls")) GTEST_SKIP() << "sleuthkit missing";
    std::set<std::string> ours;
    for (const auto& j : List(" --recursive --deleted-only")) {
        EXPECT_TRUE(j["deleted"].get<bool>()) << j.dump();
        std::string path = j["path"];
        if (j["folder"].get<bool>() && path.back() == '/') path.pop_back();
        ours.insert(path);
    }
    // fls names what it lists by record; a record whose parent folder is gone
    // sits under $OrphanFiles. Ours sits under the lost folder its parent
    // reference names, which istat shows.
    std::set<std::string> theirs;
    std::istringstream fls(testutil::MustRun("fls -r -d -p " + Quote(image)));
    std::string line;
    const std::regex entry(R"(^\S+ \* (\d+)(-\d+-\d+)?:\t(.*)$)");
    while (std::getline(fls, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, entry)) << line;
        std::string path = m[3];
        if (path.find(':') != std::string::npos) continue;  // a named stream, part of its file
        if (path.rfind("$OrphanFiles/", 0) == 0) {
            if (path.rfind("$OrphanFiles/OrphanFile-", 0) == 0) continue;  // a record without a name
            std::smatch p;
            const std::string stat = testutil::MustRun("istat " + Quote(image) + " " + m[1].str());
            ASSERT_TRUE(std::regex_search(stat, p, std::regex(R"(Parent MFT Entry: (\d+))"))) << stat;
            const std::string folder = "/$LostFolders/Folder" + p[1].str();
            theirs.insert(folder);
            path = folder.substr(1) + "/" + path.substr(13);
        }
        theirs.insert("/" + path);
    }
    EXPECT_EQ(ours, theirs);
}

TEST_F(NtfsSampleList, OverwrittenShareFollowsTheReusedClusters) {
    if (!testutil::HaveTool("istat") || !testutil::HaveTool("blkstat")) GTEST_SKIP() << "sleuthkit missing";
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
