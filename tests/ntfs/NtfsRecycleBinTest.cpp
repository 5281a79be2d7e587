// The recycle bin on NTFS images made with mkntfs + libntfs-3g: both $I
// layouts in two users' folders, present and emptied pairs, the INFO2
// layout, and hostile $I / INFO2 records; plus the byte parsers.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "common/RecycleBinBytes.h"
#include "common/TestUtil.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/volume/IndexCache.h"
#include "engine/volume/RecycleBin.h"
#include "platform/Text.h"

using testutil::Quote;

namespace {

using testutil::DollarIV1;
using testutil::DollarIV2;
using testutil::Info2Record;

void PutU32(std::vector<uint8_t>& b, size_t off, uint32_t v) { testutil::PutLe32(b, off, v); }

struct Fixture {
    std::string image;
    std::map<std::string, uint32_t> records;
    std::string error;
};

// Formats an 8 MiB image and runs the script; files named in hostFiles are
// written first (their bytes) so that "copyin" can take them.
Fixture Make(testutil::TempDir& dir, const std::string& name, const std::string& script,
             const std::map<std::string, std::vector<uint8_t>>& hostFiles) {
    Fixture f;
    f.image = dir.file(name);
    for (const auto& [n, bytes] : hostFiles) testutil::WriteFileBytes(dir.file(n), bytes);
    const std::string scriptFile = dir.file(name + ".txt");
    std::ofstream(scriptFile) << script;
    auto r = testutil::Run("cd " + Quote(dir.path().string()) + " && truncate -s 8M " + Quote(f.image) +
                           " && mkntfs -F -f -q " + Quote(f.image) + " >/dev/null 2>&1 && " +
                           Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(f.image) + " - < " +
                           Quote(scriptFile));
    if (r.exitCode != 0) f.error = r.out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        if (sp != std::string::npos && line.find(" (deleted)") == std::string::npos)
            f.records[line.substr(sp + 1)] = static_cast<uint32_t>(std::stoul(line.substr(0, sp)));
    }
    return f;
}

std::unique_ptr<CNtfsVolume> Build(const std::string& image) {
    auto v = std::make_unique<CNtfsVolume>();
    if (!v->Initialize(image)) return nullptr;
    IndexProgress p;
    if (!v->BuildIndex(&p)) return nullptr;
    return v;
}

const char* kVistaScript = R"(mkdir /$Recycle.Bin/S-1-5-21-1-2-3-1001
mkdir /$Recycle.Bin/S-1-5-21-1-2-3-1002
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1001/$IAAAAAA.txt ia.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RAAAAAA.txt random:1 5000
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1002/$IBBBBBB.doc ib.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1002/$RBBBBBB.doc random:2 7000
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1001/$ICCCCCC.txt ic.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RCCCCCC.txt random:3 9000
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1002/$IDDDDDD.jpg id.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1002/$RDDDDDD.jpg random:4 11000
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1001/$IEEEEEE.txt ie.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1001/$REEEEEE.txt random:5 100
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1002/$IFFFFFF.txt if.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1002/$RFFFFFF.txt random:6 100
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1001/$IGGGGGG.txt ig.bin
write /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RGGGGGG.txt random:7 100
copyin /$Recycle.Bin/S-1-5-21-1-2-3-1001/$IHHHHHH ih.bin
mkdir /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RHHHHHH
write /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RHHHHHH/inside.txt random:8 3000
delete /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RHHHHHH/inside.txt
delete /$Recycle.Bin/S-1-5-21-1-2-3-1001/$ICCCCCC.txt
delete /$Recycle.Bin/S-1-5-21-1-2-3-1001/$RCCCCCC.txt
delete /$Recycle.Bin/S-1-5-21-1-2-3-1002/$IDDDDDD.jpg
delete /$Recycle.Bin/S-1-5-21-1-2-3-1002/$RDDDDDD.jpg
)";

}  // namespace

