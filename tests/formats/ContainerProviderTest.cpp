// The RIFF, media container and archive recognisers on the samples of
// tests/data and on those samples broken field by field: a size that no
// longer fits, a signature or checksum that does not hold, a cut source.
#include <gtest/gtest.h>

#include <functional>

#include "engine/formats/CarveSupport.h"
#include "engine/formats/Providers.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

Bytes SampleBytes(const std::string& file) { return testutil::ReadFileBytes(DataDir() + "/" + file); }

void PutLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutLe64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
// The 7-Zip start header's CRC made to match its fields again.
void ResealSevenZip(Bytes& b) { PutLe32(b, 8, Crc32Update(0, b.data() + 12, 20)); }
uint32_t GetLe32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// Position of the first occurrence of text in b (the tests' own search, not the provider's).
size_t Find(const Bytes& b, const std::string& text, size_t from = 0) {
    const Bytes t(text.begin(), text.end());
    auto it = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), t.begin(), t.end());
    EXPECT_NE(it, b.end()) << text;
    return static_cast<size_t>(it - b.begin());
}

// The FLAC sample's metadata: the header of its last block, and the first frame.
size_t LastMetadataBlock(const Bytes& b) {
    size_t p = 4;
    while (!(b[p] & 0x80)) p += 4 + (size_t(b[p + 1]) << 16 | size_t(b[p + 2]) << 8 | b[p + 3]);
    return p;
}
size_t FirstFrame(const Bytes& b) {
    const size_t p = LastMetadataBlock(b);
    return p + 4 + (size_t(b[p + 1]) << 16 | size_t(b[p + 2]) << 8 | b[p + 3]);
}

struct Broken {
    const char* what;
    std::function<void(Bytes&)> change;
};

struct SampleCase {
    const char* file;
    DetectFn detect;
    const char16_t* type;
    std::vector<Broken> broken;  // each must be rejected
};

