// NTFS file and folder recovery on an image made by mkntfs + libntfs-3g
// (NtfsRecoveryFixture.h), with Sleuth Kit's istat as the independent word
// on which clusters a file had and which a later file took. Encrypted files
// cannot be made on Linux: the EFS cases patch an $EFS attribute and the
// encrypted flag into a deleted record of a copy of the image.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "NtfsRecoveryFixture.h"
#include "NtfsTestSupport.h"
#include "app/Log.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/ntfs/NtfsEfs.h"
#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/recovery/OutputFile.h"
#include "recovery/RecordingCallback.h"

using recoverytest::RecordingCallback;
using testutil::Quote;

namespace {

std::vector<uint8_t> Bytes(const std::string& path) { return testutil::ReadFileBytes(path); }
bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// What the log received while fn ran (verbose level 2).
std::string LogOf(const std::string& file, const std::function<void()>& fn) {
    std::remove(file.c_str());
    CLogFile& log = CLogFile::Instance();
    log.Open(file);
    log.SetLevel(2);
    fn();
    log.Close();
    log.SetLevel(0);
    const auto bytes = testutil::ReadFileBytes(file);
    return std::string(bytes.begin(), bytes.end());
}

// One FILE record of an image, unprotected for editing; Write() protects it
// again with its own sequence number and puts it back.
class RecordPatch {
public:
    RecordPatch(const std::string& image, uint32_t record) : m_image(image) {
        CNtfsVolume v;
        if (!v.Initialize(image)) return;
        const uint64_t pos = uint64_t(record) * v.MftRecordSize();
        const uint32_t cs = v.ClusterSize();
        for (const auto& e : v.MftData()->Extents())
            if (e.lcn >= 0 && pos / cs >= e.vcn && pos / cs < e.vcn + e.length)
                m_offset = (uint64_t(e.lcn) + pos / cs - e.vcn) * cs + pos % cs;
        rec.assign(v.MftRecordSize(), 0);
        std::ifstream in(image, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(m_offset));
        in.read(reinterpret_cast<char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
        m_usn = static_cast<uint16_t>(rec[rec[4] | rec[5] << 8] | rec[(rec[4] | rec[5] << 8) + 1] << 8);
        ntfstest::UnprotectBlock(rec);
    }
    uint32_t U32(size_t off) const { return rec[off] | rec[off + 1] << 8 | rec[off + 2] << 16 | uint32_t(rec[off + 3]) << 24; }
    // Offset of the first attribute of a type, or of the end marker for 0xFFFFFFFF; 0 when absent.
    size_t Find(uint32_t type) const {
        size_t p = rec[0x14] | rec[0x15] << 8;
        while (p + 8 <= rec.size()) {
            if (U32(p) == type) return p;
            if (U32(p) == 0xFFFFFFFF || U32(p + 4) == 0) return 0;
            p += U32(p + 4);
        }
        return 0;
    }
    // Inserts a resident attribute before the end marker.
    void AddResident(uint32_t type, uint16_t id, const std::vector<uint8_t>& value) {
        const size_t end = Find(0xFFFFFFFF);
        const size_t len = (0x18 + value.size() + 7) & ~size_t(7);
        std::vector<uint8_t> a(len, 0);
        ntfstest::Put32(a, 0, type);
        ntfstest::Put32(a, 4, static_cast<uint32_t>(len));
        ntfstest::Put16(a, 0x0E, id);
        ntfstest::Put32(a, 0x10, static_cast<uint32_t>(value.size()));
        ntfstest::Put16(a, 0x14, 0x18);
        std::copy(value.begin(), value.end(), a.begin() + 0x18);
        std::copy(a.begin(), a.end(), rec.begin() + end);
        ntfstest::Put32(rec, end + len, 0xFFFFFFFF);
        ntfstest::Put32(rec, 0x18, static_cast<uint32_t>(end + len + 8));
    }
    // ORs bits into the file attributes of $STANDARD_INFORMATION.
    void AddFileAttributes(uint32_t bits) {
        const size_t si = Find(0x10);
        const size_t value = si + (rec[si + 0x14] | rec[si + 0x15] << 8);
        ntfstest::Put32(rec, value + 0x20, U32(value + 0x20) | bits);
    }
    void Write() {
        auto b = rec;
        ntfstest::ProtectBlock(b, m_usn);
        testutil::PatchFile(m_image, m_offset, b);
    }
    std::vector<uint8_t> rec;

private:
    std::string m_image;
    uint64_t m_offset = 0;
    uint16_t m_usn = 1;
};

class NtfsRecoveryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testutil::TempDir();
        s_image = s_dir->file("recovery.img");
        s_fixture = new ntfsfixture::Image(ntfsfixture::Make(s_image));
    }
    static void TearDownTestSuite() {
        delete s_fixture;
        delete s_dir;
    }
    void SetUp() override {
        ASSERT_TRUE(s_fixture->error.empty()) << s_fixture->error;
        out = dir.file("out");
        std::filesystem::create_directories(out);
    }
    static uint32_t Deleted(const std::string& path) { return s_fixture->deleted.at(path); }
    static std::unique_ptr<CNtfsVolume> Open(const std::string& image, bool index = false) {
        auto v = std::make_unique<CNtfsVolume>();
        if (!v->Initialize(image)) return nullptr;
        IndexProgress progress;
        if (index && !v->BuildIndex(&progress)) return nullptr;
        return v;
    }
    std::string CopyImage() {
        std::string p = dir.file("copy.img");
        testutil::MustRun("cp --sparse=always " + Quote(s_image) + " " + Quote(p));
        return p;
    }