TEST(NtfsRecycleBin, ParsesBothDollarILayoutsAndInfo2Records) {
    std::u16string path;
    auto v1 = DollarIV1(u"C:\\a\\b.txt", 5);
    EXPECT_TRUE(recyclebin::ParseDollarI(v1.data(), v1.size(), path));
    EXPECT_EQ(path, u"C:\\a\\b.txt");
    EXPECT_FALSE(recyclebin::ParseDollarI(v1.data(), 543, path));  // v1 must be whole
    auto v2 = DollarIV2(u"C:\\long\\name.docx", 5);
    EXPECT_TRUE(recyclebin::ParseDollarI(v2.data(), v2.size(), path));
    EXPECT_EQ(path, u"C:\\long\\name.docx");
    // A length beyond the file is cut at its end; a zero length or an unknown version is refused.
    auto beyond = DollarIV2(u"C:\\q\\cut.txt", 5, 0x7FFFFFFF);
    EXPECT_TRUE(recyclebin::ParseDollarI(beyond.data(), beyond.size(), path));
    EXPECT_EQ(path, u"C:\\q\\cut.txt");
    auto zero = DollarIV2(u"x", 5, 0);
    PutU32(zero, 24, 0);
    EXPECT_FALSE(recyclebin::ParseDollarI(zero.data(), zero.size(), path));
    v1[0] = 3;
    EXPECT_FALSE(recyclebin::ParseDollarI(v1.data(), v1.size(), path));
    EXPECT_FALSE(recyclebin::ParseDollarI(v2.data(), 20, path));

    auto rec = Info2Record(17, 3, u"D:\\x\\report.final.doc");
    recyclebin::Info2Record r;
    ASSERT_TRUE(recyclebin::ParseInfo2Record(rec.data(), rec.size(), r));
    EXPECT_EQ(recyclebin::Info2RecycledName(r), u"Dd17.doc");
    EXPECT_FALSE(recyclebin::ParseInfo2Record(rec.data(), 799, r));
    PutU32(rec, 264, 0xFFFFFFFF);  // a drive number past z stays a letter
    ASSERT_TRUE(recyclebin::ParseInfo2Record(rec.data(), rec.size(), r));
    EXPECT_EQ(r.driveLetter, u'z');
}

TEST(NtfsRecycleBin, VistaLayoutInEveryUsersFolder) {
    testutil::TempDir dir;
    std::vector<uint8_t> shortI(100, 0);
    shortI[0] = 1;
    Fixture f = Make(dir, "vista.img", kVistaScript,
                     {{"ia.bin", DollarIV1(u"C:\\Users\\a\\report.txt", 5000)},
                      {"ib.bin", DollarIV2(u"C:\\Users\\b\\Letter.DOC", 7000)},
                      {"ic.bin", DollarIV1(u"C:\\x\\emptied.txt", 9000)},
                      {"id.bin", DollarIV2(u"C:\\y\\photo.jpg", 11000)},
                      {"ie.bin", DollarIV1(u"C:\\z\\wrong.doc", 100)},
                      {"if.bin", DollarIV2(u"C:\\q\\cut.txt", 100, 5000)},
                      {"ig.bin", shortI},
                      {"ih.bin", DollarIV1(u"C:\\docs\\Folder", 0)}});
    ASSERT_TRUE(f.error.empty()) << f.error;
    auto v = Build(f.image);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->GetRecycleBinPath(), u"C:\\$Recycle.Bin\\");

    std::map<std::u16string, std::u16string> existing;
    for (const auto& [path, item] : v->RecycledExisting()) existing[item.recycledName] = item.formerName;
    const std::map<std::u16string, std::u16string> expectExisting{{u"$RAAAAAA.txt", u"report.txt"},
                                                                  {u"$RBBBBBB.doc", u"Letter.DOC"},
                                                                  {u"$RFFFFFF.txt", u"cut.txt"},
                                                                  {u"$RHHHHHH", u"Folder"}};
    EXPECT_EQ(existing, expectExisting);  // not EEEEEE (extension differs), not GGGGGG (short $I)

    std::map<std::u16string, uint32_t> deleted;
    for (const auto& [id, former] : v->RecycledDeleted()) deleted[former] = id;
    ASSERT_EQ(deleted.size(), 2u);
    ASSERT_TRUE(deleted.count(u"emptied.txt"));
    ASSERT_TRUE(deleted.count(u"photo.jpg"));
    std::u16string name;
    uint32_t attributes = 0;
    ASSERT_TRUE(v->GetIndexEntry(deleted[u"photo.jpg"], name, attributes));
    EXPECT_EQ(name, u"$RDDDDDD.jpg");  // the data item, not its $I

    EXPECT_TRUE(v->HasRecycledFiles(true));
    std::unique_ptr<IEnumDeletedFiles> e;
    ASSERT_TRUE(v->EnumDeletedFiles(kRecycleBinId, e));
    std::map<std::u16string, FileItemInfo> items;
    FileItemInfo info;
    while (e->Next(info, false)) items[info.name] = info;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[u"emptied.txt"].size, 9000u);
    EXPECT_EQ(items[u"photo.jpg"].size, 11000u);
    EXPECT_EQ(items[u"photo.jpg"].dataStatus, 0);

    std::unique_ptr<IEnumExistingFiles> x;
    ASSERT_TRUE(v->EnumExistingFiles(x));
    std::map<std::u16string, FileItemInfo> present;
    while (x->Next(info)) present[info.name] = info;
    ASSERT_EQ(present.size(), 4u);
    EXPECT_EQ(present[u"report.txt"].size, 5000u);
    EXPECT_EQ(present[u"report.txt"].recycledPath, u"C:\\$Recycle.Bin\\S-1-5-21-1-2-3-1001\\$RAAAAAA.txt");
    EXPECT_EQ(present[u"Letter.DOC"].size, 7000u);
    EXPECT_TRUE(present[u"Folder"].attributes & FILE_ATTRIBUTE_DIRECTORY);
    x->Reset();
    EXPECT_TRUE(x->Next(info));

    // Two emptied files, plus the deleted file inside the recycled folder $RHHHHHH.
    uint32_t folders = 9, files = 9;
    ASSERT_TRUE(v->CountDeletedFiles(kRecycleBinId, folders, files));
    EXPECT_EQ(folders, 0u);
    EXPECT_EQ(files, 3u);
    // (A restored index reads the bin again: index/CacheRoundTripTest.)
}

