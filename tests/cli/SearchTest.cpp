// `quarlix search` end to end: on the samples and on public FAT and NTFS
// images, what it finds by name, size and date agrees with the recursive
// deleted listing of `quarlix list` filtered by the same criteria; bad
// criteria are usage errors (UsageTest). (That ids stay the same through the cache is
// shown for list in ItemIdTest and for the index's search in
// index/CacheRoundTripTest.)
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using testutil::Quote;

namespace {

struct Found {
    uint64_t id = 0;
    std::string path;
    std::string name;
    uint64_t size = 0;
    bool folder = false;
    bool lost = false;
    std::string created, modified;  // ISO 8601 UTC or ""
    int overwritten = -1;

    auto Key() const { return std::tie(path, id, size, folder, lost, created, modified, overwritten); }
    bool operator<(const Found& o) const { return Key() < o.Key(); }
    bool operator==(const Found& o) const { return Key() == o.Key(); }
};

std::ostream& operator<<(std::ostream& os, const Found& f) { return os << f.path << " #" << f.id; }

// Seconds of a time as the JSON carries it, on the volume's clock: NTFS UTC
// ("...Z"), FAT the zone-less wall clock (counted as if UTC).
int64_t UtcSeconds(const std::string& iso) {
    std::tm t {};
    if (iso.empty() || !strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%S", &t)) return INT64_MIN;
    return static_cast<int64_t>(timegm(&t));
}

// A time in the form the command line takes without a zone: local time for
// a UTC (NTFS) volume, the wall clock itself for a FAT one.
bool g_utcClock = true;
std::string LocalText(int64_t seconds, const char* format = "%Y-%m-%dT%H:%M:%S") {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local {};
    if (g_utcClock)
        localtime_r(&t, &local);
    else
        gmtime_r(&t, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &local);
    return buf;
}

std::string Lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

class SearchCommand : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        const std::string& name = GetParam();
        if (name == "fat-sample" || name == "ntfs-sample") {
            image = dir.file(name + ".img");
            testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + name + ".img.gz") + " > " +
                              Quote(image));
        } else {
            const std::string shared = testutil::SharedTestData();
            QUARLIX_REQUIRE(!shared.empty(), "shared test data absent");
            image = shared + "/" + name;
        }
        // The recycle bin's view repeats items listed in their own folders;
        // the entries of $LostFolders itself stand for records that now hold
        // something else and are no deleted items of the index.
        for (const Found& f : Quarlix("list " + Quote(image) + " --recursive --deleted-only")) {
            if (f.path.rfind("/$RecycleBin/", 0) == 0) continue;
            if (f.path.rfind("/$LostFolders/", 0) == 0 && f.path.find('/', 14) == std::string::npos) continue;
            listed.push_back(f);
        }
        ASSERT_FALSE(listed.empty()) << "the image holds deleted items";
    }

    // Runs quarlix with --json; the JSON lines parsed.
    std::vector<Found> Quarlix(const std::string& args) {
        auto r = testutil::Run("(" + testutil::BinDir() + "/quarlix --progress never --json --no-cache " + args +
                               " 2>" + Quote(dir.file("err")) + ")");
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << testutil::Run("cat " + Quote(dir.file("err"))).out;
        std::vector<Found> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            if (j.is_discarded() || !j.is_object()) {
                ADD_FAILURE() << "not a JSON object: " << line;
                continue;
            }
            if (j.value("kind", "") == "warning") continue;  // a warning of its own (a short image)
            Found f;
            f.id = j["id"].is_null() ? 0 : j["id"].get<uint64_t>();
            f.path = j["path"];
            f.name = j["name"];
            f.size = j["size"];
            f.folder = j["folder"];
            f.lost = j["lost"];
            f.created = j["created"].is_null() ? "" : j["created"].get<std::string>();
            f.modified = j["modified"].is_null() ? "" : j["modified"].get<std::string>();
            f.overwritten = j["overwritten"].is_null() ? -1 : j["overwritten"].get<int>();
            EXPECT_TRUE(j["deleted"].get<bool>()) << line;
            out.push_back(f);
        }
        return out;
    }

    // The search's results against the listing filtered by the same test.
    void Agree(const std::string& criteria, const std::function<bool(const Found&)>& keep, bool expectSome = true) {
        auto found = Quarlix("search " + Quote(image) + " " + criteria);
        std::multiset<Found> a(found.begin(), found.end()), b;
        for (const auto& f : listed)
            if (keep(f)) b.insert(f);
        EXPECT_EQ(a, b) << criteria;
        if (expectSome) {
            EXPECT_FALSE(b.empty()) << criteria << ": the case must select something";
        }
    }

    const Found& FirstFile() const {
        for (const auto& f : listed)
            if (!f.folder && f.size > 0 && !f.modified.empty()) return f;
        return listed.front();
    }

    testutil::TempDir dir;
    std::string image;
    std::vector<Found> listed;
};

