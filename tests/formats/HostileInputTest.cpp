// Truncated and crafted input: every provider rejects it without reading past
// its buffer (AddressSanitizer watches the 5,120-byte buffer), without
// hanging and without taking memory that grows with a length from the disk.
#include <gtest/gtest.h>

#include "CameraRawBuilder.h"
#include "IsoBuilder.h"
#include "TiffBuilder.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

const DetectFn kAll[] = {JPEGProviderDetect, PNGProviderDetect, BMPProviderDetect, GIFProviderDetect,
                         PSDProviderDetect,  TIFFProviderDetect, MPEGProviderDetect, QTFFProviderDetect,
                         CameraRawProviderDetect, RAFProviderDetect, IsoMediaProviderDetect,
                         WebPProviderDetect, WAVProviderDetect,  AVIProviderDetect,  SQLiteProviderDetect,
                         SevenZipProviderDetect, FLACProviderDetect, OggProviderDetect,  MatroskaProviderDetect,
                         ZIPContainerProviderDetect, RARProviderDetect};

// Runs each provider on the file at path cut to `cut` bytes (AddressSanitizer
// watches their reads), then DetectAt with every type: what it reports.
Hit DetectCut(const std::string& path, size_t cut) {
    CRawVolume raw(512);
    raw.SetSourceWindow(0, cut);
    EXPECT_TRUE(raw.Initialize(path));
    for (DetectFn d : kAll) DetectOn(d, raw, 0);
    CarveContext c;
    EXPECT_TRUE(c.Init(&raw, 0, nullptr, nullptr));
    Hit h;
    h.found = DetectAt(AllTypes(), c);
    h.size = c.size;
    h.type = c.typeKey;
    return h;
}

int HitsOfAllProviders(CVolume& whole) {
    int hits = 0;
    for (DetectFn d : kAll) hits += DetectOn(d, whole, 0).found;
    return hits;
}

}  // namespace

TEST(HostileInput, TruncatedSamplesAreRejectedByEveryProvider) {
    // Each sample cut short (the source ends inside it) near its start and
    // end and at 97 points between.
    std::vector<std::pair<std::string, std::u16string>> files;
    for (const Sample& s : Samples()) files.emplace_back(s.file, s.type);
    files.emplace_back("sample-lossless.webp", u"webp");
    for (const auto& [name, type] : files) {
        SCOPED_TRACE(name);
        Bytes file = testutil::ReadFileBytes(DataDir() + "/" + name);
        ASSERT_FALSE(file.empty());
        ByteVolume v(file, 512);
        std::vector<size_t> cuts = {1, 2, 7, 13, 26, 40, 100, file.size() - 200, file.size() - 1};
        for (size_t cut = 1; cut < file.size(); cut += std::max<size_t>(1, file.size() / 97)) cuts.push_back(cut);
        for (size_t cut : cuts) {
            // A provider may measure past what it read (a PNG's last CRC,
            // TIFF strips, skipped atoms and frames); DetectAt only reports
            // what the source holds whole: here at most an MP3 without its
            // cut-off trailing tag.
            Hit h = DetectCut(v.path(), cut);
            if (h.found) {
                EXPECT_LE(h.size, cut);
                EXPECT_EQ(h.type, u"mp3") << "reported a file cut at " << cut;
                EXPECT_EQ(type, u"mp3") << "reported a file cut at " << cut << " as an MP3";
            }
        }
        // Whole, it is found by its own provider only.
        int hits = 0;
        const ScanTypeSet all = AllTypes();
        for (DetectFn d : kAll) hits += DetectOn(d, v.volume(), 0, &all).found;
        EXPECT_EQ(hits, 1);
    }
}

TEST(HostileInput, PngChunkLengthOfAllOnesIsRejected) {
    Bytes b = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Be32(b, 0xFFFFFFFF);
    Text(b, "IDAT");
    Be32(b, 0);
    Text(b, "IEND");
    EXPECT_FALSE(Detect(PNGProviderDetect, b).found);
    // An IEND whose length would carry the file past the cap.
    Bytes c = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Be32(c, 0xFFFFFF00);
    Text(c, "IEND");
    EXPECT_FALSE(Detect(PNGProviderDetect, c).found);
}

