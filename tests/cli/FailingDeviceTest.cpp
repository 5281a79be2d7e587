// The command line on a real failing device (FailingDevice.h): what cannot
// be read is counted and named, never shown as overwritten data or as a
// name whose record is gone; every readable byte of a file is recovered;
// the device is not asked again for a block it refused; a device that goes
// away ends the recovery, and what was written before stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/CliTestSupport.h"
#include "common/FailingDevice.h"
#include "common/TestUtil.h"

namespace {

using testutil::Quote;

std::string Sample(const testutil::TempDir& dir, const std::string& name) {
    const std::string image = dir.file(name + ".img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + name + ".img.gz") + " > " +
                      Quote(image));
    return image;
}

testutil::CommandResult Quarlix(const testutil::TempDir& dir, const std::string& args) {
    // Run() merges stderr into stdout after the command; the inner shell sends it to a file first.
    return testutil::Run("bash -c " + Quote(clitest::Quarlix() + " --no-cache --progress never --json " + args +
                                            " 2>" + Quote(dir.file("stderr.txt"))));
}

std::string Stderr(const testutil::TempDir& dir) {
    const auto bytes = testutil::ReadFileBytes(dir.file("stderr.txt"));
    return std::string(bytes.begin(), bytes.end());
}

// One bad block over MFT records 64-67 of the NTFS sample: the folder
// /Docs (66) and the deleted orphan.txt (65) are in it, the deleted files
// 68, 69 and 71 are not.
TEST(FailingDevice, UnreadableMftRecordsAreCountedNotShownAsOverwritten) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    testutil::TempDir dir;
    const std::string image = Sample(dir, "ntfs-sample");
    testutil::FailingDevice device(dir, image, {{0x14000, 0x1000}});
    ASSERT_TRUE(device.Ready());

    auto listed = Quarlix(dir, "list " + Quote(device.Path()) + " --recursive --deleted-only");
    EXPECT_EQ(listed.exitCode, 1) << listed.out;
    EXPECT_NE(Stderr(dir).find("4 MFT records could not be read: the files they held are not listed"),
              std::string::npos)
        << Stderr(dir);
    std::set<uint64_t> files;
    for (const auto& j : clitest::JsonLines(listed.out)) {
        EXPECT_FALSE(j.contains("index_slack")) << j.dump();
        if (!j["folder"].get<bool>()) files.insert(j["id"].get<uint64_t>());
    }
    EXPECT_EQ(files, (std::set<uint64_t> {68, 69, 71}));
    // The block was refused a few times by the kernel's reads, not once per record.
    const int failedAfterList = device.FailedReads();
    EXPECT_GE(failedAfterList, 1);
    EXPECT_LE(failedAfterList, 8);

    auto indexed = Quarlix(dir, "index " + Quote(device.Path()));
    EXPECT_EQ(indexed.exitCode, 1) << indexed.out;
    const auto lines = clitest::JsonLines(indexed.out);
    ASSERT_EQ(lines.size(), 1u) << indexed.out;
    ASSERT_EQ(lines[0]["unreadable"].size(), 1u) << indexed.out;
    EXPECT_EQ(lines[0]["unreadable"][0]["what"], "MFT records");
    EXPECT_GE(lines[0]["unreadable"][0]["count"].get<int>(), 1);
}

// A bad block over MFT records 0-3: they are read from $MFTMirr, and the
// volume lists what it lists when healthy.
TEST(FailingDevice, TheFirstMftRecordsComeFromTheMirror) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    testutil::TempDir dir;
    const std::string image = Sample(dir, "ntfs-sample");
    auto healthy = Quarlix(dir, "index " + Quote(image));
    testutil::FailingDevice device(dir, image, {{0x4000, 0x1000}});
    ASSERT_TRUE(device.Ready());
    auto indexed = Quarlix(dir, "index " + Quote(device.Path()));
    EXPECT_EQ(indexed.exitCode, 0) << indexed.out << Stderr(dir);
    const auto before = clitest::JsonLines(healthy.out), after = clitest::JsonLines(indexed.out);
    ASSERT_EQ(after.size(), 1u) << indexed.out << Stderr(dir);
    ASSERT_EQ(before.size(), 1u);
    for (const char* key : {"deleted_files", "deleted_folders", "lost_folders"}) EXPECT_EQ(after[0][key], before[0][key]) << key;
}

