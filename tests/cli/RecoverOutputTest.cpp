// What `quarlix recover` leaves in its destination when things go wrong: a
// kill in the middle, a closed output, links placed in the destination, names
// and paths the destination cannot take as they are. FAT volumes made with
// mkfs.fat + mtools, NTFS ones with libntfs-3g; the exFAT destination is a
// real FUSE mount (exfat-fuse on a loop device), as a USB stick would be.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "CliTestSupport.h"
#include "NtfsRecoveryFixture.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
using testutil::TempDir;

namespace {

std::string Mtools(const std::string& args) { return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + args; }

// Every regular file under root by its path below root, and its bytes.
std::map<std::string, std::vector<uint8_t>> Files(const std::string& root) {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (!e.is_symlink() && e.is_regular_file())
            out[std::filesystem::relative(e.path(), root).string()] = testutil::ReadFileBytes(e.path().string());
    return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A kill -9 in the middle of a 200 MB file: nothing under a final name
// differs from the source, and a rerun with --on-conflict skip completes the
// job without writing anything twice (the two names that lost the same first
// letter included) and removes what a dead run left.
TEST(RecoverOutput, AKillLeavesNoCutFileAndARerunCompletesIt) {
    TempDir dir;
    const std::string image = dir.file("fat.img"), out = dir.file("out");
    testutil::MustRun("cd " + Quote(dir.path().string()) +
                      " && truncate -s 320M fat.img && mkfs.fat -F 32 fat.img >/dev/null"
                      " && head -c 200M /dev/urandom > big.bin && printf readme > README.TXT"
                      " && printf seadme > SEADME.TXT && printf after > after.txt && " +
                      Mtools("mcopy -i fat.img README.TXT SEADME.TXT big.bin after.txt ::/") + " && " +
                      Mtools("mdel -i fat.img ::/README.TXT ::/SEADME.TXT ::/big.bin ::/after.txt"));
    const std::map<std::string, std::vector<uint8_t>> want = {{"_EADME.TXT", Bytes("readme")},
                                                              {"_EADME_1.TXT", Bytes("seadme")},
                                                              {"_ig.bin", testutil::ReadFileBytes(dir.file("big.bin"))},
                                                              {"_fter.txt", Bytes("after")}};
    // Killed once 50 MB have been written.
    const std::string script = Quarlix() + " --no-cache recover " + Quote(image) + " --all --to " + Quote(out) +
                               " >/dev/null 2>&1 & pid=$!; " + clitest::WaitUntilWritten(50 << 20) +
                               "kill -9 $pid; wait $pid; echo exit=$?";
    auto r = testutil::Run("bash -c " + Quote(script));
    ASSERT_NE(r.out.find("exit=137"), std::string::npos) << "the run was not killed in the middle: " << r.out;
    for (const auto& [name, bytes] : Files(out)) {
        if (name.rfind(".quarlix-", 0) == 0) continue;  // unfinished, and known as such by its name
        ASSERT_TRUE(want.count(name)) << name;
        EXPECT_EQ(bytes, want.at(name)) << name << " is cut or wrong under its final name";
    }
    EXPECT_FALSE(std::filesystem::exists(out + "/_ig.bin"));
    // What a dead run with named temporary files leaves: removed by the next run.
    const std::string dead = testutil::MustRun("sh -c 'echo $$'");
    const std::string stale = out + "/.quarlix-" + dead.substr(0, dead.find('\n')) + "-1.tmp";
    testutil::WriteFileBytes(stale, Bytes("cut"));

    for (const char* run : {"completes", "writes nothing"}) {
        SCOPED_TRACE(run);
        r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --all --on-conflict skip --to " +
                          Quote(out) + " 2>/dev/null");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        int written = 0;
        for (const auto& j : JsonLines(r.out))
            if (j.contains("status")) written += j["status"] == "ok";
        EXPECT_EQ(written, std::string(run) == "completes" ? 2 : 0) << r.out;
        EXPECT_EQ(Files(out), want);
    }
    EXPECT_FALSE(std::filesystem::exists(stale));
}

// The sample image's deleted items, recovered into a destination where links
// stand in their way: nothing is written through a link, whatever the policy.
TEST(RecoverOutput, LinksInTheDestinationAreNamesNotPaths) {
    TempDir dir;
    const std::string image = dir.file("fat-sample.img"), outside = dir.file("outside");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " + Quote(image));
    std::filesystem::create_directories(outside);
    testutil::WriteFileBytes(outside + "/keep.txt", Bytes("keep"));
    struct Case {
        const char* policy;
        int exitCode;
        const char* readme;  // where _eadme.txt's content goes
    } cases[] = {{"rename", 1, "_eadme_1.txt"}, {"overwrite", 1, "_eadme.txt"}, {"skip", 1, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.policy);
        const std::string out = dir.file(std::string("out-") + c.policy);
        std::filesystem::create_directories(out);
        std::filesystem::create_symlink(outside + "/keep.txt", out + "/_eadme.txt");
        std::filesystem::create_directory_symlink(outside, out + "/Docs");  // a live folder of the volume
        auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --all --on-conflict " +
                               c.policy + " --to " + Quote(out) + " 2>/dev/null");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_EQ(testutil::ReadFileBytes(outside + "/keep.txt"), Bytes("keep"));
        EXPECT_EQ(std::filesystem::directory_iterator(outside)->path().filename(), "keep.txt");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
        EXPECT_TRUE(std::filesystem::is_symlink(out + "/Docs"));
        bool budgetFailed = false;
        for (const auto& j : JsonLines(r.out))
            if (j.contains("path") && j["path"] == "/Docs/Budget 2026.xls")
                budgetFailed = j["status"] == "failed" && j["reason"].get<std::string>().find("Not a directory") !=
                                                               std::string::npos;
        EXPECT_TRUE(budgetFailed) << r.out;
        if (c.readme) {
            EXPECT_EQ(testutil::ReadFileBytes(out + "/" + c.readme).size(), 700u);
            EXPECT_FALSE(std::filesystem::is_symlink(out + "/" + c.readme));
        } else {
            EXPECT_TRUE(std::filesystem::is_symlink(out + "/_eadme.txt"));
        }
        EXPECT_EQ(testutil::ReadFileBytes(out + "/Photos/Holiday photo.jpg").size(), 40000u);
    }
}

