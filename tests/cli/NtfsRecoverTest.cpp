// `quarlix recover --all` end to end on NTFS: the fixture image of
// NtfsRecoveryFixture.h (checked against the content the fixture wrote and
// against Sleuth Kit's tsk_recover) and the public DFTT NTFS image (checked
// against its published MD5s).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "NtfsRecoveryFixture.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
using testutil::TempDir;

namespace {

// Every regular file under root: relative path -> bytes.
std::map<std::string, std::vector<uint8_t>> Tree(const std::string& root) {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file())
            out[std::filesystem::relative(e.path(), root).string()] = testutil::ReadFileBytes(e.path().string());
    return out;
}

class NtfsRecoverCliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_image = s_dir->file("fixture.img");
        s_fixture = new ntfsfixture::Image(ntfsfixture::Make(s_image));
    }
    static void TearDownTestSuite() {
        delete s_fixture;
        delete s_dir;
    }
    void SetUp() override { ASSERT_TRUE(s_fixture->error.empty()) << s_fixture->error; }
    testutil::CommandResult Q(const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache " + args + " 2>" + Quote(dir.file("err.txt")));
    }
    // Where --all writes a fixture path: deleted items under their folder,
    // the lost folder's child under $LostFolders.
    static std::string OutputOf(const std::string& path) {
        if (path.rfind("/lostparent/", 0) == 0)
            return "/$LostFolders/Folder" + std::to_string(s_fixture->deleted.at("/lostparent")) +
                   path.substr(std::string("/lostparent").size());
        return path;
    }

    static TempDir* s_dir;
    static std::string s_image;
    static ntfsfixture::Image* s_fixture;
    TempDir dir;
};

TempDir* NtfsRecoverCliTest::s_dir = nullptr;
std::string NtfsRecoverCliTest::s_image;
ntfsfixture::Image* NtfsRecoverCliTest::s_fixture = nullptr;

TEST_F(NtfsRecoverCliTest, RecoverAllWritesTheOriginalContentAndAgreesWithTskRecover) {
    const std::string out = dir.file("out");
    auto r = Q("--json recover " + Quote(s_image) + " --all --to " + Quote(out));
    // One file is incomplete, so the exit status says "partly".
    EXPECT_EQ(r.exitCode, 1) << r.out;
    auto lines = JsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    std::map<std::string, std::string> status;
    for (const auto& j : lines)
        if (j.contains("status") && !j["path"].is_null()) status[j["path"]] = j["status"];
    EXPECT_EQ(status["/partial.bin"], "incomplete");
    EXPECT_EQ(lines.back()["summary"]["failed"], 0);
    EXPECT_EQ(lines.back()["summary"]["incomplete"], 1);

    // Everything contiguous and not overwritten, streams, compressed and sparse included.
    for (const auto& f : ntfsfixture::IntactFiles()) {
        const std::string path = OutputOf(f.path);
        EXPECT_EQ(testutil::ReadFileBytes(out + path), ntfsfixture::Content(f)) << path;
        const std::string main = path.substr(0, path.find(':'));
        EXPECT_EQ(status[main], "ok") << main;
    }
    EXPECT_FALSE(std::filesystem::exists(out + "/live.bin")) << "live files are not recovered";
    EXPECT_TRUE(std::filesystem::is_directory(out + "/old/inner"));

    // Sleuth Kit on the same image. Where it differs, it is by design:
    // - tsk_recover writes the default stream only: no "name:stream" files;
    // - the orphan goes to $OrphanFiles/, ours to $LostFolders/Folder<record>/;
    // - /partial.bin: tsk_recover copies whatever its clusters hold now, so
    //   the clusters /cover.bin took come out with cover's bytes; we write
    //   zeros there and call the file incomplete. The rest is equal.
    ASSERT_TRUE(testutil::HaveTool("tsk_recover"));
    const std::string tsk = dir.file("tsk");
    std::filesystem::create_directories(tsk);
    testutil::MustRun("tsk_recover " + Quote(s_image) + " " + Quote(tsk) + " >/dev/null");
    auto theirs = Tree(tsk);
    auto ours = Tree(out);
    size_t compared = 0;
    for (const auto& f : ntfsfixture::IntactFiles()) {
        if (f.path.find(':') != std::string::npos) {
            EXPECT_FALSE(theirs.count(f.path.substr(1))) << f.path;
            continue;
        }
        std::string tskPath = f.path.substr(1);
        if (f.path.rfind("/lostparent/", 0) == 0) tskPath = "$OrphanFiles/" + tskPath.substr(11);
        ASSERT_TRUE(theirs.count(tskPath)) << tskPath;
        EXPECT_EQ(theirs[tskPath], ours[OutputOf(f.path).substr(1)]) << f.path;
        ++compared;
    }
    EXPECT_EQ(compared + 2, ntfsfixture::IntactFiles().size());
    const auto& mine = ours["partial.bin"];
    const auto& tskPartial = theirs["partial.bin"];
    const auto original = ntfsfixture::PartialOriginal();
    ASSERT_EQ(mine.size(), original.size());
    ASSERT_EQ(tskPartial.size(), original.size());
    fixture::Pattern cover;
    fixture::Pattern::Parse("random:11", cover);
    size_t blank = 0;
    for (size_t c = 0; c * 4096 < original.size(); ++c) {
        const size_t from = c * 4096, n = std::min<size_t>(4096, original.size() - from);
        const bool zeros = std::all_of(mine.begin() + from, mine.begin() + from + n, [](uint8_t b) { return b == 0; });
        if (zeros) {
            ++blank;
            // There, Sleuth Kit hands out /cover.bin's data as /partial.bin's.
            EXPECT_EQ(std::vector<uint8_t>(tskPartial.begin() + from, tskPartial.begin() + from + n),
                      cover.Bytes(from, n));
        } else {
            EXPECT_TRUE(std::equal(mine.begin() + from, mine.begin() + from + n, original.begin() + from)) << c;
            EXPECT_TRUE(std::equal(tskPartial.begin() + from, tskPartial.begin() + from + n, original.begin() + from));
        }
    }
    EXPECT_EQ(blank, 40u);  // /cover.bin's 40 clusters
}

