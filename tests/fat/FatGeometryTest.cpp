// The FAT volume's boot-sector geometry and FAT entry reads, on images built
// byte by byte, and hostile boot sectors that must be refused with a reason.
#include <gtest/gtest.h>

#include <cstring>

#include "FatTestSupport.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"

namespace {

struct BootSpec {
    const char* typeText = "FAT12";
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 1;
    uint16_t reserved = 1;
    uint8_t fats = 2;
    uint16_t rootEntries = 224;
    uint32_t totalSectors = 2880;
    uint32_t sectorsPerFat = 9;
    uint8_t extFlags = 0;
    uint32_t rootCluster = 2;
};

void Put16(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    b[off] = v & 0xFF;
    b[off + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    Put16(b, off, v & 0xFFFF);
    Put16(b, off + 2, v >> 16);
}

// A volume image holding only a boot sector that describes the given geometry.
std::vector<uint8_t> MakeImage(const BootSpec& s) {
    const size_t bps = s.bytesPerSector ? s.bytesPerSector : 512;
    std::vector<uint8_t> img(static_cast<size_t>(s.totalSectors) * bps, 0);
    const bool fat32 = std::string(s.typeText) == "FAT32";
    img[0] = 0xEB;
    img[1] = 0x3C;
    img[2] = 0x90;
    Put16(img, 11, s.bytesPerSector);
    img[13] = s.sectorsPerCluster;
    Put16(img, 14, s.reserved);
    img[16] = s.fats;
    Put16(img, 17, fat32 ? 0 : s.rootEntries);
    if (s.totalSectors < 0x10000)
        Put16(img, 19, s.totalSectors);
    else
        Put32(img, 32, s.totalSectors);
    img[21] = 0xF8;
    if (fat32) {
        Put32(img, 36, s.sectorsPerFat);
        img[40] = s.extFlags;
        Put32(img, 44, s.rootCluster);
        std::memcpy(&img[82], "FAT32   ", 8);
    } else {
        Put16(img, 22, s.sectorsPerFat);
        std::memcpy(&img[54], s.typeText, 5);
    }
    img[510] = 0x55;
    img[511] = 0xAA;
    return img;
}

class FatGeometryTest : public ::testing::Test {
protected:
    std::unique_ptr<CFatVolume> Open(const std::vector<uint8_t>& img, bool expectOk = true) {
        path = tmp.file("boot.img");
        testutil::WriteFileBytes(path, img);
        auto v = std::make_unique<CFatVolume>();
        bool ok = v->Initialize(path);
        EXPECT_EQ(ok, expectOk) << v->InitError();
        return v;
    }
    testutil::TempDir tmp;
    std::string path;
};

TEST_F(FatGeometryTest, Fat12EntryStraddlingTwoSectorsIsAssembledFromBoth) {
    BootSpec s;
    auto img = MakeImage(s);
    const size_t fat = 512;  // first FAT copy right after the boot sector
    // Entry 341 (odd) starts at byte 511, the last byte of the FAT's first
    // sector; its high byte opens the second sector.
    img[fat + 510] = 0x34;
    img[fat + 511] = 0xC2;
    img[fat + 512] = 0xAB;
    auto v = Open(img);
    ASSERT_TRUE(v);
    uint32_t value = 0;
    ASSERT_TRUE(v->ReadFatEntry(341, value));
    EXPECT_EQ(value, 0xABCu);
    ASSERT_TRUE(v->ReadFatEntry(340, value));  // even: low 12 bits of the word at 510
    EXPECT_EQ(value, 0x234u);
    // And again after the cache moved on to the second sector.
    ASSERT_TRUE(v->ReadFatEntry(341, value));
    EXPECT_EQ(value, 0xABCu);
    EXPECT_EQ(v->FatType(), static_cast<uint32_t>(kPartitionFat12));
    EXPECT_EQ(v->RootSize(), 224u * 32);
    EXPECT_EQ(v->DataFirstSector(), 1u + 2 * 9 + 14);
    // Past the FAT copy: refused, not read from the next copy.
    EXPECT_FALSE(v->ReadFatEntry(v->FatEntryCount() + 10, value));
}

TEST_F(FatGeometryTest, Fat32ExtendedFlags0x81ReadsCopyOne) {
    BootSpec s;
    s.typeText = "FAT32";
    s.reserved = 32;
    s.totalSectors = 70000;
    s.sectorsPerFat = 540;
    s.extFlags = 0x81;
    auto img = MakeImage(s);
    const size_t copy0 = 32 * 512, copy1 = (32 + 540) * 512;
    Put32(img, copy0 + 5 * 4, 0x00000006);
    Put32(img, copy1 + 5 * 4, 0x0FFFFFF8);
    auto v = Open(img);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->ActiveCopy(), 1u);
    EXPECT_EQ(v->ActiveFatFirstSector(), 32u + 540);
    EXPECT_EQ(v->DataFirstSector(), 32u + 2 * 540);
    uint32_t value = 0;
    ASSERT_TRUE(v->ReadFatEntry(5, value));
    EXPECT_EQ(value, 0x0FFFFFF8u);
    EXPECT_TRUE(v->IsEndOfChain(value));
}

TEST_F(FatGeometryTest, EntryValueTestsOfEachWidth) {
    BootSpec s32;
    s32.typeText = "FAT32";
    s32.reserved = 32;
    s32.totalSectors = 70000;
    s32.sectorsPerFat = 540;
    auto v32 = Open(MakeImage(s32));
    ASSERT_TRUE(v32);
    EXPECT_TRUE(v32->IsEndOfChain(0xFFFFFFFF));
    EXPECT_TRUE(v32->IsEndOfChain(0x0FFFFFF8));
    EXPECT_FALSE(v32->IsEndOfChain(0x0FFFFFF7));
    EXPECT_TRUE(v32->IsBad(0x0FFFFFF7));
    EXPECT_TRUE(v32->IsBad(0xFFFFFFF7));  // the top 4 bits are not part of the value
    EXPECT_FALSE(v32->IsInUse(0));
    EXPECT_FALSE(v32->IsInUse(1));
    EXPECT_FALSE(v32->IsInUse(0xF0000001));
    EXPECT_TRUE(v32->IsInUse(2));
    EXPECT_EQ(v32->EndOfChainMark(), 0x0FFFFFFFu);

    auto v12 = Open(MakeImage(BootSpec {}));
    ASSERT_TRUE(v12);
    EXPECT_FALSE(v12->IsInUse(0));
    EXPECT_FALSE(v12->IsInUse(1));
    EXPECT_TRUE(v12->IsBad(0xFF7));
    EXPECT_TRUE(v12->IsEndOfChain(0xFF8));
    EXPECT_TRUE(v12->IsEndOfChain(0xFFF));
    EXPECT_FALSE(v12->IsEndOfChain(0xFF7));
}

TEST_F(FatGeometryTest, Fat16TextWinsOverClusterCount) {
    BootSpec s;  // a floppy-sized volume: by its cluster count it would be FAT12
    s.typeText = "FAT16";
    auto v = Open(MakeImage(s));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->FatType(), static_cast<uint32_t>(kPartitionFat16));
    EXPECT_EQ(v->GetPartitionType(), kPartitionFat16);
    EXPECT_EQ(v->FatEntryCount(), 9u * 512 / 2);
}

