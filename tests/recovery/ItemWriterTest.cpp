// The writer of recovered files on cluster runs: events, conflicts, write
// failures, stops and unreadable clusters, on a real FAT16 image whose data
// area is filled with a known pattern.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/PatternFatImage.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/recovery/OutputFile.h"

using testutil::TempDir;

namespace {

// Records every event and answers from a script.
class RecordingCallback : public IRecoverEventCallback {
public:
    std::vector<std::string> events;
    RecoverResult itemBeginAnswer = RecoverResult::Ok;
    bool overwriteOnConflict = false;
    RecoverResult createFailedAnswer = RecoverResult::Ok;
    int writeFailedAnswers = 0;  // how many OnWriteFailed get 0 before RecoverResult::Stopped
    StopFlag* raiseStopOnProgress = nullptr;
    uint64_t bytesReported = 0;
    bool lastComplete = false;

    RecoverResult OnItemBegin(uint64_t id, std::string&, bool /*isFolder*/, bool isCarved) override {
        events.push_back("ItemBegin " + std::to_string(id) + (isCarved ? " carved" : ""));
        return itemBeginAnswer;
    }
    RecoverResult OnItemSize(uint64_t /*id*/, bool, bool /*isCarved*/, uint64_t size) override {
        events.push_back("ItemSize " + std::to_string(size));
        return RecoverResult::Ok;
    }
    RecoverResult OnItemEnd(uint64_t, const std::string&, bool, bool, RecoverResult result) override {
        events.push_back("ItemEnd " + std::to_string(static_cast<int>(result)));
        return result;
    }
    RecoverResult OnCreateFailed(std::string&, bool, int errorCode, bool& overwrite) override {
        events.push_back("CreateFailed " + std::to_string(errorCode));
        overwrite = overwriteOnConflict;
        return createFailedAnswer;
    }
    RecoverResult OnFileBegin(const std::string&, uint64_t size) override {
        events.push_back("FileBegin " + std::to_string(size));
        return RecoverResult::Ok;
    }
    WalkResult OnProgress(uint32_t /*chunk*/, uint64_t soFar) override {
        bytesReported = soFar;
        if (raiseStopOnProgress) raiseStopOnProgress->store(1);
        return WalkResult::Continue;
    }
    RecoverResult OnWriteFailed(const std::string&, int errorCode) override {
        events.push_back("WriteFailed " + std::to_string(errorCode));
        return writeFailedAnswers-- > 0 ? RecoverResult::Ok : RecoverResult::Stopped;
    }
    RecoverResult OnFileEnd(const std::string&, bool complete) override {
        lastComplete = complete;
        events.push_back(std::string("FileEnd ") + (complete ? "complete" : "incomplete"));
        return RecoverResult::Ok;
    }
    RecoverResult OnProblem(ItemProblem code) override {
        events.push_back("Event " + std::to_string(static_cast<int>(code)));
        return RecoverResult::Ok;
    }
};

using ClusterRunTest = testutil::PatternFatImage;

TEST_F(ClusterRunTest, RecoverClustersCopiesTheRangeWithTheFullEventSequence) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    RecordingCallback cb;
    std::string dest = out.file("carved.bin");
    RecoverResult hr = RecoverClustersItem(vol, 100, 5000, dest, &cb, nullptr);
    EXPECT_EQ(hr, RecoverResult::Ok);
    auto data = testutil::ReadFileBytes(dest);
    ASSERT_EQ(data.size(), 5000u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin() + (100 - 2) * 2048));
    EXPECT_EQ(cb.bytesReported, 5000u);
    std::vector<std::string> expected {"ItemBegin 100 carved", "ItemSize 5000", "FileBegin 5000", "FileEnd complete",
                                       "ItemEnd 0"};
    EXPECT_EQ(cb.events, expected);
}

TEST_F(ClusterRunTest, RecoverClustersOfLengthZeroMakesAnEmptyCompleteFile) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    RecordingCallback cb;
    EXPECT_EQ(RecoverClusters(vol, 5, 0, out.file("empty"), &cb, nullptr), RecoverResult::Ok);
    EXPECT_EQ(std::filesystem::file_size(out.file("empty")), 0u);
    EXPECT_TRUE(cb.lastComplete);
}

