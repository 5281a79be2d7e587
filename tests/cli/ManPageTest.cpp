// The manual page against the program: every exit status, every JSON key
// the commands print and every recovery status are described in quarlix(1).
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "cli/CliTestSupport.h"

namespace {

std::string Source(const std::string& path) {
    return testutil::MustRun("cat " + testutil::Quote(testutil::SourceDir() + "/" + path));
}

// Every first group of re in text.
std::set<std::string> Matches(const std::string& text, const std::string& re) {
    std::set<std::string> found;
    const std::regex r(re);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), r); it != std::sregex_iterator(); ++it)
        found.insert((*it)[1]);
    return found;
}

TEST(ManPage, DescribesEveryExitStatusJsonKeyAndRecoveryStatus) {
    const std::string page = Source("docs/man/quarlix.1");
    const std::string exits = page.substr(page.find(".SH EXIT STATUS"), page.find(".SH JSON OUTPUT") - page.find(".SH EXIT STATUS"));
    std::set<std::string> codes = Matches(Source("cli/Common.h"), R"re(kExit\w+ = (\d+),)re");
    codes.insert("143");  // SIGTERM: 128 + 15
    for (const std::string& code : codes) EXPECT_NE(exits.find(".B " + code + "\n"), std::string::npos) << code;

    std::string commands;
    const std::string writer = Source("cli/RecordWriter.cpp");
    const std::set<std::string> keys = Matches(writer, R"re([\{\[]"([a-z_0-9]+)"[,\]])re");
    EXPECT_GT(keys.size(), 60u);
    const std::string json = page.substr(page.find(".SH JSON OUTPUT"), page.find(".SH FILES") - page.find(".SH JSON OUTPUT"));
    for (const std::string& key : keys) EXPECT_TRUE(std::regex_search(json, std::regex("\\b" + key + "\\b"))) << key;
    const std::set<std::string> kinds = Matches(writer, R"re(Emit\("([a-z_]+)")re");
    EXPECT_EQ(kinds.size(), 13u);
    for (const std::string& kind : kinds) EXPECT_NE(json.find(".B " + kind + "\n"), std::string::npos) << kind;

    for (const std::string& status : Matches(Source("engine/recovery/RecoverProgress.cpp"), R"re(return "(\w+)";)re"))
        EXPECT_NE(page.find(".B " + status + "\n"), std::string::npos) << status;
    EXPECT_EQ(page.find("conv=noerror,sync status"), std::string::npos);  // dd loses data around bad sectors
}

}  // namespace
