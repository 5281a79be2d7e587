// The NTFS reader on public images made by Windows (shared test data), with
// Sleuth Kit's output as ground truth.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "common/TestUtil.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/Text.h"
#include <sstream>

using testutil::MustRun;
using testutil::Quote;

namespace {

std::string DataFile(const std::string& name) {
    std::string dir = testutil::SharedTestData();
    if (dir.empty()) return {};
    std::string p = dir + "/" + name;
    return std::filesystem::exists(p) ? p : std::string();
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Field(const std::string& text, const std::string& re) {
    std::smatch m;
    std::regex r(re);
    return std::regex_search(text, m, r) ? m[1].str() : std::string();
}

// Every record with an unnamed $DATA (live or deleted) reads as icat reads it.
void CompareAllWithIcat(CNtfsVolume& v, const std::string& image, const std::string& icatOptions) {
    int compared = 0;
    for (uint32_t n = 0; n < v.MftRecordCount(); ++n) {
        if (n == 8) continue;  // $BadClus: its $Bad stream spans the volume
        CNtfsFile f;
        if (!f.OpenRecord(&v, n, false) || !f.FindAttribute(kAttrData, u"")) continue;
        if (f.FindAttribute(kAttrData) != f.FindAttribute(kAttrData, u"")) continue;  // a named stream comes first
        SCOPED_TRACE(n);
        std::vector<uint8_t> ours(f.GetSize());
        uint32_t got = 0;
        ASSERT_TRUE(f.Rewind());
        if (!ours.empty()) {
            ASSERT_TRUE(f.Read(ours.data(), static_cast<uint32_t>(ours.size()), got));
            ASSERT_EQ(got, ours.size());
        }
        auto r = testutil::Run("icat " + icatOptions + " " + Quote(image) + " " + std::to_string(n) + " 2>/dev/null");
        EXPECT_TRUE(std::vector<uint8_t>(r.out.begin(), r.out.end()) == ours);
        ++compared;
    }
    EXPECT_GT(compared, 10);
}

void CheckFacts(CNtfsVolume& v, const std::string& fsstat) {
    EXPECT_EQ(std::to_string(v.ClusterSize()), Field(fsstat, "Cluster Size: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v.SectorSize()), Field(fsstat, "Sector Size: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v.MftRecordSize()), Field(fsstat, "Size of MFT Entries: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v.MftStartCluster()), Field(fsstat, "First Cluster of MFT: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v.TotalClusters() - 1), Field(fsstat, "Total Cluster Range: 0 - ([0-9]+)"));
    EXPECT_EQ(v.VolumeLabelUtf8(), Field(fsstat, "Volume Name: ([^\n]*)"));
    char serial[32];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(v.SerialNumber()));
    EXPECT_EQ(serial, Field(fsstat, "Volume Serial Number: ([0-9A-F]+)"));
}

}  // namespace

TEST(NtfsSharedDataTest, WindowsXpImagesReadAsSleuthKitReadsThem) {
    for (const char* name : {"dftt-7-ntfs-undel.dd", "dftt-8-jpeg-search.dd"}) {
        SCOPED_TRACE(name);
        std::string image = DataFile(name);
        QUARLIX_REQUIRE(!image.empty(), "shared test data absent");
        CNtfsVolume v;
        ASSERT_TRUE(v.Initialize(image)) << v.InitError();
        CheckFacts(v, ReadText(image + ".fsstat.txt"));
        CompareAllWithIcat(v, image, "");
    }
    // Known records of dftt-7: the deleted resident file and paths through folders.
    std::string image = DataFile("dftt-7-ntfs-undel.dd");
    CNtfsVolume v;
    ASSERT_TRUE(v.Initialize(image));
    CNtfsFile res;
    ASSERT_TRUE(res.OpenRecord(&v, 37, false));
    EXPECT_FALSE(res.IsInUse());
    EXPECT_EQ(res.GetName(), u"res1.dat");
    EXPECT_EQ(res.GetSize(), 101u);
}

TEST(NtfsSharedDataTest, PartitionedImageResolvesItsLiveNames) {
    std::string image = DataFile("dfirntfs-ntfs_index.raw");
    QUARLIX_REQUIRE(!image.empty(), "shared test data absent");
    CNtfsVolume v;
    v.SetSourceWindow(65536, 0);
    ASSERT_TRUE(v.Initialize(image)) << v.InitError();
    CheckFacts(v, ReadText(image + ".fsstat.txt"));
    EXPECT_EQ(v.VolumeLabelUtf8(), "Test index");
    // Every allocated regular file of fls' listing resolves to its record.
    std::istringstream in(ReadText(image + ".fls-all.txt"));
    std::string line;
    std::regex re(R"(^r/r ([0-9]+)-128-[0-9]+:\t([^\t]+)\t)");
    int resolved = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, re)) continue;
        std::string path = m[2].str();
        if (path.find(':') != std::string::npos || path.find("$OrphanFiles") != std::string::npos) continue;
        std::u16string p = u"C:\\";
        for (char16_t c : Utf8ToUtf16(path)) p += c == u'/' ? u'\\' : c;
        SCOPED_TRACE(path);
        EXPECT_EQ(v.ResolvePath(p), std::stoul(m[1].str()));
        ++resolved;
    }
    EXPECT_GT(resolved, 10);
    CompareAllWithIcat(v, image, "-o 128");
}

TEST(NtfsSharedDataTest, MftExtractRunListsOfCompressedAndSparseFiles) {
    std::string mft = DataFile("mft-only/dfirntfs-compressed_sparse.mft");
    std::string host = DataFile("dftt-7-ntfs-undel.dd");
    QUARLIX_REQUIRE(!mft.empty() && !host.empty(), "shared test data absent");
    CNtfsVolume v;  // only lends its geometry (1024-byte records, 512-byte sectors)
    ASSERT_TRUE(v.Initialize(host));
    ASSERT_EQ(v.MftRecordSize(), 1024u);
    auto bytes = testutil::ReadFileBytes(mft);
    bool sawCompressed = false, sawSparse = false;
    for (size_t n = 0; n + 1024 <= bytes.size(); n += 1024) {
        CNtfsFile f;
        if (!f.InitializeFromBuffer(&v, bytes.data() + n, static_cast<uint32_t>(n / 1024), false)) continue;
        CNtfsFileAttr* d = f.FindAttribute(kAttrData, u"");
        if (!d) continue;
        if (f.GetName() == u"compressed.txt") {
            sawCompressed = true;
            EXPECT_EQ(d->RealSize(), 22308u);
            EXPECT_NE(d->CompressionUnit(), 0);
            bool hole = false;
            for (const auto& e : d->Extents()) hole |= e.lcn < 0;
            EXPECT_TRUE(hole);
        }
        if (f.GetName() == u"sparse") {
            sawSparse = true;
            EXPECT_EQ(d->RealSize(), 1048582u);
            bool hole = false;
            for (const auto& e : d->Extents()) hole |= e.lcn < 0;
            EXPECT_TRUE(hole);
        }
    }
    EXPECT_TRUE(sawCompressed);
    EXPECT_TRUE(sawSparse);
}
