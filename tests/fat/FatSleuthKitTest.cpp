// The recursive deleted-only listing against Sleuth Kit's "fls -r -d": on the
// mkfs.fat/mtools fixtures, and on the public images with their ground truth.
//
// Known, intended differences:
// - A deleted 8.3 name has lost its first letter; we show "?" where fls shows
//   "_" (FlsStyle maps ours before comparing). Long names keep their first letter.
// - fls sizes folders by their cluster chain; a FAT folder entry records 0, which
//   is what we report, so sizes are compared for files only.
// - fls lists "$OrphanFiles" (entries found outside any folder); we list them
//   in lost folders (/$LostFolders/Folder<id>/...), compared here with the
//   folder's part of the path left out.
// - fls descends into every deleted folder; we read a deleted folder only when
//   its first cluster still opens with its own "." entry and a ".." naming its
//   parent, and when its clusters are free. Entries fls shows from clusters that
//   now belong to something else are listed per image below.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "FatTestSupport.h"
#include "common/TestUtil.h"

using namespace fattest;

namespace {

using Multiset = std::multimap<std::string, uint64_t>;

Multiset EngineSet(const std::vector<Listed>& items, bool withSizes) {
    Multiset m;
    for (auto& l : items) m.emplace(FlsStyle(l.path), (withSizes && !l.folder) ? l.size : 0);
    return m;
}

Multiset FlsSet(const std::vector<Listed>& items, bool withSizes) {
    Multiset m;
    for (auto& l : items) m.emplace(l.path, (withSizes && !l.folder) ? l.size : 0);
    return m;
}

// Entries of a not in b (as a multiset).
std::vector<std::string> Minus(const Multiset& a, const Multiset& b) {
    std::vector<std::string> out;
    Multiset rest = b;
    for (auto& [path, size] : a) {
        auto range = rest.equal_range(path);
        auto it = std::find_if(range.first, range.second, [&](auto& p) { return p.second == size; });
        if (it == range.second)
            out.push_back(path + " (" + std::to_string(size) + ")");
        else
            rest.erase(it);
    }
    return out;
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (auto& x : v) s += "  " + x + "\n";
    return s;
}

class FatFixtureVsFls : public ::testing::TestWithParam<std::string> {};

TEST_P(FatFixtureVsFls, EveryDeletedEntryUnderTheSameFolderWithTheSameSize) {
    QUARLIX_REQUIRE(testutil::HaveTool("fls"), "Sleuth Kit not installed");
    const std::string& image = FixtureImage(GetParam());
    QUARLIX_REQUIRE(!image.empty(), "mkfs.fat / mtools not installed");
    auto volume = OpenImage(image);
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volume->BuildIndex(nullptr));
    Multiset ours = EngineSet(WalkDeleted(*volume), true);
    Multiset theirs = FlsSet(FlsDeleted(image), true);
    EXPECT_GE(theirs.size(), 19u);
    EXPECT_TRUE(Minus(theirs, ours).empty()) << "fls lists, we do not:\n" << Join(Minus(theirs, ours));
    EXPECT_TRUE(Minus(ours, theirs).empty()) << "we list, fls does not:\n" << Join(Minus(ours, theirs));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatFixtureVsFls, ::testing::Values("fat12", "fat16", "fat32"));

struct SharedImage {
    const char* file;
    bool gzipped;
    // Lines of the ground truth we do not list, and lines we list that it
    // does not have (fls style paths), each explained where it is declared.
    std::vector<std::string> flsOnly;
    std::vector<std::string> oursOnly;
    // fls reads only the first cluster of a deleted folder and lists the
    // entries of its further clusters under $OrphanFiles; we read on through
    // the following free clusters, so they stay in this folder.
    const char* orphansBelongTo = nullptr;
};

class FatSharedImages : public ::testing::TestWithParam<SharedImage> {};

