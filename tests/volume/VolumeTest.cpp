// The cached and unbuffered raw reads, on a real FAT16 image whose data area
// is filled with a known pattern.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/PatternFatImage.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "platform/DeviceStream.h"

using testutil::TempDir;

namespace {

using RawReadTest = testutil::PatternFatImage;

TEST_F(RawReadTest, CachedReadsServeRepeatedSmallReadsFromMemory) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    ASSERT_EQ(vol.ClusterSize(), 2048u);
    uint8_t b = 0;
    uint32_t len = 1;
    ASSERT_TRUE(vol.ReadRaw(10, 5, &b, len));
    EXPECT_EQ(b, At(10, 5));
    len = 1;
    ASSERT_TRUE(vol.ReadRaw(10, 2047, &b, len));
    EXPECT_EQ(b, At(10, 2047));
    EXPECT_EQ(vol.CacheMisses(), 1u) << "two reads inside one cluster must read the device once";

    // Offset equal to the cluster size fails without reading.
    len = 1;
    EXPECT_FALSE(vol.ReadRaw(10, 2048, &b, len));
    EXPECT_EQ(vol.CacheMisses(), 1u);
}

TEST_F(RawReadTest, ReadsRunAcrossClusterBoundariesFromTheCachedTail) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    uint8_t b;
    uint32_t len = 1;
    ASSERT_TRUE(vol.ReadRaw(20, 0, &b, len));  // cache cluster 20
    // Starts in the cached cluster and runs two clusters further.
    std::vector<uint8_t> buf(5000);
    len = 5000;
    ASSERT_TRUE(vol.ReadRaw(20, 1000, buf.data(), len));
    EXPECT_EQ(len, 5000u);
    EXPECT_EQ(vol.CacheMisses(), 1u + 2u);  // cluster 20 from memory, 21 and 22 from the device
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(buf[i], pattern[(20 - 2) * 2048 + 1000 + i]) << i;
}

TEST_F(RawReadTest, ReadPastTheEndFailsAndSaysWhatCameBefore) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    uint64_t clusters = (std::filesystem::file_size(image) - dataStart) / 2048;
    uint8_t buf[4096];
    uint32_t len = 4096;
    EXPECT_FALSE(vol.ReadRaw(2 + clusters - 1, 0, buf, len));  // the second cluster is beyond the end
    EXPECT_EQ(len, 2048u);
    EXPECT_EQ(buf[0], At(2 + clusters - 1, 0));
    // The failure only disables the cache; the next read succeeds.
    len = 16;
    ASSERT_TRUE(vol.ReadRaw(2, 0, buf, len));
    EXPECT_EQ(buf[0], At(2, 0));
    len = 8;
    EXPECT_FALSE(vol.ReadRaw(UINT64_MAX / 2, 0, buf, len));
}

TEST_F(RawReadTest, UnbufferedReadIsShortAtTheEndOfTheDevice) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    uint64_t sectors = std::filesystem::file_size(image) / 512;
    std::vector<uint8_t> buf(4 * 512);
    uint32_t got = 0;
    ASSERT_TRUE(vol.ReadRawUnbuffered(sectors - 1, 4, buf.data(), &got));
    EXPECT_EQ(got, 512u);
    ASSERT_TRUE(vol.ReadRawUnbuffered(sectors + 10, 1, buf.data(), &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(vol.ReadRawUnbuffered(0, 1, buf.data(), nullptr));
    ASSERT_TRUE(vol.ReadRawUnbuffered(dataStart / 512, 1, buf.data(), &got));
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, pattern.begin()));
}

TEST_F(RawReadTest, ConcurrentCachedReadsReturnTheRightBytes) {
    CFatVolume vol;
    ASSERT_TRUE(vol.Initialize(image));
    std::atomic<int> bad {0};
    auto worker = [&](uint32_t seed) {
        uint32_t x = seed;
        for (int i = 0; i < 4000; ++i) {
            x = x * 1103515245 + 12345;
            uint64_t cluster = 2 + (x >> 8) % 4000;
            uint32_t off = (x >> 3) % 2048;
            uint8_t buf[300];
            uint32_t len = sizeof buf;
            if (!vol.ReadRaw(cluster, off, buf, len) || len != sizeof buf) {
                ++bad;
                continue;
            }
            for (uint32_t k = 0; k < len; ++k)
                if (buf[k] != pattern[(cluster - 2) * 2048 + off + k]) {
                    ++bad;
                    break;
                }
        }
    };
    std::thread a(worker, 1), b(worker, 2), c(worker, 3);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(ByteBufferTest, AllocateZeroAndReallocate) {
    ByteBuffer b;
    EXPECT_TRUE(b.Allocate(0));
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.Data(), nullptr);
    ASSERT_TRUE(b.Allocate(64));
    EXPECT_EQ(b.Size(), 64u);
    ASSERT_TRUE(b.Allocate(8));
    EXPECT_EQ(b.Size(), 8u);
    b.Free();
    EXPECT_EQ(b.Size(), 0u);
}