TEST_F(NtfsRecoverCliTest, SecondRunIntoTheSameFolderRenamesAndOverwritesNothing) {
    const std::string out = dir.file("out");
    Q("--json recover " + Quote(s_image) + " --all --to " + Quote(out));
    const auto first = Tree(out);
    ASSERT_FALSE(first.empty());
    auto r = Q("--json recover " + Quote(s_image) + " --all --to " + Quote(out));
    EXPECT_EQ(r.exitCode, 1) << r.out;
    const auto second = Tree(out);
    for (const auto& [path, bytes] : first) {
        ASSERT_TRUE(second.count(path)) << path;
        EXPECT_EQ(second.at(path), bytes) << path;
    }
    // Conflicts take the record number: "report (<record>).bin", deleted folders "old (<record>)".
    const std::string report = "docs/report (" + std::to_string(s_fixture->deleted.at("/docs/report.bin")) + ").bin";
    ASSERT_TRUE(second.count(report));
    EXPECT_EQ(second.at(report), first.at("docs/report.bin"));
    const std::string streams = "docs/streams (" + std::to_string(s_fixture->deleted.at("/docs/streams.txt")) + ").txt";
    EXPECT_EQ(second.at(streams + ":ads"), first.at("docs/streams.txt:ads"));
    const std::string old = "old (" + std::to_string(s_fixture->deleted.at("/old")) + ")/inner/b.bin";
    EXPECT_EQ(second.at(old), first.at("old/inner/b.bin"));
    EXPECT_EQ(second.size(), 2 * first.size());

    // --on-conflict with report.bin and its conflict name taken: skip keeps
    // both and counts the item skipped; rename goes on past the record-number
    // name to the first free "(n)"; overwrite replaces report.bin itself.
    const std::string renamed = "report (" + std::to_string(s_fixture->deleted.at("/docs/report.bin")) + ").bin";
    const std::string single = out + "/single/";
    std::filesystem::create_directories(single);
    testutil::WriteFileBytes(single + "report.bin", {1, 2, 3});
    testutil::WriteFileBytes(single + renamed, {4, 5, 6});
    const auto& content = first.at("docs/report.bin");
    const std::vector<uint8_t> mine {1, 2, 3}, theirs {4, 5, 6};
    const struct {
        const char* policy;
        const char* status;
        std::string output;
        const std::vector<uint8_t>& reportBin;
    } cases[] = {
        {"skip", "skipped", single + "report.bin", mine},
        {"rename", "ok", single + "report (2).bin", mine},
        {"rename", "ok", single + "report (3).bin", mine},
        {"overwrite", "ok", single + "report.bin", content},
    };
    for (const auto& c : cases) {
        r = Q("--json recover " + Quote(s_image) + " --on-conflict " + c.policy + " --to " + Quote(single) +
              " /docs/report.bin");
        EXPECT_EQ(r.exitCode, 0) << c.policy << "\n" << r.out;
        auto lines = JsonLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[0]["status"], c.status) << c.policy;
        EXPECT_EQ(lines[0]["output"], c.output) << c.policy;
        EXPECT_EQ(lines.back()["summary"]["skipped"], std::string(c.status) == "skipped" ? 1 : 0);
        EXPECT_EQ(lines.back()["summary"]["failed"], 0);
        if (std::string(c.status) == "ok") {
            EXPECT_EQ(testutil::ReadFileBytes(c.output), content) << c.policy;
        }
        EXPECT_EQ(testutil::ReadFileBytes(single + "report.bin"), c.reportBin) << c.policy;
        EXPECT_EQ(testutil::ReadFileBytes(single + renamed), theirs) << c.policy;
    }
}

