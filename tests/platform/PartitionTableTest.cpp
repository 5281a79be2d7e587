// Partition tables written by real tools (sfdisk, fdisk) and found in public
// images, each checked against an independent reader: sfdisk --json, fdisk -l
// or The Sleuth Kit's mmls output stored beside the image. Volumes without a
// table (mkfs.fat, mkntfs) must not be taken for one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/TestUtil.h"
#include "platform/DeviceStream.h"
#include "platform/PartitionTable.h"

using testutil::MustRun;
using testutil::Quote;

namespace {

struct ReadResult {
    bool ok = false;
    PartitionTable table;
    std::string error;
};

ReadResult ReadTable(const std::string& path) {
    ReadResult r;
    CDeviceStream device;
    if (!device.Open(path)) {
        ADD_FAILURE() << "cannot open " << path;
        return r;
    }
    r.ok = ReadPartitionTable(device, r.table, r.error);
    return r;
}

std::string Warnings(const PartitionTable& t) {
    std::string s;
    for (const auto& w : t.warnings) s += "  " + w + "\n";
    return s;
}

// A partition as another program reports it, in sectors.
struct Reference {
    int number = 0;
    uint64_t start = 0;
    uint64_t sectors = 0;
    std::string type;  // MBR type in hex ("c") or GPT GUID (any case)
    std::string name;
};

int TrailingNumber(const std::string& node) {
    size_t i = node.size();
    while (i > 0 && node[i - 1] >= '0' && node[i - 1] <= '9') --i;
    return i < node.size() ? std::stoi(node.substr(i)) : 0;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// sfdisk's own reading of the table; the label ("dos", "gpt") goes to label.
std::vector<Reference> SfdiskReference(const std::string& image, std::string& label) {
    std::string out = MustRun("{ sfdisk --json " + Quote(image) + " 2>/dev/null; }");
    nlohmann::json j = nlohmann::json::parse(out);
    const auto& pt = j.at("partitiontable");
    label = pt.at("label").get<std::string>();
    std::vector<Reference> refs;
    for (const auto& p : pt.at("partitions")) {
        Reference r;
        r.number = TrailingNumber(p.at("node").get<std::string>());
        r.start = p.at("start").get<uint64_t>();
        r.sectors = p.at("size").get<uint64_t>();
        r.type = p.at("type").get<std::string>();
        if (p.contains("name")) r.name = p.at("name").get<std::string>();
        refs.push_back(r);
    }
    return refs;
}

void Sfdisk(const std::string& image, const std::string& script) {
    MustRun("printf '%s' " + Quote(script) + " | sfdisk --no-reread --no-tell-kernel " + Quote(image));
}

void CreateImage(const std::string& path, uint64_t bytes) {
    MustRun("truncate -s " + std::to_string(bytes) + " " + Quote(path));
}

class PartitionTableTools : public ::testing::Test {
protected:
    void SetUp() override {
        QUARLIX_REQUIRE(testutil::HaveTool("sfdisk"), "sfdisk not installed");
    }
    testutil::TempDir m_dir;
};

TEST_F(PartitionTableTools, MbrWithPrimariesAndLogicalsMatchesSfdisk) {
    const std::string image = m_dir.file("mbr.img");
    CreateImage(image, 64 << 20);
    // Slot 2 stays empty: the numbers of the others must not move up.
    Sfdisk(image,
           "label: dos\n" +
               image + "1 : start=2048, size=20480, type=c\n" +
               image + "3 : start=22528, size=10240, type=83\n" +
               image + "4 : start=40960, size=81920, type=5\n" +
               image + "5 : start=43008, size=16384, type=7\n" +
               image + "6 : start=61440, size=8192, type=6\n");
    std::string label;
    std::vector<Reference> refs = SfdiskReference(image, label);
    ASSERT_EQ(label, "dos");

    std::vector<Reference> expected;
    for (const Reference& r : refs) {
        uint8_t type = static_cast<uint8_t>(std::stoul(r.type, nullptr, 16));
        if (type != 0x05 && type != 0x0F && type != 0x85) expected.push_back(r);
    }
    ASSERT_EQ(expected.size(), 4u) << "sfdisk did not write the expected layout";

    // Then the first extended boot record's logical entry moved from its
    // first slot to its third, where Windows and Linux read it as well.
    for (bool moved : {false, true}) {
        SCOPED_TRACE(moved ? "logical entry in the third slot" : "as sfdisk wrote it");
        if (moved) {
            const uint64_t entries = 40960ull * 512 + 446;
            std::vector<uint8_t> disk = testutil::ReadFileBytes(image);
            testutil::PatchFile(image, entries + 32, std::vector<uint8_t>(disk.begin() + entries, disk.begin() + entries + 16));
            testutil::PatchFile(image, entries, std::vector<uint8_t>(16, 0));
            ASSERT_EQ(SfdiskReference(image, label).size(), refs.size());
        }
        ReadResult r = ReadTable(image);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.table.scheme, "MBR");
        EXPECT_EQ(r.table.sectorSize, 512u);
        EXPECT_TRUE(r.table.warnings.empty()) << Warnings(r.table);
        ASSERT_EQ(r.table.partitions.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const PartitionEntry& p = r.table.partitions[i];
            SCOPED_TRACE("partition " + std::to_string(expected[i].number));
            EXPECT_EQ(p.number, expected[i].number);
            EXPECT_EQ(p.offset, expected[i].start * 512);
            EXPECT_EQ(p.length, expected[i].sectors * 512);
            EXPECT_EQ(p.mbrType, std::stoul(expected[i].type, nullptr, 16));
            EXPECT_TRUE(p.gptType.empty());
        }
        EXPECT_EQ(r.table.partitions[0].typeName, "FAT32");
        EXPECT_EQ(r.table.partitions[2].typeName, "NTFS/exFAT");
    }
}

TEST_F(PartitionTableTools, GptMatchesSfdiskAndSurvivesALostPrimaryHeader) {
    const std::string image = m_dir.file("gpt.img");
    CreateImage(image, 32 << 20);
    Sfdisk(image,
           "label: gpt\n"
           "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name=\"data one\"\n"
           "start=32768, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=\"Linux \xce\xa9part\"\n");
    std::string label;
    std::vector<Reference> refs = SfdiskReference(image, label);
    ASSERT_EQ(label, "gpt");
    ASSERT_EQ(refs.size(), 2u);

    auto check = [&](const ReadResult& r) {
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.table.scheme, "GPT");
        EXPECT_EQ(r.table.sectorSize, 512u);
        ASSERT_EQ(r.table.partitions.size(), refs.size());
        for (size_t i = 0; i < refs.size(); ++i) {
            const PartitionEntry& p = r.table.partitions[i];
            SCOPED_TRACE("partition " + std::to_string(refs[i].number));
            EXPECT_EQ(p.number, refs[i].number);
            EXPECT_EQ(p.offset, refs[i].start * 512);
            EXPECT_EQ(p.length, refs[i].sectors * 512);
            EXPECT_EQ(p.gptType, Lower(refs[i].type));
            EXPECT_EQ(p.name, refs[i].name);
            EXPECT_EQ(p.mbrType, 0);
        }
        EXPECT_EQ(r.table.partitions[0].typeName, "Microsoft basic data");
        EXPECT_EQ(r.table.partitions[1].typeName, "Linux filesystem");
    };

