// The recycle bin on FAT images made with mkfs.fat + mtools: $I/$R pairs of
// both layouts in two users' folders, present and emptied (the emptied $I is
// read from its deleted clusters, its first letter restored), and the INFO2
// layout of "Recycled" with a deleted "Dc" file.
#include <gtest/gtest.h>

#include <map>

#include "FatTestSupport.h"
#include "common/RecycleBinBytes.h"
#include "common/TestUtil.h"
#include "engine/volume/IndexCache.h"

using testutil::Quote;

namespace {

struct FatBin {
    testutil::TempDir dir;
    std::string image;
    std::string error;
};

// Formats a 16 MiB FAT16 image, writes the host files and runs the mtools
// commands (one per line; "::" names the image; quote names holding "$").
void Make(FatBin& f, const std::map<std::string, std::vector<uint8_t>>& hostFiles, const std::string& commands) {
    f.image = f.dir.file("bin.img");
    for (const auto& [n, bytes] : hostFiles) testutil::WriteFileBytes(f.dir.file(n), bytes);
    std::string script = "set -e; export MTOOLS_SKIP_CHECK=1; cd " + Quote(f.dir.path().string()) +
                         "; mkfs.fat -C -F 16 -s 4 -n QBIN " + Quote(f.image) + " 16384 >/dev/null\n";
    std::istringstream in(commands);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const size_t sp = line.find(' ');
        script += line.substr(0, sp) + " -i " + Quote(f.image) + line.substr(sp) + "\n";
    }
    auto r = testutil::Run(script);
    if (r.exitCode != 0) f.error = r.out;
}

std::unique_ptr<CFatVolume> Build(const std::string& image) {
    auto v = fattest::OpenImage(image);
    if (!v) return nullptr;
    IndexProgress p;
    if (!v->BuildIndex(&p)) return nullptr;
    return v;
}

std::map<std::u16string, FileItemInfo> DeletedItems(CVolume& v) {
    std::map<std::u16string, FileItemInfo> items;
    std::unique_ptr<IEnumDeletedFiles> e;
    if (!v.EnumDeletedFiles(kRecycleBinId, e)) return items;
    FileItemInfo info;
    while (e->Next(info, false)) items[info.name] = info;
    return items;
}

std::map<std::u16string, FileItemInfo> PresentItems(CVolume& v) {
    std::map<std::u16string, FileItemInfo> items;
    std::unique_ptr<IEnumExistingFiles> x;
    if (!v.EnumExistingFiles(x)) return items;
    FileItemInfo info;
    while (x->Next(info)) items[info.name] = info;
    return items;
}

}  // namespace

