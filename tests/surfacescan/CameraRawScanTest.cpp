// Camera raw files built in their makers' layouts (tests/formats/
// CameraRawBuilder.h), copied onto FAT32 and NTFS images made by the file
// systems' own tools and deleted there, or laid among random bytes in a raw
// image: the scan finds each at its first cluster with its exact size (the
// end of its raw data, not of its thumbnail), title and author, and
// recovering it writes it byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "SampleImages.h"
#include "ScanTestSupport.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/recovery/ItemWriter.h"
#include "tests/formats/CameraRawBuilder.h"

using namespace scantest;

namespace {

struct RawFsCase {
    const char* name;
    bool ntfs;
    uint32_t size;  // sectors per cluster (FAT32) or cluster size (NTFS)
    int imageSize;  // KiB (FAT32) or MiB (NTFS)
};

void PrintTo(const RawFsCase& c, std::ostream* os) { *os << c.name; }

class CameraRawOnFileSystems : public ::testing::TestWithParam<RawFsCase> {};

// Checks that every file is found at the cluster holding it, whole, and that
// nothing else is found; recovers each.
void ExpectFoundAndRecovered(CVolume& volume, const std::function<uint64_t(const Bytes&)>& clusterOf,
                             const testutil::TempDir& out) {
    ScanTypeSet types = AllTypes();
    RecordingCallback cb;
    ASSERT_TRUE(ScanClusters(volume, types, &cb, nullptr));
    std::map<uint64_t, Found> byCluster;
    for (const Found& f : cb.found) byCluster[f.cluster] = f;
    for (const CameraRawFile& f : CameraRawFiles()) {
        SCOPED_TRACE(f.name);
        const uint64_t cluster = clusterOf(f.bytes);
        ASSERT_NE(cluster, UINT64_MAX) << "not stored contiguously";
        auto it = byCluster.find(cluster);
        ASSERT_NE(it, byCluster.end()) << "not found at cluster " << cluster;
        EXPECT_EQ(it->second.type, f.type);
        EXPECT_EQ(it->second.size, f.bytes.size());
        EXPECT_EQ(Utf8(it->second.title), Utf8(f.title));
        EXPECT_EQ(Utf8(it->second.author), Utf8(f.author));
        const std::string file = out.file(std::string("recovered-") + f.name);
        ASSERT_EQ(RecoverClusters(volume, cluster, it->second.size, file, nullptr, nullptr), RecoverResult::Ok);
        EXPECT_TRUE(testutil::ReadFileBytes(file) == f.bytes) << "recovered bytes differ";
        byCluster.erase(it);
    }
    EXPECT_TRUE(byCluster.empty()) << byCluster.size() << " unexpected hits";
}

}  // namespace

TEST_P(CameraRawOnFileSystems, DeletedRawFilesAreFoundWholeAtTheirFirstCluster) {
    const RawFsCase& fs = GetParam();
    QUARLIX_REQUIRE(fs.ntfs ? HaveNtfsSampleTools() : HaveFatSampleTools(),
                    "tools for " << fs.name << " not installed");
    testutil::TempDir dir;
    std::vector<ImageFile> files;
    for (const CameraRawFile& f : CameraRawFiles()) {
        files.push_back({f.name, dir.file(f.name)});
        testutil::WriteFileBytes(files.back().path, f.bytes);
    }
    const SampleImage image = fs.ntfs ? MakeNtfsImage(dir, fs.size, fs.imageSize, files)
                                      : MakeFat32Image(dir, static_cast<int>(fs.size), fs.imageSize, files);
    ASSERT_TRUE(image.ok()) << image.error;
    std::unique_ptr<CVolume> volume;
    if (fs.ntfs) {
        auto v = std::make_unique<CNtfsVolume>();
        ASSERT_TRUE(v->Initialize(image.path)) << v->InitError();
        volume = std::move(v);
    } else {
        auto v = std::make_unique<CFatVolume>();
        ASSERT_TRUE(v->Initialize(image.path)) << v->InitError();
        volume = std::move(v);
    }
    ASSERT_EQ(volume->ClusterSize(), image.clusterSize);
    ExpectFoundAndRecovered(*volume, [&](const Bytes& b) { return image.ClusterHolding(b); }, dir);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CameraRawOnFileSystems,
                         ::testing::Values(RawFsCase {"Fat32Cluster512", false, 1, 40000},
                                           RawFsCase {"Fat32Cluster4096", false, 8, 280000},
                                           RawFsCase {"NtfsCluster4096", true, 4096, 16},
                                           RawFsCase {"NtfsCluster512", true, 512, 8}),
                         [](const ::testing::TestParamInfo<RawFsCase>& p) { return p.param.name; });

TEST(CameraRawOnRawImage, FilesAmongRandomBytesAreFoundWhole) {
    // Each file at a 4,096-byte boundary, random bytes after it in its last unit and between.
    std::mt19937 rng(77);
    Bytes image = testutil::PatternBytes(4096 * 2, rng());
    std::vector<std::pair<Bytes, uint64_t>> placed;
    for (const CameraRawFile& f : CameraRawFiles()) {
        placed.push_back({f.bytes, image.size() / 4096});
        image.insert(image.end(), f.bytes.begin(), f.bytes.end());
        Bytes filler = testutil::PatternBytes(4096 - image.size() % 4096 + 4096 * (1 + rng() % 3), rng());
        image.insert(image.end(), filler.begin(), filler.end());
    }
    ByteVolume v(image, 4096);
    testutil::TempDir out;
    ExpectFoundAndRecovered(v.volume(), [&](const Bytes& b) {
        for (const auto& [bytes, unit] : placed)
            if (bytes == b) return unit;
        return UINT64_MAX;
    }, out);
}