TEST(HostileInput, GifSubBlockChainRunningToTheCapIsRejected) {
    // Image data sub-blocks that never end: 255-byte blocks, then 1-byte
    // blocks, over 20 MiB (the walk's cap) of source.
    for (uint8_t n : {uint8_t(255), uint8_t(1)}) {
        Bytes b;
        Text(b, "GIF89a");
        b.insert(b.end(), {4, 0, 4, 0, 0x00, 0, 0});
        b.insert(b.end(), {0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0x00, 0x02});
        const size_t total = 20971520 + 4096;
        b.reserve(total);
        while (b.size() < total) {
            b.push_back(n);
            b.insert(b.end(), n, 0x42);
        }
        ByteVolume v(b, 4096);
        EXPECT_FALSE(DetectOn(GIFProviderDetect, v.volume(), 0).found) << int(n);
    }
}

TEST(HostileInput, TiffIfdLoopsAreRejected) {
    // IFD0 points to itself.
    TiffBuilder self(false);
    self.Append(Bytes(100, 1));
    size_t ifd = self.AppendIfd(StripImage(10, 10, 8, 100));
    self.SetFirstIfd(static_cast<uint32_t>(ifd));
    self.SetNext(ifd, 5, static_cast<uint32_t>(ifd));
    EXPECT_FALSE(Detect(TIFFProviderDetect, self.bytes).found);

    // Two IFDs pointing at each other.
    TiffBuilder pair(true);
    pair.Append(Bytes(100, 1));
    size_t a = pair.AppendIfd(StripImage(10, 10, 8, 100));
    size_t b = pair.AppendIfd(StripImage(10, 10, 8, 100), static_cast<uint32_t>(a));
    pair.SetFirstIfd(static_cast<uint32_t>(a));
    pair.SetNext(a, 5, static_cast<uint32_t>(b));
    EXPECT_FALSE(Detect(TIFFProviderDetect, pair.bytes).found);

    // A SubIFD that is its own parent.
    TiffBuilder sub(false);
    sub.Append(Bytes(100, 1));
    const uint32_t at = 108;
    std::vector<TiffEntry> e = StripImage(10, 10, 8, 100);
    e.push_back({330, 4, 1, at});
    ASSERT_EQ(sub.AppendIfd(e), at);
    sub.SetFirstIfd(at);
    EXPECT_FALSE(Detect(TIFFProviderDetect, sub.bytes).found);

    // A deep SubIFD tree: each IFD's SubIFD is the next one, 8 levels.
    TiffBuilder deep(false);
    deep.Append(Bytes(100, 1));
    std::vector<size_t> ifds;
    for (int i = 0; i < 8; ++i) {
        std::vector<TiffEntry> entries = StripImage(10, 10, 8, 100);
        entries.push_back({330, 4, 1, 0});
        ifds.push_back(deep.AppendIfd(entries));
    }
    for (int i = 0; i + 1 < 8; ++i) deep.Put32(ifds[i] + 2 + 5 * 12 + 8, static_cast<uint32_t>(ifds[i + 1]));
    deep.SetFirstIfd(static_cast<uint32_t>(ifds[0]));
    EXPECT_FALSE(Detect(TIFFProviderDetect, deep.bytes).found);
}

