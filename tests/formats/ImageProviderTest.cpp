// JPEG, PNG, BMP, GIF and PSD recognisers on built files.
#include <gtest/gtest.h>

#include "engine/formats/Providers.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

Bytes Segment(uint8_t marker, const Bytes& payload) {
    Bytes b = {0xFF, marker};
    Be16(b, static_cast<uint16_t>(payload.size() + 2));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes Jfif() {
    Bytes p;
    Text(p, "JFIF");
    Fill(p, 10, 0);
    return Segment(0xE0, p);
}

Bytes Sos() { return Segment(0xDA, Bytes(6, 0)); }

Bytes PngChunk(const std::string& type, const Bytes& data) {
    Bytes b;
    Be32(b, static_cast<uint32_t>(data.size()));
    Text(b, type);
    b.insert(b.end(), data.begin(), data.end());
    Be32(b, 0x12345678);
    return b;
}

Bytes PngSignature() { return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}; }

Bytes Bmp(uint32_t fileSize, uint32_t dataOffset, uint32_t headerSize, uint16_t bits, uint32_t imageSize,
          uint16_t planes = 1) {
    Bytes b;
    Text(b, "BM");
    Le32(b, fileSize);
    Le32(b, 0);
    Le32(b, dataOffset);
    Le32(b, headerSize);
    Le32(b, 16);  // width
    Le32(b, 16);  // height
    Le16(b, planes);
    Le16(b, bits);
    Le32(b, 0);  // compression
    Le32(b, imageSize);
    Fill(b, 16, 0);
    return b;
}

Bytes GifHeader(bool globalTable) {
    Bytes b;
    Text(b, "GIF89a");
    Le16(b, 4);
    Le16(b, 4);
    b.push_back(globalTable ? 0x81 : 0x00);  // 4-entry table
    b.push_back(0);
    b.push_back(0);
    if (globalTable) Fill(b, 12, 0x40);
    return b;
}

Bytes GifImage() {
    Bytes b = {0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0x00, 0x02, 0x03, 0x84, 0x1D, 0x05, 0x01, 0x00, 0x00};
    return b;
}

Bytes PsdHeader(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth) {
    Bytes b;
    Text(b, "8BPS");
    Be16(b, 1);
    Fill(b, 6, 0);
    Be16(b, channels);
    Be32(b, height);
    Be32(b, width);
    Be16(b, depth);
    Be16(b, 3);  // RGB
    return b;
}

Bytes PsdSections() {
    Bytes b;
    Be32(b, 0);  // colour mode data
    Be32(b, 12);  // image resources
    Fill(b, 12, 7);
    Be32(b, 0);  // layers
    return b;
}

}  // namespace

TEST(JPEGProvider, WalksMarkerSegmentsByLengthAndEndsAtTheFirstEndOfImageAfterTheScan) {
    // An XMP APP1 first, then an Exif APP1 whose thumbnail holds its own FF D9.
    Bytes xmp;
    Text(xmp, "http://ns.adobe.com/xap/1.0/");
    xmp.push_back(0);
    Fill(xmp, 300, 'x');
    Bytes exif;
    Text(exif, "Exif");
    Fill(exif, 2, 0);
    exif.insert(exif.end(), {0xFF, 0xD8, 0xFF, 0xD9});
    Bytes dqt(65, 1);
    Bytes data(3000, 0x22);
    Bytes file = Concat({{0xFF, 0xD8}, Segment(0xE1, xmp), Segment(0xE1, exif), Segment(0xDB, dqt), Sos(), data,
                         {0xFF, 0xD9}});
    Hit h = Detect(JPEGProviderDetect, file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, file.size());
    EXPECT_EQ(h.type, u"jpg");
    EXPECT_TRUE(h.title.empty());

    Bytes noSoi = file;
    noSoi[1] = 0xD9;
    EXPECT_FALSE(Detect(JPEGProviderDetect, noSoi).found);
    Bytes badSegment = file;
    badSegment[2] = 0x00;  // not a marker where a segment must start
    EXPECT_FALSE(Detect(JPEGProviderDetect, badSegment).found);
}

TEST(JPEGProvider, FindsAnEndMarkerSplitAcrossTwoChunks) {
    // The end search starts after the scan header at p; chunks cover p..p+1023
    // then p+1023.. : put FF at p+1023 and D9 at p+1024.
    Bytes head = Concat({{0xFF, 0xD8}, Jfif(), Sos()});
    const size_t p = head.size();
    Bytes file = head;
    Fill(file, 1023, 0x33);
    file.insert(file.end(), {0xFF, 0xD9});
    ASSERT_EQ(file[p + 1023], 0xFF);
    Hit h = Detect(JPEGProviderDetect, file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, p + 1025);
}

