// The NTFS reader on public images made by Windows (shared test data), with
// Sleuth Kit's output as ground truth.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
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
    // (Their deleted records, names and sizes against fls: DeletedCensusTest.)
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

// dfirntfs-ntfs_index: fls lists two names from $I30 slack with no record
// (address 0). BBBBBBBBBBBBB-del.txt in test_dir is a deleted file whose
// entry header is gone: it is listed, marked as from index slack, with the
// key's size and times and no data. The other, "AAAA…A - Copy (11).txt" in
// the root, is a copy of the live file of that name (record 64), left
// behind when the root's index moved its entries: its key has record 64's
// creation time to the 100 ns. It is no deleted file and is not listed.
TEST(NtfsSharedDataTest, NamesLeftInIndexSlack) {
    std::string image = DataFile("dfirntfs-ntfs_index.raw");
    QUARLIX_REQUIRE(!image.empty(), "shared test data absent");
    CNtfsVolume v;
    v.SetSourceWindow(65536, 0);
    ASSERT_TRUE(v.Initialize(image)) << v.InitError();
    ASSERT_TRUE(v.BuildIndex(nullptr));
    std::map<std::u16string, FileItemInfo> found;
    for (const char16_t* folder : {u"C:\\", u"C:\\test_dir"}) {
        std::unique_ptr<IEnumDeletedFiles> e;
        ASSERT_TRUE(v.EnumDeletedFilesByPath(folder, e) && e) << Utf16ToUtf8(folder);
        FileItemInfo info;
        while (e->Next(info, false)) found[folder + (u"\\" + info.name)] = info;
    }
    ASSERT_EQ(found.size(), 1u);
    const FileItemInfo& b = found.begin()->second;
    EXPECT_EQ(found.begin()->first, u"C:\\test_dir\\BBBBBBBBBBBBB-del.txt");
    EXPECT_EQ(b.nameState, NameState::IndexSlack);
    EXPECT_EQ(b.dataStatus, 100);
    EXPECT_EQ(b.modificationTime / 10000000 / 86400 / 365 + 1601, 2019u);  // about 2019
    // The same through the id; no data to open.
    FileItemInfo byId;
    ASSERT_TRUE(v.GetFileInfo(b.id, true, byId));
    EXPECT_EQ(byId.name, b.name);
    std::unique_ptr<IGenericFile> data;
    EXPECT_FALSE(v.OpenFile(b.id, data));
    // The live file the root's leftover copies: record 64, its creation time.
    const uint32_t live = v.ResolvePath(u"C:\\" + std::u16string(120, u'A') + u" - Copy (11).txt");
    ASSERT_EQ(live, 64u);
    FileItemInfo liveInfo;
    ASSERT_TRUE(v.GetFileInfo(live, false, liveInfo));
    EXPECT_EQ(liveInfo.creationTime, 0x1d5077ba13c816full);
}