// Camera raw files cut at every 61st byte and one byte short: no provider reads past its
// buffer, none reports a size past what the cut source holds through
// DetectAt; loops of IFDs fail.
TEST(HostileInput, CameraRawFilesCutShortOrLoopingAreRejected) {
    for (const CameraRawFile& f : CameraRawFiles()) {
        SCOPED_TRACE(f.name);
        ByteVolume v(f.bytes, 512);
        for (size_t cut = 1; cut < f.bytes.size(); cut += 61) {
            Hit h = DetectCut(v.path(), cut);
            EXPECT_FALSE(h.found) << "cut at " << cut << ": " << Utf8(h.type) << " of " << h.size;
        }
        EXPECT_FALSE(DetectCut(v.path(), f.bytes.size() - 1).found) << "one byte short";
        // Whole, its own provider alone takes it (the TIFF recogniser leaves it).
        EXPECT_EQ(HitsOfAllProviders(v.volume()), 1);
    }
    // An Exif IFD naming itself as its Interoperability IFD; a SubIFD naming its parent.
    for (bool subIfdLoop : {false, true}) {
        TiffBuilder t(false);
        t.Append(Bytes(100, 1));
        const size_t make = t.Append(rawbuild::Ascii("NIKON"));
        const size_t loop = t.bytes.size();
        t.AppendIfd({{40965, 4, 1, static_cast<uint32_t>(loop)}});
        std::vector<TiffEntry> e = StripImage(10, 10, 8, 100);
        e.push_back({262, 3, 1, 32803});
        e.push_back({271, 2, 6, static_cast<uint32_t>(make)});
        const size_t ifd0 = t.bytes.size();
        e.push_back(subIfdLoop ? TiffEntry {330, 4, 1, static_cast<uint32_t>(ifd0)}
                               : TiffEntry {34665, 4, 1, static_cast<uint32_t>(loop)});
        t.AppendIfd(rawbuild::Sorted(e));
        t.SetFirstIfd(static_cast<uint32_t>(ifd0));
        EXPECT_FALSE(Detect(CameraRawProviderDetect, t.bytes).found) << subIfdLoop;
    }
}

TEST(HostileInput, LongValuesAreCutToTheBuffer) {
    // A TIFF Artist of 1,048,576 bytes: the author is the buffer's worth.
    TiffBuilder t(false);
    t.Append(Bytes(100, 1));
    size_t artist = t.Append(Bytes(6000, 'a'));
    std::vector<TiffEntry> e = StripImage(10, 10, 8, 100);
    e.push_back({315, 2, 6000, static_cast<uint32_t>(artist)});
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(e)));
    Hit h = Detect(TIFFProviderDetect, t.bytes);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.author.size(), 5120u);

    // An ID3v2 title frame of 9,000 bytes and a Lyrics3 title of 99,999.
    Bytes tag;
    Text(tag, "TIT2");
    Be32(tag, 9000);
    Fill(tag, 2, 0);
    tag.push_back(0);
    Fill(tag, 8999, 'T');
    Bytes head;
    Text(head, "ID3");
    head.insert(head.end(), {3, 0, 0, 0, 0, uint8_t((tag.size() >> 7) & 0x7F), uint8_t(tag.size() & 0x7F)});
    Bytes frames;
    for (int i = 0; i < 3; ++i) {
        Bytes f(417, 0);
        f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90;
        frames.insert(frames.end(), f.begin(), f.end());
    }
    Bytes mp3 = Concat({head, tag, frames});
    Hit m = Detect(MPEGProviderDetect, Concat({mp3, Bytes(4096, 0)}));
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.size, mp3.size());
    EXPECT_EQ(m.title.size(), 5119u);

    Bytes lyr;
    Text(lyr, "LYRICSBEGINETT99999");
    Fill(lyr, 99999, 'L');
    Text(lyr, "100018LYRICS200");
    Bytes withLyrics = Concat({frames, lyr, Bytes(4096, 0)});
    Hit l = Detect(MPEGProviderDetect, withLyrics);
    ASSERT_TRUE(l.found);
    EXPECT_EQ(l.title.size(), 5120u);
    EXPECT_EQ(l.size, frames.size() + lyr.size());
}

