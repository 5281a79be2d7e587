// The index restored from the cache file answers every index operation
// exactly as the index it was saved from: for every fixture image of both
// file systems, the FAT and NTFS fixtures, the samples and the public images.
// Where an image has them, the name and record states of a live item, a
// deleted file, a name from index slack, a lost folder and an item under it
// are checked, built and restored: the cache keeps no states, they are
// derived from what it keeps.
// A FAT restore reads of the volume only what it must read afresh: the
// fingerprint and the recycle bin.
#include <gtest/gtest.h>

#include "IndexTestSupport.h"
#include "common/TestUtil.h"
#include "engine/volume/IndexCache.h"
#include "fat/FatTestSupport.h"

namespace {

// A transcript line picked by a piece of it, and the states it must end
// with ("ns=NAME|rs=RECORD|orphan=0/1").
struct States {
    std::string line;
    std::string states;
};

struct Source {
    std::string name;
    std::function<std::string()> image;  // "" = not available here (skip)
    uint64_t offset = 0;
    bool recycleBin = false;             // the image has recycled items that must show
    bool lostFolders = false;
    std::vector<States> states = {};
};

// The states of the first line that holds `line`.
std::string StatesOf(const std::vector<std::string>& transcript, const std::string& line) {
    for (const auto& l : transcript) {
        if (l.find(line) == std::string::npos) continue;
        const size_t from = l.find("|ns="), to = l.find("|orphan=");
        return from == std::string::npos || to == std::string::npos ? l : l.substr(from + 1, to + 9 - from - 1);
    }
    return "no line holds " + line;
}

std::string Shared(const std::string& file) {
    const std::string dir = testutil::SharedTestData();
    return dir.empty() ? std::string() : dir + "/" + file;
}

std::vector<Source> Sources() {
    return {
        {"fat12", [] { return fattest::FixtureImage("fat12"); }, 0, false, false,
         {{":\\ live DOCS|", "ns=live|rs=in_use|orphan=0"},
          {":\\DOCS\\ item ?one.doc|", "ns=deleted|rs=free|orphan=0"}}},
        {"fat16", [] { return fattest::FixtureImage("fat16"); }},
        {"fat32", [] { return fattest::FixtureImage("fat32"); }},
        {"fat_recycle_bin", [] { return indextest::FatRecycleBinImage(); }, 0, true},
        {"ntfs_fixture", [] { return indextest::NtfsFixtureImage(); }, 0, true, true,
         {{":\\Docs\\ live keep.txt|", "ns=live|rs=in_use|orphan=0"},
          {":\\Docs\\ item a.txt|", "ns=deleted|rs=free|orphan=0"},
          // /Lost's record holds /reuse.txt now.
          {"virtual-1 item |", "ns=none|rs=reused|orphan=1"},
          {" item orphan.txt|", "ns=deleted|rs=free|orphan=1"}}},
        {"fat_sample", [] { return indextest::GunzipOnce(testutil::SourceDir() + "/samples/fat-sample.img.gz", "fat-sample.img"); }},
        {"ntfs_sample", [] { return indextest::GunzipOnce(testutil::SourceDir() + "/samples/ntfs-sample.img.gz", "ntfs-sample.img"); }, 0, false, true},
        {"dftt5_fat12", [] { return Shared("dftt-5-fat12-daylight.dd"); }},
        {"dftt6_fat16", [] { return Shared("dftt-6-fat-undel.dd"); }},
        {"dftt7_ntfs", [] { return Shared("dftt-7-ntfs-undel.dd"); }, 0, false, true},
        {"dftt8_ntfs", [] { return Shared("dftt-8-jpeg-search.dd"); }},
        {"dftt9_fat16", [] { return Shared("dftt-9-fat-label.dd"); }},
        {"dfir_ntfs_index", [] { return Shared("dfirntfs-ntfs_index.raw"); }, 65536, false, false,
         {{" item BBBBBBBBBBBBB-del.txt|", "ns=index_slack|rs=none|orphan=0"}}},
        {"dfir_fat16_moved", [] { return Shared("dfirntfs-fat16_moved.raw"); }},
        {"dfir_fat_deleted_dir_2", [] { return Shared("dfirntfs-fat_deleted_dir_2.raw"); }, 0, false, true,
         {{"virtual-1 item |", "ns=none|rs=none|orphan=1"},  // clusters without an entry
          {"virtual-1/#393216 item ", "ns=deleted|rs=free|orphan=1"}}},
        {"dfir_fat32_deleted_dir", [] {
             const std::string gz = Shared("dfirntfs-fat_deleted_dir.raw.gz");
             return gz.empty() ? gz : indextest::GunzipOnce(gz, "fat_deleted_dir.raw");
         }},
    };
}

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

class CacheRoundTrip : public ::testing::TestWithParam<Source> {};

TEST_P(CacheRoundTrip, RestoredIndexAnswersLikeTheBuiltOne) {
    const Source& s = GetParam();
    const std::string image = s.image();
    QUARLIX_REQUIRE(!image.empty() && std::filesystem::exists(image), s.name << ": image or tools absent");
    indextest::UsePrivateCacheFolder();
    indextest::Drive drive(image, s.offset);
    ASSERT_NE(drive.Letter(), 0);

    auto built = drive.Open();
    ASSERT_NE(built, nullptr) << s.name;
    IndexProgress bp;
    ASSERT_TRUE(built->BuildIndex(&bp));
    ASSERT_TRUE(built->DumpIndexToCache(&bp));
    EXPECT_EQ(bp.phase, 2);
    EXPECT_EQ(bp.done, bp.total);
    const auto bytes = testutil::ReadFileBytes(CacheFilePath(*built));
    ASSERT_GE(bytes.size(), kCacheHeaderSize);
    EXPECT_EQ(bytes[4], 0) << "a finished save marks its file complete";

    auto restored = drive.Open();
    ASSERT_NE(restored, nullptr);
    IndexProgress rp;
    const uint64_t before = restored->SourceBytesRead();
    ASSERT_TRUE(restored->RestoreIndexFromCache(&rp)) << s.name;
    const uint64_t restoreBytes = restored->SourceBytesRead() - before;
    if (restored->GetPartitionType() != kPartitionNtfs) {
        auto bare = drive.Open();
        ASSERT_NE(bare, nullptr);
        const uint64_t start = bare->SourceBytesRead();
        ASSERT_TRUE(bare->RefreshCacheFingerprint());
        bare->ReloadRecycleBin();
        EXPECT_EQ(restoreBytes, bare->SourceBytesRead() - start)
            << "the restore reads more of the volume than the fingerprint and the recycle bin";
    }
    EXPECT_EQ(rp.phase, 3);
    EXPECT_EQ(rp.done, rp.total);
    EXPECT_EQ(rp.total, bp.total);

    const auto a = indextest::Transcript(*built);
    const auto b = indextest::Transcript(*restored);
    ASSERT_FALSE(a.empty()) << s.name;
    EXPECT_EQ(indextest::FirstDifference(a, b), "") << s.name;
    for (const States& x : s.states) {
        EXPECT_EQ(StatesOf(a, x.line), x.states) << s.name << " built: " << x.line;
        EXPECT_EQ(StatesOf(b, x.line), x.states) << s.name << " restored: " << x.line;
    }
    if (s.recycleBin) {
        EXPECT_TRUE(restored->HasRecycledFiles(false)) << "the fixture must exercise the recycle bin";
    }
    if (s.lostFolders) {
        EXPECT_TRUE(restored->HasLostFolders()) << "the fixture must exercise the lost folders";
    }

    // A second save of the restored index writes the same file, byte for
    // byte except the time it was saved at.
    std::error_code ec;
    std::filesystem::remove(CacheFilePath(*built), ec);
    ASSERT_TRUE(restored->DumpIndexToCache(nullptr));
    auto again = testutil::ReadFileBytes(CacheFilePath(*restored));
    ASSERT_EQ(again.size(), bytes.size());
    std::copy(bytes.begin() + 16, bytes.begin() + 24, again.begin() + 16);
    EXPECT_TRUE(again == bytes);
}

INSTANTIATE_TEST_SUITE_P(Images, CacheRoundTrip, ::testing::ValuesIn(Sources()),
                         [](const ::testing::TestParamInfo<Source>& info) { return info.param.name; });

}  // namespace