// FAT: a bad block over the end of the FAT16 sample's root folder and the
// clusters of /Docs, /Photos and /Trash; and a bad block over the first FAT
// of a volume with two, whose second copy then gives the entries.
TEST(FailingDevice, FatFoldersAreCountedAndTheFatHasACopy) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools is missing");
    {
        testutil::TempDir dir;
        const std::string image = Sample(dir, "fat-sample");
        testutil::FailingDevice device(dir, image, {{0xC000, 0x1000}});
        ASSERT_TRUE(device.Ready());
        auto listed = Quarlix(dir, "list " + Quote(device.Path()) + " --recursive --deleted-only");
        EXPECT_EQ(listed.exitCode, 1) << listed.out;
        EXPECT_NE(Stderr(dir).find("folder clusters could not be read: the deleted items they held are not listed"),
                  std::string::npos)
            << Stderr(dir);
        std::set<uint64_t> files;
        for (const auto& j : clitest::JsonLines(listed.out))
            if (!j["folder"].get<bool>()) files.insert(j["id"].get<uint64_t>());
        EXPECT_EQ(files, (std::set<uint64_t> {8}));  // the deleted file of the root; its folders' are not read
    }
    testutil::TempDir dir;
    const std::string image = dir.file("fat.img");
    testutil::MustRun("mkfs.fat -C -F 16 -R 8 -f 2 -s 1 " + Quote(image) + " 8192 >/dev/null && head -c 30000 /dev/urandom > " +
                      Quote(dir.file("a.bin")) + " && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " +
                      Quote(dir.file("a.bin")) + " ::/a.bin && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image) + " ::/a.bin");
    auto healthy = Quarlix(dir, "list " + Quote(image) + " --deleted-only");
    testutil::FailingDevice device(dir, image, {{0x1000, 0x1000}});  // sectors 8-15: the first FAT's start
    ASSERT_TRUE(device.Ready());
    auto listed = Quarlix(dir, "list " + Quote(device.Path()) + " --deleted-only");
    EXPECT_EQ(listed.exitCode, 0) << listed.out << Stderr(dir);
    const auto before = clitest::JsonLines(healthy.out), after = clitest::JsonLines(listed.out);
    ASSERT_EQ(before.size(), 1u) << healthy.out;
    ASSERT_EQ(after.size(), 1u) << listed.out << Stderr(dir);
    EXPECT_EQ(after[0]["overwritten"], 0);
    EXPECT_EQ(after[0]["overwritten"], before[0]["overwritten"]);

    // The same sectors of both copies bad: the file's clusters are not known
    // to be free or in use, so its data status is unknown, not overwritten.
    const auto boot = testutil::ReadFileBytes(image);
    const uint64_t second = (8u + (boot[22] | boot[23] << 8)) * 512u;  // the second FAT's first sector
    testutil::FailingDevice both(dir, image, {{0x1000, 0x1000}, {second & ~0xFFFull, 0x1000}}, "", "both");
    ASSERT_TRUE(both.Ready());
    listed = Quarlix(dir, "list " + Quote(both.Path()) + " --deleted-only");
    EXPECT_EQ(listed.exitCode, 1) << listed.out << Stderr(dir);
    EXPECT_NE(Stderr(dir).find("FAT sectors could not be read"), std::string::npos) << Stderr(dir);
    const auto unknown = clitest::JsonLines(listed.out);
    ASSERT_EQ(unknown.size(), 1u) << listed.out;
    EXPECT_TRUE(unknown[0]["overwritten"].is_null()) << listed.out;
    EXPECT_EQ(unknown[0]["overwritten_unknown"], true) << listed.out;
}