// The DFTT NTFS undelete image with its published MD5s: resident data,
// fragmented files, a deleted stream, a deleted folder tree and a file
// whose folder's record was reused (a lost folder).
TEST(NtfsRecoverPublic, DfttUndeleteImageGivesThePublishedContent) {
    const std::string data = testutil::SharedTestData();
    QUARLIX_REQUIRE(!data.empty() && std::filesystem::exists(data + "/dftt-7-ntfs-undel.dd"), "no shared test data");
    TempDir dir;
    const std::string out = dir.file("out");
    auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(data + "/dftt-7-ntfs-undel.dd") +
                           " --all --to " + Quote(out) + " 2>/dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    const std::map<std::string, std::string> published = {
        {"res1.dat", "9036637712b491904cd0bfbdbe648453"},
        {"sing1.dat", "59b20779f69ff9f0ac5fcd2c38835a79"},
        {"mult1.dat", "ffd27bd782bdce67750b6b9ee069d2ef"},
        {"mult1.dat:ADS", "ba1b9eedb1c091ddca253d35dde8f616"},
        {"frag1.dat", "7a3bc5b763bef201202108f4ba128149"},
        {"frag2.dat", "0e80ab84ef0087e60dfc67b88a1cf13e"},
        {"dir1/mult2.dat", "59cf0e9cd107bc1e75afb7374f6e05bb"},
        {"dir1/dir2/frag3.dat", "21121699487f3fbbdb9a4b3391b6d3e0"},
        {"$LostFolders/Folder37/sing2.dat", "c229626f6a71b167ad7e50c4f2fccdb1"},
    };
    std::map<std::string, std::string> ours;
    for (const auto& [path, md5] : published) {
        std::string sum = testutil::MustRun("md5sum < " + Quote(out + "/" + path));
        EXPECT_EQ(sum.substr(0, 32), md5) << path;
    }
    std::set<std::string> paths;
    for (const auto& j : JsonLines(r.out))
        if (j.contains("path") && j["path"].is_string()) paths.insert(j["path"].get<std::string>());
    EXPECT_TRUE(paths.count("/$LostFolders/Folder37/sing2.dat"));
    EXPECT_TRUE(paths.count("/dir1/dir2/frag3.dat"));
}

