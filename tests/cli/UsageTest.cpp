// The command line as a new user meets it: where options go, what a mistake
// says, which clock a time is in, what cache clean leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

#include "cli/CliTestSupport.h"

namespace {

using testutil::Quote;

class UsageTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("fat.img");
        testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " +
                          Quote(image));
    }
    // stdout and stderr apart: messages must go to stderr, each starting "quarlix:".
    testutil::CommandResult Q(const std::string& args, std::string& err, const std::string& env = "") {
        const std::string errFile = dir.file("err.txt");
        auto r = testutil::Run("{ " + env + " " + clitest::Quarlix() + " " + args + " 2>" + Quote(errFile) + "; }");
        err = testutil::MustRun("cat " + Quote(errFile));
        return r;
    }
    testutil::TempDir dir;
    std::string image;
};

struct UsageCase {
    std::string args;  // IMG stands for the sample image, OUT for a fresh folder
    int exitCode;
    std::string inOut;  // expected in stdout
    std::string inErr;  // expected in stderr
};

TEST_F(UsageTest, MistakesAndOptionPlacesSayWhatTheyMean) {
    const UsageCase cases[] = {
        {"list IMG --json", 0, "\"path\":\"/Docs\"", ""},
        {"list IMG --deleted-only --progress never --no-cache", 0, "eadme.txt", ""},
        {"list IMG", 0, "Attr", ""},
        {"--help", 0, "info", ""},
        {"--version", 0, "quarlix ", ""},
        {"info", 2, "", ""},
        {"--log-level 7 drives", 2, "", "--log-level must be"},
        {"frobnicate", 2, "", "unknown command 'frobnicate'"},
        {"help list", 0, "--deleted-only", ""},
        {"help recover", 0, "--on-conflict", ""},
        {"scan --help", 0, "Type keys: zip", ""},
        {"info IMG --partition 0", 2, "", "--partition must be 1 or more"},
        {"list IMG --log-level 7", 2, "", "--log-level must be"},
        {"recover IMG 99999999999999999999999 --to OUT", 2, "", "ITEM must be an id"},
        {"stat IMG 18446744073709551616", 2, "", "ITEM must be an id"},
        {"scan IMG --types ''", 2, "", "--types must name at least one type"},
        {"info IMG/nothing-here", 3, "", "cannot open"},
    };
    std::vector<UsageCase> all(std::begin(cases), std::end(cases));
    for (const char* criteria : {"--size 5", "--size 9-3", "--size x-4", "--size 1-99999999999",
                                 "--modified 2020-13-01..", "--modified 2020-02-30..", "--modified 2020-01-01",
                                 "--created 2020-01-01..2021-01-01 --modified 2020-01-01..2021-01-01",
                                 "--created 2020-01-01T25:00:00..", "--created 2020-01-01x..", "--whole-name"})
        all.push_back({std::string("search IMG ") + criteria, 2, "", ""});
    for (const UsageCase& c : all) {
        SCOPED_TRACE(c.args);
        std::string args = c.args;
        for (auto [key, value] : {std::pair<std::string, std::string> {"IMG", image}, {"OUT", dir.file("out")}})
            for (size_t p; (p = args.find(key)) != std::string::npos;) args.replace(p, key.size(), value);
        std::string err;
        auto r = Q(args, err);
        EXPECT_EQ(r.exitCode, c.exitCode) << err;
        EXPECT_NE(r.out.find(c.inOut), std::string::npos) << r.out;
        EXPECT_NE(err.find(c.inErr), std::string::npos) << err;
        EXPECT_EQ(err.find("stoull"), std::string::npos);
        std::istringstream lines(err);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line[0] != '\r') {
                EXPECT_EQ(line.rfind("quarlix:", 0), 0u) << line;
            }
        }
    }
}

// FAT stores wall-clock times without a zone: what list prints, and what
// search finds with the time copied from it, must not move with TZ.
TEST_F(UsageTest, FatTimesDoNotMoveWithTheTimeZone) {
    std::string err;
    auto utc = Q("--json --no-cache list " + Quote(image) + " -r", err, "TZ=UTC");
    auto tokyo = Q("--json --no-cache list " + Quote(image) + " -r", err, "TZ=Asia/Tokyo");
    ASSERT_EQ(utc.exitCode, 0);
    EXPECT_EQ(utc.out, tokyo.out);
    std::string modified;
    for (const auto& j : clitest::JsonLines(utc.out))
        if (j["name"] == "Budget 2026.xls") modified = j["modified"];
    ASSERT_FALSE(modified.empty());
    EXPECT_NE(modified.back(), 'Z');
    for (const char* tz : {"TZ=UTC", "TZ=America/New_York"}) {
        auto found = Q("--json --no-cache search " + Quote(image) + " --modified " + modified + ".." + modified, err, tz);
        EXPECT_EQ(found.exitCode, 0) << err;
        EXPECT_NE(found.out.find("Budget 2026.xls"), std::string::npos) << tz << ": " << found.out;
    }
}

