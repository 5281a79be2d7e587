// The writer of recovered files on cluster runs: events, conflicts, write
// failures, stops and unreadable clusters, on a real FAT16 image whose data
// area is filled with a known pattern. (Retried writes and the stop of a
// file's copy are shown for both file systems in RecoverFaultTest.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "common/PatternFatImage.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/recovery/OutputFile.h"
#include "recovery/RecordingCallback.h"

using recoverytest::RecordingCallback;

namespace {

class ClusterRunTest : public testutil::PatternFatImage {
protected:
    void SetUp() override { ASSERT_TRUE(vol.Initialize(image)); }
    std::vector<std::string> EventsWithoutProgress(const RecordingCallback& cb) {
        std::vector<std::string> e;
        std::copy_if(cb.events.begin(), cb.events.end(), std::back_inserter(e), [](const auto& s) { return s != "Progress"; });
        return e;
    }
    CFatVolume vol;
    testutil::TempDir out;
};

TEST_F(ClusterRunTest, CopiesTheRangeWithTheFullEventSequence) {
    const uint64_t clusters = (std::filesystem::file_size(image) - dataStart) / 2048, last = 2 + clusters - 1;
    const struct {
        const char* name;
        uint64_t first, length, written;
        bool complete;
    } cases[] = {
        {"range", 100, 5000, 5000, true},
        {"empty", 5, 0, 0, true},
        // Past the last cluster nothing can be read: the copy ends there, incomplete.
        {"past-the-end", last, 10000, 2048, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingCallback cb;
        const std::string dest = out.file(c.name);
        EXPECT_EQ(RecoverClustersItem(vol, c.first, c.length, dest, &cb, nullptr), RecoverResult::Ok);
        const auto data = testutil::ReadFileBytes(dest);
        ASSERT_EQ(data.size(), c.written);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin() + (c.first - 2) * 2048));
        EXPECT_EQ(EventsWithoutProgress(cb),
                  (std::vector<std::string> {"ItemBegin", "ItemSize", "FileBegin", "FileEnd", "ItemEnd"}));
        EXPECT_EQ(cb.itemBegins, (std::vector<std::pair<uint64_t, bool>> {{c.first, true}}));
        EXPECT_EQ(cb.itemSize, c.length);
        EXPECT_EQ(cb.fileBeginSizes, std::vector<uint64_t> {c.length});
        ASSERT_EQ(cb.fileEnds.size(), 1u);
        EXPECT_EQ(cb.fileEnds[0].second, c.complete);
        if (c.written) {
            EXPECT_EQ(cb.progress.back().second, c.written);
        }
    }
}

TEST_F(ClusterRunTest, ExistingDestinationIsReplacedOnlyWithConsent) {
    std::string dest = out.file("x.bin");
    testutil::WriteFileBytes(dest, std::vector<uint8_t>(9000, 0xEE));

    // Without a callback an existing file is never touched.
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, nullptr, nullptr), RecoverResult::Failed);
    EXPECT_EQ(std::filesystem::file_size(dest), 9000u);

    // A skip answer leaves it as it was.
    RecordingCallback skip;
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, &skip, nullptr), RecoverResult::Skip);
    EXPECT_EQ(std::filesystem::file_size(dest), 9000u);
    EXPECT_EQ(skip.createFailures, (std::vector<std::pair<std::string, int>> {{dest, EEXIST}}));

    // With overwrite chosen the file is truncated and rewritten.
    RecordingCallback yes;
    yes.onCreateFailed = [](std::string&, bool, int, bool& overwrite) {
        overwrite = true;
        return RecoverResult::Ok;
    };
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, &yes, nullptr), RecoverResult::Ok);
    auto data = testutil::ReadFileBytes(dest);
    ASSERT_EQ(data.size(), 100u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin()));
}

TEST_F(ClusterRunTest, FailuresStopsAndRefusalsEndTheItem) {
    // A stop answer to a failed write ends the item with that answer; the
    // file it could not write whole is removed.
    COutputFile::WriteFaultHook() = [](const std::string&, size_t) { return ENOSPC; };
    RecordingCallback no;
    no.onWriteFailed = [](const std::string&, int) { return RecoverResult::Stopped; };
    const RecoverResult full = RecoverClusters(vol, 2, 3000, out.file("full.bin"), &no, nullptr);
    COutputFile::WriteFaultHook() = nullptr;
    EXPECT_EQ(full, RecoverResult::Stopped);
    EXPECT_FALSE(std::filesystem::exists(out.file("full.bin")));

    // The stop flag keeps what was copied as NAME.partial.
    StopFlag stop {0};
    RecordingCallback cb;
    cb.onProgress = [&](uint32_t, uint64_t) {
        stop.store(1);
        return WalkResult::Continue;
    };
    EXPECT_EQ(RecoverClusters(vol, 2, 100000, out.file("stopped.bin"), &cb, &stop), RecoverResult::Stopped);
    EXPECT_EQ(std::filesystem::file_size(out.file("stopped.bin.partial")), vol.ClusterSize()) << "the one cluster copied";
    EXPECT_FALSE(std::filesystem::exists(out.file("stopped.bin")));

    // A negative answer to the item's begin skips it without an end.
    RecordingCallback skip;
    skip.itemBeginAnswer = RecoverResult::Skip;
    EXPECT_EQ(RecoverClustersItem(vol, 2, 100, out.file("never"), &skip, nullptr), RecoverResult::Skip);
    EXPECT_EQ(skip.events, std::vector<std::string> {"ItemBegin"});
    EXPECT_FALSE(std::filesystem::exists(out.file("never")));
}

}  // namespace
