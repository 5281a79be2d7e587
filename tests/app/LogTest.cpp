#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "app/Log.h"
#include "common/TestUtil.h"
#include "platform/Status.h"

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Strips the "[YYYY-mm-dd HH:MM:SS] " prefixes so the text can be compared.
std::string WithoutStamps(const std::string& s) {
    static const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");
    return std::regex_replace(s, stamp, "");
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("QuarlixRecovery.log");
        CLogFile::Instance().Close();
        CLogFile::Instance().SetMaxSize(CLogFile::kDefaultMaxSize);
    }
    void TearDown() override {
        CLogFile::Instance().Close();
        CLogFile::Instance().Open("");  // back to "no log" for other tests
        CLogFile::Instance().SetLevel(0);
    }
    testutil::TempDir dir;
    std::string path;
};

TEST_F(LogTest, NormalModeDropsTracesButKeepsEssentialLines) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    CLogFile::Instance().SetLevel(0);  // Type = 1
    { CScopeTrace trace(1, "CFatVolume::Initialize"); }
    LogWriteLevel(0, "essential %d\n", 7);
    LogWrite("Cannot open %s, error = %d\n", "/dev/x", 13);
    std::string text = ReadText(path);
    EXPECT_EQ(WithoutStamps(text), "essential 7\nCannot open /dev/x, error = 13\n");
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] essential)")));
}

TEST_F(LogTest, VerboseTraceWritesEnteringAndLeavingWithDuration) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    CLogFile::Instance().SetLevel(1);
    { CScopeTrace trace(1, "RecoverThread"); }
    std::string text = ReadText(path);
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(^\[[^\]]+\] Entering: RecoverThread\n\[[^\]]+\] Leaving: RecoverThread\.    \[[^\]]+\] Completed in: \d+\.\d{3} sec\.\n$)")))
        << text;
}

TEST_F(LogTest, PercentSignsSurviveAndCarriageReturnsAreRemoved) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    LogWriteLevel(0, "%s\n", "100% done\r\nnext");
    LogWrite("a%%b\r\n");
    EXPECT_EQ(WithoutStamps(ReadText(path)), "100% done\nnext\na%b\n");
}

TEST_F(LogTest, NoPathOrNoStreamMeansNothingIsWritten) {
    // Logging off at start-up: Open is never called, so no file appears.
    LogWriteLevel(0, "dropped\n");
    LogWrite("dropped too\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    // A path that cannot be opened: Open fails and writes go nowhere.
    EXPECT_FALSE(CLogFile::Instance().Open(dir.file("missing/folder/log.txt")));
    LogWrite("still dropped\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing/folder/log.txt")));
}

TEST_F(LogTest, AtTheCapTheLogBecomesDotOneAndANewOneStarts) {
    const std::string older = path + ".1";
    for (const auto& [file, text] : {std::pair {path, std::string(2000, 'x')}, {older, std::string("oldest\n")}}) {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    CLogFile::Instance().SetMaxSize(2000);  // file already at the cap
    WriteLogHeader("Debian", "1.0");
    LogWrite("unconditional\n");
    EXPECT_EQ(ReadText(older), std::string(2000, 'x'));  // the older .1 is replaced
    std::string text = WithoutStamps(ReadText(path));
    EXPECT_EQ(text.rfind("\n[ Quarlix Recovery Log ]\n", 0), 0u) << text;
    EXPECT_NE(text.find("unconditional\n"), std::string::npos) << text;
    // Below the cap lines are appended; the size is checked before each
    // write, so one line may cross the cap and the next one rotates.
    CLogFile::Instance().SetMaxSize(static_cast<int64_t>(std::filesystem::file_size(path)) + 1);
    LogWrite("crosses\n");
    LogWrite("first of the next\n");
    EXPECT_EQ(WithoutStamps(ReadText(path)), "first of the next\n");
    EXPECT_EQ(WithoutStamps(ReadText(older)), text + "crosses\n");
    // Another process rotated the file: the next line goes to the new one.
    CLogFile::Instance().SetMaxSize(CLogFile::kDefaultMaxSize);
    std::filesystem::rename(path, older);
    std::ofstream(path, std::ios::binary).close();
    LogWrite("followed\n");
    EXPECT_EQ(WithoutStamps(ReadText(path)), "followed\n");
}

TEST_F(LogTest, HeaderLinesAndVerboseMarker) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    CLogFile::Instance().SetLevel(0);
    WriteLogHeader("Debian GNU/Linux 12 (bookworm) 6.1.0", "0.1.0");
    std::string text = WithoutStamps(ReadText(path));
    EXPECT_EQ(text.find("Verbose"), std::string::npos);
    EXPECT_EQ(text.rfind("\n[ Quarlix Recovery Log ]\nOperating System: Debian GNU/Linux 12 (bookworm) 6.1.0\n"
                         "Application version: 0.1.0\nSystem time: ", 0),
              0u)
        << text;
}

TEST_F(LogTest, ErrorLinesCarryDecimalHexAndSystemText) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    LogError(0, 5);
    errno = 13;
    LogLastError(0);
    std::string text = WithoutStamps(ReadText(path));
    EXPECT_EQ(text, "Error 5(5H): " + ErrnoText(5) + "\nError 13(DH): " + ErrnoText(13) + "\n");
    EXPECT_EQ(ErrnoText(2), "No such file or directory");
}

TEST_F(LogTest, LongMessagesAreCutAt499Characters) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    LogWrite("%s", std::string(700, 'a').c_str());
    // Multi-byte characters count as one character each.
    std::string wide;
    for (int i = 0; i < 600; ++i) wide += "\xC3\xA9";  // é
    LogWrite("\n%s", wide.c_str());
    std::string text = WithoutStamps(ReadText(path));
    auto nl = text.find('\n');
    EXPECT_EQ(nl, 499u);
    EXPECT_EQ(text.size() - nl - 1, 498u * 2);
}

TEST(HexDump, RowsMatchTheLogLayout) {
    std::vector<uint8_t> bytes(20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('A' + i);
    auto rows = FormatHexDumpRows(bytes.data(), bytes.size());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "  \n");
    EXPECT_EQ(rows[1], "0000\t41 42 43 44 45 46 47 48   49 4A 4B 4C 4D 4E 4F 50   ABCDEFGHIJKLMNOP\n");
    EXPECT_EQ(rows[2], "0010\t51 52 53 54 \n");
    // An empty buffer still ends its (empty) row.
    EXPECT_EQ(FormatHexDumpRows(nullptr, 0), std::vector<std::string> {"\n"});
}

TEST_F(LogTest, HexDumpOnlyInRawDumpMode) {
    ASSERT_TRUE(CLogFile::Instance().Open(path));
    CLogFile::Instance().SetLevel(1);
    uint8_t b[3] = {1, 2, 3};
    LogHexDump(b, 3);
    EXPECT_EQ(ReadText(path), "");
    CLogFile::Instance().SetLevel(2);
    LogHexDump(b, 3);
    EXPECT_EQ(WithoutStamps(ReadText(path)), "BUFFER DUMP size=3\n  \n0000\t01 02 03 \n");
}

}  // namespace
