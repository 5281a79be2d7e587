// The FAT side of the index cache file: the exact bytes the writer produces
// for a small tree, the empty root, headers of another drive or file system,
// a cancelled save and a cancelled restore, and hostile files and files of
// the older layout, each rejected with its log line, deleted, and replaced by
// a fresh build through the indexing job.
#include <gtest/gtest.h>

#include "IndexTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/index/IndexJob.h"
#include "engine/index/VolumeRegistry.h"
#include "engine/volume/IndexCache.h"
#include "platform/LeBytes.h"

namespace {

using testutil::Quote;

int64_t g_now = 0;
int64_t FakeNow() { return g_now; }

// A small FAT12 volume: at the root the deleted empty folder Empty, the
// deleted folder Tree holding c.txt, the deleted file gone.txt, the live
// folder Docs holding the deleted a.txt and the live folder Keep with nothing
// deleted.
const std::string& GoldenImage() {
    static testutil::TempDir* dir = new testutil::TempDir();
    static std::string image;
    if (!image.empty()) return image;
    if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) return image;
    const std::string path = dir->file("golden.img"), data = dir->file("data");
    testutil::WriteFileBytes(data, testutil::PatternBytes(1500, 3));
    const std::string m = "MTOOLS_SKIP_CHECK=1 ", i = " -i " + Quote(path) + " ";
    auto r = testutil::Run("set -e; mkfs.fat -C -F 12 -n GOLDEN " + Quote(path) + " 1024 >/dev/null; " + m + "mmd" +
                           i + "::/EMPTY ::/TREE ::/DOCS ::/KEEP; " + m + "mcopy" + i + Quote(data) + " ::/TREE/C.TXT; " +
                           m + "mcopy" + i + Quote(data) + " ::/GONE.TXT; " + m + "mcopy" + i + Quote(data) +
                           " ::/DOCS/A.TXT; " + m + "mcopy" + i + Quote(data) + " ::/DOCS/B.TXT; " + m + "mdel" + i +
                           "::/GONE.TXT ::/DOCS/A.TXT; " + m + "mdeltree" + i + "::/EMPTY ::/TREE");
    if (r.exitCode == 0) image = path;
    else ADD_FAILURE() << r.out;
    return image;
}

// Record encoders, written from the format table.
struct Rec {
    std::vector<uint8_t> b;
    explicit Rec(uint8_t type) : b {0, 0, type} {}
    Rec& u8(uint8_t v) { b.push_back(v); return *this; }
    Rec& u16(uint16_t v) { u8(static_cast<uint8_t>(v)); return u8(static_cast<uint8_t>(v >> 8)); }
    Rec& u32(uint32_t v) { u16(static_cast<uint16_t>(v)); return u16(static_cast<uint16_t>(v >> 16)); }
    Rec& name(const std::u16string& n) {
        for (char16_t c : n) u16(c);
        return u16(0);
    }
    std::vector<uint8_t> done() {
        b[0] = static_cast<uint8_t>(b.size());
        b[1] = static_cast<uint8_t>(b.size() >> 8);
        return b;
    }
};

Rec& Fields(Rec& r, const FatFileInfo& e) {
    return r.u16(e.slot).u8(e.attributes).u32(e.firstCluster).u32(e.size).u16(e.creationDate).u16(e.creationTime)
        .u16(e.modificationDate).u16(e.modificationTime).u8(e.creationFine).name(e.name);
}
std::vector<uint8_t> FileRec(const FatFileInfo& e) {
    Rec r(1);
    return Fields(r, e).done();
}
std::vector<uint8_t> DeletedFolderRec(uint32_t block, const FatFileInfo& e) {
    Rec r(2);
    r.u32(block);
    return Fields(r, e).done();
}
std::vector<uint8_t> ExistingRec(uint32_t block, const FatExistingDir& d) {
    return Rec(3).u32(block).u32(d.firstCluster).u32(d.size).name(d.name).done();
}
std::vector<uint8_t> BlockStart(uint32_t id, uint32_t count) { return Rec(4).u32(id).u32(count).done(); }
std::vector<uint8_t> BlockEnd(uint32_t id) { return Rec(5).u32(id).done(); }
std::vector<uint8_t> Layout(uint32_t version = 2) { return Rec(6).u32(version).done(); }
constexpr size_t kLayoutRecordSize = 7;

// The fingerprint of the golden image, which every header written for it carries.
uint64_t g_fingerprint = 0;