// A deleted fragmented file whose attribute list spreads it over extension
// records: its $FILE_NAME in one, later $DATA pieces in others. libntfs-3g's
// unlink takes the $FILE_NAME out and shortens the list; Windows leaves the
// records as they were, in-use flags cleared and sequence numbers advanced,
// which the test puts back from a copy made before the delete.
TEST(NtfsRecoverExtensionRecords, DeletedFileComesBackWholeAndForeignExtensionsAreRefused) {
    TempDir dir;
    const std::string image = dir.file("ext.img"), before = dir.file("before.img");
    const ntfsfixture::DeletedFile big{"/Docs/big.bin", "random:7", 8000000, {}, ""};
    auto fx = ntfsfixture::Make(image, "48M", "mkdir /Docs\nfragment /Docs/big.bin random:7 8000000 4096\nremount\n");
    ASSERT_TRUE(fx.error.empty()) << fx.error;
    const uint32_t base = fx.live.at(big.path);
    testutil::MustRun("cp " + Quote(image) + " " + Quote(before) + " && " +
                      Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(image) + " delete " + big.path);
    const std::string istat = testutil::MustRun("istat " + Quote(before) + " " + std::to_string(base));
    std::set<uint32_t> records;
    uint32_t nameRecord = 0;
    const std::regex entry(R"(Type: (\d+)-\d+\s+MFT Entry: (\d+))");
    for (std::sregex_iterator it(istat.begin(), istat.end(), entry), end; it != end; ++it) {
        records.insert(static_cast<uint32_t>(std::stoul((*it)[2])));
        if ((*it)[1] == "48") nameRecord = static_cast<uint32_t>(std::stoul((*it)[2]));
    }
    ASSERT_GE(records.size(), 4u) << istat;  // base, name, two or more $DATA pieces
    ASSERT_NE(nameRecord, base) << istat;
    ASSERT_NE(testutil::MustRun("fsstat " + Quote(image)).find("Cluster Size: 4096"), std::string::npos);
    const auto mft = ntfsfixture::IstatClusters(image, 0);
    auto offset = [&](uint32_t rec) { return mft.at(rec / 4) * 4096 + rec % 4 * 1024; };
    const auto old = testutil::ReadFileBytes(before);
    auto record = [&](uint32_t rec) { return std::vector<uint8_t>(&old[offset(rec)], &old[offset(rec)] + 1024); };
    for (uint32_t rec : records) {
        auto r = record(rec);
        r[0x16] &= ~1;  // not in use
        ++r[0x10];      // sequence advanced
        testutil::PatchFile(image, offset(rec), r);
    }
    auto run = [&](const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache --json " + args + " 2>/dev/null");
    };
    auto listed = [&](const std::string& img) -> nlohmann::json {
        for (const auto& j : JsonLines(run("list " + Quote(img) + " /Docs --deleted-only").out))
            if (j.value("path", "") == big.path) return j;
        return nullptr;
    };
    const auto j = listed(image);
    ASSERT_FALSE(j.is_null());
    EXPECT_EQ(j["id"], base);
    EXPECT_EQ(j["size"], big.size);
    const auto want = ntfsfixture::Content(big);
    auto r = run("recover " + Quote(image) + " " + std::to_string(base) + " --to " + Quote(dir.file("one")));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_TRUE(testutil::ReadFileBytes(dir.file("one/big.bin")) == want);
    r = run("recover " + Quote(image) + " --all --to " + Quote(dir.file("all")));
    EXPECT_TRUE(testutil::ReadFileBytes(dir.file("all/Docs/big.bin")) == want);
    // The name's record claiming another base record, a base record number
    // past 32 bits, or another sequence: not this file's, so it has no name.
    const uint64_t seq = uint64_t(record(base)[0x10] | record(base)[0x11] << 8) << 48;
    for (uint64_t ref : {seq | (base + 1), seq | (uint64_t(1) << 32) | base, (seq + (uint64_t(5) << 48)) | base}) {
        const std::string copy = dir.file("crafted.img");
        testutil::MustRun("cp --sparse=always " + Quote(image) + " " + Quote(copy));
        auto r2 = record(nameRecord);
        r2[0x16] &= ~1;
        for (int i = 0; i < 8; ++i) r2[0x20 + i] = static_cast<uint8_t>(ref >> (8 * i));
        testutil::PatchFile(copy, offset(nameRecord), r2);
        EXPECT_TRUE(listed(copy).is_null()) << std::hex << ref;
    }
}

}  // namespace
