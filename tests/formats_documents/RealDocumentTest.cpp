// Documents written by LibreOffice and archives written by zip
// (tests/data/documents): each is taken by its own provider only, at its
// start and not one cluster later, and not once the stop flag is raised. Found
// on FAT32 and NTFS after deletion with their size, type, title and author
// and recovered whole: RealSamples (tests/surfacescan).
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"
#include "common/TestUtil.h"

using namespace doctest;

TEST(RealDocuments, OnlyTheirOwnProviderTakesThemAtTheirStartAndARaisedStopFlagRejectsThem) {
    const struct {
        const char* file;
        DetectFn detect;
    } documents[] = {
        {"report.docx", ZIPContainerProviderDetect},       {"budget.xlsx", ZIPContainerProviderDetect},
        {"slides.pptx", ZIPContainerProviderDetect},       {"archive.zip", ZIPContainerProviderDetect},
        {"archive-streamed.zip", ZIPContainerProviderDetect}, {"report.doc", MSCompoundDocumentProviderDetect},
        {"budget.xls", MSCompoundDocumentProviderDetect},  {"slides.ppt", MSCompoundDocumentProviderDetect},
        {"report.pdf", PDFProviderDetect},
    };
    const ScanTypeSet all = AllDocumentTypes();
    const DetectFn providers[] = {ZIPContainerProviderDetect, MSCompoundDocumentProviderDetect, PDFProviderDetect,
                                  PSTProviderDetect};
    for (const auto& d : documents) {
        SCOPED_TRACE(d.file);
        const Bytes bytes = testutil::ReadFileBytes(DocumentsDir() + "/" + d.file);
        ASSERT_FALSE(bytes.empty());
        for (DetectFn p : providers) EXPECT_EQ(Detect(p, bytes, &all).found, p == d.detect);
        ByteVolume v(bytes);
        // The cluster after the first (512 or 4,096 bytes in) is no document start.
        for (uint64_t unit : {1, 8}) EXPECT_FALSE(DetectOn(d.detect, v.volume(), unit, &all).found) << unit;
        const StopFlag stop {1};
        EXPECT_FALSE(DetectOn(d.detect, v.volume(), 0, &all, &stop).found);
    }
}
