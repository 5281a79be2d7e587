// The drive listing over a fake /sys/class/block whose devices are image
// files made by mkfs.fat and mkntfs, and the open-error message with its
// advice.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

#include "common/TestUtil.h"
#include "platform/DriveList.h"

using testutil::MustRun;
using testutil::Quote;

namespace {

TEST(OpenErrorMessage, NamesTheErrorAndThePipe) {
    EXPECT_EQ(OpenErrorMessage("/x/y", ENOENT), "cannot open /x/y: No such file or directory");
    EXPECT_NE(OpenErrorMessage("/tmp/fifo", ESPIPE).find("a pipe or FIFO cannot be read as a volume"),
              std::string::npos);
    // A refusal ends with the advice for this process's user and the kind of source.
    const std::string refused = OpenErrorMessage("/dev/sdb1", EPERM);
    EXPECT_EQ(refused, "cannot open /dev/sdb1: Operation not permitted" + AccessAdvice(EPERM, true, ::geteuid()));
}

// The advice fits the error and the user: only EACCES for a user other than
// root is about permissions that sudo, the group 'disk' or the file's
// permissions change.
TEST(AccessAdvice, FitsTheErrorAndTheUser) {
    const std::string group = " (run with sudo or join the group 'disk')";
    const std::string filePermissions =
        " (check the permissions of the image file and of its folders, or run as its owner)";
    const std::string security = "a security module such as SELinux or AppArmor";
    const std::string containers = security + ", or a container's device rules, may forbid it";
    const struct {
        int err;
        bool device;
        unsigned euid;
        std::string advice;
    } cases[] = {
        {EACCES, true, 1000, group},
        {EACCES, false, 1000, filePermissions},
        {EPERM, true, 1000,
         " (refused by the system, not by the file's permissions: " + containers +
             "; sudo or the group 'disk' may not change that)"},
        {EPERM, false, 1000, " (refused by the system, not by the file's permissions: " + security + " may forbid it)"},
        {EACCES, true, 0, " (refused even to root: " + containers + ")"},
        {EPERM, true, 0, " (refused even to root: " + containers + ")"},
        {EACCES, false, 0,
         " (refused even to root: " + security + ", or a network file system that does not trust root, may forbid it)"},
        {ENOENT, true, 1000, ""},
        {EIO, true, 0, ""},
    };
    for (const auto& k : cases)
        EXPECT_EQ(AccessAdvice(k.err, k.device, k.euid), k.advice)
            << k.err << (k.device ? " device" : " file") << " uid " << k.euid;

    // The note under the listing: group advice when any device needs it, the
    // refusal otherwise, none for errors that are no refusal.
    const std::string tail = "; image files can always be given as SOURCE";
    EXPECT_EQ(UnreadableDevicesNote({}, 1000), "");
    EXPECT_EQ(UnreadableDevicesNote({EPERM, EACCES}, 1000), "some devices could not be read" + group + tail);
    EXPECT_EQ(UnreadableDevicesNote({EPERM}, 1000), "some devices could not be read" + AccessAdvice(EPERM, true, 1000) + tail);
    EXPECT_EQ(UnreadableDevicesNote({ENOMEDIUM, EACCES}, 0),
              "some devices could not be read" + AccessAdvice(EACCES, true, 0) + tail);
    EXPECT_EQ(UnreadableDevicesNote({ENOMEDIUM}, 1000), "some devices could not be read" + tail);
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
