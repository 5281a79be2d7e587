// The search's name pattern language, the name/size/date tests, table-driven.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <tuple>

#include "common/TestUtil.h"
#include "engine/volume/SearchCriteria.h"
#include "platform/Calendar.h"
#include "platform/CaseFold.h"

namespace {

struct Row {
    const char16_t* pattern;
    const char16_t* name;
    bool match;
    bool lostFirstLetter = false;  // the name's first letter is lost ("?hoto.jpg")
};

std::string Show(const std::u16string& s) {
    std::string o;
    for (char16_t c : s) {
        if (c == 0x1A)
            o += "<1A>";
        else if (c < 0x80)
            o += static_cast<char>(c);
        else
            o += "<U+" + std::to_string(c) + ">";
    }
    return o;
}

class PatternTable : public ::testing::TestWithParam<Row> {};

TEST_P(PatternTable, Matches) {
    const Row& r = GetParam();
    EXPECT_EQ(MatchPattern(r.pattern, r.name, NameCompare {nullptr, r.lostFirstLetter}), r.match)
        << "pattern \"" << Show(r.pattern) << "\" name \"" << Show(r.name) << "\""
        << (r.lostFirstLetter ? " (lost)" : "");
}

const Row kRows[] = {
    // Literal characters compare without case.
    {u"report.doc", u"REPORT.DOC", true},
    {u"report.doc", u"report.docx", false},
    {u"abc", u"abd", false},
    {u"\u00C9t\u00C9", u"\u00E9t\u00E9", true},  // accented capitals too
    // ... of every script: Romanian ș, Ukrainian ґ, Greek final sigma, Deseret above the BMP.
    {u"*\u0219tefan*", u"\u0218tefan.txt", true},
    {u"\u0491\u0430\u043D\u043E\u043A", u"\u0490\u0410\u041D\u041E\u041A", true},
    {u"\u03C3\u03BF\u03C6\u03B9\u03B1\u03C2", u"\u03A3\u039F\u03A6\u0399\u0391\u03A3", true},
    {u"x\U00010428", u"X\U00010400", true},
    {u"x\U00010428", u"X\U00010401", false},
    {u"?", u"\U00010400", true},  // one character, two code units
    // A lost first letter stands for any one character, and only the first.
    {u"*photo*", u"?hoto.jpg", true, true},
    {u"photo.JPG", u"?hoto.jpg", true, true},
    {u"*hoto*", u"?hoto.jpg", true, true},
    {u"[m-p]hoto.jpg", u"?hoto.jpg", true, true},
    {u"?hoto.jpg", u"?hoto.jpg", true, true},
    {u"`photo.jpg", u"?hoto.jpg", true, true},
    {u"*xphoto*", u"?hoto.jpg", false, true},
    {u"*.hoto*", u"?hoto.jpg", false, true},  // no short name begins with "."
    {u"*phpto*", u"?hoto.jpg", false, true},
    {u"*photo*", u"?hoto.jpg", false, false},
    // "*": any run, also none.
    {u"*", u"anything", true},
    {u"*.txt", u".txt", true},
    {u"*.txt", u"a.txt.bak", false},
    {u"a*b*c", u"aXXbYYc", true},
    {u"a*b*c", u"aXXcYYb", false},
    {u"*a*a*a*a*a*b", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},  // no blow-up
    {u"**", u"x", true},
    // "?": exactly one character.
    {u"*a?b*", u"axb", true},
    {u"*a?b*", u"zaxbz", true},
    {u"*a?b*", u"ab", false},
    {u"???", u"ab", false},
    {u"???", u"abc", true},
    // 0x1A: a run without ".", longest first.
    {u"\x1A.txt", u"name.txt", true},
    {u"\x1A.txt", u"na.me.txt", false},
    {u"\x1A", u"noext", true},
    {u"\x1A", u"a.b", false},
    {u"\x1A.\x1A", u"a.b", true},
    {u"a\x1A", u"a", true},
    // Sets, ranges, negation, quoting inside a set.
    {u"[abc]x", u"bx", true},
    {u"[abc]x", u"dx", false},
    {u"[a-c]x", u"Bx", true},
    {u"[A-C]x", u"bx", true},
    {u"[!a-c]x", u"dx", true},
    {u"[!a-c]x", u"ax", false},
    {u"[0-9][0-9]", u"42", true},
    {u"[0-9][0-9]", u"4x", false},
    {u"[`]]", u"]", true},
    {u"[`-a]", u"-", true},
    {u"[a`-z]", u"-", true},
    {u"[a`-z]", u"m", false},
    {u"[]x", u"x", false},      // an empty set matches no character
    {u"[!]", u"q", true},
    // "!": the rest must not match here.
    {u"!*.tmp", u"file.txt", true},
    {u"!*.tmp", u"file.tmp", false},
    {u"a!b*", u"ac", true},
    {u"a!b*", u"abc", false},
    // Backquote: the next character itself.
    {u"`*", u"*", true},
    {u"`*", u"x", false},
    {u"`?x", u"?x", true},
    {u"``", u"`", true},
    {u"a`[b", u"a[b", true},
    // Malformed patterns match nothing.
    {u"abc!", u"abc", false},
    {u"abc`", u"abc", false},
    {u"[abc", u"a", false},
    {u"*[a-", u"a", false},
    {u"[a-]", u"a", false},
    {u"[a`", u"a", false},
    // An empty name matches only an empty pattern.
    {u"", u"", true},
    {u"*", u"", false},
    {u"", u"a", false},
};

INSTANTIATE_TEST_SUITE_P(Elements, PatternTable, ::testing::ValuesIn(kRows));

TEST(PatternWellFormed, Detection) {
    EXPECT_TRUE(IsPatternWellFormed(u"*[a-z]?`!x!y"));
    EXPECT_FALSE(IsPatternWellFormed(u"!"));
    EXPECT_FALSE(IsPatternWellFormed(u"`"));
    EXPECT_FALSE(IsPatternWellFormed(u"[a-"));
    EXPECT_FALSE(IsPatternWellFormed(std::u16string(5000, u'*')));
}

void NameCriteria(SearchCriteria& c, const char16_t* name, int mode) {
    c.useName = 1;
    c.name = name;
    c.nameMode = mode;
}

TEST(NameTest, PartAndWholeName) {
    SearchCriteria part, whole, literal, broken;
    NameCriteria(part, u"doc", 1);
    EXPECT_TRUE(NameTest(part, u"report.DOC"));
    EXPECT_TRUE(NameTest(part, u"docs.txt"));
    EXPECT_FALSE(NameTest(part, u"readme"));
    EXPECT_FALSE(NameTest(part, u""));  // an item without a name never matches
    NameCriteria(whole, u"report.doc", 0);
    EXPECT_TRUE(NameTest(whole, u"REPORT.DOC"));
    EXPECT_FALSE(NameTest(whole, u"report.docx"));
    NameCriteria(literal, u"a*b", 0);  // no pattern characters in whole-name mode
    EXPECT_TRUE(NameTest(literal, u"A*B"));
    EXPECT_FALSE(NameTest(literal, u"axxb"));
    // A lost first letter in the whole-name test.
    EXPECT_TRUE(NameTest(whole, u"?EPORT.DOC", NameCompare {nullptr, true}));
    EXPECT_FALSE(NameTest(whole, u"?EPORT.DOC"));
    EXPECT_FALSE(NameTest(whole, u"?EPORT.DOX", NameCompare {nullptr, true}));
    NameCriteria(broken, u"[abc", 1);
    EXPECT_FALSE(NameTest(broken, u"a[abc"));
    SearchCriteria off;
    EXPECT_TRUE(NameTest(off, u"anything"));
}

TEST(SizeTest, BoundsInKiB) {
    SearchCriteria c;
    c.useSize = 1;
    c.sizeFrom = 1;
    c.sizeTo = 1;
    for (auto [size, ok] : std::vector<std::pair<uint32_t, bool>> {{1023, false}, {1024, true}, {1025, false}}) {
        EXPECT_EQ(SizeTestFat(c, size), ok) << size;
        EXPECT_EQ(SizeTest64(c, size), ok) << size;
    }
    c.sizeFrom = 0;
    c.sizeTo = 0;
    EXPECT_TRUE(SizeTestFat(c, 0));
    EXPECT_FALSE(SizeTestFat(c, 1));
    // FAT: a maximum of 0x400000 KiB (4 GiB) or more is no bound at all; a
    // minimum above 0x3FFFFF KiB admits nothing.
    c.sizeTo = 0x400000;
    EXPECT_TRUE(SizeTestFat(c, 0xFFFFFFFF));
    c.sizeTo = 0x3FFFFF;
    EXPECT_FALSE(SizeTestFat(c, 0xFFFFFFFF));
    EXPECT_TRUE(SizeTestFat(c, 0x3FFFFFu * 1024));
    c.sizeFrom = 0x400000;
    c.sizeTo = 0xFFFFFFFF;
    EXPECT_FALSE(SizeTestFat(c, 0xFFFFFFFF));
    // 64-bit sizes compute the bounds in 64 bits.
    EXPECT_TRUE(SizeTest64(c, 0x400000ull * 1024));
    EXPECT_FALSE(SizeTest64(c, 0x400000ull * 1024 - 1));
}

TEST(DateTest, LocalSecondsAndClosedRange) {
    setenv("TZ", "UTC", 1);
    tzset();
    const uint64_t ticks = 10000000ull;
    const uint64_t epoch = 11644473600ull * ticks;
    const uint64_t t = epoch + 1076763076ull * ticks;  // 2004-02-14 12:51:16
    EXPECT_EQ(SearchTimeSeconds(t), 1076763076);
    EXPECT_EQ(SearchTimeSeconds(0), 0);                           // 1601: before 1900
    EXPECT_EQ(SearchTimeSeconds(epoch - 2209000000ull * ticks), 0);  // 1899
    SearchCriteria c;
    c.useDate = 1;
    c.dateFrom = c.dateTo = 1076763076;
    c.dateKind = 0;
    EXPECT_TRUE(DateTest(c, t, 0));
    EXPECT_FALSE(DateTest(c, t + ticks, 0));
    EXPECT_FALSE(DateTest(c, t - ticks, 0));
    c.dateKind = 1;
    EXPECT_FALSE(DateTest(c, t, 0));
    EXPECT_TRUE(DateTest(c, 0, t));
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    // The volume's clock: no zone of this machine enters the count.
    EXPECT_EQ(SearchTimeSeconds(t), 1076763076);
    // Calendar seconds with no zone against the local calendar's.
    int64_t s = 0;
    ASSERT_TRUE(CalendarSeconds(2004, 2, 14, 12, 51, 16, s));
    EXPECT_EQ(s, 1076763076);
    ASSERT_TRUE(LocalCalendarSeconds(2004, 2, 14, 12, 51, 16, s));
    EXPECT_EQ(s, 1076763076 - 3600);  // CET is an hour ahead of UTC
    ASSERT_TRUE(LocalCalendarSeconds(2004, 6, 1, 12, 0, 0, s));
    EXPECT_EQ(s, 1086091200 - 7200);  // CEST two hours
    for (auto [y, mo, d, h, mi, sec, expected] :
         {std::tuple {1970, 1, 1, 0, 0, 0, int64_t(0)}, {1601, 1, 1, 0, 0, 0, int64_t(-11644473600)},
          {2000, 2, 29, 23, 59, 59, int64_t(951868799)}, {2107, 12, 31, 23, 59, 58, int64_t(4354819198)}}) {
        ASSERT_TRUE(CalendarSeconds(y, mo, d, h, mi, sec, s)) << y;
        EXPECT_EQ(s, expected) << y;
    }
    EXPECT_FALSE(CalendarSeconds(2001, 2, 29, 0, 0, 0, s));
    EXPECT_FALSE(CalendarSeconds(2004, 4, 31, 0, 0, 0, s));
    EXPECT_FALSE(CalendarSeconds(2004, 1, 1, 0, 0, 60, s));
    setenv("TZ", "UTC", 1);
    tzset();
}

// Every simple case folding of the Unicode data (CaseFolding.txt, lines C
// and S, from unicode-data), above the BMP too; other characters stay.
TEST(FoldCase, FollowsTheUnicodeData) {
    std::ifstream in("/usr/share/unicode/CaseFolding.txt");
    QUARLIX_REQUIRE(in.good(), "/usr/share/unicode/CaseFolding.txt (unicode-data) is needed");
    std::map<char32_t, char32_t> folds;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        char status = 0;
        unsigned code = 0, to = 0;
        if (std::sscanf(line.c_str(), "%x; %c; %x;", &code, &status, &to) == 3 && (status == 'C' || status == 'S'))
            folds[code] = to;
    }
    ASSERT_GT(folds.size(), 1400u);
    int wrong = 0;
    for (char32_t c = 0; c < 0x20000; ++c) {
        const auto it = folds.find(c);
        const char32_t expected = it == folds.end() ? c : it->second;
        if (FoldCodePoint(c) != expected && ++wrong <= 5) ADD_FAILURE() << "U+" << std::hex << uint32_t(c);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(EqualsIgnoreCase(u"\U00010400x", u"\U00010428X"));
    EXPECT_EQ(FoldCase(std::u16string(u"\U00010400\u0218")), u"\U00010428\u0219");
    EXPECT_FALSE(EqualsIgnoreCase(u"\u00D7", u"\u00F7"));  // × and ÷ are not a pair
    EXPECT_FALSE(EqualsIgnoreCase(u"abc", u"abcd"));
}

}  // namespace