TEST(FatRecycleBin, DollarIPairsOfBothLayoutsPresentAndEmptied) {
    QUARLIX_REQUIRE(fattest::HaveFixtureTools(), "mkfs.fat/mtools missing");
    FatBin f;
    setenv("XDG_CACHE_HOME", f.dir.file("cache").c_str(), 1);
    std::vector<uint8_t> shortI(100, 0);
    shortI[0] = 1;
    Make(f,
         {{"ia", testutil::DollarIV1(u"C:\\Users\\a\\report.txt", 5000)},
          {"ib", testutil::DollarIV2(u"C:\\Users\\b\\Letter.DOC", 7000)},
          {"ic", testutil::DollarIV1(u"C:\\x\\emptied.txt", 9000)},
          {"id", testutil::DollarIV2(u"C:\\y\\photo.jpg", 11000)},
          {"ie", testutil::DollarIV1(u"C:\\z\\wrong.doc", 100)},
          {"ig", shortI},
          {"ra", testutil::PatternBytes(5000, 1)},
          {"rb", testutil::PatternBytes(7000, 2)},
          {"rc", testutil::PatternBytes(9000, 3)},
          {"rd", testutil::PatternBytes(11000, 4)},
          {"small", testutil::PatternBytes(100, 5)}},
         R"(mmd '::/$Recycle.Bin' '::/$Recycle.Bin/S-1-5-21-1-2-3-1001' '::/$Recycle.Bin/S-1-5-21-1-2-3-1002'
mcopy ia '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$IAAAAAA.txt'
mcopy ra '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RAAAAAA.txt'
mcopy ib '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$IBBBBBB.doc'
mcopy rb '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$RBBBBBB.doc'
mcopy ic '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$ICCCCCC.txt'
mcopy rc '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RCCCCCC.txt'
mcopy id '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$IDDDDDD.jpg'
mcopy rd '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$RDDDDDD.jpg'
mcopy ie '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$IEEEEEE.txt'
mcopy small '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$REEEEEE.txt'
mcopy ig '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$IGGGGGG.txt'
mcopy small '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RGGGGGG.txt'
mdel '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$ICCCCCC.txt' '::/$Recycle.Bin/S-1-5-21-1-2-3-1001/$RCCCCCC.txt'
mdel '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$IDDDDDD.jpg' '::/$Recycle.Bin/S-1-5-21-1-2-3-1002/$RDDDDDD.jpg'
)");
    ASSERT_TRUE(f.error.empty()) << f.error;
    auto v = Build(f.image);
    ASSERT_NE(v, nullptr);
    ASSERT_FALSE(v->GetRecycleBinPath().empty());
    EXPECT_EQ(v->GetRecycleBinPath().substr(1), u":\\$Recycle.Bin\\");

    std::map<std::u16string, std::u16string> existing;
    for (const auto& [path, item] : v->RecycledExisting()) existing[item.recycledName] = item.formerName;
    // Not $REEEEEE (its extension differs from the former name's), not $RGGGGGG (its $I is short).
    const std::map<std::u16string, std::u16string> expectExisting{{u"$RAAAAAA.txt", u"report.txt"},
                                                                  {u"$RBBBBBB.doc", u"Letter.DOC"}};
    EXPECT_EQ(existing, expectExisting);

    // The emptied pairs: their $I files are read from the deleted entries'
    // clusters, and the deleted data file is what is listed.
    std::map<std::u16string, uint32_t> deleted;
    for (const auto& [id, former] : v->RecycledDeleted()) deleted[former] = id;
    ASSERT_EQ(deleted.size(), 2u);
    ASSERT_TRUE(deleted.count(u"emptied.txt") && deleted.count(u"photo.jpg"));
    std::u16string name;
    uint32_t attributes = 0;
    ASSERT_TRUE(v->GetIndexEntry(deleted[u"photo.jpg"], name, attributes));
    EXPECT_EQ(name.substr(1), u"RDDDDDD.jpg") << fattest::Utf8(name);

    EXPECT_TRUE(v->HasRecycledFiles(true));
    auto items = DeletedItems(*v);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[u"emptied.txt"].size, 9000u);
    EXPECT_EQ(items[u"photo.jpg"].size, 11000u);
    EXPECT_EQ(items[u"photo.jpg"].dataStatus, 0);

    auto present = PresentItems(*v);
    ASSERT_EQ(present.size(), 2u);
    EXPECT_EQ(present[u"report.txt"].size, 5000u);
    EXPECT_EQ(present[u"Letter.DOC"].size, 7000u);
    EXPECT_EQ(present[u"report.txt"].recycledPath.substr(1),
              u":\\$Recycle.Bin\\S-1-5-21-1-2-3-1001\\$RAAAAAA.txt");

    uint32_t folders = 9, files = 9;
    ASSERT_TRUE(v->CountDeletedFiles(kRecycleBinId, folders, files));
    EXPECT_EQ(folders, 0u);
    EXPECT_EQ(files, 2u);
}

TEST(FatRecycleBin, Info2LayoutOfRecycled) {
    QUARLIX_REQUIRE(fattest::HaveFixtureTools(), "mkfs.fat/mtools missing");
    std::vector<uint8_t> info2(20, 0);
    auto append = [&](const std::vector<uint8_t>& r) { info2.insert(info2.end(), r.begin(), r.end()); };
    append(testutil::Info2Record(1, 2, u"C:\\old\\one.txt"));
    append(testutil::Info2Record(2, 2, u"C:\\old\\two.doc"));
    append(testutil::Info2Record(3, 2, u"C:\\old\\gone-for-good.txt"));  // neither present nor deleted
    FatBin f;
    Make(f, {{"info2", info2}, {"one", testutil::PatternBytes(3000, 1)}, {"two", testutil::PatternBytes(4000, 2)}},
         R"(mmd '::/RECYCLED'
mcopy info2 '::/RECYCLED/INFO2'
mcopy one '::/RECYCLED/DC1.TXT'
mcopy two '::/RECYCLED/DC2.DOC'
mdel '::/RECYCLED/DC2.DOC'
)");
    ASSERT_TRUE(f.error.empty()) << f.error;
    auto v = Build(f.image);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->GetRecycleBinPath().substr(1), u":\\RECYCLED\\");
    ASSERT_EQ(v->RecycledExisting().size(), 1u);
    EXPECT_EQ(v->RecycledExisting().begin()->second.formerName, u"one.txt");
    // The deleted DC2.DOC has lost its first letter on disk; the INFO2 name puts the "D" back.
    ASSERT_EQ(v->RecycledDeleted().size(), 1u);
    EXPECT_EQ(v->RecycledDeleted().begin()->second, u"two.doc");
    auto items = DeletedItems(*v);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.begin()->second.size, 4000u);
    auto present = PresentItems(*v);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present.begin()->second.size, 3000u);
}
