// The directory-slot decoder (long names, deleted names, checksums, the
// pieces a hostile folder may hold) and the FAT time conversion, fed with
// slots built byte by byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/fat/FatDirectory.h"

namespace {

using Slot = std::vector<uint8_t>;

Slot Short(const char* name11, uint8_t attributes = 0x20, uint32_t cluster = 5, uint32_t size = 100,
           bool deleted = false) {
    Slot s(32, 0);
    std::memcpy(s.data(), name11, 11);
    if (deleted) s[0] = 0xE5;
    s[11] = attributes;
    s[26] = cluster & 0xFF;
    s[27] = (cluster >> 8) & 0xFF;
    s[20] = (cluster >> 16) & 0xFF;
    s[21] = (cluster >> 24) & 0xFF;
    for (int i = 0; i < 4; ++i) s[28 + i] = (size >> (8 * i)) & 0xFF;
    return s;
}

// A long-name piece holding text (at most 13 characters, NUL then 0xFFFF padded).
Slot Piece(uint8_t sequence, const std::u16string& text, uint8_t checksum) {
    Slot s(32, 0);
    s[0] = sequence;
    s[11] = 0x0F;
    s[13] = checksum;
    static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < 13; ++i) {
        char16_t c = i < static_cast<int>(text.size()) ? text[i] : (i == static_cast<int>(text.size()) ? 0 : 0xFFFF);
        s[kOffsets[i]] = c & 0xFF;
        s[kOffsets[i] + 1] = c >> 8;
    }
    return s;
}

uint8_t Sum(const char* name11) { return FatShortNameChecksum(reinterpret_cast<const uint8_t*>(name11)); }

// Feeds the slots in order; returns the entries decoded.
std::vector<std::pair<FatFileInfo, bool>> Decode(const std::vector<Slot>& slots, bool fat32 = false) {
    CFatEntryDecoder d(fat32);
    std::vector<std::pair<FatFileInfo, bool>> out;
    for (auto& s : slots) {
        FatFileInfo info;
        bool deleted = false;
        if (d.Feed(s.data(), info, deleted) == CFatEntryDecoder::Result::Entry) out.push_back({info, deleted});
        EXPECT_LE(d.PieceCount(), kFatMaxLongNamePieces);
    }
    return out;
}

std::string Ascii(const std::u16string& s) { return std::string(s.begin(), s.end()); }

const char kLong[] = "ALONGF~1TXT";

TEST(FatEntryDecoder, ShortNames) {
    auto r = Decode({Short("LETTER  TXT", 0x20, 5, 1234, true), Short("README  TXT"), Short("NOEXT      "),
                     Short("\x05" "BC     TXT")});
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(Ascii(r[0].first.name), "?ETTER.TXT");  // a deletion overwrote the first letter
    EXPECT_TRUE(r[0].second);
    EXPECT_EQ(r[0].first.size, 1234u);
    EXPECT_EQ(Ascii(r[1].first.name), "README.TXT");
    EXPECT_FALSE(r[1].second);
    EXPECT_EQ(Ascii(r[2].first.name), "NOEXT");
    EXPECT_EQ(r[3].first.name, u"\u00E5BC.TXT");  // 0x05 stands for a leading 0xE5 (CP1252 å)

    Slot lower = Short("README  TXT");
    lower[12] = 0x18;  // base and extension in small letters
    EXPECT_EQ(Ascii(Decode({lower})[0].first.name), "readme.txt");
}

TEST(FatEntryDecoder, LongNamesLiveAndDeleted) {
    const uint8_t sum = Sum(kLong);
    // On disk the last piece comes first.
    std::vector<Slot> live = {Piece(0x42, u"name.txt", sum), Piece(0x01, u"A long file ", sum), Short(kLong)};
    auto r = Decode(live);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Ascii(r[0].first.name), "A long file name.txt");

    // Deleted: every piece and the short entry begin with 0xE5; the long
    // name keeps its first letter.
    std::vector<Slot> del = live;
    for (auto& s : del) s[0] = 0xE5;
    r = Decode(del);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].second);
    EXPECT_EQ(Ascii(r[0].first.name), "A long file name.txt");

    // Pieces stored out of order are put back in order.
    r = Decode({Piece(0x01, u"A long file ", sum), Piece(0x42, u"name.txt", sum), Short(kLong)});
    EXPECT_EQ(Ascii(r[0].first.name), "A long file name.txt");
}

