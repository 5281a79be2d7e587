// The embedded preview JPEGs: the Exif thumbnail exiftool writes into a
// GraphicsMagick JPEG, the single-strip JPEG of a GraphicsMagick TIFF (as
// exiftool locates it), an IFD tree (SubIFDs, Exif IFD, IFD1) around
// GraphicsMagick JPEGs, frame sizes against gm identify, and damaged or
// cut inputs that must keep every promise of the parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "engine/formats/EmbeddedPictures.h"

using namespace preview;
using testutil::MustRun;
using testutil::Quote;
using testutil::ReadFileBytes;

namespace {

using Bytes = std::vector<uint8_t>;

// What FindEmbeddedPictures promises for any input.
testing::AssertionResult KeepsPromises(const Bytes& data, const std::vector<EmbeddedPicture>& found) {
    if (found.size() > kMaxEmbeddedPictures) return testing::AssertionFailure() << found.size() << " pictures";
    for (size_t i = 0; i < found.size(); ++i) {
        const EmbeddedPicture& p = found[i];
        if (p.length < kMinEmbeddedLength || p.length > kMaxEmbeddedLength || p.offset + p.length < p.offset)
            return testing::AssertionFailure() << "length " << p.length << " at " << p.offset;
        if (i > 0 && found[i - 1].length > p.length) return testing::AssertionFailure() << "not smallest first";
        if (p.offset < data.size() && data[p.offset] != 0xFF)
            return testing::AssertionFailure() << "no FF at " << p.offset;
        if (p.offset + 1 < data.size() && data[p.offset + 1] != 0xD8)
            return testing::AssertionFailure() << "no D8 at " << p.offset + 1;
    }
    return testing::AssertionSuccess();
}

Bytes Slice(const Bytes& data, const EmbeddedPicture& p) {
    if (p.offset > data.size() || p.length > data.size() - p.offset) return {};
    return Bytes(data.begin() + static_cast<ptrdiff_t>(p.offset), data.begin() + static_cast<ptrdiff_t>(p.offset + p.length));
}

// A classic TIFF with the IFDs a camera raw holds its previews in (no tool
// writes such a tree, so it is laid out here around JPEGs gm made):
// IFD0 -> SubIFD (Compression 6, one strip: `strip`), Exif IFD
// (0x0201/0x0202: `exif`) and, next in the chain, IFD1 (0x0201/0x0202: `ifd1`).
struct TiffTree {
    Bytes bytes;
    bool little = true;
    // Positions of fields the hostile cases change.
    static constexpr size_t kIfd0Count = 8, kSubIfdsCount = 14, kSubIfdsValue = 18, kIfd0Next = 34;
    static constexpr size_t kSubIfd = 38, kExifIfd = 80, kIfd1 = 110, kData = 140;
    static constexpr size_t kIfd1Offset = kIfd1 + 2 + 8, kIfd1Length = kIfd1 + 2 + 12 + 8;

    void Put16(size_t at, uint16_t v) {
        bytes[at + (little ? 0 : 1)] = static_cast<uint8_t>(v);
        bytes[at + (little ? 1 : 0)] = static_cast<uint8_t>(v >> 8);
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(little ? i : 3 - i)] = static_cast<uint8_t>(v >> (8 * i));
    }
    // An IFD at `at` of (tag, type, value) entries with count 1 each.
    void Ifd(size_t at, std::initializer_list<std::array<uint32_t, 3>> entries, uint32_t next) {
        Put16(at, static_cast<uint16_t>(entries.size()));
        size_t e = at + 2;
        for (const auto& [tag, type, value] : entries) {
            Put16(e, static_cast<uint16_t>(tag));
            Put16(e + 2, static_cast<uint16_t>(type));
            Put32(e + 4, 1);
            if (type == 3) Put16(e + 8, static_cast<uint16_t>(value));
            else Put32(e + 8, value);
            e += 12;
        }
        Put32(e, next);
    }

