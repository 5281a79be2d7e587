// The camera raw recognisers on files built in each maker's layout
// (CameraRawBuilder.h): type, size (the furthest strip or stream, never
// IFD 0's thumbnail), title and author; the split with the TIFF recogniser;
// rejections of damaged structures.
#include <gtest/gtest.h>

#include "CameraRawBuilder.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/Providers.h"

using namespace scantest;

namespace {

// DetectAt with these types enabled on the file followed by filler.
Hit DetectWith(const ScanTypeSet& types, const Bytes& file) {
    ByteVolume v(Concat({file, testutil::PatternBytes(8192, 5)}), 512);
    CarveContext c;
    EXPECT_TRUE(c.Init(&v.volume(), 0, nullptr, &types));
    Hit h;
    h.found = DetectAt(types, c);
    h.size = c.size;
    h.type = c.typeKey;
    h.title = c.title;
    h.author = c.author;
    return h;
}

uint32_t Be32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint32_t Le32At(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The position of the 12-byte entry of tag in the IFD at ifd.
size_t EntryAt(const Bytes& b, bool big, size_t ifd, uint16_t tag) {
    const size_t n = big ? (b[ifd] << 8 | b[ifd + 1]) : (b[ifd] | b[ifd + 1] << 8);
    for (size_t i = 0; i < n; ++i) {
        const size_t e = ifd + 2 + 12 * i;
        const uint16_t t = static_cast<uint16_t>(big ? (b[e] << 8 | b[e + 1]) : (b[e] | b[e + 1] << 8));
        if (t == tag) return e;
    }
    ADD_FAILURE() << "no tag " << tag;
    return 0;
}

}  // namespace

// Type, size, model and artist of each through the scan: RealSamples (tests/surfacescan);
// the TIFF recogniser leaving it alone and cuts: HostileInput.CameraRawFilesCutShortOrLoopingAreRejected.
TEST(CameraRawProvider, EachMakersLayoutIsFoundWholeOnlyWhileItsTypeIsEnabled) {
    const ScanTypeSet all = AllTypes();
    for (const CameraRawFile& f : CameraRawFiles()) {
        SCOPED_TRACE(f.name);
        Hit any = DetectWith(all, f.bytes);
        EXPECT_EQ(any.type, f.type);
        EXPECT_EQ(any.size, f.bytes.size());  // the raw data ends the file
        EXPECT_GT(any.size, f.thumbnailEnd);
        const bool raf = f.type == u"raf";
        EXPECT_FALSE(DetectWith(TypesOf({raf ? u"nef" : u"raf", u"tif", u"dng"}), f.bytes).found);
    }
}

TEST(CameraRawProvider, MakeAndCfaDataNameTheTypeAndDngVersionKeepsItADng) {
    // A one-strip TIFF with Make and Photometric as given.
    auto tiff = [](const std::string& make, uint16_t photometric, bool dngVersion) {
        TiffBuilder t(false);
        t.Append(Bytes(100, 1));
        const size_t text = t.Append(rawbuild::Ascii(make));
        std::vector<TiffEntry> e = StripImage(10, 10, 8, 100);
        e.push_back({262, 3, 1, photometric});
        e.push_back({271, 2, rawbuild::Len(make), static_cast<uint32_t>(text)});
        if (dngVersion) e.push_back({50706, 1, 4, 0x401});
        t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(rawbuild::Sorted(e))));
        return t.bytes;
    };
    struct Case {
        std::string make;
        uint16_t photometric;
        bool dng;
        const char16_t* type;
    } cases[] = {
        {"NIKON", 32803, false, u"nef"},        {"SONY", 32803, false, u"arw"},
        {"PENTAX Corporation", 34892, false, u"pef"}, {"samsung", 32803, false, u"srw"},
        {"NIKON", 2, false, u"tif"},            // a scanner's RGB TIFF
        {"Canon", 32803, false, u"tif"},        // Canon without the CR2 header
        {"NIKON", 32803, true, u"dng"},         // a camera's own DNG
        {"Leica", 32803, false, u"tif"},
    };
    const ScanTypeSet all = AllTypes();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.make + " " + std::to_string(k.photometric));
        const Bytes file = tiff(k.make, k.photometric, k.dng);
        Hit h = DetectWith(all, file);
        EXPECT_EQ(h.type, k.type);
        EXPECT_EQ(h.size, file.size());
        const bool raw = std::u16string(k.type) != u"tif" && std::u16string(k.type) != u"dng";
        EXPECT_EQ(Detect(CameraRawProviderDetect, file).found, raw);
        EXPECT_EQ(Detect(TIFFProviderDetect, file).found, !raw);
    }
}

