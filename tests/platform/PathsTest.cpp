// Where the program's files go, by the XDG variables, and the one-time move
// of the log and crash report out of the settings folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "common/TestUtil.h"
#include "platform/Paths.h"

namespace {

void Put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : kVariables) {
            const char* now = std::getenv(v);
            saved.emplace_back(v, now ? std::optional<std::string>(now) : std::nullopt);
            unsetenv(v);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    static constexpr const char* kVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    testutil::TempDir dir;
};

TEST_F(PathsTest, FoldersFollowTheXdgVariables) {
    const std::string h = dir.file("home");
    const struct {
        const char* state;    // XDG_STATE_HOME (nullptr: unset)
        const char* runtime;  // XDG_RUNTIME_DIR
        std::string wantState, wantRuntime;
    } cases[] = {
        {nullptr, nullptr, h + "/.local/state/QuarlixRecovery", h + "/.local/state/QuarlixRecovery"},
        {"/s", "/run/user/7", "/s/QuarlixRecovery", "/run/user/7/QuarlixRecovery"},
        {"relative", "", h + "/.local/state/QuarlixRecovery", h + "/.local/state/QuarlixRecovery"},
    };
    setenv("HOME", h.c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wantRuntime);
        c.state ? setenv("XDG_STATE_HOME", c.state, 1) : unsetenv("XDG_STATE_HOME");
        c.runtime ? setenv("XDG_RUNTIME_DIR", c.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(StateFolder(), c.wantState);
        EXPECT_EQ(RuntimeFolder(), c.wantRuntime);
        EXPECT_EQ(LogFilePath(), c.wantState + "/QuarlixRecovery.log");
        EXPECT_EQ(SettingsFolder(), h + "/.config/QuarlixRecovery");
    }
}

TEST_F(PathsTest, TheLogAndCrashReportMoveOnceAndTheSettingsStay) {
    setenv("HOME", dir.file("home").c_str(), 1);
    const std::string old = SettingsFolder(), now = StateFolder();
    Put(old + "/QuarlixRecovery.log", "old log\n");
    Put(old + "/QuarlixRecovery-crash.txt", "signal 11\n");
    Put(old + "/Profile.xml", "<profile/>");
    Put(now + "/QuarlixRecovery-crash.txt", "newer crash\n");  // the state folder has one already
    const auto said = MoveStateFilesFromSettingsFolder();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0], "Moved " + old + "/QuarlixRecovery.log to " + now + "/QuarlixRecovery.log");
    EXPECT_EQ(Get(now + "/QuarlixRecovery.log"), "old log\n");
    EXPECT_EQ(Get(now + "/QuarlixRecovery-crash.txt"), "newer crash\n");
    EXPECT_EQ(Get(now + "/QuarlixRecovery-crash.txt.old"), "signal 11\n");
    EXPECT_FALSE(std::filesystem::exists(old + "/QuarlixRecovery.log"));
    EXPECT_FALSE(std::filesystem::exists(old + "/QuarlixRecovery-crash.txt"));
    EXPECT_EQ(Get(old + "/Profile.xml"), "<profile/>");
    EXPECT_TRUE(MoveStateFilesFromSettingsFolder().empty());  // once
}

}  // namespace
