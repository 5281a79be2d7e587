// `quarlix info` and `quarlix drives` end to end: real FAT images made by
// mkfs.fat, real partition tables made by sfdisk, Sleuth Kit's fsstat as the
// independent reader, and hostile boot sectors and tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <set>
#include <map>

#include <unistd.h>

#include "cli/CliTestSupport.h"
#include "common/TestUtil.h"
#include "platform/CaseFold.h"

using testutil::Quote;
using testutil::Run;
using testutil::TempDir;

namespace {

using clitest::Quarlix;

// Runs quarlix with --json: one JSON object per stdout line (warnings too); stderr apart.
struct JsonRun {
    int exitCode = -1;
    std::vector<nlohmann::json> lines;
    std::string err;
};

JsonRun RunJson(const std::string& args, const TempDir& dir) {
    const auto r = clitest::RunQuarlix("--json " + args, dir);
    return {r.exitCode, clitest::JsonLines(r.out, true), r.err};
}

// fsstat's view of a FAT volume.
struct FsstatFat {
    uint64_t sectorSize = 0, clusterSize = 0, fat0First = 0, fat0Last = 0, clusterAreaFirst = 0, lastCluster = 0;
    std::string type;
};

FsstatFat ReadFsstat(const std::string& args) {
    std::string out = testutil::MustRun("fsstat " + args);
    FsstatFat f;
    std::smatch m;
    auto find = [&](const char* re) {
        std::regex r(re);
        return std::regex_search(out, m, r);
    };
    if (find(R"(File System Type: (FAT\d\d))")) f.type = m[1];
    if (find(R"(Sector Size: (\d+))")) f.sectorSize = std::stoull(m[1]);
    if (find(R"(Cluster Size: (\d+))")) f.clusterSize = std::stoull(m[1]);
    if (find(R"(\* FAT 0: (\d+) - (\d+))")) {
        f.fat0First = std::stoull(m[1]);
        f.fat0Last = std::stoull(m[2]);
    }
    if (find(R"(\*\* Cluster Area: (\d+) - (\d+))")) f.clusterAreaFirst = std::stoull(m[1]);
    if (find(R"(Total Cluster Range: 2 - (\d+))")) f.lastCluster = std::stoull(m[1]);
    return f;
}

struct FatCase {
    const char* name;
    const char* mkfsArgs;
    uint32_t kib;
};

class FatInfoTest : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatInfoTest, AgreesWithFsstat) {
    TempDir dir;
    std::string img = dir.file("v.img");
    testutil::MustRun(std::string("mkfs.fat -C ") + GetParam().mkfsArgs + " -n QTEST " + Quote(img) + " " +
                      std::to_string(GetParam().kib) + " >/dev/null");
    auto r = RunJson("info " + Quote(img), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 1u);
    const auto& j = r.lines[0];
    FsstatFat f = ReadFsstat(Quote(img));
    EXPECT_EQ(j["filesystem"], f.type);
    EXPECT_EQ(j["sector_size"].get<uint64_t>(), f.sectorSize);
    EXPECT_EQ(j["cluster_size"].get<uint64_t>(), f.clusterSize);
    EXPECT_EQ(j["sectors_per_fat"].get<uint64_t>(), f.fat0Last - f.fat0First + 1);
    EXPECT_EQ(j["reserved_sectors"].get<uint64_t>(), f.fat0First);
    EXPECT_EQ(j["data_start_sector"].get<uint64_t>(), f.clusterAreaFirst);
    EXPECT_EQ(j["cluster_count"].get<uint64_t>() + 1, f.lastCluster);
    EXPECT_EQ(j["label"], "QTEST");
    // With the boot sector's label blank ("NO NAME"), the root folder's label
    // entry (mlabel writes both) is the label, as Windows shows it.
    testutil::MustRun("MTOOLS_SKIP_CHECK=1 mlabel -i " + Quote(img) + " ::ROOTLBL && printf 'NO NAME    ' | dd of=" +
                      Quote(img) + " bs=1 seek=" + (f.type == "FAT32" ? "71" : "43") + " conv=notrunc status=none");
    auto relabelled = RunJson("info " + Quote(img), dir);
    ASSERT_EQ(relabelled.lines.size(), 1u) << relabelled.err;
    EXPECT_EQ(relabelled.lines[0]["label"], "ROOTLBL");
    EXPECT_EQ(j["partition"], nullptr);
    EXPECT_EQ(j["fat_copies"], 2);
    // A fresh volume: every cluster is free except the FAT32 root folder's.
    uint64_t expectedFree = j["cluster_count"].get<uint64_t>() - (f.type == "FAT32" ? 1 : 0);
    EXPECT_EQ(j["free_clusters"].get<uint64_t>(), expectedFree);
}