std::vector<uint8_t> Header(char16_t letter, uint8_t type, int64_t savedAt, uint32_t count, uint8_t incomplete = 0,
                            uint64_t fingerprint = g_fingerprint) {
    CacheHeader h;
    h.fingerprint = fingerprint;
    h.incomplete = incomplete;
    h.driveLetter = letter;
    h.fileSystem = type;
    h.savedAt = savedAt;
    h.recordCount = count;
    std::vector<uint8_t> b(kCacheHeaderSize);
    h.Encode(b.data());
    return b;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

// Where needle first occurs among the records (past the header, whose
// fingerprint could hold anything).
size_t Find(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    if (hay.size() < kCacheHeaderSize) return std::string::npos;
    auto it = std::search(hay.begin() + kCacheHeaderSize, hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : static_cast<size_t>(it - hay.begin());
}

class FatCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        QUARLIX_REQUIRE(!GoldenImage().empty(), "mkfs.fat / mtools absent");
        indextest::UsePrivateCacheFolder();
        g_now = 1'700'000'000;
        drive = std::make_unique<indextest::Drive>(GoldenImage());
        built = Open();
        ASSERT_TRUE(built->BuildIndex(nullptr));
        path = CacheFilePath(*built);
        ASSERT_TRUE(built->DumpIndexToCache(nullptr));
        g_fingerprint = built->CacheFingerprint();
        ASSERT_NE(g_fingerprint, 0u);
        good = testutil::ReadFileBytes(path);
    }

    std::unique_ptr<CFatVolume> Open() {
        auto v = drive->Open();
        auto* fat = dynamic_cast<CFatVolume*>(v.get());
        EXPECT_NE(fat, nullptr);
        v.release();
        if (fat) fat->SetCacheClock(&FakeNow);
        return std::unique_ptr<CFatVolume>(fat);
    }
    // Restores from the bytes; the log of the attempt goes to *log.
    bool Restore(const std::vector<uint8_t>& bytes, std::string* log, std::unique_ptr<CFatVolume>* into = nullptr,
                 IndexProgress* progress = nullptr) {
        testutil::WriteFileBytes(path, bytes);
        auto v = Open();
        bool ok = false;
        {
            indextest::LogCapture capture(logDir.file("log.txt"));
            ok = v->RestoreIndexFromCache(progress);
            if (log) *log = capture.Text();
        }
        if (into) *into = std::move(v);
        return ok;
    }

    std::unique_ptr<indextest::Drive> drive;
    std::unique_ptr<CFatVolume> built;
    std::string path;
    std::vector<uint8_t> good;
    testutil::TempDir logDir;
};

TEST_F(FatCacheTest, WritesTheTreeAsBlocksByteForByte) {
    const FatExistingDir& root = *built->IndexRoot();
    ASSERT_EQ(root.deletedFolders.size(), 2u);
    ASSERT_EQ(root.deletedFiles.size(), 1u);
    ASSERT_EQ(root.existingFolders.size(), 2u);
    const FatDirInfo& empty = *root.deletedFolders[0];
    const FatDirInfo& tree = *root.deletedFolders[1];
    ASSERT_TRUE(empty.deletedFiles.empty() && empty.deletedFolders.empty()) << "EMPTY must be an empty deleted folder";
    ASSERT_EQ(tree.deletedFiles.size(), 1u);
    const FatExistingDir& docs = *root.existingFolders.at(u"docs");
    const FatExistingDir& keep = *root.existingFolders.at(u"keep");
    ASSERT_EQ(docs.deletedFiles.size(), 1u);

    std::vector<uint8_t> expected = Header(built->DriveLetter(), kPartitionFat12, g_now, 7);
    Append(expected, Layout());
    Append(expected, BlockStart(0, 5));
    Append(expected, DeletedFolderRec(0xFFFFFFFF, empty.entry));  // an empty deleted folder has no block
    Append(expected, DeletedFolderRec(1, tree.entry));
    Append(expected, FileRec(*root.deletedFiles[0]));
    Append(expected, ExistingRec(2, docs));
    Append(expected, ExistingRec(0xFFFFFFFF, keep));
    Append(expected, BlockEnd(0));
    Append(expected, BlockStart(1, 1));
    Append(expected, FileRec(*tree.deletedFiles[0]));
    Append(expected, BlockEnd(1));
    Append(expected, BlockStart(2, 1));
    Append(expected, FileRec(*docs.deletedFiles[0]));
    Append(expected, BlockEnd(2));
    EXPECT_TRUE(good == expected) << "the cache file differs from the format";
    EXPECT_EQ(docs.name, u"DOCS") << "the folder's name keeps its case in the index and in the file";
    EXPECT_NE(docs.deletedFiles[0]->slot, 0u) << "a.txt sits after \".\" and \"..\": its slot is on record";
}