TEST(FatEntryDecoder, MissingAndForeignPieces) {
    const uint8_t sum = Sum(kLong);
    // The middle piece of three is missing.
    auto r = Decode({Piece(0x43, u"third", sum), Piece(0x01, u"first-piece13", sum), Short(kLong)});
    EXPECT_EQ(Ascii(r[0].first.name), "first-piece13???????????third");
    // A middle piece with another checksum contributes nothing.
    r = Decode({Piece(0x43, u"third", sum), Piece(0x02, u"WRONG-PIECE!!", sum ^ 0x5A),
                Piece(0x01, u"first-piece13", sum), Short(kLong)});
    EXPECT_EQ(Ascii(r[0].first.name), "first-piece13???????????third");
    // Pieces that all belong to another entry leave the short name.
    r = Decode({Piece(0x42, u"name.txt", sum ^ 1), Piece(0x01, u"A long file ", sum ^ 1), Short(kLong)});
    EXPECT_EQ(Ascii(r[0].first.name), "ALONGF~1.TXT");
    // Deleted pieces before a live short entry (a slot reused by an 8.3 name) are ignored.
    Slot stale = Piece(0x41, u"old name", 0);
    stale[0] = 0xE5;
    r = Decode({stale, Short("NEW     TXT")});
    EXPECT_EQ(Ascii(r[0].first.name), "NEW.TXT");
    // A short entry clears the pieces: the next entry starts afresh.
    r = Decode({Piece(0x41, u"solo", Sum("SOLO    TXT")), Short("SOLO    TXT"), Short("NEXT    TXT")});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Ascii(r[0].first.name), "solo");
    EXPECT_EQ(Ascii(r[1].first.name), "NEXT.TXT");
}

TEST(FatEntryDecoder, HostilePieceNumbersAndCounts) {
    const uint8_t sum = Sum(kLong);
    // Numbers 0 and above 20 have no place in a long name.
    auto r = Decode({Piece(0x55, u"bogus", sum), Piece(0x40, u"zero", sum), Piece(0x41, u"ok.txt", sum), Short(kLong)});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Ascii(r[0].first.name), "ok.txt");
    // 30 live pieces in a row: never more than 20 are kept, the entry still decodes.
    std::vector<Slot> many;
    for (int i = 30; i >= 1; --i) many.push_back(Piece(static_cast<uint8_t>(((i - 1) % 20) + 1), u"abcdefghijklm", sum));
    many.push_back(Short(kLong));
    many.push_back(Short("AFTER   TXT"));
    r = Decode(many);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_LE(r[0].first.name.size(), 20u * 13 + 20 * 11);
    EXPECT_EQ(Ascii(r[1].first.name), "AFTER.TXT");
    // 25 deleted pieces: the 20 nearest the short entry are kept.
    std::vector<Slot> del;
    for (int i = 0; i < 25; ++i) {
        Slot p = Piece(0x01, i < 5 ? u"X" : u"y", 0);
        p[0] = 0xE5;
        del.push_back(p);
    }
    del.push_back(Short(kLong, 0x20, 5, 1, true));
    r = Decode(del);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Ascii(r[0].first.name), std::string(20, 'y'));
    // A long name of 20 pieces (positions above 15 included) is read whole.
    std::vector<Slot> full;
    std::u16string expected;
    for (int i = 1; i <= 20; ++i) expected += std::u16string(13, static_cast<char16_t>(u'a' + (i % 26)));
    for (int i = 20; i >= 1; --i)
        full.push_back(Piece(static_cast<uint8_t>(i | (i == 20 ? 0x40 : 0)), expected.substr((i - 1) * 13, 13), sum));
    full.push_back(Short(kLong));
    r = Decode(full);
    EXPECT_EQ(r[0].first.name, expected);
}