INSTANTIATE_TEST_SUITE_P(Widths, FatInfoTest,
                         ::testing::Values(FatCase {"fat12", "-F 12", 1440}, FatCase {"fat16", "-F 16 -s 4", 16384},
                                           FatCase {"fat32", "-F 32 -s 1", 40000},
                                           FatCase {"fat32_4k", "-F 32 -S 4096 -s 1", 300000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A whole-disk image with two FAT partitions, partitioned by sfdisk.
std::string MakeDisk(const TempDir& dir, const std::string& label) {
    std::string img = dir.file("disk-" + label + ".img");
    testutil::MustRun("truncate -s 128M " + Quote(img));
    testutil::MustRun("printf 'label: " + label + "\\nstart=2048, size=81920, type=" +
                      (label == "gpt" ? std::string("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") : std::string("c")) +
                      "\\nstart=86016, size=81920, type=" +
                      (label == "gpt" ? std::string("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") : std::string("e")) +
                      "\\n' | sfdisk -q " + Quote(img));
    std::string p1 = dir.file("p1.img"), p2 = dir.file("p2.img");
    testutil::MustRun("mkfs.fat -C -F 32 -s 1 -n PARTONE " + Quote(p1) + " 40960 >/dev/null");
    testutil::MustRun("mkfs.fat -C -F 16 -s 2 -n PARTTWO " + Quote(p2) + " 40960 >/dev/null");
    testutil::MustRun("dd if=" + Quote(p1) + " of=" + Quote(img) + " bs=512 seek=2048 conv=notrunc status=none");
    testutil::MustRun("dd if=" + Quote(p2) + " of=" + Quote(img) + " bs=512 seek=86016 conv=notrunc status=none");
    return img;
}

class DiskInfoTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DiskInfoTest, ShowsBothVolumesOrTheOneChosen) {
    TempDir dir;
    std::string img = MakeDisk(dir, GetParam());

    // Each volume as fsstat sees it at its partition's offset.
    auto expectVolume = [&](const nlohmann::json& v, int n) {
        SCOPED_TRACE("partition " + std::to_string(n));
        EXPECT_EQ(v["kind"], "volume");
        EXPECT_EQ(v["partition"], n);
        EXPECT_EQ(v["offset"], (n == 1 ? 2048u : 86016u) * 512);
        EXPECT_EQ(v["filesystem"], n == 1 ? "FAT32" : "FAT16");
        EXPECT_EQ(v["label"], n == 1 ? "PARTONE" : "PARTTWO");
        FsstatFat f = ReadFsstat("-o " + std::string(n == 1 ? "2048 " : "86016 ") + Quote(img));
        EXPECT_EQ(v["data_start_sector"].get<uint64_t>(), f.clusterAreaFirst);
        EXPECT_EQ(v["cluster_size"].get<uint64_t>(), f.clusterSize);
    };
    auto expectTable = [&](const JsonRun& r) {
        EXPECT_EQ(r.lines[0]["kind"], "partition");
        EXPECT_EQ(r.lines[0]["partition"], 1);
        EXPECT_EQ(r.lines[0]["offset"], 2048u * 512);
        EXPECT_EQ(r.lines[0]["length"], 81920u * 512);
        EXPECT_EQ(r.lines[1]["kind"], "partition");
        EXPECT_EQ(r.lines[1]["partition"], 2);
        EXPECT_EQ(r.lines[1]["offset"], 86016u * 512);
    };

    // Without --partition: the table, then both volumes in partition order.
    auto r = RunJson("info " + Quote(img), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 4u);
    expectTable(r);
    expectVolume(r.lines[2], 1);
    expectVolume(r.lines[3], 2);
    const auto text = testutil::Run("bash -c " + Quote(Quarlix() + " info " + Quote(img) + " 2>/dev/null"));
    EXPECT_EQ(text.exitCode, 0);
    const size_t one = text.out.find("Label: PARTONE"), two = text.out.find("Label: PARTTWO");
    EXPECT_TRUE(one != std::string::npos && two != std::string::npos && one < two) << text.out;

    // --partition N: the table, then that volume alone.
    for (int n : {1, 2}) {
        r = RunJson("info --partition " + std::to_string(n) + " " + Quote(img), dir);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(r.lines.size(), 3u);
        expectTable(r);
        expectVolume(r.lines[2], n);
    }
    r = RunJson("info --partition 7 " + Quote(img), dir);
    EXPECT_EQ(r.exitCode, 2);
}

INSTANTIATE_TEST_SUITE_P(Tables, DiskInfoTest, ::testing::Values("dos", "gpt"));

TEST(DiskInfo, TheOnlyFatPartitionIsTakenWithoutAsking) {
    TempDir dir;
    std::string img = dir.file("one.img");
    testutil::MustRun("truncate -s 32M " + Quote(img));
    testutil::MustRun("printf 'label: dos\\nstart=2048, size=30000, type=83\\nstart=34816, size=20480, type=6\\n' | sfdisk -q " +
                      Quote(img));
    std::string p = dir.file("p.img");
    testutil::MustRun("mkfs.fat -C -F 16 -n ONLYFAT " + Quote(p) + " 10240 >/dev/null");
    testutil::MustRun("dd if=" + Quote(p) + " of=" + Quote(img) + " bs=512 seek=34816 conv=notrunc status=none");
    auto r = RunJson("info " + Quote(img), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lines.back()["partition"], 2);
    EXPECT_EQ(r.lines.back()["label"], "ONLYFAT");
}

// Hostile and unusable sources: one clear line on stderr, exit 3, no crash.
class HostileSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        img = dir.file("v.img");
        testutil::MustRun("mkfs.fat -C -F 16 -s 2 " + Quote(img) + " 16384 >/dev/null");
    }
    void ExpectRefused(const std::string& fragment) {
        auto r = RunJson("info " + Quote(img), dir);
        EXPECT_EQ(r.exitCode, 3) << r.err;
        EXPECT_TRUE(r.lines.empty());
        EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    TempDir dir;
    std::string img;
};

TEST_F(HostileSourceTest, BootSectorFieldsOutOfRange) {
    const auto all = testutil::ReadFileBytes(img);
    const std::vector<uint8_t> boot(all.begin(), all.begin() + 512);
    const struct {
        uint64_t offset;
        std::vector<uint8_t> bytes;
        const char* said;
    } cases[] = {
        {11, {0, 0}, "bytes per sector is 0"},     {11, {0xE8, 0x03}, "bytes per sector is 1000"},
        {13, {0}, "sectors per cluster is 0"},     {13, {3}, "sectors per cluster is 3"},
        {16, {0}, "number of FATs is 0"},          {22, {0, 0}, "FAT size is 0"},
    };
    for (const auto& c : cases) {
        testutil::PatchFile(img, 0, boot);
        testutil::PatchFile(img, c.offset, c.bytes);
        ExpectRefused(c.said);
    }
    testutil::PatchFile(img, 0, boot);
    std::filesystem::resize_file(img, 4096);
    ExpectRefused("truncated");
}

TEST_F(HostileSourceTest, TruncatedDataAreaStillOpensWithAWarning) {
    std::filesystem::resize_file(img, 4u << 20);
    auto r = RunJson("info " + Quote(img), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The volume's record carries the warning, and a warning record says it too.
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0]["kind"], "warning");
    EXPECT_NE(r.lines[1]["warning"].get<std::string>().find("truncated"), std::string::npos);
}

