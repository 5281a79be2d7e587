// A picture checked against the small copy of itself it carries: a carve
// that took other clusters into a JPEG's entropy data often still decodes,
// but its lower part shows another picture or flat blocks, while its Exif
// thumbnail (in the first cluster) still shows the photo that was taken.
//
// Both are decoded with libjpeg (the main image at 1/8 scale, less reduced
// when small, the thumbnail at the scale nearest it), reduced to kThumbGridWidth x kThumbGridHeight
// cells of mean colour and compared cell by cell. The input is hostile:
// libjpeg's errors return here (never exit), no more than
// kThumbMaxPixels pixels are decoded, no more than kThumbMaxScans scans of
// a progressive JPEG are read, its memory is capped by kThumbMaxMemory, and
// what it decodes is summed row by row (no image is kept).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

inline constexpr int kThumbGridWidth = 16;
inline constexpr int kThumbGridHeight = 12;
// The bounds below, measured on 28 GraphicsMagick photos (480x360 to
// 1200x800, quality 60 and 92, baseline and progressive) with thumbnails
// made by gm: no cell of a photo and its own thumbnail differed by more than
// 20 in any channel, a 16:9 photo against its barred 4:3 thumbnail neither.
// Where another JPEG's clusters replaced a baseline photo's from a cluster
// boundary on, the differing cells grew with the share replaced: past about
// a quarter to a third of the file, more than a quarter of the cells. A
// progressive JPEG keeps its first scans (the mean colours) in its first
// clusters: foreign clusters among its later scans pass. The tolerance of
// 60 leaves room for a camera's thumbnail rendered with another tone curve.
//
// A cell differs when its mean colour differs by more than this in any channel;
inline constexpr int kThumbCellTolerance = 60;
// the pictures disagree when more than this share (percent) of the cells differ.
inline constexpr int kThumbMaxDifferingPercent = 25;
// A thumbnail whose aspect differs from the main image's by more than this
// (percent) is compared by its picture area only, when the rest are dark
// bars (mean of each channel at most kThumbBarLevel); else not at all.
inline constexpr int kThumbAspectTolerancePercent = 10;
inline constexpr int kThumbBarLevel = 48;
inline constexpr uint64_t kThumbMaxPixels = 1ull << 30;
inline constexpr int kThumbMaxScans = 500;
inline constexpr long kThumbMaxMemory = 256l << 20;

// What the comparison of a main image with its thumbnail found.
struct ThumbnailComparison {
    bool compared = false;     // false: one of them could not be read, or their shapes do not fit
    int differingCells = 0;    // of kThumbGridWidth * kThumbGridHeight
    bool Disagrees() const {
        return compared && differingCells * 100 > kThumbMaxDifferingPercent * kThumbGridWidth * kThumbGridHeight;
    }
};

// The JPEG [main, main + mainSize) against the JPEG [thumb, thumb + thumbSize).
ThumbnailComparison CompareWithThumbnail(const uint8_t* main, size_t mainSize, const uint8_t* thumb, size_t thumbSize);

// A JPEG against the smallest picture its Exif segment holds (lying whole
// within the bytes). A JPEG that holds none is not compared.
ThumbnailComparison CompareJpegThumbnail(const uint8_t* data, size_t size);

// A TIFF-based camera raw: its largest embedded JPEG against its smallest,
// when it holds two that lie whole within the bytes; else not compared.
ThumbnailComparison CompareRawPreviews(const uint8_t* data, size_t size);

// As VerifyContent answers: false when the pictures disagree; nullopt when
// nothing was compared.
std::optional<bool> VerifyJpegThumbnail(const uint8_t* data, size_t size);
std::optional<bool> VerifyRawPreviews(const uint8_t* data, size_t size);
