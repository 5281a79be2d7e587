// Helpers of the container providers: reads that take what the source
// still holds, whether a type is enabled, and checksums over a candidate's
// bytes, read through CarveContext::ReadAt in buffer-sized pieces: the CRC-32 of ZIP, 7-Zip and RAR (reflected
// 0xEDB88320, zlib's crc32), the CRC-32 of Ogg pages (0x04C11DB7 unreflected,
// initial value 0), and the CRC-8 (0x07) and CRC-16 (0x8005) of FLAC frames.
// Used by ZipProvider.cpp, RiffProviders.cpp, MediaContainerProviders.cpp
// and ArchiveProviders.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/formats/CarveContext.h"

// Reads up to want bytes at position, halving the request down to atLeast
// when the source ends sooner; the count read is the context's length.
bool ReadSome(CarveContext& c, uint64_t position, uint32_t want, uint32_t atLeast);
// True when the scan's type set enables key (false without a type set).
bool TypeEnabled(const CarveContext& c, std::u16string_view key);

// zlib's crc32 continued over n bytes.
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t n);
uint32_t OggCrcUpdate(uint32_t crc, const uint8_t* data, size_t n);
uint8_t FlacCrc8(const uint8_t* data, size_t n);
uint16_t FlacCrc16Update(uint16_t crc, const uint8_t* data, size_t n);

// The CRC-32 (zlib) of length bytes from position; false when a read fails or
// the scan stops.
bool Crc32Of(CarveContext& c, uint64_t position, uint64_t length, uint32_t& crc);
