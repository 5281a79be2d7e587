// Documents written by LibreOffice and archives written by zip
// (tests/data/documents), copied onto FAT32 images by mtools and deleted
// there, are found by their provider at their first cluster with their
// exact size, their type and the title composed from their properties.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"

using namespace doctest;

namespace {

struct RealDocument {
    std::string file;
    DetectFn detect;
    std::u16string type;
    std::string title;  // UTF-8
};

const std::vector<RealDocument>& Documents() {
    static const std::vector<RealDocument> d = {
        {"report.docx", ZIPContainerProviderDetect, u"docx", "Ada Lovelace - Quarterly Report \u2013 Caf\u00e9"},
        {"budget.xlsx", ZIPContainerProviderDetect, u"xlsx", "Charles Babbage - Household Budget 2024"},
        {"slides.pptx", ZIPContainerProviderDetect, u"pptx", "Grace Hopper - Launch Plan"},
        {"archive.zip", ZIPContainerProviderDetect, u"zip", ""},
        {"archive-streamed.zip", ZIPContainerProviderDetect, u"zip", ""},
        {"report.doc", MSCompoundDocumentProviderDetect, u"doc", "Ada Lovelace - Quarterly Report \u2013 Caf\u00e9"},
        {"budget.xls", MSCompoundDocumentProviderDetect, u"xls", "Charles Babbage - Household Budget 2024"},
        {"slides.ppt", MSCompoundDocumentProviderDetect, u"ppt", "Grace Hopper - Launch Plan"},
        // PDFs report their /Title alone.
        {"report.pdf", PDFProviderDetect, u"pdf", "Quarterly Report \u2013 Caf\u00e9"},
    };
    return d;
}

class RealDocumentsOnFat32 : public testing::TestWithParam<int> {};

}  // namespace

TEST_P(RealDocumentsOnFat32, FoundAfterDeletion) {
    if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
    std::vector<std::string> paths;
    for (const RealDocument& d : Documents()) paths.push_back(DocumentsDir() + "/" + d.file);
    DeletedFilesImage image(paths, GetParam());
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
        EXPECT_EQ(h.author, u"");
        // The cluster after the first is no document start.
        EXPECT_FALSE(DetectOn(d.detect, image.volume(), cluster + 1, &all).found);
    }
}

// Clusters of 512 and 4,096 bytes.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, RealDocumentsOnFat32, testing::Values(1, 8),
                         [](const testing::TestParamInfo<int>& i) { return "Sectors" + std::to_string(i.param); });

TEST(RealDocuments, OnlyTheirOwnProviderTakesThem) {
    const ScanTypeSet all = AllDocumentTypes();
    const DetectFn providers[] = {ZIPContainerProviderDetect, MSCompoundDocumentProviderDetect, PDFProviderDetect,
                                  PSTProviderDetect};
    for (const RealDocument& d : Documents()) {
        const Bytes bytes = testutil::ReadFileBytes(DocumentsDir() + "/" + d.file);
        for (DetectFn p : providers) {
            if (p == d.detect) continue;
            EXPECT_FALSE(Detect(p, bytes, &all).found) << d.file;
        }
    }
}
