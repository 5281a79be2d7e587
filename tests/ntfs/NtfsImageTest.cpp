// The NTFS reader against images made by mkntfs and libntfs-3g (through
// tools/ntfs-fixture), with Sleuth Kit as the independent reader.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "FixturePattern.h"
#include "NtfsTestSupport.h"
#include "common/TestUtil.h"
#include "app/Log.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "platform/Text.h"

using namespace ntfstest;
using testutil::MustRun;
using testutil::Quote;

namespace {

const char* kScript = R"(fragment /frag.bin random:4 2000000 4096
mkdir /docs/sub
text /docs/readme.txt "hello world\n"
stream /docs/readme.txt:ads random:9 5000
write /docs/sub/random.bin random:1 100000
write /docs/initsize.bin random:2 100000
setinit /docs/initsize.bin 50000
compress-dir /comp
write /comp/text.txt text:7 300000
write /comp/rand.bin random:8 70000
sparse /sparse.bin random:3 1000000 0:5000,600000:70000
write "/docs/École ÉTÉ 😀.txt" random:5 777
write /docs/empty.txt zero 0
write /gone.bin random:6 20000
many /big 5000 f
delete /gone.bin
)";

std::vector<uint8_t> Pat(const char* pattern, uint64_t offset, size_t n) {
    fixture::Pattern p;
    fixture::Pattern::Parse(pattern, p);
    return p.Bytes(offset, n);
}

// What each live file of the fixture holds.
std::map<std::string, std::vector<uint8_t>> ExpectedFiles() {
    std::map<std::string, std::vector<uint8_t>> m;
    m["/docs/readme.txt"] = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    m["/docs/sub/random.bin"] = Pat("random:1", 0, 100000);
    auto init = Pat("random:2", 0, 100000);
    std::fill(init.begin() + 50000, init.end(), 0);
    m["/docs/initsize.bin"] = init;
    m["/comp/text.txt"] = Pat("text:7", 0, 300000);
    m["/comp/rand.bin"] = Pat("random:8", 0, 70000);
    std::vector<uint8_t> sparse(1000000, 0);
    auto a = Pat("random:3", 0, 5000);
    std::copy(a.begin(), a.end(), sparse.begin());
    auto b = Pat("random:3", 600000, 70000);
    std::copy(b.begin(), b.end(), sparse.begin() + 600000);
    m["/sparse.bin"] = sparse;
    m["/docs/École ÉTÉ 😀.txt"] = Pat("random:5", 0, 777);
    m["/docs/empty.txt"] = {};
    m["/frag.bin"] = Pat("random:4", 0, 2000000);
    return m;
}

std::vector<uint8_t> ReadAllThrough(IGenericFile& f, uint32_t step, bool& ok) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(step);
    ok = f.Rewind();
    for (int guard = 0; ok && guard < 1 << 22; ++guard) {
        uint32_t got = 0;
        if (!f.Read(buf.data(), step, got)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    return out;
}

class CountingCallback : public ISurfaceScanCallback {
public:
    WalkResult OnCountProgress(uint64_t current, uint64_t total) override {
        last = current;
        this->total = total;
        return WalkResult::Continue;
    }
    WalkResult OnScanProgress(uint64_t) override { return WalkResult::Continue; }
    WalkResult OnFileFound(const std::u16string&, const std::u16string&, const std::u16string&, uint64_t,
                     uint64_t) override {
        return WalkResult::Continue;
    }
    uint64_t last = 0, total = 0;
};

}  // namespace

class NtfsImageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testutil::TempDir();
        s_image = s_dir->file("fixture.img");
        std::string fixture = testutil::BinDir() + "/ntfs-fixture";
        std::string script = s_dir->file("script.txt");
        std::ofstream(script) << kScript;
        auto r = testutil::Run("truncate -s 64M " + Quote(s_image) + " && mkntfs -F -f -q -L 'Quarlix Test' " +
                               Quote(s_image) + " >/dev/null 2>&1 && " + Quote(fixture) + " " + Quote(s_image) +
                               " - < " + Quote(script));
        if (r.exitCode != 0) {
            s_error = "fixture build failed: " + r.out;
            return;
        }
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            size_t sp = line.find(' ');
            if (sp == std::string::npos || line.find(" (deleted)") != std::string::npos) continue;
            s_records[line.substr(sp + 1)] = static_cast<uint32_t>(std::stoul(line.substr(0, sp)));
        }
        s_deleted = 0;
        std::smatch m;
        std::regex del("([0-9]+) /gone.bin \\(deleted\\)");
        if (std::regex_search(r.out, m, del)) s_deleted = static_cast<uint32_t>(std::stoul(m[1]));
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_error.empty()) FAIL() << s_error;
    }

    static std::unique_ptr<CNtfsVolume> Open(const std::string& path) {
        auto v = std::make_unique<CNtfsVolume>();
        if (!v->Initialize(path)) return nullptr;
        return v;
    }
    // A private copy of the image for tests that patch it.
    std::string CopyImage(const std::string& name) {
        std::string p = s_dir->file(name);
        MustRun("cp --sparse=always " + Quote(s_image) + " " + Quote(p));
        return p;
    }
    // Device offset of byte off of record n, through the $MFT's extents.
    static uint64_t RecordOffset(CNtfsVolume& v, uint32_t n) {
        uint64_t pos = uint64_t(n) * v.MftRecordSize();
        for (const auto& e : v.MftData()->Extents()) {
            uint64_t start = e.vcn * v.ClusterSize();
            if (pos >= start && pos < start + e.length * v.ClusterSize())
                return uint64_t(e.lcn) * v.ClusterSize() + (pos - start);
        }
        return 0;
    }

    static testutil::TempDir* s_dir;
    static std::string s_image;
    static std::string s_error;
    static std::map<std::string, uint32_t> s_records;
    static uint32_t s_deleted;
};

testutil::TempDir* NtfsImageTest::s_dir = nullptr;
std::string NtfsImageTest::s_image;
std::string NtfsImageTest::s_error;
std::map<std::string, uint32_t> NtfsImageTest::s_records;
uint32_t NtfsImageTest::s_deleted = 0;

TEST_F(NtfsImageTest, VolumeFactsAgreeWithFsstat) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    std::string fs = MustRun("fsstat " + Quote(s_image));
    auto field = [&](const std::string& re) {
        std::smatch m;
        std::regex r(re);
        EXPECT_TRUE(std::regex_search(fs, m, r)) << re;
        return m.size() > 1 ? m[1].str() : std::string();
    };
    EXPECT_EQ(std::to_string(v->SectorSize()), field("Sector Size: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->ClusterSize()), field("Cluster Size: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->MftRecordSize()), field("Size of MFT Entries: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->IndexBlockSize()), field("Size of Index Records: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->MftStartCluster()), field("First Cluster of MFT: ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->MftMirrorCluster()), field("First Cluster of MFT Mirror: ([0-9]+)"));
    // Sleuth Kit's range ends with one virtual entry past the real records.
    EXPECT_EQ(std::to_string(v->MftRecordCount()), field("Range: 0 - ([0-9]+)"));
    EXPECT_EQ(std::to_string(v->TotalClusters() - 1), field("Total Cluster Range: 0 - ([0-9]+)"));
    EXPECT_EQ(v->VolumeLabelUtf8(), field("Volume Name: ([^\n]*)"));
    char serial[32];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(v->SerialNumber()));
    EXPECT_EQ(serial, field("Volume Serial Number: ([0-9A-F]+)"));
    EXPECT_EQ(v->GetPartitionType(), 7);

    // Free clusters: zero bits of $Bitmap as icat delivers it.
    auto bitmap = MustRun("icat " + Quote(s_image) + " 6");
    uint64_t free = 0;
    for (uint64_t c = 0; c < v->TotalClusters(); ++c)
        if (!((static_cast<uint8_t>(bitmap[c / 8]) >> (c % 8)) & 1)) ++free;
    uint64_t ours = 0;
    ASSERT_TRUE(v->CountFreeClusters(ours));
    EXPECT_EQ(ours, free);

    // The surface-scan count: the free clusters, or every cluster with the debug switch.
    CountingCallback cb;
    ScanTypeSet types;
    uint64_t count = 0;
    ASSERT_TRUE(CountScanClusters(*v, types, count, &cb, nullptr));
    EXPECT_EQ(count, free);
    EXPECT_EQ(cb.last, v->TotalClusters());
    EXPECT_EQ(cb.total, v->TotalClusters());
    types.allClusters = true;
    ASSERT_TRUE(CountScanClusters(*v, types, count, nullptr, nullptr));
    EXPECT_EQ(count, v->TotalClusters());
    StopFlag stop{1};
    ASSERT_TRUE(CountScanClusters(*v, types, count, nullptr, &stop));
    EXPECT_EQ(count, 0u);
}

