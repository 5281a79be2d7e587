// The NTFS index (BuildIndex, enumerators, counts, search, live folders and
// the cache file) on an image made by mkntfs + libntfs-3g, with Sleuth Kit's
// fls as the independent reader of what is deleted where.
//
// The scenario relies on libntfs-3g giving out the lowest free MFT record
// after a fresh mount (checked with istat below), so that /lostparent's
// record is taken by the file /reuse.txt: its deleted child orphan.bin is
// then under a lost folder. /hog.bin takes every free cluster, so /cover.bin
// (51 clusters) can only take clusters of orphan.bin (3), /whole.bin (10)
// and /part.bin (98); which ones it took is read back with istat, and the
// data status of each deleted file must follow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "NtfsRecoveryFixture.h"
#include "FixturePattern.h"
#include "NtfsTestSupport.h"
#include "common/TestUtil.h"
#include "app/Log.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/volume/SearchCriteria.h"
#include "engine/volume/IndexCache.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

using testutil::MustRun;
using testutil::Quote;

namespace {

const char* kScript = R"(mkdir /lostparent
text /sacrifice.txt "resident, its record is taken by cover.bin"
write /lostparent/orphan.bin random:5 12000
mkdir /live/deep
write /live/deep/keep.bin random:1 50000
write /whole.bin random:8 40000
write /part.bin random:6 400000
write /tail.bin random:10 4096
write /live/deep/gone.txt random:2 30000
mkdir /old/inner
write /old/a.bin random:3 20000
write /old/inner/b.bin random:4 9000
text /old/c.txt "small resident"
fill /hog.bin
delete /lostparent/orphan.bin
delete /lostparent
delete /sacrifice.txt
remount
text /reuse.txt "takes the record of /lostparent"
delete /whole.bin
delete /part.bin
write /cover.bin random:11 208896
delete /live/deep/gone.txt
delete /old/inner/b.bin
delete /old/a.bin
delete /old/c.txt
delete /old/inner
delete /old
)";

std::vector<uint8_t> fixture_bytes(const char* pattern, size_t n) {
    fixture::Pattern p;
    fixture::Pattern::Parse(pattern, p);
    return p.Bytes(0, n);
}

std::u16string U(const std::string& s) { return Utf8ToUtf16(s); }
std::string S(const std::u16string& s) { return Utf16ToUtf8(s); }

// Captures the log into a file for one scope.
class LogCapture {
public:
    explicit LogCapture(const std::string& path) : m_path(path) {
        std::remove(path.c_str());
        CLogFile::Instance().Open(path);
        CLogFile::Instance().SetLevel(2);
    }
    ~LogCapture() {
        CLogFile::Instance().Close();
        CLogFile::Instance().SetLevel(0);
    }
    std::string Text() const {
        auto b = testutil::ReadFileBytes(m_path);
        return std::string(b.begin(), b.end());
    }

private:
    std::string m_path;
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// The clusters of a record's unnamed $DATA as istat lists them.
std::set<uint64_t> IstatClusters(const std::string& image, uint32_t record) {
    const auto clusters = ntfsfixture::IstatClusters(image, record);
    return {clusters.begin(), clusters.end()};
}

// Percentage of a deleted file's clusters that the live file reuses.
int ReusedShare(const std::set<uint64_t>& file, const std::set<uint64_t>& reuser) {
    size_t n = 0;
    for (uint64_t c : file) n += reuser.count(c);
    return file.empty() ? 0 : static_cast<int>(n * 100 / file.size());
}

}  // namespace

// The deleted-only listing through the engine API, as the browse views and
// the command line walk it: deleted items of every live folder that has
// some (by path), recursing into deleted folders by id; the lost folders
// under "$LostFolders/Folder<id>". Path -> id.
// Every deleted item's listing (name, size, attributes, times, data status)
// by id, as the folders' enumerators give it.
std::map<uint32_t, std::tuple<std::u16string, uint64_t, uint32_t, uint64_t, uint64_t, int32_t>> DeletedFacts(
    CNtfsVolume& v, const std::vector<uint32_t>& folders) {
    std::map<uint32_t, std::tuple<std::u16string, uint64_t, uint32_t, uint64_t, uint64_t, int32_t>> out;
    for (uint32_t folder : folders) {
        std::unique_ptr<IEnumDeletedFiles> e;
        if (!v.EnumDeletedFiles(static_cast<int32_t>(folder), e) || !e) continue;
        FileItemInfo i;
        while (e->Next(i, false))
            out[i.id] = {i.name, i.size, i.attributes, i.creationTime, i.modificationTime, i.dataStatus};
    }
    return out;
}

