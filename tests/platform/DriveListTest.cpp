// The drive listing over a fake /sys/class/block whose devices are image
// files made by mkfs.fat and mkntfs, and the open-error message.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/TestUtil.h"
#include "platform/DriveList.h"

using testutil::MustRun;
using testutil::Quote;

namespace {

TEST(OpenErrorMessage, PermissionErrorsGiveAdviceThatFitsTheError) {
    // An image file: its permissions; a device refused to a user: sudo or the
    // disk group; refused by the system (EPERM, or to root): more rights do not help.
    const std::string image = " (check the permissions of the image file and of its folders, or run as its owner)";
    const std::string group = " (run with sudo or join the group 'disk')";
    const std::string refused =
        " (the system refused access, which more rights do not change: the device may be locked or protected)";
    const struct {
        const char* path;
        int err;
        bool root;
        std::string expected;
    } cases[] = {
        {"/x/y.img", EACCES, false, "cannot open /x/y.img: Permission denied" + image},
        {"/x/y.img", EACCES, true, "cannot open /x/y.img: Permission denied" + image},
        {"/dev/sdb1", EACCES, false, "cannot open /dev/sdb1: Permission denied" + group},
        {"/dev/sdb1", EACCES, true, "cannot open /dev/sdb1: Permission denied" + refused},
        {"/dev/sdb1", EPERM, false, "cannot open /dev/sdb1: Operation not permitted" + refused},
        {"/dev/sdb1", EPERM, true, "cannot open /dev/sdb1: Operation not permitted" + refused},
        {"/x/y", ENOENT, false, "cannot open /x/y: No such file or directory"},
    };
    for (const auto& c : cases) EXPECT_EQ(OpenErrorMessage(c.path, c.err, c.root), c.expected) << c.path << " " << c.err;
    EXPECT_NE(OpenErrorMessage("/tmp/fifo", ESPIPE).find("a pipe or FIFO cannot be read as a volume"),
              std::string::npos);
}

// A block device entry of the fake sysfs tree.
void SysfsEntry(const std::filesystem::path& root, const std::string& name,
                const std::map<std::string, std::string>& attributes) {
    std::filesystem::create_directories(root / name);
    for (const auto& [file, value] : attributes) std::ofstream(root / name / file) << value << "\n";
}

TEST(ListDrives, FakeSysfsWithImageFiles) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mkntfs"), "mkfs.fat and mkntfs are needed");
    testutil::TempDir sys, dev;
    const auto& s = sys.path();

    // sda: a disk whose device node is missing (unreadable).
    SysfsEntry(s, "sda", {{"size", "1000000"}, {"removable", "0"}});
    // sda1, sda2, sda10: partitions; the numbers check the order.
    SysfsEntry(s, "sda1", {{"size", "32768"}, {"partition", "1"}});
    MustRun("mkfs.fat -F 16 -n QFAT16 -C " + Quote(dev.file("sda1")) + " 16384");
    SysfsEntry(s, "sda10", {{"size", "2880"}, {"partition", "10"}});
    MustRun("mkfs.fat -F 12 -n QFAT12 -C " + Quote(dev.file("sda10")) + " 1440");
    SysfsEntry(s, "sda2", {{"size", "16384"}, {"partition", "2"}});
    MustRun("truncate -s 8M " + Quote(dev.file("sda2")) + " && mkntfs -F -Q -L QNTFS " + Quote(dev.file("sda2")));
    // sdb: a removable disk without a size attribute, formatted FAT32 whole.
    SysfsEntry(s, "sdb", {{"removable", "1"}});
    MustRun("mkfs.fat -F 32 -n QFAT32 -C " + Quote(dev.file("sdb")) + " 40000");
    // A CD drive, a loop device with random content, and entries to skip.
    SysfsEntry(s, "sr0", {{"size", "0"}, {"removable", "1"}});
    SysfsEntry(s, "loop1", {{"size", "2048"}});
    testutil::WriteFileBytes(dev.file("loop1"), testutil::PatternBytes(2048 * 512, 7));
    SysfsEntry(s, "loop0", {{"size", "0"}});
    SysfsEntry(s, "ram0", {{"size", "8192"}});
    SysfsEntry(s, "zram0", {{"size", "8192"}});
    for (const char* skipped : {"loop0", "ram0", "zram0"})
        testutil::WriteFileBytes(dev.file(skipped), std::vector<uint8_t>(4096, 0));