    TiffTree(bool littleEndian, const Bytes& strip, const Bytes& exif, const Bytes& ifd1) : little(littleEndian) {
        bytes.assign(kData, 0);
        bytes[0] = bytes[1] = little ? 'I' : 'M';
        Put16(2, 42);
        Put32(4, 8);
        const auto at = [&](const Bytes& b) {
            const auto offset = static_cast<uint32_t>(bytes.size());
            bytes.insert(bytes.end(), b.begin(), b.end());
            return offset;
        };
        const uint32_t s = at(strip), x = at(exif), t = at(ifd1);
        Ifd(8, {{{0x014A, 4, kSubIfd}}, {{0x8769, 4, kExifIfd}}}, kIfd1);
        Ifd(kSubIfd, {{{0x0103, 3, 6}}, {{0x0111, 4, s}}, {{0x0117, 4, static_cast<uint32_t>(strip.size())}}}, 0);
        Ifd(kExifIfd, {{{0x0201, 4, x}}, {{0x0202, 4, static_cast<uint32_t>(exif.size())}}}, 0);
        Ifd(kIfd1, {{{0x0201, 4, t}}, {{0x0202, 4, static_cast<uint32_t>(ifd1.size())}}}, 0);
    }
};

class EmbeddedThumbnailTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testutil::HaveTool("gm") || !testutil::HaveTool("exiftool")) return;
        s_dir = std::make_unique<testutil::TempDir>();
        const auto gm = [](const std::string& args, const std::string& name) {
            MustRun("gm convert " + args + " " + Quote(File(name)));
        };
        gm("-size 640x480 gradient:red-blue -quality 90", "plain.jpg");
        gm("-size 640x480 gradient:red-blue -quality 90", "photo.jpg");
        gm("-size 160x120 plasma:fractal -quality 95", "thumb.jpg");
        gm("-size 320x200 gradient:white-black -interlace Line", "progressive.jpg");
        gm("-size 64x48 gradient:red-blue -quality 80", "small.jpg");
        gm("-size 128x96 plasma:fractal -quality 80", "medium.jpg");
        gm("-size 256x192 plasma:fractal -quality 80", "large.jpg");
        gm("-size 320x240 gradient:red-blue", "plain.tif");
        gm("-size 320x240 gradient:red-blue -compress JPEG -define tiff:rows-per-strip=240", "jpeg-le.tif");
        gm("-size 320x240 gradient:red-blue -compress JPEG -endian MSB -define tiff:rows-per-strip=240", "jpeg-be.tif");
        gm("-size 32x32 gradient:red-blue", "plain.png");
        const std::string big(30000, 'x');
        MustRun("exiftool -q -overwrite_original '-ThumbnailImage<=" + File("thumb.jpg") + "' -UserComment=" + big +
                " " + Quote(File("photo.jpg")));
        MustRun("cp " + Quote(File("plain.jpg")) + " " + Quote(File("exif-only.jpg")));
        MustRun("exiftool -q -overwrite_original -Artist=nobody " + Quote(File("exif-only.jpg")));
    }
    static void TearDownTestSuite() { s_dir.reset(); }
    void SetUp() override {
        QUARLIX_REQUIRE(s_dir, "GraphicsMagick (gm) and exiftool (libimage-exiftool-perl) are needed");
    }

    static std::string File(const std::string& name) { return s_dir->file(name); }
    static Bytes Read(const std::string& name) { return ReadFileBytes(File(name)); }
    static std::vector<EmbeddedPicture> Find(const Bytes& b) { return FindEmbeddedPictures(b.data(), b.size()); }
    // gm identify's "width height" of a file.
    static std::string GmSize(const std::string& path) {
        std::string out = MustRun("gm identify -format '%w %h' " + Quote(path));
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }
    static std::string Dimensions(const Bytes& b) {
        uint32_t w = 0, h = 0;
        if (!JpegDimensions(b.data(), b.size(), w, h)) return "none";
        return std::to_string(w) + " " + std::to_string(h);
    }

    static std::unique_ptr<testutil::TempDir> s_dir;
};
std::unique_ptr<testutil::TempDir> EmbeddedThumbnailTest::s_dir;