TEST_F(ClusterRunTest, ExistingDestinationIsReplacedOnlyWithConsent) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    std::string dest = out.file("x.bin");
    testutil::WriteFileBytes(dest, std::vector<uint8_t>(9000, 0xEE));

    // Without a callback an existing file is never touched.
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, nullptr, nullptr), RecoverResult::Failed);
    EXPECT_EQ(std::filesystem::file_size(dest), 9000u);

    // A skip answer leaves it as it was.
    RecordingCallback skip;
    skip.createFailedAnswer = RecoverResult::Skip;
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, &skip, nullptr), RecoverResult::Skip);
    EXPECT_EQ(std::filesystem::file_size(dest), 9000u);
    EXPECT_EQ(skip.events.back(), "CreateFailed " + std::to_string(EEXIST));

    // With overwrite chosen the file is truncated and rewritten.
    RecordingCallback yes;
    yes.overwriteOnConflict = true;
    EXPECT_EQ(RecoverClusters(vol, 2, 100, dest, &yes, nullptr), RecoverResult::Ok);
    auto data = testutil::ReadFileBytes(dest);
    ASSERT_EQ(data.size(), 100u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin()));
}

TEST_F(ClusterRunTest, WriteFailuresAreRetriedWhileTheCallbackSaysSo) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    int failures = 3;
    COutputFile::WriteFaultHook() = [&](const std::string&, size_t) { return failures-- > 0 ? ENOSPC : 0; };
    RecordingCallback cb;
    cb.writeFailedAnswers = 3;
    RecoverResult hr = RecoverClusters(vol, 2, 3000, out.file("retry.bin"), &cb, nullptr);
    COutputFile::WriteFaultHook() = nullptr;
    EXPECT_EQ(hr, RecoverResult::Ok);
    EXPECT_EQ(std::count(cb.events.begin(), cb.events.end(), "WriteFailed " + std::to_string(ENOSPC)), 3);
    auto data = testutil::ReadFileBytes(out.file("retry.bin"));
    ASSERT_EQ(data.size(), 3000u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin()));

    // A negative answer ends the item with that answer; the file it could
    // not write whole is removed.
    COutputFile::WriteFaultHook() = [](const std::string&, size_t) { return ENOSPC; };
    RecordingCallback no;
    no.writeFailedAnswers = 0;
    hr = RecoverClusters(vol, 2, 3000, out.file("full.bin"), &no, nullptr);
    COutputFile::WriteFaultHook() = nullptr;
    EXPECT_EQ(hr, RecoverResult::Stopped);
    EXPECT_FALSE(std::filesystem::exists(out.file("full.bin")));
}

TEST_F(ClusterRunTest, StopFlagAbortsAndKeepsThePartialFile) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    StopFlag stop {0};
    RecordingCallback cb;
    cb.raiseStopOnProgress = &stop;
    EXPECT_EQ(RecoverClusters(vol, 2, 100000, out.file("stopped.bin"), &cb, &stop), RecoverResult::Stopped);
    EXPECT_EQ(std::filesystem::file_size(out.file("stopped.bin.partial")), vol.ClusterSize()) << "the one cluster copied";
    EXPECT_FALSE(std::filesystem::exists(out.file("stopped.bin")));
}

TEST_F(ClusterRunTest, UnreadableClustersEndTheCopyAsIncomplete) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    uint64_t clusters = (std::filesystem::file_size(image) - dataStart) / 2048;
    RecordingCallback cb;
    uint64_t last = 2 + clusters - 1;
    EXPECT_EQ(RecoverClusters(vol, last, 10000, out.file("tail.bin"), &cb, nullptr), RecoverResult::Ok);
    EXPECT_FALSE(cb.lastComplete);
    EXPECT_EQ(std::filesystem::file_size(out.file("tail.bin")), 2048u);
}

TEST_F(ClusterRunTest, NegativeItemBeginSkipsWithoutItemEnd) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    TempDir out;
    RecordingCallback cb;
    cb.itemBeginAnswer = RecoverResult::Skip;
    EXPECT_EQ(RecoverClustersItem(vol, 2, 100, out.file("never"), &cb, nullptr), RecoverResult::Skip);
    EXPECT_EQ(cb.events, std::vector<std::string> {"ItemBegin 2 carved"});
    EXPECT_FALSE(std::filesystem::exists(out.file("never")));
}

}  // namespace
