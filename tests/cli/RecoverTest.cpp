// `quarlix list` and `quarlix recover` end to end on the FAT sample image the
// repository ships (made by tools/make-fat-sample.sh with mkfs.fat + mtools).
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
using testutil::TempDir;

namespace {

// The content the sample maker wrote for a file.
std::vector<uint8_t> SampleContent(const std::string& name, int seed, size_t size) {
    std::string out = testutil::MustRun("yes " + Quote("Quarlix sample " + name + " seed " + std::to_string(seed) +
                                                      " ----------------------------------------") +
                                        " | head -c " + std::to_string(size));
    return std::vector<uint8_t>(out.begin(), out.end());
}

class SampleImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("fat-sample.img");
        testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " +
                          Quote(image));
    }
    testutil::CommandResult Q(const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache " + args + " 2>" + Quote(dir.file("err.txt")));
    }
    TempDir dir;
    std::string image;
};

TEST_F(SampleImageTest, RecoverAllWritesTheOriginalContentAndNeverOverwrites) {
    std::string out = dir.file("out");
    auto r = Q("--json recover " + Quote(image) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0);
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["summary"]["files"], 4);
    EXPECT_EQ(lines.back()["summary"]["folders"], 1);
    EXPECT_EQ(lines.back()["summary"]["failed"], 0);

    const struct {
        const char* output;
        const char* name;
        int seed;
        size_t size;
    } files[] = {{"Docs/Budget 2026.xls", "budget.xls", 4, 12000},
                 {"Photos/Holiday photo.jpg", "photo.jpg", 2, 40000},
                 {"Trash/_otes.txt", "notes.txt", 3, 500},
                 {"_eadme.txt", "readme.txt", 5, 700}};
    for (const auto& f : files)
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + f.output), SampleContent(f.name, f.seed, f.size)) << f.output;
    EXPECT_FALSE(std::filesystem::exists(out + "/Docs/report.txt")) << "live files are not recovered";

    // A second run into the same folder renames every conflict with the default answer.
    r = Q("--json recover " + Quote(image) + " --all --to " + Quote(out));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/Docs/Budget 2026 (2).xls"), SampleContent("budget.xls", 4, 12000));
    EXPECT_EQ(testutil::ReadFileBytes(out + "/_eadme_1.txt"), SampleContent("readme.txt", 5, 700));
    EXPECT_TRUE(std::filesystem::exists(out + "/Trash (2)/_otes.txt"));
    for (const auto& f : files)
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + f.output), SampleContent(f.name, f.seed, f.size)) << f.output;

    // A third run goes on numbering, files and folders alike.
    ASSERT_EQ(Q("--json recover " + Quote(image) + " --all --to " + Quote(out)).exitCode, 0);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/Docs/Budget 2026 (3).xls"), SampleContent("budget.xls", 4, 12000));
    EXPECT_TRUE(std::filesystem::exists(out + "/Trash (3)/_otes.txt"));
    // (--on-conflict skip and overwrite: NtfsRecoverTest.) An item named twice is recovered once.
    std::string budget;  // the id as `list` prints it
    for (const auto& j : JsonLines(Q("--json list " + Quote(image) + " /Docs --deleted-only").out))
        if (j["name"] == "Budget 2026.xls") budget = std::to_string(j["id"].get<uint32_t>());
    ASSERT_FALSE(budget.empty());
    const std::string once = dir.file("once");
    r = Q("--json recover " + Quote(image) + " --to " + Quote(once) + " " + budget + " " + budget);
    ASSERT_EQ(r.exitCode, 0);
    int times = 0;
    for (const auto& j : JsonLines(r.out)) times += j.contains("id") && std::to_string(j["id"].get<uint64_t>()) == budget;
    EXPECT_EQ(times, 1) << r.out;
    EXPECT_FALSE(std::filesystem::exists(once + "/Budget 2026 (2).xls"));
    r = Q("--json recover " + Quote(image) + " --to " + Quote(out + "/single") + " " + Quote("/Photos/Holiday photo.jpg"));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/single/Holiday photo.jpg"), SampleContent("photo.jpg", 2, 40000));
}