TEST_F(EmbeddedThumbnailTest, ExifThumbnailIsTheBytesExiftoolWrote) {
    const Bytes photo = Read("photo.jpg");
    const auto found = Find(photo);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(Slice(photo, found[0]), Read("thumb.jpg"));
    EXPECT_EQ(Dimensions(Slice(photo, found[0])), "160 120");
}

TEST_F(EmbeddedThumbnailTest, PicturesWithoutPreviewGiveNone) {
    for (const char* name : {"plain.jpg", "exif-only.jpg", "progressive.jpg", "plain.tif", "plain.png"}) {
        const Bytes b = Read(name);
        ASSERT_FALSE(b.empty()) << name;
        EXPECT_TRUE(Find(b).empty()) << name;
    }
}

TEST_F(EmbeddedThumbnailTest, DimensionsAreGmIdentifys) {
    for (const char* name : {"plain.jpg", "photo.jpg", "thumb.jpg", "progressive.jpg", "small.jpg"})
        EXPECT_EQ(Dimensions(Read(name)), GmSize(File(name))) << name;
    // No JPEG, and a JPEG cut before its frame header.
    EXPECT_EQ(Dimensions(Read("plain.tif")), "none");
    Bytes cut = Read("photo.jpg");
    cut.resize(2000);  // inside the 30,000-byte APP1
    EXPECT_EQ(Dimensions(cut), "none");
}

// The JPEG-compressed single strip of a gm TIFF, in both byte orders:
// exiftool reports it as the preview image.
TEST_F(EmbeddedThumbnailTest, TiffSingleJpegStripIsExiftoolsPreview) {
    for (const char* name : {"jpeg-le.tif", "jpeg-be.tif"}) {
        const Bytes tif = Read(name);
        const auto found = Find(tif);
        ASSERT_EQ(found.size(), 1u) << name;
        std::istringstream fields(MustRun("exiftool -s3 -n -PreviewImageStart -PreviewImageLength " + Quote(File(name))));
        uint64_t start = 0, length = 0;
        fields >> start >> length;
        EXPECT_EQ(found[0].offset, start) << name;
        EXPECT_EQ(found[0].length, length) << name;
    }
}

TEST_F(EmbeddedThumbnailTest, TiffIfdTreeGivesEveryPreviewSmallestFirst) {
    const Bytes small = Read("small.jpg"), medium = Read("medium.jpg"), large = Read("large.jpg");
    ASSERT_LT(small.size(), medium.size());
    ASSERT_LT(medium.size(), large.size());
    for (bool little : {true, false}) {
        // The raw headers of other makers carry the same structure.
        const char* magics[] = {little ? "II*\0" : "MM\0*", little ? "IIRO" : "MMOR", little ? "IIU\0" : "MM\0*"};
        for (const char* magic : magics) {
            TiffTree tree(little, large, medium, small);
            std::copy(magic, magic + 4, tree.bytes.begin());
            const auto found = Find(tree.bytes);
            SCOPED_TRACE(std::string(magic, 4));
            ASSERT_EQ(found.size(), 3u);
            EXPECT_EQ(Slice(tree.bytes, found[0]), small);
            EXPECT_EQ(Slice(tree.bytes, found[1]), medium);
            EXPECT_EQ(Slice(tree.bytes, found[2]), large);
        }
    }
}

