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
        // A run that writes nothing (only names without data) leaves no folder.
        if (!std::filesystem::exists(to)) return "";
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

// Some formatters leave both sector counts of a FAT32 boot sector 0 and
// write the count as 64 bits where the type text "FAT32   " goes. Such a
// volume lists what the same volume with the usual fields lists, in the
// boot sector and in its backup at sector 6; a 64-bit count the volume
// cannot have is no FAT volume. (Sleuth Kit refuses all of these: the
// original image is the reference.)
TEST_F(DamagedBoot, Fat32WithItsSectorCountInTheTypeTextField) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools missing");
    const std::string original = dir.file("original.img");
    testutil::MustRun(Quote(testutil::SourceDir() + "/tools/make-fat-fixture.sh") + " fat32 " + Quote(original));
    const uint64_t sectors = std::filesystem::file_size(original) / 512;  // the fixture fills its image
    const std::string listed = Listing(original);
    auto countBytes = [](uint64_t v) {
        std::vector<uint8_t> b(8);
        for (int k = 0; k < 8; ++k) b[k] = static_cast<uint8_t>(v >> (8 * k));
        return b;
    };
    struct Case {
        const char* what;
        uint64_t count;
        bool primary, backup;  // which boot sectors get the 64-bit form
        bool zeroPrimary;      // the first sector lost: only the backup is left
        bool opens;
    } const cases[] = {
        {"both sectors", sectors, true, true, false, true},
        {"the backup, first sector lost", sectors, false, true, true, true},
        {"count beyond the image", sectors + 1, true, true, false, false},
        {"count too small for FAT32", 60000, true, true, false, false},
        {"count all ones", ~0ull, true, true, false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string img = dir.file("long" + std::to_string(n++) + ".img");
        std::filesystem::copy_file(original, img);
        for (uint64_t at : {0ull, 6ull * 512}) {
            if ((at == 0 && !c.primary) || (at != 0 && !c.backup)) continue;
            testutil::PatchFile(img, at + 0x13, {0, 0});
            testutil::PatchFile(img, at + 0x20, {0, 0, 0, 0});
            testutil::PatchFile(img, at + 0x52, countBytes(c.count));
        }
        if (c.zeroPrimary) testutil::PatchFile(img, 0, std::vector<uint8_t>(512, 0));
        auto info = Q("--json info " + Quote(img));
        if (!c.opens) {
            EXPECT_EQ(info.exitCode, 3) << info.out;
            continue;
        }
        ASSERT_EQ(info.exitCode, 0) << info.out;
        auto j = JsonLines(info.out);
        ASSERT_EQ(j.size(), 1u);
        EXPECT_EQ(j[0]["filesystem"], "FAT32");
        EXPECT_EQ(j[0]["total_sectors"], sectors);
        EXPECT_EQ(Listing(img), listed);
    }
}
