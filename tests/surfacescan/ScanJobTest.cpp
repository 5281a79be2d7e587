// The scan job: a worker that counts, scans and collects named items, with
// its progress values and its stop.
#include <gtest/gtest.h>

#include <filesystem>

#include "ScanTestSupport.h"
#include "engine/surfacescan/SurfaceScanJob.h"

using namespace scantest;

TEST(SurfaceScanJob, ScansARawSourceAndNamesTheItems) {
    // mp3 at unit 2, tif at unit 10, in zeros.
    Bytes image(24 * 4096, 0);
    Bytes mp3 = testutil::ReadFileBytes(DataDir() + "/sample.mp3");
    Bytes tif = testutil::ReadFileBytes(DataDir() + "/sample.tif");
    std::copy(mp3.begin(), mp3.end(), image.begin() + 2 * 4096);
    std::copy(tif.begin(), tif.end(), image.begin() + 10 * 4096);
    ByteVolume v(image, 4096);
    ScanTypeSet types = AllTypes();
    CSurfaceScanJob job(v.volume(), types);
    EXPECT_EQ(job.Progress().phase, ScanPhase::Idle);
    ASSERT_TRUE(job.Start());
    job.Wait();
    ScanProgress p = job.Progress();
    EXPECT_EQ(p.phase, ScanPhase::Finished);
    EXPECT_EQ(p.percent, 100u);
    EXPECT_EQ(p.remainingSeconds, 0u);
    EXPECT_EQ(p.total, 24u);
    EXPECT_EQ(p.scanned, 24u);
    EXPECT_EQ(p.found, 2u);
    EXPECT_FALSE(job.IsRunning());
    auto items = job.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(Utf8(items[0].name), "Test Artist - Quiet Title (2).mp3");
    EXPECT_EQ(items[0].startCluster, 2u);
    EXPECT_EQ(items[0].size, mp3.size());
    EXPECT_EQ(Utf8(items[1].name), "Ada Lovelace - TIFF image (10).tif");
    EXPECT_EQ(items[1].size, tif.size());
    EXPECT_EQ(job.Items(1).size(), 1u);
    EXPECT_TRUE(job.Items(5).empty());

    // A second run starts afresh.
    ASSERT_TRUE(job.Start());
    job.Wait();
    EXPECT_EQ(job.ItemCount(), 2u);
}

TEST(SurfaceScanJob, StopEndsTheWorkerAndNothingStartsWithoutTypes) {
    // A sparse source of 1 TiB in 512-byte units: 2^31 candidates, far more
    // than the worker can pass before the stop request arrives.
    testutil::TempDir dir;
    const std::string path = dir.file("huge.img");
    testutil::WriteFileBytes(path, {});
    std::filesystem::resize_file(path, 1ull << 40);
    CRawVolume raw(512);
    ASSERT_TRUE(raw.Initialize(path)) << raw.InitError();
    ScanTypeSet types = AllTypes();
    CSurfaceScanJob job(raw, types);
    ASSERT_TRUE(job.Start());
    EXPECT_FALSE(job.Start());  // already running
    job.Stop();
    job.Wait();
    EXPECT_EQ(job.Progress().phase, ScanPhase::Stopped);
    EXPECT_EQ(job.ItemCount(), 0u);

    ScanTypeSet none;
    none.registry = &Registry();
    CSurfaceScanJob idle(raw, none);
    EXPECT_FALSE(idle.Start());
}