std::map<std::string, uint32_t> ListDeletedRecursive(CNtfsVolume& v) {
    std::map<std::string, uint32_t> out;
    std::function<void(uint32_t, const std::string&, int)> byId = [&](uint32_t id, const std::string& prefix,
                                                                     int depth) {
        std::unique_ptr<IEnumDeletedFiles> e;
        if (depth > 64 || !v.EnumDeletedFiles(static_cast<int32_t>(id), e) || !e) return;
        FileItemInfo info;
        while (e->Next(info, true)) {
            const std::string path = prefix + S(info.name);
            if (!out.emplace(path, info.id).second) continue;
            if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) byId(info.id, path + "/", depth + 1);
        }
    };
    std::function<void(const std::string&, int)> byPath = [&](const std::string& folder, int depth) {
        const std::u16string engine = U("C:\\" + folder);
        if (depth > 64) return;
        if (v.HasDeletedFilesByPath(engine)) {
            std::unique_ptr<IEnumDeletedFiles> e;
            if (v.EnumDeletedFilesByPath(engine, e) && e) {
                FileItemInfo info;
                const std::string prefix = folder.empty() ? "" : folder + "/";
                while (e->Next(info, true)) {
                    const std::string path = prefix + S(info.name);
                    out.emplace(path, info.id);
                    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) byId(info.id, path + "/", depth + 1);
                }
            }
        }
        std::vector<FileItemInfo> live;
        if (!v.ListLiveFolder(engine, live)) return;
        for (const auto& l : live)
            if ((l.attributes & FILE_ATTRIBUTE_DIRECTORY) && v.ExistingFolders().count(l.id))
                byPath((folder.empty() ? "" : folder + "\\") + S(l.name), depth + 1);
    };
    byPath("", 0);
    std::unique_ptr<IEnumDeletedFiles> lost;
    if (v.EnumDeletedFiles(kLostFoldersId, lost) && lost) {
        FileItemInfo info;
        while (lost->Next(info, true)) byId(info.id, "$LostFolders/Folder" + std::to_string(info.id) + "/", 1);
    }
    // Live folders were walked with "\"; paths are shown with "/".
    std::map<std::string, uint32_t> shown;
    for (auto& [p, id] : out) {
        std::string q = p;
        for (auto& c : q)
            if (c == '\\') c = '/';
        shown[q] = id;
    }
    return shown;
}

class NtfsIndexTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new testutil::TempDir();
        s_image = s_dir->file("index.img");
        const std::string script = s_dir->file("script.txt");
        std::ofstream(script) << kScript;
        auto r = testutil::Run("truncate -s 32M " + Quote(s_image) + " && mkntfs -F -f -q " + Quote(s_image) +
                               " >/dev/null 2>&1 && " + Quote(testutil::BinDir() + "/ntfs-fixture") + " " +
                               Quote(s_image) + " - < " + Quote(script));
        if (r.exitCode != 0) {
            s_error = "fixture build failed: " + r.out;
            return;
        }
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            size_t sp = line.find(' ');
            if (sp == std::string::npos) continue;
            std::string path = line.substr(sp + 1);
            const bool deleted = path.size() > 10 && path.substr(path.size() - 10) == " (deleted)";
            if (deleted) path.resize(path.size() - 10);
            auto& slot = deleted ? s_deletedRecords : s_records;
            slot[path] = static_cast<uint32_t>(std::stoul(line.substr(0, sp)));
        }
        setenv("XDG_CACHE_HOME", s_dir->file("cache").c_str(), 1);
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
    static std::unique_ptr<CNtfsVolume> Built(const std::string& path) {
        auto v = Open(path);
        if (!v) return nullptr;
        IndexProgress progress;
        if (!v->BuildIndex(&progress)) return nullptr;
        return v;
    }
    std::string CopyImage(const std::string& name) {
        std::string p = s_dir->file(name);
        MustRun("cp --sparse=always " + Quote(s_image) + " " + Quote(p));
        return p;
    }
    static uint32_t Deleted(const std::string& path) { return s_deletedRecords.at(path); }
    static uint32_t Live(const std::string& path) { return s_records.at(path); }

    static testutil::TempDir* s_dir;
    static std::string s_image;
    static std::string s_error;
    static std::map<std::string, uint32_t> s_records;
    static std::map<std::string, uint32_t> s_deletedRecords;
};

