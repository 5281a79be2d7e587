// Partition tables no partitioning tool writes, built byte by byte: entries
// past the end of the device or overflowing, EBR chains that loop or never
// end, GPT headers with absurd counts and sizes, truncated images. Each must
// give its partitions (clipped where needed) and a warning, never a crash, a
// hang or a huge allocation.
#include <gtest/gtest.h>

#include "DiskBytes.h"
#include "common/TestUtil.h"
#include "platform/DeviceStream.h"
#include "platform/PartitionTable.h"

namespace {

const char* kBasicData = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";

struct ReadResult {
    bool ok = false;
    PartitionTable table;
    std::string error;

    std::string warnings() const {
        std::string s;
        for (const auto& w : table.warnings) s += "  " + w + "\n";
        return s;
    }
    bool warned(const std::string& word) const { return warnings().find(word) != std::string::npos; }
};

class HostileTable : public ::testing::Test {
protected:
    ReadResult Read(const DiskBytes& disk) {
        std::string path = m_dir.file("disk" + std::to_string(m_count++) + ".img");
        disk.Save(path);
        ReadResult r;
        CDeviceStream device;
        if (!device.Open(path)) {
            ADD_FAILURE() << "cannot open " << path;
            return r;
        }
        r.ok = ReadPartitionTable(device, r.table, r.error);
        EXPECT_TRUE(r.ok) << r.error;
        return r;
    }

    testutil::TempDir m_dir;
    int m_count = 0;
};

// --- MBR ---

TEST_F(HostileTable, MbrEntriesPastTheEndAreClippedDroppedOrRejected) {
    DiskBytes disk(2048 * 512);  // 1 MiB
    disk.MbrEntry(0, 0, 0x80, 0x07, 100, 500);              // fits
    disk.MbrEntry(0, 1, 0x00, 0x0C, 1000, 5000);            // ends past the end
    disk.MbrEntry(0, 2, 0x00, 0x06, 4000, 10);              // starts past the end
    disk.MbrEntry(0, 3, 0x00, 0x07, 0xFFFFFF00u, 0x1000);   // start + count wraps 32 bits
    disk.BootSignature(0);
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "MBR");
    ASSERT_EQ(r.table.partitions.size(), 2u) << r.warnings();
    EXPECT_EQ(r.table.partitions[0].number, 1);
    EXPECT_EQ(r.table.partitions[0].offset, 100u * 512);
    EXPECT_EQ(r.table.partitions[0].length, 500u * 512);
    EXPECT_EQ(r.table.partitions[1].number, 2);
    EXPECT_EQ(r.table.partitions[1].offset, 1000u * 512);
    EXPECT_EQ(r.table.partitions[1].length, (2048u - 1000) * 512);  // clipped to the device
    EXPECT_EQ(r.table.warnings.size(), 3u) << r.warnings();
    EXPECT_TRUE(r.warned("clipped")) << r.warnings();
    EXPECT_TRUE(r.warned("past the end")) << r.warnings();
    EXPECT_TRUE(r.warned("overflows")) << r.warnings();
}

TEST_F(HostileTable, GarbageEntriesAreNotATable) {
    DiskBytes disk(64 * 512);
    for (size_t i = 446; i < 510; ++i) disk.Put8(i, static_cast<uint8_t>(0x37 + i));
    disk.BootSignature(0);
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "");
    EXPECT_TRUE(r.table.partitions.empty());
}

// An extended partition at sector 100 of 1000 sectors on a 2048-sector disk.
DiskBytes DiskWithExtended() {
    DiskBytes disk(2048 * 512);
    disk.MbrEntry(0, 0, 0x00, 0x06, 2, 90);
    disk.MbrEntry(0, 1, 0x00, 0x05, 100, 1000);
    disk.BootSignature(0);
    return disk;
}

