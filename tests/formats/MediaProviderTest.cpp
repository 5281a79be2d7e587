// The MPEG audio and QuickTime recognisers on built files.
#include <gtest/gtest.h>

#include "engine/formats/Providers.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

// n frames of `length` bytes, each starting with the 4-byte header h.
Bytes Frames(int n, std::initializer_list<uint8_t> h, size_t length) {
    Bytes b;
    for (int i = 0; i < n; ++i) {
        Bytes f(length, 0x55);
        std::copy(h.begin(), h.end(), f.begin());
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

// MPEG-1 Layer III, 128 kbit/s, 44,100 Hz: 417 bytes, 418 with padding.
Bytes Mp1Frames(int n, bool padding = false) { return Frames(n, {0xFF, 0xFB, uint8_t(padding ? 0x92 : 0x90), 0x00}, padding ? 418 : 417); }

Bytes Id3v1(const std::string& title, const std::string& artist) {
    Bytes b;
    Text(b, "TAG");
    Bytes t(30, 0), a(30, 0);
    std::copy(title.begin(), title.end(), t.begin());
    std::copy(artist.begin(), artist.end(), a.begin());
    b.insert(b.end(), t.begin(), t.end());
    b.insert(b.end(), a.begin(), a.end());
    Fill(b, 128 - b.size(), 0);
    return b;
}

Bytes Synchsafe(uint32_t v) {
    return {uint8_t(v >> 21 & 0x7F), uint8_t(v >> 14 & 0x7F), uint8_t(v >> 7 & 0x7F), uint8_t(v & 0x7F)};
}

Bytes Id3Frame(const std::string& id, const Bytes& content) {
    Bytes b;
    Text(b, id);
    Be32(b, static_cast<uint32_t>(content.size()));
    Fill(b, 2, 0);
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

// An ID3v2 tag of the given major version holding frames, with padding.
Bytes Id3v2(uint8_t major, const Bytes& frames, size_t padding, uint8_t flags = 0, const Bytes& ext = {}) {
    Bytes body = Concat({ext, frames});
    Fill(body, padding, 0);
    Bytes b;
    Text(b, "ID3");
    b.insert(b.end(), {major, 0, flags});
    Bytes size = Synchsafe(static_cast<uint32_t>(body.size()));
    b.insert(b.end(), size.begin(), size.end());
    return Concat({b, body});
}

Bytes Utf16Be(const std::u16string& s) {
    Bytes b = {0x01, 0xFE, 0xFF};
    for (char16_t c : s) Be16(b, c);
    return b;
}

Bytes Latin1(const std::string& s) {
    Bytes b = {0x00};
    Text(b, s);
    return b;
}

Bytes Lyrics3(const std::string& title, const std::string& end) {
    Bytes b;
    Text(b, "LYRICSBEGIN");
    Text(b, "IND00002");
    Text(b, "11");
    char size[6];
    snprintf(size, sizeof size, "%05zu", title.size());
    Text(b, "ETT" + std::string(size) + title);
    char total[7];
    snprintf(total, sizeof total, "%06zu", b.size());
    Text(b, total);
    Text(b, end);
    return b;
}

Bytes Atom(const std::string& type, const Bytes& payload) {
    Bytes b;
    Be32(b, static_cast<uint32_t>(payload.size() + 8));
    Text(b, type);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Ftyp(std::initializer_list<const char*> brands) {
    Bytes p;
    Text(p, *brands.begin());
    Be32(p, 0x200);
    for (const char* br : brands) Text(p, br);
    return Atom("ftyp", p);
}

Bytes Moov() { return Atom("moov", Concat({Atom("mvhd", Bytes(100, 0)), Atom("trak", Bytes(40, 1))})); }

// Mp3 streams are followed by zeros, so that no frame header follows by chance.
Hit DetectMp3(const Bytes& file) { return Detect(MPEGProviderDetect, Concat({file, Bytes(4096, 0)})); }

}  // namespace

TEST(MPEGProvider, FrameLengthsFollowTheLayerThreeTables) {
    Bytes plain = Concat({Mp1Frames(3), Id3v1("t", "a")});
    Hit h = DetectMp3(plain);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, 3 * 417 + 128u);
    EXPECT_EQ(h.type, u"mp3");
    EXPECT_EQ(DetectMp3(Concat({Mp1Frames(3, true), Id3v1("t", "a")})).size, 3 * 418 + 128u);
    // MPEG-2 Layer III (half the samples per frame): 72 x 32,000 / 22,050 = 104 bytes.
    Bytes mpeg2 = Concat({Frames(5, {0xFF, 0xF3, 0x40, 0xC4}, 104), Id3v1("low", "")});
    EXPECT_EQ(DetectMp3(mpeg2).size, 5 * 104 + 128u);
    // MPEG-1 Layer II, 192 kbit/s at 48,000 Hz: 144 x 192,000 / 48,000 = 576.
    EXPECT_EQ(DetectMp3(Concat({Frames(4, {0xFF, 0xFD, 0xA4, 0x00}, 576), Id3v1("", "")})).size, 4 * 576 + 128u);
}

TEST(MPEGProvider, FreeFormatFramesTakeThePreviousBitRate) {
    Bytes freeFirst = Concat({Frames(1, {0xFF, 0xFB, 0x00, 0x00}, 417), Mp1Frames(2), Id3v1("t", "")});
    EXPECT_FALSE(DetectMp3(freeFirst).found);
    Bytes freeSecond = Concat({Mp1Frames(1), Frames(1, {0xFF, 0xFB, 0x00, 0x00}, 417), Id3v1("t", "")});
    EXPECT_EQ(DetectMp3(freeSecond).size, 2 * 417 + 128u);
}

TEST(MPEGProvider, UntaggedStreamsMustPass51200Bytes) {
    EXPECT_FALSE(DetectMp3(Mp1Frames(100)).found);  // 41,700 bytes
    Hit tagged = DetectMp3(Concat({Mp1Frames(100), Id3v1("Song", "Band")}));
    ASSERT_TRUE(tagged.found);
    EXPECT_EQ(tagged.size, 41700 + 128u);
    Hit longer = DetectMp3(Mp1Frames(123));  // 51,291 bytes
    ASSERT_TRUE(longer.found);
    EXPECT_EQ(longer.size, 123 * 417u);
    EXPECT_FALSE(DetectMp3(Mp1Frames(122)).found);  // 50,874
}

TEST(MPEGProvider, Id3v23FramesGiveTitleAndArtist) {
    // Extended header (flag 0x40): its 4-byte size (6) and 6 bytes.
    Bytes ext = {0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
    Bytes frames = Concat({Id3Frame("TPE1", Latin1("  The Band ")), Id3Frame("TIT2", Utf16Be(u"Caf\u00E9 \u266B")),
                           Id3Frame("COMM", Bytes(20, 'c'))});
    Bytes tag = Id3v2(3, frames, 700, 0x40, ext);
    Bytes file = Concat({tag, Mp1Frames(4)});
    Hit h = DetectMp3(file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, file.size());
    EXPECT_EQ(h.title, u"Caf\u00E9 \u266B");
    EXPECT_EQ(h.author, u"The Band");  // trimmed

    // Zero padding beyond the declared size is skipped to the first frame.
    Bytes padded = Concat({Id3v2(3, frames, 0), Bytes(300, 0), Mp1Frames(2)});
    EXPECT_EQ(DetectMp3(padded).size, padded.size());

    // An ID3v2.4 tag is skipped unread: the title then comes from ID3v1.
    Bytes v24 = Concat({Id3v2(4, frames, 10), Mp1Frames(2), Id3v1("From v1", "Artist v1")});
    Hit h4 = DetectMp3(v24);
    ASSERT_TRUE(h4.found);
    EXPECT_EQ(h4.title, u"From v1");
    EXPECT_EQ(h4.author, u"Artist v1");
}

TEST(MPEGProvider, Lyrics3BlockCountedOnlyWithItsEndMark) {
    Bytes good = Concat({Mp1Frames(3), Lyrics3("Lyric Title", "LYRICS200"), Id3v1("", "V1 Artist")});
    Hit h = DetectMp3(good);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, good.size());
    EXPECT_EQ(h.title, u"Lyric Title");
    EXPECT_EQ(h.author, u"V1 Artist");

    // Without "LYRICS200" the block is not part of the file; nothing follows it
    // that counts, and the walk still saw a Lyrics3 start, so the frames stand.
    Bytes bad = Concat({Mp1Frames(3), Lyrics3("Lyric Title", "LYRICS201")});
    Hit b = DetectMp3(bad);
    ASSERT_TRUE(b.found);
    EXPECT_EQ(b.size, 3 * 417u);
    EXPECT_TRUE(b.title.empty());
}

TEST(MPEGProvider, Id3v1TitleAndArtistAreTheirWhole30ByteFields) {
    const std::string t30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234";
    Hit h = DetectMp3(Concat({Mp1Frames(2), Id3v1(t30, "Thirty characters of artist!!")}));
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.title, u"ABCDEFGHIJKLMNOPQRSTUVWXYZ1234");
    EXPECT_EQ(h.author, u"Thirty characters of artist!!");
}

TEST(MPEGProvider, InvalidHeadersAreNotAudio) {
    EXPECT_FALSE(DetectMp3(Concat({Frames(3, {0xFF, 0xFB, 0xF0, 0x00}, 417), Id3v1("t", "")})).found);  // bit rate 15
    EXPECT_FALSE(DetectMp3(Concat({Frames(3, {0xFF, 0xFB, 0x9C, 0x00}, 417), Id3v1("t", "")})).found);  // sample rate 3
    EXPECT_FALSE(DetectMp3(Concat({Frames(3, {0xFF, 0xF9, 0x90, 0x00}, 417), Id3v1("t", "")})).found);  // layer 00
    EXPECT_FALSE(DetectMp3(Concat({Frames(3, {0xFF, 0xEB, 0x90, 0x00}, 417), Id3v1("t", "")})).found);  // reserved version
    EXPECT_FALSE(DetectMp3(Concat({Frames(3, {0xFF, 0xDB, 0x90, 0x00}, 417), Id3v1("t", "")})).found);  // sync 10 bits
    // An ID3v2 tag declaring 256 MiB ahead of no frames at all.
    EXPECT_FALSE(Detect(MPEGProviderDetect, {'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}).found);
}

TEST(QTFFProvider, MovieWithFtypWideMdatAndMoov) {
    Bytes file = Concat({Ftyp({"qt  "}), Atom("wide", {}), Atom("mdat", Bytes(3000, 7)), Moov()});
    Hit h = Detect(QTFFProviderDetect, file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, file.size());
    EXPECT_EQ(h.type, u"mov");

    // Files of other brands: IsoMediaProvider.TheFtypBrandsNameOneTypeForBothRecognisers.
    // Needs both moov and mdat.
    EXPECT_FALSE(Detect(QTFFProviderDetect, Concat({Ftyp({"qt  "}), Atom("mdat", Bytes(100, 7))})).found);
    EXPECT_FALSE(Detect(QTFFProviderDetect, Concat({Ftyp({"qt  "}), Moov()})).found);
}

TEST(QTFFProvider, WithoutFtypAndWithMoovFirstTheSizeEndsAtTheLastKnownAtom) {
    for (const char* first : {"wide", "free", "skip"}) {
        Bytes noFtyp = Concat({Atom(first, {}), Atom("mdat", Bytes(500, 7)), Moov()});
        EXPECT_EQ(Detect(QTFFProviderDetect, noFtyp).size, noFtyp.size()) << first;
    }
    Bytes moovFirst = Concat({Moov(), Atom("mdat", Bytes(500, 7))});
    Bytes withTail = Concat({moovFirst, Atom("junk", Bytes(50, 1))});
    EXPECT_EQ(Detect(QTFFProviderDetect, withTail).size, moovFirst.size());
    // A preview named by pnot may stand at top level, also first.
    Bytes pnot;
    Be32(pnot, 0);
    Be16(pnot, 0);
    Text(pnot, "PICT");
    Be16(pnot, 1);
    Bytes preview = Concat({Atom("mdat", Bytes(64, 1)), Atom("pnot", pnot), Atom("PICT", Bytes(30, 2)), Moov()});
    EXPECT_EQ(Detect(QTFFProviderDetect, preview).size, preview.size());
    Bytes previewFirst = Concat({Atom("pnot", pnot), Atom("PICT", Bytes(30, 2)), Atom("mdat", Bytes(64, 1)), Moov()});
    EXPECT_EQ(Detect(QTFFProviderDetect, previewFirst).size, previewFirst.size());
}

TEST(QTFFProvider, AMoovMustHoldAHeaderAndChildrenThatFitIt) {
    Bytes noHeader = Concat({Atom("mdat", Bytes(64, 1)), Atom("moov", Atom("trak", Bytes(20, 1)))});
    EXPECT_FALSE(Detect(QTFFProviderDetect, noHeader).found);
    Bytes shortHeader = Concat({Atom("mdat", Bytes(64, 1)), Atom("moov", Atom("mvhd", Bytes(50, 0)))});
    EXPECT_FALSE(Detect(QTFFProviderDetect, shortHeader).found);
    Bytes overrun = Atom("moov", Atom("mvhd", Bytes(100, 0)));
    overrun[11] = 200;  // mvhd claims more than the moov holds
    EXPECT_FALSE(Detect(QTFFProviderDetect, Concat({Atom("mdat", Bytes(64, 1)), overrun})).found);
    Bytes cmov = Concat({Atom("mdat", Bytes(64, 1)), Atom("moov", Atom("cmov", Bytes(30, 0)))});
    EXPECT_TRUE(Detect(QTFFProviderDetect, cmov).found);
    // A meta atom must be 67 to 10,000 bytes.
    Bytes meta = Atom("meta", Concat({Atom("hdlr", Bytes(25, 0)), Atom("keys", Bytes(10, 0)), Atom("ilst", Bytes(8, 0))}));
    ASSERT_GE(meta.size(), 67u);
    EXPECT_TRUE(Detect(QTFFProviderDetect,
                       Concat({Atom("mdat", Bytes(64, 1)), Atom("moov", Concat({Atom("mvhd", Bytes(100, 0)), meta}))}))
                    .found);
    Bytes tinyMeta = Atom("meta", Atom("hdlr", Bytes(20, 0)));
    EXPECT_FALSE(Detect(QTFFProviderDetect,
                        Concat({Atom("mdat", Bytes(64, 1)), Atom("moov", Concat({Atom("mvhd", Bytes(100, 0)), tinyMeta}))}))
                     .found);
}