TEST(HostileInput, EndlessChainsStopAtTheirCaps) {
    // JPEG without an end marker within 15 MiB.
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02};
    jpeg.resize(16u << 20, 0);
    ByteVolume jv(jpeg, 4096);
    EXPECT_FALSE(DetectOn(JPEGProviderDetect, jv.volume(), 0).found);

    // JPEG marker segments of length 2 all the way: the segment walk is capped too.
    Bytes segs = {0xFF, 0xD8};
    while (segs.size() < (16u << 20)) segs.insert(segs.end(), {0xFF, 0xE1, 0x00, 0x02});
    ByteVolume sv(segs, 4096);
    EXPECT_FALSE(DetectOn(JPEGProviderDetect, sv.volume(), 0).found);

    // QuickTime: an endless row of 8-byte "free" atoms, with an mdat but no moov.
    Bytes qt;
    Be32(qt, 16);
    Text(qt, "mdat");
    Fill(qt, 8, 0);
    while (qt.size() < (1u << 20)) {
        Be32(qt, 8);
        Text(qt, "free");
    }
    ByteVolume qv(qt, 4096);
    EXPECT_FALSE(DetectOn(QTFFProviderDetect, qv.volume(), 0).found);

    // Lyrics3 fields without an end: the block is not counted, the frames stand.
    Bytes frames;
    for (int i = 0; i < 2; ++i) {
        Bytes f(417, 0);
        f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90;
        frames.insert(frames.end(), f.begin(), f.end());
    }
    Bytes endless = frames;
    Text(endless, "LYRICSBEGIN");
    while (endless.size() < (2u << 20)) Text(endless, "ABC00000");
    Text(endless, "TAG");
    endless.resize(endless.size() + 125, 0);
    ByteVolume lv(endless, 4096);
    Hit h = DetectOn(MPEGProviderDetect, lv.volume(), 0);
    EXPECT_TRUE(h.found);
    EXPECT_EQ(h.size, frames.size());
}

TEST(HostileInput, IsoBoxWalksStopAtTheirCaps) {
    using namespace isotest;
    const Bytes ftyp = Ftyp({"isom", "mp41"});
    const Bytes complete = Concat({ftyp, Moov(), Box("mdat", Bytes(100, 1))});
    auto detectOn = [](const Bytes& b) {
        ByteVolume v(b, 4096);
        return DetectOn(IsoMediaProviderDetect, v.volume(), 0);
    };
    // More top-level boxes than the walk takes: not taken short, not taken at all.
    Bytes endless = complete;
    while (endless.size() < complete.size() + 8 * (kIsoMaxTopBoxes + 10)) {
        Be32(endless, 8);
        Text(endless, "free");
    }
    EXPECT_FALSE(detectOn(endless).found);
    // A moov of more children than are looked into.
    Bytes children = Mvhd();
    for (uint32_t i = 0; i <= kIsoMaxChildren; ++i) children = Concat({children, Box("free", {})});
    EXPECT_FALSE(detectOn(Concat({ftyp, Box("moov", children), Box("mdat", {})})).found);
    // An iloc of fields of no bytes: 800 items of 65,535 empty extents each.
    Bytes iloc = {0x00, 0x00};
    Be16(iloc, 800);
    for (int i = 0; i < 800; ++i) iloc.insert(iloc.end(), {0, 1, 0, 0, 0xFF, 0xFF});
    Bytes hdlr(4, 0);
    Text(hdlr, "pict");
    Fill(hdlr, 13, 0);
    const Bytes meta = FullBox("meta", 0, Concat({FullBox("hdlr", 0, hdlr), FullBox("pitm", 0, {0, 1}),
                                                  FullBox("iloc", 0, iloc), FullBox("iinf", 0, {0, 0})}));
    EXPECT_FALSE(detectOn(Concat({Ftyp({"mif1"}), meta, Box("mdat", {})})).found);
    // Sizes past the source or past 64 bits: never a size the fields do not allow.
    for (uint64_t large : {uint64_t(0xFFFFFFFF), uint64_t(1) << 32, ~uint64_t(0)}) {
        SCOPED_TRACE(large);
        Bytes b = Concat({ftyp, Moov()});
        Be32(b, 1);
        Text(b, "mdat");
        Be32(b, uint32_t(large >> 32));
        Be32(b, uint32_t(large));
        const Hit h = detectOn(b);
        EXPECT_LE(h.size, kCarvedSizeCap);
        ByteVolume v(b, 4096);
        CarveContext c;
        ASSERT_TRUE(c.Init(&v.volume(), 0, nullptr, nullptr));
        EXPECT_FALSE(DetectAt(AllTypes(), c));
    }
}
