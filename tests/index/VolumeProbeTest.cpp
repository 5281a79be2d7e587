// The probes of the table of file systems against the full opens they stand
// in for, over every image the tests have: each whole, through each
// partition of its table, with its first sector zeroed, with the
// sectors-per-cluster byte of that sector garbled, cut to half and cut by
// its last sector (where NTFS keeps the backup). For every line of the
// table, a volume that opens is a yes, a damaged answer carries the open's
// own reason and a no leaves the open without one; and the factory, which
// opens only what a probe recognised, makes the volume (or gives the reason)
// that opening every file system gave.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "IndexTestSupport.h"
#include "engine/exfat/ExfatVolume.h"
#include "engine/index/VolumeFactory.h"
#include "platform/DeviceStream.h"
#include "platform/DriveTable.h"
#include "platform/PartitionTable.h"

using testutil::Quote;

namespace {

struct Window {
    std::string name;
    uint64_t offset = 0, length = 0;  // length 0: to the end
};

struct Tally {
    int cases = 0, opened = 0, throughBackup = 0, damaged = 0;
};

// One source window as each file system's open and probe see it, and the factory.
void Compare(const std::string& image, const Window& w, Tally& tally) {
    const SourceSpec spec {image, w.offset, w.length, 0};
    const char16_t letter = CDriveTable::Instance().Assign(spec);
    ++tally.cases;
    int accepted = 0, acceptedType = 0;
    std::string reason;  // the last file system's reason, as the factory gives it
    for (const FileSystemEntry& fs : FileSystems()) {
        SCOPED_TRACE(fs.name);
        std::unique_ptr<CVolume> volume = fs.make();
        const bool opened = volume->OpenDrive(letter);
        CDeviceStream stream;
        BootSource boot;
        ASSERT_TRUE(OpenProbeSource(spec, stream, boot));
        const ProbeResult said = fs.probe(boot);
        if (opened) {
            EXPECT_EQ(said.answer, ProbeAnswer::Yes);
            ++accepted;
            acceptedType = volume->GetPartitionType();
            ++tally.opened;
            if (!volume->BootNote().empty()) {
                ++tally.throughBackup;
            } else {
                // exFAT checks its boot sector against the checksum sector that closes its region.
                const uint64_t region = volume->GetPartitionType() == kPartitionExfat ? 12 * 512 : 512;
                EXPECT_EQ(stream.DeviceBytes(), region) << "a sound first boot region is all the probe reads";
            }
        } else if (!volume->InitError().empty()) {
            reason = volume->InitError();
        }
        if (said.answer == ProbeAnswer::Damaged) {
            ++tally.damaged;
            EXPECT_FALSE(opened);
            EXPECT_EQ(said.reason, volume->InitError());
        }
        if (said.answer == ProbeAnswer::No) {
            EXPECT_FALSE(opened);
            EXPECT_EQ(volume->InitError(), "");
        }
    }
    VolumeStatus why;
    std::unique_ptr<CVolume> made = CreateVolume(letter, why);
    if (accepted == 1) {
        ASSERT_NE(made, nullptr) << why.status.message();
        EXPECT_EQ(made->GetPartitionType(), acceptedType);
    } else {
        EXPECT_EQ(made, nullptr);
        EXPECT_EQ(why.status.code(), accepted > 1 ? StatusCode::Ambiguous
                                     : reason.empty() ? StatusCode::NotFound
                                                      : StatusCode::Corrupt);
        if (accepted == 0) {
            EXPECT_EQ(why.status.message(), reason);
        }
    }
    CDriveTable::Instance().Remove(letter);
}

}  // namespace