TEST_F(NtfsImageTest, EveryLiveFileReadsAsWrittenAndAsIcat) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    for (const auto& [path, expected] : ExpectedFiles()) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(s_records.count(path));
        uint32_t rec = s_records[path];
        CNtfsFile f;
        ASSERT_TRUE(f.OpenRecord(v.get(), rec, false));
        EXPECT_TRUE(f.IsInUse());
        EXPECT_EQ(f.GetSize(), expected.size());
        bool ok = false;
        // Odd step sizes cross cluster, run and compression-unit boundaries.
        auto got = ReadAllThrough(f, 4093, ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(got == expected) << "content differs from what the fixture wrote";
        EXPECT_TRUE(f.IsEof());
        auto icat = MustRun("icat " + Quote(s_image) + " " + std::to_string(rec));
        EXPECT_TRUE(std::vector<uint8_t>(icat.begin(), icat.end()) == got) << "content differs from icat";
        // A second pass after Rewind with a large step gives the same bytes.
        auto again = ReadAllThrough(f, 1 << 20, ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(again == expected);
    }
}

TEST_F(NtfsImageTest, SpecialLayoutsAreWhatTheyClaim) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    auto data = [&](const std::string& path, CNtfsFile& f) {
        EXPECT_TRUE(f.OpenRecord(v.get(), s_records[path], false));
        return f.FindAttribute(kAttrData);
    };
    // The fragmented file: split over extension records, merged into one $DATA of many runs.
    CNtfsFile frag;
    CNtfsFileAttr* d = data("/frag.bin", frag);
    ASSERT_NE(d, nullptr);
    EXPECT_GT(frag.VisitedRecords().size(), 1u);
    EXPECT_GT(d->Extents().size(), 100u);
    int dataAttrs = 0;
    for (size_t i = 0; i < frag.AttributeCount(); ++i) dataAttrs += frag.AttributeAt(i)->Type() == kAttrData;
    EXPECT_EQ(dataAttrs, 1);
    EXPECT_NE(frag.FindAttribute(kAttrFileName), nullptr);  // lives in an extension record
    // Sparse and compressed files.
    CNtfsFile sparse;
    d = data("/sparse.bin", sparse);
    ASSERT_NE(d, nullptr);
    bool hole = false;
    for (const auto& e : d->Extents()) hole |= e.lcn < 0;
    EXPECT_TRUE(hole);
    CNtfsFile comp;
    d = data("/comp/text.txt", comp);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d->CompressionUnit(), 0);
    // Past the initialized size.
    CNtfsFile init;
    d = data("/docs/initsize.bin", init);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->InitializedSize(), 50000u);
    ASSERT_TRUE(d->SetPosition(49000));
    std::vector<uint8_t> buf(2000);
    uint32_t got = 0;
    ASSERT_TRUE(d->Read(buf.data(), 2000, got));
    EXPECT_EQ(got, 2000u);
    auto expect = Pat("random:2", 49000, 1000);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), buf.begin()));
    EXPECT_TRUE(std::all_of(buf.begin() + 1000, buf.end(), [](uint8_t b) { return b == 0; }));
    // A read at the end: true, the rest only.
    ASSERT_TRUE(d->SetPosition(99990));
    ASSERT_TRUE(d->Read(buf.data(), 2000, got));
    EXPECT_EQ(got, 10u);
    EXPECT_FALSE(d->SetPosition(200000));
    // The named stream.
    CNtfsFile readme;
    ASSERT_TRUE(readme.OpenRecord(v.get(), s_records["/docs/readme.txt"], false));
    CNtfsFileAttr* ads = readme.FindAttribute(kAttrData, u"ads");
    ASSERT_NE(ads, nullptr);
    std::vector<uint8_t> adsBytes;
    ASSERT_TRUE(ads->ReadAll(adsBytes, 1 << 20));
    EXPECT_TRUE(adsBytes == Pat("random:9", 0, 5000));
    // In-use share against the bitmap: live non-resident 100, resident 0.
    EXPECT_EQ(frag.FindAttribute(kAttrData)->InUsePercentage(), 100u);
    EXPECT_EQ(readme.FindAttribute(kAttrData)->InUsePercentage(), 0u);
}