std::vector<SampleCase> Cases() {
    return {
        {"sample.webp",
         WebPProviderDetect,
         u"webp",
         {{"form size two more", [](Bytes& b) { PutLe32(b, 4, GetLe32(b, 4) + 2); }},
          {"form size of all ones", [](Bytes& b) { PutLe32(b, 4, 0xFFFFFFFF); }},
          {"form type", [](Bytes& b) { b[8] = 'X'; }},
          {"no VP8 start code", [](Bytes& b) { b[23] = 0; }},
          {"chunk past the form", [](Bytes& b) { PutLe32(b, 16, GetLe32(b, 4)); }}}},
        {"sample-lossless.webp",
         WebPProviderDetect,
         u"webp",
         {{"VP8L signature", [](Bytes& b) { b[20] = 0x2E; }}, {"form size of 4", [](Bytes& b) { PutLe32(b, 4, 4); }}}},
        {"sample-animated.webp",
         WebPProviderDetect,
         u"webp",
         {{"VP8X reserved bits", [](Bytes& b) { b[20] |= 0x01; }},
          {"VP8X of 12 bytes", [](Bytes& b) { b[16] = 12; }},
          {"a frame chunk past the form", [](Bytes& b) { PutLe32(b, Find(b, "ANMF") + 4, 0x10000); }}}},
        {"sample.wav",
         WAVProviderDetect,
         u"wav",
         {{"no channels", [](Bytes& b) { b[22] = 0; }},
          {"block alignment", [](Bytes& b) { b[32] = 3; }},
          {"unknown coding", [](Bytes& b) { b[20] = 0x99; }},
          {"first chunk not fmt", [](Bytes& b) { b[12] = 'F'; }},
          {"data chunk of all ones", [](Bytes& b) { PutLe32(b, Find(b, "data") + 4, 0xFFFFFFFF); }},
          {"no data chunk", [](Bytes& b) { b[Find(b, "data")] = 'D'; }},
          {"form size two less", [](Bytes& b) { PutLe32(b, 4, GetLe32(b, 4) - 2); }}}},
        {"sample.avi",
         AVIProviderDetect,
         u"avi",
         {{"no header list", [](Bytes& b) { b[20] = 'H'; }},
          {"main header size", [](Bytes& b) { b[28] = 57; }},
          {"no movi list", [](Bytes& b) { b[Find(b, "movi")] = 'M'; }},
          {"form size of all ones", [](Bytes& b) { PutLe32(b, 4, 0xFFFFFFFF); }}}},
        {"sample.sqlite",
         SQLiteProviderDetect,
         u"sqlite",
         {{"page size not a power of two", [](Bytes& b) { b[16] = 0x05; }},
          {"page size 256", [](Bytes& b) { b[16] = 0x01, b[17] = 0x00; }},
          {"stale page count", [](Bytes& b) { PutBe32(b, 92, 7); }},
          {"no pages", [](Bytes& b) { PutBe32(b, 28, 0); }},
          {"payload fraction", [](Bytes& b) { b[21] = 65; }},
          {"reserved bytes", [](Bytes& b) { b[80] = 1; }},
          {"page 1 not a table page", [](Bytes& b) { b[100] = 0x0A; }},
          {"page count of all ones", [](Bytes& b) { PutBe32(b, 28, 0xFFFFFFFF); }}}},
        {"sample.7z",
         SevenZipProviderDetect,
         u"7z",
         {{"start header CRC", [](Bytes& b) { b[8] ^= 1; }},
          {"next header CRC", [](Bytes& b) { b[28] ^= 1, ResealSevenZip(b); }},
          {"next header byte", [](Bytes& b) { b[b.size() - 3] ^= 0x40; }},
          {"next header one byte later", [](Bytes& b) { b[12] += 1, ResealSevenZip(b); }},
          {"next header offset of 2^40", [](Bytes& b) { PutLe64(b, 12, uint64_t(1) << 40), ResealSevenZip(b); }},
          {"next header size of 2^63", [](Bytes& b) { PutLe64(b, 20, uint64_t(1) << 63), ResealSevenZip(b); }},
          {"major version", [](Bytes& b) { b[6] = 1; }}}},
        {"sample.flac",
         FLACProviderDetect,
         u"flac",
         {{"STREAMINFO length", [](Bytes& b) { b[7] = 33; }},
          {"no last metadata block", [](Bytes& b) { b[LastMetadataBlock(b)] &= 0x7F; }},
          {"first frame header CRC-8", [](Bytes& b) { b[FirstFrame(b) + 5] ^= 1; }},
          {"a byte inside the first frame", [](Bytes& b) { b[FirstFrame(b) + 40] ^= 0x10; }},
          {"a byte inside the last frame", [](Bytes& b) { b[b.size() - 40] ^= 0x10; }},
          {"one sample more than the frames hold", [](Bytes& b) { b[25] += 1; }}}},
        {"sample.ogg",
         OggProviderDetect,
         u"ogg",
         {{"page CRC", [](Bytes& b) { b[22] ^= 1; }},
          {"a byte in the last page", [](Bytes& b) { b[b.size() - 10] ^= 1; }},
          {"version", [](Bytes& b) { b[4] = 1; }},
          {"no end-of-stream page", [](Bytes& b) { b[Find(b, "OggS", b.size() - 2000) + 5] = 0; }},
          {"first page not opening the stream", [](Bytes& b) { b[5] = 0; }}}},
        {"sample.mkv",
         MatroskaProviderDetect,
         u"mkv",
         {{"EBML ID", [](Bytes& b) { b[0] = 0x1B; }},
          {"DocType", [](Bytes& b) { b[Find(b, "matroska") + 7] = 'b'; }},
          {"Segment ID", [](Bytes& b) { b[Find(b, "\x18\x53\x80\x67")] = 0x19; }},
          {"Segment child not top-level", [](Bytes& b) { b[Find(b, "\x11\x4D\x9B\x74")] = 0x12; }},
          {"Segment size past 4 GiB", [](Bytes& b) { b[Find(b, "\x18\x53\x80\x67") + 5] = 0xFF; }},
          {"unknown size Segment with a Cluster of unknown size", [](Bytes& b) {
               const size_t s = Find(b, "\x18\x53\x80\x67") + 4, k = Find(b, "\x1F\x43\xB6\x75") + 4;
               std::fill(b.begin() + static_cast<std::ptrdiff_t>(s) + 1, b.begin() + static_cast<std::ptrdiff_t>(s) + 8, 0xFF);
               b[k] = 0x7F, b[k + 1] = 0xFF;
           }}}},
        {"sample.webm", MatroskaProviderDetect, u"webm", {{"DocType", [](Bytes& b) { b[Find(b, "webm")] = 'W'; }}}},
    };
}

}  // namespace

