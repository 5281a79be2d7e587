// Documents written by LibreOffice and archives written by zip
// (tests/data/documents), copied onto FAT32 images by mtools and onto NTFS
// images by libntfs-3g and deleted there, are found by their provider at
// their first cluster with their exact size, their type, and the title and
// author of their properties; on NTFS the whole scan finds them and
// recovering them writes them byte for byte.
#include <gtest/gtest.h>

#include <map>

#include "DocumentTestSupport.h"
#include "common/TestUtil.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/ScanTypes.h"

using namespace doctest;

namespace {

struct RealDocument {
    std::string file;
    DetectFn detect;
    std::u16string type;
    std::string title, author;  // UTF-8
};

const std::vector<RealDocument>& Documents() {
    static const std::vector<RealDocument> d = {
        {"report.docx", ZIPContainerProviderDetect, u"docx", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
        {"budget.xlsx", ZIPContainerProviderDetect, u"xlsx", "Household Budget 2024", "Charles Babbage"},
        {"slides.pptx", ZIPContainerProviderDetect, u"pptx", "Launch Plan", "Grace Hopper"},
        {"archive.zip", ZIPContainerProviderDetect, u"zip", "", ""},
        {"archive-streamed.zip", ZIPContainerProviderDetect, u"zip", "", ""},
        {"report.doc", MSCompoundDocumentProviderDetect, u"doc", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
        {"budget.xls", MSCompoundDocumentProviderDetect, u"xls", "Household Budget 2024", "Charles Babbage"},
        {"slides.ppt", MSCompoundDocumentProviderDetect, u"ppt", "Launch Plan", "Grace Hopper"},
        {"report.pdf", PDFProviderDetect, u"pdf", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
    };
    return d;
}

std::vector<std::string> DocumentPaths() {
    std::vector<std::string> paths;
    for (const RealDocument& d : Documents()) paths.push_back(DocumentsDir() + "/" + d.file);
    return paths;
}

class RealDocumentsOnFat32 : public testing::TestWithParam<int> {};
class RealDocumentsOnNtfs : public testing::TestWithParam<int> {};

struct Found {
    std::u16string type, title, author;
    uint64_t size = 0;
};

// Every file the scan reports, by start cluster.
struct FoundByCluster : ISurfaceScanCallback {
    std::map<uint64_t, Found> found;
    uint64_t duplicates = 0;
    WalkResult OnCountProgress(uint64_t, uint64_t) override { return WalkResult::Continue; }
    WalkResult OnScanProgress(uint64_t) override { return WalkResult::Continue; }
    WalkResult OnFileFound(const std::u16string& type, const std::u16string& title, const std::u16string& author,
                     uint64_t cluster, uint64_t size) override {
        duplicates += found.count(cluster);
        found[cluster] = Found {type, title, author, size};
        return WalkResult::Continue;
    }
};

}  // namespace

TEST_P(RealDocumentsOnFat32, FoundAfterDeletion) {
    QUARLIX_REQUIRE(HaveFatTools(), "mkfs.fat and mtools are needed");
    DeletedFilesImage image(DocumentPaths(), GetParam());
    ASSERT_TRUE(image.ok());
    const ScanTypeSet all = AllDocumentTypes();
    for (const RealDocument& d : Documents()) {
        SCOPED_TRACE(d.file);
        const std::string path = DocumentsDir() + "/" + d.file;
        const uint64_t size = testutil::ReadFileBytes(path).size();
        ASSERT_GT(size, 0u);
        const uint64_t cluster = image.FirstCluster(path);
        const Hit h = DetectOn(d.detect, image.volume(), cluster, &all);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, size);
        EXPECT_EQ(h.type, d.type);
        EXPECT_EQ(Utf8(h.title), d.title);
        EXPECT_EQ(Utf8(h.author), d.author);
        // The cluster after the first is no document start.
        EXPECT_FALSE(DetectOn(d.detect, image.volume(), cluster + 1, &all).found);
    }
}

// Clusters of 512 and 4,096 bytes.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, RealDocumentsOnFat32, testing::Values(1, 8),
                         [](const testing::TestParamInfo<int>& i) { return "Sectors" + std::to_string(i.param); });

TEST_P(RealDocumentsOnNtfs, FoundByTheScanAfterDeletionAndRecoveredWhole) {
    QUARLIX_REQUIRE(HaveNtfsTools(), "mkntfs, istat (sleuthkit) and ntfs-fixture are needed");
    DeletedFilesNtfsImage image(DocumentPaths(), GetParam());
    ASSERT_TRUE(image.ok());
    ASSERT_EQ(image.volume().ClusterSize(), static_cast<uint32_t>(GetParam()));

    // The whole scan over the free clusters, every document type enabled.
    ScanTypeSet types = RegisteredDocumentTypes();
    FoundByCluster cb;
    ASSERT_TRUE(ScanClusters(image.volume(), types, &cb, nullptr));
    EXPECT_EQ(cb.duplicates, 0u);

    testutil::TempDir out;
    for (const RealDocument& d : Documents()) {
        SCOPED_TRACE(d.file);
        const std::string path = DocumentsDir() + "/" + d.file;
        const Bytes want = testutil::ReadFileBytes(path);
        ASSERT_FALSE(want.empty());
        ASSERT_TRUE(image.Contiguous(path)) << "libntfs-3g stored the copy in pieces: it cannot be carved whole";
        const uint64_t cluster = image.FirstCluster(path);
        auto it = cb.found.find(cluster);
        ASSERT_NE(it, cb.found.end()) << "not found at cluster " << cluster;
        EXPECT_EQ(it->second.size, want.size());
        EXPECT_EQ(it->second.type, d.type);
        EXPECT_EQ(Utf8(it->second.title), d.title);
        EXPECT_EQ(Utf8(it->second.author), d.author);

        // Recovered under the name the result list shows, byte for byte.
        std::u16string name;
        ASSERT_TRUE(MakeCarvedItemName(it->second.type, it->second.title, it->second.author, cluster, name));
        EXPECT_NE(Utf8(name).find(std::string("(").append(std::to_string(cluster)).append(").").append(Utf8(d.type))),
                  std::string::npos);
        const std::string recovered = out.file(Utf8(name));
        ASSERT_EQ(RecoverClusters(image.volume(), cluster, it->second.size, recovered, nullptr, nullptr), RecoverResult::Ok);
        EXPECT_TRUE(testutil::ReadFileBytes(recovered) == want) << "recovered bytes differ";
        cb.found.erase(it);
    }
    // The spacers are random bytes in use and the rest of the free space is
    // zeros: nothing else is a document.
    EXPECT_TRUE(cb.found.empty()) << cb.found.size() << " unexpected hits, first at cluster "
                                  << cb.found.begin()->first << " as " << Utf8(cb.found.begin()->second.type);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, RealDocumentsOnNtfs, testing::Values(512, 4096),
                         [](const testing::TestParamInfo<int>& i) { return "Cluster" + std::to_string(i.param); });

// Whole, each is taken by its own provider only, and not once the stop flag is raised.
TEST(RealDocuments, OnlyTheirOwnProviderTakesThemAndARaisedStopFlagRejectsThem) {
    const ScanTypeSet all = AllDocumentTypes();
    const DetectFn providers[] = {ZIPContainerProviderDetect, MSCompoundDocumentProviderDetect, PDFProviderDetect,
                                  PSTProviderDetect};
    for (const RealDocument& d : Documents()) {
        SCOPED_TRACE(d.file);
        const Bytes bytes = testutil::ReadFileBytes(DocumentsDir() + "/" + d.file);
        for (DetectFn p : providers) EXPECT_EQ(Detect(p, bytes, &all).found, p == d.detect);
        ByteVolume v(bytes);
        const StopFlag stop {1};
        EXPECT_FALSE(DetectOn(d.detect, v.volume(), 0, &all, &stop).found);
    }
}
