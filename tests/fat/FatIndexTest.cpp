// The FAT index on images made by mkfs.fat and mtools: names of deleted
// entries, their folders, counts, ids, paths, data status and the file
// objects, on FAT12, FAT16 and FAT32.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>

#include "FatTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatDirectory.h"
#include "platform/DriveTable.h"

using namespace fattest;

namespace {

class FatIndexTest : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void SetUp() override {
        image = FixtureImage(GetParam());
        QUARLIX_REQUIRE(!image.empty(), "mkfs.fat / mtools not installed");
        volume = OpenImage(image);
        ASSERT_TRUE(volume);
        IndexProgress progress;
        ASSERT_TRUE(volume->BuildIndex(&progress));
        EXPECT_EQ(progress.phase, 1);
    }
    const Listed* Find(const std::vector<Listed>& items, const std::string& path) {
        for (auto& l : items)
            if (l.path == path) return &l;
        return nullptr;
    }
    std::vector<std::string> Names(const std::u16string& folder) {
        std::vector<std::string> out;
        std::unique_ptr<IEnumDeletedFiles> e;
        if (!volume->EnumDeletedFilesByPath(folder, e) || !e) return out;
        FileItemInfo info;
        while (e->Next(info, true)) out.push_back(Utf8(info.name));
        return out;
    }
    std::vector<uint8_t> ReadAll(IGenericFile& f) {
        std::vector<uint8_t> data;
        uint8_t buf[777];  // not a divisor of the cluster size
        uint32_t got = 0;
        while (f.Read(buf, sizeof buf, got) && got > 0) data.insert(data.end(), buf, buf + got);
        return data;
    }

    std::string image;
    std::unique_ptr<CFatVolume> volume;
};

TEST_P(FatIndexTest, DeletedEntriesKeepTheirNamesInTheirFolders) {
    auto all = WalkDeleted(*volume);
    // A deleted 8.3 name loses its first letter; a long name keeps it.
    ASSERT_TRUE(Find(all, "?ETTER.TXT"));
    EXPECT_EQ(Find(all, "?ETTER.TXT")->size, 1234u);
    ASSERT_TRUE(Find(all, "A long file name.txt"));
    EXPECT_EQ(Find(all, "A long file name.txt")->size, 5000u);
    ASSERT_TRUE(Find(all, "Ünïcødé файл.txt"));
    EXPECT_EQ(Find(all, "Ünïcødé файл.txt")->size, 2222u);
    ASSERT_TRUE(Find(all, "?MPTY.DAT"));
    EXPECT_EQ(Find(all, "?MPTY.DAT")->size, 0u);
    // The small-letter flags of an 8.3 name are honoured.
    EXPECT_TRUE(Find(all, "DOCS/?one.doc"));
    // A deleted tree inside a live folder, and one at the root.
    ASSERT_TRUE(Find(all, "DOCS/Old Stuff"));
    EXPECT_TRUE(Find(all, "DOCS/Old Stuff")->folder);
    EXPECT_TRUE(Find(all, "DOCS/Old Stuff/note one.txt"));
    EXPECT_TRUE(Find(all, "DOCS/Old Stuff/?2.TXT"));
    ASSERT_TRUE(Find(all, "DOCS/Old Stuff/?nner/deep file.txt"));
    EXPECT_EQ(Find(all, "DOCS/Old Stuff/?nner/deep file.txt")->size, 4100u);
    EXPECT_TRUE(Find(all, "?OPDEL/?1.txt"));
    EXPECT_TRUE(Find(all, "?OPDEL/Second file.bin"));
    // The big folder spans many clusters; its deleted entries lie in the
    // first cluster and far beyond it.
    for (const char* n : {"07", "45", "88", "89"})
        EXPECT_TRUE(Find(all, std::string("BIG/Entry number ") + n + " of the big folder.txt")) << n;
    // Live files are not listed; nothing is listed twice.
    EXPECT_FALSE(Find(all, "README.TXT"));
    EXPECT_FALSE(Find(all, "BIG/Entry number 08 of the big folder.txt"));
    std::set<std::string> unique;
    for (auto& l : all) EXPECT_TRUE(unique.insert(l.path).second) << l.path;
    EXPECT_EQ(all.size(), 19u);
}