TEST_F(NtfsImageTest, DeletedRecordParsesWithInUseClear) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    ASSERT_NE(s_deleted, 0u);
    CNtfsFile f;
    ASSERT_TRUE(f.OpenRecord(v.get(), s_deleted, false));
    EXPECT_FALSE(f.IsInUse());
    FileItemInfo info;
    uint32_t parent = 0;
    ASSERT_TRUE(f.GetInfo(info, parent));
    EXPECT_EQ(info.name, u"gone.bin");
    EXPECT_EQ(parent, 5u);
    EXPECT_EQ(f.DataSize(), 20000u);
    // Its clusters are free now: nothing of it has been reused.
    EXPECT_EQ(f.FindAttribute(kAttrData)->InUsePercentage(), 0u);
    bool ok = false;
    auto got = ReadAllThrough(f, 8192, ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(got == Pat("random:6", 0, 20000));
}

TEST_F(NtfsImageTest, ResolvePathFindsEveryEntryOfALargeFolderWithoutCase) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ResolvePath(u""), 5u);
    EXPECT_EQ(v->ResolvePath(u"C:\\"), 5u);
    EXPECT_EQ(v->ResolvePath(u"C:\\docs\\nothing\\readme.txt"), 0u);
    EXPECT_EQ(v->ResolvePath(u"C:\\DOCS\\README.TXT"), s_records["/docs/readme.txt"]);
    EXPECT_EQ(v->ResolvePath(u"C:\\docs\\sub\\RANDOM.bin"), s_records["/docs/sub/random.bin"]);
    // Accented capitals fold through $UpCase; the emoji is a surrogate pair.
    EXPECT_EQ(v->ResolvePath(u"C:\\Docs\\école été \U0001F600.TXT"), s_records["/docs/École ÉTÉ 😀.txt"]);
    EXPECT_EQ(v->CompareNames(u"readme.TXT", u"README.txt"), 0);
    EXPECT_LT(v->CompareNames(u"abc", u"abcd"), 0);
    EXPECT_GT(v->CompareNames(u"abd", u"ABCD"), 0);
    EXPECT_EQ(v->UpperCase(u'é'), u'É');
    int found = 0;
    for (int i = 0; i < 5000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/big/f%05d.txt", i);
        char upper[40];
        std::snprintf(upper, sizeof upper, "C:\\BIG\\F%05d.TXT", i);
        uint32_t rec = v->ResolvePath(Utf8ToUtf16(upper));
        EXPECT_EQ(rec, s_records[name]) << name;
        found += rec == s_records[name];
    }
    EXPECT_EQ(found, 5000);
    EXPECT_EQ(v->ResolvePath(u"C:\\big\\f05000.txt"), 0u);
    EXPECT_EQ(v->ResolvePath(u"C:\\big\\f00000.tx"), 0u);
}

TEST_F(NtfsImageTest, GetInfoPrefersTheWin32Name) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    auto info = [&](std::vector<std::pair<std::u16string, uint8_t>> names) {
        RecordBuilder rb;
        rb.Resident(0x10, 0, std::vector<uint8_t>(0x48, 0));
        uint16_t id = 1;
        for (auto& [n, ns] : names) rb.Resident(0x30, id++, FileNameValue(5, n, ns));
        auto rec = rb.Finish();
        CNtfsFile f;
        EXPECT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 900, true));
        FileItemInfo fi;
        uint32_t parent = 0;
        EXPECT_TRUE(f.GetInfo(fi, parent));
        return fi.name;
    };
    EXPECT_EQ(info({{u"LONGNA~1.TXT", 2}, {u"long name.txt", 1}}), u"long name.txt");
    EXPECT_EQ(info({{u"both.txt", 3}}), u"both.txt");
    EXPECT_EQ(info({{u"first link.txt", 1}, {u"second link.txt", 1}}), u"first link.txt");
    EXPECT_EQ(info({{u"posix", 0}, {u"POSIX2", 0}}), u"POSIX2");

    // A file without $DATA.
    RecordBuilder rb;
    rb.Resident(0x30, 1, FileNameValue(5, u"nodata", 1));
    auto rec = rb.Finish();
    CNtfsFile f;
    ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 901, false));
    EXPECT_FALSE(f.IsEof());
    EXPECT_EQ(f.GetSize(), 0u);
    uint32_t got = 0;
    char b[4];
    EXPECT_FALSE(f.Read(b, 4, got));
}