// Names and paths the destination cannot take as they are, on an NTFS
// volume made with libntfs-3g: a name of 100 CJK characters (300 bytes) is
// shortened keeping its extension, a deleted tree deeper than PATH_MAX comes
// back whole, and on an exFAT destination ":" and a trailing dot become "_" and
// a named stream goes to "name_stream", the item counted ok; the report
// names what was on the volume.
TEST(RecoverOutput, NamesAndPathsEveryDestinationTakes) {
    TempDir dir;
    const std::string image = dir.file("ntfs.img");
    std::string cjk;
    for (int i = 0; i < 100; ++i) cjk += "\xE6\x96\x87";  // U+6587
    std::string deep = "/deep";
    for (int i = 0; i < 22; ++i) deep += "/d" + std::to_string(100 + i) + std::string(196, 'x');
    std::string script = "mkdir " + deep + "\ntext " + deep + "/leaf.txt \"deep\"\ntext /" + cjk +
                         ".txt \"wide\"\ntext /a:b.txt \"colon\"\ntext /dots. \"dots\"\ntext /zone.txt \"main\"\n"
                         "stream /zone.txt:Zone.Identifier text:1 100\n"
                         "delete " + deep + "/leaf.txt\ndelete /" + cjk + ".txt\ndelete /a:b.txt\ndelete /dots.\n"
                         "delete /zone.txt\n";
    for (std::string at = deep; at != ""; at = at.substr(0, at.rfind('/'))) script += "delete " + at + "\n";
    const ntfsfixture::Image fixture = ntfsfixture::Make(image, "16M", script);
    ASSERT_TRUE(fixture.error.empty()) << fixture.error;
    // The exFAT stick: mkfs.exfat on a loop device, mounted by exfat-fuse.
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.exfat") && testutil::HaveTool("mount.exfat-fuse"),
                    "mkfs.exfat and mount.exfat-fuse (exfatprogs, exfat-fuse)");
    const std::string stick = dir.file("stick.img"), mnt = dir.file("stick");
    testutil::MustRun("truncate -s 64M " + Quote(stick) + " && mkfs.exfat " + Quote(stick) + " >/dev/null");
    std::filesystem::create_directories(mnt);
    clitest::MountGuard loop;
    const auto attached = testutil::Run("losetup -f --show " + Quote(stick) + " 2>/dev/null");
    QUARLIX_REQUIRE(attached.exitCode == 0, "a loop device");
    loop.dev = attached.out.substr(0, attached.out.find('\n'));
    const std::string shortened = cjk.substr(0, 240) + "~";  // 80 whole characters, "~", 8 digits and ".txt"
    struct Want {
        const char* onVolume;
        std::string here, onFat;  // the names written
    } const wants[] = {{"a:b.txt", "a:b.txt", "a_b.txt"},
                       {"dots.", "dots.", "dots_"},
                       {"zone.txt", "zone.txt:Zone.Identifier", "zone.txt_Zone.Identifier"}};
    for (const bool fat : {false, true}) {
        SCOPED_TRACE(fat ? "exFAT destination" : "a folder of this machine");
        std::string out = dir.file("out");
        if (fat) {
            ASSERT_EQ(testutil::Run("mount.exfat-fuse " + Quote(loop.dev) + " " + Quote(mnt) + " >/dev/null 2>&1").exitCode, 0);
            loop.mnt = mnt;
            out = mnt + "/out";
        }
        auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --all --to " + Quote(out) +
                               " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        std::map<std::string, std::string> original;  // written name -> the name on the volume
        for (const auto& j : JsonLines(r.out)) {
            if (!j.contains("status")) continue;
            EXPECT_EQ(j["status"], "ok") << j;
            if (j.contains("original_name"))
                original[std::filesystem::path(j["output"].get<std::string>()).filename().string()] = j["original_name"];
        }
        std::string wide;
        for (const auto& e : std::filesystem::directory_iterator(out))
            if (e.path().filename().string().rfind(shortened, 0) == 0) wide = e.path().filename().string();
        ASSERT_EQ(wide.size(), 253u) << "written as " << wide;
        EXPECT_EQ(wide.substr(wide.size() - 4), ".txt");
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + wide), Bytes("wide"));
        EXPECT_EQ(original[wide], cjk + ".txt");
        for (const Want& w : wants) {
            const std::string& name = fat ? w.onFat : w.here;
            EXPECT_TRUE(std::filesystem::exists(out + "/" + name)) << name;
            if (fat && std::string(w.onVolume) != "zone.txt") {
                EXPECT_EQ(original[name], w.onVolume);
            }
        }
        // The deep leaf, read by a walk that needs no long path.
        EXPECT_EQ(testutil::Run("cd " + Quote(out) + " && find . -name leaf.txt -execdir cat {} +").out, "deep");
    }
}

