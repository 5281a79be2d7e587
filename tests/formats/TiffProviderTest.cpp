// The TIFF/DNG recogniser on built files: the IFD walk, the extent, the main
// image, strips and tiles, SubIFDs, Artist and DNG.
#include <gtest/gtest.h>

#include <algorithm>

#include "TiffBuilder.h"
#include "engine/formats/Providers.h"

using namespace scantest;

namespace {

std::vector<TiffEntry> With(std::vector<TiffEntry> entries, std::initializer_list<TiffEntry> more) {
    entries.insert(entries.end(), more.begin(), more.end());
    std::sort(entries.begin(), entries.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    return entries;
}

// Strip of 100 bytes at 8, then the IFD.
Bytes Simple(bool big, std::initializer_list<TiffEntry> extra = {}) {
    TiffBuilder t(big);
    t.Append(Bytes(100, 0x5A));
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(With(StripImage(10, 10, 8, 100), extra))));
    return t.bytes;
}

}  // namespace

TEST(TIFFProvider, RecognisesBothByteOrdersWithTheExtentAsSize) {
    for (bool big : {false, true}) {
        Bytes file = Simple(big);
        Hit h = Detect(TIFFProviderDetect, file);
        ASSERT_TRUE(h.found) << big;
        EXPECT_EQ(h.size, file.size());  // the IFD ends the file
        EXPECT_EQ(h.type, u"tif");
    }
    // A strip past the IFD extends the file.
    TiffBuilder t(false);
    size_t ifd = t.AppendIfd(StripImage(10, 10, 2000, 300));
    t.SetFirstIfd(static_cast<uint32_t>(ifd));
    EXPECT_EQ(Detect(TIFFProviderDetect, t.bytes, 4096).size, 2300u);

    Bytes magic = Simple(false);
    magic[2] = 43;
    EXPECT_FALSE(Detect(TIFFProviderDetect, magic).found);
}

TEST(TIFFProvider, MainImageFromNewSubfileTypeWhichDefaultsToFullResolution) {
    EXPECT_TRUE(Detect(TIFFProviderDetect, Simple(false, {{254, 4, 1, 0}})).found);
    EXPECT_TRUE(Detect(TIFFProviderDetect, Simple(false, {{254, 4, 1, 2}})).found);   // a page
    EXPECT_TRUE(Detect(TIFFProviderDetect, Simple(false)).found);                     // tag absent: 0
    EXPECT_FALSE(Detect(TIFFProviderDetect, Simple(false, {{254, 4, 1, 1}})).found);  // only a reduced image
}

TEST(TIFFProvider, DateTimeMustHoldTwentyBytes) {
    TiffBuilder ok(false), bad(false);
    for (TiffBuilder* t : {&ok, &bad}) {
        t->Append(Bytes(100, 1));
        t->Append(Bytes(20, '1'));  // at 108
    }
    ok.SetFirstIfd(static_cast<uint32_t>(ok.AppendIfd(With(StripImage(10, 10, 8, 100), {{306, 2, 20, 108}}))));
    bad.SetFirstIfd(static_cast<uint32_t>(bad.AppendIfd(With(StripImage(10, 10, 8, 100), {{306, 2, 19, 108}}))));
    EXPECT_TRUE(Detect(TIFFProviderDetect, ok.bytes).found);
    EXPECT_FALSE(Detect(TIFFProviderDetect, bad.bytes).found);
}

TEST(TIFFProvider, AnIfdOf426EntriesIsReadAnd427Fail) {
    for (uint32_t n : {426u, 427u}) {
        std::vector<TiffEntry> entries = StripImage(10, 10, 8, 100);
        for (uint32_t i = 0; entries.size() < n; ++i) entries.push_back({static_cast<uint16_t>(40000 + i), 3, 1, 0});
        TiffBuilder t(false);
        t.Append(Bytes(100, 1));
        t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(entries)));
        Hit h = Detect(TIFFProviderDetect, t.bytes);
        EXPECT_EQ(h.found, n == 426) << n;
        if (h.found) {
            EXPECT_EQ(h.size, t.bytes.size());
        }
    }
}

TEST(TIFFProvider, ArtistBecomesTheAuthorAndAChainOfIfdsIsWalked) {
    TiffBuilder t(true);
    t.Append(Bytes(100, 1));                       // strip 1 at 8
    size_t artist = t.Append({'J', 'o', 's', 0xE9, ' ', 'M', 0});  // CP1252 e-acute
    size_t ifd0 = t.AppendIfd(With(StripImage(10, 10, 8, 100), {{254, 4, 1, 2}, {315, 2, 7, static_cast<uint32_t>(artist)}}));
    t.SetFirstIfd(static_cast<uint32_t>(ifd0));
    size_t strip2 = t.Append(Bytes(50, 2));
    size_t ifd1 = t.AppendIfd(With(StripImage(5, 10, static_cast<uint32_t>(strip2), 50), {{254, 4, 1, 2}}));
    t.SetNext(ifd0, 7, static_cast<uint32_t>(ifd1));
    t.Append(Bytes(3, 0));  // bytes after the last thing the file holds are not counted
    Hit h = Detect(TIFFProviderDetect, t.bytes);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, t.bytes.size() - 3);
    EXPECT_EQ(h.author, u"Jos\u00E9 M");
}