TEST_F(FatCacheTest, AnEmptyRootWritesOnlyTheHeaderAndLayoutAndRestoresEmpty) {
    testutil::TempDir dir;
    const std::string image = dir.file("blank.img");
    testutil::MustRun("mkfs.fat -C -F 16 -s 1 " + Quote(image) + " 8192 >/dev/null");
    indextest::Drive blank(image);
    auto v = blank.Open();
    ASSERT_NE(v, nullptr);
    v->SetCacheClock(&FakeNow);
    ASSERT_TRUE(v->BuildIndex(nullptr));
    ASSERT_TRUE(v->DumpIndexToCache(nullptr));
    const auto bytes = testutil::ReadFileBytes(CacheFilePath(*v));
    auto expected = Header(v->DriveLetter(), kPartitionFat16, g_now, 0, 0, v->CacheFingerprint());
    Append(expected, Layout());
    EXPECT_TRUE(bytes == expected);
    auto r = blank.Open();
    ASSERT_NE(r, nullptr);
    r->SetCacheClock(&FakeNow);
    ASSERT_TRUE(r->RestoreIndexFromCache(nullptr));
    uint32_t folders = 9, files = 9;
    std::u16string root;
    root += r->DriveLetter();
    root += u":\\";
    ASSERT_TRUE(r->CountDeletedFilesByPath(root, folders, files));
    EXPECT_EQ(folders + files, 0u);
}

TEST_F(FatCacheTest, HeaderOfAnotherDriveOrFileSystemIsRejectedAndDeleted) {
    std::string log;
    auto otherLetter = good;
    otherLetter[6] = static_cast<uint8_t>(built->DriveLetter() + 1);
    auto reformatted = good;  // the same letter, now a FAT32 volume
    reformatted[8] = kPartitionFat32;
    auto incomplete = good;
    incomplete[4] = 1;
    for (const auto* bytes : {&otherLetter, &reformatted, &incomplete}) {
        EXPECT_FALSE(Restore(*bytes, &log));
        EXPECT_NE(log.find("Error in cache header.\n"), std::string::npos) << log;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    // A file of an older writer (no fingerprint: those bytes were zero) and
    // one saved for another state of the volume are stale, never misread.
    auto older = good;
    std::fill(older.begin() + 12, older.begin() + 16, 0);
    std::fill(older.begin() + 28, older.begin() + 32, 0);
    auto otherState = good;
    otherState[28] ^= 1;
    const std::pair<const std::vector<uint8_t>*, const char*> stale[] = {
        {&older, "Stale cache: it was saved without a volume fingerprint.\n"},
        {&otherState, "Stale cache: the volume has changed since it was saved"}};
    for (const auto& [bytes, line] : stale) {
        EXPECT_FALSE(Restore(*bytes, &log));
        EXPECT_NE(log.find(line), std::string::npos) << log;
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    EXPECT_TRUE(Restore(good, &log)) << log;
    EXPECT_NE(log.find("Cache fingerprint matches"), std::string::npos) << log;
}

TEST_F(FatCacheTest, CancelledSaveLeavesAnIncompleteFileThatTheNextRestoreDeletes) {
    // Through the indexing job: a FAT enumeration stopped by cancel still
    // succeeds, so the save runs, sees cancel and leaves its file incomplete.
    std::error_code ec;
    std::filesystem::remove(path, ec);
    CVolumeRegistry registry;
    registry.SetCacheClock(&FakeNow);
    {
        CIndexJob job(registry, drive->Letter(), IndexJobSettings {});
        job.RequestStop();  // before the start: the build stops at its first unit
        job.Start();
        job.Wait();
        EXPECT_FALSE(job.Failed());
        EXPECT_TRUE(job.Outcome().stopped());
        EXPECT_FALSE(job.RestoredFromCache());
        registry.Release(job.Volume());
    }
    auto bytes = testutil::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), kCacheHeaderSize);
    EXPECT_EQ(bytes[4], 1) << "a cancelled save stays marked incomplete";

    indextest::LogCapture capture(logDir.file("job.txt"));
    {
        CIndexJob job(registry, drive->Letter(), IndexJobSettings {});
        job.Start();
        job.Wait();
        EXPECT_FALSE(job.Failed());
        EXPECT_FALSE(job.RestoredFromCache()) << "the incomplete file must not be used";
        registry.Release(job.Volume());
    }
    EXPECT_NE(capture.Text().find("Error in cache header.\n"), std::string::npos);
    bytes = testutil::ReadFileBytes(path);
    EXPECT_TRUE(bytes == good) << "the rebuilt index is saved complete";
    {
        CIndexJob job(registry, drive->Letter(), IndexJobSettings {});
        job.Start();
        job.Wait();
        EXPECT_TRUE(job.RestoredFromCache());
        registry.Release(job.Volume());
    }
}