TEST_P(FatIndexTest, EnumeratorListsFoldersThenFilesAndResets) {
    std::unique_ptr<IEnumDeletedFiles> e;
    ASSERT_TRUE(volume->EnumDeletedFilesByPath(u"\\", e));
    ASSERT_TRUE(e);
    FileItemInfo info;
    std::vector<std::string> first;
    bool seenFile = false;
    while (e->Next(info, false)) {
        bool folder = info.attributes & 0x10;
        EXPECT_FALSE(folder && seenFile) << "folder after a file: " << Utf8(info.name);
        seenFile = seenFile || !folder;
        first.push_back(Utf8(info.name));
    }
    EXPECT_FALSE(e->Next(info, false));
    ASSERT_TRUE(e->Reset());
    std::vector<std::string> second;
    while (e->Next(info, true)) second.push_back(Utf8(info.name));
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.front(), "?OPDEL");
}

TEST_P(FatIndexTest, FolderPathsIgnoreCaseAndAcceptBothForms) {
    auto a = Names(u"\\DOCS");
    EXPECT_EQ(a, Names(u"C:\\docs\\"));
    EXPECT_EQ(a, Names(u"\\Docs\\"));
    EXPECT_EQ(a.size(), 2u);
    std::unique_ptr<IEnumDeletedFiles> e;
    EXPECT_FALSE(volume->EnumDeletedFilesByPath(u"\\NOPE", e));
    EXPECT_FALSE(volume->EnumDeletedFilesByPath(u"", e));
    // Deleted folders are reached by id, not by path.
    EXPECT_FALSE(volume->EnumDeletedFilesByPath(u"\\DOCS\\Old Stuff", e));

    EXPECT_TRUE(volume->HasDeletedFilesByPath(u"C:\\"));
    EXPECT_TRUE(volume->HasDeletedFilesByPath(u"\\big"));
    EXPECT_FALSE(volume->HasDeletedFilesByPath(u"\\KEEP"));
    EXPECT_FALSE(volume->HasDeletedFilesByPath(u"\\NOPE"));
}

TEST_P(FatIndexTest, CountsCoverTheWholeTree) {
    uint32_t folders = 0, files = 0;
    ASSERT_TRUE(volume->CountDeletedFilesByPath(u"\\", folders, files));
    EXPECT_EQ(folders, 3u);
    EXPECT_EQ(files, 16u);
    ASSERT_TRUE(volume->CountDeletedFilesByPath(u"\\DOCS", folders, files));
    EXPECT_EQ(folders, 2u);
    EXPECT_EQ(files, 4u);
    EXPECT_FALSE(volume->CountDeletedFilesByPath(u"\\NOPE", folders, files));

    auto all = WalkDeleted(*volume);
    const Listed* old = Find(all, "DOCS/Old Stuff");
    ASSERT_TRUE(old);
    ASSERT_TRUE(volume->CountDeletedFiles(static_cast<int32_t>(old->id), folders, files));
    EXPECT_EQ(folders, 1u);
    EXPECT_EQ(files, 3u);
    EXPECT_FALSE(volume->CountDeletedFiles(kNoFolderId, folders, files));
    EXPECT_FALSE(volume->CountDeletedFiles(kLostFoldersId, folders, files));
    EXPECT_TRUE(volume->CountDeletedFiles(kRecycleBinId, folders, files));
    // A file's id is not a folder.
    const Listed* note = Find(all, "DOCS/Old Stuff/note one.txt");
    ASSERT_TRUE(note);
    EXPECT_FALSE(volume->CountDeletedFiles(static_cast<int32_t>(note->id), folders, files));
    std::unique_ptr<IEnumDeletedFiles> e;
    EXPECT_FALSE(volume->EnumDeletedFiles(static_cast<int32_t>(note->id), e));
    EXPECT_FALSE(volume->EnumDeletedFiles(kNoFolderId, e));
    EXPECT_FALSE(volume->EnumDeletedFiles(kLostFoldersId, e));
    EXPECT_FALSE(volume->EnumDeletedFiles(0x7FFFFFF0, e));
}