    static testutil::TempDir* s_dir;
    static std::string s_image;
    static ntfsfixture::Image* s_fixture;
    testutil::TempDir dir;
    std::string out;
};

testutil::TempDir* NtfsRecoveryTest::s_dir = nullptr;
std::string NtfsRecoveryTest::s_image;
ntfsfixture::Image* NtfsRecoveryTest::s_fixture = nullptr;

ntfsfixture::DeletedFile Want(const std::string& path) {
    for (const auto& f : ntfsfixture::IntactFiles())
        if (f.path == path) return f;
    ADD_FAILURE() << "no such fixture file " << path;
    return {};
}

TEST_F(NtfsRecoveryTest, EveryKindOfStreamComesBackWhole) {
    auto v = Open(s_image);
    ASSERT_TRUE(v);
    // The fixture made what the names say: a compressed stream, sparse runs, a resident value.
    CNtfsFile c, s, r;
    ASSERT_TRUE(c.OpenRecord(v.get(), Deleted("/comp/c.txt"), false));
    EXPECT_NE(c.FindAttribute(kAttrData)->CompressionUnit(), 0);
    ASSERT_TRUE(s.OpenRecord(v.get(), Deleted("/sparse.bin"), false));
    bool sparse = false;
    for (const auto& e : s.FindAttribute(kAttrData)->Extents()) sparse |= e.lcn < 0;
    EXPECT_TRUE(sparse);
    ASSERT_TRUE(r.OpenRecord(v.get(), Deleted("/res.txt"), false));
    EXPECT_TRUE(r.FindAttribute(kAttrData)->IsResident());

    for (const char* path : {"/docs/report.bin", "/comp/c.txt", "/sparse.bin", "/res.txt", "/big.bin"}) {
        RecordingCallback cb;
        const std::string dest = out + "/" + std::filesystem::path(path).filename().string();
        EXPECT_EQ(RecoverFile(*v, Deleted(path), dest, 0, &cb, nullptr), RecoverResult::Ok) << path;
        const auto want = ntfsfixture::Content(Want(path));
        EXPECT_EQ(Bytes(dest), want) << path;
        EXPECT_EQ(cb.itemSize, want.size());
        // One file's events: size, begin, progress..., end (complete).
        ASSERT_GE(cb.events.size(), 4u);
        EXPECT_EQ(cb.events.front(), "ItemSize");
        EXPECT_EQ(cb.events[1], "FileBegin");
        EXPECT_EQ(cb.events.back(), "FileEnd");
        ASSERT_EQ(cb.fileEnds.size(), 1u);
        EXPECT_TRUE(cb.fileEnds[0].second) << path;
        EXPECT_EQ(cb.progress.back().second, want.size());
        if (std::string(path) == "/res.txt") {
            // A resident value is written in one step.
            EXPECT_EQ(cb.progress, (std::vector<std::pair<uint32_t, uint64_t>> {{100, 100}}));
        }
        EXPECT_TRUE(cb.codes.empty());
    }
}

