// FAT folders that no folder reaches any more: a folder of 40 files made
// with mtools takes three clusters apart from each other (its files' data
// lies between them); deleting the tree frees them all, and its entry names
// only the first. The other two are found among the free clusters and
// listed as lost folders: every file comes back byte for byte, under its
// folder or a lost one, the same after a cache restore. Deleted while open,
// the folder keeps its chain and its files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

namespace {

const std::string kMtools = "MTOOLS_SKIP_CHECK=1 ";

// A FAT16 image holding /D with 40 files of one cluster each; the folder's
// three clusters lie apart, its files' data between them. Returns the files' bytes.
std::multiset<std::string> MakeScatteredFolder(testutil::TempDir& dir, const std::string& img) {
    testutil::MustRun("mkfs.fat -C -F 16 -s 1 -S 512 " + Quote(img) + " 8192 >/dev/null");
    testutil::MustRun(kMtools + "mmd -i " + Quote(img) + " ::/D");
    std::multiset<std::string> written;
    for (int i = 1; i <= 40; ++i) {
        // One cluster each; a first byte of 0 so that no data cluster reads as folder entries.
        std::vector<uint8_t> bytes = testutil::PatternBytes(300, static_cast<uint32_t>(i));
        bytes[0] = 0;
        const std::string file = dir.file(std::string("f").append(std::to_string(i)));
        testutil::WriteFileBytes(file, bytes);
        written.insert(std::string(bytes.begin(), bytes.end()));
        testutil::MustRun(kMtools + "mcopy -i " + Quote(img) + " " + Quote(file) + " ::/D/F" + std::to_string(i) + ".BIN");
    }
    const std::string chain = testutil::MustRun(kMtools + "mshowfat -i " + Quote(img) + " ::/D");
    EXPECT_NE(chain.find("> <"), std::string::npos) << "the folder's clusters should lie apart: " << chain;
    return written;
}

// The bytes of every file recovered under out.
std::multiset<std::string> RecoveredFiles(const std::string& out) {
    std::multiset<std::string> recovered;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file()) continue;
        const auto bytes = testutil::ReadFileBytes(entry.path().string());
        recovered.insert(std::string(bytes.begin(), bytes.end()));
    }
    return recovered;
}

}  // namespace

TEST(LostFolders, ScatteredClustersOfADeletedFolderRecoverWhole) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mshowfat"),
                    "dosfstools or mtools missing");
    testutil::TempDir dir;
    const std::string img = dir.file("fat16.img");
    const std::multiset<std::string> written = MakeScatteredFolder(dir, img);
    testutil::MustRun(kMtools + "mdeltree -i " + Quote(img) + " ::/D");

    const std::string cache = "XDG_CACHE_HOME=" + Quote(dir.file("cache")) + " ";
    auto list = [&] {
        auto r = testutil::Run(cache + Quarlix() + " --json list " + Quote(img) + " --recursive");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        std::set<std::string> rows;
        for (const auto& j : JsonLines(r.out)) rows.insert(j["path"].get<std::string>() + " " + j["id"].dump());
        return rows;
    };
    const auto built = list();
    size_t lostFolders = 0;
    const std::regex folderRow(R"(^/\$LostFolders/Folder[0-9]+/? .*)");
    for (const std::string& row : built) lostFolders += std::regex_match(row, folderRow) ? 1 : 0;
    EXPECT_EQ(lostFolders, 2u) << testutil::MustRun(Quarlix() + " --no-cache list " + Quote(img) + " --recursive");
    EXPECT_EQ(list(), built);  // restored from the cache: the same items, the same ids

    const std::string out = dir.file("out");
    auto r = testutil::Run(Quarlix() + " --no-cache recover " + Quote(img) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(RecoveredFiles(out), written);
}

// The same folder deleted while open: its files were deleted first (mdel
// frees their clusters), then its entry was marked deleted while the FAT
// kept its chain (the entry's first byte written here: no tool leaves this
// state). Its files are not overwritten and come back whole; its own three
// clusters are in use by itself, not taken by another item, and no lost
// folder is made of them.
TEST(LostFolders, FolderDeletedWhileOpenKeepsItsChainAndItsFiles) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mshowfat"),
                    "dosfstools or mtools missing");
    testutil::TempDir dir;
    const std::string img = dir.file("fat16.img");
    const std::multiset<std::string> written = MakeScatteredFolder(dir, img);
    testutil::MustRun(kMtools + "mdel -i " + Quote(img) + " '::/D/*'");
    // D's entry: the first slot of the root folder named so, a folder.
    const auto bytes = testutil::ReadFileBytes(img);
    const std::string entry = std::string("D          ") + '\x10';
    const auto at = std::search(bytes.begin(), bytes.end(), entry.begin(), entry.end());
    ASSERT_NE(at, bytes.end());
    const uint64_t rootAt = static_cast<uint64_t>(at - bytes.begin());
    ASSERT_EQ(rootAt % 32, 0u);
    testutil::PatchFile(img, rootAt, {0xE5});

    auto q = [&](const std::string& args) { return testutil::Run(Quarlix() + " --no-cache " + args); };
    auto listed = JsonLines(q("--json list " + Quote(img) + " --recursive --deleted-only").out);
    size_t files = 0;
    for (const auto& j : listed) {
        SCOPED_TRACE(j.dump());
        EXPECT_TRUE(j["path"].get<std::string>().rfind("/?/", 0) == 0 || j["path"] == "/?");
        if (j["folder"] == true) continue;
        ++files;
        EXPECT_EQ(j["overwritten"], 0);
    }
    EXPECT_EQ(files, 40u);

    struct Case {
        std::string item;
        uint64_t inUse;
        bool own;
        const char* text;
    } const cases[] = {
        {"/?", 3, true, "clusters in use: 3, by this folder itself"},
        {"/?/?1.BIN", 0, false, "clusters in use again: 0"},
        {"/?/?40.BIN", 0, false, "clusters in use again: 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        auto st = JsonLines(q("--json stat " + Quote(img) + " " + Quote(c.item)).out);
        ASSERT_EQ(st.size(), 1u);
        EXPECT_EQ(st[0]["clusters_in_use"], c.inUse);
        EXPECT_EQ(st[0].contains("own_chain_allocated"), c.own);
        if (!st[0]["folder"].get<bool>()) {
            EXPECT_EQ(st[0]["overwritten"], 0);
        }
        const std::string text = q("stat " + Quote(img) + " " + Quote(c.item)).out;
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
    }

    const std::string out = dir.file("out");
    auto r = q("recover " + Quote(img) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(RecoveredFiles(out), written);
}