TEST_F(FatCacheTest, CancelledRestoreKeepsThePartialIndexAndTheFile) {
    IndexProgress progress;
    const StopFlag stop {1};
    progress.stop = &stop;
    std::unique_ptr<CFatVolume> v;
    EXPECT_TRUE(Restore(good, nullptr, &v, &progress));
    EXPECT_EQ(progress.done, 1u);
    EXPECT_EQ(progress.total, 7u);
    EXPECT_EQ(v->IndexRoot()->TotalCount(), 1u) << "the record read before the cancel stays";
    EXPECT_TRUE(std::filesystem::exists(path));
}

struct Hostile {
    std::string name;
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& good, char16_t letter)> make;
    std::string logLine;
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

// A chain of deleted folders, each the only child of the one before,
// deeper than any build makes.
std::vector<uint8_t> DeepChain(char16_t letter) {
    const uint32_t depth = 5000;
    std::vector<uint8_t> out = Header(letter, kPartitionFat12, g_now, depth);
    Append(out, Layout());
    FatFileInfo e;
    e.attributes = 0x10;
    e.name = u"d";
    for (uint32_t k = 0; k < depth; ++k) {
        Append(out, BlockStart(k, 1));
        Append(out, DeletedFolderRec(k + 1 < depth ? k + 1 : 0xFFFFFFFF, e));
        Append(out, BlockEnd(k));
    }
    return out;
}

// Block 1 names itself as the block of its own child, again and again.
std::vector<uint8_t> SelfCycle(char16_t letter) {
    const uint32_t rounds = 1000;
    std::vector<uint8_t> out = Header(letter, kPartitionFat12, g_now, rounds + 1);
    Append(out, Layout());
    FatFileInfo e;
    e.attributes = 0x10;
    e.name = u"loop";
    Append(out, BlockStart(0, 1));
    Append(out, DeletedFolderRec(1, e));
    Append(out, BlockEnd(0));
    for (uint32_t k = 0; k < rounds; ++k) {
        Append(out, BlockStart(1, 1));
        Append(out, DeletedFolderRec(1, e));
        Append(out, BlockEnd(1));
    }
    return out;
}

class FatHostileCache : public FatCacheTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(FatHostileCache, IsRejectedDeletedAndRebuilt) {
    const Hostile& h = GetParam();
    const auto bytes = h.make(good, built->DriveLetter());
    std::string log;
    EXPECT_FALSE(Restore(bytes, &log)) << h.name;
    EXPECT_NE(log.find(h.logLine), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(path)) << "a rejected file is deleted";

    testutil::WriteFileBytes(path, bytes);
    CVolumeRegistry registry;
    registry.SetCacheClock(&FakeNow);
    CIndexJob job(registry, drive->Letter(), IndexJobSettings {});
    job.Start();
    job.Wait();
    EXPECT_FALSE(job.Failed());
    EXPECT_FALSE(job.RestoredFromCache());
    ASSERT_NE(job.Volume(), nullptr);
    EXPECT_EQ(indextest::FirstDifference(indextest::Transcript(*built), indextest::Transcript(*job.Volume())), "");
    EXPECT_TRUE(testutil::ReadFileBytes(path) == good) << "the rebuilt index is saved again";
    registry.Release(job.Volume());
}