TEST_F(NtfsRecoveryTest, NamedStreamsOnlyWithTheOption) {
    auto v = Open(s_image);
    ASSERT_TRUE(v);
    const uint32_t id = Deleted("/docs/streams.txt");
    RecordingCallback without;
    ASSERT_EQ(RecoverFile(*v, id, out + "/plain.txt", 0, &without, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/plain.txt"), ntfsfixture::Content(Want("/docs/streams.txt")));
    EXPECT_FALSE(Exists(out + "/plain.txt:ads"));
    EXPECT_FALSE(Exists(out + "/plain.txt:tiny"));

    RecordingCallback with;
    ASSERT_EQ(RecoverFile(*v, id, out + "/s.txt", RECOVER_STREAMS, &with, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/s.txt"), ntfsfixture::Content(Want("/docs/streams.txt")));
    EXPECT_EQ(Bytes(out + "/s.txt:ads"), ntfsfixture::Content(Want("/docs/streams.txt:ads")));
    EXPECT_EQ(Bytes(out + "/s.txt:tiny"), ntfsfixture::Content(Want("/docs/streams.txt:tiny")));
    EXPECT_EQ(with.fileBegins, (std::vector<std::string>{out + "/s.txt", out + "/s.txt:ads", out + "/s.txt:tiny"}));

    // A stale stream file is never replaced without consent: the callback is asked and may rename.
    testutil::WriteFileBytes(out + "/t.txt:ads", {1, 2, 3});
    RecordingCallback ask;
    ask.onCreateFailed = [](std::string& path, bool, int error, bool&) {
        EXPECT_EQ(error, EEXIST);
        path += ".2";
        return RecoverResult::Ok;
    };
    ASSERT_EQ(RecoverFile(*v, id, out + "/t.txt", RECOVER_STREAMS, &ask, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/t.txt:ads"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(Bytes(out + "/t.txt:ads.2"), ntfsfixture::Content(Want("/docs/streams.txt:ads")));
}

TEST_F(NtfsRecoveryTest, PartlyReusedFileComesOutBlankWhereReusedAndIncomplete) {
    // Sleuth Kit says which clusters /partial.bin had and which /cover.bin took.
    const auto had = ntfsfixture::IstatClusters(s_image, Deleted("/partial.bin"));
    const auto taken = ntfsfixture::IstatClusters(s_image, s_fixture->live.at("/cover.bin"));
    ASSERT_EQ(had.size(), 98u);
    std::set<uint64_t> takenSet(taken.begin(), taken.end());
    auto want = ntfsfixture::PartialOriginal();
    size_t reused = 0;
    for (size_t i = 0; i < had.size(); ++i) {
        if (!takenSet.count(had[i])) continue;
        ++reused;
        const size_t from = i * 4096, to = std::min<size_t>(want.size(), from + 4096);
        std::fill(want.begin() + from, want.begin() + to, 0);
    }
    ASSERT_GT(reused, 0u) << "the scenario needs some clusters taken";
    ASSERT_LT(reused, had.size()) << "the scenario needs some clusters left";

    auto v = Open(s_image);
    ASSERT_TRUE(v);
    RecordingCallback cb;
    const std::string log = LogOf(dir.file("log.txt"), [&] {
        EXPECT_EQ(RecoverFile(*v, Deleted("/partial.bin"), out + "/partial.bin", 0, &cb, nullptr), RecoverResult::Ok);
    });
    // The file keeps its size; what now belongs to /cover.bin is zeros, never cover's bytes.
    EXPECT_EQ(Bytes(out + "/partial.bin"), want);
    ASSERT_EQ(cb.fileEnds.size(), 1u);
    EXPECT_FALSE(cb.fileEnds[0].second);
    EXPECT_NE(log.find("The data stream was recovered not completely.\n"), std::string::npos);
    FileItemInfo info;
    ASSERT_TRUE(v->GetFileInfo(Deleted("/partial.bin"), true, info));
    EXPECT_EQ(info.dataStatus, static_cast<int32_t>(reused * 100 / had.size()));
}

// Rewrites the unnamed $DATA of a record: its runs (absolute extents, lcn
// -1 sparse), the last VCN and its allocated, real and initialized sizes.
void RewriteData(const std::string& image, uint32_t record, const std::vector<CNtfsFileAttr::Extent>& extents,
                 uint64_t allocated, uint64_t size) {
    RecordPatch p(image, record);
    const size_t a = p.Find(0x80);
    ASSERT_NE(a, 0u);
    std::vector<uint8_t> pairs;
    auto put = [&](uint64_t v) {  // fewest little-endian bytes that hold v as a signed number
        uint8_t n = 1;
        while (n < 8 && !(static_cast<int64_t>(v) >= -(int64_t(1) << (8 * n - 1)) &&
                          static_cast<int64_t>(v) < (int64_t(1) << (8 * n - 1))))
            ++n;
        for (uint8_t i = 0; i < n; ++i) pairs.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return n;
    };
    int64_t lcn = 0;
    uint64_t vcns = 0;
    for (const auto& e : extents) {
        const size_t head = pairs.size();
        pairs.push_back(0);
        const uint8_t l = put(e.length);
        const uint8_t o = e.lcn < 0 ? 0 : put(static_cast<uint64_t>(e.lcn - lcn));
        if (e.lcn >= 0) lcn = e.lcn;
        pairs[head] = static_cast<uint8_t>(l | o << 4);
        vcns += e.length;
    }
    pairs.push_back(0);
    const size_t at = a + (p.rec[a + 0x20] | p.rec[a + 0x21] << 8);
    ASSERT_LE(at - a + pairs.size(), p.U32(a + 4)) << "the new runs do not fit the attribute";
    std::fill(p.rec.begin() + at, p.rec.begin() + a + p.U32(a + 4), 0);
    std::copy(pairs.begin(), pairs.end(), p.rec.begin() + at);
    ntfstest::Put64(p.rec, a + 0x18, vcns - 1);
    ntfstest::Put64(p.rec, a + 0x28, allocated);
    ntfstest::Put64(p.rec, a + 0x30, size);
    ntfstest::Put64(p.rec, a + 0x38, size);
    p.Write();
}

TEST_F(NtfsRecoveryTest, ClaimedSizesNeverOutgrowWhatTheRunsMap) {
    const std::string image = CopyImage();
    uint64_t totalClusters = 0;
    std::map<std::string, std::vector<CNtfsFileAttr::Extent>> runs;
    {
        auto v = Open(image);
        ASSERT_TRUE(v);
        totalClusters = v->TotalClusters();
        ASSERT_EQ(v->ClusterSize(), 4096u);
        for (const char* path : {"/docs/report.bin", "/big.bin", "/sparse.bin"}) {
            CNtfsFile f;
            ASSERT_TRUE(f.OpenRecord(v.get(), Deleted(path), false));
            runs[path] = f.FindAttribute(kAttrData, u"")->Extents();
        }
    }
    constexpr uint64_t k8PiB = uint64_t(8) << 50, k1TiB = uint64_t(1) << 40;
    // report.bin claims 8 PiB; big.bin's one run reaches past the volume and
    // its sizes follow; sparse.bin's last hole runs on to 1 TiB.
    auto big = runs["/big.bin"];
    ASSERT_EQ(big.size(), 1u);
    const uint64_t bigInside = totalClusters - static_cast<uint64_t>(big[0].lcn);
    big[0].length = bigInside + 5000;
    auto sparse = runs["/sparse.bin"];
    ASSERT_LT(sparse.back().lcn, 0) << "the fixture's sparse file ends in a hole";
    sparse.back().length += (k1TiB - (1u << 20)) / 4096;
    RewriteData(image, Deleted("/docs/report.bin"), runs["/docs/report.bin"], 303104, k8PiB);
    RewriteData(image, Deleted("/big.bin"), big, big[0].length * 4096, big[0].length * 4096);
    RewriteData(image, Deleted("/sparse.bin"), sparse, k1TiB, k1TiB);

    // A copy that ignores the bounds fails here instead of filling the disk.
    uint64_t writtenAll = 0;
    COutputFile::WriteFaultHook() = [&](const std::string&, size_t n) {
        writtenAll += n;
        return writtenAll > (64u << 20) ? EFBIG : 0;
    };
    struct Case {
        const char* path;
        uint64_t length;         // what comes out
        uint64_t intactPrefix;   // bytes equal to the original
        bool complete;
    };
    const Case cases[] = {
        {"/docs/report.bin", 303104, 300000, false},  // the clusters mapped; past the initialized size zeros
        {"/big.bin", bigInside * 4096, 3145728, false},
        {"/sparse.bin", k1TiB, 1u << 20, true},
    };
    auto v = Open(image);
    ASSERT_TRUE(v);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingCallback cb;
        const std::string target = out + "/" + std::filesystem::path(c.path).filename().string();
        EXPECT_EQ(RecoverFile(*v, Deleted(c.path), target, 0, &cb, nullptr), RecoverResult::Ok);
        ASSERT_EQ(cb.fileEnds.size(), 1u);
        EXPECT_EQ(cb.fileEnds[0].second, c.complete);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), c.length);
        std::ifstream in(target, std::ios::binary);
        std::vector<uint8_t> head(c.intactPrefix);
        in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
        const auto want = ntfsfixture::Content(Want(c.path));
        EXPECT_TRUE(std::equal(head.begin(), head.end(), want.begin())) << "the mapped data differs";
        if (c.length == k1TiB) {
            // The holes stay holes: the file costs its three data clusters.
            EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 64u * 1024);
        }
    }
    COutputFile::WriteFaultHook() = nullptr;
    EXPECT_LT(writtenAll, 64u << 20);
}

TEST_F(NtfsRecoveryTest, MissingDataNameOrRecordAreReportedByCode) {
    const std::string image = CopyImage();
    {
        RecordPatch p(image, Deleted("/nodata.bin"));
        const size_t data = p.Find(kAttrData);
        ASSERT_NE(data, 0u);
        ntfstest::Put32(p.rec, data, 0xF0);  // the $DATA attribute is gone, an $EA stands there
        p.Write();
        RecordPatch q(image, Deleted("/old/a.bin"));
        const size_t name = q.Find(kAttrFileName);
        ASSERT_NE(name, 0u);
        ntfstest::Put32(q.rec, name, 0xF0);
        q.Write();
    }
    auto v = Open(image);
    ASSERT_TRUE(v);
    RecordingCallback noData;
    const std::string log = LogOf(dir.file("log.txt"), [&] {
        EXPECT_EQ(RecoverFile(*v, Deleted("/nodata.bin"), out + "/nodata.bin", 0, &noData, nullptr), RecoverResult::Skip);
    });
    EXPECT_EQ(noData.codes, std::vector<ItemProblem>{ItemProblem::NoData});
    EXPECT_FALSE(Exists(out + "/nodata.bin")) << "a failed item leaves no file under its name";
    EXPECT_NE(log.find("File referenced by MFT record " + std::to_string(Deleted("/nodata.bin")) +
                              " has no DATA attribute. The file possibly was overwritten.\n"),
              std::string::npos);

    RecordingCallback noName;
    EXPECT_EQ(RecoverFile(*v, Deleted("/old/a.bin"), out + "/a.bin", 0, &noName, nullptr), RecoverResult::Skip);
    EXPECT_EQ(noName.codes, std::vector<ItemProblem>{ItemProblem::NoFileName});
    EXPECT_FALSE(Exists(out + "/a.bin"));

    RecordingCallback noRecord;
    const uint32_t beyond = static_cast<uint32_t>(v->MftRecordCount() + 10);
    EXPECT_EQ(RecoverFile(*v, beyond, out + "/x", 0, &noRecord, nullptr), RecoverResult::Skip);
    EXPECT_EQ(noRecord.codes, std::vector<ItemProblem>{ItemProblem::CannotRead});
    EXPECT_EQ(RecoverFile(*v, beyond, out + "/x", 0, nullptr, nullptr), RecoverResult::Failed);
    EXPECT_FALSE(Exists(out + "/x"));
}

TEST_F(NtfsRecoveryTest, FolderTreesLostFoldersAndAttributes) {
    const std::string image = CopyImage();
    {
        RecordPatch p(image, Deleted("/old/inner"));
        p.AddFileAttributes(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
        p.Write();
    }
    auto v = Open(image, true);
    ASSERT_TRUE(v);
    RecordingCallback cb;
    ASSERT_EQ(RecoverFolderItem(*v, Deleted("/old"), out + "/old", RECOVER_ATTRIBUTES, &cb, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/old/a.bin"), ntfsfixture::Content(Want("/old/a.bin")));
    EXPECT_EQ(Bytes(out + "/old/inner/b.bin"), ntfsfixture::Content(Want("/old/inner/b.bin")));
    // Read-only clears the write bits; the whole word goes to the extended attribute where supported.
    struct stat st {};
    ASSERT_EQ(::stat((out + "/old/inner").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    char word[32] = {};
    ssize_t n = ::getxattr((out + "/old/inner").c_str(), "user.quarlix.attributes", word, sizeof word - 1);
    if (n > 0)
        EXPECT_EQ(std::stoul(std::string(word, n)) & 0x3u, 0x3u);
    else
        EXPECT_EQ(errno, ENOTSUP) << "the destination takes user attributes, yet the word is not there";

    // The children of a read-only folder are written before it turns
    // read-only: as an ordinary user (root ignores the permission bits).
    if (::getuid() == 0) {
        const std::string shared = dir.file("shared");
        std::filesystem::create_directories(shared);
        ::chmod(dir.path().c_str(), 0755);
        ::chmod(shared.c_str(), 0777);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            const RecoverResult hr = RecoverFolder(*v, Deleted("/old"), shared + "/old", RECOVER_ATTRIBUTES, nullptr, nullptr);
            ::_exit(hr == RecoverResult::Ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(Bytes(shared + "/old/inner/b.bin"), ntfsfixture::Content(Want("/old/inner/b.bin")));
    }

    // A lost folder: no record to take attributes from; its deleted child comes back.
    ASSERT_EQ(v->LostFolders().count(Deleted("/lostparent")), 1u);
    ASSERT_EQ(RecoverFolder(*v, Deleted("/lostparent"), out + "/Folder", RECOVER_ATTRIBUTES, &cb, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/Folder/orphan.txt"), ntfsfixture::Content(Want("/lostparent/orphan.txt")));

    // The stop flag ends a folder before anything is written.
    StopFlag stop {1};
    EXPECT_EQ(RecoverFolder(*v, Deleted("/old"), out + "/stopped", 0, &cb, &stop), RecoverResult::Stopped);
    EXPECT_FALSE(Exists(out + "/stopped"));
}

TEST_F(NtfsRecoveryTest, FolderLoopsEndWithoutRecursingForever) {
    // /old names /old/inner as its parent now: each folder lies inside the other.
    const std::string image = CopyImage();
    {
        RecordPatch p(image, Deleted("/old"));
        const size_t name = p.Find(kAttrFileName);
        ASSERT_NE(name, 0u);
        ntfstest::Put32(p.rec, name + (p.rec[name + 0x14] | p.rec[name + 0x15] << 8), Deleted("/old/inner"));
        p.Write();
    }
    auto v = Open(image, true);
    ASSERT_TRUE(v);
    // The index breaks the loop where it closes: /old becomes a lost folder,
    // no longer an item of /old/inner.
    EXPECT_TRUE(v->IsLostFolder(Deleted("/old")));
    RecordingCallback cb;
    cb.eventAnswer = RecoverResult::Ok;
    EXPECT_EQ(RecoverFolder(*v, Deleted("/old"), out + "/old", 0, &cb, nullptr), RecoverResult::Ok);
    EXPECT_EQ(Bytes(out + "/old/a.bin"), ntfsfixture::Content(Want("/old/a.bin")));
    EXPECT_EQ(Bytes(out + "/old/inner/b.bin"), ntfsfixture::Content(Want("/old/inner/b.bin")));
    EXPECT_TRUE(cb.codes.empty());
    EXPECT_FALSE(Exists(out + "/old/inner/old"));
    uint64_t total = 0;
    EXPECT_EQ(v->GetFolderSize(Deleted("/old"), total, nullptr, 0), true);
    EXPECT_GE(total, 29000u);
}

TEST_F(NtfsRecoveryTest, FolderSizeIgnoresLevelsBelowTwenty) {
    auto v = Open(s_image, true);
    ASSERT_TRUE(v);
    uint64_t total = 0;
    ASSERT_EQ(v->GetFolderSize(Deleted("/deep"), total, nullptr, 0), true);
    uint64_t want = 0;
    for (int level = 0; level <= 20; ++level) want += ntfsfixture::DeepFileSize(level);
    EXPECT_EQ(total, want);
    // The lost folders (-1) sum each lost folder's tree.
    total = 0;
    ASSERT_EQ(v->GetFolderSize(static_cast<uint32_t>(kLostFoldersId), total, nullptr, 0), true);
    EXPECT_EQ(total, ntfsfixture::kOrphanText.size());
    StopFlag stop {1};
    EXPECT_EQ(v->GetFolderSize(Deleted("/deep"), total, &stop, 0), false);
}

// ---------------------------------------------------------------------------
// Encrypted files

void PutLe32(std::vector<uint8_t>& b, size_t off, uint32_t v) { ntfstest::Put32(b, off, v); }

std::vector<uint8_t> Hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The import stream of a 70,000-byte file, written out by hand from the format.
std::vector<uint8_t> ExpectedEfsStream(const std::vector<uint8_t>& efsValue, const std::vector<uint8_t>& stored) {
    std::vector<uint8_t> s = Hex(
        std::string("00010000") + "52004f00420053000000" + "000000000000" + "1e000000" + "4e00540046005300" +
        std::string(24, '0') + "02000000" + "10199003" + "0000" + "47005500520045000000" + "0000");
    EXPECT_EQ(s.size(), 66u);
    s.insert(s.end(), efsValue.begin(), efsValue.end());
    const auto dataHeader = Hex("2a000000" "4e005400460053000000" "00000000000000000000" "0e000000"
                                "3a003a0024004400410054004100");
    EXPECT_EQ(dataHeader.size(), 42u);
    s.insert(s.end(), dataHeader.begin(), dataHeader.end());
    const uint32_t lengths[2] = {65536, 4464};
    const uint32_t padded[2] = {65536, 4608};
    size_t at = 0;
    for (uint32_t block = 0; block < 2; ++block) {
        std::vector<uint8_t> h(512, 0);
        PutLe32(h, 0, padded[block] + 0x200);
        const auto gure = Hex("47005500520045000000");
        std::copy(gure.begin(), gure.end(), h.begin() + 4);
        PutLe32(h, 0x12, block);
        PutLe32(h, 0x16, 0x01F00000);
        PutLe32(h, 0x1C, lengths[block]);
        PutLe32(h, 0x20, lengths[block]);
        PutLe32(h, 0x24, 0x0D0D0000);
        PutLe32(h, 0x28, 0x0001010C);
        PutLe32(h, 0x2C, padded[block]);
        s.insert(s.end(), h.begin(), h.end());
        s.insert(s.end(), stored.begin() + at, stored.begin() + at + padded[block]);
        at += padded[block];
    }
    return s;
}

class NtfsEfsTest : public NtfsRecoveryTest {
protected:
    void SetUp() override {
        NtfsRecoveryTest::SetUp();
        image = CopyImage();
        id = Deleted("/enc.bin");
        // The clusters hold the "ciphertext": the fixture's bytes, and past
        // the real size the rest of the last 512-byte unit, which belongs to
        // the stream, then bytes that do not.
        const auto clusters = ntfsfixture::IstatClusters(image, id);
        ASSERT_EQ(clusters.size(), 18u);
        std::vector<uint8_t> tail(4096 - 368, 0x5A);
        std::fill(tail.begin(), tail.begin() + 144, 0xA5);
        testutil::PatchFile(image, clusters[17] * 4096 + 368, tail);
        stored = ntfsfixture::Content(Want("/enc.bin"));
        stored.resize(70144, 0xA5);

        efsValue.assign(0x68, 0);
        PutLe32(efsValue, 0, 0x68);
        for (size_t i = 4; i < efsValue.size(); ++i) efsValue[i] = static_cast<uint8_t>(i * 7);
        RecordPatch p(image, id);
        p.AddResident(kAttrEfs, 9, efsValue);
        p.AddFileAttributes(FILE_ATTRIBUTE_ENCRYPTED);
        p.Write();
    }
    std::string image;
    uint32_t id = 0;
    std::vector<uint8_t> stored;
    std::vector<uint8_t> efsValue;
};

TEST_F(NtfsEfsTest, RawImportStreamIsExactToTheByte) {
    auto v = Open(image);
    ASSERT_TRUE(v);
    RecordingCallback cb;
    ASSERT_EQ(RecoverFile(*v, id, out + "/enc.bin", RECOVER_STREAMS, &cb, nullptr), RecoverResult::Ok);
    // No plain file: the still-encrypted import stream only.
    EXPECT_FALSE(Exists(out + "/enc.bin"));
    const auto want = ExpectedEfsStream(efsValue, stored);
    EXPECT_EQ(Bytes(out + "/enc.bin.efsraw"), want);
    uint64_t sum = 0;
    for (auto [chunk, soFar] : cb.progress) sum += chunk;
    EXPECT_EQ(sum, 70000u);
    EXPECT_EQ(cb.progress.back().second, 70000u);
    ASSERT_EQ(cb.fileEnds.size(), 1u);
    EXPECT_TRUE(cb.fileEnds[0].second);

    // Pulled in odd small pieces, the producer gives the same stream.
    CNtfsFile file;
    ASSERT_TRUE(file.OpenRecord(v.get(), id, false));
    CEfsRawProducer producer(*v, file, nullptr);
    std::vector<uint8_t> pulled;
    uint8_t piece[7];
    for (uint32_t n; (n = producer.Produce(piece, sizeof piece)) > 0;) pulled.insert(pulled.end(), piece, piece + n);
    EXPECT_FALSE(producer.Broken());
    EXPECT_EQ(pulled, want);
}

TEST_F(NtfsEfsTest, InconsistentOrMissingEfsGivesCode20AndNoPlainData) {
    {
        RecordPatch p(image, id);
        const size_t efs = p.Find(kAttrEfs);
        ASSERT_NE(efs, 0u);
        ntfstest::Put32(p.rec, efs + 0x18, 0x1234);  // the value's own length disagrees
        p.Write();
        RecordPatch q(image, Deleted("/docs/report.bin"));
        q.AddFileAttributes(FILE_ATTRIBUTE_ENCRYPTED);  // marked encrypted, no $EFS at all
        q.Write();
    }
    auto v = Open(image);
    ASSERT_TRUE(v);
    for (uint32_t record : {id, Deleted("/docs/report.bin")}) {
        RecordingCallback cb;
        const std::string log = LogOf(dir.file("log.txt"), [&] {
            EXPECT_EQ(RecoverFile(*v, record, out + "/f", 0, &cb, nullptr), RecoverResult::Skip);
        });
        EXPECT_EQ(cb.codes, std::vector<ItemProblem>{ItemProblem::EncryptionData});
        EXPECT_FALSE(Exists(out + "/f"));
        EXPECT_FALSE(Exists(out + "/f.efsraw"));
        EXPECT_NE(log.find("$EFS attribute is corrupted.\n"), std::string::npos);
    }
}

TEST_F(NtfsEfsTest, StoppedImportLeavesNothingBehind) {
    auto v = Open(image);
    ASSERT_TRUE(v);
    StopFlag stop {0};
    RecordingCallback cb;
    cb.onProgress = [&](uint32_t, uint64_t soFar) {
        if (soFar >= 4096) stop = 1;
        return WalkResult::Continue;
    };
    EXPECT_EQ(RecoverFile(*v, id, out + "/enc.bin", 0, &cb, &stop), RecoverResult::Stopped);
    EXPECT_FALSE(Exists(out + "/enc.bin.efsraw"));
    EXPECT_FALSE(Exists(out + "/enc.bin"));
}

}  // namespace