// The surface scan over a bad block in free space: what the device refused
// is counted in the summary and the exit status; every find away from it is
// found and recovered as on the healthy image; a find across it, when its
// own fields still tell it, is recovered incomplete with the block named.
TEST(FailingDevice, AScanCountsTheFreeSpaceItCouldNotRead) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools is missing");
    testutil::TempDir dir;
    const std::string image = dir.file("fat32.img"), data = testutil::SourceDir() + "/tests/data/";
    std::string copy = "mkfs.fat -C -F 32 -s 1 " + Quote(image) + " 65536 >/dev/null";
    for (const char* sample : {"sample.jpg", "sample.png", "sample.mp4", "sample.flac"})
        copy += " && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " + Quote(data + sample) + " ::/" + sample +
                " && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image) + " ::/" + sample;
    testutil::MustRun(copy);
    const auto boot = testutil::ReadFileBytes(image);
    const uint64_t fatSectors = boot[36] | boot[37] << 8 | boot[38] << 16 | uint64_t(boot[39]) << 24;
    const uint64_t dataStart = ((boot[14] | boot[15] << 8) + boot[16] * fatSectors) * 512;
    // Each find by its first cluster: its size, recovery status and unreadable bytes.
    struct Find {
        uint64_t size = 0;
        std::string status;
        nlohmann::json unreadable;
    };
    auto scan = [&](const std::string& source, const std::string& to, int exitCode, uint64_t& refused) {
        const auto r = Quarlix(dir, "scan " + Quote(source) + " --to " + Quote(dir.file(to)));
        EXPECT_EQ(r.exitCode, exitCode) << r.out << Stderr(dir);
        std::map<uint64_t, Find> finds;
        for (const auto& j : clitest::JsonLines(r.out)) {
            if (j["kind"] == "found")
                finds[j["cluster"]] = {j["size"], j["status"], j.value("unreadable", nlohmann::json())};
            if (j["kind"] == "scan_summary") refused = j["summary"]["unreadable_bytes"];
        }
        return finds;
    };
    uint64_t refused = 1;
    const auto healthy = scan(image, "healthy", 0, refused);
    EXPECT_EQ(refused, 0u);
    ASSERT_EQ(healthy.size(), 4u);
    // A block of the second find (the PNG), 4 KiB into it.
    const uint64_t bad = (dataStart + (std::next(healthy.begin())->first - 2) * 512 + 4096) & ~0xFFFull;
    testutil::FailingDevice device(dir, image, {{bad, 0x1000}});
    ASSERT_TRUE(device.Ready());
    const auto failing = scan(device.Path(), "failing", 1, refused);
    EXPECT_EQ(refused, 0x1000u);
    EXPECT_NE(Stderr(dir).find("4.0 KiB in 1 range could not be read from the source"), std::string::npos)
        << Stderr(dir);
    for (const auto& [cluster, f] : healthy) {
        SCOPED_TRACE(cluster);
        EXPECT_EQ(f.status, "ok");
        const uint64_t from = dataStart + (cluster - 2) * 512;
        const auto it = failing.find(cluster);
        if (from + f.size <= bad || from >= bad + 0x1000) {
            ASSERT_NE(it, failing.end());
            EXPECT_EQ(it->second.size, f.size);
            EXPECT_EQ(it->second.status, "ok");
        } else if (it != failing.end()) {
            EXPECT_EQ(it->second.status, "incomplete");
            EXPECT_EQ(it->second.unreadable, nlohmann::json::array({{{"offset", bad - from}, {"length", 0x1000}}}));
        }
    }
    for (const auto& [cluster, f] : failing) EXPECT_TRUE(healthy.count(cluster)) << "not on the healthy image: " << cluster;
}

