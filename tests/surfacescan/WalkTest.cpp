// The cluster walk: candidates, the skip after a hit, the scan-all switch,
// progress and the ways a walk ends; on built raw sources and on FAT32 images
// made by mkfs.fat and mtools.
#include <gtest/gtest.h>

#include "SampleImages.h"
#include "ScanTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatClusterCursor.h"

using namespace scantest;

namespace {

// Clusters 0 .. free.size() - 1 with a given allocation map (test input).
class MapCursor : public IClusterCursor {
public:
    explicit MapCursor(std::vector<bool> freeMap) : m_free(std::move(freeMap)) {}
    bool Rewind() override {
        m_next = 0;
        return true;
    }
    bool Next(uint64_t& cluster, bool& isFree) override {
        if (m_next >= m_free.size()) return false;
        cluster = m_next;
        isFree = m_free[m_next++];
        return true;
    }
    uint64_t Total() const override { return m_free.size(); }

private:
    std::vector<bool> m_free;
    size_t m_next = 0;
};

Bytes TinyPng() {
    Bytes b = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Be32(b, 13);
    Text(b, "IHDR");
    Fill(b, 17, 1);
    Be32(b, 0);
    Text(b, "IEND");
    Be32(b, 0xAE426082);
    return b;
}

// A JPEG of exactly `size` bytes: SOI, APP0, SOS, entropy bytes, EOI.
Bytes JpegOfSize(size_t size) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
    Text(b, "JFIF");
    Fill(b, 10, 0);
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08});
    Fill(b, 6, 0);
    Fill(b, size - b.size() - 2, 0x11);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

void Put(Bytes& image, size_t at, const Bytes& part) { std::copy(part.begin(), part.end(), image.begin() + at); }

// The type set of a walk that only counts: no detectors, every cluster or the free ones.
ScanTypeSet CountOnly(bool allClusters) {
    ScanTypeSet set;
    set.allClusters = allClusters;
    return set;
}

}  // namespace

TEST(ClusterWalk, AHitSkipsItsClustersFreeOrNotAndTheScanResumesRightAfterIt) {
    // 110 clusters of 512 bytes. A 1,302-byte JPEG (3 clusters) at 100 holds a
    // PNG at its second cluster (101); another PNG starts at 103. Cluster 102
    // is allocated.
    Bytes image(110 * 512, 0);
    Bytes jpeg = JpegOfSize(1302);
    Put(jpeg, 512, TinyPng());
    Put(image, 100 * 512, jpeg);
    Put(image, 103 * 512, TinyPng());
    ByteVolume v(image);
    std::vector<bool> freeMap(110, true);
    freeMap[102] = false;
    MapCursor cursor(freeMap);
    ScanTypeSet types = TypesOf({u"jpg", u"png"});
    RecordingCallback cb;
    ScanWalkStats stats;
    ASSERT_TRUE(ScanClustersWalk(v.volume(), cursor, types, &cb, nullptr, &stats));

    ASSERT_EQ(cb.found.size(), 2u);
    EXPECT_EQ(cb.found[0].type, u"jpg");
    EXPECT_EQ(cb.found[0].cluster, 100u);
    EXPECT_EQ(cb.found[0].size, 1302u);
    EXPECT_EQ(cb.found[1].type, u"png");
    EXPECT_EQ(cb.found[1].cluster, 103u);
    // 101 and 102 not examined; 101 (free) still counts as scanned, 102 does not.
    EXPECT_EQ(stats.visited, 110u);
    EXPECT_EQ(stats.scanned, 109u);
    EXPECT_EQ(stats.examined, 108u);  // 0..100 and 103..109
    ASSERT_EQ(cb.scanProgress.size(), 110u);
    EXPECT_EQ(cb.scanProgress[100], 101u);
    EXPECT_EQ(cb.scanProgress[101], 102u);
    EXPECT_EQ(cb.scanProgress[102], 102u);
    EXPECT_EQ(cb.scanProgress[103], 103u);
}

TEST(ClusterWalk, AFileOfWholeClustersSkipsExactlyThoseClusters) {
    // 1,024 bytes = 2 clusters: the PNG right after it (cluster 2) is found;
    // one of 1,025 bytes covers 3 clusters and hides a PNG at its third.
    Bytes image(16 * 512, 0);
    Put(image, 0, JpegOfSize(1024));
    Put(image, 2 * 512, TinyPng());
    Bytes longer = JpegOfSize(1025 + 512);
    Put(longer, 1024, TinyPng());
    Put(image, 5 * 512, longer);
    ByteVolume v(image);
    MapCursor cursor(std::vector<bool>(16, true));
    ScanTypeSet types = TypesOf({u"jpg", u"png"});
    RecordingCallback cb;
    ASSERT_TRUE(ScanClustersWalk(v.volume(), cursor, types, &cb, nullptr));
    ASSERT_EQ(cb.found.size(), 3u);
    EXPECT_EQ(cb.found[0].cluster, 0u);
    EXPECT_EQ(cb.found[1].cluster, 2u);
    EXPECT_EQ(cb.found[2].cluster, 5u);
    EXPECT_EQ(cb.found[2].size, 1537u);
}