TEST_P(FatSharedImages, DeletedListingAgreesWithTheGroundTruth) {
    const SharedImage& c = GetParam();
    const std::string dir = testutil::SharedTestData();
    QUARLIX_REQUIRE(!dir.empty() && testutil::HaveTool("fls"), "shared test data or Sleuth Kit not present");
    std::string image = dir + "/" + c.file;
    QUARLIX_REQUIRE(std::filesystem::exists(image), image << " not present");
    testutil::TempDir tmp;
    if (c.gzipped) {
        std::string out = tmp.file("image.raw");
        testutil::MustRun("gunzip -c " + testutil::Quote(image) + " > " + testutil::Quote(out));
        image = out;
    }
    std::ifstream truthFile(dir + "/" + c.file + ".fls.txt");
    std::stringstream truthText;
    truthText << truthFile.rdbuf();
    // fls's orphans are the entries of our lost folders (WalkDeleted lists
    // them under $OrphanFiles too), unless they belong to a folder we read on.
    auto truth = ParseFls(truthText.str(), false, c.orphansBelongTo == nullptr);

    auto volume = OpenImage(image);
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volume->BuildIndex(nullptr));
    auto mine = WalkDeleted(*volume);
    Multiset ours = EngineSet(mine, false);
    Multiset theirs = FlsSet(truth, false);

    auto flsOnly = Minus(theirs, ours);
    auto oursOnly = Minus(ours, theirs);
    std::vector<std::string> expectFlsOnly, expectOursOnly;
    for (auto& s : c.flsOnly) expectFlsOnly.push_back(s + " (0)");
    for (auto& s : c.oursOnly) expectOursOnly.push_back(s + " (0)");
    if (c.orphansBelongTo) {
        for (auto& l : ParseFls(truthText.str(), false, true))
            if (l.path.rfind("$OrphanFiles/", 0) == 0)
                expectOursOnly.push_back(std::string(c.orphansBelongTo) + "/" + l.path.substr(13) + " (0)");
        EXPECT_GT(expectOursOnly.size(), 400u);
    }
    std::sort(flsOnly.begin(), flsOnly.end());
    std::sort(oursOnly.begin(), oursOnly.end());
    std::sort(expectFlsOnly.begin(), expectFlsOnly.end());
    std::sort(expectOursOnly.begin(), expectOursOnly.end());
    EXPECT_EQ(flsOnly, expectFlsOnly) << "fls lists, we do not:\n" << Join(flsOnly);
    EXPECT_EQ(oursOnly, expectOursOnly) << "we list, fls does not:\n" << Join(oursOnly);

    // Sizes of the files both list, against a live fls -l run.
    Multiset sized = FlsSet(FlsDeleted(image), true);
    Multiset oursSized = EngineSet(mine, true);
    size_t compared = 0;
    for (auto& [path, size] : oursSized) {
        auto range = sized.equal_range(path);
        if (range.first == range.second) continue;
        bool same = std::any_of(range.first, range.second, [&](auto& p) { return p.second == size; });
        EXPECT_TRUE(same) << path << " size " << size;
        ++compared;
    }
    // Sizes were compared exactly when the image has deleted items at all (dftt-5 has none).
    EXPECT_EQ(compared > 0, !theirs.empty()) << compared << " compared";
}

std::string Name(const ::testing::TestParamInfo<SharedImage>& info) {
    std::string n = info.param.file;
    for (auto& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(
    Public, FatSharedImages,
    ::testing::Values(
        // _P1's first cluster now holds dir2 (its "." is dir2's and its ".."
        // names _ir1), so _P1 shows nothing; fls shows dir2's frag3.dat under
        // both folders (the same entry, address 965).
        SharedImage {"dftt-6-fat-undel.dd",
                     false,
                     {"System Volume Information/_restore{A25F48CA-6632-4143-8EF8-3586A84AB5AF}/_P1/frag3.dat"},
                     {}},
        SharedImage {"dftt-9-fat-label.dd", false, {}, {}},
        SharedImage {"dftt-5-fat12-daylight.dd", false, {}, {}},
        SharedImage {"dfirntfs-fat16_moved.raw", false, {}, {}},
        // The second deleted folder "_" (cluster 4) holds 2.txt and 22.txt:
        // fls's full listing (.fls-all.txt) shows them there, its deleted-only
        // listing does not descend into that folder.
        SharedImage {"dfirntfs-fat_deleted_dir_2.raw", false, {}, {"_/2.txt", "_/22.txt"}},
        SharedImage {"dfirntfs-fat_deleted_dir.raw.gz", true, {}, {}, "test"}),
    Name);

}  // namespace