std::vector<uint8_t> Patched(std::vector<uint8_t> b, size_t at, std::vector<uint8_t> bytes) {
    if (at == std::string::npos || at + bytes.size() > b.size()) {
        ADD_FAILURE() << "patch outside the file";
        return b;
    }
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

// The file as the writer of layout 1 wrote it: no layout record, and no
// slot in the deleted file and deleted folder records.
std::vector<uint8_t> LayoutOne(const std::vector<uint8_t>& g) {
    std::vector<uint8_t> out(g.begin(), g.begin() + kCacheHeaderSize);
    for (size_t at = kCacheHeaderSize; at + 3 <= g.size();) {
        const size_t len = g[at] | g[at + 1] << 8;
        if (len < 3 || at + len > g.size()) break;
        std::vector<uint8_t> rec(g.begin() + static_cast<std::ptrdiff_t>(at), g.begin() + static_cast<std::ptrdiff_t>(at + len));
        at += len;
        const uint8_t type = rec[2];
        if (type == 6) continue;
        if (type == 1 || type == 2) {
            const auto slot = rec.begin() + (type == 1 ? 3 : 7);
            rec.erase(slot, slot + 2);
        }
        rec[0] = static_cast<uint8_t>(rec.size());
        rec[1] = static_cast<uint8_t>(rec.size() >> 8);
        Append(out, rec);
    }
    return out;
}

const char* kWrongCount = "Error reading cache: wrong number of entries\n";
const char* kOtherLayout = "Error reading cache: it does not open with index layout 2\n";

INSTANTIATE_TEST_SUITE_P(
    Files, FatHostileCache,
    ::testing::Values(
        Hostile {"TruncatedInsideTheLastRecord",
                 [](const auto& g, char16_t) { return std::vector<uint8_t>(g.begin(), g.end() - 12); }, kWrongCount},
        Hostile {"WrittenInLayoutOne", [](const auto& g, char16_t) { return LayoutOne(g); }, kOtherLayout},
        Hostile {"LayoutVersionOne", [](const auto& g, char16_t) { return Patched(g, kCacheHeaderSize + 3, {1, 0, 0, 0}); },
                 kOtherLayout},
        Hostile {"TruncatedAfterTheLayoutRecord",
                 [](const auto& g, char16_t) {
                     return std::vector<uint8_t>(g.begin(), g.begin() + kCacheHeaderSize + kLayoutRecordSize + 5);
                 },
                 kWrongCount},
        Hostile {"HugeRecordCount", [](const auto& g, char16_t) { return Patched(g, 24, {0xFF, 0xFF, 0xFF, 0xFF}); },
                 kWrongCount},
        Hostile {"OneRecordMoreThanWritten", [](const auto& g, char16_t) { return Patched(g, 24, {8, 0, 0, 0}); },
                 kWrongCount},
        Hostile {"RecordOfLength5000",
                 [](const auto& g, char16_t) { return Patched(g, kCacheHeaderSize + kLayoutRecordSize, {0x88, 0x13}); },
                 kWrongCount},
        Hostile {"NameLongerThanItsRecord",
                 [](const auto& g, char16_t) {
                     // gone.txt's record: its closing NUL becomes a letter.
                     const size_t at = Find(g, {'E', 0, '.', 0, 'T', 0, 'X', 0, 'T', 0, 0, 0});
                     return Patched(g, at + 10, {'x', 0});
                 },
                 "!!!Unknown entry type\n"},
        Hostile {"ExistingFolderInADeletedFolder",
                 [](const auto& g, char16_t) {
                     // The first record of block 1 (c.txt in the deleted TREE) turned into type 3.
                     const size_t at = Find(g, {11, 0, 4, 1, 0, 0, 0, 1, 0, 0, 0});
                     return Patched(g, at + 13, {3});
                 },
                 "!!!Unknown entry type\n"},
        Hostile {"BlockIdNamingTheOpenBlock",
                 [](const auto& g, char16_t) {
                     // TREE says its children are in block 0, the block being read.
                     const size_t at = Find(g, {2, 1, 0, 0, 0});
                     return Patched(g, at + 1, {0, 0, 0, 0});
                 },
                 kWrongCount},
        Hostile {"UnknownBlockId",
                 [](const auto& g, char16_t) {
                     const size_t at = Find(g, {11, 0, 4, 2, 0, 0, 0});
                     return Patched(g, at + 3, {77, 0, 0, 0});
                 },
                 kWrongCount},
        Hostile {"DeepChainOfFolders", [](const auto&, char16_t l) { return DeepChain(l); }, kWrongCount},
        Hostile {"BlockThatNamesItself", [](const auto&, char16_t l) { return SelfCycle(l); }, kWrongCount},
        Hostile {"GarbageAfterTheLayoutRecord",
                 [](const auto& g, char16_t) {
                     std::vector<uint8_t> b(g.begin(), g.begin() + kCacheHeaderSize + kLayoutRecordSize);
                     Append(b, testutil::PatternBytes(4000, 9));
                     return b;
                 },
                 kWrongCount}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return info.param.name; });

}  // namespace