TEST_F(HostileTable, EbrChainThatLoopsStops) {
    {
        SCOPED_TRACE("link to itself");
        DiskBytes disk = DiskWithExtended();
        disk.MbrEntry(100, 0, 0, 0x07, 10, 20);
        disk.MbrEntry(100, 1, 0, 0x05, 0, 50);  // the chain's first record again
        disk.BootSignature(100);
        ReadResult r = Read(disk);
        ASSERT_EQ(r.table.partitions.size(), 2u) << r.warnings();
        EXPECT_EQ(r.table.partitions[1].number, 5);
        EXPECT_EQ(r.table.partitions[1].offset, 110u * 512);
        EXPECT_TRUE(r.warned("loop")) << r.warnings();
    }
    {
        SCOPED_TRACE("link back to an earlier record");
        DiskBytes disk = DiskWithExtended();
        disk.MbrEntry(100, 0, 0, 0x07, 10, 20);
        disk.MbrEntry(100, 1, 0, 0x05, 200, 50);  // -> sector 300
        disk.BootSignature(100);
        disk.MbrEntry(300, 0, 0, 0x0B, 10, 20);
        disk.MbrEntry(300, 1, 0, 0x05, 0, 50);    // -> sector 100
        disk.BootSignature(300);
        ReadResult r = Read(disk);
        ASSERT_EQ(r.table.partitions.size(), 3u) << r.warnings();
        EXPECT_EQ(r.table.partitions[1].number, 5);
        EXPECT_EQ(r.table.partitions[1].offset, 110u * 512);
        EXPECT_EQ(r.table.partitions[2].number, 6);
        EXPECT_EQ(r.table.partitions[2].offset, 310u * 512);
        EXPECT_TRUE(r.warned("loop")) << r.warnings();
    }
    {
        SCOPED_TRACE("link outside the extended partition");
        DiskBytes disk = DiskWithExtended();
        disk.MbrEntry(100, 0, 0, 0x07, 10, 20);
        disk.MbrEntry(100, 1, 0, 0x05, 1500, 50);  // sector 1600, beyond 100 + 1000
        disk.BootSignature(100);
        ReadResult r = Read(disk);
        EXPECT_EQ(r.table.partitions.size(), 2u) << r.warnings();
        EXPECT_TRUE(r.warned("outside")) << r.warnings();
    }
    {
        SCOPED_TRACE("link to a sector without a boot signature");
        DiskBytes disk = DiskWithExtended();
        disk.MbrEntry(100, 0, 0, 0x07, 10, 20);
        disk.MbrEntry(100, 1, 0, 0x05, 400, 50);
        disk.BootSignature(100);
        ReadResult r = Read(disk);
        EXPECT_EQ(r.table.partitions.size(), 2u) << r.warnings();
        EXPECT_TRUE(r.warned("0x55AA")) << r.warnings();
    }
}

TEST_F(HostileTable, EndlessForwardEbrChainIsBounded) {
    // 400 records, each 2 sectors after the previous: forward, inside the
    // extended partition, and far longer than any real disk's chain.
    DiskBytes disk(4096 * 512);
    disk.MbrEntry(0, 0, 0x00, 0x05, 100, 3000);
    disk.BootSignature(0);
    for (uint32_t k = 0; k < 400; ++k) {
        uint64_t ebr = 100 + 2 * k;
        disk.MbrEntry(ebr, 0, 0, 0x06, 1, 1);
        disk.MbrEntry(ebr, 1, 0, 0x05, 2 * (k + 1), 2);
        disk.BootSignature(ebr);
    }
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "MBR");
    ASSERT_FALSE(r.table.partitions.empty());
    EXPECT_LT(r.table.partitions.size(), 400u);
    EXPECT_EQ(r.table.partitions[0].number, 5);
    EXPECT_EQ(r.table.partitions[0].offset, 101u * 512);
    EXPECT_EQ(r.table.partitions[1].offset, 103u * 512);
    EXPECT_TRUE(r.warned("extended boot records")) << r.warnings();
}

// --- GPT ---

GptSpec OnePartitionGpt() {
    GptSpec spec;
    spec.entries.push_back({kBasicData, 40, 99, u"data"});
    return spec;
}

TEST_F(HostileTable, HandBuiltGptIsReadCleanly) {
    // The baseline for the cases below: the builder writes a table the
    // reader accepts without a warning.
    DiskBytes disk(128 * 512);
    disk.WriteGpt(OnePartitionGpt());
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "GPT");
    EXPECT_TRUE(r.table.warnings.empty()) << r.warnings();
    ASSERT_EQ(r.table.partitions.size(), 1u);
    EXPECT_EQ(r.table.partitions[0].offset, 40u * 512);
    EXPECT_EQ(r.table.partitions[0].length, 60u * 512);
    EXPECT_EQ(r.table.partitions[0].name, "data");
    EXPECT_EQ(r.table.partitions[0].gptType, kBasicData);
}