TEST(CameraRawProvider, DamagedStructuresAreRejectedNeverMeasuredByTheThumbnail) {
    const CameraRawFile nef = rawbuild::Nef(), cr2 = rawbuild::Cr2(), raf = rawbuild::Raf(), orf = rawbuild::Orf(),
                        rw2 = rawbuild::Rw2();
    const size_t rw2Ifd0 = Le32At(rw2.bytes, 4);
    const size_t nefIfd0 = Be32At(nef.bytes, 4);
    const size_t subIfds = Be32At(nef.bytes, EntryAt(nef.bytes, true, nefIfd0, 330) + 8);
    const size_t rawIfd = Be32At(nef.bytes, subIfds + 4);
    const size_t cr2Raw = Le32At(cr2.bytes, 12);
    struct Case {
        const char* what;
        Bytes bytes;
    };
    std::vector<Case> cases;
    auto patched = [&](const char* what, const Bytes& from, auto patch) {
        Bytes b = from;
        patch(b);
        cases.push_back({what, b});
    };
    patched("NEF raw SubIFD offset past the cap", nef.bytes, [&](Bytes& b) { PutBe32(b, subIfds + 4, 0x7FFFFFF0); });
    patched("NEF raw SubIFD offset into the header", nef.bytes, [&](Bytes& b) { PutBe32(b, subIfds + 4, 3); });
    patched("NEF raw SubIFD naming IFD 0", nef.bytes, [&](Bytes& b) { PutBe32(b, subIfds + 4, uint32_t(nefIfd0)); });
    patched("NEF raw strip of 0 bytes", nef.bytes,
            [&](Bytes& b) { PutBe32(b, EntryAt(b, true, rawIfd, 279) + 8, 0); });
    patched("NEF raw strip past the cap", nef.bytes,
            [&](Bytes& b) { PutBe32(b, EntryAt(b, true, rawIfd, 279) + 8, 0x0FFFFFFF); });
    patched("NEF Exif IFD past the cap", nef.bytes,
            [&](Bytes& b) { PutBe32(b, EntryAt(b, true, nefIfd0, 34665) + 8, 0x7FFFFFF0); });
    patched("NEF maker note of 2^32-1 bytes", nef.bytes, [&](Bytes& b) {
        const size_t exif = Be32At(b, EntryAt(b, true, nefIfd0, 34665) + 8);
        PutBe32(b, EntryAt(b, true, exif, 37500) + 4, 0xFFFFFFFF);
    });
    patched("CR2 raw IFD offset past the cap", cr2.bytes, [&](Bytes& b) { PutLe32(b, 12, 0x7FFFFFF0); });
    patched("CR2 raw IFD with a strip array count of 2", cr2.bytes,
            [&](Bytes& b) { PutLe32(b, EntryAt(b, false, cr2Raw, 273) + 4, 2); });
    patched("CR2 of another make", cr2.bytes, [&](Bytes& b) {
        const size_t make = Le32At(b, EntryAt(b, false, Le32At(b, 4), 271) + 8);
        std::copy_n("Nikon", 5, b.begin() + make);
    });
    patched("ORF header big-endian with a little-endian body", orf.bytes, [&](Bytes& b) { b[0] = b[1] = 'M'; });
    auto rw2Tag = [&](const char* what, uint16_t tag, uint32_t value) {
        patched(what, rw2.bytes, [&](Bytes& b) { PutLe32(b, EntryAt(b, false, rw2Ifd0, tag) + 8, value); });
    };
    rw2Tag("RW2 sensor width of 0", 0x0002, 0);
    rw2Tag("RW2 raw data offset past the cap", 0x0118, 0x7FFFFFF0);
    rw2Tag("RW2 raw data offset into the header", 0x0118, 4);
    rw2Tag("RW2 strips marked absent, raw data of an unknown compression", 0x000B, 34826);
    patched("RAF JPEG without SOI", raf.bytes, [&](Bytes& b) { b[Be32At(b, 0x54)] = 0; });
    patched("RAF JPEG inside the header", raf.bytes, [&](Bytes& b) { PutBe32(b, 0x54, 0x40); });
    patched("RAF CFA of 0 bytes", raf.bytes, [&](Bytes& b) { PutBe32(b, 0x68, 0); });
    patched("RAF CFA length of 2^32-1", raf.bytes, [&](Bytes& b) { PutBe32(b, 0x68, 0xFFFFFFFF); });
    patched("RAF meta offset 2^32-16", raf.bytes, [&](Bytes& b) { PutBe32(b, 0x5C, 0xFFFFFFF0); });
    patched("RAF version not digits", raf.bytes, [&](Bytes& b) { b[0x11] = 'x'; });
    patched("RAF camera name with a control byte", raf.bytes, [&](Bytes& b) { b[0x1D] = 7; });
    const ScanTypeSet all = AllTypes();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_FALSE(Detect(CameraRawProviderDetect, k.bytes).found);
        EXPECT_FALSE(Detect(RAFProviderDetect, k.bytes).found);
        Hit h = DetectWith(all, k.bytes);
        EXPECT_FALSE(h.found) << Utf8(h.type) << " of " << h.size;
    }
}