// A bad block inside a deleted file's data: the file is written whole, zeros
// where the device gave nothing, every other byte as on the volume, and
// reported incomplete with the range.
TEST(FailingDevice, RecoveryKeepsEveryReadableByte) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    struct Case {
        const char* sample;
        uint64_t id;
        const char* name;
        uint64_t dataOffset;  // the file's first byte in the image
        uint64_t size;
        uint64_t bad;         // the bad range in the image
        uint64_t badLength;   // five blocks: a streak long enough to have the device probed, which still answers
    };
    const Case cases[] = {
        {"fat-sample", 262149, "Holiday photo.jpg", 149 * 512, 40000, 0x14000, 0x5000},
        {"ntfs-sample", 68, "budget.xls", 1437 * 1024, 20000, 0x168000, 0x1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        testutil::TempDir dir;
        const std::string image = Sample(dir, c.sample);
        // What a recovery from the healthy image writes (budget.xls is partly overwritten: zeros there).
        Quarlix(dir, "recover " + Quote(image) + " " + std::to_string(c.id) + " --to " + Quote(dir.file("healthy")));
        const auto healthy = testutil::ReadFileBytes(dir.file(std::string("healthy/") + c.name));
        testutil::FailingDevice device(dir, image, {{c.bad, c.badLength}});
        ASSERT_TRUE(device.Ready());
        auto r = Quarlix(dir, "recover " + Quote(device.Path()) + " " + std::to_string(c.id) + " --to " +
                                  Quote(dir.file("out")));
        EXPECT_EQ(r.exitCode, 1) << r.out << Stderr(dir);
        const auto lines = clitest::JsonLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[0]["status"], "incomplete");
        const uint64_t at = c.bad - c.dataOffset;
        ASSERT_EQ(lines[0]["unreadable"].size(), 1u) << r.out;
        EXPECT_EQ(lines[0]["unreadable"][0]["offset"], at);
        EXPECT_EQ(lines[0]["unreadable"][0]["length"], c.badLength);
        EXPECT_EQ(lines[1]["summary"]["stop_reason"], nullptr);

        const auto source = testutil::ReadFileBytes(image);
        const auto out = testutil::ReadFileBytes(dir.file(std::string("out/") + c.name));
        ASSERT_EQ(out.size(), c.size);
        ASSERT_EQ(healthy.size(), c.size);
        size_t wrong = 0;
        for (uint64_t i = 0; i < c.size; ++i) {
            const bool bad = i >= at && i < at + c.badLength;
            wrong += out[i] != (bad ? 0 : healthy[i]);
            if (bad) wrong += healthy[i] != source[c.dataOffset + i];  // the range held the file's own data
        }
        EXPECT_EQ(wrong, 0u);
    }
}

