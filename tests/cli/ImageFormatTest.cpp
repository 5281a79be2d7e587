// The samples inside every image format quarlix reads (E01, split raw sets,
// VHD, VHDX, VMDK, QCOW2), made by the formats' own tools: each lists and
// recovers exactly as the raw image does, through one open of the source.
// A broken set is refused naming the broken file, and a source without NTFS
// or FAT is refused naming what libblkid finds there.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::MustRun;
using testutil::Quote;
namespace fs = std::filesystem;

namespace {

struct Format {
    const char* name;
    const char* tool;
    const char* make;  // shell command run in the fixture folder; {} is the sample's name
    const char* open;  // the file quarlix is given
    const char* kind;  // info's "container"
    size_t files[2];   // info's "container_files" for the FAT (4 MiB) and NTFS (8 MiB) samples; 0: two or more
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }

const Format kFormats[] = {
    {"raw", "gunzip", "true", "{}.img", "raw image", {1, 1}},
    {"E01", "ewfacquire", "ewfacquire -u -q -c none -S 1048576 -t {}-ewf {}.img >/dev/null", "{}-ewf.E01", "E01",
     {0, 0}},
    {"split_001", "split", "split -b 1M -d -a 3 --numeric-suffixes=1 {}.img {}.img.", "{}.img.001",
     "split raw image", {4, 8}},
    {"split_aa", "split", "split -b 1M {}.img {}-piece.", "{}-piece.aa", "split raw image", {4, 8}},
    {"VHD", "qemu-img", "qemu-img convert -f raw -O vpc {}.img {}.vhd", "{}.vhd", "VHD", {1, 1}},
    {"VHDX", "qemu-img", "qemu-img convert -f raw -O vhdx {}.img {}.vhdx", "{}.vhdx", "VHDX", {1, 1}},
    {"VMDK", "qemu-img", "qemu-img convert -f raw -O vmdk {}.img {}.vmdk", "{}.vmdk", "VMDK", {1, 1}},
    {"QCOW2", "qemu-img", "qemu-img convert -f raw -O qcow2 {}.img {}.qcow2", "{}.qcow2", "QCOW2", {1, 1}},
};
const char* const kSamples[] = {"fat", "ntfs"};

std::string Fill(std::string s, const std::string& sample) {
    for (size_t at; (at = s.find("{}")) != std::string::npos;) s.replace(at, 2, sample);
    return s;
}

// What list and recover --all give for one source.
struct Outcome {
    int listExit = -1, recoverExit = -1;
    std::string list, tree;
    nlohmann::json summary;
};

class ImageFormatTest : public ::testing::TestWithParam<Format> {
protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<testutil::TempDir>();
        for (const char* s : kSamples) {
            MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + s + "-sample.img.gz") + " > " +
                    Quote(File(std::string(s) + ".img")));
            raw[s] = Open(File(std::string(s) + ".img"), std::string(s) + "-baseline");
        }
    }
    static void TearDownTestSuite() { dir.reset(); }

    static std::string File(const std::string& name) { return dir->file(name); }
    static testutil::CommandResult Q(const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache " + args + " 2>&1");
    }
    static Outcome Open(const std::string& source, const std::string& tag) {
        Outcome o;
        auto r = Q("list --recursive " + Quote(source));
        o.listExit = r.exitCode;
        o.list = r.out;
        const std::string out = File(tag + "-out");
        r = Q("--json recover " + Quote(source) + " --all --to " + Quote(out));
        o.recoverExit = r.exitCode;
        auto lines = JsonLines(r.out);
        if (!lines.empty()) o.summary = lines.back()["summary"];
        o.tree = out;
        return o;
    }
    static std::unique_ptr<testutil::TempDir> dir;
    static std::map<std::string, Outcome> raw;
};
std::unique_ptr<testutil::TempDir> ImageFormatTest::dir;
std::map<std::string, Outcome> ImageFormatTest::raw;