TEST_P(FatIndexTest, IdsAreDistinctAndNeverReserved) {
    auto all = WalkDeleted(*volume);
    std::set<uint32_t> ids;
    for (auto& l : all) {
        EXPECT_NE(l.id, 0u);
        EXPECT_NE(l.id, 0xFFFFFFFFu);
        EXPECT_NE(l.id, 0xFFFFFFFEu);
        EXPECT_TRUE(ids.insert(l.id).second);
        std::u16string name;
        uint32_t attributes = 0;
        ASSERT_TRUE(volume->GetIndexEntry(l.id, name, attributes));
        EXPECT_EQ(l.path.substr(l.path.rfind('/') + 1), Utf8(name));
    }
    FileItemInfo info;
    EXPECT_FALSE(volume->GetFileInfo(0, true, info));
    EXPECT_FALSE(volume->GetFileInfo(0xFFFFFFFE, true, info));
    std::u16string name;
    uint32_t attributes = 0;
    EXPECT_FALSE(volume->GetIndexEntry(0xFFFFFFFF, name, attributes));
}

TEST_P(FatIndexTest, FullPathAndParentOfItems) {
    auto all = WalkDeleted(*volume);
    auto pathOf = [&](const std::string& p) {
        const Listed* l = Find(all, p);
        EXPECT_TRUE(l) << p;
        std::u16string path;
        bool broken = true;
        uint32_t last = 1;
        if (l) {
            EXPECT_TRUE(volume->GetFullPath(l->id, path, broken, last));
        }
        EXPECT_FALSE(broken);
        return Utf8(path);
    };
    EXPECT_EQ(pathOf("DOCS/Old Stuff/?nner/deep file.txt"), "\\DOCS\\Old Stuff\\?nner\\");
    EXPECT_EQ(pathOf("A long file name.txt"), "\\");
    EXPECT_EQ(pathOf("BIG/Entry number 88 of the big folder.txt"), "\\BIG\\");

    int32_t parent = -5;
    const Listed* deep = Find(all, "DOCS/Old Stuff/?nner/deep file.txt");
    const Listed* inner = Find(all, "DOCS/Old Stuff/?nner");
    const Listed* gone = Find(all, "DOCS/?one.doc");
    ASSERT_TRUE(deep && inner && gone);
    ASSERT_TRUE(volume->GetParentFolder(deep->id, parent));
    EXPECT_EQ(parent, static_cast<int32_t>(inner->id));
    ASSERT_TRUE(volume->GetParentFolder(gone->id, parent));
    EXPECT_EQ(parent, kNoFolderId);
    EXPECT_FALSE(volume->GetParentFolder(0, parent));
}

TEST_P(FatIndexTest, FullPathCarriesTheDriveLetter) {
    char16_t letter = CDriveTable::Instance().Assign(SourceSpec {image, 0, 0, 0});
    ASSERT_NE(letter, 0);
    CFatVolume v;
    ASSERT_TRUE(v.OpenDrive(letter));
    ASSERT_TRUE(v.BuildIndex(nullptr));
    std::unique_ptr<IEnumDeletedFiles> e;
    std::u16string root = std::u16string(1, letter) + u":\\";
    ASSERT_TRUE(v.EnumDeletedFilesByPath(root, e));
    FileItemInfo info;
    ASSERT_TRUE(e->Next(info, true));
    std::u16string path;
    bool broken = false;
    uint32_t last = 0;
    ASSERT_TRUE(v.GetFullPath(info.id, path, broken, last));
    EXPECT_EQ(path, root);
    CDriveTable::Instance().Remove(letter);
}

TEST_P(FatIndexTest, FileInfoCarriesSizeAndTimesOfTheEntry) {
    auto all = WalkDeleted(*volume);
    const Listed* mine = Find(all, "A long file name.txt");
    ASSERT_TRUE(mine);
    FileItemInfo info;
    ASSERT_TRUE(volume->GetFileInfo(mine->id, false, info));
    EXPECT_EQ(Utf8(info.name), "A long file name.txt");
    EXPECT_EQ(info.size, 5000u);
    EXPECT_EQ(info.attributes & 0x10, 0u);
    EXPECT_EQ(info.id, mine->id);
    // fls prints the entry's written time as given (the image carries local
    // time; with TZ=UTC both sides agree).
    auto r = testutil::Run("fls -p -l " + testutil::Quote(image) + " | grep 'A long file name.txt'");
    std::istringstream fields(r.out);
    std::string f;
    std::vector<std::string> v;
    while (std::getline(fields, f, '\t')) v.push_back(f);
    ASSERT_GE(v.size(), 3u) << r.out;
    time_t t = static_cast<time_t>(info.modificationTime / 10000000 - 11644473600LL);
    char text[64];
    struct tm tmv {};
    gmtime_r(&t, &tmv);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S (UTC)", &tmv);
    EXPECT_EQ(v[2], text);
    EXPECT_NE(info.creationTime, 0u);
}