TEST(ClusterWalk, CallbacksAnsweringFalseAndTheStopFlagEndTheWalk) {
    Bytes image(40 * 512, 0);
    for (size_t k : {3, 10, 20, 30}) Put(image, k * 512, TinyPng());
    ByteVolume v(image);
    ScanTypeSet types = TypesOf({u"png"});

    {  // OnFileFound answering false: the walk returns false at once.
        MapCursor cursor(std::vector<bool>(40, true));
        RecordingCallback cb;
        cb.failFoundAt = 1;
        EXPECT_FALSE(ScanClustersWalk(v.volume(), cursor, types, &cb, nullptr));
        EXPECT_EQ(cb.found.size(), 2u);
        EXPECT_EQ(cb.scanProgress.size(), 10u);  // clusters 0..9; none after the refused hit at 10
    }
    {  // A stop flag raised during the scan: true, nothing after.
        MapCursor cursor(std::vector<bool>(40, true));
        StopFlag stop {0};
        RecordingCallback cb;
        cb.raiseStopOnFound = &stop;
        EXPECT_TRUE(ScanClustersWalk(v.volume(), cursor, types, &cb, &stop));
        EXPECT_EQ(cb.found.size(), 1u);
        EXPECT_EQ(cb.scanProgress.size(), 4u);
    }
    {  // Counting: OnCountProgress answering false -> false; stop -> true with the count so far.
        MapCursor cursor(std::vector<bool>(40, true));
        RecordingCallback cb;
        cb.failCountAt = 4;
        uint64_t count = 0;
        EXPECT_FALSE(CountScanClustersWalk(cursor, CountOnly(false), count, &cb, nullptr));
        EXPECT_EQ(count, 5u);
        StopFlag stop {1};
        EXPECT_TRUE(CountScanClustersWalk(cursor, CountOnly(false), count, nullptr, &stop));
        EXPECT_EQ(count, 0u);
    }
}

TEST(ClusterWalk, CountsFreeClustersWithProgressAndEveryClusterWithScanAll) {
    std::vector<bool> freeMap(50, false);
    for (size_t i = 0; i < 50; i += 3) freeMap[i] = true;  // 17 free
    MapCursor cursor(freeMap);
    RecordingCallback cb;
    uint64_t count = 0;
    ASSERT_TRUE(CountScanClustersWalk(cursor, CountOnly(false), count, &cb, nullptr));
    EXPECT_EQ(count, 17u);
    EXPECT_EQ(cb.countCalls, 50u);
    EXPECT_EQ(cb.lastCountCurrent, 50u);
    EXPECT_EQ(cb.lastCountTotal, 50u);
    ASSERT_TRUE(CountScanClustersWalk(cursor, CountOnly(true), count, nullptr, nullptr));
    EXPECT_EQ(count, 50u);
}

// ---------------------------------------------------------------------------
// FAT32 images made by mkfs.fat and mtools.

namespace {
std::string Mtools(const std::string& args) { return "MTOOLS_SKIP_CHECK=1 " + args; }
}  // namespace

TEST(FatClusterWalk, CandidatesAreTheFreeClustersOfTheFatAndAllClustersWithScanAll) {
    QUARLIX_REQUIRE(HaveFatSampleTools(), "mkfs.fat/mtools not installed");
    testutil::TempDir dir;
    const std::string img = dir.file("fat32.img");
    testutil::MustRun("mkfs.fat -C -F 32 -s 1 -S 512 " + testutil::Quote(img) + " 40000 >/dev/null");
    testutil::WriteFileBytes(dir.file("a.bin"), testutil::PatternBytes(70000, 1));
    testutil::WriteFileBytes(dir.file("b.bin"), testutil::PatternBytes(30000, 2));
    testutil::MustRun(Mtools("mcopy -i " + testutil::Quote(img) + " " + testutil::Quote(dir.file("a.bin")) + " " +
                             testutil::Quote(dir.file("b.bin")) + " ::/"));
    testutil::MustRun(Mtools("mdel -i " + testutil::Quote(img) + " ::/a.bin"));

    CFatVolume fat;
    ASSERT_TRUE(fat.Initialize(img)) << fat.InitError();
    uint32_t freeClusters = 0;
    ASSERT_TRUE(fat.CountFreeClusters(freeClusters));
    FatClusterCursor cursor(fat);
    EXPECT_EQ(cursor.Total(), fat.ClusterCount());
    uint64_t count = 0;
    ASSERT_TRUE(CountScanClustersWalk(cursor, CountOnly(false), count, nullptr, nullptr));
    EXPECT_EQ(count, freeClusters);
    // b.bin (59 clusters) and the root folder are in use; a.bin's 137 clusters are free again.
    EXPECT_EQ(count, fat.ClusterCount() - 59 - 1);
    ASSERT_TRUE(CountScanClustersWalk(cursor, CountOnly(true), count, nullptr, nullptr));
    EXPECT_EQ(count, fat.ClusterCount());
}
