// The FAT search walk: test order, progress, stop, and the name tests
// applied to the deleted entries of a mtools-made FAT16 image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "FatTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatDirectory.h"
#include "engine/volume/SearchCriteria.h"

using namespace fattest;

namespace {

class Collector : public ISearchCallback {
public:
    WalkResult OnSearchProgress(uint32_t index, uint32_t total) override {
        progress.push_back({index, total});
        return stopProgressAt >= 0 && static_cast<int>(progress.size()) > stopProgressAt ? WalkResult::Stop
                                                                                          : WalkResult::Continue;
    }
    WalkResult OnFileFound(const FileItemInfo& info) override {
        found.push_back(info);
        return stopFoundAfter > 0 && static_cast<int>(found.size()) >= stopFoundAfter ? WalkResult::Stop
                                                                                      : WalkResult::Continue;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> n;
        for (auto& f : found) n.push_back(Utf8(f.name));
        return n;
    }
    std::vector<std::pair<uint32_t, uint32_t>> progress;
    std::vector<FileItemInfo> found;
    int stopProgressAt = -1;
    int stopFoundAfter = 0;
};

class FatSearchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void SetUp() override {
        const std::string& image = FixtureImage("fat16");
        QUARLIX_REQUIRE(!image.empty(), "mkfs.fat / mtools not installed");
        volume = OpenImage(image);
        ASSERT_TRUE(volume);
        ASSERT_TRUE(volume->BuildIndex(nullptr));
        criteria.callback = &cb;
    }
    std::vector<std::string> Search() {
        volume->SearchFiles(&criteria);
        return cb.Names();
    }
    std::unique_ptr<CFatVolume> volume;
    SearchCriteria criteria;
    Collector cb;
};

TEST_F(FatSearchTest, WithoutTestsEveryItemIsVisitedOnceInWalkOrder) {
    auto names = Search();
    ASSERT_EQ(names.size(), 19u);
    ASSERT_EQ(cb.progress.size(), 19u);
    for (uint32_t i = 0; i < cb.progress.size(); ++i) {
        EXPECT_EQ(cb.progress[i].first, i);
        EXPECT_EQ(cb.progress[i].second, 19u);
    }
    // The root's deleted files in directory order, then its deleted folders'
    // own records, then the existing folders, then the deleted folders' content.
    std::vector<std::string> head(names.begin(), names.begin() + 7);
    EXPECT_EQ(head, (std::vector<std::string> {"?ETTER.TXT", "A long file name.txt", "Ünïcødé файл.txt", "?ERO.TXT",
                                               "?MPTY.DAT", "?ARTLY.BIN", "?OPDEL"}));
    EXPECT_EQ(names.back(), "Second file.bin");
    EXPECT_FALSE(criteria.Stopped());
}

TEST_F(FatSearchTest, NameModes) {
    criteria.useName = 1;
    criteria.nameMode = 1;
    criteria.name = u"LONG";
    EXPECT_EQ(Search(), std::vector<std::string> {"A long file name.txt"});
    cb.found.clear();
    criteria.name = u"entry number ?8";
    EXPECT_EQ(Search(), std::vector<std::string> {"Entry number 88 of the big folder.txt"});
    cb.found.clear();
    criteria.nameMode = 0;
    criteria.name = u"a LONG file name.TXT";
    EXPECT_EQ(Search(), std::vector<std::string> {"A long file name.txt"});
    cb.found.clear();
    criteria.name = u"a long file name";
    EXPECT_TRUE(Search().empty());
    // Every item was still offered to the progress callback.
    EXPECT_EQ(cb.progress.size(), 4u * 19);
}

// Size and date bounds are checked on FAT images end to end, against the
// listing filtered by the same bounds (cli/SearchTest).

TEST_F(FatSearchTest, CallbackAnswersAndTheStopFlagEndTheWalk) {
    cb.stopFoundAfter = 2;
    Search();
    EXPECT_EQ(cb.found.size(), 2u);
    EXPECT_EQ(cb.progress.size(), 2u);
    EXPECT_TRUE(criteria.Stopped());

    Collector c2;
    SearchCriteria k;
    k.callback = &c2;
    c2.stopProgressAt = 3;
    volume->SearchFiles(&k);
    EXPECT_EQ(c2.progress.size(), 4u);
    EXPECT_EQ(c2.found.size(), 3u);
    EXPECT_TRUE(k.Stopped());

    // (The Stop button, a stop asked for while an item is reported, is
    // index/SearchJobTest's.)
    // Already stopped: nothing is visited.
    Collector c4;
    SearchCriteria t;
    t.callback = &c4;
    const StopFlag stopped {1};
    t.stop = &stopped;
    volume->SearchFiles(&t);
    EXPECT_TRUE(c4.progress.empty());
}

}  // namespace