TEST_F(HostileTable, GptHeaderWithAbsurdFieldsIsRejected) {
    struct Case {
        const char* what;
        void (*mutate)(GptSpec&);
        const char* warning;
    };
    const Case cases[] = {
        {"entry count 0xFFFFFFFF", [](GptSpec& s) { s.entryCount = 0xFFFFFFFFu; }, "entry count"},
        {"entry count 1025", [](GptSpec& s) { s.entryCount = 1025; }, "entry count"},
        {"entry size 0", [](GptSpec& s) { s.entrySize = 0; }, "entry size"},
        {"entry size 130", [](GptSpec& s) { s.entrySize = 130; }, "entry size"},
        {"entry size 1 MiB", [](GptSpec& s) { s.entrySize = 1u << 20; }, "entry size"},
        {"entry size 0xFFFFFF80", [](GptSpec& s) { s.entrySize = 0xFFFFFF80u; }, "entry size"},
        {"header size 12", [](GptSpec& s) { s.headerSize = 12; }, "header size"},
        {"header size 0x10000", [](GptSpec& s) { s.headerSize = 0x10000; }, "header size"},
        {"entries at LBA 1", [](GptSpec& s) { s.entryLba = 1; }, "overlap"},
        {"entries past the end", [](GptSpec& s) { s.entryLba = 1u << 30; }, "outside the device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GptSpec spec = OnePartitionGpt();
        c.mutate(spec);
        DiskBytes disk(128 * 512);
        disk.WriteGpt(spec);
        ReadResult r = Read(disk);
        EXPECT_EQ(r.table.scheme, "GPT");
        EXPECT_TRUE(r.table.partitions.empty());
        EXPECT_TRUE(r.warned(c.warning)) << r.warnings();
    }
}

TEST_F(HostileTable, GptEntriesOutOfRange) {
    GptSpec spec;
    spec.entries.push_back({kBasicData, 40, 99, u"fits"});
    spec.entries.push_back({kBasicData, 60, 50, u"backwards"});
    spec.entries.push_back({kBasicData, 100, 5000, u"too long"});
    spec.entries.push_back({kBasicData, 9000, 9100, u"beyond"});
    spec.entries.push_back({kBasicData, 50, UINT64_MAX, u"wraps"});
    spec.entries.push_back({kBasicData, UINT64_MAX / 256, UINT64_MAX / 256 + 1, u"huge LBA"});
    DiskBytes disk(128 * 512);
    disk.WriteGpt(spec);
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "GPT");
    ASSERT_EQ(r.table.partitions.size(), 2u) << r.warnings();
    EXPECT_EQ(r.table.partitions[0].name, "fits");
    EXPECT_EQ(r.table.partitions[1].name, "too long");
    EXPECT_EQ(r.table.partitions[1].number, 3);
    EXPECT_EQ(r.table.partitions[1].offset, 100u * 512);
    EXPECT_EQ(r.table.partitions[1].length, 28u * 512);  // clipped to the 128-sector device
    EXPECT_EQ(r.table.warnings.size(), 5u) << r.warnings();
    EXPECT_TRUE(r.warned("clipped")) << r.warnings();
    EXPECT_TRUE(r.warned("overflows")) << r.warnings();
}

TEST_F(HostileTable, TruncatedGptImage) {
    {
        SCOPED_TRACE("entry array cut short");
        // 128 entries of 128 bytes from LBA 2 need 34 sectors; the image
        // has 4, so only the first 16 entries are there.
        GptSpec spec;
        spec.entries.push_back({kBasicData, 3, 3, u"tiny"});
        DiskBytes disk(4 * 512);
        disk.WriteGpt(spec);
        ReadResult r = Read(disk);
        EXPECT_EQ(r.table.scheme, "GPT");
        ASSERT_EQ(r.table.partitions.size(), 1u) << r.warnings();
        EXPECT_EQ(r.table.partitions[0].offset, 3u * 512);
        EXPECT_TRUE(r.warned("truncated")) << r.warnings();
    }
    {
        SCOPED_TRACE("image ends inside the header sector");
        DiskBytes disk(128 * 512);
        disk.WriteGpt(OnePartitionGpt());
        disk.bytes().resize(512 + 60);
        ReadResult r = Read(disk);
        EXPECT_TRUE(r.table.partitions.empty());
        EXPECT_FALSE(r.table.warnings.empty());
    }
}

TEST_F(HostileTable, GptWith4096ByteSectors) {
    GptSpec spec;
    spec.sectorSize = 4096;
    spec.entries.push_back({kBasicData, 10, 19, u"4k"});
    DiskBytes disk(64 * 4096);
    disk.WriteGpt(spec);
    ReadResult r = Read(disk);
    EXPECT_EQ(r.table.scheme, "GPT");
    EXPECT_EQ(r.table.sectorSize, 4096u);
    EXPECT_TRUE(r.table.warnings.empty()) << r.warnings();
    ASSERT_EQ(r.table.partitions.size(), 1u);
    EXPECT_EQ(r.table.partitions[0].offset, 10u * 4096);
    EXPECT_EQ(r.table.partitions[0].length, 10u * 4096);
}

}  // namespace