TEST_F(NtfsImageTest, DumpsWriteTheirTexts) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    std::string log = s_dir->file("dump.log");
    CLogFile::Instance().Open(log);
    CLogFile::Instance().SetLevel(2);
    CNtfsFile f;
    f.Dump();
    ASSERT_TRUE(f.OpenRecord(v.get(), s_records["/sparse.bin"], false));
    f.Dump();
    v->DumpVolume();
    CLogFile::Instance().Close();
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Can not dump uninitialized CNtfsFile object!\n"), std::string::npos);
    EXPECT_NE(text.find("FILE rec#=" + std::to_string(s_records["/sparse.bin"]) + "\n"), std::string::npos);
    EXPECT_NE(text.find("Valid=1 InUse=1\n"), std::string::npos);
    EXPECT_NE(text.find("\tname=\ttype=$DATA\t\tresident=0\treal_sz=1000000\tstream_sz=670000\n"), std::string::npos);
    EXPECT_NE(text.find("    DATARUN offset=0\tlength="), std::string::npos);  // a sparse run
    EXPECT_NE(text.find("  Name=sparse.bin\n"), std::string::npos);
    EXPECT_NE(text.find("VOLUME DUMP\n"), std::string::npos);
    EXPECT_NE(text.find("  fs=NTFS drive_letter="), std::string::npos);
    EXPECT_NE(text.find("bps=512 bpc=4096"), std::string::npos);
    EXPECT_NE(text.find("\n SYSTEM FILES DUMP\n"), std::string::npos);
    EXPECT_NE(text.find("END VOLUME DUMP\n"), std::string::npos);
}

// --- Hostile input --------------------------------------------------------

