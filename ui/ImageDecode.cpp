#include "ui/ImageDecode.h"

#include <QBuffer>
#include <QImageReader>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include <magick/api.h>
#include <openjpeg.h>

namespace {

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool SizeAllowed(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kMaxDecodedSide && height <= kMaxDecodedSide &&
           width * height <= kMaxDecodedPixels;
}

// ---- Qt ----------------------------------------------------------------

// A WBMP header's multi-byte integer: 7 bits a byte, high bit "more".
bool WbmpNumber(const uint8_t* d, size_t n, size_t& p, uint64_t& v) {
    v = 0;
    for (int i = 0; i < 4 && p < n; ++i) {
        const uint8_t b = d[p++];
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return true;
    }
    return false;
}

// TGA and WBMP carry no signature, so Qt does not tell them from their
// content: each is taken only when its header is sane and, for WBMP, the
// bytes are exactly a picture of the size it states.
QByteArray SignaturelessFormat(const uint8_t* d, size_t n) {
    if (n >= 18) {
        const uint8_t colorMapType = d[1], type = d[2], depth = d[16];
        const bool knownType = type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11;
        const bool knownDepth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
        const uint32_t width = d[12] | (d[13] << 8), height = d[14] | (d[15] << 8);
        if (colorMapType <= 1 && knownType && knownDepth && width > 0 && height > 0 && (d[17] & 0xC0) == 0)
            return "tga";
    }
    size_t p = 0;
    uint64_t type = 0, width = 0, height = 0;
    if (n >= 4 && WbmpNumber(d, n, p, type) && type == 0 && p < n && d[p++] == 0 && WbmpNumber(d, n, p, width) &&
        WbmpNumber(d, n, p, height) && SizeAllowed(width, height) && n - p == (width + 7) / 8 * height)
        return "wbmp";
    return QByteArray();
}

QImage DecodeWithQt(const uint8_t* data, size_t size, QString* decoder) {
    static const bool limited = (QImageReader::setAllocationLimit(int(kMaxDecodedPixels * 4 / (1024 * 1024))), true);
    (void)limited;
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray format = QImageReader::imageFormat(&buffer);
    if (format.isEmpty()) format = SignaturelessFormat(data, size);
    if (format.isEmpty()) return QImage();
    buffer.seek(0);
    QImageReader reader(&buffer, format);
    if (!reader.canRead()) return QImage();
    const QSize s = reader.size();
    if (s.isValid() && !SizeAllowed(s.width(), s.height())) return QImage();
    QImage image;
    if (!reader.read(&image) || !SizeAllowed(image.width(), image.height())) return QImage();
    if (decoder) *decoder = QStringLiteral("qt:") + QString::fromLatin1(format);
    return image;
}

// ---- GraphicsMagick: only the formats Qt lacks (and the TGA kinds it cannot read), each behind its header check

bool IsPcx(const uint8_t* d, size_t n) {
    return n >= 128 && d[0] == 0x0A && (d[1] <= 5 && d[1] != 1) && d[2] <= 1 &&
           (d[3] == 1 || d[3] == 2 || d[3] == 4 || d[3] == 8);
}
bool IsWmf(const uint8_t* d, size_t n) {
    if (n >= 22 && d[0] == 0xD7 && d[1] == 0xCD && d[2] == 0xC6 && d[3] == 0x9A) return true;  // placeable
    return n >= 18 && (d[0] == 1 || d[0] == 2) && d[1] == 0 && d[2] == 9 && d[3] == 0 && d[4] == 0 &&
           (d[5] == 1 || d[5] == 3);
}
bool IsSunRaster(const uint8_t* d, size_t n) { return n >= 32 && Be32(d) == 0x59A66A95u; }
// A JBIG bi-level image header: no signature, so every field must be sane.
bool IsJbig(const uint8_t* d, size_t n) {
    if (n < 20) return false;
    const uint32_t xd = Be32(d + 4), yd = Be32(d + 8), l0 = Be32(d + 12);
    return d[0] <= d[1] && d[1] < 32 && d[2] >= 1 && d[3] == 0 && xd > 0 && yd > 0 && l0 > 0 && d[16] <= 127 &&
           d[17] == 0 && (d[18] & 0xF0) == 0 && (d[19] & 0x80) == 0 && SizeAllowed(xd, yd == 0xFFFFFFFFu ? 1 : yd);
}

void InitMagick() {
    static std::once_flag once;
    std::call_once(once, [] {
        ExceptionInfo e;
        GetExceptionInfo(&e);
        InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, &e);
        DestroyExceptionInfo(&e);
        SetMagickResourceLimit(WidthResource, kMaxDecodedSide);
        SetMagickResourceLimit(HeightResource, kMaxDecodedSide);
        SetMagickResourceLimit(PixelsResource, kMaxDecodedPixels);
        SetMagickResourceLimit(DiskResource, 0);  // the pixel cache stays in memory
    });
}