TEST_P(FatIndexTest, DataStatusIsTheShareOfClustersInUseAgain) {
    auto all = WalkDeleted(*volume);
    const Listed* partly = Find(all, "?ARTLY.BIN");
    const Listed* intact = Find(all, "A long file name.txt");
    ASSERT_TRUE(partly && intact);
    FileItemInfo info;
    ASSERT_TRUE(volume->GetFileInfo(intact->id, false, info));
    EXPECT_EQ(info.dataStatus, 0);

    // Independently of the engine: the deleted file's first sector (istat),
    // its span taken as contiguous, and the sectors of the file written after
    // the deletion (istat follows its live chain).
    auto fls = FlsDeleted(image);
    uint64_t partlyInode = 0;
    for (auto& l : fls)
        if (l.path == "_ARTLY.BIN") partlyInode = l.inode;
    ASSERT_NE(partlyInode, 0u);
    auto sectorsOf = [&](const std::string& inode) {
        auto out = testutil::MustRun("istat " + testutil::Quote(image) + " " + inode);
        std::vector<uint64_t> s;
        auto at = out.find("Sectors:");
        std::istringstream in(at == std::string::npos ? "" : out.substr(at + 8));
        uint64_t n;
        while (in >> n) s.push_back(n);
        return s;
    };
    auto deletedSectors = sectorsOf(std::to_string(partlyInode));
    auto r = testutil::MustRun("fls -r -p " + testutil::Quote(image) + " | grep NEWER.BIN");
    std::string newerInode = r.substr(r.find_last_of(' ', r.find(':')) + 1);
    newerInode = newerInode.substr(0, newerInode.find(':'));
    auto newer = sectorsOf(newerInode);
    std::set<uint64_t> newerSectors(newer.begin(), newer.end());
    ASSERT_FALSE(deletedSectors.empty());
    const uint64_t spc = volume->ClusterSize() / 512;
    const uint64_t size = 40000, cs = volume->ClusterSize();
    uint64_t lost = 0, reused = 0;
    for (uint64_t k = 0; k * cs < size; ++k) {
        if (newerSectors.count(deletedSectors.front() + k * spc)) {
            lost += std::min(cs, size - k * cs);
            ++reused;
        }
    }
    ASSERT_GT(reused, 0u) << "the fixture must reuse part of the deleted file";
    ASSERT_LT(lost, size);
    ASSERT_TRUE(volume->GetFileInfo(partly->id, false, info));
    EXPECT_EQ(static_cast<uint64_t>(info.dataStatus), lost * 100 / size);

    // The enumerator reports the same figure, and none in names-only mode.
    std::unique_ptr<IEnumDeletedFiles> e;
    ASSERT_TRUE(volume->EnumDeletedFilesByPath(u"\\", e));
    FileItemInfo item;
    bool seen = false;
    while (e->Next(item, false))
        if (item.id == partly->id) {
            EXPECT_EQ(item.dataStatus, info.dataStatus);
            seen = true;
        }
    EXPECT_TRUE(seen);
}

TEST_P(FatIndexTest, OpenFileReadsTheDeletedDataLikeIcat) {
    auto fls = FlsDeleted(image);
    auto all = WalkDeleted(*volume);
    for (const char* name : {"A long file name.txt", "DOCS/Old Stuff/?nner/deep file.txt", "?MPTY.DAT"}) {
        const Listed* mine = Find(all, name);
        ASSERT_TRUE(mine) << name;
        uint64_t inode = 0;
        for (auto& l : fls)
            if (l.path == FlsStyle(name)) inode = l.inode;
        ASSERT_NE(inode, 0u) << name;
        testutil::TempDir tmp;
        testutil::MustRun("icat " + testutil::Quote(image) + " " + std::to_string(inode) + " > " +
                          testutil::Quote(tmp.file("x")));
        auto expected = testutil::ReadFileBytes(tmp.file("x"));
        std::unique_ptr<IGenericFile> f;
        ASSERT_TRUE(volume->OpenFile(mine->id, f));
        ASSERT_TRUE(f && f->IsValid());
        EXPECT_EQ(f->GetSize(), mine->size);
        auto data = ReadAll(*f);
        EXPECT_EQ(data, expected) << name;
        EXPECT_TRUE(f->IsEof());
        ASSERT_TRUE(f->Rewind());
        EXPECT_EQ(ReadAll(*f), data);
    }
    std::unique_ptr<IGenericFile> f;
    EXPECT_FALSE(volume->OpenFile(0, f));
}