// A sample image cut short: the volume says it is longer than the source.
// Clusters past the end cannot be read, so the data status counts them as
// unavailable, recovery reports the items that need them as not ok, the scan
// walks only the clusters that exist, and each command warns once.
struct ShortCase {
    const char* name;
    const char* sample;
    uint64_t cutAt;            // bytes kept
    uint64_t clustersOnSource;  // clusters that lie whole in them
    const char* cutItem;       // a deleted file whose data lies past the cut
};

void PrintTo(const ShortCase& c, std::ostream* os) { *os << c.name; }

class ShortSourceTest : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortSourceTest, CountsTheMissingClustersAndWarnsOnce) {
    const ShortCase& c = GetParam();
    TempDir dir;
    const std::string img = dir.file("cut.img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + c.sample) + " > " + Quote(img));
    auto full = RunJson("--no-cache info " + Quote(img), dir);
    ASSERT_EQ(full.exitCode, 0) << full.err;
    EXPECT_EQ(full.err, "") << "a whole source is not short";
    std::filesystem::resize_file(img, c.cutAt);

    auto warnings = [](const std::string& err) {
        size_t n = 0;
        for (size_t at = err.find("quarlix: warning: the source is shorter than its volume says");
             at != std::string::npos; at = err.find("quarlix: warning:", at + 1))
            ++n;
        return n;
    };
    for (const char* command : {"info", "index", "list --recursive", "scan"}) {
        auto r = RunJson(std::string("--no-cache ") + command + " " + Quote(img), dir);
        EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
        EXPECT_EQ(warnings(r.err), 1u) << command << ": " << r.err;
        for (const auto& j : r.lines) {
            if (j.value("path", "") == c.cutItem) {
                EXPECT_EQ(j["overwritten"].get<int>(), 100) << "its clusters are past the end of the source";
            }
            if (j.contains("summary")) {
                EXPECT_LE(j["summary"]["scanned"].get<uint64_t>(), c.clustersOnSource) << r.lines.back().dump();
                EXPECT_LE(j["summary"]["candidates"].get<uint64_t>(), c.clustersOnSource);
            }
        }
        if (std::string(command) == "list --recursive") {
            EXPECT_TRUE(std::any_of(r.lines.begin(), r.lines.end(),
                                    [&](const auto& j) { return j.value("path", "") == c.cutItem; }));
        }
    }
    auto r = RunJson("--no-cache recover " + Quote(img) + " --all --to " + Quote(dir.file("out")), dir);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    int seen = 0;
    for (const auto& j : r.lines)
        if (j.value("path", "") == c.cutItem) {
            ++seen;
            EXPECT_NE(j["status"], "ok") << j.dump();
        }
    EXPECT_EQ(seen, 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ShortSourceTest,
    // FAT16, 512-byte clusters from sector 97: 31 clusters in 64 KiB.
    // NTFS, 1 KiB clusters: the metafiles stay, budget.xls (from cluster 1437) is cut.
    ::testing::Values(ShortCase {"Fat", "fat-sample.img.gz", 64 << 10, 31, "/?eadme.txt"},
                      ShortCase {"Ntfs", "ntfs-sample.img.gz", 1437 << 10, 1437, "/Docs/budget.xls"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileSourceTest, NotAFileSystemAndMissingFiles) {
    testutil::WriteFileBytes(img, testutil::PatternBytes(1 << 20, 3));
    ExpectRefused("no NTFS, FAT or exFAT file system found on");
    auto r = RunJson("info " + Quote(dir.file("absent.img")), dir);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("cannot open " + dir.file("absent.img") + ": No such file or directory"), std::string::npos)
        << r.err;
}

// An NTFS boot sector that also carries a FAT32 one (reserved sectors, one
// FAT of one sector, the root at cluster 2, the type text): both readers
// accept it, so no volume is made and every command says why.
TEST_F(HostileSourceTest, BootSectorOfBothKinds) {
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/ntfs-sample.img.gz") + " > " + Quote(img));
    testutil::PatchFile(img, 14, {1, 0});
    testutil::PatchFile(img, 16, {1});
    testutil::PatchFile(img, 36, {1, 0, 0, 0});
    testutil::PatchFile(img, 40, {0});
    testutil::PatchFile(img, 44, {2, 0, 0, 0});
    testutil::PatchFile(img, 82, {'F', 'A', 'T', '3', '2'});
    const std::string why = "the boot sector looks like both NTFS and FAT; not guessing which";
    ExpectRefused("quarlix: no usable NTFS, FAT or exFAT file system on " + img + ": " + why + "\n");
    struct Case {
        std::string command;
        int exitCode;
        std::string err;
    };
    for (const Case& c : {Case {"list", 3, "no usable NTFS, FAT or exFAT file system on " + img + ": " + why + "\n"},
                          Case {"scan", 0, "no usable NTFS, FAT or exFAT file system on " + img + " (" + why +
                                               "); scanning it as raw units of 4096 bytes\n"}}) {
        auto r = RunJson("--no-cache " + c.command + " " + Quote(img), dir);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.command << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.command << ": " << r.err;
    }
}

TEST_F(HostileSourceTest, PartitionEntriesPastTheEnd) {
    std::string disk = dir.file("bad-table.img");
    testutil::MustRun("truncate -s 8M " + Quote(disk));
    // One FAT16 partition inside the disk and one that points far past its end.
    std::vector<uint8_t> mbr(512, 0);
    auto entry = [&](int slot, uint8_t type, uint32_t lba, uint32_t count) {
        size_t e = 446 + 16 * slot;
        mbr[e + 4] = type;
        for (int i = 0; i < 4; ++i) {
            mbr[e + 8 + i] = static_cast<uint8_t>(lba >> (8 * i));
            mbr[e + 12 + i] = static_cast<uint8_t>(count >> (8 * i));
        }
    };
    entry(0, 0x06, 2048, 8192);
    entry(1, 0x0C, 0x7FFFFFF0, 0x7FFFFFF0);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    testutil::PatchFile(disk, 0, mbr);
    std::string p = dir.file("p.img");
    testutil::MustRun("mkfs.fat -C -F 12 " + Quote(p) + " 4096 >/dev/null");
    testutil::MustRun("dd if=" + Quote(p) + " of=" + Quote(disk) + " bs=512 seek=2048 conv=notrunc status=none");
    auto r = RunJson("info " + Quote(disk), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lines.back()["filesystem"], "FAT12");
    EXPECT_EQ(r.lines.back()["partition"], 1);
    // The table's warning is a record of its own in JSON, as it is a line in text.
    int warnings = 0;
    for (const auto& j : r.lines) warnings += j["kind"] == "warning";
    EXPECT_EQ(warnings, 1);
}

// A refused open says what helps: as another user than root, an image file
// without read permission points at its permissions and a device at sudo
// or the group 'disk'; root reads both (its reads pass the mode bits).
TEST(CliAccess, RefusalAdviceFitsTheSourceAndTheUser) {
    QUARLIX_REQUIRE(::geteuid() == 0 && testutil::HaveTool("setpriv"), "needs root and setpriv to run as another user");
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    const std::string home = dir.file("home"), img = dir.file("locked.img");
    std::filesystem::create_directory(home);
    std::filesystem::permissions(home, std::filesystem::perms(0777));
    testutil::MustRun("mkfs.fat -C -F 16 -s 1 -n LOCKED " + Quote(img) + " 8192 >/dev/null");
    ASSERT_FALSE(HasFailure());
    std::filesystem::permissions(img, std::filesystem::perms::none);
    auto info = [&](const std::string& source, bool asNobody) {
        const std::string env = "XDG_CONFIG_HOME=" + Quote(home) + " XDG_CACHE_HOME=" + Quote(home) +
                                " XDG_STATE_HOME=" + Quote(home) + " ";
        const std::string user = asNobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        return testutil::Run("bash -c " + Quote(env + user + Quarlix() + " --no-cache info " + Quote(source) + " 2>&1"));
    };
    std::vector<std::pair<std::string, std::string>> sources = {
        {img, " (check the permissions of the image file and of its folders, or run as its owner)"}};
    clitest::MountGuard loop;  // a read-only loop device over the image (when the system has them)
    const auto attached = testutil::Run("losetup -f -r --show " + Quote(img) + " 2>/dev/null");
    if (attached.exitCode == 0) {
        loop.dev = attached.out.substr(0, attached.out.find('\n'));
        sources.push_back({loop.dev, " (run with sudo or join the group 'disk')"});
    }
    for (const auto& [source, advice] : sources) {
        SCOPED_TRACE(source);
        const auto refused = info(source, true);
        EXPECT_EQ(refused.exitCode, 3) << refused.out;
        EXPECT_NE(refused.out.find("cannot open " + source + ": Permission denied" + advice), std::string::npos)
            << refused.out;
        const auto root = info(source, false);
        EXPECT_EQ(root.exitCode, 0) << root.out;
        EXPECT_NE(root.out.find("LOCKED"), std::string::npos) << root.out;
    }
}

// An NTFS image cut before its $UpCase data (its MFT whole): it opens with the
// table NTFS format writes, which is mkntfs's to the character, says so, and
// lists the deleted items the whole image lists.
TEST(NtfsUpCase, ACutImageComparesNamesByTheStandardTable) {
    TempDir dir;
    const std::string whole = dir.file("whole.img"), cut = dir.file("cut.img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/ntfs-sample.img.gz") + " > " + Quote(whole));
    const std::string table = testutil::MustRun("icat " + Quote(whole) + " 10 | od -An -v -tu2 -w2");
    std::istringstream values(table);
    unsigned entry = 0, differ = 0;
    for (unsigned c = 0; values >> entry; ++c) differ += NtfsStandardUpperCase(static_cast<char16_t>(c)) != entry;
    EXPECT_EQ(differ, 0u) << "the standard table is mkntfs's";
    std::smatch m;
    const std::string istat = testutil::MustRun("istat " + Quote(whole) + " 10");
    const std::string fsstat = testutil::MustRun("fsstat " + Quote(whole));
    ASSERT_TRUE(std::regex_search(istat, m, std::regex("\\$DATA \\(128-1\\)[^\\n]*\\n(\\d+)")));
    const uint64_t upCaseCluster = std::stoull(m[1]);
    ASSERT_TRUE(std::regex_search(fsstat, m, std::regex("Cluster Size: (\\d+)")));
    testutil::MustRun("head -c " + std::to_string(upCaseCluster * std::stoull(m[1])) + " " + Quote(whole) + " > " + Quote(cut));
    std::map<std::string, std::set<std::string>> listed;
    for (const std::string& image : {whole, cut}) {
        const JsonRun info = RunJson("info " + Quote(image), dir);
        ASSERT_EQ(info.exitCode, 0) << info.err;
        EXPECT_EQ(info.lines.back().contains("upcase"), image == cut) << info.lines.back();
        const JsonRun list = RunJson("list " + Quote(image) + " --recursive --deleted-only", dir);
        ASSERT_EQ(list.exitCode, 0) << list.err;
        for (const auto& j : list.lines)
            if (j["kind"] == "item") listed[image].insert(j["path"].get<std::string>());
    }
    EXPECT_FALSE(listed[whole].empty());
    EXPECT_EQ(listed[cut], listed[whole]);
}

// A partition formatted again with ext2/3/4 (or UFS) whose old NTFS or FAT
// boot sector is still in sector 0 reads as the old file system: `info`
// opens it and says the other superblock is there. mke2fs zeroes sector 0,
// so the cases write the old boot sector back (a format that spares it, or
// a restored one, leaves the same state). No UFS maker is installed: its
// superblock is written byte by byte. A magic alone is no superblock.
TEST(InfoOtherFileSystem, ASecondSuperblockIsNamed) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkntfs") && testutil::HaveTool("mke2fs") && testutil::HaveTool("mkfs.fat"),
                    "mkntfs, mke2fs or mkfs.fat missing");
    TempDir dir;
    // mkntfs puts $MFT at cluster 2 (128 KiB with 64 KiB clusters); an ext4
    // without a journal, few inodes and no flex_bg writes nothing there.
    const std::string again = "mke2fs -q -F -t ext4 -b 4096 -N 16 -O ^resize_inode,^flex_bg,^has_journal -E nodiscard";
    struct Case {
        const char* name;
        const char* format;  // the first format; then `then` runs, then sector 0 is put back
        std::string then;
        const char* filesystem;
        const char* other;  // "" for none
        uint64_t offset;
    } const cases[] = {
        {"ntfs-ext4", "truncate -s 64M IMG && mkntfs -F -f -q -c 65536 IMG", again + " IMG", "NTFS", "ext4", 1024},
        {"fat32-ext2", "mkfs.fat -C -F 32 IMG 65536", "mke2fs -q -F -t ext2 IMG", "FAT32", "ext2", 1024},
        {"fat16-ext3", "mkfs.fat -C -F 16 IMG 32768", "mke2fs -q -F -t ext3 IMG", "FAT16", "ext3", 1024},
        {"fat32-ufs1", "mkfs.fat -C -F 32 IMG 65536", "", "FAT32", "UFS1", 8192},
        {"fat32-ufs2", "mkfs.fat -C -F 32 IMG 65536", "", "FAT32", "UFS2", 65536},
        {"fat32-alone", "mkfs.fat -C -F 32 IMG 65536", "", "FAT32", "", 0},
        {"fat32-ext-magic-alone", "mkfs.fat -C -F 32 IMG 65536", "", "FAT32", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string img = dir.file(std::string(c.name) + ".img"), boot = img + ".boot";
        auto withImg = [&](std::string cmd) {
            for (size_t at; (at = cmd.find("IMG")) != std::string::npos;) cmd.replace(at, 3, Quote(img));
            return cmd;
        };
        testutil::MustRun(withImg(std::string(c.format) + " >/dev/null 2>&1"));
        testutil::MustRun("head -c 512 " + Quote(img) + " > " + Quote(boot));
        if (!c.then.empty()) testutil::MustRun(withImg(c.then));
        testutil::MustRun("dd if=" + Quote(boot) + " of=" + Quote(img) + " conv=notrunc status=none");
        const std::string name = c.name;
        if (name.find("ufs") != std::string::npos) {
            // fs_bsize 16384 and fs_fsize 2048 at 48 and 52, fs_magic at 1372.
            const bool ufs2 = name == "fat32-ufs2";
            const uint32_t magic = ufs2 ? 0x19540119 : 0x011954;
            testutil::PatchFile(img, c.offset + 48, {0x00, 0x40, 0, 0, 0x00, 0x08, 0, 0});
            testutil::PatchFile(img, c.offset + 1372,
                                {uint8_t(magic), uint8_t(magic >> 8), uint8_t(magic >> 16), uint8_t(magic >> 24)});
        }
        if (name == "fat32-ext-magic-alone") testutil::PatchFile(img, 1024 + 56, {0x53, 0xEF});

        const JsonRun info = RunJson("--no-cache info " + Quote(img), dir);
        ASSERT_EQ(info.exitCode, 0) << info.err;
        const nlohmann::json& j = info.lines.back();
        EXPECT_EQ(j["filesystem"], c.filesystem);
        ASSERT_EQ(j.contains("other_filesystem"), *c.other != 0) << j;
        if (*c.other == 0) continue;
        EXPECT_EQ(j["other_filesystem"]["type"], c.other);
        EXPECT_EQ(j["other_filesystem"]["superblock_offset"], c.offset);
        const std::string text = testutil::Run(Quarlix() + " --no-cache info " + Quote(img)).out;
        EXPECT_NE(text.find(std::string("Other file system: This partition also holds ") +
                            (c.other[0] == 'e' ? "an " : "a ") + c.other + " file system (superblock at byte " +
                            std::to_string(c.offset) + "); the " + c.filesystem + " boot sector may be left over"),
                  std::string::npos)
            << text;
    }
}

}  // namespace