TEST_P(SearchCommand, WithoutCriteriaFindsEveryDeletedItem) {
    Agree("", [](const Found&) { return true; });
}

TEST_P(SearchCommand, NamesMatchAsPartOrWholeWithoutCase) {
    const Found& pick = FirstFile();
    // A part of the name in another case.
    std::string part = pick.name.size() > 3 ? pick.name.substr(1, 3) : pick.name;
    std::string upper = part;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find_first_of("*?[]!`") == std::string::npos)
        Agree("--name " + Quote(upper), [&](const Found& f) { return Lower(f.name).find(Lower(part)) != std::string::npos; });
    // The whole name.
    if (pick.name.find_first_of("*?[]!`") == std::string::npos) {
        Agree("--whole-name --name " + Quote(pick.name), [&](const Found& f) { return Lower(f.name) == Lower(pick.name); });
        Agree("--whole-name --name " + Quote(pick.name.substr(1)),
              [&](const Found& f) { return Lower(f.name) == Lower(pick.name.substr(1)); }, false);
    }
    // A pattern: every name that holds a dot.
    Agree("--name .", [](const Found& f) { return f.name.find('.') != std::string::npos; });
}

TEST_P(SearchCommand, SizesAreInclusiveKibRanges) {
    const Found& pick = FirstFile();
    const uint64_t kib = pick.size / 1024;
    Agree("--size " + std::to_string(kib) + "-" + std::to_string(kib + 1),
          [&](const Found& f) { return f.size >= kib * 1024 && f.size <= (kib + 1) * 1024; });
    Agree("--size 0-0", [](const Found& f) { return f.size == 0; }, false);
    Agree("--size " + std::to_string(kib + 1) + "-",
          [&](const Found& f) { return f.size >= (kib + 1) * 1024; }, false);
}

TEST_P(SearchCommand, DatesAreLocalTimeRanges) {
    const Found& pick = FirstFile();
    const int64_t t = UtcSeconds(pick.modified);
    ASSERT_NE(t, INT64_MIN) << pick.modified;
    g_utcClock = pick.modified.back() == 'Z';
    EXPECT_EQ(g_utcClock, GetParam() == "ntfs-sample" || GetParam().find("-ntfs-") != std::string::npos) << "NTFS times are UTC, FAT times zone-less";
    // One exact second (both bounds equal).
    Agree("--modified " + LocalText(t) + ".." + LocalText(t),
          [&](const Found& f) { return UtcSeconds(f.modified) == t; });
    // The whole local day.
    const std::string day = LocalText(t, "%Y-%m-%d");
    Agree("--modified " + day + ".." + day,
          [&](const Found& f) { return !f.modified.empty() && LocalText(UtcSeconds(f.modified), "%Y-%m-%d") == day; });
    // Created up to that moment (an open lower end).
    Agree("--created .." + LocalText(t),
          [&](const Found& f) { return !f.created.empty() && UtcSeconds(f.created) <= t; }, false);
}