// The device dies while the recovery of eight deleted files runs (every read
// fails from then on, cached pages aside): the job ends with the reason and
// exit status 1, each file written before is the source's bytes, and every
// selected file is written, incomplete or counted as not attempted.
TEST(FailingDevice, ADeviceThatGoesAwayEndsTheRecovery) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools is missing");
    constexpr int kFiles = 8;
    testutil::TempDir dir;
    const std::string image = dir.file("fat.img");
    std::string make = "mkfs.fat -C -F 16 " + Quote(image) + " 12288 >/dev/null", del;
    for (int i = 0; i < kFiles; ++i) {
        const std::string f = dir.file("f" + std::to_string(i) + ".bin");
        make += " && head -c 1048576 /dev/urandom > " + Quote(f) + " && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) +
                " " + Quote(f) + " ::/";
        del += " ::/f" + std::to_string(i) + ".bin";
    }
    make += " && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image) + del;
    testutil::MustRun(make);
    std::set<std::vector<uint8_t>> sources;
    for (int i = 0; i < kFiles; ++i)
        sources.insert(testutil::ReadFileBytes(dir.file("f" + std::to_string(i) + ".bin")));

    testutil::FailingDevice device(dir, image, {}, "30ms", "device", true);
    ASSERT_TRUE(device.Ready());
    const std::string records = dir.file("records.json"), status = dir.file("status.txt");
    testutil::MustRun("(" + clitest::Quarlix() + " --no-cache --progress never --json recover " + Quote(device.Path()) +
                      " --all --to " + Quote(dir.file("out")) + " >" + Quote(records) + " 2>" +
                      Quote(dir.file("stderr.txt")) + "; echo $? >" + Quote(status) + ") >/dev/null 2>&1 &");
    auto text = [](const std::string& path) {
        const auto bytes = testutil::ReadFileBytes(path);
        return std::string(bytes.begin(), bytes.end());
    };
    // The device dies once the first file is written (its pages dropped until
    // then: what indexing read would stay cached); the run must end well within the limit after.
    using Clock = std::chrono::steady_clock;
    auto waitFor = [](const std::function<bool()>& done) {
        for (const auto until = Clock::now() + std::chrono::seconds(60); Clock::now() < until;) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    ASSERT_TRUE(waitFor([&] {
        device.DropCache();
        return std::filesystem::exists(status) || text(records).find("\"recovered\"") != std::string::npos;
    }));
    ASSERT_FALSE(std::filesystem::exists(status)) << "the recovery ended before the device died: " << text(records);
    const size_t writtenBefore = clitest::JsonLines(text(records)).size();
    device.Die();
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(status) && !text(status).empty(); }))
        << "the recovery did not end after the device died";

    EXPECT_EQ(std::stoi(text(status)), 1) << text(records) << Stderr(dir);
    EXPECT_NE(Stderr(dir).find("quarlix: the device stopped answering"), std::string::npos) << Stderr(dir);
    const auto lines = clitest::JsonLines(text(records));
    ASSERT_GE(lines.size(), writtenBefore + 1);
    const auto& summary = lines.back()["summary"];
    EXPECT_EQ(summary["stop_reason"], "the device stopped answering") << summary.dump();
    EXPECT_GE(summary["not_attempted"].get<int>(), 1) << summary.dump();
    EXPECT_EQ(summary["failed"], 0) << summary.dump();
    // files counts the incomplete ones too.
    EXPECT_EQ(summary["files"].get<int>() + summary["not_attempted"].get<int>(), kFiles) << summary.dump();
    // What the device gave before it died is not shown as bad sectors all over it.
    EXPECT_LE(summary["source_unreadable_bytes"].get<uint64_t>(), 4u * 4096) << summary.dump();
    int incomplete = 0;
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        const auto& r = lines[i];
        ASSERT_EQ(r["kind"], "recovered") << r.dump();
        const auto out = testutil::ReadFileBytes(r["output"].get<std::string>());
        if (r["status"] == "ok") {
            EXPECT_TRUE(sources.count(out)) << r.dump();
        } else {
            EXPECT_EQ(r["status"], "incomplete") << r.dump();
            EXPECT_GE(i, writtenBefore) << r.dump();
            ASSERT_EQ(out.size(), 1048576u) << r.dump();
            ASSERT_FALSE(r["unreadable"].empty()) << r.dump();
            // What was read is the file's start; from the first byte the device refused on, zeros.
            const auto readable = static_cast<std::ptrdiff_t>(r["unreadable"][0]["offset"].get<uint64_t>());
            EXPECT_TRUE(std::any_of(sources.begin(), sources.end(), [&](const std::vector<uint8_t>& source) {
                return std::equal(out.begin(), out.begin() + readable, source.begin());
            })) << r.dump();
            EXPECT_TRUE(std::all_of(out.begin() + readable, out.end(), [](uint8_t b) { return b == 0; })) << r.dump();
            ++incomplete;
        }
    }
    EXPECT_EQ(summary["incomplete"], incomplete);
}

}  // namespace

