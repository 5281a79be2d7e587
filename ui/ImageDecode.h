// Decoding a preview's bytes into pixels, the format taken from the content:
// Qt's readers first (BMP, GIF, JPEG, PNG, ICO/CUR, TIFF, TGA, WBMP, PNM),
// then GraphicsMagick for PCX, WMF, JBIG, Sun raster and colour-mapped TGA, OpenJPEG for JPEG
// 2000 (JP2 files and J2K/JPC codestreams) and a small reader of our own for
// PGX. Each decoder runs only on bytes whose header it recognises, under
// size caps, so hostile bytes never reach a decoder of another format.
// Safe to call from any thread.
#pragma once

#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>

// Largest image decoded, in pixels per side and in all.
inline constexpr int kMaxDecodedSide = 16384;
inline constexpr int64_t kMaxDecodedPixels = 64LL * 1024 * 1024;

// The decoded image, or a null image when nothing decodes the bytes.
// decoder, when given, names the one that took them ("qt:jpeg", "gm:PCX",
// "openjpeg", "pgx"), or "" .
QImage DecodeImage(const uint8_t* data, size_t size, QString* decoder = nullptr);