// Damaged trees: each case changes one thing and names the preview lengths
// still expected (small S, medium M, large L), all of them or at least them.
TEST_F(EmbeddedThumbnailTest, DamagedTreesKeepThePromises) {
    const Bytes small = Read("small.jpg"), medium = Read("medium.jpg"), large = Read("large.jpg");
    const uint64_t S = small.size(), M = medium.size(), L = large.size();
    using T = TiffTree;
    struct Case {
        const char* what;
        std::function<void(TiffTree&)> change;
        std::vector<uint64_t> lengths;
        bool atLeast = false;
    } cases[] = {
        {"IFD0's next is itself", [](T& t) { t.Put32(T::kIfd0Next, 8); }, {M, L}},
        {"IFD1's next is IFD0", [](T& t) { t.Put32(T::kIfd1 + 2 + 24, 8); }, {S, M, L}},
        {"SubIFDs is IFD0", [](T& t) { t.Put32(T::kSubIfdsValue, 8); }, {S, M}},
        {"SubIFDs count past the end", [](T& t) { t.Put32(T::kSubIfdsCount, 0xFFFFFFFF); t.Put32(T::kSubIfdsValue, 0xFFFFFFF0); }, {S, M}},
        {"SubIFDs values past the end", [](T& t) { t.Put32(T::kSubIfdsCount, 3); t.Put32(T::kSubIfdsValue, 0x7FFFFFFF); }, {S, M}},
        // The entries after the two real ones are whatever bytes follow.
        {"IFD0 entry count past the end", [](T& t) { t.Put16(T::kIfd0Count, 0xFFFF); }, {M, L}, true},
        {"IFD1 past the end", [](T& t) { t.Put32(T::kIfd0Next, 0xFFFFFFF0); }, {M, L}},
        {"offset + length past 2^32", [](T& t) { t.Put32(T::kIfd1Offset, 0xFFFFFF80); t.Put32(T::kIfd1Length, 0x100); }, {M, L}},
        // Listed: the caller reads further, and no byte of it lies within.
        {"offset far past the bytes", [](T& t) { t.Put32(T::kIfd1Offset, 0x10000000); }, {S, M, L}},
        {"offset at no JPEG", [](T& t) { t.Put32(T::kIfd1Offset, T::kIfd1); }, {M, L}},
        {"length below 100", [](T& t) { t.Put32(T::kIfd1Length, 99); }, {M, L}},
        {"length above 16 MiB", [](T& t) { t.Put32(T::kIfd1Length, (16u << 20) + 1); }, {M, L}},
        {"strip without JPEG compression", [](T& t) { t.Put16(T::kSubIfd + 2 + 8, 1); }, {S, M}},
    };
    for (bool little : {true, false})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (little ? " (II)" : " (MM)"));
            TiffTree tree(little, large, medium, small);
            c.change(tree);
            const auto found = Find(tree.bytes);
            EXPECT_TRUE(KeepsPromises(tree.bytes, found));
            std::vector<uint64_t> lengths;
            for (const EmbeddedPicture& p : found)
                if (!c.atLeast || std::count(c.lengths.begin(), c.lengths.end(), p.length)) lengths.push_back(p.length);
            EXPECT_EQ(lengths, c.lengths);
        }
}

// Every cut of the header region, of the JPEG and of the tree: the promises
// hold, and a cut after a preview's first two bytes still finds it.
TEST_F(EmbeddedThumbnailTest, CutInputsKeepThePromises) {
    const Bytes photo = Read("photo.jpg");
    TiffTree tree(true, Read("large.jpg"), Read("medium.jpg"), Read("small.jpg"));
    for (const Bytes* whole : {&photo, static_cast<const Bytes*>(&tree.bytes)}) {
        const auto all = Find(*whole);
        ASSERT_FALSE(all.empty());
        uint64_t lastStart = 0;
        for (const EmbeddedPicture& p : all) lastStart = std::max(lastStart, p.offset);
        for (size_t size = 0; size <= std::min<size_t>(whole->size(), lastStart + 64); size += 3) {
            const Bytes cut(whole->begin(), whole->begin() + static_cast<ptrdiff_t>(size));
            const auto found = Find(cut);
            ASSERT_TRUE(KeepsPromises(cut, found)) << "cut at " << size;
            uint32_t w = 0, h = 0;
            JpegDimensions(cut.data(), cut.size(), w, h);
            if (size >= lastStart + 2) {
                ASSERT_EQ(found.size(), all.size()) << "cut at " << size;
                for (size_t i = 0; i < all.size(); ++i) {
                    EXPECT_EQ(found[i].offset, all[i].offset);
                    EXPECT_EQ(found[i].length, all[i].length);
                }
            }
        }
    }
}

}  // namespace