// A closed output ends the job cleanly with a failure status, also when the
// caller ignores SIGPIPE; what was written is complete.
TEST(RecoverOutput, AClosedOutputIsNoSuccess) {
    TempDir dir;
    const std::string image = dir.file("fat-sample.img"), out = dir.file("out");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " + Quote(image));
    for (const char* args : {"recover IMG --all --to OUT", "list IMG --recursive"}) {
        SCOPED_TRACE(args);
        std::string command = args;
        command.replace(command.find("IMG"), 3, image);
        if (command.find("OUT") != std::string::npos) {
            command.replace(command.find("OUT"), 3, out);
        }
        const std::string python =
            "import os, signal, subprocess, sys\n"
            "r, w = os.pipe(); os.close(r)\n"
            "signal.signal(signal.SIGPIPE, signal.SIG_IGN)\n"
            "p = subprocess.run(sys.argv[1:], stdout=w, stderr=subprocess.PIPE, restore_signals=False)\n"
            "print(p.returncode); print(p.stderr.decode())\n";
        auto r = testutil::Run("python3 -c " + Quote(python) + " " + Quarlix() + " --no-cache " + command);
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "141") << r.out;
        EXPECT_NE(r.out.find("output"), std::string::npos) << r.out;
    }
    for (const auto& [name, bytes] : Files(out)) EXPECT_FALSE(bytes.empty()) << name;
}

}  // namespace
