// `quarlix recover` into a mount of the very image (or device) it reads: once
// it wrote every recovered file over the deleted ones it was recovering. Every
// way of mounting is refused before anything is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::Quarlix;
using testutil::Quote;
using testutil::TempDir;

namespace {

// Every name under a folder, with sizes: what a run may not change.
std::string Listing(const std::string& root) {
    return testutil::Run("cd " + Quote(root) + " && find . -printf '%p %s\\n' | sort").out;
}

// Mounting and loop devices are kernel capabilities this machine may lack:
// a way that cannot be set up is left out, CI or not (the crafted cases of
// the recovery tests cover the logic everywhere).
TEST(RecoverDestination, NeverOntoAMountOfTheSource) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkntfs") && testutil::HaveTool("ntfs-3g"), "mkntfs and ntfs-3g (ntfs-3g)");
    TempDir dir;
    const std::string fat = dir.file("fat.img"), ntfs = dir.file("ntfs.img"), made = dir.file("made");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " + Quote(fat));
    // An NTFS volume with a deleted file, through ntfs-3g.
    testutil::MustRun("truncate -s 16M " + Quote(ntfs) + " && mkntfs -F -q " + Quote(ntfs) + " >/dev/null 2>&1");
    std::filesystem::create_directories(made);
    const bool fuse = testutil::Run("ntfs-3g " + Quote(ntfs) + " " + Quote(made) + " 2>&1").exitCode == 0;
    if (fuse)
        testutil::MustRun("head -c 100000 /dev/urandom > " + Quote(made + "/gone.bin") + " && rm " +
                          Quote(made + "/gone.bin") + " && umount " + Quote(made));

    struct Way {
        const char* what;
        std::string image;
        const char* loop;   // "" none, else the losetup options
        bool fromDevice;    // recover from the loop device rather than the image
        const char* mount;  // IMG, DEV and MNT are replaced
    };
    const std::vector<Way> ways = {
        {"the kernel's driver on a loop device of the image", fat, "-f", false, "mount -o noatime DEV MNT"},
        {"ntfs-3g on a loop device of the image", ntfs, "-f", false, "ntfs-3g -o noatime DEV MNT"},
        {"ntfs-3g on the image file", ntfs, "", false, "ntfs-3g -o noatime IMG MNT"},
        {"ntfs-3g on the image file, recovering from a loop device of it", ntfs, "-r -f", true,
         "ntfs-3g -o noatime IMG MNT"},
    };
    std::string left;
    for (size_t i = 0; i < ways.size(); ++i) {
        const Way& w = ways[i];
        SCOPED_TRACE(w.what);
        if (w.image == ntfs && !fuse) {
            left += std::string("\n  ") + w.what + ": no FUSE";
            continue;
        }
        clitest::MountGuard setup;
        const std::string img = dir.file("work" + std::to_string(i) + ".img");
        const std::string mnt = dir.file("mnt" + std::to_string(i));
        testutil::MustRun("cp --sparse=always " + Quote(w.image) + " " + Quote(img));
        std::filesystem::create_directories(mnt);
        if (*w.loop) {
            auto r = testutil::Run("losetup --show " + std::string(w.loop) + " " + Quote(img) + " 2>/dev/null");
            if (r.exitCode != 0) {
                left += std::string("\n  ") + w.what + ": no loop device";
                continue;
            }
            setup.dev = r.out.substr(0, r.out.find('\n'));
        }
        std::string mount = w.mount;
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"IMG", img}, {"DEV", setup.dev}, {"MNT", mnt}})
            if (const size_t at = mount.find(key); at != std::string::npos) mount.replace(at, key.size(), Quote(value));
        if (testutil::Run(mount + " 2>&1").exitCode != 0) {
            left += std::string("\n  ") + w.what + ": the mount was refused";
            continue;
        }
        setup.mnt = mnt;
        const std::string before = Listing(mnt), sum = testutil::MustRun("md5sum < " + Quote(img));
        const std::string source = w.fromDevice ? setup.dev : img;
        for (const std::string& to : {mnt, mnt + "/recovered"}) {
            auto r = testutil::Run(Quarlix() + " --no-cache recover " + Quote(source) + " --all --to " + Quote(to) +
                                   " 2>&1 </dev/null");
            EXPECT_EQ(r.exitCode, 2) << to << "\n" << r.out;
            EXPECT_NE(r.out.find("(the source " + source + "); choose a folder on another drive"), std::string::npos)
                << r.out;
        }
        EXPECT_EQ(Listing(mnt), before) << "nothing is written into the mount";
        EXPECT_EQ(testutil::MustRun("md5sum < " + Quote(img)), sum) << "nor into the image";
    }
    if (!left.empty()) std::cout << "[   NOTE   ] ways left out here:" << left << "\n";
    if (left.size() && std::count(left.begin(), left.end(), '\n') == static_cast<long>(ways.size()))
        GTEST_SKIP() << "no way of mounting the image works here:" << left;
}

}  // namespace
