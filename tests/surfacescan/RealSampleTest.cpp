// Files made by ImageMagick, LAME, FFmpeg and the other tools of
// tests/data/README.md, documents written by LibreOffice and zip, and camera raw files built in their makers' layouts
// (tests/formats/CameraRawBuilder.h), copied onto file systems made by their
// real tools and deleted there, are found by the volume's scan at their first
// cluster with their exact size, title and author, and recovering them
// writes them byte for byte.
//
// Each file-system case builds an image (SampleImages.h) and opens it with
// its reader; the files' first clusters are learned independently by
// looking for their bytes in the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "SampleImages.h"
#include "ScanTestSupport.h"
#include "common/TestUtil.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/surfacescan/ScanTypes.h"
#include "tests/formats/CameraRawBuilder.h"

using namespace scantest;

namespace {

struct FileSystemCase {
    std::string name;
    bool ntfs;
    uint32_t size;      // sectors per cluster (FAT32) or cluster size (NTFS)
    int imageSize;      // KiB (FAT32) or MiB (NTFS)
};

// A file a case places and must find.
struct Row {
    std::string name;
    Bytes bytes;
    std::u16string type, title, author;
};

// The samples, the documents of tests/data/documents (LibreOffice, zip),
// then one built raw file of each type.
std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (const Sample& s : Samples())
        rows.push_back({s.file, testutil::ReadFileBytes(DataDir() + "/" + s.file), s.type, s.title, s.author});
    const std::u16string report = u"Quarterly Report \u2013 Caf\u00e9", budget = u"Household Budget 2024";
    const struct {
        const char* file;
        std::u16string type, title, author;
    } documents[] = {
        {"report.docx", u"docx", report, u"Ada Lovelace"}, {"budget.xlsx", u"xlsx", budget, u"Charles Babbage"},
        {"slides.pptx", u"pptx", u"Launch Plan", u"Grace Hopper"}, {"archive.zip", u"zip", u"", u""},
        {"archive-streamed.zip", u"zip", u"", u""}, {"report.doc", u"doc", report, u"Ada Lovelace"},
        {"budget.xls", u"xls", budget, u"Charles Babbage"}, {"slides.ppt", u"ppt", u"Launch Plan", u"Grace Hopper"},
        {"report.pdf", u"pdf", report, u"Ada Lovelace"},
    };
    for (const auto& d : documents)
        rows.push_back({d.file, testutil::ReadFileBytes(DataDir() + "/documents/" + d.file), d.type, d.title, d.author});
    for (const CameraRawFile& f : CameraRawFiles()) rows.push_back({f.name, f.bytes, f.type, f.title, f.author});
    return rows;
}

std::unique_ptr<CVolume> Open(const FileSystemCase& fs, const std::string& path, std::string& error) {
    std::unique_ptr<CVolume> v;
    if (fs.ntfs) v = std::make_unique<CNtfsVolume>();
    else v = std::make_unique<CFatVolume>();
    if (v->Initialize(path)) return v;
    error = "Initialize: " + v->InitError();
    return nullptr;
}

std::vector<FileSystemCase> FileSystemCases() {
    return {
        {"Fat32Cluster512", false, 1, 40000},
        {"Fat32Cluster4096", false, 8, 280000},
        {"NtfsCluster4096", true, 4096, 32},
        // Samples smaller than a cluster, and clusters of 512 bytes that a file spans many of.
        {"NtfsCluster512", true, 512, 8},
        {"NtfsCluster65536", true, 65536, 64},
    };
}

void PrintTo(const FileSystemCase& c, std::ostream* os) { *os << c.name; }

class RealSamples : public ::testing::TestWithParam<FileSystemCase> {};

}  // namespace