TEST(ContainerProviders, SamplesAreFoundWithTheirSizeAndBrokenFieldsRejected) {
    for (const SampleCase& s : Cases()) {
        SCOPED_TRACE(s.file);
        const Bytes file = SampleBytes(s.file);
        ASSERT_FALSE(file.empty());
        const Hit h = Detect(s.detect, file);
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, file.size());
        EXPECT_EQ(Utf8(h.type), Utf8(s.type));
        for (const Broken& b : s.broken) {
            SCOPED_TRACE(b.what);
            Bytes changed = file;
            b.change(changed);
            ASSERT_NE(changed, file);
            EXPECT_FALSE(Detect(s.detect, changed).found);
        }
    }
}

TEST(ContainerProviders, MatroskaSegmentOfUnknownSizeEndsAfterItsLastTopLevelElement) {
    Bytes mkv = SampleBytes("sample.mkv");
    const size_t s = Find(mkv, "\x18\x53\x80\x67") + 4;
    std::fill(mkv.begin() + static_cast<std::ptrdiff_t>(s) + 1, mkv.begin() + static_cast<std::ptrdiff_t>(s) + 8, 0xFF);
    // Followed by zeros (no element), or by a new EBML header (the next file).
    for (const Bytes& after : {Bytes(4096, 0), SampleBytes("sample.webm")}) {
        const Hit h = Detect(MatroskaProviderDetect, Concat({mkv, after}));
        ASSERT_TRUE(h.found);
        EXPECT_EQ(h.size, mkv.size());
    }
    // WebM is reported as such only while enabled.
    const Bytes webm = SampleBytes("sample.webm");
    ByteVolume v(Concat({webm, Bytes(4096, 0)}));
    const ScanTypeSet mkvOnly = TypesOf({u"mkv"}), webmOnly = TypesOf({u"webm"});
    EXPECT_FALSE(DetectOn(MatroskaProviderDetect, v.volume(), 0, &mkvOnly).found);
    EXPECT_EQ(DetectOn(MatroskaProviderDetect, v.volume(), 0, &webmOnly).size, webm.size());
}

TEST(ContainerProviders, WriterVariantsAreMeasuredWhole) {
    // A FLAC stream whose STREAMINFO leaves the sample count at 0: the frames
    // end with the last one found.
    Bytes flac = SampleBytes("sample.flac");
    std::fill(flac.begin() + 21, flac.begin() + 26, uint8_t(0));
    flac[21] = SampleBytes("sample.flac")[21] & 0xF0;  // keep the bits per sample
    EXPECT_EQ(Detect(FLACProviderDetect, flac).size, flac.size());
    // A WAVE with a JUNK chunk (odd size, padded) before its format chunk.
    const Bytes wav = SampleBytes("sample.wav");
    Bytes junk;
    Text(junk, "JUNK");
    Le32(junk, 27);
    Fill(junk, 28, 0);
    Bytes padded = Concat({Bytes(wav.begin(), wav.begin() + 12), junk, Bytes(wav.begin() + 12, wav.end())});
    PutLe32(padded, 4, GetLe32(wav, 4) + static_cast<uint32_t>(junk.size()));
    const Hit h = Detect(WAVProviderDetect, padded);
    EXPECT_EQ(h.size, padded.size());
    EXPECT_EQ(h.title, u"Wave Title");
}

TEST(ContainerProviders, AviContinuationFormsAreCounted) {
    const Bytes avi = SampleBytes("sample.avi");
    // A continuation form: RIFF AVIX holding a LIST movi of one chunk.
    Bytes avix;
    Text(avix, "RIFF");
    Le32(avix, 4 + 12 + 8 + 6);
    Text(avix, "AVIX");
    Text(avix, "LIST");
    Le32(avix, 4 + 8 + 6);
    Text(avix, "movi");
    Text(avix, "00dc");
    Le32(avix, 6);
    Fill(avix, 6, 0x11);
    const Hit two = Detect(AVIProviderDetect, Concat({avi, avix, avix}));
    ASSERT_TRUE(two.found);
    EXPECT_EQ(two.size, avi.size() + 2 * avix.size());
    // A continuation whose size runs past its chunks ends the file before it.
    Bytes bad = avix;
    PutLe32(bad, 4, GetLe32(bad, 4) + 100);
    EXPECT_EQ(Detect(AVIProviderDetect, Concat({avi, avix, bad})).size, avi.size() + avix.size());
}