TEST_F(NtfsImageTest, BrokenBootSectorsAreRefusedWithAReason) {
    struct Case {
        size_t offset;
        std::vector<uint8_t> bytes;
        bool ntfs;  // InitError expected
    };
    const std::vector<Case> cases = {
        {0x40, {0x00}, true},                                            // 0 clusters per record
        {0x40, {0xE0}, true},                                            // -32: 4 GiB records
        {0x40, {0x7F}, true},                                            // 127 clusters: not a power of two
        {0x30, {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, true},  // MFT far beyond the device
        {0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},  // product overflows
        {0x0B, {0x00, 0x00}, true},                                      // 0 bytes per sector
        {0x0D, {0x03}, true},                                            // 3 sectors per cluster
        {0x1FE, {0x55, 0x00}, false},                                    // no boot signature: the MFT's geometry
        {0x03, {'N', 'T', 'F', 'X'}, false},                             // not NTFS
    };
    std::string copy = CopyImage("boot.img");
    auto original = testutil::ReadFileBytes(copy);
    const uint64_t backup = original.size() - 512;  // the copy in the volume's last sector
    const std::vector<uint8_t> backupBytes(original.begin() + static_cast<long>(backup), original.end());
    original.resize(512);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        testutil::PatchFile(copy, 0, original);
        testutil::PatchFile(copy, backup, backupBytes);
        // The first sector alone broken: its copy opens the volume.
        testutil::PatchFile(copy, c.offset, c.bytes);
        CNtfsVolume through;
        EXPECT_TRUE(through.Initialize(copy)) << through.InitError();
        EXPECT_NE(through.BootNote().find("backup boot sector"), std::string::npos);
        // Both broken: refused, with the first sector's reason; a first
        // sector that is no boot sector at all leaves the MFT to read the
        // geometry from.
        testutil::PatchFile(copy, backup + c.offset, c.bytes);
        CNtfsVolume v;
        if (c.offset == 0x1FE) {
            EXPECT_TRUE(v.Initialize(copy)) << v.InitError();
            EXPECT_NE(v.BootNote().find("rebuilt from the MFT"), std::string::npos);
            continue;
        }
        EXPECT_FALSE(v.Initialize(copy));
        EXPECT_EQ(!v.InitError().empty(), c.ntfs) << v.InitError();
    }
    testutil::PatchFile(copy, backup, backupBytes);
    // A record whose MFT start lies on the device but holds no FILE records.
    testutil::PatchFile(copy, 0, original);
    testutil::PatchFile(copy, 0x30, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    testutil::PatchFile(copy, backup + 0x30, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    CNtfsVolume v;
    EXPECT_FALSE(v.Initialize(copy));
    EXPECT_FALSE(v.InitError().empty());
    // A source that is too small to hold a boot sector.
    std::string tiny = s_dir->file("tiny.img");
    testutil::WriteFileBytes(tiny, std::vector<uint8_t>(100, 0));
    CNtfsVolume t;
    EXPECT_FALSE(t.Initialize(tiny));
    EXPECT_TRUE(t.InitError().empty());
}

TEST_F(NtfsImageTest, HostileRecordsFailOrDegradeCleanly) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    const uint64_t clusters = v->TotalClusters();
    // A run far past the device: the read fails, bytes read tells 0.
    {
        RecordBuilder rb;
        rb.NonResident(0x80, 1, {0x31, 0x01, 0xFF, 0xFF, 0x7F}, 8192, 8192);
        auto rec = rb.Finish();
        CNtfsFile f;
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 910, false));
        std::vector<uint8_t> buf(8192);
        uint32_t got = 99;
        EXPECT_FALSE(f.Read(buf.data(), 8192, got));
        EXPECT_EQ(got, 0u);
        ASSERT_LT(clusters, 0x7FFFFFu);
    }
    // A run length that overflows: the run list ends; a huge real size reads zeros, no allocation.
    {
        RecordBuilder rb;
        rb.NonResident(0x80, 1, {0x11, 0x01, 0x10, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
                       UINT64_MAX / 2, UINT64_MAX / 2);
        auto rec = rb.Finish();
        CNtfsFile f;
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 911, false));
        EXPECT_EQ(f.FindAttribute(kAttrData)->Runs().size(), 1u);
        std::vector<uint8_t> buf(65536);
        uint32_t got = 0;
        EXPECT_TRUE(f.Read(buf.data(), 65536, got));
        EXPECT_EQ(got, 65536u);
    }
    // A resident value beyond its attribute: the attribute is dropped, the record stays.
    {
        RecordBuilder rb;
        size_t at = rb.Resident(0x80, 1, {'a', 'b'});
        rb.Resident(0x30, 2, FileNameValue(5, u"x", 1));
        Put32(rb.Bytes(), at + 0x10, 0x400);
        auto rec = rb.Finish();
        CNtfsFile f;
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 912, false));
        EXPECT_EQ(f.FindAttribute(kAttrData), nullptr);
        EXPECT_NE(f.FindAttribute(kAttrFileName), nullptr);
    }
    // Through the file: damage past the header keeps the attributes before
    // it, a torn record is refused, a record its attribute list names that
    // lies past the MFT fails the file at the list, an extension record is
    // no file of its own. Each says where and why.
    {
        using State = RecordParse::State;
        RecordBuilder rb;
        rb.Resident(0x30, 1, FileNameValue(5, u"x", 1));
        const size_t at = rb.Resident(0x80, 2, {'a'});
        auto rec = rb.Finish();
        CNtfsFile f;
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 913, false));
        EXPECT_EQ(f.LastFault().state, State::Valid);
        auto crossing = rec;
        Put32(crossing, at + 4, 0x10000);
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), crossing.data(), 913, false));
        EXPECT_EQ(f.AttributeCount(), 1u);
        EXPECT_EQ(f.LastFault().state, State::Damaged);
        EXPECT_EQ(f.LastFault().offset, at);
        auto torn = rec;
        torn[1023] ^= 0x01;
        EXPECT_FALSE(f.InitializeFromBuffer(v.get(), torn.data(), 914, false));
        EXPECT_FALSE(f.IsValid());
        EXPECT_EQ(f.LastFault().state, State::Damaged);
        EXPECT_EQ(f.LastFault().offset, 1022u);

        RecordBuilder lb;
        lb.Resident(0x30, 1, FileNameValue(5, u"x", 1));
        const size_t listAt = lb.Resident(0x20, 3, ListEntry(0x80, 0, 0xFFFFFF, 2));
        auto listed = lb.Finish();
        EXPECT_FALSE(f.InitializeFromBuffer(v.get(), listed.data(), 915, false));
        EXPECT_EQ(f.LastFault().state, State::Damaged);
        EXPECT_EQ(f.LastFault().record, 915u);
        EXPECT_EQ(f.LastFault().offset, listAt);
        EXPECT_STREQ(f.LastFault().reason, "attribute list names a record that cannot be read");

        RecordBuilder ext(1024, 1, 64);
        auto extRec = ext.Finish();
        EXPECT_FALSE(f.InitializeFromBuffer(v.get(), extRec.data(), 915, false));
        EXPECT_TRUE(f.IsExtension());
        EXPECT_EQ(f.LastFault().state, State::NotRecord);
    }
    // An attribute list naming the record itself, the same record twice, and
    // records that are not its extensions: each read once, foreign ones ignored.
    {
        const uint32_t fragRec = s_records["/frag.bin"];
        std::vector<uint8_t> list;
        for (auto e : {ListEntry(0x10, 0, 916, 0), ListEntry(0x30, 0, 916, 1), ListEntry(0x80, 0, fragRec, 2),
                       ListEntry(0x80, 5, fragRec, 2), ListEntry(0x80, 9, 0, 7)})
            list.insert(list.end(), e.begin(), e.end());
        RecordBuilder rb;
        rb.Resident(0x10, 0, std::vector<uint8_t>(0x48, 0));
        rb.Resident(0x20, 9, list);
        rb.Resident(0x30, 1, FileNameValue(5, u"self", 1));
        auto rec = rb.Finish();
        CNtfsFile f;
        ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 916, false));
        EXPECT_EQ(f.VisitedRecords(), (std::set<uint32_t>{0, 916, fragRec}));
        EXPECT_EQ(f.FindAttribute(kAttrData), nullptr);  // frag.bin's and $MFT's data are not ours
        EXPECT_EQ(f.GetName(), u"self");
    }
}