TEST(FatEntryDecoder, EntriesThatAreNotItems) {
    const uint8_t sum = Sum(kLong);
    // First cluster 0 with data: skipped, and its pieces are dropped with it.
    auto r = Decode({Piece(0x41, u"ghost", sum), Short(kLong, 0x20, 0, 10), Short("EMPTY   TXT", 0x20, 0, 0)});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Ascii(r[0].first.name), "EMPTY.TXT");
    // The volume label.
    r = Decode({Short("MY LABEL   ", 0x08, 0, 0), Short("FILE    TXT")});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Ascii(r[0].first.name), "FILE.TXT");
}

TEST(FatEntryDecoder, Fat32FirstClusterUsesTheHighWord) {
    Slot s = Short("BIGCLUS TXT", 0x20, 0x0001A2B3, 10);
    EXPECT_EQ(Decode({s}, true)[0].first.firstCluster, 0x0001A2B3u);
    EXPECT_EQ(Decode({s}, false)[0].first.firstCluster, 0xA2B3u);  // FAT12/16 have no high word
}

TEST(FatTime, WallClockWordsToFileTimeWhateverTheZone) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2004-02-14 12:51:16: date (24 << 9 | 2 << 5 | 14), time (12 << 11 | 51 << 5 | 8).
    const uint16_t date = 24 << 9 | 2 << 5 | 14, time = 12 << 11 | 51 << 5 | 8;
    const uint64_t expected = (1076763076ull + 11644473600ull) * 10000000ull;
    EXPECT_EQ(FatTimeToFileTime(date, time), expected);
    EXPECT_EQ(FatTimeToFileTime(date, time, 150), expected + 15000000);  // + 1.5 s
    EXPECT_EQ(FatTimeToFileTime(date, 0, 150), FatTimeToFileTime(date, 0));  // fine part ignored at 00:00:00
    EXPECT_EQ(FatTimeToFileTime(date, time, 200), expected);  // out of range
    // FAT keeps no zone: the words give the same count under any TZ, in a
    // daylight-saving summer too, and an hour that a spring-forward skips
    // locally still exists on the volume's clock.
    const uint16_t summer = 24 << 9 | 6 << 5 | 1, skipped = 2 << 11 | 30 << 5;
    const uint16_t march28 = 24 << 9 | 3 << 5 | 28;
    const uint64_t summerTime = FatTimeToFileTime(summer, time), skippedTime = FatTimeToFileTime(march28, skipped);
    for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "JST-9", "EST5EDT,M3.2.0,M11.1.0"}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(FatTimeToFileTime(date, time), expected) << zone;
        EXPECT_EQ(FatTimeToFileTime(summer, time), summerTime) << zone;
        EXPECT_EQ(FatTimeToFileTime(march28, skipped), skippedTime) << zone;
    }
    EXPECT_EQ(skippedTime, (1080441000ull + 11644473600ull) * 10000000ull);  // 2004-03-28 02:30:00
    setenv("TZ", "UTC", 1);
    tzset();
    // Not calendar times.
    EXPECT_EQ(FatTimeToFileTime(0, 0), 0u);
    EXPECT_EQ(FatTimeToFileTime(24 << 9 | 13 << 5 | 1, 0), 0u);  // month 13
    EXPECT_EQ(FatTimeToFileTime(24 << 9 | 2 << 5 | 30, 0), 0u);  // 30 February
    EXPECT_EQ(FatTimeToFileTime(21 << 9 | 2 << 5 | 29, 0), 0u);  // 29 February 2001
    EXPECT_NE(FatTimeToFileTime(20 << 9 | 2 << 5 | 29, 0), 0u);  // 29 February 2000
    EXPECT_EQ(FatTimeToFileTime(date, 24 << 11), 0u);            // hour 24
}

}  // namespace