// Hostile and foreign boot sectors are refused: a FAT boot sector that
// cannot be used with a reason, what is no FAT volume at all silently.
TEST_F(FatGeometryTest, HostileBootSectorsAreRefused) {
    struct Case {
        const char* what;
        void (*change)(BootSpec&);
        void (*bytes)(std::vector<uint8_t>&);
        const char* reason;  // in the open's error; "" any, nullptr none
    };
    const Case cases[] = {
        {"bytes per sector 0", [](BootSpec& s) { s.bytesPerSector = 0; }, nullptr, ""},
        {"bytes per sector 1000", [](BootSpec& s) { s.bytesPerSector = 1000; }, nullptr, ""},
        {"sectors per cluster 0", [](BootSpec& s) { s.sectorsPerCluster = 0; }, nullptr, ""},
        {"sectors per cluster 3", [](BootSpec& s) { s.sectorsPerCluster = 3; }, nullptr, ""},
        {"no FATs", [](BootSpec& s) { s.fats = 0; }, nullptr, ""},
        {"FAT size 0", [](BootSpec& s) { s.sectorsPerFat = 0; }, nullptr, ""},
        {"FAT beyond the volume", [](BootSpec& s) { s.sectorsPerFat = 60000; }, nullptr, ""},
        // The FATs and the root area need 33 sectors.
        {"cut to 10 sectors", nullptr, [](std::vector<uint8_t>& b) { b.resize(512 * 10); }, "truncated"},
        {"not even a boot sector", nullptr, [](std::vector<uint8_t>& b) { b.resize(300); }, nullptr},
        {"exFAT", nullptr, [](std::vector<uint8_t>& b) { std::memcpy(&b[54], "EXFAT", 5); }, nullptr},
        {"no boot signature", nullptr, [](std::vector<uint8_t>& b) { b[510] = 0; }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BootSpec spec;
        if (c.change) c.change(spec);
        auto img = MakeImage(spec);
        if (c.bytes) c.bytes(img);
        auto v = Open(img, false);
        EXPECT_FALSE(v->IsInitialized());
        if (!c.reason) {
            EXPECT_EQ(v->InitError(), "");
        } else {
            EXPECT_FALSE(v->InitError().empty());
            EXPECT_NE(v->InitError().find(c.reason), std::string::npos) << v->InitError();
        }
        // Nothing else works on a refused volume, and nothing crashes.
        EXPECT_FALSE(v->BuildIndex(nullptr));
        std::vector<FileItemInfo> items;
        EXPECT_FALSE(v->ListLiveFolder(u"\\", items));
    }
}

// The largest cluster, 512 KiB (4,096-byte sectors, 128 per cluster), as
// mkfs.fat makes it. mtools cannot write to it, so the items are written as
// bytes: a deleted file of two clusters and a deleted folder holding a
// deleted file, all in free clusters.
TEST_F(FatGeometryTest, HalfMebibyteClusters) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat"), "mkfs.fat not installed");
    path = tmp.file("big-clusters.img");
    testutil::MustRun("mkfs.fat -C -F 32 -S 4096 -s 128 " + testutil::Quote(path) + " 65536 >/dev/null 2>&1");
    auto probe = fattest::OpenImage(path);
    ASSERT_TRUE(probe);
    ASSERT_EQ(probe->ClusterSize(), 512u * 1024);
    const uint64_t cs = probe->ClusterSize();
    auto at = [&](uint32_t c) { return uint64_t(probe->DataFirstSector()) * 4096 + (c - 2) * cs; };
    auto entry = [](const char* name11, uint8_t attributes, uint32_t cluster, uint32_t size) {
        std::vector<uint8_t> e(32, 0);
        std::memcpy(e.data(), name11, 11);
        e[11] = attributes;
        e[24] = 0x21;  // 1980-01-01
        Put16(e, 26, cluster);
        Put32(e, 28, size);
        return e;
    };
    const std::vector<uint8_t> content = testutil::PatternBytes(700000, 3);
    testutil::PatchFile(path, at(2), entry("\xE5IG     BIN", 0x20, 5, 700000));
    testutil::PatchFile(path, at(2) + 32, entry("\xE5OLD       ", 0x10, 4, 0));
    testutil::PatchFile(path, at(4), entry(".          ", 0x10, 4, 0));
    testutil::PatchFile(path, at(4) + 32, entry("..         ", 0x10, 0, 0));
    testutil::PatchFile(path, at(4) + 64, entry("\xE5NNER   TXT", 0x20, 7, 100));
    testutil::PatchFile(path, at(5), content);
    probe.reset();

    auto v = fattest::OpenImage(path);
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->BuildIndex(nullptr));
    std::map<std::string, fattest::Listed> found;
    for (auto& l : fattest::WalkDeleted(*v)) found[l.path] = l;
    ASSERT_EQ(found.size(), 3u);
    ASSERT_TRUE(found.count("?IG.BIN") && found.count("?OLD") && found.count("?OLD/?NNER.TXT"));
    FileItemInfo info;
    ASSERT_TRUE(v->GetFileInfo(found["?IG.BIN"].id, true, info));
    EXPECT_EQ(info.size, 700000u);
    EXPECT_EQ(info.dataStatus, 0);
    std::unique_ptr<IGenericFile> f;
    ASSERT_TRUE(v->OpenFile(found["?IG.BIN"].id, f));
    std::vector<uint8_t> back(800000);
    uint32_t got = 0;
    ASSERT_TRUE(f->Read(back.data(), static_cast<uint32_t>(back.size()), got));
    back.resize(got);
    EXPECT_TRUE(back == content);
}

}  // namespace