// A destination that fills up or cannot be written: every item that could
// not be written whole is failed with its reason, counted, and not left
// under its name; a destination that cannot take a file at all is refused
// before anything is read.
TEST_F(SampleImageTest, WriteFailuresAreFailures) {
    const std::string small = dir.file("small"), ro = dir.file("ro");
    std::filesystem::create_directories(small);
    std::filesystem::create_directories(ro);
    // 16 KiB: the 40 KB photo cannot fit, some of the rest can. Mounting is a
    // kernel capability, not a tool: where it is refused this stays a skip, CI or not.
    if (testutil::Run("mount -t tmpfs -o size=16k none " + Quote(small) + " 2>&1").exitCode != 0)
        GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    struct Unmount {
        std::string a, b;
        ~Unmount() { testutil::Run("umount " + Quote(a) + " 2>/dev/null; umount " + Quote(b) + " 2>/dev/null"); }
    } unmount {small, ro};
    // Larger than the free space: a script must say --yes, or nothing is written.
    auto r = Q("recover " + Quote(image) + " --all --to " + Quote(small + "/refused") + " </dev/null");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("is larger than the free space"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nothing recovered (--yes recovers anyway)"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(small + "/refused"));
    r = Q("--json recover " + Quote(image) + " --all --yes --to " + Quote(small + "/out"));
    EXPECT_EQ(r.exitCode, 1) << r.out;
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    int failed = 0, failedFiles = 0;
    for (const auto& j : lines) {
        if (!j.contains("status")) continue;
        failed += j["status"] == "failed";
        if (j["folder"].get<bool>()) continue;
        const std::string output = j["output"];
        if (j["status"] == "failed") {
            ++failedFiles;
            EXPECT_NE(j["reason"].get<std::string>().find("No space left on device"), std::string::npos) << j;
            EXPECT_FALSE(std::filesystem::exists(output)) << output;
        } else {
            EXPECT_EQ(j["status"], "ok") << j;
            EXPECT_EQ(std::filesystem::file_size(output), j["bytes"].get<uint64_t>()) << output;
        }
    }
    EXPECT_GE(failedFiles, 1);
    EXPECT_EQ(lines.back()["summary"]["failed"].get<int>(), failed);
    // The text summary counts them too.
    r = Q("recover " + Quote(image) + " --all --yes --to " + Quote(small + "/again"));
    EXPECT_EQ(r.exitCode, 1);
    size_t failedLines = 0;
    for (size_t at = r.out.find("failed\t"); at != std::string::npos; at = r.out.find("failed\t", at + 1)) ++failedLines;
    EXPECT_NE(r.out.find("; " + std::to_string(failedLines) + " failed"), std::string::npos) << r.out;

    // Read-only: refused up front, for recover and scan alike.
    ASSERT_EQ(testutil::Run("mount -t tmpfs -o ro,size=16k none " + Quote(ro)).exitCode, 0);
    for (const std::string& args : {"recover " + Quote(image) + " --all --to " + Quote(ro),
                                    "recover " + Quote(image) + " --all --to " + Quote(ro + "/sub"),
                                    "scan " + Quote(image) + " --to " + Quote(ro)}) {
        r = Q(args);
        EXPECT_EQ(r.exitCode, 2) << args;
        // (Run takes stderr in with stdout): one message, nothing else.
        EXPECT_EQ(r.out.rfind("quarlix: ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(": Read-only file system\n"), std::string::npos) << args;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    }
}

TEST_F(SampleImageTest, BadSelectionsAreUsageErrors) {
    // Refused selections leave no destination folder behind (not even its new parents).
    for (const std::string items : {"", "999999", "/Docs/none.txt", "8 --all"}) {
        SCOPED_TRACE(items);
        EXPECT_EQ(Q("recover " + Quote(image) + " " + items + " --to " + Quote(dir.file("o/deeper"))).exitCode, 2);
        EXPECT_FALSE(std::filesystem::exists(dir.file("o")));
    }
    // An item given by id is reported under its path.
    const auto byId = JsonLines(Q("--json recover " + Quote(image) + " 8 --to " + Quote(dir.file("byid"))).out);
    ASSERT_FALSE(byId.empty());
    EXPECT_EQ(byId[0]["path"], "/?eadme.txt");
    EXPECT_EQ(Q("list " + Quote(image) + " /NoSuchFolder").exitCode, 2);
    // A folder listing below a deleted folder works by name.
    auto r = Q("--json list " + Quote(image) + " /Trash");
    ASSERT_EQ(r.exitCode, 0);
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["path"], "/Trash/?otes.txt");
    EXPECT_EQ(lines[0]["overwritten"], 0);
}

// Ctrl-C during a copy: the file cut short is kept as NAME.partial, the
// report says so, and nothing sits under the name of a whole file.
TEST(RecoverInterrupt, CtrlCKeepsTheCutFileAsPartial) {
    TempDir dir;
    const std::string image = dir.file("fat.img"), out = dir.file("out");
    // A sparse FAT32 volume whose one deleted file claims 256 MiB of free
    // clusters: far more than is copied before the signal comes.
    testutil::MustRun("truncate -s 512M " + Quote(image) + " && mkfs.fat -F 32 -s 1 " + Quote(image) +
                      " >/dev/null && head -c 600 /dev/zero > " + Quote(dir.file("big.bin")) +
                      " && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " + Quote(dir.file("big.bin")) +
                      " ::/big.bin && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(image) + " " + Quote(dir.file("big.bin")) +
                      " ::/later.bin && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image) + " ::/big.bin ::/later.bin");
    const std::string hit = testutil::MustRun("LC_ALL=C grep -obUaP '\\xE5IG {5}BIN' " + Quote(image));
    ASSERT_FALSE(hit.empty());
    testutil::PatchFile(image, std::stoull(hit) + 28, {0, 0, 0, 0x10});
    const std::string cut = out + "/_ig.bin";
    // Interrupt once data is being written (the file has no name until it is
    // complete), and until the process ends.
    const std::string script = Quarlix() + " --no-cache --json recover " + Quote(image) + " --all --to " + Quote(out) +
                               " 2>/dev/null & pid=$!; " + clitest::WaitUntilWritten(1 << 20) +
                               "while kill -INT $pid 2>/dev/null; do sleep 0.05; done; wait $pid; echo exit=$?";
    auto r = testutil::Run("bash -c " + Quote(script));
    EXPECT_NE(r.out.find("exit=130"), std::string::npos) << r.out;
    auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["status"], "failed");
    EXPECT_EQ(lines[0]["output"], cut + ".partial");
    EXPECT_NE(lines[0]["reason"].get<std::string>().find("kept as _ig.bin.partial"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1]["summary"]["failed"], 1);
    // The summary counts what was asked and what the stop left out.
    EXPECT_EQ(lines[1]["summary"]["asked"], 2);
    EXPECT_EQ(lines[1]["summary"]["not_attempted"], 1);
    EXPECT_EQ(lines[1]["summary"]["stop_reason"], "stopped by the user");
    EXPECT_FALSE(std::filesystem::exists(cut));
    ASSERT_TRUE(std::filesystem::exists(cut + ".partial"));
    const auto size = std::filesystem::file_size(cut + ".partial");
    EXPECT_EQ(size, lines[0]["bytes"].get<uint64_t>());
    EXPECT_GT(size, 0u);
    EXPECT_LT(size, 256u << 20);
}

// An emptied recycle bin (its $I and $R files deleted, as Windows empties
// it): `recover --all`, and the item chosen on its own, write it under
// $RecycleBin by its former name, once, and not under the name the bin gave it.
TEST(RecoverRecycleBin, EmptiedItemsComeBackUnderTheirFormerNames) {
    TempDir dir;
    const std::string image = dir.file("fat.img"), out = dir.file("out");
    // A $I record of version 2: version, size, deletion time, the path's length in characters, the path.
    const std::u16string former = u"E:\\Docs\\letter.doc";
    std::vector<uint8_t> info(28 + 2 * (former.size() + 1), 0);
    info[0] = 2;
    info[8] = 0x88, info[9] = 0x13;  // 5000 bytes
    info[24] = static_cast<uint8_t>(former.size() + 1);
    for (size_t i = 0; i < former.size(); ++i) info[28 + 2 * i] = static_cast<uint8_t>(former[i]);
    testutil::WriteFileBytes(dir.file("i"), info);
    testutil::WriteFileBytes(dir.file("r"), testutil::PatternBytes(5000, 7));
    const std::string bin = "'::/$RECYCLE.BIN/S-1-5-21-7-1001";
    const std::string m = "MTOOLS_SKIP_CHECK=1 ", img = " -i " + Quote(image) + " ";
    testutil::MustRun("mkfs.fat -C -F 16 " + Quote(image) + " 16384 >/dev/null && " + m + "mmd" + img +
                      "'::/$RECYCLE.BIN' " + bin + "' && " + m + "mcopy" + img + Quote(dir.file("i")) + " " + bin +
                      "/$IXYZ789.DOC' && " + m + "mcopy" + img + Quote(dir.file("r")) + " " + bin + "/$RXYZ789.DOC' && " +
                      m + "mdel" + img + bin + "/$IXYZ789.DOC' " + bin + "/$RXYZ789.DOC'");
    // The item as the bin named it, by its id: the same place as with --all (and in the window).
    const auto listed = testutil::Run(Quarlix() + " --no-cache --json list " + Quote(image) + " --recursive");
    std::string id, line;
    for (std::istringstream lines(listed.out); std::getline(lines, line);) {
        const auto row = nlohmann::json::parse(line, nullptr, false);
        if (row.is_object() && row.value("name", "").find("RXYZ789.DOC") != std::string::npos && row["id"].is_number())
            id = std::to_string(row["id"].get<uint64_t>());
    }
    ASSERT_FALSE(id.empty()) << listed.out;
    for (const std::string& selection : {std::string("--all"), id}) {
        const std::string to = out + selection;
        auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " " + selection + " --to " +
                               Quote(to) + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(testutil::ReadFileBytes(to + "/$RecycleBin/letter.doc"), testutil::PatternBytes(5000, 7)) << r.out;
        int data = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(to))
            data += e.is_regular_file() && testutil::ReadFileBytes(e.path().string()) == testutil::PatternBytes(5000, 7);
        EXPECT_EQ(data, 1) << "written once\n" << r.out;
    }
}

}  // namespace