TEST(DeviceStreamTest, WindowedSourceReadsInsideItsPartitionOnly) {
    TempDir dir;
    std::string path = dir.file("disk.img");
    auto bytes = testutil::PatternBytes(3 << 20, 7);
    testutil::WriteFileBytes(path, bytes);
    CDeviceStream s;
    ASSERT_TRUE(s.Open(path, 1 << 20, 1 << 20));
    EXPECT_EQ(s.Length(), 1u << 20);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(s.ReadAt((1 << 20) - 100, buf.data(), 4096), 100);  // short at the window's end
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, bytes.begin() + (2 << 20) - 100));
    EXPECT_EQ(s.ReadAt(1 << 20, buf.data(), 10), 0);
    // Sequential small reads across many read-ahead windows, then random ones.
    std::vector<uint8_t> all((1 << 20));
    for (size_t off = 0; off < all.size(); off += 1000) {
        size_t n = std::min<size_t>(1000, all.size() - off);
        ASSERT_EQ(s.ReadAt(off, all.data() + off, n), static_cast<int64_t>(n));
    }
    EXPECT_TRUE(std::equal(all.begin(), all.end(), bytes.begin() + (1 << 20)));
    for (uint64_t off : {900000u, 5u, 65536u * 3 + 1, 1048000u}) {
        ASSERT_EQ(s.ReadAt(off, buf.data(), 500), static_cast<int64_t>(std::min<uint64_t>(500, (1 << 20) - off)));
        EXPECT_EQ(buf[0], bytes[(1 << 20) + off]);
    }
    // A base beyond the file leaves an empty stream.
    CDeviceStream t;
    ASSERT_TRUE(t.Open(path, 10ull << 20, 0));
    EXPECT_EQ(t.Length(), 0u);
}

// A file read cluster by cluster with FAT sectors read now and then (two in
// a row per 256 clusters, far away): every byte comes from the device once,
// the windows' first fills aside (the file ends the image: no read-ahead past
// it); the sectors' own stream neither evicts the file's window nor is read
// again.
TEST(DeviceStreamTest, StrayReadsKeepTheReadAheadWindow) {
    TempDir dir;
    const std::string path = dir.file("fat.img");
    const auto bytes = testutil::PatternBytes(6 << 20, 3);
    testutil::WriteFileBytes(path, bytes);
    CDeviceStream s;
    ASSERT_TRUE(s.Open(path));
    constexpr uint64_t kData = 2 << 20, kFile = 4 << 20, kCluster = 2048;
    std::vector<uint8_t> got(kFile), sector(512);
    uint64_t strays = 0;
    for (uint64_t at = 0; at < kFile; at += kCluster) {
        for (int k = 0; k < 2 && at % (256 * kCluster) == 0; ++k, ++strays) {
            ASSERT_EQ(s.ReadAt(4096 + strays * 512, sector.data(), 512), 512);
            EXPECT_EQ(sector[0], bytes[4096 + strays * 512]);
        }
        ASSERT_EQ(s.ReadAt(kData + at, got.data() + at, kCluster), int64_t(kCluster));
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + kData));
    EXPECT_LE(s.DeviceBytes(), kFile + 2 * CDeviceStream::kMinWindow + strays * 512);
}

TEST(DeviceStreamTest, OpensReadOnly) {
    TempDir dir;
    std::string path = dir.file("ro.img");
    testutil::WriteFileBytes(path, std::vector<uint8_t>(4096, 1));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    CDeviceStream s;
    EXPECT_TRUE(s.Open(path));
    int flags = fcntl(s.NativeHandle(), F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
}

}  // namespace
