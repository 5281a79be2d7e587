#include "engine/formats/ThumbnailCheck.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstdio>
#include <csetjmp>

#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/formats/EmbeddedPictures.h"

namespace {

constexpr int kCells = kThumbGridWidth * kThumbGridHeight;
// More warnings than this end a decode: the bytes are no JPEG's.
constexpr int kMaxWarnings = 1000;
// The scale a picture is decoded at leaves at least this many pixels per
// cell across and down, where the picture is large enough.
constexpr uint32_t kPixelsPerCell = 2;

// libjpeg's error manager, returning to the decode's setjmp instead of
// exiting, and noting where decoding went wrong.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    long corruptRow;  // the output row being decoded at the first sign of broken data, or -1
    int warnings;
};

[[noreturn]] void OnError(j_common_ptr c) { std::longjmp(reinterpret_cast<ErrorManager*>(c->err)->jump, 1); }

// Warnings (level -1) only; the trace messages are dropped.
void OnMessage(j_common_ptr c, int level) {
    if (level >= 0) return;
    auto* err = reinterpret_cast<ErrorManager*>(c->err);
    if (++err->warnings > kMaxWarnings) OnError(c);
    const int code = err->pub.msg_code;
    // The entropy data ran out, broke a Huffman code or met a marker early:
    // what follows in the picture is filled, not decoded.
    const bool broken = code == JWRN_JPEG_EOF || code == JWRN_HUFF_BAD_CODE || code == JWRN_HIT_MARKER ||
                        code == JWRN_MUST_RESYNC || code == JWRN_BOGUS_PROGRESSION;
    if (broken && err->corruptRow < 0 && c->is_decompressor)
        err->corruptRow = static_cast<long>(reinterpret_cast<j_decompress_ptr>(c)->output_scanline);
}

void OnProgress(j_common_ptr c) {
    if (c->is_decompressor && reinterpret_cast<j_decompress_ptr>(c)->input_scan_number > kThumbMaxScans) OnError(c);
}

void NoOutput(j_common_ptr) {}

// The part of a picture compared, as shares of its width and height.
struct Crop {
    double x = 0, y = 0, width = 1, height = 1;
};

// What a decode summed: per cell the colour sums and pixel counts of the
// compared area, and the sums of the pixels outside the picture area (the bars).
struct Decoded {
    std::array<uint64_t, kCells * 3> sum {};
    std::array<uint64_t, kCells> count {};
    uint64_t barSum[3] = {0, 0, 0};
    uint64_t barCount = 0;
    bool started = false;  // the header was read and rows were asked for
    bool broken = false;   // some rows were not decoded from the picture's own data
};

struct Area {
    uint32_t x0 = 0, y0 = 0, width = 0, height = 0;
};

bool Inside(const Area& a, uint32_t x, uint32_t y) {
    return x >= a.x0 && x - a.x0 < a.width && y >= a.y0 && y - a.y0 < a.height;
}

Area AreaOf(const Crop& crop, uint32_t width, uint32_t height) {
    Area a;
    a.x0 = std::min(static_cast<uint32_t>(crop.x * width + 0.5), width);
    a.y0 = std::min(static_cast<uint32_t>(crop.y * height + 0.5), height);
    a.width = std::min(static_cast<uint32_t>(crop.width * width + 0.5), width - a.x0);
    a.height = std::min(static_cast<uint32_t>(crop.height * height + 0.5), height - a.y0);
    return a;
}

void SumRow(const uint8_t* rgb, uint32_t y, uint32_t width, const Area& a, const Area& picture, Decoded& out) {
    const uint32_t cy = y >= a.y0 && y - a.y0 < a.height ? (y - a.y0) * kThumbGridHeight / a.height : 0;
    for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* p = rgb + 3 * size_t(x);
        if (!Inside(picture, x, y)) {
            for (int ch = 0; ch < 3; ++ch) out.barSum[ch] += p[ch];
            ++out.barCount;
            continue;
        }
        if (!Inside(a, x, y)) continue;
        const uint32_t cell = cy * kThumbGridWidth + (x - a.x0) * kThumbGridWidth / a.width;
        for (int ch = 0; ch < 3; ++ch) out.sum[cell * 3 + ch] += p[ch];
        ++out.count[cell];
    }
}

// The scale a main image is decoded at: 1/8, or less reduced where that
// would leave fewer than kPixelsPerCell pixels a cell.
unsigned MainScale(uint32_t width, uint32_t height) {
    for (unsigned denom : {8u, 4u, 2u}) {
        if (width / denom >= kThumbGridWidth * kPixelsPerCell && height / denom >= kThumbGridHeight * kPixelsPerCell)
            return denom;
    }
    return 1;
}