TEST_F(NtfsImageTest, HostileIndexesEndTheLookup) {
    std::string copy = CopyImage("index.img");
    uint64_t freeCluster = 0;
    uint32_t clusterSize = 0;
    {
        auto v = Open(copy);
        ASSERT_NE(v, nullptr);
        clusterSize = v->ClusterSize();
        // A free cluster near the end of the volume for byte-built INDX blocks.
        CNtfsClusterBitmapWalker w(*v);
        uint64_t c;
        bool isFree;
        while (w.Next(c, isFree))
            if (isFree && c > v->TotalClusters() / 2) {
                freeCluster = c;
                break;
            }
    }
    ASSERT_NE(freeCluster, 0u);
    // One INDX block at VCN 0 whose only entry is an end marker pointing back to VCN 0.
    std::vector<uint8_t> block(4096, 0);
    std::memcpy(block.data(), "INDX", 4);
    Put16(block, 4, 0x28);
    Put16(block, 6, 9);
    Put64(block, 0x10, 0);
    Put32(block, 0x18, 0x28);           // entries at 0x40
    Put32(block, 0x1C, 0x28 + 0x18);    // index length
    Put32(block, 0x20, 4096 - 0x18);    // allocated
    Put16(block, 0x40 + 8, 0x18);
    Put16(block, 0x40 + 0x0C, 3);       // sub-node + last
    Put64(block, 0x40 + 0x10, 0);       // sub-node VCN 0: itself
    ProtectBlock(block);
    testutil::PatchFile(copy, freeCluster * clusterSize, block);

    auto v = Open(copy);
    ASSERT_NE(v, nullptr);
    // Root: a large index whose end entry descends into VCN 0.
    auto folder = [&](uint8_t clustersPerBlock) {
        std::vector<uint8_t> root(0x10 + 0x10 + 0x18, 0);
        Put32(root, 0x00, 0x30);
        Put32(root, 0x04, 1);
        Put32(root, 0x08, 4096);
        root[0x0C] = clustersPerBlock;
        Put32(root, 0x10, 0x10);
        Put32(root, 0x14, 0x10 + 0x18);
        Put32(root, 0x18, 0x10 + 0x18);
        root[0x1C] = 1;
        Put16(root, 0x20 + 8, 0x18);
        Put16(root, 0x20 + 0x0C, 3);
        Put64(root, 0x20 + 0x10, 0);
        RecordBuilder rb(1024, 3);
        rb.Resident(0x90, 1, root, u"$I30");
        std::vector<uint8_t> runs = {0x31, 0x01};
        for (int i = 0; i < 3; ++i) runs.push_back(static_cast<uint8_t>(freeCluster >> (8 * i)));
        rb.NonResident(0xA0, 2, runs, 4096, 4096, 0, u"$I30");
        return rb.Finish();
    };
    auto good = folder(1);
    CNtfsFile dir;
    ASSERT_TRUE(dir.InitializeFromBuffer(v.get(), good.data(), 920, false));
    EXPECT_EQ(v->FindChildIn(dir, u"anything"), 0u);  // the loop is caught
    auto zero = folder(0);
    ASSERT_TRUE(dir.InitializeFromBuffer(v.get(), zero.data(), 920, false));
    EXPECT_EQ(v->FindChildIn(dir, u"anything"), 0u);  // no division by 0
    // The real index still works on the same volume.
    EXPECT_EQ(v->ResolvePath(u"C:\\big\\f01234.txt"), s_records["/big/f01234.txt"]);
}

