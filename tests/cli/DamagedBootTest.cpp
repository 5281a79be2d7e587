// A volume whose first sector is lost (zeroed) opens through its backup boot
// sector: NTFS keeps one in the volume's last sector, FAT32 at sector 6.
// FAT12 and FAT16 keep none: their geometry is read off the FATs and the
// root folder. The DFTT NTFS images end at their volume's last counted
// sector, one before the copy (the imaging left it out): their geometry is
// read off the MFT. Each image, damaged so, lists the same items with the
// same ids and recovers the same bytes as the original, and `info` says
// which boot sector it read.
#include <gtest/gtest.h>

#include <filesystem>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

namespace {

struct Image {
    const char* file;        // under shared/testdata, "samples/..." in the repository, or "fat32" (made here)
    uint64_t volumeOffset;   // where the volume's boot sector lies in the image
    const char* backupNote;  // what info says of the boot sector it used
};

const char kRebuilt[] = "its geometry was rebuilt from the FATs and the root folder";

const Image kImages[] = {
    {"fat32", 0, "backup boot sector at sector 6"},
    {"samples/ntfs-sample.img.gz", 0, "backup boot sector at sector "},
    {"dfirntfs-ntfs_index.raw", 65536, "backup boot sector at sector "},
    {"dfirntfs-fat_deleted_dir.raw.gz", 0, "backup boot sector at sector 6"},
    {"samples/fat-sample.img.gz", 0, kRebuilt},
    {"dftt-5-fat12-daylight.dd", 0, kRebuilt},  // no subfolder: its files' chains give the cluster size
    {"dftt-6-fat-undel.dd", 0, kRebuilt},
    {"dftt-9-fat-label.dd", 0, kRebuilt},
    {"dfirntfs-fat16_moved.raw", 0, kRebuilt},
    {"dfirntfs-fat_deleted_dir_2.raw", 0, kRebuilt},
    // Their last sector, the backup's place, is not in the image: the MFT gives the geometry.
    {"dftt-7-ntfs-undel.dd", 0, "the geometry was rebuilt from the MFT"},
    {"dftt-8-jpeg-search.dd", 0, "the geometry was rebuilt from the MFT"},
};

class DamagedBoot : public ::testing::Test {
protected:
    testutil::CommandResult Q(const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache " + args);
    }
    // Paths and ids of the recursive listing, one line each, sorted.
    std::string Listing(const std::string& image) {
        auto r = Q("--json list " + Quote(image) + " --recursive");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        std::vector<std::string> rows;
        for (const auto& j : JsonLines(r.out))
            rows.push_back(j["path"].get<std::string>() + " " + (j["id"].is_null() ? "-" : j["id"].dump()));
        std::sort(rows.begin(), rows.end());
        std::string out;
        for (const auto& row : rows) out += row + "\n";
        return out;
    }
    // Every deleted item recovered; the MD5 of each file written, by path.
    std::string Recovered(const std::string& image, const std::string& to) {
        auto r = Q("recover " + Quote(image) + " --all --to " + Quote(to));
        EXPECT_LE(r.exitCode, 1) << r.out;
        return testutil::MustRun("cd " + Quote(to) + " && find . -type f -print0 | sort -z | xargs -0 -r md5sum");
    }
    testutil::TempDir dir;
};

}  // namespace

TEST_F(DamagedBoot, ListsAndRecoversThroughTheBackup) {
    const std::string shared = testutil::SharedTestData();
    QUARLIX_REQUIRE(!shared.empty(), "shared test data absent");
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools missing");
    int n = 0;
    for (const Image& im : kImages) {
        const std::string file = im.file;
        SCOPED_TRACE(file);
        const std::string original = dir.file("original" + std::to_string(n));
        const std::string damaged = dir.file("damaged" + std::to_string(n));
        ++n;
        if (file == "fat32") {
            testutil::MustRun(Quote(testutil::SourceDir() + "/tools/make-fat-fixture.sh") + " fat32 " + Quote(original));
        } else {
            const bool inRepo = file.rfind("samples/", 0) == 0;
            const std::string from = inRepo ? testutil::SourceDir() + "/" + file : shared + "/" + file;
            if (file.size() > 3 && file.substr(file.size() - 3) == ".gz")
                testutil::MustRun("gunzip -c " + Quote(from) + " > " + Quote(original));
            else
                std::filesystem::copy_file(from, original);
        }
        std::filesystem::copy_file(original, damaged);
        testutil::PatchFile(damaged, im.volumeOffset, std::vector<uint8_t>(512, 0));

        auto info = Q("--json info " + Quote(damaged));
        ASSERT_EQ(info.exitCode, 0) << info.out;
        EXPECT_NE(info.out.find(im.backupNote), std::string::npos) << info.out;
        EXPECT_EQ(Q("--json info " + Quote(original)).out.find("boot_sector"), std::string::npos);

        const std::string listed = Listing(original);
        EXPECT_NE(listed.find(" "), std::string::npos);
        EXPECT_EQ(Listing(damaged), listed);
        const std::string to = dir.file("out" + std::to_string(n));
        const std::string fromOriginal = Recovered(original, to + "a");
        EXPECT_EQ(Recovered(damaged, to + "b"), fromOriginal);
    }
}