TEST(NtfsRecycleBin, Info2Layout) {
    testutil::TempDir dir;
    std::vector<uint8_t> info2(20, 0);
    auto append = [&](const std::vector<uint8_t>& r) { info2.insert(info2.end(), r.begin(), r.end()); };
    append(Info2Record(1, 2, u"C:\\old\\one.txt"));
    append(Info2Record(2, 2, u"C:\\old\\two.doc"));
    append(Info2Record(3, 2, u"C:\\old\\gone-for-good.txt"));  // neither present nor deleted
    auto cut = Info2Record(4, 2, u"C:\\old\\cut.txt");
    cut.resize(300);  // a record cut short ends the file
    append(cut);
    Fixture f = Make(dir, "xp.img", R"(mkdir /RECYCLER/S-1-5-21-9-9-9-1003
copyin /RECYCLER/S-1-5-21-9-9-9-1003/INFO2 info2.bin
write /RECYCLER/S-1-5-21-9-9-9-1003/Dc1.txt random:1 3000
write /RECYCLER/S-1-5-21-9-9-9-1003/Dc2.doc random:2 4000
write /RECYCLER/S-1-5-21-9-9-9-1003/Dc4.txt random:3 10
delete /RECYCLER/S-1-5-21-9-9-9-1003/Dc2.doc
)",
                     {{"info2.bin", info2}});
    ASSERT_TRUE(f.error.empty()) << f.error;
    auto v = Build(f.image);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->GetRecycleBinPath(), u"C:\\RECYCLER\\");
    ASSERT_EQ(v->RecycledExisting().size(), 1u);
    EXPECT_EQ(v->RecycledExisting().begin()->second.recycledName, u"Dc1.txt");
    EXPECT_EQ(v->RecycledExisting().begin()->second.formerName, u"one.txt");
    ASSERT_EQ(v->RecycledDeleted().size(), 1u);
    EXPECT_EQ(v->RecycledDeleted().begin()->second, u"two.doc");
    std::u16string name;
    uint32_t attributes = 0;
    ASSERT_TRUE(v->GetIndexEntry(v->RecycledDeleted().begin()->first, name, attributes));
    EXPECT_EQ(name, u"Dc2.doc");
    uint32_t folders = 0, files = 0;
    ASSERT_TRUE(v->CountDeletedFiles(kRecycleBinId, folders, files));
    EXPECT_EQ(files, 1u);
}
