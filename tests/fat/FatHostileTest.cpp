// Corrupt volumes: copies of the mtools fixtures patched byte by byte. Each
// damage must end what is being read while the rest of the walk goes on; no
// hang, no unbounded recursion or memory.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "FatTestSupport.h"
#include "common/TestUtil.h"

using namespace fattest;

namespace {

class FatHostileTest : public ::testing::Test {
protected:
    // A private copy of a fixture image and its geometry.
    bool Load(const std::string& kind) {
        const std::string& source = FixtureImage(kind);
        if (source.empty()) return false;
        path = tmp.file(kind + ".img");
        std::filesystem::copy_file(source, path);
        // The FATs and folders lie in the first megabytes of the fixtures.
        bytes.assign(8u << 20, 0);
        std::ifstream in(path, std::ios::binary);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<size_t>(in.gcount()));
        imageSize = std::filesystem::file_size(path);
        auto v = OpenImage(path);
        if (!v) return false;
        fat32 = v->FatType() == kPartitionFat32;
        clusterSize = v->ClusterSize();
        dataStart = static_cast<uint64_t>(v->DataFirstSector()) * v->SectorSize();
        for (uint32_t c = 0; c < v->FatCopies(); ++c)
            fatStarts.push_back((v->ReservedSectors() + static_cast<uint64_t>(c) * v->SectorsPerFat()) * v->SectorSize());
        return true;
    }
    uint64_t ClusterOffset(uint32_t c) const { return dataStart + static_cast<uint64_t>(c - 2) * clusterSize; }
    // Byte offset of the 32-byte slot whose name field is name11.
    uint64_t FindSlot(const char* name11) const {
        for (uint64_t off = 0; off + 32 <= bytes.size(); off += 32)
            if (std::memcmp(&bytes[off], name11, 11) == 0 && bytes[off + 11] != 0x0F) return off;
        ADD_FAILURE() << "no slot named " << name11;
        return 0;
    }
    uint32_t SlotCluster(uint64_t off) const {
        uint32_t c = bytes[off + 26] | bytes[off + 27] << 8;
        if (fat32) c |= static_cast<uint32_t>(bytes[off + 20] | bytes[off + 21] << 8) << 16;
        return c;
    }
    void SetSlotCluster(uint64_t off, uint32_t c) {
        testutil::PatchFile(path, off + 26, {uint8_t(c), uint8_t(c >> 8)});
        if (fat32) testutil::PatchFile(path, off + 20, {uint8_t(c >> 16), uint8_t(c >> 24)});
    }
    uint32_t FatEntry(uint32_t c) const {
        uint64_t o = fatStarts[0] + static_cast<uint64_t>(c) * (fat32 ? 4 : 2);
        uint32_t v = bytes[o] | bytes[o + 1] << 8;
        if (fat32) v |= static_cast<uint32_t>(bytes[o + 2] | bytes[o + 3] << 8) << 16;
        return v;
    }
    void SetFatEntry(uint32_t c, uint32_t v) {
        for (auto start : fatStarts) {
            uint64_t o = start + static_cast<uint64_t>(c) * (fat32 ? 4 : 2);
            if (fat32)
                testutil::PatchFile(path, o, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
            else
                testutil::PatchFile(path, o, {uint8_t(v), uint8_t(v >> 8)});
        }
    }
    bool Has(const std::vector<Listed>& items, const std::string& p) {
        for (auto& l : items)
            if (l.path == p) return true;
        return false;
    }
    std::unique_ptr<CFatVolume> Index() {
        auto v = OpenImage(path);
        if (v) {
            EXPECT_TRUE(v->BuildIndex(nullptr));
        }
        return v;
    }

    testutil::TempDir tmp;
    std::string path;
    std::vector<uint8_t> bytes;
    uint64_t imageSize = 0;
    bool fat32 = false;
    uint32_t clusterSize = 0;
    uint64_t dataStart = 0;
    std::vector<uint64_t> fatStarts;
};

#define LOAD(kind) \
    QUARLIX_REQUIRE(Load(kind), "mkfs.fat / mtools not installed")

TEST_F(FatHostileTest, FolderChainThatLoopsEndsThatFolder) {
    LOAD("fat16");
    const uint32_t first = SlotCluster(FindSlot("BIG        "));
    const uint32_t second = FatEntry(first);
    ASSERT_GE(second, 2u);
    SetFatEntry(second, first);  // the second cluster leads back to the first
    auto v = Index();
    ASSERT_TRUE(v);
    auto all = WalkDeleted(*v);
    EXPECT_TRUE(Has(all, "BIG/Entry number 07 of the big folder.txt"));   // first cluster
    EXPECT_FALSE(Has(all, "BIG/Entry number 88 of the big folder.txt"));  // beyond the loop
    EXPECT_TRUE(Has(all, "DOCS/Old Stuff/?nner/deep file.txt"));          // the walk went on
    std::set<std::string> unique;
    for (auto& l : all) EXPECT_TRUE(unique.insert(l.path).second) << "read twice: " << l.path;
    std::vector<FileItemInfo> items;
    ASSERT_TRUE(v->ListLiveFolder(u"\\BIG", items));
    EXPECT_LT(items.size(), 2u * clusterSize / 32);
    std::unique_ptr<IGenericFile> f;
    EXPECT_FALSE(v->OpenFileByPath(u"\\BIG\\Entry number 90 of the big folder.txt", f));
}

TEST_F(FatHostileTest, FileChainThatLoopsStopsAtItsSize) {
    LOAD("fat12");
    const uint64_t slot = FindSlot("KEEPTH~1TXT");
    const uint32_t first = SlotCluster(slot);
    SetFatEntry(FatEntry(first), first);
    auto v = OpenImage(path);
    ASSERT_TRUE(v);
    std::unique_ptr<IGenericFile> f;
    ASSERT_TRUE(v->OpenFileByPath(u"\\DOCS\\Keep this one.txt", f));
    std::vector<uint8_t> buf(4096);
    uint32_t got = 0, total = 0;
    while (f->Read(buf.data(), 100, got) && got > 0) total += got;
    EXPECT_EQ(total, 1500u);  // the size bounds a chain that loops
}

TEST_F(FatHostileTest, SubfolderPointingBackAtAnAncestor) {
    LOAD("fat32");
    const uint32_t docs = SlotCluster(FindSlot("DOCS       "));
    SetSlotCluster(FindSlot("SUB        "), docs);          // DOCS\SUB is DOCS again
    SetSlotCluster(FindSlot("KEEP       "), 2);             // KEEP is the root cluster
    auto v = Index();
    ASSERT_TRUE(v);
    auto all = WalkDeleted(*v);
    EXPECT_TRUE(Has(all, "DOCS/Old Stuff/note one.txt"));
    EXPECT_TRUE(Has(all, "?OPDEL/Second file.bin"));
    uint32_t folders = 0, files = 0;
    ASSERT_TRUE(v->CountDeletedFilesByPath(u"\\", folders, files));
    EXPECT_EQ(folders, 3u);
    EXPECT_EQ(files, 16u);
    ASSERT_TRUE(v->CountDeletedFilesByPath(u"\\DOCS\\SUB", folders, files));
    EXPECT_EQ(folders + files, 0u);
    // The tree holds each folder once: SUB and KEEP have no existing subfolders.
    EXPECT_TRUE(v->IndexRoot()->FindExisting(u"docs")->FindExisting(u"sub")->existingFolders.empty());
    EXPECT_TRUE(v->IndexRoot()->FindExisting(u"keep")->existingFolders.empty());
    // The looping entries are listed where they stand, but not entered: no
    // second copy of DOCS under SUB, nor of the root under KEEP.
    std::vector<FileItemInfo> items;
    auto names = [&](const char16_t* folder) {
        std::set<std::string> out;
        EXPECT_TRUE(v->ListLiveFolder(folder, items)) << Utf8(folder);
        for (auto& i : items) out.insert(Utf8(i.name));
        return out;
    };
    EXPECT_TRUE(names(u"\\DOCS").count("SUB"));
    EXPECT_TRUE(names(u"\\").count("KEEP"));
    EXPECT_TRUE(names(u"\\DOCS\\SUB").empty());
    EXPECT_TRUE(names(u"\\KEEP").empty());
    EXPECT_FALSE(v->ListLiveFolder(u"\\DOCS\\SUB\\SUB", items));
    EXPECT_FALSE(v->ListLiveFolder(u"\\KEEP\\KEEP", items));
    EXPECT_FALSE(v->ListLiveFolder(u"\\KEEP\\DOCS", items));
}

TEST_F(FatHostileTest, FirstClusterBeyondTheFat) {
    for (const char* kind : {"fat16", "fat32"}) {
        SCOPED_TRACE(kind);
        fatStarts.clear();
        QUARLIX_REQUIRE(Load(kind), "mkfs.fat / mtools not installed");
        const uint32_t beyond = fat32 ? 0x0FFFFFF0 : 0xFFF0;
        SetSlotCluster(FindSlot("\xE5LONGF~1TXT"), beyond);  // a deleted file
        SetSlotCluster(FindSlot("KEEP       "), beyond);    // a live folder
        SetSlotCluster(FindSlot("\xE5OPDEL     "), beyond);  // a deleted folder
        auto v = Index();
        ASSERT_TRUE(v);
        auto all = WalkDeleted(*v);
        ASSERT_TRUE(Has(all, "A long file name.txt"));
        EXPECT_TRUE(Has(all, "?OPDEL"));
        EXPECT_FALSE(Has(all, "?OPDEL/Second file.bin"));
        EXPECT_TRUE(Has(all, "DOCS/Old Stuff/note one.txt"));
        for (auto& l : all) {
            if (l.path != "A long file name.txt") continue;
            FileItemInfo info;
            ASSERT_TRUE(v->GetFileInfo(l.id, true, info));
            EXPECT_EQ(info.dataStatus, 100);
            std::unique_ptr<IGenericFile> f;
            ASSERT_TRUE(v->OpenFile(l.id, f));
            uint8_t buf[64];
            uint32_t got = 0;
            EXPECT_FALSE(f->Read(buf, sizeof buf, got));
        }
        std::vector<FileItemInfo> items;
        ASSERT_TRUE(v->ListLiveFolder(u"\\KEEP", items));
        EXPECT_TRUE(items.empty());
        std::filesystem::remove(path);
    }
}

TEST_F(FatHostileTest, DeletedFolderThatContainsItself) {
    LOAD("fat16");
    const uint64_t topdel = FindSlot("\xE5OPDEL     ");
    const uint32_t t = SlotCluster(topdel);
    const uint64_t base = ClusterOffset(t);
    // ".." names the folder itself, and a deleted copy of "." sits in slot 2:
    // a deleted subfolder whose content is its own parent's.
    std::vector<uint8_t> dot(bytes.begin() + base, bytes.begin() + base + 32);
    testutil::PatchFile(path, base + 32 + 26, {uint8_t(t), uint8_t(t >> 8)});
    std::vector<uint8_t> loop = dot;
    std::memcpy(loop.data(), "\xE5LOOP      ", 11);
    testutil::PatchFile(path, base + 64, loop);
    auto v = Index();
    ASSERT_TRUE(v);
    auto all = WalkDeleted(*v);
    EXPECT_TRUE(Has(all, "?OPDEL/?LOOP"));
    EXPECT_FALSE(Has(all, "?OPDEL/?LOOP/?LOOP"));
    EXPECT_TRUE(Has(all, "?OPDEL/Second file.bin"));
    EXPECT_LT(all.size(), 30u);
}

// A folder deleted while open: its entry and its file's are marked deleted,
// but the FAT keeps both chains. Its "." and ".." prove the chain is still
// that folder's, so its entries are listed under it; the stat facts say
// its clusters are in use.
TEST_F(FatHostileTest, FolderDeletedWhileOpenKeepsItsChain) {
    LOAD("fat16");
    const uint64_t keep = FindSlot("KEEP       ");
    const uint32_t cluster = SlotCluster(keep);
    ASSERT_NE(FatEntry(cluster), 0u);
    testutil::PatchFile(path, keep, {0xE5});
    testutil::PatchFile(path, FindSlot("K       TXT"), {0xE5});
    auto v = Index();
    ASSERT_TRUE(v);
    uint32_t id = 0;
    for (auto& l : WalkDeleted(*v))
        if (l.path == "?EEP") id = l.id;
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(Has(WalkDeleted(*v), "?EEP/?.txt"));
    EXPECT_EQ(v->AllocatedFolderChain(*v->RecordOfId(id)), std::vector<uint32_t> {cluster});
    // A deleted entry naming a live folder is no folder deleted while open:
    // DOCS/SUB's own "." and ".." would prove it, but the live walk read it.
    testutil::PatchFile(path, FindSlot("KEEP       "), {'K'});
    SetSlotCluster(FindSlot("\xE5" "LDSTU~1   "), SlotCluster(FindSlot("SUB        ")));
    auto w = Index();
    ASSERT_TRUE(w);
    EXPECT_TRUE(Has(WalkDeleted(*w), "DOCS/Old Stuff"));
    EXPECT_FALSE(Has(WalkDeleted(*w), "DOCS/Old Stuff/sub.txt"));
}

// A deleted folder whose one cluster is full reads on into the next free
// cluster, here a deleted file's data: nothing decoded from it passes as an
// item, and the listing is the one fls gives. A free cluster holding only
// "." and ".." is no lost folder.
TEST_F(FatHostileTest, DataAfterADeletedFolderGivesNoItems) {
    QUARLIX_REQUIRE(HaveFixtureTools() && testutil::HaveTool("fls"), "mkfs.fat / mtools / fls not installed");
    path = tmp.file("full.img");
    const std::string img = testutil::Quote(path), data = tmp.file("data.bin");
    testutil::WriteFileBytes(data, testutil::PatternBytes(4000, 11));
    std::string cmd = "export MTOOLS_SKIP_CHECK=1; mkfs.fat -C -F 12 -s 1 " + img + " 2048 >/dev/null && mmd -i " +
                      img + " ::/FULL && mcopy -i " + img + " " + testutil::Quote(data) + " ::/FULL/F01.BIN";
    // "." and ".." and 14 entries fill the folder's one cluster of 512 bytes.
    for (int i = 2; i <= 14; ++i) cmd += " && mcopy -i " + img + " " + testutil::Quote(data) + " ::/FULL/F" +
                                         (i < 10 ? "0" : "") + std::to_string(i) + ".TXT";
    testutil::MustRun(cmd + " && mdeltree -i " + img + " ::/FULL");
    auto v0 = OpenImage(path);
    ASSERT_TRUE(v0);
    const uint32_t last = v0->ClusterCount() + 1;
    const uint64_t lastAt = uint64_t(v0->DataFirstSector()) * 512 + uint64_t(last - 2) * 512;
    v0.reset();
    std::vector<uint8_t> dots(64, ' ');
    dots[0] = '.';
    dots[32] = dots[33] = '.';
    for (size_t at : {size_t(11), size_t(43)})
        std::fill(dots.begin() + at, dots.begin() + at + 21, 0), dots[at] = 0x10;
    dots[26] = uint8_t(last), dots[27] = uint8_t(last >> 8);
    testutil::PatchFile(path, lastAt, dots);

    auto v = Index();
    ASSERT_TRUE(v);
    std::multiset<std::string> ours, theirs;
    for (auto& l : WalkDeleted(*v)) ours.insert(FlsStyle(l.path));
    for (auto& l : FlsDeleted(path)) theirs.insert(l.path);
    EXPECT_EQ(ours.size(), 15u);
    EXPECT_EQ(ours, theirs);
    EXPECT_FALSE(v->HasLostFolders());
}

TEST_F(FatHostileTest, LongNamePiecesOutOfRangeOnDisk) {
    LOAD("fat16");
    // The first piece on disk of "Keep this one.txt" gets number 21 (no such
    // piece); the name is cut to what the other piece holds.
    const uint64_t shortSlot = FindSlot("KEEPTH~1TXT");
    testutil::PatchFile(path, shortSlot - 64, {0x55});
    auto v = Index();
    ASSERT_TRUE(v);
    std::vector<FileItemInfo> items;
    ASSERT_TRUE(v->ListLiveFolder(u"\\DOCS", items));
    std::vector<std::string> names;
    for (auto& i : items) names.push_back(Utf8(i.name));
    EXPECT_NE(std::find(names.begin(), names.end(), "Keep this one"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "SUB"), names.end());
}

TEST_F(FatHostileTest, HugeSizeOfADeletedEntry) {
    LOAD("fat16");
    testutil::PatchFile(path, FindSlot("\xE5" "ERO    TXT") + 28, {0xFF, 0xFF, 0xFF, 0xFF});
    auto v = Index();
    ASSERT_TRUE(v);
    for (auto& l : WalkDeleted(*v)) {
        if (l.path != "?ERO.TXT") continue;
        FileItemInfo info;
        ASSERT_TRUE(v->GetFileInfo(l.id, true, info));
        EXPECT_EQ(info.size, 0xFFFFFFFFu);
        EXPECT_GT(info.dataStatus, 90);  // the volume is far smaller than 4 GiB
        std::unique_ptr<IGenericFile> f;
        ASSERT_TRUE(v->OpenFile(l.id, f));
        std::vector<uint8_t> buf(1 << 16);
        uint32_t got = 0;
        uint64_t total = 0;
        while (f->Read(buf.data(), static_cast<uint32_t>(buf.size()), got) && got > 0) total += got;
        EXPECT_LT(total, imageSize);
    }
}

TEST_F(FatHostileTest, TruncatedImageGivesAPartialIndex) {
    LOAD("fat16");
    std::filesystem::resize_file(path, imageSize / 3);
    auto v = OpenImage(path);
    ASSERT_TRUE(v);
    EXPECT_FALSE(v->Warning().empty());
    EXPECT_TRUE(v->BuildIndex(nullptr));
    auto all = WalkDeleted(*v);
    EXPECT_TRUE(Has(all, "A long file name.txt"));  // the root area is intact
}

TEST_F(FatHostileTest, GarbageInTheRootArea) {
    LOAD("fat12");
    auto v0 = OpenImage(path);
    ASSERT_TRUE(v0);
    const uint64_t root = static_cast<uint64_t>(v0->RootFirstSector()) * v0->SectorSize();
    v0.reset();
    auto noise = testutil::PatternBytes(v0 ? 0 : 224 * 32, 7);
    testutil::PatchFile(path, root, noise);
    auto v = Index();
    ASSERT_TRUE(v);
    WalkDeleted(*v);  // whatever the noise decodes to, the walk ends
    std::vector<FileItemInfo> items;
    EXPECT_TRUE(v->ListLiveFolder(u"\\", items));
}

}  // namespace