TEST_F(NtfsImageTest, CompressedUnitWithBrokenChunksReadsWithoutLeavingTheUnit) {
    std::string copy = CopyImage("lznt1.img");
    uint64_t freeCluster = 0;
    uint32_t cs = 0;
    {
        auto v = Open(copy);
        ASSERT_NE(v, nullptr);
        cs = v->ClusterSize();
        CNtfsClusterBitmapWalker w(*v);
        uint64_t c;
        bool isFree;
        while (w.Next(c, isFree))
            if (isFree && c > v->TotalClusters() / 2) {
                freeCluster = c;
                break;
            }
    }
    // Chunk 1: valid "abcabc..."; chunk 2: a back-reference before its start; then a size past the data.
    std::vector<uint8_t> packed;
    auto chunk = [&](std::vector<uint8_t> payload) {
        uint16_t h = static_cast<uint16_t>(0xB000 | (payload.size() - 1));
        packed.push_back(h & 0xFF);
        packed.push_back(h >> 8);
        packed.insert(packed.end(), payload.begin(), payload.end());
    };
    chunk({0x08, 'a', 'b', 'c', 0x06, 0x20});
    chunk({0x09, 0x00, 0x70, 'x', 'y', 'z'});
    packed.push_back(0xFF);
    packed.push_back(0xBF);
    packed.resize(cs, 0xAB);
    testutil::PatchFile(copy, freeCluster * cs, packed);
    auto v = Open(copy);
    ASSERT_NE(v, nullptr);
    RecordBuilder rb;
    std::vector<uint8_t> runs = {0x31, 0x01};
    for (int i = 0; i < 3; ++i) runs.push_back(static_cast<uint8_t>(freeCluster >> (8 * i)));
    runs.push_back(0x01);
    runs.push_back(0x0F);  // 15 sparse clusters: one compressed 16-cluster unit
    rb.NonResident(0x80, 1, runs, 16 * cs, 16 * cs, 4);
    auto rec = rb.Finish();
    CNtfsFile f;
    ASSERT_TRUE(f.InitializeFromBuffer(v.get(), rec.data(), 930, false));
    bool ok = false;
    auto got = ReadAllThrough(f, 5000, ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(got.size(), 16u * cs);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 12), "abcabcabcabc");
    EXPECT_TRUE(std::all_of(got.begin() + 12, got.end(), [](uint8_t b) { return b == 0; }));
}