// A rescue map beside an image (as ddrescue leaves one): what it marks bad
// or untried is never read, so the files that touch it are named in list
// and stat, recovered with zeros there and reported incomplete with the
// ranges; MFT records in it are counted as unreadable. --bad-map none reads
// the image whole; a map that is not one is refused.
TEST(FailingDevice, ARescueMapBesideAnImageMarksWhatWasNotRescued) {
    struct Area {
        uint64_t at;  // in the file
        uint64_t length;
        char state;
    };
    struct Case {
        const char* sample;
        uint64_t id;
        const char* path;
        uint64_t dataOffset;  // the file's first byte in the image
        std::vector<Area> areas;
        std::vector<std::pair<uint64_t, uint64_t>> metadata;  // further bad areas of the image
        int listExit;
    };
    const Case cases[] = {
        {"fat-sample", 262149, "Photos/Holiday photo.jpg", 149 * 512, {{3584, 4096, '-'}, {23552, 1024, '?'}}, {}, 0},
        {"ntfs-sample", 68, "Docs/budget.xls", 1437 * 1024, {{8192, 512, '/'}}, {{0x14000, 0x1000}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sample);
        testutil::TempDir dir;
        const std::string image = Sample(dir, c.sample);
        const auto source = testutil::ReadFileBytes(image);
        const std::string name = std::string(c.path).substr(std::string(c.path).rfind('/') + 1);
        const std::string recoverId = "recover " + Quote(image) + " " + std::to_string(c.id) + " --to ";
        Quarlix(dir, recoverId + Quote(dir.file("healthy")));
        const auto healthy = testutil::ReadFileBytes(dir.file("healthy/" + name));  // budget.xls is partly overwritten
        ASSERT_FALSE(healthy.empty());
        std::vector<std::pair<uint64_t, std::pair<uint64_t, char>>> bad;
        for (const Area& a : c.areas) bad.push_back({c.dataOffset + a.at, {a.length, a.state}});
        for (const auto& [at, length] : c.metadata) bad.push_back({at, {length, '-'}});
        std::sort(bad.begin(), bad.end());
        std::string map = "# Mapfile\n0x0 +\n";
        uint64_t at = 0;
        for (const auto& [offset, area] : bad) {
            map += std::to_string(at) + " " + std::to_string(offset - at) + " +\n" + std::to_string(offset) + " " +
                   std::to_string(area.first) + " " + area.second + "\n";
            at = offset + area.first;
        }
        map += std::to_string(at) + " " + std::to_string(source.size() - at) + " +\n";
        testutil::WriteFileBytes(image + ".map", std::vector<uint8_t>(map.begin(), map.end()));

        auto listed = Quarlix(dir, "list " + Quote(image) + " --recursive --deleted-only");
        EXPECT_EQ(listed.exitCode, c.listExit) << listed.out << Stderr(dir);
        EXPECT_NE(Stderr(dir).find("using the rescue map " + image + ".map"), std::string::npos) << Stderr(dir);
        nlohmann::json expected = nlohmann::json::array();
        for (const Area& a : c.areas) expected.push_back({{"offset", a.at}, {"length", a.length}});
        size_t named = 0;
        for (const auto& j : clitest::JsonLines(listed.out)) {
            if (!j.contains("unreadable")) continue;
            ++named;
            EXPECT_EQ(j["id"], c.id);
            EXPECT_EQ(j["unreadable"], expected);
        }
        EXPECT_EQ(named, 1u) << listed.out;
        auto stat = Quarlix(dir, "stat " + Quote(image) + " " + std::to_string(c.id));
        ASSERT_EQ(clitest::JsonLines(stat.out).size(), 1u) << stat.out;
        EXPECT_EQ(clitest::JsonLines(stat.out)[0]["unreadable"], expected);

        auto r = Quarlix(dir, recoverId + Quote(dir.file("out")));
        EXPECT_EQ(r.exitCode, 1) << r.out << Stderr(dir);
        auto lines = clitest::JsonLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[0]["status"], "incomplete");
        EXPECT_EQ(lines[0]["unreadable"], expected);
        const auto out = testutil::ReadFileBytes(dir.file("out/" + name));
        ASSERT_EQ(out.size(), healthy.size());
        size_t wrong = 0;
        for (uint64_t i = 0; i < out.size(); ++i) {
            bool zero = false;
            for (const Area& a : c.areas) zero = zero || (i >= a.at && i < a.at + a.length);
            wrong += out[i] != (zero ? 0 : healthy[i]);
            if (zero) wrong += healthy[i] != source[c.dataOffset + i];  // the area held data to lose
        }
        EXPECT_EQ(wrong, 0u);

        r = Quarlix(dir, "--bad-map none " + recoverId + Quote(dir.file("whole")));
        EXPECT_FALSE(clitest::JsonLines(r.out).at(0).contains("unreadable")) << r.out;
        EXPECT_EQ(testutil::ReadFileBytes(dir.file("whole/" + name)), healthy);
        testutil::WriteFileBytes(dir.file("junk.map"), {'x', '\n'});
        r = Quarlix(dir, "--bad-map " + Quote(dir.file("junk.map")) + " list " + Quote(image));
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(Stderr(dir).find("junk.map is not a rescue map"), std::string::npos) << Stderr(dir);
    }
}
