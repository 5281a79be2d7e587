#include <gtest/gtest.h>

#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "app/Profile.h"
#include "common/TestUtil.h"

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("Profile.xml");
        profile.SetPath(path);
    }
    void Reload() {
        profile.Unload();
        ASSERT_TRUE(profile.Load());
    }
    testutil::TempDir dir;
    std::string path;
    CXMLProfile profile;
};

TEST_F(ProfileTest, RoundTripKeepsTheDocumentShape) {
    ASSERT_TRUE(profile.Load());
    EXPECT_FALSE(profile.Load()) << "a second Load is refused";
    profile.WriteInt("Logging", "Type", 2);
    profile.WriteString("Recover", "LastDestinationFolders", "/mnt/a & b|/home/x <y>|");
    uint8_t blob[5] = {1, 2, 3, 4, 255};
    ASSERT_TRUE(profile.WriteBinary("LayoutMain", "ColumnOrder", blob, sizeof blob));
    ASSERT_TRUE(profile.Save());

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(path.c_str(), pugi::parse_default | pugi::parse_declaration));
    EXPECT_STREQ(doc.first_child().name(), "xml");
    EXPECT_STREQ(doc.document_element().name(), "profile");
    EXPECT_STREQ(doc.document_element().child("Logging").child("Type").text().get(), "2");
    EXPECT_STREQ(doc.document_element().child("LayoutMain").child("ColumnOrder").text().get(), "AQIDBP8=");
    EXPECT_TRUE(doc.document_element().child("Logging").attributes().empty());

    Reload();
    EXPECT_EQ(profile.ReadInt("Logging", "Type", 1), 2);
    EXPECT_EQ(profile.ReadString("Recover", "LastDestinationFolders", "", 2048), "/mnt/a & b|/home/x <y>|");
    uint8_t back[8] = {};
    size_t n = 0;
    ASSERT_TRUE(profile.ReadBinary("LayoutMain", "ColumnOrder", back, sizeof back, &n));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(back[4], 255);
    EXPECT_FALSE(profile.ReadBinary("LayoutMain", "ColumnOrder", back, 4)) << "decoded data larger than the buffer";
}

TEST_F(ProfileTest, AbsentAndEmptyKeysReadAsDefaultsAndLeaveNoKeyBehind) {
    ASSERT_TRUE(profile.Load());
    EXPECT_EQ(profile.ReadInt("Cache", "SaveToDisk", 1), 1);
    profile.WriteString("Wizard", "ShowOnStartUp", "");
    EXPECT_EQ(profile.ReadInt("Wizard", "ShowOnStartUp", 7), 7);
    uint8_t b[4];
    EXPECT_FALSE(profile.ReadBinary("LayoutMain", "WindowPos", b, sizeof b));
    ASSERT_TRUE(profile.Save());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(path.c_str()));
    auto root = doc.document_element();
    EXPECT_TRUE(root.child("Cache")) << "the section element stays";
    EXPECT_FALSE(root.child("Cache").child("SaveToDisk")) << "the key element is removed again";
    EXPECT_FALSE(root.child("Wizard").child("ShowOnStartUp"));
    EXPECT_FALSE(root.child("LayoutMain").child("WindowPos"));
}

TEST_F(ProfileTest, IntegerTextIsReadLikeTheCLibrary) {
    ASSERT_TRUE(profile.Load());
    const std::pair<const char*, int32_t> cases[] = {
        {"12abc", 12}, {"abc", 0}, {"  -42", -42}, {"+7x", 7}, {"99999999999999999999", INT32_MAX},
        {"-99999999999999999999", INT32_MIN}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}};
    for (auto [text, value] : cases) {
        profile.WriteString("S", "K", text);
        EXPECT_EQ(profile.ReadInt("S", "K", -1), value) << text;
    }
}

