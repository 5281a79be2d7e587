// JPEGs written in two pieces with other bytes between (SampleImages.h:
// gaps of 1, 17 and 500 clusters of a deleted file's random bytes, a PNG
// between the pieces, a frame with a restart marker after every MCU, the
// pieces in reverse order) on a FAT32 image made by mkfs.fat and mtools,
// and a gap of 17 clusters on an NTFS image (4 KiB clusters) made by mkntfs
// and the fixture program.
// The scan-then-recover pipeline the command line's `scan --to` runs finds
// each in-order JPEG as its two extents and writes it byte for byte; the
// PNG between is found too, no two finds share a cluster, and reversed
// pieces are not put together (the walk looks for a continuation after
// the first piece only); a first piece whose rest is nowhere is kept as
// found, cut before the PNG written after it. The preview's readers follow
// both pieces too.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "SampleImages.h"
#include "ScanTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/formats/JpegScanCheck.h"
#include "engine/recovery/Preview.h"
#include "engine/surfacescan/ScanRecoverJob.h"

using namespace scantest;

namespace {

class MemoryBytes final : public IJpegBytes {
public:
    explicit MemoryBytes(const std::vector<uint8_t>& b) : m_bytes(b) {}
    bool Bytes(uint64_t offset, const uint8_t*& data, size_t& n) override {
        if (offset >= m_bytes.size()) return false;
        data = m_bytes.data() + offset;
        n = m_bytes.size() - static_cast<size_t>(offset);
        return true;
    }

private:
    const std::vector<uint8_t>& m_bytes;
};

class SplitJpegs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testutil::TempDir();
        s_ntfsDir = new testutil::TempDir();
        if (HaveFatSampleTools()) s_image = new SampleImage(MakeSplitJpegImage(*s_dir));
        if (HaveNtfsSampleTools()) s_ntfs = new SampleImage(MakeSplitJpegImage(*s_ntfsDir, true));
    }
    static void TearDownTestSuite() {
        delete s_image;
        delete s_ntfs;
        delete s_dir;
        delete s_ntfsDir;
        s_image = s_ntfs = nullptr;
        s_dir = s_ntfsDir = nullptr;
    }
    static testutil::TempDir *s_dir, *s_ntfsDir;
    static SampleImage* s_image;
    static SampleImage* s_ntfs;
    static void ScanAndCheck(const SampleImage& image, bool ntfs);
};

testutil::TempDir* SplitJpegs::s_dir = nullptr;
testutil::TempDir* SplitJpegs::s_ntfsDir = nullptr;
SampleImage* SplitJpegs::s_image = nullptr;
SampleImage* SplitJpegs::s_ntfs = nullptr;

std::unique_ptr<CVolume> OpenSplitImage(const SampleImage& image, bool ntfs) {
    std::unique_ptr<CVolume> v;
    if (ntfs) v = std::make_unique<CNtfsVolume>();
    else v = std::make_unique<CFatVolume>();
    EXPECT_TRUE(v->Initialize(image.path)) << v->InitError();
    return v;
}

}  // namespace

TEST(JpegScanCheck, WholeFilesPassAndACutOrAForeignClusterFailsNearIt) {
    for (const char* name : {"sample.jpg", "split.jpg", "split-restart.jpg"}) {
        SCOPED_TRACE(name);
        const Bytes file = testutil::ReadFileBytes(DataDir() + "/" + name);
        CJpegScanCheck check;
        ASSERT_TRUE(check.Parse(file.data(), file.size()));
        MemoryBytes whole(file);
        CJpegScanCheck::State s = check.Start();
        const CJpegScanCheck::Result ok = check.Run(s, whole);
        EXPECT_EQ(ok.outcome, CJpegScanCheck::Outcome::Ok);
        EXPECT_EQ(ok.at, file.size());
        // 512 random bytes in the middle of the data: the fault is seen in them
        // or in the 512 bytes after.
        Bytes spliced = file;
        const size_t middle = file.size() / 2;
        const Bytes noise = testutil::PatternBytes(512, 7);
        std::copy(noise.begin(), noise.end(), spliced.begin() + static_cast<std::ptrdiff_t>(middle));
        MemoryBytes broken(spliced);
        s = check.Start();
        const CJpegScanCheck::Result bad = check.Run(s, broken);
        EXPECT_EQ(bad.outcome, CJpegScanCheck::Outcome::Fault);
        EXPECT_GE(bad.at, middle);
        EXPECT_LE(bad.at, middle + 1024);
        // Cut short anywhere: no header past the cut, never a whole file, never
        // a position past the bytes.
        for (size_t n = 0; n < file.size(); n += 61) {
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
            CJpegScanCheck shortCheck;
            if (!shortCheck.Parse(cut.data(), cut.size())) continue;
            EXPECT_LE(shortCheck.EntropyStart(), n);
            MemoryBytes shorter(cut);
            s = shortCheck.Start();
            const CJpegScanCheck::Result r = shortCheck.Run(s, shorter);
            EXPECT_EQ(r.outcome, CJpegScanCheck::Outcome::Fault) << n;
            EXPECT_LE(r.at, n);
        }
    }
}