TEST_P(FatIndexTest, OpenFileByPathFollowsTheChain) {
    testutil::TempDir tmp;
    for (const char* p : {"/DOCS/Keep this one.txt", "/README.TXT", "/BIG/Entry number 90 of the big folder.txt"}) {
        std::string path = p;
        testutil::MustRun("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + testutil::Quote(image) + " " +
                          testutil::Quote("::" + path) + " " + testutil::Quote(tmp.file("x")));
        auto expected = testutil::ReadFileBytes(tmp.file("x"));
        std::u16string enginePath = U16(path);
        std::replace(enginePath.begin(), enginePath.end(), u'/', u'\\');
        std::transform(enginePath.begin(), enginePath.end(), enginePath.begin(),
                       [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; });
        std::unique_ptr<IGenericFile> f;
        ASSERT_TRUE(volume->OpenFileByPath(u"C:" + enginePath, f)) << p;
        EXPECT_EQ(ReadAll(*f), expected) << p;
    }
    std::unique_ptr<IGenericFile> f;
    EXPECT_FALSE(volume->OpenFileByPath(u"\\DOCS\\missing.txt", f));
    EXPECT_FALSE(volume->OpenFileByPath(u"\\README.TXT\\x", f));
    // Deleted entries are not reached by path.
    EXPECT_FALSE(volume->OpenFileByPath(u"\\DOCS\\gone.doc", f));
}

TEST_P(FatIndexTest, LiveFolderListing) {
    std::vector<FileItemInfo> items;
    ASSERT_TRUE(volume->ListLiveFolder(u"\\", items));
    std::set<std::string> names;
    for (auto& i : items) names.insert(Utf8(i.name));
    for (const char* n : {"README.TXT", "lower.txt", "DOCS", "BIG", "KEEP"}) EXPECT_TRUE(names.count(n)) << n;
    EXPECT_FALSE(names.count("QFAT12") || names.count("QFAT16") || names.count("QFAT32"));  // the label
    EXPECT_FALSE(names.count("A long file name.txt"));
    ASSERT_TRUE(volume->ListLiveFolder(u"C:\\big\\", items));
    EXPECT_EQ(items.size(), 86u);
    for (auto& i : items) EXPECT_EQ(i.size, 9u);  // "entry NN\n"
    ASSERT_TRUE(volume->ListLiveFolder(u"\\KEEP", items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(Utf8(items[0].name), "k.txt");
    EXPECT_EQ(items[0].id, 0u);
    EXPECT_FALSE(volume->ListLiveFolder(u"\\README.TXT", items));
    EXPECT_FALSE(volume->ListLiveFolder(u"\\NOPE", items));
}

TEST_P(FatIndexTest, RebuildCancelAndClear) {
    auto before = WalkDeleted(*volume);
    ASSERT_TRUE(volume->BuildIndex(nullptr));
    auto after = WalkDeleted(*volume);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].path, after[i].path);
    // A build cancelled before its first unit leaves an empty, usable index.
    IndexProgress progress;
    const StopFlag stop {1};
    progress.stop = &stop;
    EXPECT_TRUE(volume->BuildIndex(&progress));
    uint32_t folders = 9, files = 9;
    EXPECT_TRUE(volume->CountDeletedFilesByPath(u"\\", folders, files));
    EXPECT_EQ(folders + files, 0u);
    ASSERT_TRUE(volume->BuildIndex(nullptr));
    volume->ClearIndex();
    folders = files = 9;
    ASSERT_TRUE(volume->CountDeletedFilesByPath(u"\\", folders, files));
    EXPECT_EQ(folders + files, 0u);
    FileItemInfo info;
    EXPECT_FALSE(volume->GetFileInfo(before.front().id, true, info));
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatIndexTest, ::testing::Values("fat12", "fat16", "fat32"));

}  // namespace