    ReadResult intact = ReadTable(image);
    check(intact);
    EXPECT_TRUE(intact.table.warnings.empty()) << Warnings(intact.table);

    // A damaged entry array is still read, with a warning.
    testutil::PatchFile(image, 1024 + 56, {'D', 0});
    ReadResult renamed = ReadTable(image);
    ASSERT_TRUE(renamed.ok);
    ASSERT_EQ(renamed.table.partitions.size(), 2u);
    EXPECT_EQ(renamed.table.partitions[0].name, "Data one");
    ASSERT_EQ(renamed.table.warnings.size(), 1u) << Warnings(renamed.table);
    EXPECT_NE(renamed.table.warnings[0].find("CRC32"), std::string::npos) << renamed.table.warnings[0];
    testutil::PatchFile(image, 1024 + 56, {'d', 0});

    // An absurd entry count in the primary header: the backup header at the
    // end of the disk holds the same table.
    testutil::PatchFile(image, 512 + 80, {0xFF, 0xFF, 0xFF, 0xFF});
    ReadResult fromBackup = ReadTable(image);
    check(fromBackup);
    std::string all = Warnings(fromBackup.table);
    EXPECT_NE(all.find("entry count"), std::string::npos) << all;
    EXPECT_NE(all.find("backup"), std::string::npos) << all;
}