QImage DecodeWithMagick(const uint8_t* data, size_t size, const char* format) {
    InitMagick();
    ExceptionInfo e;
    GetExceptionInfo(&e);
    ImageInfo* info = CloneImageInfo(nullptr);
    std::snprintf(info->magick, sizeof info->magick, "%s", format);
    std::snprintf(info->filename, sizeof info->filename, "%s:preview", format);  // the coder is fixed, not guessed
    Image* image = BlobToImage(info, data, size, &e);
    QImage out;
    if (image && SizeAllowed(image->columns, image->rows)) {
        QImage rgba(int(image->columns), int(image->rows), QImage::Format_RGBA8888);
        if (!rgba.isNull()) {
            bool ok = true;
            for (int y = 0; y < rgba.height() && ok; ++y)
                ok = DispatchImage(image, 0, y, image->columns, 1, "RGBA", CharPixel, rgba.scanLine(y), &e) ==
                     MagickPass;
            if (ok) out = rgba;
        }
    }
    if (image) DestroyImageList(image);
    DestroyImageInfo(info);
    DestroyExceptionInfo(&e);
    return out;
}

// ---- OpenJPEG: JP2 files and raw codestreams (J2K, JPC) -------------------

struct MemoryStream {
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

OPJ_SIZE_T StreamRead(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    if (m->position >= m->size) return static_cast<OPJ_SIZE_T>(-1);
    const size_t take = std::min<size_t>(n, m->size - m->position);
    std::memcpy(buffer, m->data + m->position, take);
    m->position += take;
    return take;
}
OPJ_OFF_T StreamSkip(OPJ_OFF_T n, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    if (n < 0) return -1;
    const size_t take = std::min<size_t>(static_cast<size_t>(n), m->size - m->position);
    m->position += take;
    return static_cast<OPJ_OFF_T>(take);
}
OPJ_BOOL StreamSeek(OPJ_OFF_T to, void* user) {
    auto* m = static_cast<MemoryStream*>(user);
    if (to < 0 || static_cast<uint64_t>(to) > m->size) return OPJ_FALSE;
    m->position = static_cast<size_t>(to);
    return OPJ_TRUE;
}
void Quiet(const char*, void*) {}

bool IsJp2(const uint8_t* d, size_t n) {
    static const uint8_t box[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    return n >= sizeof box && std::memcmp(d, box, sizeof box) == 0;
}
bool IsJ2kCodestream(const uint8_t* d, size_t n) {
    return n >= 4 && d[0] == 0xFF && d[1] == 0x4F && d[2] == 0xFF && d[3] == 0x51;
}

// One component sample scaled to 8 bits.
uint8_t Sample8(const opj_image_comp_t& c, int64_t x, int64_t y, int64_t width, int64_t height) {
    const int64_t cx = std::min<int64_t>(x * c.w / width, c.w - 1);
    const int64_t cy = std::min<int64_t>(y * c.h / height, c.h - 1);
    int64_t v = c.data[cy * c.w + cx];
    if (c.sgnd) v += int64_t(1) << (c.prec - 1);
    if (c.prec > 8) v >>= (c.prec - 8);
    else if (c.prec < 8) v <<= (8 - c.prec);
    return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
}

QImage DecodeWithOpenJpeg(const uint8_t* data, size_t size, OPJ_CODEC_FORMAT format) {
    MemoryStream m{data, size};
    opj_stream_t* stream = opj_stream_create(64 * 1024, OPJ_TRUE);
    if (!stream) return QImage();
    opj_stream_set_user_data(stream, &m, nullptr);
    opj_stream_set_user_data_length(stream, size);
    opj_stream_set_read_function(stream, StreamRead);
    opj_stream_set_skip_function(stream, StreamSkip);
    opj_stream_set_seek_function(stream, StreamSeek);
    opj_codec_t* codec = opj_create_decompress(format);
    opj_image_t* image = nullptr;
    QImage out;
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (codec) {
        opj_set_error_handler(codec, Quiet, nullptr);
        opj_set_warning_handler(codec, Quiet, nullptr);
        opj_set_info_handler(codec, Quiet, nullptr);
    }
    if (codec && opj_setup_decoder(codec, &parameters) && opj_read_header(stream, codec, &image) && image &&
        SizeAllowed(int64_t(image->x1) - image->x0, int64_t(image->y1) - image->y0) && image->numcomps >= 1 &&
        image->numcomps <= 4 && opj_decode(codec, stream, image) && opj_end_decompress(codec, stream)) {
        const int64_t width = int64_t(image->x1) - image->x0, height = int64_t(image->y1) - image->y0;
        bool usable = true;
        for (OPJ_UINT32 i = 0; i < image->numcomps; ++i) {
            const opj_image_comp_t& c = image->comps[i];
            usable = usable && c.data && c.w > 0 && c.h > 0 && c.prec >= 1 && c.prec <= 31;
        }
        QImage rgba(int(width), int(height), QImage::Format_RGBA8888);
        if (usable && !rgba.isNull()) {
            const bool colour = image->numcomps >= 3;
            const bool alpha = image->numcomps == 2 || image->numcomps == 4;
            for (int64_t y = 0; y < height; ++y) {
                uint8_t* line = rgba.scanLine(int(y));
                for (int64_t x = 0; x < width; ++x) {
                    const uint8_t r = Sample8(image->comps[0], x, y, width, height);
                    line[4 * x + 0] = r;
                    line[4 * x + 1] = colour ? Sample8(image->comps[1], x, y, width, height) : r;
                    line[4 * x + 2] = colour ? Sample8(image->comps[2], x, y, width, height) : r;
                    line[4 * x + 3] = alpha ? Sample8(image->comps[image->numcomps - 1], x, y, width, height) : 255;
                }
            }
            out = rgba;
        }
    }
    if (image) opj_image_destroy(image);
    if (codec) opj_destroy_codec(codec);
    opj_stream_destroy(stream);
    return out;
}

// ---- PGX: the JPEG 2000 test format, one grey component ---------------------
// "PG" ML|LM [+|-] depth width height, one line end, then the samples, big
// endian (ML) or little endian (LM), 1, 2 or 4 bytes each.
QImage DecodePgx(const uint8_t* d, size_t n) {
    if (n < 12 || d[0] != 'P' || d[1] != 'G') return QImage();
    size_t p = 2;
    auto skipBlanks = [&] {
        while (p < n && p < 64 && (d[p] == ' ' || d[p] == '\t')) ++p;
    };
    auto number = [&](uint64_t& v) {
        skipBlanks();
        const size_t start = p;
        v = 0;
        while (p < n && p - start < 10 && d[p] >= '0' && d[p] <= '9') v = v * 10 + (d[p++] - '0');
        return p > start;
    };
    skipBlanks();
    if (p + 2 > n) return QImage();
    const bool bigEndian = d[p] == 'M' && d[p + 1] == 'L';
    if (!bigEndian && !(d[p] == 'L' && d[p + 1] == 'M')) return QImage();
    p += 2;
    skipBlanks();
    bool sgnd = false;
    if (p < n && (d[p] == '+' || d[p] == '-')) sgnd = d[p++] == '-';
    uint64_t depth = 0, width = 0, height = 0;
    if (!number(depth) || !number(width) || !number(height) || depth < 1 || depth > 32 || !SizeAllowed(width, height))
        return QImage();
    if (p < n && d[p] == '\r') ++p;
    if (p >= n || d[p] != '\n') return QImage();
    ++p;
    const size_t bytes = depth <= 8 ? 1 : depth <= 16 ? 2 : 4;
    if ((n - p) / bytes / width < height) return QImage();
    QImage grey(int(width), int(height), QImage::Format_Grayscale8);
    if (grey.isNull()) return QImage();
    for (uint64_t y = 0; y < height; ++y) {
        uint8_t* line = grey.scanLine(int(y));
        for (uint64_t x = 0; x < width; ++x, p += bytes) {
            uint64_t v = 0;
            for (size_t b = 0; b < bytes; ++b) v |= uint64_t(d[p + (bigEndian ? b : bytes - 1 - b)]) << (8 * (bytes - 1 - b));
            int64_t s = static_cast<int64_t>(v & ((uint64_t(1) << depth) - 1));
            if (sgnd && (s >> (depth - 1)) & 1) s -= int64_t(1) << depth;
            if (sgnd) s += int64_t(1) << (depth - 1);
            s = depth > 8 ? s >> (depth - 8) : s << (8 - depth);
            line[x] = static_cast<uint8_t>(std::clamp<int64_t>(s, 0, 255));
        }
    }
    return grey;
}

}  // namespace

QImage DecodeImage(const uint8_t* data, size_t size, QString* decoder) {
    if (decoder) decoder->clear();
    if (!data || size == 0) return QImage();
    // The formats with a signature first, so that Qt's weaker content checks
    // (TGA and WBMP have none) never take a file another decoder knows.
    auto named = [&](QImage image, const char* name) {
        if (!image.isNull() && decoder) *decoder = QString::fromLatin1(name);
        return image;
    };
    if (IsJp2(data, size)) return named(DecodeWithOpenJpeg(data, size, OPJ_CODEC_JP2), "openjpeg");
    if (IsJ2kCodestream(data, size)) return named(DecodeWithOpenJpeg(data, size, OPJ_CODEC_J2K), "openjpeg");
    if (IsSunRaster(data, size)) return named(DecodeWithMagick(data, size, "SUN"), "gm:SUN");
    if (IsWmf(data, size)) return named(DecodeWithMagick(data, size, "WMF"), "gm:WMF");
    if (size >= 2 && data[0] == 'P' && data[1] == 'G') return named(DecodePgx(data, size), "pgx");
    if (IsPcx(data, size)) return named(DecodeWithMagick(data, size, "PCX"), "gm:PCX");
    QImage image = DecodeWithQt(data, size, decoder);
    if (!image.isNull()) return image;
    // Qt reads true-colour and grey TGA only; the colour-mapped ones go to GraphicsMagick.
    if (SignaturelessFormat(data, size) == "tga") return named(DecodeWithMagick(data, size, "TGA"), "gm:TGA");
    if (IsJbig(data, size)) return named(DecodeWithMagick(data, size, "JBIG"), "gm:JBIG");
    return QImage();
}