TEST(PNGProvider, WalksChunksToIendAndRejectsNonLetterChunkTypes) {
    Bytes file = Concat({PngSignature(), PngChunk("IHDR", Bytes(13, 1)), PngChunk("tEXt", Bytes(40, 'a')),
                         PngChunk("IDAT", Bytes(900, 5)), PngChunk("IEND", {})});
    Hit h = Detect(PNGProviderDetect, file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, file.size());
    EXPECT_EQ(h.type, u"png");

    Bytes digit = Concat({PngSignature(), PngChunk("IHDR", Bytes(13, 1)), PngChunk("tEX1", Bytes(4, 0)),
                          PngChunk("IEND", {})});
    EXPECT_FALSE(Detect(PNGProviderDetect, digit).found);
    Bytes badSig = file;
    badSig[4] = 0x0A;
    EXPECT_FALSE(Detect(PNGProviderDetect, badSig).found);
}

TEST(BMPProvider, SizeFromImageSizeOrFileSizeAndHeaderChecks) {
    // 40-byte header: image size 0 -> the file header's size; 1,000 at offset 54 -> 1,054.
    EXPECT_EQ(Detect(BMPProviderDetect, Bmp(5000, 54, 40, 24, 0)).size, 5000u);
    EXPECT_EQ(Detect(BMPProviderDetect, Bmp(5000, 54, 40, 24, 1000)).size, 1054u);
    // Another header size: always the file header's size.
    EXPECT_EQ(Detect(BMPProviderDetect, Bmp(7000, 138, 124, 32, 1000)).size, 7000u);
    // 48 bits per pixel with a 40-byte header, header size 0, a file size over
    // 100 MB, and a zero size are rejected.
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(5000, 54, 40, 48, 0)).found);
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(5000, 54, 0, 24, 0)).found);
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(104857601, 54, 40, 24, 0)).found);
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(0, 54, 40, 24, 0)).found);
    // Plausibility beyond the signature: header sizes the format does not
    // define, a plane count other than 1, or an offset stretching the file
    // past the cap.
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(5000, 54, 41, 24, 0)).found);
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(5000, 54, 40, 24, 0, 3)).found);
    EXPECT_FALSE(Detect(BMPProviderDetect, Bmp(5000, 0xFFFFFF00u, 40, 24, 1000)).found);
}

TEST(GIFProvider, WalksExtensionsAndImagesToTheTrailer) {
    Bytes app = {0x21, 0xFF, 0x0B};
    Text(app, "NETSCAPE2.0");
    app.insert(app.end(), {0x03, 0x01, 0x00, 0x00, 0x00});
    Bytes comment = {0x21, 0xFE, 0x05, 'h', 'e', 'l', 'l', 'o', 0x00};
    Bytes gce = {0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00};
    Bytes file = Concat({GifHeader(true), app, comment, gce, GifImage(), gce, GifImage(), {0x3B}});
    Hit h = Detect(GIFProviderDetect, file);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, file.size());
    EXPECT_EQ(h.type, u"gif");

    // Without a global table, with a local one.
    Bytes local = GifImage();
    local[9] = 0x80;  // 2-entry local table: 6 bytes after the descriptor
    local.insert(local.begin() + 10, 6, 0x10);
    Bytes file2 = Concat({GifHeader(false), local, {0x3B}});
    EXPECT_EQ(Detect(GIFProviderDetect, file2).size, file2.size());

    Bytes unknown = Concat({GifHeader(true), {0x21, 0x02, 0x00}, GifImage(), {0x3B}});
    EXPECT_FALSE(Detect(GIFProviderDetect, unknown).found);
    Bytes stray = Concat({GifHeader(true), {0x00}, GifImage(), {0x3B}});
    EXPECT_FALSE(Detect(GIFProviderDetect, stray).found);
    Bytes version = file;
    version[4] = '8';  // "GIF88a"
    EXPECT_FALSE(Detect(GIFProviderDetect, version).found);
}

TEST(PSDProvider, RawAndRleImageDataAndOtherCompressionsRejected) {
    Bytes raw = Concat({PsdHeader(3, 10, 20, 8), PsdSections()});
    Be16(raw, 0);
    const size_t rawHeader = raw.size();
    Fill(raw, 3 * 10 * 20, 9);
    Hit h = Detect(PSDProviderDetect, raw);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, rawHeader + 600);
    EXPECT_EQ(h.type, u"psd");

    // RLE with a byte-count table larger than the 5,120-byte buffer:
    // 3 channels x 1,000 rows = 6,000 bytes of table, every row 7 bytes.
    Bytes rle = Concat({PsdHeader(3, 1000, 50, 8), PsdSections()});
    Be16(rle, 1);
    const size_t tableAt = rle.size();
    for (int i = 0; i < 3000; ++i) Be16(rle, 7);
    Hit r = Detect(PSDProviderDetect, rle, 30000);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.size, tableAt + 6000 + 3000 * 7);

    Bytes zip = Concat({PsdHeader(3, 10, 20, 8), PsdSections()});
    Be16(zip, 2);
    EXPECT_FALSE(Detect(PSDProviderDetect, zip).found);
    Bytes v2 = raw;
    v2[5] = 2;  // PSB (version 2)
    EXPECT_FALSE(Detect(PSDProviderDetect, v2).found);
    Bytes channels = Concat({PsdHeader(0, 10, 20, 8), PsdSections(), {0, 0}});
    EXPECT_FALSE(Detect(PSDProviderDetect, channels).found);
}
