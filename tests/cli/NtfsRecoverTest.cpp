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
        if (std::string(c.status) == "skipped") {
            EXPECT_FALSE(lines[0]["reason"].get<std::string>().empty());
        }
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
    // (That recover reports each item where list lists it is DeletedCensusTest's check.)
    for (const auto& [path, md5] : published) {
        std::string sum = testutil::MustRun("md5sum < " + Quote(out + "/" + path));
        EXPECT_EQ(sum.substr(0, 32), md5) << path;
    }
}

// A name left in a folder index's slack has no data: --all counts it apart
// and succeeds, nothing is written for it (not even its folder); asked for
// by id it is reported under its path, and the run is not a success.
TEST(NtfsRecoverPublic, NamesWithoutDataAreCountedApart) {
    const std::string data = testutil::SharedTestData();
    const std::string image = data + "/dfirntfs-ntfs_index.raw";
    QUARLIX_REQUIRE(!data.empty() && std::filesystem::exists(image), "no shared test data");
    TempDir dir;
    const std::string q = Quarlix() + " --no-cache --json recover " + Quote(image) + " ";
    const struct {
        std::string items;
        int exitCode;
    } runs[] = {{"--all", 0}, {"4026531840", 1}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.items);
        const std::string out = dir.file("out" + std::to_string(run.exitCode));
        const auto r = testutil::Run(q + run.items + " --to " + Quote(out) + " 2>/dev/null");
        EXPECT_EQ(r.exitCode, run.exitCode);
        const auto lines = JsonLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[0]["path"], "/test_dir/BBBBBBBBBBBBB-del.txt");
        EXPECT_EQ(lines[0]["status"], "skipped");
        EXPECT_TRUE(lines[0]["output"].is_null());
        EXPECT_EQ(lines[1]["summary"]["names_without_data"], 1);
        EXPECT_EQ(lines[1]["summary"]["failed"], 0);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
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

// A file with three names in two folders, one a long name with its DOS
// alias, deleted the way Windows deletes a folder tree: the names leave the
// folder indexes, the record and the clusters are freed, and the record keeps
// every $FILE_NAME. Each name is an item of its own under its folder, with
// its own id, sharing the record's data; the alias is none. The ids stay the
// same after a restore from the index cache.
TEST(NtfsRecoverHardLinks, EachNameOfAFreedRecordIsAnItemWithTheSharedData) {
    TempDir dir;
    const std::string image = dir.file("links.img");
    const std::string longName = "/b/Yellow long name.txt";
    const ntfsfixture::DeletedFile data{longName, "random:5", 20000, {}, ""};
    auto fx = ntfsfixture::Make(image, "8M",
                                "mkdir /a\nmkdir /b\nwrite \"" + longName + "\" random:5 20000\n"
                                "dosname \"" + longName + "\" YELLOW~1.TXT\n"
                                "link \"" + longName + "\" /a/x.txt\nlink /a/x.txt /a/z.txt\n"
                                "write /a/keep.txt random:6 3000\nfree-record /a/x.txt\n");
    ASSERT_TRUE(fx.error.empty()) << fx.error;
    const uint32_t record = fx.deleted.at("/a/x.txt");
    const std::map<std::string, uint32_t> names = {
        {"/a/x.txt", fx.live.at("/a")}, {"/a/z.txt", fx.live.at("/a")}, {longName, fx.live.at("/b")}};

    // Sleuth Kit lists every name (not the alias) with the one record.
    const std::string fls = testutil::MustRun("fls -r -d -p " + Quote(image));
    std::map<std::string, std::string> tsk;  // path -> the record's address as fls prints it
    const std::regex line(R"(\* (\d+)-\d+-\d+:\t([^\n]+))");
    for (std::sregex_iterator it(fls.begin(), fls.end(), line), end; it != end; ++it) tsk["/" + (*it)[2].str()] = (*it)[1];
    for (const auto& [path, parent] : names) EXPECT_EQ(tsk[path], std::to_string(record)) << fls;
    EXPECT_EQ(fls.find("YELLOW~1"), std::string::npos) << fls;

    const std::string env = "XDG_CACHE_HOME=" + Quote(dir.file("cache")) + " ";
    auto run = [&](const std::string& args, bool cache = false) {
        return testutil::Run(env + Quarlix() + (cache ? "" : " --no-cache") + " --json " + args + " 2>/dev/null");
    };
    auto listed = [&](bool cache) {
        std::map<std::string, uint64_t> ids;
        for (const auto& j : JsonLines(run("list " + Quote(image) + " --recursive --deleted-only", cache).out))
            if (j.contains("id") && j["path"].get<std::string>().rfind("/$", 0) != 0) ids[j["path"]] = j["id"];
        return ids;
    };
    const auto ids = listed(false);
    ASSERT_EQ(ids.size(), names.size()) << testutil::MustRun(Quarlix() + " --no-cache list " + Quote(image) +
                                                             " --recursive --deleted-only 2>&1");
    EXPECT_EQ(ids.at(longName), record) << "the Win32 name keeps the record number";
    std::set<uint64_t> distinct;
    for (const auto& [path, id] : ids) distinct.insert(id);
    EXPECT_EQ(distinct.size(), ids.size());
    const auto want = ntfsfixture::Content(data);
    for (const auto& [path, parent] : names) {
        const uint64_t id = ids.at(path);
        const auto stat = JsonLines(run("stat " + Quote(image) + " " + std::to_string(id)).out);
        ASSERT_EQ(stat.size(), 1u) << path;
        EXPECT_EQ(stat[0]["path"], path);
        EXPECT_EQ(stat[0]["record"], record) << path;
        EXPECT_EQ(stat[0]["parent"], parent) << path;
        EXPECT_EQ(stat[0]["size"], data.size) << path;
        EXPECT_EQ(stat[0]["overwritten"], 0) << path;
        const std::string cat = dir.file("cat.bin");
        testutil::Run(Quarlix() + " --no-cache cat " + Quote(image) + " " + std::to_string(id) + " > " + Quote(cat) +
                      " 2>/dev/null");
        EXPECT_TRUE(testutil::ReadFileBytes(cat) == want) << path;
    }
    const std::string out = dir.file("all");
    auto r = run("recover " + Quote(image) + " --all --to " + Quote(out));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(Tree(out).size(), names.size());
    for (const auto& [path, parent] : names) EXPECT_TRUE(testutil::ReadFileBytes(out + path) == want) << path;

    // Saved to the cache, then restored from it: the same items with the same ids.
    EXPECT_EQ(listed(true), ids);
    EXPECT_EQ(listed(true), ids);
    EXPECT_FALSE(std::filesystem::is_empty(dir.file("cache")));
}

}  // namespace