TEST_F(PartitionTableTools, GptWith4096ByteSectorsMatchesFdisk) {
    QUARLIX_REQUIRE(testutil::HaveTool("fdisk"), "fdisk not installed");
    const std::string image = m_dir.file("gpt4k.img");
    CreateImage(image, 32 << 20);
    // g: new GPT; two partitions by explicit type GUID.
    MustRun("printf 'g\\nn\\n1\\n\\n+8M\\nt\\nEBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\nn\\n2\\n\\n+4M\\nt\\n2\\n"
            "0FC63DAF-8483-4772-8E79-3D69D8477DE4\\nw\\n' | fdisk -b 4096 " +
            Quote(image));
    std::string listing = MustRun("fdisk -b 4096 -l -o Device,Start,Sectors,Type-UUID " + Quote(image));
    // Rows: "<image>N  start  sectors  type-uuid".
    std::vector<Reference> refs;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(image, 0) != 0) continue;
        std::istringstream row(line);
        Reference ref;
        std::string node;
        if (!(row >> node >> ref.start >> ref.sectors >> ref.type)) continue;
        ref.number = TrailingNumber(node);
        refs.push_back(ref);
    }
    ASSERT_EQ(refs.size(), 2u) << listing;

    ReadResult r = ReadTable(image);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.table.scheme, "GPT");
    EXPECT_EQ(r.table.sectorSize, 4096u);
    ASSERT_EQ(r.table.partitions.size(), refs.size()) << Warnings(r.table);
    for (size_t i = 0; i < refs.size(); ++i) {
        const PartitionEntry& p = r.table.partitions[i];
        EXPECT_EQ(p.number, refs[i].number);
        EXPECT_EQ(p.offset, refs[i].start * 4096);
        EXPECT_EQ(p.length, refs[i].sectors * 4096);
        EXPECT_EQ(p.gptType, Lower(refs[i].type));
    }
}

// --- Public images with The Sleuth Kit's mmls output as the ground truth ---

// The allocated partitions of an mmls listing; table 0 entries are primaries
// (number = slot + 1), table N > 0 the logical of the N-th extended boot
// record (number = 4 + N).
std::vector<Reference> MmlsReference(const std::string& mmlsFile) {
    std::vector<uint8_t> bytes = testutil::ReadFileBytes(mmlsFile);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    // Rows: "002:  000:001   0000016512   0000032895   0000016384   DOS FAT16 (0x06)";
    // metadata and unallocated rows have "Meta" or "-------" as their slot.
    std::vector<Reference> refs;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string index, slot;
        Reference r;
        uint64_t end = 0;
        if (!(row >> index >> slot >> r.start >> end >> r.sectors)) continue;
        size_t colon = slot.find(':');
        if (colon == std::string::npos || slot.find_first_not_of("0123456789:") != std::string::npos) continue;
        size_t open = line.rfind("(0x"), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open + 3) continue;
        int table = std::stoi(slot.substr(0, colon));
        int entry = std::stoi(slot.substr(colon + 1));
        r.number = table == 0 ? entry + 1 : 4 + table;
        r.type = line.substr(open + 3, close - open - 3);
        refs.push_back(r);
    }
    return refs;
}

void ExpectMatchesMmls(const PartitionTable& table, const std::vector<Reference>& refs) {
    EXPECT_EQ(table.scheme, "MBR");
    ASSERT_EQ(table.partitions.size(), refs.size()) << Warnings(table);
    for (size_t i = 0; i < refs.size(); ++i) {
        const PartitionEntry& p = table.partitions[i];
        SCOPED_TRACE("partition " + std::to_string(refs[i].number));
        EXPECT_EQ(p.number, refs[i].number);
        EXPECT_EQ(p.offset, refs[i].start * 512);
        EXPECT_EQ(p.length, refs[i].sectors * 512);
        EXPECT_EQ(p.mbrType, std::stoul(refs[i].type, nullptr, 16));
    }
}

