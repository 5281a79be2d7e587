// FAT folders that no folder reaches any more: a folder of 40 files made
// with mtools takes three clusters apart from each other (its files' data
// lies between them); deleting the tree frees them all, and its entry names
// only the first. The other two are found among the free clusters and
// listed as lost folders: every file comes back byte for byte, under its
// folder or a lost one, the same after a cache restore.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

TEST(LostFolders, ScatteredClustersOfADeletedFolderRecoverWhole) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mshowfat"),
                    "dosfstools or mtools missing");
    testutil::TempDir dir;
    const std::string img = dir.file("fat16.img");
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    testutil::MustRun("mkfs.fat -C -F 16 -s 1 -S 512 " + Quote(img) + " 8192 >/dev/null");
    testutil::MustRun(mt + "mmd -i " + Quote(img) + " ::/D");
    std::multiset<std::string> written;
    for (int i = 1; i <= 40; ++i) {
        // One cluster each; a first byte of 0 so that no data cluster reads as folder entries.
        std::vector<uint8_t> bytes = testutil::PatternBytes(300, static_cast<uint32_t>(i));
        bytes[0] = 0;
        const std::string file = dir.file("f" + std::to_string(i));
        testutil::WriteFileBytes(file, bytes);
        written.insert(std::string(bytes.begin(), bytes.end()));
        testutil::MustRun(mt + "mcopy -i " + Quote(img) + " " + Quote(file) + " ::/D/F" + std::to_string(i) + ".BIN");
    }
    const std::string chain = testutil::MustRun(mt + "mshowfat -i " + Quote(img) + " ::/D");
    ASSERT_NE(chain.find("> <"), std::string::npos) << "the folder's clusters should lie apart: " << chain;
    testutil::MustRun(mt + "mdeltree -i " + Quote(img) + " ::/D");

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
    std::multiset<std::string> recovered;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file()) continue;
        const auto bytes = testutil::ReadFileBytes(entry.path().string());
        recovered.insert(std::string(bytes.begin(), bytes.end()));
    }
    EXPECT_EQ(recovered, written);
}
