// The composed title of found documents and the core properties parser.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"

using namespace doctest;

TEST(DocumentTitle, AuthorDashTitleTrimmedAndCut) {
    EXPECT_EQ(ComposeDocumentTitle({u"  Report  ", u" Ada "}), u"Ada - Report");
    EXPECT_EQ(ComposeDocumentTitle({u"Report", u""}), u"Report");
    EXPECT_EQ(ComposeDocumentTitle({u"", u"Ada"}), u"Ada - ");
    EXPECT_EQ(ComposeDocumentTitle({u"   ", u"   "}), u"");
    // Only spaces are trimmed, not tabs.
    EXPECT_EQ(ComposeDocumentTitle({u"\tT", u""}), u"\tT");

    const std::u16string author(60, u'a'), title(230, u't');
    const std::u16string composed = ComposeDocumentTitle({title, author});
    EXPECT_EQ(composed, std::u16string(50, u'a') + u" - " + std::u16string(200, u't'));
    EXPECT_EQ(ComposeDocumentTitle({std::u16string(200, u'x'), std::u16string(50, u'y')}).size(), 253u);
}

TEST(DocumentTitle, CutNeverSplitsASurrogatePair) {
    // Unit 50 of the author is the first half of U+1F600.
    std::u16string author(49, u'a');
    author += u"\U0001F600";
    author += u"bbb";
    const std::u16string composed = ComposeDocumentTitle({u"", author});
    EXPECT_EQ(composed, std::u16string(49, u'a') + u" - ");
    std::u16string title(199, u't');
    title += u"\U0001F600";
    EXPECT_EQ(ComposeDocumentTitle({title, u""}), std::u16string(199, u't'));
}

TEST(CoreProperties, TitleAndCreatorByLocalName) {
    const std::string xml =
        R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
        R"(<cp:coreProperties xmlns:cp="urn:cp" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:x="urn:x">)"
        R"(<dc:creator>Jos&#233; &amp; Co</dc:creator><x:subject>s</x:subject>)"
        R"(<dc:title><![CDATA[Plan <B>]]> Caf)"
        "\xC3\xA9"
        R"(</dc:title><x:nested><dc:title>not a child of the root</dc:title></x:nested></cp:coreProperties>)";
    DocumentProperties p;
    ASSERT_TRUE(ParseCoreProperties(reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), p));
    EXPECT_EQ(p.title, u"Plan <B> Café");
    EXPECT_EQ(p.creator, u"José & Co");
}

TEST(CoreProperties, NotXmlFails) {
    DocumentProperties p;
    const std::string junk = "<a><b></a>";
    EXPECT_FALSE(ParseCoreProperties(reinterpret_cast<const uint8_t*>(junk.data()), junk.size(), p));
    EXPECT_FALSE(ParseCoreProperties(nullptr, 0, p));
}