testutil::TempDir* NtfsIndexTest::s_dir = nullptr;
std::string NtfsIndexTest::s_image;
std::string NtfsIndexTest::s_error;
std::map<std::string, uint32_t> NtfsIndexTest::s_records;
std::map<std::string, uint32_t> NtfsIndexTest::s_deletedRecords;

TEST_F(NtfsIndexTest, ScenarioHappenedAsPlanned) {
    // The lost folder: /lostparent's record now holds the file /reuse.txt.
    const uint32_t lost = Deleted("/lostparent");
    EXPECT_EQ(Live("/reuse.txt"), lost);
    const std::string stat = MustRun("istat " + Quote(s_image) + " " + std::to_string(lost));
    EXPECT_NE(stat.find("Name: reuse.txt"), std::string::npos) << stat;
    EXPECT_NE(stat.find("Allocated File"), std::string::npos) << stat;
    // cover.bin took sacrifice.txt's record, not orphan.bin's; hog.bin left no free cluster.
    EXPECT_EQ(Live("/cover.bin"), Deleted("/sacrifice.txt"));
    EXPECT_NE(Live("/cover.bin"), Deleted("/lostparent/orphan.bin"));
}

TEST_F(NtfsIndexTest, BuildIndexFillsTheContainers) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    testutil::TempDir logDir;
    IndexProgress progress;
    {
        LogCapture log(logDir.file("log.txt"));
        ASSERT_TRUE(v->BuildIndex(&progress));
        const std::string text = log.Text();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m, std::regex("Found ([0-9]+) unused records in MFT \\(\\?:\\)\\.")))
            << text;
        // Every free record of the MFT (and no bit past its end) was a unit of phase 1.
        EXPECT_EQ(progress.phase, 1);
        EXPECT_EQ(std::to_string(progress.total), m[1].str());
        EXPECT_EQ(progress.done, progress.total);
        EXPECT_LE(progress.total, v->MftRecordCount());
    }

    // A deleted file in a live folder: one entry; the live folders up to the root are existing folders.
    const uint32_t gone = Deleted("/live/deep/gone.txt");
    std::u16string name;
    uint32_t attributes = 0;
    ASSERT_TRUE(v->GetIndexEntry(gone, name, attributes));
    EXPECT_EQ(name, u"gone.txt");
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(v->ExistingFolders().count(Live("/live/deep")), 1u);
    EXPECT_EQ(v->ExistingFolders().at(Live("/live/deep")), Live("/live"));
    EXPECT_EQ(v->ExistingFolders().at(Live("/live")), 5u);
    EXPECT_EQ(v->ExistingFolders().count(5), 0u);
    int32_t parent = -5;
    ASSERT_TRUE(v->GetParentFolder(gone, parent));
    EXPECT_EQ(parent, 0);
    EXPECT_TRUE(v->HasDeletedFilesByPath(u"C:\\live\\deep"));
    EXPECT_TRUE(v->HasDeletedFilesByPath(u"C:\\"));
    EXPECT_FALSE(v->HasDeletedFilesByPath(u"C:\\nope"));

    // A deleted folder tree: the folders and their files, keyed under their folder.
    const uint32_t old = Deleted("/old"), inner = Deleted("/old/inner");
    ASSERT_TRUE(v->GetIndexEntry(old, name, attributes));
    EXPECT_EQ(name, u"old");
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(v->GetParentFolder(Deleted("/old/inner/b.bin"), parent));
    EXPECT_EQ(static_cast<uint32_t>(parent), inner);
    ASSERT_TRUE(v->GetParentFolder(inner, parent));
    EXPECT_EQ(static_cast<uint32_t>(parent), old);
    uint32_t folders = 9, files = 9;
    ASSERT_TRUE(v->CountDeletedFiles(static_cast<int32_t>(old), folders, files));
    EXPECT_EQ(folders, 1u);  // inner
    EXPECT_EQ(files, 3u);    // a.bin, c.txt, inner/b.bin
    ASSERT_TRUE(v->CountDeletedFilesByPath(u"C:\\live", folders, files));
    EXPECT_EQ(folders, 0u);
    EXPECT_EQ(files, 1u);
    ASSERT_FALSE(v->CountDeletedFilesByPath(u"C:\\nope", folders, files));

    std::unique_ptr<IEnumDeletedFiles> e;
    ASSERT_TRUE(v->EnumDeletedFiles(static_cast<int32_t>(old), e));
    std::map<std::u16string, FileItemInfo> items;
    FileItemInfo info;
    while (e->Next(info, false)) items[info.name] = info;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[u"a.bin"].size, 20000u);
    EXPECT_EQ(items[u"a.bin"].id, Deleted("/old/a.bin"));
    EXPECT_EQ(items[u"a.bin"].dataStatus, 0);
    EXPECT_EQ(items[u"c.txt"].size, 14u);  // resident data: status 0
    EXPECT_EQ(items[u"c.txt"].dataStatus, 0);
    EXPECT_TRUE(items[u"inner"].attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(items[u"a.bin"].modificationTime, 0u);
    // Reset starts again; names only gives the same items.
    e->Reset();
    size_t again = 0;
    while (e->Next(info, true)) ++again;
    EXPECT_EQ(again, 3u);

    // The lost folder: nameless, with the folder bit, counted as a folder.
    const uint32_t lost = Deleted("/lostparent");
    EXPECT_TRUE(v->HasLostFolders());
    EXPECT_TRUE(v->IsLostFolder(lost));
    EXPECT_FALSE(v->IsLostFolder(old));
    ASSERT_TRUE(v->EnumDeletedFiles(kLostFoldersId, e));
    std::vector<FileItemInfo> lostItems;
    while (e->Next(info, false)) lostItems.push_back(info);
    ASSERT_EQ(lostItems.size(), 1u);
    EXPECT_EQ(lostItems[0].id, lost);
    EXPECT_TRUE(lostItems[0].name.empty());
    EXPECT_EQ(lostItems[0].attributes, FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(v->CountDeletedFiles(kLostFoldersId, folders, files));
    EXPECT_EQ(folders, 1u);
    EXPECT_EQ(files, 1u);
    ASSERT_TRUE(v->GetParentFolder(Deleted("/lostparent/orphan.bin"), parent));
    EXPECT_EQ(static_cast<uint32_t>(parent), lost);
    EXPECT_FALSE(v->GetIndexEntry(lost, name, attributes));  // a lost folder is no index entry

    // Data status follows the clusters reused by cover.bin.
    auto status = [&](uint32_t id) {
        FileItemInfo fi;
        EXPECT_TRUE(v->GetFileInfo(id, true, fi));
        return fi.dataStatus;
    };
    const auto cover = IstatClusters(s_image, Live("/cover.bin"));
    ASSERT_EQ(cover.size(), 51u);
    const int whole = ReusedShare(IstatClusters(s_image, Deleted("/whole.bin")), cover);
    const int part = ReusedShare(IstatClusters(s_image, Deleted("/part.bin")), cover);
    const int orphan = ReusedShare(IstatClusters(s_image, Deleted("/lostparent/orphan.bin")), cover);
    EXPECT_EQ(whole, 100);  // the allocator's choice, as the scenario needs it
    EXPECT_GT(part, 0);
    EXPECT_LT(part, 100);
    EXPECT_EQ(status(Deleted("/whole.bin")), whole);
    EXPECT_EQ(status(Deleted("/part.bin")), part);
    EXPECT_EQ(status(Deleted("/lostparent/orphan.bin")), orphan);
    EXPECT_EQ(status(gone), 0);
    FileItemInfo fi;
    ASSERT_TRUE(v->GetFileInfo(Deleted("/part.bin"), false, fi));
    EXPECT_EQ(fi.dataStatus, 0);  // not asked for
    EXPECT_EQ(fi.name, u"part.bin");

    // The data of a deleted file whose clusters are untouched.
    std::unique_ptr<IGenericFile> file;
    ASSERT_TRUE(v->OpenFile(gone, file));
    std::vector<uint8_t> data(30000), buf(4096);
    size_t at = 0;
    uint32_t got = 0;
    while (file->Read(buf.data(), 4096, got) && got) {
        ASSERT_LE(at + got, data.size());
        std::copy(buf.begin(), buf.begin() + got, data.begin() + at);
        at += got;
    }
    EXPECT_EQ(at, 30000u);
    EXPECT_EQ(data, fixture_bytes("random:2", 30000));
    EXPECT_TRUE(v->OpenFileByPath(u"C:\\live\\deep\\keep.bin", file));
    EXPECT_FALSE(v->OpenFileByPath(u"C:\\live\\deep\\gone.txt", file));  // deleted: not in the folder index

    // ClearIndex empties everything.
    v->ClearIndex();
    EXPECT_EQ(v->FileIndexSize(), 0u);
    EXPECT_EQ(v->ChildrenSize(), 0u);
    EXPECT_FALSE(v->HasLostFolders());
    EXPECT_TRUE(v->ExistingFolders().empty());
}

// The deleted listing against fls, lost folders included, is DeletedCensusTest's
// (over the NTFS samples, fixtures and public images).

namespace {
class Collect : public ISearchCallback {
public:
    WalkResult OnSearchProgress(uint32_t index, uint32_t total) override {
        lastIndex = index;
        this->total = total;
        return stopAt < 0 || static_cast<int>(index) < stopAt ? WalkResult::Continue : WalkResult::Stop;
    }
    WalkResult OnFileFound(const FileItemInfo& info) override {
        hits.push_back(info);
        return WalkResult::Continue;
    }
    std::vector<FileItemInfo> hits;
    uint32_t lastIndex = 0, total = 0;
    int stopAt = -1;
};
}  // namespace

TEST_F(NtfsIndexTest, SearchRecordsTheFoldersOfItsHits) {
    auto v = Built(s_image);
    ASSERT_NE(v, nullptr);
    v->SetSourceWindow(0, 0);
    Collect cb;
    SearchCriteria c;
    c.callback = &cb;
    c.useName = 1;
    c.nameMode = 1;
    c.name = u".bin";
    v->SearchFiles(&c);
    EXPECT_EQ(cb.total, v->FileIndexSize());
    std::map<std::u16string, FileItemInfo> hits;
    for (auto& h : cb.hits) hits[h.name] = h;
    EXPECT_EQ(hits.size(), 5u);  // orphan, whole, part, a, b
    ASSERT_TRUE(hits.count(u"b.bin"));
    EXPECT_EQ(hits[u"part.bin"].size, 400000u);
    FileItemInfo partInfo;
    ASSERT_TRUE(v->GetFileInfo(hits[u"part.bin"].id, true, partInfo));
    EXPECT_EQ(hits[u"part.bin"].dataStatus, partInfo.dataStatus);
    EXPECT_GT(partInfo.dataStatus, 0);

    std::u16string path;
    bool broken = true;
    uint32_t last = 0;
    ASSERT_TRUE(v->GetFullPath(hits[u"b.bin"].id, path, broken, last));
    EXPECT_EQ(path, u"C:\\old\\inner\\");
    EXPECT_FALSE(broken);
    ASSERT_TRUE(v->GetFullPath(hits[u"part.bin"].id, path, broken, last));
    EXPECT_EQ(path, u"C:\\");
    // Under a lost folder the path is broken at the lost folder.
    ASSERT_TRUE(v->GetFullPath(hits[u"orphan.bin"].id, path, broken, last));
    EXPECT_TRUE(broken);
    EXPECT_EQ(last, Deleted("/lostparent"));
    // Never a hit: empty path, not broken.
    ASSERT_TRUE(v->GetFullPath(Deleted("/live/deep/gone.txt"), path, broken, last));
    EXPECT_TRUE(path.empty());
    EXPECT_FALSE(broken);

    // The progress answer stops the walk. (Size and date bounds: cli/SearchTest,
    // on NTFS images against the filtered listing.)
    Collect stopping;
    stopping.stopAt = 2;
    SearchCriteria all;
    all.callback = &stopping;
    v->SearchFiles(&all);
    EXPECT_TRUE(all.Stopped());
    EXPECT_LE(stopping.hits.size(), 2u);
}

TEST_F(NtfsIndexTest, LiveFolderListingAgreesWithFls) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    std::vector<FileItemInfo> items;
    ASSERT_TRUE(v->ListLiveFolder(u"C:\\live\\deep\\", items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, u"keep.bin");
    EXPECT_EQ(items[0].id, Live("/live/deep/keep.bin"));
    EXPECT_FALSE(v->ListLiveFolder(u"C:\\old", items));
    ASSERT_TRUE(v->ListLiveFolder(u"\\", items));
    // fls of the root, allocated names only, without the metafiles.
    std::set<std::string> expected;
    std::istringstream in(MustRun("fls " + Quote(s_image)));
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex(R"(^([-a-z])/([-a-z]) ([0-9]+)-[0-9]+-[0-9]+:\t(.*)$)"))) continue;
        if (std::stoul(m[3]) < 16) continue;
        expected.insert(m[4]);
    }
    std::set<std::string> ours;
    for (const auto& i : items) ours.insert(S(i.name));
    EXPECT_EQ(ours, expected);
    for (const auto& i : items)
        if (i.name == u"live") {
            EXPECT_TRUE(i.attributes & FILE_ATTRIBUTE_DIRECTORY);
        }
}

