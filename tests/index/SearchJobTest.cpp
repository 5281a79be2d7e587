// The search job: matches collected on its worker with their counters, a
// stop that keeps the matches found so far, and the containing-folder lists
// of hits in deleted folders, in lost folders and of unknown items.
#include <gtest/gtest.h>

#include "IndexTestSupport.h"
#include "common/TestUtil.h"
#include "engine/search/SearchJob.h"
#include "fat/FatTestSupport.h"

namespace {

std::unique_ptr<CVolume> Indexed(const indextest::Drive& drive) {
    auto v = drive.Open();
    if (v && !v->BuildIndex(nullptr)) v.reset();
    return v;
}

// The matches a job delivered, all of them since the last Clear.
class Matches : public CJobEventQueue<FileItemInfo> {
public:
    const std::vector<FileItemInfo>& All() {
        for (auto& m : Take()) m_all.push_back(std::move(m));
        return m_all;
    }
    void Clear() { m_all.clear(); }

private:
    std::vector<FileItemInfo> m_all;
};

void RunToEnd(CSearchJob& job, Matches& matches) {
    matches.Clear();
    job.Start();
    job.Wait();
    EXPECT_FALSE(job.IsRunning());
}

// The FAT16 fixture of the FAT tests, indexed.
class FatSearchJob : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string image = fattest::FixtureImage("fat16");
        QUARLIX_REQUIRE(!image.empty(), "FAT fixture tools absent");
        drive = std::make_unique<indextest::Drive>(image);
        v = Indexed(*drive);
        ASSERT_NE(v, nullptr);
    }
    std::unique_ptr<indextest::Drive> drive;
    std::unique_ptr<CVolume> v;
};

TEST_F(FatSearchJob, CollectsEveryMatchWithItsCounters) {
    Matches m;
    CSearchJob job(*v, &m);
    RunToEnd(job, m);
    EXPECT_TRUE(job.Outcome().completed());
    const auto results = m.All();
    uint32_t folders = 0, files = 0;
    std::u16string root;
    root += v->DriveLetter();
    root += u":\\";
    ASSERT_TRUE(v->CountDeletedFilesByPath(root, folders, files));
    EXPECT_EQ(results.size(), folders + files) << "with no criteria every deleted item matches";
    const SearchCounters k = job.Counters();
    EXPECT_EQ(k.folders, folders);
    EXPECT_EQ(k.intact + k.partial + k.overwritten, files);
    EXPECT_GE(k.partial + k.overwritten, 1u) << "the fixture holds a file whose clusters were taken again";
    EXPECT_EQ(k.total, folders + files);
    EXPECT_EQ(job.Progress().delivered, results.size());
    EXPECT_EQ(m.Take().size(), 0u) << "each match is delivered once";

    // A second search with a name clears the first one's results.
    job.Criteria().useName = 1;
    job.Criteria().name = u"no such name anywhere";
    RunToEnd(job, m);
    EXPECT_TRUE(m.All().empty());
    EXPECT_EQ(job.Counters().folders, 0u);
}

// Stops the search from inside the second match, as the Stop button would.
class StopAfterTwo : public CSearchJob {
public:
    using CSearchJob::CSearchJob;
    WalkResult OnFileFound(const FileItemInfo& info) override {
        const WalkResult go = CSearchJob::OnFileFound(info);
        if (++m_found == 2) RequestStop();
        return go;
    }
    WalkResult OnSearchProgress(uint32_t index, uint32_t total) override {
        tested = index + 1;
        return CSearchJob::OnSearchProgress(index, total);
    }
    uint32_t tested = 0;

private:
    int m_found = 0;
};

TEST_F(FatSearchJob, StopEndsTheSearchAfterTheCurrentItemAndKeepsTheMatches) {
    Matches m;
    StopAfterTwo job(*v, &m);
    RunToEnd(job, m);
    EXPECT_EQ(m.All().size(), 2u);
    EXPECT_TRUE(job.Outcome().stopped());
    const SearchCounters k = job.Counters();
    EXPECT_LT(job.tested, k.total) << "the walk went on after the stop";
    EXPECT_EQ(job.OnFileFound(FileItemInfo {}), WalkResult::Stop) << "a stopped search refuses further matches";
    EXPECT_EQ(m.All().size(), 2u);
}

TEST_F(FatSearchJob, ContainingFolderListsOfFatHits) {
    Matches m;
    CSearchJob job(*v, &m);
    RunToEnd(job, m);
    int nested = 0;
    for (const auto& hit : m.All()) {
        std::string list;
        ASSERT_TRUE(ContainingFolderList(*v, hit.id, list));
        // The chain of deleted folders from the hit up, then the existing folder.
        std::string expected;
        uint32_t cur = hit.id;
        for (int depth = 0; depth < 300; ++depth) {
            int32_t parent = 0;
            ASSERT_TRUE(v->GetParentFolder(cur, parent));
            expected += std::to_string(static_cast<uint32_t>(parent)) + ";";
            if (parent == 0) break;
            std::u16string name;
            uint32_t attributes = 0;
            ASSERT_TRUE(v->GetIndexEntry(static_cast<uint32_t>(parent), name, attributes));
            EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
            cur = static_cast<uint32_t>(parent);
        }
        EXPECT_EQ(list, expected);
        if (list != "0;") ++nested;
    }
    EXPECT_GT(nested, 0) << "the fixture holds items inside deleted folders";

    testutil::TempDir dir;
    indextest::LogCapture capture(dir.file("log.txt"));
    std::string list = "x";
    EXPECT_FALSE(ContainingFolderList(*v, 0x7FFFFFF0u, list));
    EXPECT_EQ(list, "");
    EXPECT_NE(capture.Text().find("Error determining containing folder for file #2147483632\n"), std::string::npos);
}

TEST(SearchJob, ContainingFolderListOfAHitUnderALostFolderEndsWithMinusOne) {
    const std::string image = indextest::NtfsFixtureImage();
    QUARLIX_REQUIRE(!image.empty(), "NTFS fixture tools absent");
    indextest::Drive drive(image);
    auto v = Indexed(drive);
    ASSERT_NE(v, nullptr);
    Matches m;
    CSearchJob job(*v, &m);
    job.Criteria().useName = 1;
    job.Criteria().name = u"orphan.txt";
    RunToEnd(job, m);
    const auto results = m.All();
    ASSERT_EQ(results.size(), 1u);
    int32_t parent = 0;
    ASSERT_TRUE(v->GetParentFolder(results[0].id, parent));
    ASSERT_TRUE(v->IsLostFolder(static_cast<uint32_t>(parent)));
    std::string list;
    ASSERT_TRUE(ContainingFolderList(*v, results[0].id, list));
    EXPECT_EQ(list, std::to_string(parent) + ";-1;");

    // A hit in a deleted folder inside a deleted folder: both ids, then the root.
    CSearchJob nested(*v, &m);
    nested.Criteria().useName = 1;
    nested.Criteria().nameMode = 0;
    nested.Criteria().name = u"C.TXT";
    RunToEnd(nested, m);
    ASSERT_EQ(m.All().size(), 1u);
    ASSERT_TRUE(ContainingFolderList(*v, m.All()[0].id, list));
    int32_t inner = 0, outer = 0;
    ASSERT_TRUE(v->GetParentFolder(m.All()[0].id, inner));
    ASSERT_TRUE(v->GetParentFolder(static_cast<uint32_t>(inner), outer));
    EXPECT_NE(inner, 0);
    EXPECT_NE(outer, 0);
    EXPECT_EQ(list, std::to_string(inner) + ";" + std::to_string(outer) + ";0;");
}

}  // namespace