TEST_F(ProfileTest, StringsThatDoNotFitTheBufferThrow) {
    ASSERT_TRUE(profile.Load());
    profile.WriteString("Recover", "LastDestinationFolders", std::string(2048, 'a'));
    try {
        profile.ReadString("Recover", "LastDestinationFolders", "", settings::kLastDestinationFoldersSize);
        FAIL() << "no exception";
    } catch (const CXMLProfile::CXMLProfileException& e) {
        EXPECT_STREQ(e.what(), "Buffer overflow");
    }
    profile.WriteString("Recover", "LastDestinationFolders", std::string(2047, 'a'));
    EXPECT_EQ(profile.ReadString("Recover", "LastDestinationFolders", "", 2048).size(), 2047u);
    // Characters, not bytes: 2047 two-byte characters still fit.
    std::string accented;
    for (int i = 0; i < 2047; ++i) accented += "\xC3\xA9";
    profile.WriteString("Recover", "LastDestinationFolders", accented);
    EXPECT_EQ(profile.ReadString("Recover", "LastDestinationFolders", "", 2048), accented);
}

TEST_F(ProfileTest, BinaryValuesUseBase64WithLineBreaksAndAHardLimit) {
    ASSERT_TRUE(profile.Load());
    ASSERT_TRUE(profile.WriteUInt64("UsageStatistics", "AmountRecoveredInTotal", 0x0000000100000000ULL));
    std::string raw = profile.ReadString("UsageStatistics", "AmountRecoveredInTotal", "", 100);
    EXPECT_EQ(raw, "AAAAAAEAAAA=");
    EXPECT_EQ(profile.ReadUInt64("UsageStatistics", "AmountRecoveredInTotal"), 0x0000000100000000ULL);
    EXPECT_EQ(profile.ReadUInt64("UsageStatistics", "Absent"), 0u);

    std::vector<uint8_t> big(100);
    std::string text = Base64Encode(big.data(), big.size());
    EXPECT_EQ(text.substr(76, 2), "\r\n");
    EXPECT_EQ(text.size(), 136u + 2);  // 136 Base64 characters, one line break
    EXPECT_EQ(Base64Decode(text), std::string(100, '\0'));
    EXPECT_EQ(Base64Decode("A A\nA*A"), std::string(3, '\0')) << "characters outside the alphabet are skipped";

    std::vector<uint8_t> tooBig(381);  // 508 characters plus 6 line breaks > 512
    ASSERT_TRUE(profile.WriteBinary("B", "K", big.data(), 8));
    EXPECT_FALSE(profile.WriteBinary("B", "K", tooBig.data(), tooBig.size()));
    uint8_t out[8];
    EXPECT_TRUE(profile.ReadBinary("B", "K", out, sizeof out)) << "the old value is kept";
}

TEST_F(ProfileTest, HostileFilesGiveAnEmptyProfile) {
    for (const std::string& content : {std::string("this is not XML <<<"), std::string("<other><a>1</a></other>"),
                                       std::string(""), std::string("<profile><S><K>5</K></S>")}) {
        {
            std::ofstream out(path, std::ios::trunc);
            out << content;
        }
        profile.Unload();
        ASSERT_TRUE(profile.Load()) << content;
        EXPECT_EQ(profile.ReadInt("S", "K", -1), -1) << content;
        profile.WriteInt("S", "K", 3);
        ASSERT_TRUE(profile.Save());
        EXPECT_NE(ReadText(path).find("<profile>"), std::string::npos);
    }
    // An oversized profile is not parsed at all.
    {
        std::ofstream out(path, std::ios::trunc);
        out << "<profile><S><K>";
        out << std::string(CXMLProfile::kMaxFileSize + 10, '9');
        out << "</K></S></profile>";
    }
    profile.Unload();
    ASSERT_TRUE(profile.Load());
    EXPECT_EQ(profile.ReadInt("S", "K", -1), -1);
}

TEST_F(ProfileTest, ASaveFailureIsReported) {
    ASSERT_TRUE(profile.Load());
    profile.SetPath(dir.file("no/such/folder/Profile.xml"));
    EXPECT_FALSE(profile.Save());
}

}  // namespace