namespace {
int64_t g_now = 0;
int64_t FakeNow() { return g_now; }
}  // namespace

TEST_F(NtfsIndexTest, CacheFileRoundTripAndRejections) {
    auto built = Built(s_image);
    ASSERT_NE(built, nullptr);
    g_now = 1'000'000'000;
    built->SetCacheClock(&FakeNow);
    IndexProgress progress;
    ASSERT_TRUE(built->DumpIndexToCache(&progress));
    EXPECT_EQ(progress.phase, 2);
    const uint32_t count = static_cast<uint32_t>(built->FileIndexSize() + built->ChildrenSize() +
                                                 built->LostFolders().size() + built->ExistingFolders().size());
    EXPECT_EQ(progress.total, count);
    EXPECT_EQ(progress.done, count);
    const std::string path = CacheFilePath(*built);
    const auto good = testutil::ReadFileBytes(path);
    ASSERT_GE(good.size(), 32u);
    EXPECT_EQ(LeBytes(good.data(), good.size()).u32(24), count);
    EXPECT_EQ(good[4], 0);  // complete

    // The restored index answers like the built one.
    auto restored = Open(s_image);
    ASSERT_NE(restored, nullptr);
    restored->SetCacheClock(&FakeNow);
    g_now += 18000;  // exactly 5 hours: accepted
    IndexProgress rp;
    ASSERT_TRUE(restored->RestoreIndexFromCache(&rp));
    EXPECT_EQ(rp.phase, 3);
    EXPECT_EQ(rp.done, count);
    EXPECT_EQ(restored->FileIndexRecords(), built->FileIndexRecords());
    EXPECT_EQ(restored->LostFolders(), built->LostFolders());
    EXPECT_EQ(restored->ExistingFolders(), built->ExistingFolders());
    EXPECT_EQ(ListDeletedRecursive(*restored), ListDeletedRecursive(*built));
    // The built index lists its files from what the build took from their
    // records, reading nothing; the restored one reads the records: both
    // show the same.
    std::vector<uint32_t> folders = built->FileIndexRecords();
    folders.push_back(5);  // the root folder
    const uint64_t before = built->SourceBytesRead();
    const auto fromBuild = DeletedFacts(*built, folders);
    EXPECT_EQ(built->SourceBytesRead(), before);
    EXPECT_GT(fromBuild.size(), 5u);
    EXPECT_EQ(fromBuild, DeletedFacts(*restored, folders));
    EXPECT_GT(restored->SourceBytesRead(), 0u);
    // Every other answer of the restored index (entries, parents, counts,
    // search hits and their paths) is compared in index/CacheRoundTripTest.

    testutil::TempDir logDir;
    auto attempt = [&](const std::vector<uint8_t>& bytes, std::string* log) {
        testutil::WriteFileBytes(path, bytes);
        auto v = Open(s_image);
        v->SetCacheClock(&FakeNow);
        LogCapture capture(logDir.file("restore.txt"));
        IndexProgress p;
        bool ok = v->RestoreIndexFromCache(&p);
        if (log) *log = capture.Text();
        return ok;
    };
    std::string log;
    // 5 hours and 1 second: rejected and deleted.
    g_now += 1;
    EXPECT_FALSE(attempt(good, &log));
    EXPECT_NE(log.find("Too old cache."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
    g_now -= 1;

    // A record of length 5000 ends the reading: wrong count, file deleted.
    auto longRecord = good;
    longRecord[32] = 0x88;
    longRecord[33] = 0x13;
    EXPECT_FALSE(attempt(longRecord, &log));
    EXPECT_NE(log.find("Error reading cache: wrong number of entries"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(path));

    // A truncated file.
    auto cut = good;
    cut.resize(good.size() - 3);
    EXPECT_FALSE(attempt(cut, &log));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A huge record count: no allocation by it, wrong count.
    auto huge = good;
    huge[24] = huge[25] = huge[26] = huge[27] = 0xFF;
    EXPECT_FALSE(attempt(huge, &log));
    EXPECT_NE(log.find("wrong number of entries"), std::string::npos);

    // An unknown record type is logged and still counted.
    auto unknown = good;
    const std::vector<uint8_t> extra{7, 0, 9, 1, 2, 3, 4};
    unknown.insert(unknown.end(), extra.begin(), extra.end());
    uint32_t bumped = count + 1;
    for (int i = 0; i < 4; ++i) unknown[24 + i] = static_cast<uint8_t>(bumped >> (8 * i));
    EXPECT_TRUE(attempt(unknown, &log));
    EXPECT_EQ(Occurrences(log, "!!!Unknown entry type"), 1u) << log;
    EXPECT_NE(log.find("Entries in file_index:0"), std::string::npos) << log;

    // (An incomplete file and another letter are refused by the header check
    // both file systems share: index/FatCacheTest.)

    // Another source (a copy of the image at another path) looks for another file.
    const std::string copy = CopyImage("other.img");
    auto other = Open(copy);
    ASSERT_NE(other, nullptr);
    other->SetCacheClock(&FakeNow);
    testutil::WriteFileBytes(path, good);
    EXPECT_NE(CacheFilePath(*other), path);
    EXPECT_FALSE(other->RestoreIndexFromCache(nullptr));
    EXPECT_EQ(other->FileIndexSize(), 0u);
}

TEST_F(NtfsIndexTest, CancelledBuildKeepsWhatItFound) {
    auto v = Open(s_image);
    ASSERT_NE(v, nullptr);
    IndexProgress progress;
    const StopFlag stop {1};
    progress.stop = &stop;
    EXPECT_FALSE(v->BuildIndex(&progress));
    EXPECT_EQ(v->FileIndexSize(), 0u);
    EXPECT_FALSE(v->HasRecycledFiles(false));
}

namespace {

// Offset of a record's first attribute of a type (record already unprotected), 0 when absent.
size_t FindAttr(const std::vector<uint8_t>& rec, uint32_t type) {
    LeBytes b(rec.data(), rec.size());
    size_t p = b.u16(0x14);
    for (int guard = 0; guard < 64 && p + 8 <= rec.size(); ++guard) {
        const uint32_t t = b.u32(p), len = b.u32(p + 4);
        if (t == 0xFFFFFFFF || len < 24) return 0;
        if (t == type) return p;
        p += len;
    }
    return 0;
}

}  // namespace

TEST_F(NtfsIndexTest, HostileRecordsStillBuild) {
    const std::string image = CopyImage("hostile.img");
    auto probe = Open(image);
    ASSERT_NE(probe, nullptr);
    const uint32_t recordSize = probe->MftRecordSize();
    auto offsetOf = [&](uint32_t n) {
        uint64_t pos = uint64_t(n) * recordSize;
        for (const auto& e : probe->MftData()->Extents()) {
            const uint64_t start = e.vcn * probe->ClusterSize();
            if (pos >= start && pos < start + e.length * probe->ClusterSize())
                return uint64_t(e.lcn) * probe->ClusterSize() + (pos - start);
        }
        return uint64_t(0);
    };
    auto patch = [&](uint32_t n, const std::function<void(std::vector<uint8_t>&)>& change) {
        const uint64_t off = offsetOf(n);
        ASSERT_NE(off, 0u);
        auto all = testutil::ReadFileBytes(image);
        std::vector<uint8_t> rec(all.begin() + off, all.begin() + off + recordSize);
        ntfstest::UnprotectBlock(rec);
        change(rec);
        ntfstest::ProtectBlock(rec, 7);
        testutil::PatchFile(image, off, rec);
    };
    auto setParent = [&](uint32_t n, uint32_t parent) {
        patch(n, [&](std::vector<uint8_t>& rec) {
            const size_t fn = FindAttr(rec, 0x30);
            ASSERT_NE(fn, 0u);
            const size_t value = fn + LeBytes(rec.data(), rec.size()).u16(fn + 0x14);
            ntfstest::Put32(rec, value, parent);
        });
    };
    // A parent far beyond the MFT.
    setParent(Deleted("/live/deep/gone.txt"), 0x00FFFFF0);
    // Two deleted folders that name each other as parent.
    setParent(Deleted("/old"), Deleted("/old/inner"));
    setParent(Deleted("/old/inner"), Deleted("/old"));
    // A deleted file that names itself.
    setParent(Deleted("/whole.bin"), Deleted("/whole.bin"));
    // The $MFT's bitmap claims 1 MiB (8 Mi records) for an MFT of a few dozen records.
    patch(0, [&](std::vector<uint8_t>& rec) {
        const size_t bm = FindAttr(rec, 0xB0);
        ASSERT_NE(bm, 0u);
        ASSERT_EQ(rec[bm + 8], 1);  // non-resident
        ntfstest::Put64(rec, bm + 0x28, 1 << 20);
        ntfstest::Put64(rec, bm + 0x30, 1 << 20);
        ntfstest::Put64(rec, bm + 0x38, 1 << 20);
    });

    auto v = Open(image);
    ASSERT_NE(v, nullptr);
    IndexProgress progress;
    ASSERT_TRUE(v->BuildIndex(&progress));
    EXPECT_LE(progress.total, v->MftRecordCount());
    // The items of the broken chains are still indexed.
    std::u16string name;
    uint32_t attributes = 0;
    EXPECT_TRUE(v->GetIndexEntry(Deleted("/live/deep/gone.txt"), name, attributes));
    EXPECT_TRUE(v->IsLostFolder(0x00FFFFF0));
    EXPECT_TRUE(v->GetIndexEntry(Deleted("/whole.bin"), name, attributes));
    EXPECT_TRUE(v->GetIndexEntry(Deleted("/old/inner/b.bin"), name, attributes));
    // The rest of the index is as before.
    EXPECT_TRUE(v->GetIndexEntry(Deleted("/part.bin"), name, attributes));
    EXPECT_TRUE(v->IsLostFolder(Deleted("/lostparent")));
    // Counts and listings over the loops end.
    uint32_t folders = 0, files = 0;
    EXPECT_TRUE(v->CountDeletedFiles(static_cast<int32_t>(Deleted("/old")), folders, files));
    EXPECT_TRUE(v->CountDeletedFiles(static_cast<int32_t>(Deleted("/whole.bin")), folders, files));
    EXPECT_TRUE(v->CountDeletedFilesByPath(u"C:\\", folders, files));
    EXPECT_TRUE(v->CountDeletedFiles(kLostFoldersId, folders, files));
    const auto listed = ListDeletedRecursive(*v);
    EXPECT_TRUE(listed.count("part.bin"));
    EXPECT_TRUE(listed.count("$LostFolders/Folder16777200/gone.txt"));
    // Every indexed item has a path, the loop's under a lost folder where the
    // loop closes, and the count of the whole volume is what is listed.
    std::set<uint32_t> listedIds;
    for (const auto& [path, id] : listed) listedIds.insert(id);
    for (uint32_t r : v->FileIndexRecords()) EXPECT_TRUE(listedIds.count(r)) << r;
    EXPECT_TRUE(listedIds.count(Deleted("/old/inner/b.bin")));
    EXPECT_TRUE(v->CountDeletedFilesByPath(u"C:\\", folders, files));
    EXPECT_EQ(folders + files, listed.size() + v->LostFolders().size());
    // The cache round trip of such an index stays consistent.
    ASSERT_TRUE(v->DumpIndexToCache(nullptr));
    auto r = Open(image);
    ASSERT_TRUE(r->RestoreIndexFromCache(nullptr));
    EXPECT_FALSE(v->FileIndexRecords().empty());
    EXPECT_EQ(r->FileIndexRecords(), v->FileIndexRecords());
}