// The scale a thumbnail is decoded at: the most reduced whose compared area
// is still as large as the main image's decoded one (or no reduction).
unsigned ThumbnailScale(uint32_t width, uint32_t height, const Crop& crop, uint32_t mainWidth, uint32_t mainHeight) {
    for (unsigned denom : {8u, 4u, 2u}) {
        if (width * crop.width / denom >= mainWidth && height * crop.height / denom >= mainHeight) return denom;
    }
    return 1;
}

// Decodes the JPEG at 1/denom to RGB and sums the compared area (crop)
// into out, and what lies outside the picture area as bars. Rows from the
// first sign of broken entropy data on (of a sequential JPEG: a
// progressive one has read all its data before the first row), and the
// rows after an error, are left out. False when libjpeg cannot read the
// header or start decoding, or the picture is too large.
// Nothing with a destructor lives in this frame: libjpeg's errors longjmp here.
bool Decode(const uint8_t* data, size_t size, unsigned denom, const Crop& crop, const Crop& picture, Decoded& out) {
    jpeg_decompress_struct info;
    ErrorManager err;
    jpeg_progress_mgr progress;
    info.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnError;
    err.pub.emit_message = OnMessage;
    err.pub.output_message = NoOutput;
    err.corruptRow = -1;
    err.warnings = 0;
    progress.progress_monitor = OnProgress;
    if (setjmp(err.jump)) {
        if (out.started) out.broken = true;
        jpeg_destroy_decompress(&info);
        return out.started;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = kThumbMaxMemory;
    info.progress = &progress;
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
        uint64_t(info.image_width) * info.image_height > kThumbMaxPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.scale_num = 1;
    info.scale_denom = denom;
    info.dct_method = JDCT_IFAST;
    info.out_color_space = JCS_RGB;
    info.do_fancy_upsampling = FALSE;
    info.do_block_smoothing = FALSE;
    jpeg_start_decompress(&info);
    if (info.output_components != 3 || info.output_width == 0 || info.output_height == 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    const Area area = AreaOf(crop, info.output_width, info.output_height);
    const Area pictureArea = AreaOf(picture, info.output_width, info.output_height);
    if (area.width < kThumbGridWidth || area.height < kThumbGridHeight) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    const bool progressive = info.progressive_mode;
    // A progressive JPEG's broken data shows in its rows, not in where they were decoded.
    if (progressive && err.corruptRow >= 0) out.broken = true;
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                               info.output_width * 3, 1);
    out.started = true;
    while (info.output_scanline < info.output_height) {
        const JDIMENSION y = info.output_scanline;
        if (jpeg_read_scanlines(&info, row, 1) != 1) break;
        if (!progressive && err.corruptRow >= 0 && long(y) >= err.corruptRow) {
            out.broken = true;
            break;
        }
        SumRow(row[0], y, info.output_width, area, pictureArea, out);
    }
    jpeg_destroy_decompress(&info);
    return true;
}

// The parts of the main image and of the thumbnail compared. Where their
// aspects differ, cameras put a wide photo's thumbnail between black bars:
// the thumbnail's picture area is compared, without half a cell at each
// bar (where the decoded picture and bar blend), and the main image without
// the same share. picture: the thumbnail's picture area. False when the
// shapes are too far apart to be the same picture.
bool ComparedAreas(uint32_t mainW, uint32_t mainH, uint32_t thumbW, uint32_t thumbH, Crop& main, Crop& thumb,
                   Crop& picture, bool& barred) {
    const double ratio = (double(mainW) / mainH) / (double(thumbW) / thumbH);
    barred = false;
    main = thumb = picture = Crop {};
    if (std::abs(ratio - 1) * 100 <= kThumbAspectTolerancePercent) return true;
    if (ratio > 2 || ratio < 0.5) return false;
    barred = true;
    if (ratio > 1) {  // bars above and below
        const double inset = 0.5 / kThumbGridHeight;
        main.y = inset;
        main.height = 1 - 2 * inset;
        picture.height = 1 / ratio;
        picture.y = (1 - picture.height) / 2;
        thumb.height = main.height / ratio;
        thumb.y = (1 - thumb.height) / 2;
    } else {  // bars left and right
        const double inset = 0.5 / kThumbGridWidth;
        main.x = inset;
        main.width = 1 - 2 * inset;
        picture.width = ratio;
        picture.x = (1 - picture.width) / 2;
        thumb.width = main.width * ratio;
        thumb.x = (1 - thumb.width) / 2;
    }
    return true;
}

bool Within(const preview::EmbeddedPicture& p, size_t size) { return p.offset <= size && p.length <= size - p.offset; }

}  // namespace