TEST_F(UsageTest, SearchTextHasOneLinePerMatchAndASummary) {
    std::string err;
    const auto json = Q("--no-cache --json search " + Quote(image), err);
    const auto text = Q("--no-cache search " + Quote(image), err);
    ASSERT_EQ(text.exitCode, 0);
    const auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
    EXPECT_GT(lines(json.out), 0);
    EXPECT_EQ(lines(text.out), lines(json.out));
    EXPECT_NE(err.find(std::to_string(lines(json.out)) + " found"), std::string::npos) << err;
}

TEST_F(UsageTest, CacheCleanLeavesNoEmptyFolder) {
    const std::string cache = "XDG_CACHE_HOME=" + Quote(dir.file("cache"));
    std::string err;
    ASSERT_EQ(Q("index " + Quote(image), err, cache).exitCode, 0) << err;
    EXPECT_NE(testutil::MustRun("find " + Quote(dir.file("cache")) + " -type f").find("index_dump"), std::string::npos);
    ASSERT_EQ(Q("cache clean", err, cache).exitCode, 0) << err;
    EXPECT_EQ(testutil::MustRun("find " + Quote(dir.file("cache")) + " -mindepth 2"), "");
}

// Problems with the cache and the settings are said once on stderr (not at
// log level 0), and with --json also as warning records; cleaning a cache
// that holds nothing says so.
TEST_F(UsageTest, CacheAndSettingsProblemsAreSaidOnce) {
    const std::string cache = dir.file("cache"), blocker = dir.file("a-file");
    testutil::MustRun("touch " + Quote(blocker));
    const std::string env = "XDG_CACHE_HOME=" + Quote(cache);
    std::string err;
    // Nothing cached yet.
    auto r = Q("cache clean " + Quote(image), err, env);
    EXPECT_EQ(r.exitCode, 0) << err;
    EXPECT_NE(r.out.find("nothing to clean: " + image + " has no cached index"), std::string::npos) << r.out;
    // A saved cache that is damaged afterwards.
    ASSERT_EQ(Q("index " + Quote(image), err, env).exitCode, 0) << err;
    EXPECT_EQ(err, "");
    auto damage = [&] {
        testutil::MustRun("for f in $(find " + Quote(cache) + " -name '~index_dump_*'); do truncate -s 20 \"$f\"; done");
    };
    const struct {
        std::string env, args, said;
    } cases[] = {
        {env, "index", "quarlix: warning: the cached index was damaged; it was deleted and the index is built anew\n"},
        {"XDG_CACHE_HOME=" + Quote(blocker + "/cache"), "index",
         "quarlix: warning: the index could not be saved to the cache: cannot create " + blocker + "/cache/"},
        {"XDG_CONFIG_HOME=" + Quote(blocker + "/config") + " XDG_CACHE_HOME=" + Quote(cache), "info",
         "quarlix: warning: the settings folder " + blocker + "/config/QuarlixRecovery cannot be written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " with " + c.env);
        damage();
        r = Q(c.args + " " + Quote(image), err, c.env);
        EXPECT_EQ(r.exitCode, 0) << err;
        EXPECT_EQ(err.rfind(c.said, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        damage();
        r = Q("--json " + c.args + " " + Quote(image), err, c.env);
        size_t records = 0;
        for (const auto& j : clitest::JsonLines(r.out, true))
            records += j["kind"] == "warning" && c.said.find(j["message"].get<std::string>().substr(0, 30)) != std::string::npos;
        EXPECT_EQ(records, 1u) << r.out;
        damage();
        r = Q("--log-level 0 " + c.args + " " + Quote(image), err, c.env);
        EXPECT_EQ(err, "");
    }
}

// Names from a disk never reach the terminal raw: control characters are
// escaped in text output and a "/" inside a name is escaped, so that the
// printed path can be given back; the JSON name stays as it is stored.
TEST_F(UsageTest, HostileNamesAreEscapedAndTheirPathsWorkAgain) {
    QUARLIX_REQUIRE(testutil::HaveTool("mcopy"), "mtools missing");
    const std::string img = dir.file("hostile.img"), data = dir.file("s.txt");
    testutil::MustRun("printf 'secret data\\n' > " + Quote(data) + " && mkfs.fat -C -s 1 -S 512 " + Quote(img) +
                      " 2048 >/dev/null && mcopy -i " + Quote(img) + " " + Quote(data) + " ::/aXbYcZ.txt && mcopy -i " +
                      Quote(img) + " " + Quote(data) + " ::/keep.txt && mdel -i " + Quote(img) + " ::/aXbYcZ.txt");
    // The long name's units become ESC, "/" and BEL (its checksum covers only the short name).
    testutil::MustRun("python3 -c \"import sys; p=sys.argv[1]; d=bytearray(open(p,'rb').read()); "
                      "o='aXbYc'.encode('utf-16-le'); i=d.find(o); d[i:i+10]='a\\x1bb/c'.encode('utf-16-le'); "
                      "j=d.find('Z.'.encode('utf-16-le'), i); d[j:j+2]='\\x07'.encode('utf-16-le'); "
                      "open(p,'wb').write(d)\" " + Quote(img));
    const std::string shown = "/a\\x1bb\\/c\\x07.txt";
    std::string err;
    auto json = clitest::JsonLines(Q("--no-cache --json list " + Quote(img) + " --deleted-only", err).out);
    ASSERT_EQ(json.size(), 1u) << err;
    EXPECT_EQ(json[0]["path"], shown);
    EXPECT_EQ(json[0]["name"], "a\x1b" "b/c\x07.txt");
    auto raw = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(), [](char c) { return (c > 0 && c < 0x20 && c != '\n' && c != '\t') || c == 0x7f; });
    };
    for (const std::string& args : {"list " + Quote(img) + " --recursive", "search " + Quote(img), "stat " + Quote(img) + " 2",
                                     "stat " + Quote(img) + " " + Quote(shown), "recover " + Quote(img) + " " +
                                     Quote(shown) + " --to " + Quote(dir.file("out"))}) {
        SCOPED_TRACE(args);
        const auto r = Q("--no-cache " + args, err);
        EXPECT_EQ(r.exitCode, 0) << err;
        EXPECT_FALSE(raw(r.out) || raw(err)) << r.out << err;
        if (args.rfind("recover", 0) != 0) {
            EXPECT_NE((r.out + err).find(shown), std::string::npos) << r.out << err;
        }
    }
    // Written under the name the destination takes: the controls and the slash replaced.
    EXPECT_EQ(testutil::MustRun("cat " + Quote(dir.file("out/a_b_c_.txt"))), "secret data\n");
    // Messages escape what the user typed too, and show a cut character as its byte.
    const auto r = Q("--no-cache stat " + Quote(img) + " $'/caf\\xc3\\x1b[31m'", err);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(err.find("/caf\\xc3\\x1b[31m"), std::string::npos) << err;
}

// A run with only HOME set: the log goes to ~/.local/state, taking along the
// one an earlier version left beside the settings, which stay.
TEST_F(UsageTest, TheLogLivesInTheStateFolder) {
    const std::string home = dir.file("home"), config = home + "/.config/QuarlixRecovery";
    testutil::MustRun("mkdir -p " + Quote(config) + " && echo 'old line' > " + Quote(config + "/QuarlixRecovery.log"));
    const std::string env = "env -u XDG_CONFIG_HOME -u XDG_STATE_HOME -u XDG_RUNTIME_DIR HOME=" + Quote(home) +
                            " XDG_CACHE_HOME=" + Quote(dir.file("cache"));
    std::string err;
    for (int run = 0; run < 2; ++run) ASSERT_EQ(Q("info " + Quote(image), err, env).exitCode, 0) << err;
    const std::string log = testutil::MustRun("cat " + Quote(home + "/.local/state/QuarlixRecovery/QuarlixRecovery.log"));
    EXPECT_EQ(log.find("old line"), 0u) << log;
    EXPECT_NE(log.find("] Moved " + config + "/QuarlixRecovery.log"), std::string::npos) << log;
    EXPECT_EQ(log.find("] Moved", log.find("] Moved") + 1), std::string::npos) << log;  // once
    EXPECT_EQ(testutil::MustRun("ls " + Quote(config)), "Profile.xml\n");
}

// The installed completion is what the parser's table makes: it offers no
// option a command would reject.
TEST_F(UsageTest, TheCompletionFileIsTheOneTheTableMakes) {
    std::string err;
    auto made = Q("--bash-completion", err);
    ASSERT_EQ(made.exitCode, 0) << err;
    // The file the build wrote and the package installs, and valid bash.
    EXPECT_EQ(made.out, testutil::MustRun("cat " + Quote(testutil::BinDir() + "/../packaging/quarlix.bash")));
    EXPECT_EQ(testutil::Run("bash -n " + Quote(testutil::BinDir() + "/../packaging/quarlix.bash")).exitCode, 0);
    const struct {
        const char* command;
        const char* option;
        bool offered;
    } cases[] = {{"info", "--rescan", false}, {"stat", "--rescan", false}, {"index", "--rescan", true},
                 {"recover", "--yes", true}, {"list", "--id", true}, {"cache", "--partition", true}};
    for (const auto& c : cases) {
        const size_t line = made.out.find(std::string("\n        ") + c.command + ")");
        ASSERT_NE(line, std::string::npos) << c.command;
        const std::string text = made.out.substr(line, made.out.find('\n', line + 1) - line);
        const size_t from = text.find("options=\"") + 9;
        std::istringstream words(text.substr(from, text.find('"', from) - from));
        const std::set<std::string> offered {std::istream_iterator<std::string>(words), {}};
        EXPECT_EQ(offered.count(c.option), c.offered ? 1u : 0u)
            << text;
    }
}

}  // namespace