TEST(TIFFProvider, TilesAndStripsMustMatchTheirCounts) {
    // 20 x 20 in 10 x 10 tiles: 4 tiles, arrays out of line.
    TiffBuilder t(false);
    size_t offs = t.AppendLongs({100, 200, 300, 400});
    size_t counts = t.AppendLongs({100, 100, 100, 1000});
    std::vector<TiffEntry> tiled = {{256, 3, 1, 20}, {257, 3, 1, 20}, {322, 3, 1, 10}, {323, 3, 1, 10},
                                    {324, 4, 4, static_cast<uint32_t>(offs)}, {325, 4, 4, static_cast<uint32_t>(counts)}};
    t.Append(Bytes(1500 - t.bytes.size(), 3));
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(tiled)));
    Hit h = Detect(TIFFProviderDetect, t.bytes);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, std::max<uint64_t>(1400, t.bytes.size()));

    // Tile width without tile length; tiles together with RowsPerStrip.
    TiffBuilder noLength(false);
    noLength.SetFirstIfd(static_cast<uint32_t>(
        noLength.AppendIfd({{256, 3, 1, 20}, {257, 3, 1, 20}, {322, 3, 1, 10}, {324, 4, 1, 8}, {325, 4, 1, 8}})));
    EXPECT_FALSE(Detect(TIFFProviderDetect, noLength.bytes).found);

    // RowsPerStrip 5 for 10 rows needs two strips; one given.
    TiffBuilder mismatch(false);
    mismatch.Append(Bytes(100, 1));
    mismatch.SetFirstIfd(static_cast<uint32_t>(
        mismatch.AppendIfd({{256, 3, 1, 10}, {257, 3, 1, 10}, {273, 4, 1, 8}, {278, 3, 1, 5}, {279, 4, 1, 100}})));
    EXPECT_FALSE(Detect(TIFFProviderDetect, mismatch.bytes).found);

    // RowsPerStrip 0 is taken as one strip for the whole image (no division by zero).
    TiffBuilder zero(false);
    zero.Append(Bytes(100, 1));
    zero.SetFirstIfd(static_cast<uint32_t>(
        zero.AppendIfd({{256, 3, 1, 10}, {257, 3, 1, 10}, {273, 4, 1, 8}, {278, 3, 1, 0}, {279, 4, 1, 100}})));
    EXPECT_TRUE(Detect(TIFFProviderDetect, zero.bytes).found);
}

TEST(TIFFProvider, StripArraysLargerThanTheBufferAreReadInPieces) {
    // 3,000 one-row strips: two arrays of 12,000 bytes each.
    const uint32_t rows = 3000;
    TiffBuilder t(false);
    std::vector<uint32_t> offs(rows), counts(rows, 2);
    const uint32_t dataAt = 8 + 2 * rows * 4;
    for (uint32_t i = 0; i < rows; ++i) offs[i] = dataAt + i * 2;
    counts[1234] = 7;  // one strip longer; the last strip stays the furthest
    size_t o = t.AppendLongs(offs);
    size_t c = t.AppendLongs(counts);
    t.Append(Bytes(rows * 2 + 5, 4));
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(
        {{256, 3, 1, 1}, {257, 3, 1, rows}, {273, 4, rows, static_cast<uint32_t>(o)}, {278, 3, 1, 1},
         {279, 4, rows, static_cast<uint32_t>(c)}})));
    Hit h = Detect(TIFFProviderDetect, t.bytes);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, t.bytes.size());

    // One strip offset beyond the position cap fails the IFD.
    offs[2999] = 62914560;
    TiffBuilder far(false);
    o = far.AppendLongs(offs);
    c = far.AppendLongs(counts);
    far.SetFirstIfd(static_cast<uint32_t>(far.AppendIfd(
        {{256, 3, 1, 1}, {257, 3, 1, rows}, {273, 4, rows, static_cast<uint32_t>(o)}, {278, 3, 1, 1},
         {279, 4, rows, static_cast<uint32_t>(c)}})));
    EXPECT_FALSE(Detect(TIFFProviderDetect, far.bytes).found);
}

TEST(TIFFProvider, DngWithThumbnailInIfd0AndTheRawImageInASubIfd) {
    for (uint16_t subType : {uint16_t(4), uint16_t(13)}) {  // SubIFDs as LONG or as IFD
        TiffBuilder t(false);
        t.Append(Bytes(100, 1));  // thumbnail strip at 8
        size_t raw = t.Append(Bytes(4000, 2));
        size_t sub = t.AppendIfd({{254, 4, 1, 0}, {256, 3, 1, 40}, {257, 3, 1, 50}, {273, 4, 1, static_cast<uint32_t>(raw)},
                                  {278, 3, 1, 50}, {279, 4, 1, 4000}});
        size_t ifd0 = t.AppendIfd({{254, 4, 1, 1}, {256, 3, 1, 10}, {257, 3, 1, 10}, {273, 4, 1, 8}, {278, 3, 1, 10},
                                   {279, 4, 1, 100}, {330, subType, 1, static_cast<uint32_t>(sub)},
                                   {50706, 1, 4, 0x00000401}});
        t.SetFirstIfd(static_cast<uint32_t>(ifd0));
        Hit h = Detect(TIFFProviderDetect, t.bytes);
        ASSERT_TRUE(h.found) << subType;
        EXPECT_EQ(h.type, u"dng");
        EXPECT_EQ(h.size, t.bytes.size());
    }
    // The same file without DNGVersion is a TIFF; without the SubIFD it has no main image.
    TiffBuilder t(false);
    t.Append(Bytes(100, 1));
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd({{254, 4, 1, 1}, {256, 3, 1, 10}, {257, 3, 1, 10}, {273, 4, 1, 8},
                                                      {278, 3, 1, 10}, {279, 4, 1, 100}, {50706, 1, 4, 0x401}})));
    EXPECT_FALSE(Detect(TIFFProviderDetect, t.bytes).found);
}