// RAR archives built here block by block from the published layout (no
// free tool writes RAR): each block's header checksum is computed by the
// builder, so a test changes a field and seals the block again.
namespace {

struct RarBlocks {
    std::vector<Bytes> blocks;  // the signature first
    Bytes Join() const {
        Bytes all;
        for (const Bytes& b : blocks) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
};

// RAR 4: CRC-16 (low half of the CRC-32) of the header after its CRC field.
void SealRar4(Bytes& block) {
    const size_t headerSize = size_t(block[5]) | size_t(block[6]) << 8;
    const uint32_t crc = Crc32Update(0, block.data() + 2, headerSize - 2);
    block[0] = static_cast<uint8_t>(crc), block[1] = static_cast<uint8_t>(crc >> 8);
}

Bytes Rar4Block(uint8_t type, uint16_t flags, const Bytes& fields, const Bytes& data = {}) {
    Bytes b = {0, 0, type};
    Le16(b, flags);
    Le16(b, static_cast<uint16_t>(7 + fields.size()));
    b.insert(b.end(), fields.begin(), fields.end());
    SealRar4(b);
    return Concat({b, data});
}

Bytes Rar4File(const std::string& name, const Bytes& data) {
    Bytes f;
    Le32(f, static_cast<uint32_t>(data.size()));  // packed
    Le32(f, static_cast<uint32_t>(data.size()));  // unpacked
    f.push_back(3);                               // Unix
    Le32(f, Crc32Update(0, data.data(), data.size()));
    Le32(f, 0x58A63905);  // DOS time
    f.push_back(29);
    f.push_back(0x30);  // stored
    Le16(f, static_cast<uint16_t>(name.size()));
    Le32(f, 0x81A4);
    Text(f, name);
    return Rar4Block(0x74, 0x8000, f, data);
}

RarBlocks Rar4() {
    RarBlocks r;
    r.blocks.push_back({'R', 'a', 'r', '!', 0x1A, 0x07, 0x00});
    r.blocks.push_back(Rar4Block(0x73, 0, Bytes(6, 0)));
    r.blocks.push_back(Rar4File("notes.txt", testutil::PatternBytes(3000, 7)));
    r.blocks.push_back(Rar4File("tone.raw", testutil::PatternBytes(5000, 8)));
    r.blocks.push_back(Rar4Block(0x7B, 0x4000, {}));
    return r;
}

void Vint(Bytes& b, uint64_t v) {
    do {
        b.push_back(static_cast<uint8_t>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
        v >>= 7;
    } while (v);
}

// RAR 5: CRC-32 of the size field and the header fields.
Bytes Rar5Block(const Bytes& fields, const Bytes& data = {}) {
    Bytes sized;
    Vint(sized, fields.size());
    sized.insert(sized.end(), fields.begin(), fields.end());
    Bytes b;
    Le32(b, Crc32Update(0, sized.data(), sized.size()));
    return Concat({b, sized, data});
}

Bytes Rar5Fields(uint64_t type, uint64_t flags, std::initializer_list<uint64_t> values, const std::string& name = "") {
    Bytes f;
    Vint(f, type);
    Vint(f, flags);
    for (uint64_t v : values) Vint(f, v);
    Text(f, name);
    return f;
}

Bytes Rar5File(const std::string& name, const Bytes& data) {
    // Header flags 2 (data area): data size; file flags, unpacked size, attributes, compression (stored), host OS, name length.
    return Rar5Block(Rar5Fields(2, 2, {data.size(), 0, data.size(), 0x1A4, 0, 1, name.size()}, name), data);
}

RarBlocks Rar5() {
    RarBlocks r;
    r.blocks.push_back({'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00});
    r.blocks.push_back(Rar5Block(Rar5Fields(1, 0, {0})));
    r.blocks.push_back(Rar5File("notes.txt", testutil::PatternBytes(3000, 7)));
    r.blocks.push_back(Rar5File("tone.raw", testutil::PatternBytes(5000, 8)));
    r.blocks.push_back(Rar5Block(Rar5Fields(5, 0, {0})));
    return r;
}

}  // namespace

TEST(ContainerProviders, RarArchivesEndWithTheirEndBlockAndEveryHeaderChecksumHolds) {
    struct Case {
        const char* what;
        std::function<RarBlocks()> make;
        bool found;
    };
    const Case cases[] = {
        {"RAR 4", Rar4, true},
        {"RAR 4, file header CRC", [] { RarBlocks r = Rar4(); r.blocks[2][0] ^= 1; return r; }, false},
        {"RAR 4, archive header CRC", [] { RarBlocks r = Rar4(); r.blocks[1][1] ^= 1; return r; }, false},
        {"RAR 4, no end block", [] { RarBlocks r = Rar4(); r.blocks.pop_back(); return r; }, false},
        {"RAR 4, no archive header", [] { RarBlocks r = Rar4(); r.blocks.erase(r.blocks.begin() + 1); return r; }, false},
        {"RAR 4, encrypted headers",
         [] { RarBlocks r = Rar4(); r.blocks[1][3] = 0x80; SealRar4(r.blocks[1]); return r; }, false},
        {"RAR 4, packed size of all ones",
         [] { RarBlocks r = Rar4(); PutLe32(r.blocks[2], 7, 0xFFFFFFFF); SealRar4(r.blocks[2]); return r; }, false},
        {"RAR 4, high packed size flagged",
         [] {
             RarBlocks r = Rar4();
             r.blocks[2][4] |= 0x01;  // the name's first bytes become the high sizes
             SealRar4(r.blocks[2]);
             return r;
         },
         false},
        {"RAR 5", Rar5, true},
        {"RAR 5, file header CRC", [] { RarBlocks r = Rar5(); r.blocks[2][2] ^= 1; return r; }, false},
        {"RAR 5, file header first",
         [] { RarBlocks r = Rar5(); r.blocks.erase(r.blocks.begin() + 1); return r; }, false},
        {"RAR 5, no end header", [] { RarBlocks r = Rar5(); r.blocks.pop_back(); return r; }, false},
        {"RAR 5, encryption header",
         [] { RarBlocks r = Rar5(); r.blocks[1] = Rar5Block(Rar5Fields(4, 0, {0, 0})); return r; }, false},
        {"RAR 5, data size of 2^40",
         [] {
             RarBlocks r = Rar5();
             r.blocks[2] = Rar5Block(Rar5Fields(2, 2, {uint64_t(1) << 40, 0, 3000, 0x1A4, 0, 1, 9}, "notes.txt"));
             return r;
         },
         false},
        {"RAR 5, header size past 2 MiB", [] {
             RarBlocks r = Rar5();
             Bytes& b = r.blocks[2];
             b.erase(b.begin() + 4, b.begin() + 5);
             const Bytes big = {0x81, 0x80, 0x80, 0x01};  // 2^21 + 1
             b.insert(b.begin() + 4, big.begin(), big.end());
             return r;
         }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes rar = c.make().Join();
        const Hit h = Detect(RARProviderDetect, rar);
        EXPECT_EQ(h.found, c.found);
        if (!c.found) continue;
        EXPECT_EQ(h.size, rar.size());
        EXPECT_EQ(h.type, u"rar");
        // In a raw image among random bytes, at its fourth unit, by the registry.
        Bytes image = testutil::PatternBytes(3 * 4096, 5);
        image.insert(image.end(), rar.begin(), rar.end());
        const Bytes after = testutil::PatternBytes(4096, 6);
        image.insert(image.end(), after.begin(), after.end());
        ByteVolume v(image, 4096);
        const ScanTypeSet all = AllTypes();
        RecordingCallback cb;
        ASSERT_TRUE(ScanClusters(v.volume(), all, &cb, nullptr));
        ASSERT_EQ(cb.found.size(), 1u);
        EXPECT_EQ(cb.found[0].cluster, 3u);
        EXPECT_EQ(cb.found[0].size, rar.size());
        // Cut anywhere, it is not reported.
        for (size_t cut = 1; cut < rar.size(); cut += 97) {
            ByteVolume part(Bytes(rar.begin(), rar.begin() + static_cast<std::ptrdiff_t>(cut)), 512);
            EXPECT_FALSE(DetectOn(RARProviderDetect, part.volume(), 0).found) << cut;
        }
    }
}
