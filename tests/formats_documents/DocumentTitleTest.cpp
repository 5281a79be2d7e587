// The title and author of found documents and the core properties parser.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"

using namespace doctest;

TEST(DocumentTitle, TitleAndAuthorTrimmedAndCutApart) {
    const std::u16string smile = u"\U0001F600";
    const struct {
        std::u16string title, author, shownTitle, shownAuthor;
    } cases[] = {
        {u"  Report  ", u" Ada ", u"Report", u"Ada"},
        {u"Report", u"", u"Report", u""},
        {u"", u"Ada", u"", u"Ada"},
        {u"   ", u"   ", u"", u""},
        {u"\tT", u"\tA", u"\tT", u"\tA"},  // only spaces are trimmed
        {std::u16string(230, u't'), std::u16string(60, u'a'), std::u16string(200, u't'), std::u16string(50, u'a')},
        {std::u16string(200, u't'), std::u16string(50, u'a'), std::u16string(200, u't'), std::u16string(50, u'a')},
        // Unit 200 of the title and unit 50 of the author are the first half
        // of a surrogate pair: the cut keeps one unit less.
        {std::u16string(199, u't') + smile, std::u16string(49, u'a') + smile + u"bb", std::u16string(199, u't'),
         std::u16string(49, u'a')},
        {std::u16string(198, u't') + smile + u"x", std::u16string(48, u'a') + smile, std::u16string(198, u't') + smile,
         std::u16string(48, u'a') + smile},
    };
    for (const auto& k : cases) {
        const DocumentProperties shown = ShownDocumentProperties({k.title, k.author});
        EXPECT_EQ(shown.title, k.shownTitle) << Utf8(k.title);
        EXPECT_EQ(shown.creator, k.shownAuthor) << Utf8(k.author);
    }
}

TEST(CoreProperties, TitleAndCreatorByLocalNameAndNotXmlFails) {
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

    const std::string junk = "<a><b></a>";
    EXPECT_FALSE(ParseCoreProperties(reinterpret_cast<const uint8_t*>(junk.data()), junk.size(), p));
    EXPECT_FALSE(ParseCoreProperties(nullptr, 0, p));
}