// The root folder's INDX blocks unreadable (zeroed): /docs is in no index
// any more, but its record still names the root as its parent, and the
// deleted items below it keep their place in every listing, by path and in
// recover --all, as in the index counts.
TEST(NtfsDamagedFolderIndex, ItemsBelowAFolderNoIndexListsStayReachable) {
    TempDir dir;
    const std::string image = dir.file("damaged.img");
    std::string script;
    for (int i = 10; i < 50; ++i) script += "text /a-rather-long-root-file-name-" + std::to_string(i) + ".txt \"r\"\n";
    script +=
        "mkdir /docs/sub\nmkdir /docs/old\ntext /docs/a.txt \"alpha\"\nwrite /docs/sub/b.bin random:3 20000\n"
        "text /docs/old/c.txt \"gamma\"\ntext /gone.txt \"gone\"\n";
    for (const char* p : {"/docs/a.txt", "/docs/sub/b.bin", "/docs/old/c.txt", "/docs/old", "/gone.txt"})
        script += std::string("delete ") + p + "\n";
    auto fx = ntfsfixture::Make(image, "16M", script);
    ASSERT_TRUE(fx.error.empty()) << fx.error;
    const std::string istat = testutil::MustRun("istat " + Quote(image) + " 5");
    const size_t at = istat.find("Type: $INDEX_ALLOCATION");
    ASSERT_NE(at, std::string::npos) << istat;
    std::istringstream runs(istat.substr(istat.find('\n', at) + 1));
    int zeroed = 0;
    for (std::string c; runs >> c && c.find_first_not_of("0123456789") == std::string::npos; ++zeroed)
        testutil::PatchFile(image, std::stoull(c) * 4096, std::vector<uint8_t>(4096, 0));
    ASSERT_GE(zeroed, 1);

    auto run = [&](const std::string& args) {
        return testutil::Run(Quarlix() + " --no-cache --json " + args + " 2>/dev/null");
    };
    const std::set<std::string> files = {"/docs/a.txt", "/docs/sub/b.bin", "/docs/old/c.txt", "/gone.txt"};
    std::set<std::string> listed;
    for (const auto& j : JsonLines(run("list " + Quote(image) + " --recursive --deleted-only").out))
        if (j.contains("path") && !j["folder"].get<bool>()) listed.insert(j["path"].get<std::string>());
    EXPECT_EQ(listed, files);
    const auto index = JsonLines(run("index " + Quote(image)).out);
    ASSERT_FALSE(index.empty());
    EXPECT_EQ(index.back()["deleted_files"], files.size());
    EXPECT_EQ(index.back()["deleted_folders"], 1);
    for (const auto& path : files) EXPECT_EQ(run("stat " + Quote(image) + " " + path).exitCode, 0) << path;
    EXPECT_EQ(run("cat " + Quote(image) + " /docs/old/c.txt").out, "gamma");
    auto r = run("recover " + Quote(image) + " --all --to " + Quote(dir.file("out")));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::set<std::string> written;
    for (const auto& [path, bytes] : Tree(dir.file("out"))) written.insert("/" + path);
    EXPECT_EQ(written, files);
    ntfsfixture::DeletedFile b{"/docs/sub/b.bin", "random:3", 20000, {}, ""};
    EXPECT_TRUE(testutil::ReadFileBytes(dir.file("out/docs/sub/b.bin")) == ntfsfixture::Content(b));
}