ThumbnailComparison CompareWithThumbnail(const uint8_t* main, size_t mainSize, const uint8_t* thumb, size_t thumbSize) {
    ThumbnailComparison result;
    uint32_t mainW = 0, mainH = 0, thumbW = 0, thumbH = 0;
    if (!main || !thumb || !preview::JpegDimensions(main, mainSize, mainW, mainH) ||
        !preview::JpegDimensions(thumb, thumbSize, thumbW, thumbH) || mainW == 0 || mainH == 0 || thumbW == 0 ||
        thumbH == 0)
        return result;
    Crop mainCrop, thumbCrop, thumbPicture;
    bool barred = false;
    if (!ComparedAreas(mainW, mainH, thumbW, thumbH, mainCrop, thumbCrop, thumbPicture, barred)) return result;
    const unsigned mainScale = MainScale(mainW, mainH);
    const uint32_t mainOutW = static_cast<uint32_t>(mainW * mainCrop.width / mainScale);
    const uint32_t mainOutH = static_cast<uint32_t>(mainH * mainCrop.height / mainScale);
    auto small = std::make_unique<Decoded>();
    if (!Decode(thumb, thumbSize, ThumbnailScale(thumbW, thumbH, thumbCrop, mainOutW, mainOutH), thumbCrop, thumbPicture,
                *small) ||
        small->broken)
        return result;
    if (std::find(small->count.begin(), small->count.end(), 0u) != small->count.end()) return result;
    if (barred) {
        // No dark bars: the thumbnail shows some other cut of the picture.
        if (small->barCount == 0) return result;
        for (uint64_t s : small->barSum)
            if (s > uint64_t(kThumbBarLevel) * small->barCount) return result;
    }
    auto large = std::make_unique<Decoded>();
    if (!Decode(main, mainSize, mainScale, mainCrop, Crop {}, *large) || !large->started) return result;
    result.compared = true;
    for (int cell = 0; cell < kCells; ++cell) {
        if (large->count[cell] == 0) {  // not decoded
            ++result.differingCells;
            continue;
        }
        for (int ch = 0; ch < 3; ++ch) {
            const int64_t a = int64_t(small->sum[cell * 3 + ch] / small->count[cell]);
            const int64_t b = int64_t(large->sum[cell * 3 + ch] / large->count[cell]);
            if (std::abs(a - b) > kThumbCellTolerance) {
                ++result.differingCells;
                break;
            }
        }
    }
    return result;
}

ThumbnailComparison CompareJpegThumbnail(const uint8_t* data, size_t size) {
    if (!data || size < 2 || data[0] != 0xFF || data[1] != 0xD8) return {};
    for (const preview::EmbeddedPicture& p : preview::FindEmbeddedPictures(data, size)) {
        if (Within(p, size))
            return CompareWithThumbnail(data, size, data + p.offset, static_cast<size_t>(p.length));
    }
    return {};
}

ThumbnailComparison CompareRawPreviews(const uint8_t* data, size_t size) {
    if (!data || (size >= 2 && data[0] == 0xFF && data[1] == 0xD8)) return {};
    std::vector<preview::EmbeddedPicture> pictures = preview::FindEmbeddedPictures(data, size);
    pictures.erase(std::remove_if(pictures.begin(), pictures.end(),
                                  [size](const preview::EmbeddedPicture& p) { return !Within(p, size); }),
                   pictures.end());
    if (pictures.size() < 2) return {};
    const preview::EmbeddedPicture& thumb = pictures.front();  // smallest first
    const preview::EmbeddedPicture& large = pictures.back();
    return CompareWithThumbnail(data + large.offset, static_cast<size_t>(large.length), data + thumb.offset,
                                static_cast<size_t>(thumb.length));
}

std::optional<bool> VerifyJpegThumbnail(const uint8_t* data, size_t size) {
    const ThumbnailComparison c = CompareJpegThumbnail(data, size);
    if (!c.compared) return std::nullopt;
    return !c.Disagrees();
}

std::optional<bool> VerifyRawPreviews(const uint8_t* data, size_t size) {
    const ThumbnailComparison c = CompareRawPreviews(data, size);
    if (!c.compared) return std::nullopt;
    return !c.Disagrees();
}