    std::vector<DriveListEntry> drives = ListDrives(s.string(), dev.path().string());
    std::vector<std::string> names;
    for (const auto& d : drives) names.push_back(d.device.substr(dev.path().string().size() + 1));
    ASSERT_EQ(names, (std::vector<std::string>{"loop1", "sda", "sda1", "sda2", "sda10", "sdb", "sr0"}));
    std::map<std::string, DriveListEntry> by;
    for (size_t i = 0; i < names.size(); ++i) by[names[i]] = drives[i];

    const DriveListEntry& sda = by["sda"];
    EXPECT_EQ(sda.kind, "disk");
    EXPECT_EQ(sda.size, 1000000ull * 512);
    EXPECT_FALSE(sda.readable);
    EXPECT_EQ(sda.error, "cannot open " + dev.file("sda") + ": No such file or directory");
    EXPECT_FALSE(sda.supported);

    const DriveListEntry& sda1 = by["sda1"];
    EXPECT_EQ(sda1.kind, "partition");
    EXPECT_EQ(sda1.size, 32768u * 512);
    EXPECT_TRUE(sda1.readable) << sda1.error;
    EXPECT_EQ(sda1.filesystem, "vfat");
    EXPECT_EQ(sda1.fsDisplay, "FAT16");
    EXPECT_EQ(sda1.label, "QFAT16");
    EXPECT_TRUE(sda1.supported);

    const DriveListEntry& sda10 = by["sda10"];
    EXPECT_EQ(sda10.kind, "partition");
    EXPECT_EQ(sda10.fsDisplay, "FAT12");
    EXPECT_EQ(sda10.label, "QFAT12");
    EXPECT_TRUE(sda10.supported);

    const DriveListEntry& sda2 = by["sda2"];
    EXPECT_EQ(sda2.filesystem, "ntfs");
    EXPECT_EQ(sda2.fsDisplay, "NTFS");
    EXPECT_EQ(sda2.label, "QNTFS");
    EXPECT_TRUE(sda2.supported);

    const DriveListEntry& sdb = by["sdb"];
    EXPECT_EQ(sdb.kind, "removable");
    EXPECT_EQ(sdb.fsDisplay, "FAT32");
    EXPECT_EQ(sdb.label, "QFAT32");
    EXPECT_EQ(sdb.size, 40000u * 1024);  // no sysfs size: the device's own
    EXPECT_TRUE(sdb.supported);

    const DriveListEntry& loop1 = by["loop1"];
    EXPECT_EQ(loop1.kind, "loop");
    EXPECT_TRUE(loop1.readable);
    EXPECT_EQ(loop1.filesystem, "");
    EXPECT_EQ(loop1.fsDisplay, "");
    EXPECT_FALSE(loop1.supported);

    const DriveListEntry& sr0 = by["sr0"];
    EXPECT_EQ(sr0.kind, "cdrom");
    EXPECT_FALSE(sr0.readable);
    EXPECT_NE(sr0.error.find("No such file"), std::string::npos) << sr0.error;

    for (const auto& d : drives) EXPECT_EQ(d.free, 0u) << d.device;
}

TEST(ListDrives, MissingSysfsGivesAnEmptyList) {
    testutil::TempDir dir;
    EXPECT_TRUE(ListDrives(dir.file("nonexistent"), dir.path().string()).empty());
}

TEST(ListDrives, ThisMachine) {
    // Whatever this machine has: names under /dev, kinds from the fixed set,
    // never a RAM disk, unreadable entries with their reason.
    // No sysfs is a missing kernel interface, not a missing tool: a skip even under CI.
    if (!std::filesystem::is_directory("/sys/class/block")) GTEST_SKIP() << "no /sys/class/block";
    std::vector<DriveListEntry> drives = ListDrives();
    for (const auto& d : drives) {
        SCOPED_TRACE(d.device);
        EXPECT_EQ(d.device.rfind("/dev/", 0), 0u);
        EXPECT_EQ(d.device.find("/dev/ram"), std::string::npos);
        EXPECT_EQ(d.device.find("/dev/zram"), std::string::npos);
        EXPECT_TRUE(d.kind == "disk" || d.kind == "partition" || d.kind == "loop" || d.kind == "cdrom" ||
                    d.kind == "removable");
        if (d.readable)
            EXPECT_TRUE(d.error.empty());
        else
            EXPECT_EQ(d.error.rfind("cannot open " + d.device + ": ", 0), 0u);
    }
}

}  // namespace