INSTANTIATE_TEST_SUITE_P(Images, SearchCommand,
                         ::testing::Values("fat-sample", "ntfs-sample", "dftt-6-fat-undel.dd", "dftt-7-ntfs-undel.dd",
                                           "dfirntfs-fat_deleted_dir_2.raw"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

// Names as a person types them. A FAT short name whose first letter is lost
// (mdel leaves "?OTES.TXT") matches any letter there, in searches and in
// paths, where it may also be given as "?" or as the "_" recovery writes
// while only one item fits. Letters of every script compare without case,
// on NTFS also as the volume's $UpCase says (patched here to map dotless ı to
// I, as Windows's table does and Unicode folding does not).
TEST(SearchCommandNames, LostFirstLettersAndCaseOfEveryScript) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mkntfs") &&
                        testutil::HaveTool("istat"),
                    "mkfs.fat, mtools, mkntfs and Sleuth Kit are needed");
    testutil::TempDir dir;
    const std::string fat = dir.file("fat.img"), ntfs = dir.file("ntfs.img");
    const std::string files = dir.file("files");
    testutil::MustRun("mkdir -p " + Quote(files) + " && cd " + Quote(files) +
                      " && for f in NOTES.TXT VOTES.TXT photo.jpg Ștefan.txt Ґанок.txt INSIDE.TXT; do "
                      "echo $f > $f; done");
    const std::string m = "MTOOLS_SKIP_CHECK=1 ";
    const std::string in = " -i " + Quote(fat) + " ";
    testutil::MustRun("mkfs.fat -C " + Quote(fat) + " 4096 >/dev/null && cd " + Quote(files) + " && " + m + "mmd" + in +
                      "::docs ::twins ::gone && " + m + "mcopy" + in +
                      "NOTES.TXT photo.jpg Ștefan.txt Ґанок.txt ::docs && " + m + "mcopy" + in +
                      "NOTES.TXT VOTES.TXT ::twins && " + m + "mcopy" + in + "INSIDE.TXT ::gone && " + m + "mdel" + in +
                      "::docs/NOTES.TXT ::docs/photo.jpg ::docs/Ștefan.txt ::docs/Ґанок.txt ::twins/NOTES.TXT "
                      "::twins/VOTES.TXT && " + m + "mdeltree" + in + "::gone");
    testutil::MustRun("truncate -s 8M " + Quote(ntfs) + " && mkntfs -F -Q -q " + Quote(ntfs) +
                      " 2>/dev/null && printf '" +
                      "mkdir /d\\nwrite /d/Ștefan.txt text:1 100\\nwrite /d/Ґанок.txt text:2 100\\n"
                      "write /d/ıdx.txt text:3 100\\ndelete /d/Ștefan.txt\\ndelete /d/Ґанок.txt\\n"
                      "delete /d/ıdx.txt\\n' | " + Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(ntfs) +
                      " - >/dev/null");
    // $UpCase (record 10) is 64 Ki characters from its first cluster on.
    const uint64_t upCase = std::stoull(
        testutil::MustRun("istat " + Quote(ntfs) + " 10 | awk '/^Type: \\$DATA/ {getline; print $1; exit}'"));
    const uint64_t clusterSize =
        std::stoull(testutil::MustRun("fsstat " + Quote(ntfs) + " | awk '/^Cluster Size:/ {print $3}'"));
    testutil::MustRun("printf 'I\\000' | dd of=" + Quote(ntfs) + " bs=1 seek=" +
                      std::to_string(upCase * clusterSize + 2 * 0x131) + " conv=notrunc status=none");

    auto run = [&](const std::string& args) {
        return testutil::Run("(" + testutil::BinDir() + "/quarlix --no-cache --progress never --json " + args +
                             " 2>/dev/null)");
    };
    const std::multiset<std::string> notes {"/docs/?OTES.TXT", "/twins/?OTES.TXT", "/twins/?OTES.TXT"};
    struct SearchCase {
        const std::string& image;
        std::string criteria;
        std::multiset<std::string> paths;
    };
    for (const SearchCase& c : std::vector<SearchCase> {
             {fat, "--name photo", {"/docs/?hoto.jpg"}},
             {fat, "--name notes", notes},
             {fat, "--name '[m-n]otes'", notes},
             {fat, "--whole-name --name notes.txt", notes},
             {fat, "--name ștefan", {"/docs/Ștefan.txt"}},
             {fat, "--name ґанок", {"/docs/Ґанок.txt"}},
             {ntfs, "--name ștefan", {"/d/Ștefan.txt"}},
             {ntfs, "--name ҐАНОК", {"/d/Ґанок.txt"}},
             {ntfs, "--name IDX", {"/d/ıdx.txt"}},
         }) {
        auto r = run("search " + Quote(c.image) + " " + c.criteria);
        EXPECT_EQ(r.exitCode, 0) << c.criteria;
        std::multiset<std::string> paths;
        for (const auto& j : clitest::JsonLines(r.out)) paths.insert(j["path"].get<std::string>());
        EXPECT_EQ(paths, c.paths) << c.criteria;
    }
    struct PathCase {
        std::string typed;
        std::string path;  // the item stat shows, "" when none may be found
    };
    for (const PathCase& c : std::vector<PathCase> {
             {"/docs/_OTES.TXT", "/docs/?OTES.TXT"},
             {"/docs/?OTES.TXT", "/docs/?OTES.TXT"},
             {"/docs/notes.txt", "/docs/?OTES.TXT"},
             {"/docs/_hoto.jpg", "/docs/?hoto.jpg"},
             {"/docs/_OTES.TX", ""},
             {"/docs/__OTES.TXT", ""},
             {"/twins/_OTES.TXT", ""},  // NOTES.TXT and VOTES.TXT: which one?
             {"/_ONE/_NSIDE.TXT", "/?one/?NSIDE.TXT"},
         }) {
        auto r = run("stat " + Quote(fat) + " " + Quote(c.typed));
        auto lines = clitest::JsonLines(r.out);
        if (c.path.empty()) {
            EXPECT_EQ(r.exitCode, 2) << c.typed;
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << c.typed;
        ASSERT_EQ(lines.size(), 1u) << c.typed;
        EXPECT_EQ(lines[0]["path"], c.path) << c.typed;
    }
}

}  // namespace