TEST(PartitionTablePublicImages, WindowsMbrWithNestedExtendedChainMatchesMmls) {
    std::string data = testutil::SharedTestData();
    QUARLIX_REQUIRE(!data.empty(), "shared test data not present");
    const std::string archive = data + "/dfirntfs-mbr-win-512.raw.tgz";
    std::vector<Reference> refs = MmlsReference(archive + ".mmls.txt");
    ASSERT_EQ(refs.size(), 7u) << "unexpected mmls listing";

    testutil::TempDir dir;
    MustRun("tar xf " + Quote(archive) + " -C " + Quote(dir.path().string()));
    ReadResult r = ReadTable(dir.file("mbr-win-512.raw"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.table.warnings.empty()) << Warnings(r.table);
    ExpectMatchesMmls(r.table, refs);
}

TEST(PartitionTablePublicImages, SingleNtfsPartitionMatchesMmlsAndHoldsTheVolume) {
    std::string data = testutil::SharedTestData();
    QUARLIX_REQUIRE(!data.empty(), "shared test data not present");
    const std::string image = data + "/dfirntfs-ntfs_index.raw";
    std::vector<Reference> refs = MmlsReference(image + ".mmls.txt");
    ASSERT_EQ(refs.size(), 1u);

    ReadResult r = ReadTable(image);
    ASSERT_TRUE(r.ok) << r.error;
    ExpectMatchesMmls(r.table, refs);
    ASSERT_EQ(r.table.partitions.size(), 1u);
    EXPECT_EQ(r.table.partitions[0].offset, 65536u);

    // The partition's first sector is the NTFS boot sector.
    CDeviceStream volume;
    ASSERT_TRUE(volume.Open(image, r.table.partitions[0].offset, r.table.partitions[0].length));
    char oem[8] = {};
    ASSERT_EQ(volume.ReadAt(3, oem, 8), 8);
    EXPECT_EQ(std::string(oem, 8), "NTFS    ");
}

// --- Sources that are not partitioned disks ---

TEST(PartitionTableNoTable, VolumeImagesHaveNoTable) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mkntfs"), "mkfs.fat and mkntfs are needed");
    testutil::TempDir dir;
    const std::vector<std::pair<std::string, std::string>> volumes = {  // file, command
        {"fat12.img", "mkfs.fat -F 12 -C %s 1440"},
        {"fat16.img", "mkfs.fat -F 16 -C %s 16384"},
        {"fat32.img", "mkfs.fat -F 32 -C %s 40000"},
        {"ntfs.img", "truncate -s 8M %s && mkntfs -F -Q %s"},
    };

    for (const auto& [file, command] : volumes) {
        SCOPED_TRACE(file);
        std::string path = dir.file(file);
        std::string cmd = command;
        for (size_t at; (at = cmd.find("%s")) != std::string::npos;) cmd.replace(at, 2, Quote(path));
        MustRun(cmd);
        std::vector<uint8_t> sector0(512);
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(sector0.data()), 512);
        ASSERT_EQ(sector0[510], 0x55);  // the reason this case matters
        ASSERT_EQ(sector0[511], 0xAA);

        ReadResult r = ReadTable(path);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.table.scheme, "");
        EXPECT_TRUE(r.table.partitions.empty());
    }
}

TEST(PartitionTableNoTable, FatBootSectorWithPlausibleEntriesIsStillAVolume) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat"), "mkfs.fat not installed");
    testutil::TempDir dir;
    std::string path = dir.file("fat16.img");
    MustRun("mkfs.fat -F 16 -C " + Quote(path) + " 16384");
    // Boot code bytes where MBR entries would be, shaped like one valid
    // entry: only the boot sector's own marks tell it apart.
    std::vector<uint8_t> entries(64, 0);
    entries[0] = 0x80;
    entries[4] = 0x06;
    entries[8] = 0x01;
    entries[12] = 0x00;
    entries[13] = 0x10;
    testutil::PatchFile(path, 446, entries);
    ReadResult r = ReadTable(path);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.table.scheme, "");
    EXPECT_TRUE(r.table.partitions.empty());

    // Without the FAT type string and jump it is an MBR after all.
    testutil::PatchFile(path, 0, {0x33, 0xC0, 0x8E});
    testutil::PatchFile(path, 54, {'X', 'X', 'X', 'X', 'X'});
    r = ReadTable(path);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.table.scheme, "MBR");
    ASSERT_EQ(r.table.partitions.size(), 1u);
    EXPECT_EQ(r.table.partitions[0].offset, 512u);
    EXPECT_EQ(r.table.partitions[0].length, 4096u * 512);
}

TEST(PartitionTableNoTable, ShortFileAndUnreadableSource) {
    testutil::TempDir dir;
    std::string tiny = dir.file("tiny.img");
    std::vector<uint8_t> bytes(300, 0);
    testutil::WriteFileBytes(tiny, bytes);
    ReadResult r = ReadTable(tiny);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.table.scheme, "");

    // Only regular files and block devices open: a folder is refused, and a
    // FIFO at once (it would otherwise wait for a writer).
    CDeviceStream folder;
    EXPECT_FALSE(folder.Open(dir.path().string()));
    EXPECT_EQ(errno, EISDIR);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CDeviceStream pipe;
    EXPECT_FALSE(pipe.Open(fifo));
    EXPECT_EQ(errno, ESPIPE);
}

}  // namespace