TEST_P(RealSamples, DeletedSamplesAreFoundAtTheirFirstClusterWithTheirSizeAndRecoveredWhole) {
    const FileSystemCase& fs = GetParam();
    QUARLIX_REQUIRE(fs.ntfs ? HaveNtfsSampleTools() : HaveFatSampleTools(), "tools for " << fs.name << " not installed");
    testutil::TempDir dir;
    const std::vector<Row> rows = Rows();
    std::vector<ImageFile> files;
    for (const Row& r : rows) {
        files.push_back({r.name, dir.file(r.name)});
        testutil::WriteFileBytes(files.back().path, r.bytes);
    }
    const SampleImage image = fs.ntfs ? MakeNtfsImage(dir, fs.size, fs.imageSize, files)
                                      : MakeFat32Image(dir, static_cast<int>(fs.size), fs.imageSize, files);
    ASSERT_TRUE(image.ok()) << image.error;
    std::string error;
    std::unique_ptr<CVolume> volume = Open(fs, image.path, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_EQ(volume->ClusterSize(), image.clusterSize);

    ScanTypeSet types = AllTypes();
    RecordingCallback cb;
    ASSERT_TRUE(ScanClusters(*volume, types, &cb, nullptr));

    std::map<uint64_t, Found> byCluster;
    for (const Found& f : cb.found) byCluster[f.cluster] = f;
    // sample.jpg lies twice, deleted and as live.jpg, in the order the file system's allocator chose.
    const std::vector<uint64_t> jpgCopies =
        image.ClustersHolding(testutil::ReadFileBytes(DataDir() + "/sample.jpg"), 2);
    ASSERT_EQ(jpgCopies.size(), 2u);
    const uint64_t liveCluster = byCluster.count(jpgCopies[0]) ? jpgCopies[1] : jpgCopies[0];
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_FALSE(r.bytes.empty());
        const uint64_t cluster = r.name == "sample.jpg" ? jpgCopies[0] + jpgCopies[1] - liveCluster
                                                        : image.ClusterHolding(r.bytes);
        ASSERT_NE(cluster, UINT64_MAX) << "the sample is not stored contiguously in the image";
        auto it = byCluster.find(cluster);
        ASSERT_NE(it, byCluster.end()) << "not found at cluster " << cluster;
        EXPECT_EQ(it->second.type, r.type);
        EXPECT_EQ(it->second.size, r.bytes.size());
        EXPECT_EQ(Utf8(it->second.title), Utf8(r.title));
        EXPECT_EQ(Utf8(it->second.author), Utf8(r.author));

        std::u16string name;
        ASSERT_TRUE(MakeCarvedItemName(it->second.type, it->second.title, it->second.author, cluster, name));
        const std::string out = dir.file(Utf8(name));
        ASSERT_EQ(RecoverClusters(*volume, cluster, it->second.size, out, nullptr, nullptr), RecoverResult::Ok);
        EXPECT_TRUE(testutil::ReadFileBytes(out) == r.bytes) << "recovered bytes differ";
        byCluster.erase(it);
    }
    // live.jpg is in use: not a candidate. Nothing else is found.
    EXPECT_EQ(byCluster.count(liveCluster), 0u);
    EXPECT_TRUE(byCluster.empty()) << byCluster.size() << " unexpected hits, first at cluster "
                                   << byCluster.begin()->first;

    // Every cluster a candidate: the live copy is found too, and its clusters are skipped as a whole.
    types.allClusters = true;
    RecordingCallback all;
    ASSERT_TRUE(ScanClusters(*volume, types, &all, nullptr));
    std::map<uint64_t, Found> allByCluster;
    for (const Found& f : all.found) allByCluster[f.cluster] = f;
    ASSERT_EQ(allByCluster.count(liveCluster), 1u);
    EXPECT_EQ(allByCluster[liveCluster].size, 6835u);
    EXPECT_EQ(all.found.size(), cb.found.size() + 1) << "found with every cluster a candidate";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RealSamples, ::testing::ValuesIn(FileSystemCases()),
                         [](const ::testing::TestParamInfo<FileSystemCase>& p) { return p.param.name; });

// The NTFS walk ends with the device: an image cut short after the samples
// claims more clusters in its boot sector and bitmap than it holds, and the
// scan visits exactly the clusters that exist and still finds the samples.
TEST(NtfsScanWalk, ATruncatedImageIsWalkedToItsEndOnly) {
    QUARLIX_REQUIRE(HaveNtfsSampleTools(), "mkntfs or the fixture program not built");
    testutil::TempDir dir;
    SampleImage image = MakeNtfsSampleImage(dir, 4096, 32);
    ASSERT_TRUE(image.ok()) << image.error;
    const Bytes mp3 = testutil::ReadFileBytes(DataDir() + "/sample.mp3");
    const uint64_t mp3Cluster = image.ClusterHolding(mp3);
    ASSERT_NE(mp3Cluster, UINT64_MAX);

    CNtfsVolume whole;
    ASSERT_TRUE(whole.Initialize(image.path)) << whole.InitError();
    const ScanTypeSet freeOnly;
    RecordingCallback wholeCount;
    uint64_t free = 0;
    ASSERT_TRUE(CountScanClusters(whole, freeOnly, free, &wholeCount, nullptr));
    EXPECT_EQ(wholeCount.lastCountTotal, whole.TotalClusters());

    // Cut the image in the middle of the last (512-byte-sector) cluster past
    // the samples: that cluster cannot be read whole, so the walk ends before it.
    const uint64_t keepClusters = mp3Cluster + 20;
    ASSERT_LT(keepClusters + 1000, whole.TotalClusters());
    std::filesystem::resize_file(image.path, (keepClusters + 1) * 4096 - 512);
    CNtfsVolume cut;
    ASSERT_TRUE(cut.Initialize(image.path)) << cut.InitError();
    ASSERT_EQ(cut.TotalClusters(), whole.TotalClusters());
    RecordingCallback count;
    uint64_t candidates = 0;
    ASSERT_TRUE(CountScanClusters(cut, freeOnly, candidates, &count, nullptr));
    EXPECT_EQ(count.lastCountTotal, keepClusters);
    EXPECT_EQ(count.lastCountCurrent, keepClusters);
    EXPECT_LT(candidates, free);

    ScanTypeSet types = AllTypes();
    RecordingCallback scan;
    ASSERT_TRUE(ScanClusters(cut, types, &scan, nullptr));
    ASSERT_FALSE(scan.scanProgress.empty());
    EXPECT_EQ(scan.scanProgress.size(), keepClusters) << "one progress call per cluster that exists";
    EXPECT_EQ(scan.scanProgress.back(), candidates);
    bool mp3Found = false;
    for (const Found& f : scan.found) mp3Found |= f.cluster == mp3Cluster && f.size == mp3.size();
    EXPECT_TRUE(mp3Found);

    // A boot sector claiming 2^40 sectors changes nothing: the device still ends the walk.
    testutil::PatchFile(image.path, 0x28, {0, 0, 0, 0, 0, 1, 0, 0});
    CNtfsVolume huge;
    ASSERT_TRUE(huge.Initialize(image.path)) << huge.InitError();
    ASSERT_EQ(huge.TotalClusters(), (uint64_t(1) << 40) / 8);
    RecordingCallback hugeCount;
    uint64_t hugeCandidates = 0;
    ASSERT_TRUE(CountScanClusters(huge, freeOnly, hugeCandidates, &hugeCount, nullptr));
    EXPECT_EQ(hugeCount.lastCountTotal, keepClusters);
    EXPECT_EQ(hugeCandidates, candidates);
}