TEST_P(ImageFormatTest, ListsAndRecoversAsTheRawImage) {
    const Format& f = GetParam();
    QUARLIX_REQUIRE(testutil::HaveTool(f.tool), f.tool << " is not installed");
    for (int i = 0; i < 2; ++i) {
        const std::string s = kSamples[i];
        SCOPED_TRACE(s);
        MustRun("cd " + Quote(dir->path().string()) + " && " + Fill(f.make, s));
        const std::string source = File(Fill(f.open, s));
        const Outcome& want = raw[s];
        ASSERT_EQ(want.listExit, 0) << want.list;
        ASSERT_LE(want.recoverExit, 1);  // 1: the NTFS sample's budget.xls is partly overwritten
        ASSERT_GT(want.summary.value("files", 0), 0) << want.summary;
        const Outcome got = Open(source, s + "-" + f.name);
        EXPECT_EQ(got.listExit, 0);
        EXPECT_EQ(got.list, want.list);
        EXPECT_EQ(got.recoverExit, want.recoverExit);
        auto r = testutil::Run("diff -r " + Quote(want.tree) + " " + Quote(got.tree) + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(got.summary.value("source_opens", -1), 1) << got.summary;
        for (const char* key : {"files", "folders", "bytes", "failed", "incomplete", "skipped", "unverified"})
            EXPECT_EQ(got.summary[key], want.summary[key]) << key;

        auto info = JsonLines(Q("--json info " + Quote(source)).out);
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(info[0]["container"], f.kind);
        const auto& files = info[0]["container_files"];
        if (f.files[i] == 0)
            EXPECT_GE(files.size(), 2u) << files;
        else
            EXPECT_EQ(files.size(), f.files[i]) << files;
        ASSERT_FALSE(files.empty());
        EXPECT_EQ(files[0], fs::canonical(source).string());
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageFormatTest, ::testing::ValuesIn(kFormats),
                         [](const auto& i) { return std::string(i.param.name); });

// A whole disk with an MBR partition table, inside a container: the
// partition is found as on the raw disk.
TEST_F(ImageFormatTest, PartitionTableInsideAContainer) {
    QUARLIX_REQUIRE(testutil::HaveTool("qemu-img"), "qemu-img is not installed");
    QUARLIX_REQUIRE(testutil::HaveTool("sfdisk"), "sfdisk is not installed");
    const std::string disk = File("mbr.img"), vhdx = File("mbr.vhdx");
    MustRun("truncate -s 6M " + Quote(disk) + " && echo 'start=2048, size=8192, type=c' | sfdisk -q " + Quote(disk) +
            " && dd if=" + Quote(File("fat.img")) + " of=" + Quote(disk) +
            " bs=512 seek=2048 conv=notrunc status=none && qemu-img convert -f raw -O vhdx " + Quote(disk) + " " +
            Quote(vhdx));
    auto r = Q("list --recursive " + Quote(vhdx));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, raw["fat"].list);
}

// A set with a piece or segment missing or cut short is refused, naming that file.
TEST_F(ImageFormatTest, BrokenSetsNameTheBrokenFile) {
    QUARLIX_REQUIRE(testutil::HaveTool("ewfacquire"), "ewfacquire is not installed");
    const fs::path d = fs::weakly_canonical(dir->path() / "broken");
    fs::create_directories(d);
    const std::string fat = File("fat.img");
    MustRun("cd " + Quote(d.string()) + " && split -n 3 -d -a 3 --numeric-suffixes=1 " + Quote(fat) +
            " cut.img. && rm cut.img.002 && ewfacquire -u -q -c none -S 1048576 -t ewf " + Quote(fat) +
            " >/dev/null && truncate -s $(( $(stat -c %s ewf.E02) / 2 )) ewf.E02");
    const std::pair<std::string, std::string> sets[] = {{"cut.img.001", "cut.img.002"}, {"ewf.E01", "ewf.E02"}};
    for (const auto& [open, broken] : sets) {
        for (const std::string& cmd : {std::string("list --recursive {}"), std::string("info {}"),
                                       "--json recover {} --all --to " + Quote(File("bo"))}) {
            auto r = Q(Fill(cmd, Quote((d / open).string())));
            EXPECT_EQ(r.exitCode, 3) << cmd << open << "\n" << r.out;
            EXPECT_NE(r.out.find((d / broken).string()), std::string::npos) << cmd << open << "\n" << r.out;
        }
    }
    EXPECT_FALSE(fs::exists(File("bo")) && !fs::is_empty(File("bo"))) << "nothing is written from a broken set";
}

// No file system of ours: the message names what is there instead.
TEST_F(ImageFormatTest, OtherContentIsNamed) {
    for (const char* tool : {"mkfs.ext4", "cryptsetup", "sfdisk"})
        QUARLIX_REQUIRE(testutil::HaveTool(tool), tool << " is not installed");
    const std::string e4 = File("e4.img"), luks = File("luks.img"), zero = File("zero.img"), two = File("two.img");
    MustRun("truncate -s 8M " + Quote(e4) + " " + Quote(zero) + " && truncate -s 20M " + Quote(luks) +
            " && truncate -s 18M " + Quote(two) + " && mkfs.ext4 -q -F " + Quote(e4) +
            " && printf pass | cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 "
            "--pbkdf-force-iterations 1000 " +
            Quote(luks) + " - && printf 'start=2048, size=16384, type=7\\nstart=18432, size=16384, type=83\\n' | "
                          "sfdisk -q " +
            Quote(two) + " && dd if=" + Quote(e4) + " of=" + Quote(two) +
            " bs=512 seek=18432 conv=notrunc status=none");
    const struct {
        std::string file;
        std::vector<std::string> said;
    } cases[] = {
        {e4, {e4 + ": ext4 volume, not supported; the surface scan (quarlix scan)"}},
        {luks, {luks + ": LUKS volume, not supported; its content is encrypted: unlock it first (cryptsetup open)"}},
        {zero, {zero + ": empty (its first bytes are all zeros); the surface scan (quarlix scan)"}},
        {two, {two + "; partitions:\n  1: ", "(empty)\n  2: ", "(ext4)"}},
    };
    for (const auto& c : cases) {
        auto r = Q("list --recursive " + Quote(c.file));
        EXPECT_EQ(r.exitCode, 3) << c.file << "\n" << r.out;
        for (const auto& s : c.said) EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out;
    }
}

}  // namespace