TEST_F(SplitJpegs, PiecesInOrderAreRejoinedAndRecoveredWholeOthersKeptApart) {
    QUARLIX_REQUIRE(s_image, "mkfs.fat and mtools not installed");
    {
        SCOPED_TRACE("FAT32");
        ScanAndCheck(*s_image, false);
    }
    QUARLIX_REQUIRE(s_ntfs, "mkntfs or the fixture program not built");
    SCOPED_TRACE("NTFS");
    ScanAndCheck(*s_ntfs, true);
}

// The cases of one image: its volume scanned and recovered by the pipeline.
void SplitJpegs::ScanAndCheck(const SampleImage& image, bool ntfs) {
    ASSERT_TRUE(image.ok()) << image.error;
    const std::unique_ptr<CVolume> opened = OpenSplitImage(image, ntfs);
    CVolume& volume = *opened;
    const uint64_t unit = ntfs ? 4096 : 512;
    ASSERT_EQ(volume.ClusterSize(), unit);
    const ScanTypeSet types = TypesOf({u"jpg", u"png"});
    testutil::TempDir out;
    CJobEventQueue<ScanRecoverEvent> events;
    CScanRecoverJob pipeline(volume, types, out.path().string(), &events);
    ASSERT_TRUE(pipeline.Start());
    pipeline.Wait();
    ASSERT_TRUE(pipeline.Outcome().completed());
    std::map<uint64_t, CarvedItem> found;
    std::map<uint64_t, RecoverItemRecord> recovered;
    for (ScanRecoverEvent& e : events.Take()) {
        if (e.kind == ScanRecoverEvent::Kind::Found)
            found[e.item.startCluster] = e.item;
        else
            recovered[e.record.id] = e.record;
    }
    // No cluster is given to two finds.
    std::map<uint64_t, uint64_t> owner;
    for (const auto& [cluster, item] : found) {
        for (const ClusterExtent& e : ExtentsOf(item.fragments, item.startCluster, item.size)) {
            for (uint64_t k = 0; k < (e.bytes + unit - 1) / unit; ++k)
                EXPECT_TRUE(owner.emplace(e.cluster + k, cluster).second)
                    << "cluster " << e.cluster + k << " of the find at " << cluster << " belongs to the find at "
                    << owner[e.cluster + k];
        }
    }
    for (SplitJpeg c : SplitJpegCases()) {
        if (c.ntfs != ntfs) continue;
        SCOPED_TRACE(c.name);
        c.first += image.pieceBase;
        if (c.second != 0) c.second += image.pieceBase;
        const Bytes file = testutil::ReadFileBytes(DataDir() + "/" + c.file);
        const uint64_t head = c.firstClusters * unit;
        const auto it = found.find(c.first);
        if (!c.inOrder) {
            // Not put together: at most the first piece as found on its own,
            // cut before a find after it.
            if (it != found.end()) {
                EXPECT_TRUE(it->second.fragments.empty());
                if (!c.between.empty()) {
                    EXPECT_EQ(it->second.size, head);
                }
            }
            if (c.second != 0) {
                EXPECT_EQ(found.count(c.second), 0u);
            }
        }
        if (!c.between.empty()) {
            const Bytes other = testutil::ReadFileBytes(DataDir() + "/" + c.between);
            const auto between = found.find(c.first + c.firstClusters);
            ASSERT_NE(between, found.end());
            EXPECT_EQ(between->second.size, other.size());
            EXPECT_TRUE(between->second.fragments.empty());
        }
        if (!c.inOrder) continue;
        ASSERT_NE(it, found.end());
        const CarvedItem& item = it->second;
        EXPECT_EQ(item.size, file.size());
        const ClusterExtents want {{c.first, head}, {c.second, file.size() - head}};
        EXPECT_EQ(item.fragments, want);
        const auto rec = recovered.find(c.first);
        ASSERT_NE(rec, recovered.end());
        EXPECT_STREQ(RecoverStatusName(rec->second), "ok") << rec->second.status;
        EXPECT_EQ(testutil::ReadFileBytes(rec->second.path), file);
        // The preview, thumbnail and hex view read the same two pieces.
        preview::PreviewItem p;
        p.carved = true;
        p.size = item.size;
        p.firstCluster = item.startCluster;
        p.fragments = item.fragments;
        std::vector<uint8_t> whole;
        ASSERT_TRUE(preview::ReadCarved(volume, p, whole));
        EXPECT_EQ(whole, file);
        preview::CItemBytes hex;
        std::string why;
        ASSERT_TRUE(hex.Open(volume, p, why)) << why;
        std::vector<uint8_t> joint;
        hex.Read(head - 100, 300, joint);
        EXPECT_EQ(joint, Bytes(file.begin() + static_cast<std::ptrdiff_t>(head) - 100,
                               file.begin() + static_cast<std::ptrdiff_t>(head) + 200));
    }
}