TEST(VolumeProbe, SaysYesToEveryVolumeTheOpenAccepts) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mkntfs"),
                    "dosfstools, mtools or ntfs-3g missing");
    const std::string shared = testutil::SharedTestData();
    QUARLIX_REQUIRE(!shared.empty(), "shared test data absent");
    testutil::TempDir dir;
    const std::string src = testutil::SourceDir();

    // Every image is copied: the variants patch it.
    std::vector<std::string> images;
    auto add = [&](const std::string& from, const std::string& name) {
        ASSERT_FALSE(from.empty()) << name;
        images.push_back(dir.file(name));
        std::filesystem::copy_file(from, images.back());
    };
    add(indextest::GunzipOnce(src + "/samples/fat-sample.img.gz", "fat-sample.img"), "fat-sample.img");
    add(indextest::GunzipOnce(src + "/samples/ntfs-sample.img.gz", "ntfs-sample.img"), "ntfs-sample.img");
    add(indextest::NtfsFixtureImage(), "ntfs-fixture.img");
    add(indextest::FatRecycleBinImage(), "fat-recycle-bin.img");
    for (const char* kind : {"fat12", "fat16", "fat32"}) {
        images.push_back(dir.file(std::string(kind) + ".img"));
        testutil::MustRun(Quote(src + "/tools/make-fat-fixture.sh") + " " + kind + " " + Quote(images.back()) +
                          " >/dev/null");
    }
    // exFAT (a damaged first boot region opens through the backup at sector 12).
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.exfat"), "exfatprogs missing");
    images.push_back(dir.file("exfat.img"));
    testutil::MustRun("truncate -s 8M " + Quote(images.back()) + " && mkfs.exfat " + Quote(images.back()) + " >/dev/null");
    // Sectors larger than 512 bytes.
    images.push_back(dir.file("fat16-4k-sectors.img"));
    testutil::MustRun("mkfs.fat -C -F 16 -S 4096 -s 1 " + Quote(images.back()) + " 65536 >/dev/null");
    images.push_back(dir.file("ntfs-4k-sectors.img"));
    testutil::MustRun("truncate -s 16M " + Quote(images.back()) + " && mkntfs -q -F -f -s 4096 -c 4096 " +
                      Quote(images.back()) + " >/dev/null 2>&1");
    for (const char* name : {"dfirntfs-fat16_moved.raw", "dfirntfs-fat_deleted_dir_2.raw", "dfirntfs-ntfs_index.raw",
                             "dftt-5-fat12-daylight.dd", "dftt-6-fat-undel.dd", "dftt-7-ntfs-undel.dd",
                             "dftt-8-jpeg-search.dd", "dftt-9-fat-label.dd"})
        add(shared + "/" + name, name);
    images.push_back(dir.file("fat_deleted_dir.raw"));
    testutil::MustRun("gunzip -c " + Quote(shared + "/dfirntfs-fat_deleted_dir.raw.gz") + " > " + Quote(images.back()));
    testutil::MustRun("tar xf " + Quote(shared + "/dfirntfs-mbr-win-512.raw.tgz") + " -C " + Quote(dir.path().string()));
    images.push_back(dir.file("mbr-win-512.raw"));

    Tally tally;
    for (const std::string& image : images) {
        SCOPED_TRACE(image);
        // The whole image, and each partition of its table.
        std::vector<Window> windows {{"whole", 0, 0}};
        {
            CDeviceStream device;
            ASSERT_TRUE(device.Open(image));
            PartitionTable table;
            std::string error;
            if (ReadPartitionTable(device, table, error))
                for (const PartitionEntry& p : table.partitions)
                    windows.push_back({"partition " + std::to_string(p.number), p.offset, p.length});
        }
        const uint64_t size = std::filesystem::file_size(image);
        for (const Window& w : windows) {
            SCOPED_TRACE(w.name);
            const uint64_t length = w.length ? w.length : size - w.offset;
            if (length < 1024) continue;
            Compare(image, w, tally);
            Compare(image, {w.name + ", cut to half", w.offset, length / 2 / 512 * 512}, tally);
            Compare(image, {w.name + ", cut by its last sector", w.offset, length - 512}, tally);
            std::vector<uint8_t> sector(512);  // the first sector, put back after each patch
            std::ifstream(image, std::ios::binary).seekg(w.offset).read(reinterpret_cast<char*>(sector.data()), 512);
            testutil::PatchFile(image, w.offset, std::vector<uint8_t>(512, 0));
            Compare(image, {w.name + ", first sector zeroed", w.offset, w.length}, tally);
            testutil::PatchFile(image, w.offset, sector);
            testutil::PatchFile(image, w.offset + 13, {3});
            Compare(image, {w.name + ", 3 sectors per cluster", w.offset, w.length}, tally);
            testutil::PatchFile(image, w.offset, sector);
        }
    }
    // Every way in was taken: sound boot sectors, backups and rebuilt
    // geometries, and boot sectors recognised but unusable.
    EXPECT_GT(tally.opened, tally.throughBackup);
    EXPECT_GT(tally.throughBackup, 0);
    EXPECT_GT(tally.damaged, 0);
    EXPECT_GT(tally.cases, 4 * static_cast<int>(images.size()));
}
