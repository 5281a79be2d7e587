// The check of a picture against its embedded thumbnail, on camera-style
// JPEGs made by GraphicsMagick with an Exif thumbnail written by exiftool
// (tests/data/README.md): the photo with its own thumbnail, a 16:9 photo
// whose 4:3 thumbnail has black bars, a photo carrying another picture's
// thumbnail, and the photo whose clusters from its middle on were taken from
// another JPEG (as a carve that ran into foreign clusters), which still passes
// the entropy check. A TIFF raw holding a preview and a thumbnail is checked
// the same way; hostile bytes never crash.
#include <gtest/gtest.h>

#include "TiffBuilder.h"
#include "engine/formats/ContentVerify.h"
#include "engine/formats/EmbeddedPictures.h"
#include "engine/formats/ThumbnailCheck.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;

namespace {

constexpr size_t kCluster = 4096;

Bytes ReadData(const char* name) { return testutil::ReadFileBytes(DataDir() + "/" + name); }

// The first `clusters` clusters of `head`, then `tail` from the same cluster on.
Bytes Spliced(const Bytes& head, const Bytes& tail, size_t clusters) {
    Bytes out(head.begin(), head.begin() + clusters * kCluster);
    out.insert(out.end(), tail.begin() + clusters * kCluster, tail.end());
    return out;
}

// The smallest picture in the JPEG's Exif segment.
Bytes Thumbnail(const Bytes& jpeg) {
    const auto found = preview::FindEmbeddedPictures(jpeg.data(), jpeg.size());
    if (found.empty()) return {};
    return Bytes(jpeg.begin() + found[0].offset, jpeg.begin() + found[0].offset + found[0].length);
}

// A little-endian TIFF raw with IFD0 naming `thumb` (JPEGInterchangeFormat)
// and a SubIFD naming `preview` (Compression 7, one strip); either may be empty.
Bytes Raw(const Bytes& thumb, const Bytes& preview) {
    TiffBuilder t(false);
    const uint32_t thumbAt = static_cast<uint32_t>(t.Append(thumb));
    const uint32_t previewAt = static_cast<uint32_t>(t.Append(preview));
    std::vector<TiffEntry> sub = {{259, 3, 1, 7}, {273, 4, 1, previewAt}, {279, 4, 1, uint32_t(preview.size())}};
    const uint32_t subAt = static_cast<uint32_t>(t.AppendIfd(sub));
    std::vector<TiffEntry> ifd0 = {{254, 4, 1, 1}, {330, 4, 1, subAt}};
    if (!thumb.empty()) {
        ifd0.push_back({513, 4, 1, thumbAt});
        ifd0.push_back({514, 4, 1, uint32_t(thumb.size())});
    }
    t.SetFirstIfd(static_cast<uint32_t>(t.AppendIfd(ifd0)));
    return t.bytes;
}

}  // namespace

TEST(ThumbnailCheck, APhotoDisagreeingWithItsThumbnailFailsTheContentCheck) {
    const Bytes photo = ReadData("sample-thumb.jpg"), wide = ReadData("sample-thumb-wide.jpg"),
                other = ReadData("sample-thumb-other.jpg"), plain = ReadData("sample.jpg");
    // The cluster boundary past the photo's middle, and the first one after its thumbnail.
    const size_t half = (photo.size() / 2 + kCluster - 1) / kCluster;
    struct Case {
        const char* name;
        Bytes bytes;
        bool compared;
        bool agrees;
    };
    const Case cases[] = {
        {"own thumbnail", photo, true, true},
        {"16:9 photo, thumbnail with bars", wide, true, true},
        {"another picture's thumbnail", other, true, false},
        {"foreign clusters from the middle", Spliced(photo, other, half), true, false},
        {"foreign clusters after the first", Spliced(photo, other, 1), true, false},
        {"no thumbnail", plain, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The spliced photos keep a valid entropy coding: only the thumbnail sees them.
        ASSERT_TRUE(VerifyJpegEntropy(c.bytes.data(), c.bytes.size()));
        const ThumbnailComparison r = CompareJpegThumbnail(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(r.compared, c.compared);
        EXPECT_EQ(r.Disagrees(), !c.agrees) << r.differingCells << " cells differ";
        EXPECT_EQ(VerifyContent(u"jpg", c.bytes.data(), c.bytes.size()), std::optional<bool>(c.agrees));
    }

    // A TIFF raw: its largest preview against its thumbnail, when it has both.
    const Bytes thumb = Thumbnail(photo);
    ASSERT_FALSE(thumb.empty());
    EXPECT_EQ(VerifyContent(u"dng", Raw(thumb, photo).data(), Raw(thumb, photo).size()), std::optional<bool>(true));
    EXPECT_EQ(VerifyContent(u"dng", Raw(thumb, other).data(), Raw(thumb, other).size()), std::optional<bool>(false));
    EXPECT_EQ(VerifyContent(u"dng", Raw({}, photo).data(), Raw({}, photo).size()), std::nullopt);
}

TEST(ThumbnailCheck, HostileBytesNeverCrashAndAreBounded) {
    const Bytes photo = ReadData("sample-thumb.jpg"), other = ReadData("sample-thumb-other.jpg");
    const Bytes spliced = Spliced(photo, other, 1), raw = Raw(Thumbnail(photo), photo);
    // Cut short anywhere, and with bytes flipped in its header, thumbnail and
    // entropy data: libjpeg's errors come back here (no exit, no read past the bytes).
    for (const Bytes* b : {&photo, &spliced, &raw}) {
        for (size_t cut = 0; cut < b->size(); cut += 97) {
            Bytes part(b->begin(), b->begin() + cut);
            CompareJpegThumbnail(part.data(), part.size());
            CompareRawPreviews(part.data(), part.size());
        }
        for (size_t at = 2; at < b->size(); at += at < 4096 ? 29 : 401) {
            Bytes hurt = *b;
            hurt[at] ^= 0xA5;
            CompareJpegThumbnail(hurt.data(), hurt.size());
            CompareRawPreviews(hurt.data(), hurt.size());
        }
    }
    // The main image's frame header claims 32,000 x 24,000 pixels: decoded at
    // 1/8, its data ends after a few rows, and the rows not decoded disagree.
    // At 65,535 a side it is refused before decoding.
    size_t sof = 2;
    while (sof + 4 < photo.size() && photo[sof + 1] != 0xC0) sof += 2 + (photo[sof + 2] << 8 | photo[sof + 3]);
    ASSERT_LT(sof + 9, photo.size());
    for (auto [w, h, compared] : {std::tuple {32000, 24000, true}, std::tuple {65535, 65535, false}}) {
        Bytes huge = photo;
        huge[sof + 5] = static_cast<uint8_t>(h >> 8), huge[sof + 6] = static_cast<uint8_t>(h);
        huge[sof + 7] = static_cast<uint8_t>(w >> 8), huge[sof + 8] = static_cast<uint8_t>(w);
        const ThumbnailComparison r = CompareJpegThumbnail(huge.data(), huge.size());
        EXPECT_EQ(r.compared, compared) << w;
        EXPECT_EQ(r.Disagrees(), compared) << w;
    }
}
