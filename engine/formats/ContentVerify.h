// Checks of a whole file's bytes that see a wrong cluster in its middle:
// the recognisers of the scan check a file's framing, which a cluster of
// other bytes inside a JPEG's entropy data or a ZIP member leaves intact.
// A JPEG with an Exif thumbnail, and a TIFF-based raw with a preview and a
// thumbnail, are also decoded and compared with it (ThumbnailCheck.h).
// Each check reads the file through its own bounds and no further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// true: every checksum or coding rule of the type holds (and the picture
// agrees with its thumbnail); false: one is broken. nullopt: the type has
// no such check here, or (a raw) holds nothing to compare.
std::optional<bool> VerifyContent(std::u16string_view typeKey, const uint8_t* data, size_t size);

// The single checks, also for the tests.
bool VerifyJpegEntropy(const uint8_t* data, size_t size);
bool VerifyPngChunks(const uint8_t* data, size_t size);
bool VerifyZipMembers(const uint8_t* data, size_t size);
bool VerifyPdfStreams(const uint8_t* data, size_t size);
