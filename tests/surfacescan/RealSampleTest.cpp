// Files made by ImageMagick, LAME and FFmpeg (tests/data), copied onto file
// systems made by their real tools and deleted there, are found by the scan
// at their first cluster with their exact size, and recovering them writes
// them byte for byte.
//
// Each file-system case builds an image and opens it with its reader and its
// cluster cursor; the samples' first clusters are learned independently by
// looking for their bytes in the image. An NTFS case (mkntfs + ntfs-3g) is
// added to FileSystemCases() once the NTFS reader offers its bitmap cursor.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include "ScanTestSupport.h"
#include "engine/surfacescan/FatClusterCursor.h"
#include "engine/surfacescan/ScanTypes.h"

using namespace scantest;

namespace {

struct ImageUnderTest {
    std::unique_ptr<CVolume> volume;
    std::unique_ptr<IClusterCursor> cursor;
    // Device offset of cluster k.
    std::function<uint64_t(uint64_t)> clusterOffset;
    uint64_t firstCluster = 0, clusterCount = 0;
};

struct FileSystemCase {
    std::string name;
    std::function<bool()> available;
    // Builds an image holding every sample (deleted) and live.jpg (kept).
    std::function<std::string(const testutil::TempDir&, ImageUnderTest&)> make;
};

std::string Mtools(const std::string& args) { return "MTOOLS_SKIP_CHECK=1 " + args; }

std::string MakeFat32(const testutil::TempDir& dir, ImageUnderTest& out, int sectorsPerCluster, int kib) {
    const std::string img = dir.file("fat32.img");
    auto q = testutil::Quote;
    testutil::MustRun("mkfs.fat -C -F 32 -s " + std::to_string(sectorsPerCluster) + " -S 512 " + q(img) + " " +
                      std::to_string(kib) + " >/dev/null");
    // Each sample, then a small live spacer, so that the samples' clusters
    // lie between clusters in use once they are deleted.
    std::string copies;
    int i = 0;
    for (const Sample& s : Samples()) {
        testutil::WriteFileBytes(dir.file("spacer" + std::to_string(i)), testutil::PatternBytes(700, 50 + i));
        copies += " " + q(DataDir() + "/" + s.file) + " " + q(dir.file("spacer" + std::to_string(i)));
        ++i;
    }
    testutil::MustRun(Mtools("mcopy -i " + q(img) + copies + " ::/"));
    testutil::MustRun(Mtools("mcopy -i " + q(img) + " " + q(DataDir() + "/sample.jpg") + " ::/live.jpg"));
    std::string dels;
    for (const Sample& s : Samples()) dels += " ::/" + s.file;
    testutil::MustRun(Mtools("mdel -i " + q(img) + dels));

    auto fat = std::make_unique<CFatVolume>();
    if (!fat->Initialize(img)) return "CFatVolume::Initialize: " + fat->InitError();
    CFatVolume* f = fat.get();
    out.clusterOffset = [f](uint64_t k) {
        return uint64_t(f->DataFirstSector()) * f->SectorSize() + (k - 2) * f->ClusterSize();
    };
    out.firstCluster = 2;
    out.clusterCount = fat->ClusterCount();
    out.cursor = std::make_unique<FatClusterCursor>(*fat);
    out.volume = std::move(fat);
    return img;
}

bool HaveFatTools() { return testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mdel"); }

std::vector<FileSystemCase> FileSystemCases() {
    return {
        {"Fat32Cluster512", HaveFatTools,
         [](const testutil::TempDir& d, ImageUnderTest& u) { return MakeFat32(d, u, 1, 40000); }},
        {"Fat32Cluster4096", HaveFatTools,
         [](const testutil::TempDir& d, ImageUnderTest& u) { return MakeFat32(d, u, 8, 280000); }},
    };
}

// The cluster whose first bytes hold the whole file, or UINT64_MAX.
uint64_t ClusterHolding(const std::string& image, const ImageUnderTest& u, const Bytes& file, uint64_t limit) {
    std::ifstream in(image, std::ios::binary);
    const uint32_t cs = u.volume->ClusterSize();
    Bytes head(std::min<size_t>(file.size(), cs));
    for (uint64_t k = u.firstCluster; k < u.firstCluster + std::min(u.clusterCount, limit); ++k) {
        in.seekg(static_cast<std::streamoff>(u.clusterOffset(k)));
        if (!in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()))) break;
        if (!std::equal(head.begin(), head.end(), file.begin())) continue;
        Bytes all(file.size());
        in.seekg(static_cast<std::streamoff>(u.clusterOffset(k)));
        in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size()));
        if (all == file) return k;
    }
    return UINT64_MAX;
}

void PrintTo(const FileSystemCase& c, std::ostream* os) { *os << c.name; }

class RealSamples : public ::testing::TestWithParam<FileSystemCase> {};

}  // namespace

TEST_P(RealSamples, DeletedSamplesAreFoundAtTheirFirstClusterWithTheirSizeAndRecoveredWhole) {
    const FileSystemCase& fs = GetParam();
    if (!fs.available()) GTEST_SKIP() << "tools for " << fs.name << " not installed";
    testutil::TempDir dir;
    ImageUnderTest u;
    const std::string image = fs.make(dir, u);
    ASSERT_TRUE(u.volume) << image;

    ScanTypeSet types = AllTypes();
    RecordingCallback cb;
    ASSERT_TRUE(ScanClustersWalk(*u.volume, *u.cursor, &types, &cb, nullptr));

    std::map<uint64_t, Found> byCluster;
    for (const Found& f : cb.found) byCluster[f.cluster] = f;
    const uint64_t liveCluster = ClusterHolding(image, u, testutil::ReadFileBytes(DataDir() + "/sample.jpg"), 20000);
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.file);
        const Bytes want = testutil::ReadFileBytes(DataDir() + "/" + s.file);
        ASSERT_FALSE(want.empty());
        const uint64_t cluster = ClusterHolding(image, u, want, 20000);
        ASSERT_NE(cluster, UINT64_MAX) << "the sample is not stored contiguously in the image";
        auto it = byCluster.find(cluster);
        ASSERT_NE(it, byCluster.end()) << "not found at cluster " << cluster;
        EXPECT_EQ(it->second.type, s.type);
        EXPECT_EQ(it->second.size, want.size());
        EXPECT_EQ(Utf8(it->second.title), Utf8(s.title));
        EXPECT_EQ(Utf8(it->second.author), Utf8(s.author));

        std::u16string name;
        ASSERT_TRUE(MakeCarvedItemName(it->second.type, it->second.title, it->second.author, cluster, name));
        const std::string out = dir.file(Utf8(name));
        ASSERT_EQ(u.volume->RecoverClusters(cluster, it->second.size, out, nullptr, nullptr), S_OK);
        EXPECT_TRUE(testutil::ReadFileBytes(out) == want) << "recovered bytes differ";
        byCluster.erase(it);
    }
    // live.jpg is in use: not a candidate. Nothing else is found.
    EXPECT_EQ(byCluster.count(liveCluster), 0u);
    EXPECT_TRUE(byCluster.empty()) << byCluster.size() << " unexpected hits, first at cluster "
                                   << byCluster.begin()->first;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RealSamples, ::testing::ValuesIn(FileSystemCases()),
                         [](const ::testing::TestParamInfo<FileSystemCase>& p) { return p.param.name; });
