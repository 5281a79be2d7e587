// A destination whose file system is backed by the source is refused, whatever
// the path to it: loop devices, their partitions, device-mapper devices and
// FUSE mounts, judged on a crafted sysfs tree and mount table (the real ones
// are exercised end to end by the command line's tests).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "common/TestUtil.h"
#include "engine/recovery/Destination.h"

using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

std::string DevText(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

void WriteText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// One block device of a crafted sysfs: its folder under devices/ ("sdq/sdq1"
// is a partition of sdq), its number, and what a loop device is backed by or
// a device-mapper device is built on.
struct CraftedDevice {
    std::string path;
    std::string dev;
    std::string backingFile = {};
    std::string slaveOf = {};
};

void CraftSysfs(const fs::path& sys, const std::vector<CraftedDevice>& devices) {
    for (const CraftedDevice& d : devices) {
        const fs::path dir = sys / "devices/virtual/block" / d.path;
        WriteText(dir / "dev", d.dev);
        if (d.path.find('/') != std::string::npos) WriteText(dir / "partition", "1");
        if (!d.backingFile.empty()) WriteText(dir / "loop/backing_file", d.backingFile);
        if (!d.slaveOf.empty()) {
            fs::create_directories(dir / "slaves");
            fs::create_symlink(sys / "devices/virtual/block" / d.slaveOf,
                               dir / "slaves" / fs::path(d.slaveOf).filename());
        }
        fs::create_directories(sys / "dev/block");
        fs::create_symlink(dir, sys / "dev/block" / d.dev);
    }
}

// A mount table line: the file system with device number `dev` of `type` mounted from `source`.
std::string MountLine(const std::string& dev, const std::string& type, const std::string& source) {
    std::string escaped;
    for (char c : source) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    return "36 25 " + dev + " / /media/x rw,relatime shared:9 - " + type + " " + escaped + " rw\n";
}

// A block device node to stand for a device source; the check only looks at
// its number, never opens it. Made with mknod where allowed, else any of /dev.
std::string BlockNode(const TempDir& dir) {
    const std::string node = dir.file("source-device");
    if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(240, 7)) == 0) return node;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/dev", ec))
        if (e.is_block_file(ec)) return e.path().string();
    return "";
}

enum class Verdict { Refused, Unknown, Fine };

TEST(DestinationBackingTest, CraftedDevicesAndMountsBackedByTheSource) {
    TempDir dir;
    const std::string image = dir.file("source image.img"), alias = dir.file("alias.img");
    const std::string other = dir.file("other.img");
    testutil::WriteFileBytes(image, std::vector<uint8_t>(4096));
    testutil::WriteFileBytes(other, std::vector<uint8_t>(4096));
    fs::create_hard_link(image, alias);  // another name, the same file
    const std::string out = dir.file("out");
    fs::create_directories(out);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    const std::string D = DevText(st.st_dev);  // the destination's file system, as the crafted view describes it
    const std::string device = BlockNode(dir);
    struct stat sst {};
    const std::string S = !device.empty() && ::stat(device.c_str(), &sst) == 0 ? DevText(sst.st_rdev) : "";

    struct Case {
        const char* what;
        bool deviceSource;  // the source is the block device node, else the image
        std::vector<CraftedDevice> sysfs;
        std::string mounts;
        Verdict verdict;
    };
    const std::vector<Case> cases = {
        {"a loop device backed by the image", false, {{"loopq0", D, image}}, "", Verdict::Refused},
        {"a partition of that loop device", false, {{"loopq0", "240:50", image}, {"loopq0/loopq0p1", D}}, "",
         Verdict::Refused},
        {"a loop device backed by another name of the image", false, {{"loopq0", D, alias}}, "", Verdict::Refused},
        {"a device-mapper device over a loop of the image", false,
         {{"loopq0", "240:50", image}, {"dm-9", D, "", "loopq0"}}, "", Verdict::Refused},
        {"a loop device backed by another image", false, {{"loopq0", D, other}}, "", Verdict::Fine},
        {"a FUSE mount naming the image", false, {}, MountLine(D, "fuse", image), Verdict::Refused},
        {"a FUSE mount naming another name of the image", false, {}, MountLine(D, "fuse", alias), Verdict::Refused},
        {"a FUSE mount naming another image", false, {}, MountLine(D, "fuse", other), Verdict::Fine},
        {"a FUSE mount naming no file", false, {}, MountLine(D, "fuse", "fuse"), Verdict::Unknown},
        {"a FUSE mount of a share", false, {}, MountLine(D, "fuse.sshfs", "me@host:/srv"), Verdict::Unknown},
        {"a tmpfs", false, {}, MountLine(D, "tmpfs", "tmpfs"), Verdict::Fine},
        {"a FUSE mount naming the image behind the source loop device", true, {{"loopq1", S, image}},
         MountLine(D, "fuse", image), Verdict::Refused},
        {"a partition of the source disk", true, {{"sdq", S}, {"sdq/sdq1", D}}, "", Verdict::Refused},
        {"the disk of the source partition", true, {{"sdq", D}, {"sdq/sdq1", S}}, "", Verdict::Refused},
        {"another partition of the source's disk", true, {{"sdq", "240:60"}, {"sdq/sdq1", S}, {"sdq/sdq2", D}}, "",
         Verdict::Fine},
        {"a device-mapper device built on the source", true, {{"sdq", S}, {"dm-9", D, "", "sdq"}}, "",
         Verdict::Refused},
        {"a device the source device-mapper device is built on", true, {{"sdq", D}, {"dm-9", S, "", "sdq"}}, "",
         Verdict::Refused},
        {"a loop device backed by the source device", true, {{"loopq0", D, device}}, "", Verdict::Refused},
    };
    int skipped = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        if (c.deviceSource && S.empty()) {
            ++skipped;
            continue;
        }
        StorageView view;
        view.sysRoot = dir.file("sys" + std::to_string(i));
        fs::create_directories(view.sysRoot);
        CraftSysfs(view.sysRoot, c.sysfs);
        view.mountTable = c.mounts;
        const std::string source = c.deviceSource ? device : image;
        const DestinationCheck r = CheckDestination(out + "/new", source, 0, view);
        switch (c.verdict) {
        case Verdict::Refused:
            EXPECT_EQ(r.status.code(), StatusCode::InvalidArgument);
            EXPECT_NE(r.status.message().find("lies on "), std::string::npos) << r.status.message();
            EXPECT_NE(r.status.message().find("(the source " + source + "); choose a folder on another drive"),
                      std::string::npos)
                << r.status.message();
            break;
        case Verdict::Unknown:
            EXPECT_TRUE(r.status.ok()) << r.status.message();
            EXPECT_TRUE(r.backingUnknown);
            EXPECT_NE(r.backingMessage.find(out + "/new"), std::string::npos) << r.backingMessage;
            break;
        case Verdict::Fine:
            EXPECT_TRUE(r.status.ok()) << r.status.message();
            EXPECT_FALSE(r.backingUnknown) << r.backingMessage;
            break;
        }
    }
    if (skipped) GTEST_SKIP() << skipped << " cases need a block device node, which cannot be made or found here";
}

}  // namespace
