// The scan job and the scan-then-recover pipeline: workers that count, scan
// and deliver named items, with their progress snapshots, stop and outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "ScanTestSupport.h"
#include "engine/surfacescan/ScanRecoverJob.h"

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
    CJobEventQueue<CarvedItem> found;
    CSurfaceScanJob job(v.volume(), types, &found);
    EXPECT_EQ(job.Progress().phase, JobPhase::Idle);
    ASSERT_TRUE(job.Start());
    job.Wait();
    JobProgress p = job.Progress();
    EXPECT_TRUE(job.Outcome().completed());
    EXPECT_EQ(p.phase, JobPhase::Idle);
    EXPECT_EQ(p.percent, 100);
    EXPECT_EQ(p.remaining, 0);
    EXPECT_EQ(p.itemsTotal, 24u);
    EXPECT_EQ(p.itemsDone, 24u);
    EXPECT_EQ(p.delivered, 2u);
    EXPECT_EQ(job.Candidates(), 24u);
    EXPECT_EQ(job.Scanned(), 24u);
    EXPECT_FALSE(job.IsRunning());
    auto items = found.Take();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(Utf8(items[0].name), "Test Artist - Quiet Title (2).mp3");
    EXPECT_EQ(items[0].startCluster, 2u);
    EXPECT_EQ(items[0].size, mp3.size());
    EXPECT_EQ(Utf8(items[1].name), "Ada Lovelace - TIFF image (10).tif");
    EXPECT_EQ(items[1].size, tif.size());
    EXPECT_TRUE(found.Take().empty());

    // A second run starts afresh.
    ASSERT_TRUE(job.Start());
    job.Wait();
    EXPECT_EQ(found.Take().size(), 2u);
    EXPECT_EQ(job.Progress().delivered, 2u);

    // The pipeline writes what it finds, as it finds it; a second run into
    // the same folder overwrites nothing and reports both as skipped.
    testutil::TempDir out;
    for (const char* expected : {"ok", "skipped"}) {
        CJobEventQueue<ScanRecoverEvent> events;
        CScanRecoverJob pipeline(v.volume(), types, out.path().string(), &events);
        ASSERT_TRUE(pipeline.Start());
        pipeline.Wait();
        EXPECT_TRUE(pipeline.Outcome().completed());
        std::vector<std::string> order;
        for (const ScanRecoverEvent& e : events.Take()) {
            if (e.kind == ScanRecoverEvent::Kind::Found) {
                order.push_back("found " + std::to_string(e.item.startCluster));
            } else {
                order.push_back("recovered " + std::to_string(e.record.id));
                EXPECT_STREQ(RecoverStatusName(e.record), expected) << e.record.path;
            }
        }
        // Each file is found before its recovery ends.
        ASSERT_EQ(order.size(), 4u);
        for (const char* cluster : {"2", "10"}) {
            const auto f = std::find(order.begin(), order.end(), std::string("found ") + cluster);
            const auto r = std::find(order.begin(), order.end(), std::string("recovered ") + cluster);
            EXPECT_LT(f, r) << cluster;
        }
        EXPECT_EQ(pipeline.RecoveryCounters().filesStarted, 2);
    }
    EXPECT_EQ(testutil::ReadFileBytes(out.file("Test Artist - Quiet Title (2).mp3")), mp3);
    EXPECT_EQ(testutil::ReadFileBytes(out.file("Ada Lovelace - TIFF image (10).tif")), tif);
}

TEST(SurfaceScanJob, ACarveThatTookForeignClustersFailsItsPictureCheck) {
    // A camera-style photo with its Exif thumbnail at unit 2, whole; at unit
    // 10 the same photo's first three clusters, followed by the clusters of
    // another photo from its fourth on (its entropy data, its EOI). Both
    // carve as JPEGs whose entropy coding holds; the second decodes to
    // another picture in its lower part than its thumbnail shows.
    const Bytes photo = testutil::ReadFileBytes(DataDir() + "/sample-thumb.jpg");
    const Bytes other = testutil::ReadFileBytes(DataDir() + "/sample-thumb-other.jpg");
    constexpr size_t kHead = 3 * 4096;
    ASSERT_GT(photo.size(), kHead);
    ASSERT_GT(other.size(), kHead);
    Bytes damaged(photo.begin(), photo.begin() + kHead);
    damaged.insert(damaged.end(), other.begin() + kHead, other.end());
    Bytes image(24 * 4096, 0);
    std::copy(photo.begin(), photo.end(), image.begin() + 2 * 4096);
    std::copy(damaged.begin(), damaged.end(), image.begin() + 10 * 4096);
    ByteVolume v(image, 4096);
    testutil::TempDir out;
    CJobEventQueue<ScanRecoverEvent> events;
    CScanRecoverJob pipeline(v.volume(), AllTypes(), out.path().string(), &events);
    ASSERT_TRUE(pipeline.Start());
    pipeline.Wait();
    std::map<uint64_t, RecoverItemRecord> recovered;
    for (const ScanRecoverEvent& e : events.Take())
        if (e.kind == ScanRecoverEvent::Kind::Recovered) recovered[e.record.id] = e.record;
    ASSERT_EQ(recovered.size(), 2u);
    const struct {
        uint64_t cluster;
        const Bytes& bytes;
        const char* status;
    } expected[] = {{2, photo, "ok"}, {10, damaged, "unverified"}};
    for (const auto& x : expected) {
        SCOPED_TRACE(x.cluster);
        ASSERT_EQ(recovered.count(x.cluster), 1u);
        const RecoverItemRecord& r = recovered[x.cluster];
        EXPECT_STREQ(RecoverStatusName(r), x.status) << r.status;
        // Written whole either way, byte for byte as carved.
        EXPECT_EQ(testutil::ReadFileBytes(out.file(std::filesystem::path(r.path).filename().string())), x.bytes);
    }
    EXPECT_EQ(recovered[10].status, "content check failed");
    EXPECT_EQ(pipeline.RecoveryCounters().unverified, 1);
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
    CJobEventQueue<CarvedItem> found;
    {
        CSurfaceScanJob job(raw, types, &found);
        ASSERT_TRUE(job.Start());
        EXPECT_FALSE(job.Start());  // already running
        job.RequestStop();
        job.Wait();
        EXPECT_TRUE(job.Outcome().stopped());
        EXPECT_EQ(job.Outcome().status.code(), StatusCode::Stopped);
        EXPECT_LT(job.Scanned(), 1ull << 31);
    }
    EXPECT_TRUE(found.Take().empty());
    {
        // A pipeline stopped while it scans ends its recovery too, and a
        // job destroyed while it runs stops and joins its worker.
        testutil::TempDir out;
        CScanRecoverJob pipeline(raw, types, out.path().string(), nullptr);
        ASSERT_TRUE(pipeline.Start());
        pipeline.RequestStop();
        pipeline.Wait();
        EXPECT_TRUE(pipeline.Outcome().stopped());
        CScanRecoverJob abandoned(raw, types, out.path().string(), nullptr);
        ASSERT_TRUE(abandoned.Start());
    }

    ScanTypeSet none;
    none.registry = &Registry();
    CSurfaceScanJob idle(raw, none, nullptr);
    EXPECT_FALSE(idle.Start());
    EXPECT_TRUE(idle.Outcome().failed());
    EXPECT_EQ(idle.Outcome().status.code(), StatusCode::InvalidArgument);
}
