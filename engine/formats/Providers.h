// The format providers of the surface scan. Each is one detect function
// (the contract of DetectFn in ProviderRegistry.h) plus its descriptor.
//
// Images (ImageProviders.cpp, TiffProvider.cpp): JPEG, PNG, BMP, GIF, PSD,
// TIFF/DNG. Audio and video (MediaProviders.cpp): MPEG audio, QuickTime.
// Each provider's header comment in its source names the caps that bound its
// walks; every read goes through CarveContext::ReadAt.
#pragma once

#include "engine/formats/ProviderRegistry.h"

bool JPEGProviderDetect(CarveContext& context);
bool PNGProviderDetect(CarveContext& context);
bool BMPProviderDetect(CarveContext& context);
bool GIFProviderDetect(CarveContext& context);
bool PSDProviderDetect(CarveContext& context);
bool TIFFProviderDetect(CarveContext& context);
bool MPEGProviderDetect(CarveContext& context);
bool QTFFProviderDetect(CarveContext& context);

extern const ProviderDescriptor kJPEGProvider;
extern const ProviderDescriptor kPNGProvider;
extern const ProviderDescriptor kBMPProvider;
extern const ProviderDescriptor kGIFProvider;
extern const ProviderDescriptor kPSDProvider;
extern const ProviderDescriptor kTIFFProvider;
extern const ProviderDescriptor kMPEGProvider;
extern const ProviderDescriptor kQTFFProvider;

// Caps of the providers' walks (bytes from the candidate's first byte).
inline constexpr uint64_t kJpegEndSearchCap = 15728640;  // 0xF00000
inline constexpr uint64_t kPngWalkCap = 26214400;        // 0x1900000
inline constexpr uint64_t kGifWalkCap = 20971520;        // 0x1400000
inline constexpr uint64_t kBmpMaxFileSize = 104857600;   // 0x6400000
inline constexpr uint64_t kTiffPositionCap = 62914560;   // 0x3C00000
inline constexpr uint32_t kTiffMaxEntries = 426;         // 426 entries fill the 5,120-byte buffer
inline constexpr uint64_t kMpegHeaderlessMinimum = 51200;  // frames alone must pass this many bytes

// Camera raw files (RawProviders.cpp): the TIFF family (CR2, NEF, ARW, ORF,
// RW2, PEF, SRW) through the IFD walk of TiffWalk.h, and Fuji RAF.
bool CameraRawProviderDetect(CarveContext& context);
bool RAFProviderDetect(CarveContext& context);
extern const ProviderDescriptor kCameraRawProvider;
extern const ProviderDescriptor kRAFProvider;
inline constexpr uint64_t kCameraRawPositionCap = 268435456;  // 0x10000000
// ISO base media files (IsoMediaProvider.cpp): MP4, M4A, M4V, 3GP, HEIC, HEIF,
// AVIF, CR3. IsoFtypTypeKey gives the type of the ftyp box of size bytes at
// ftyp ("mov" for QuickTime, empty when no known brand), for both this
// provider and the QuickTime one.
bool IsoMediaProviderDetect(CarveContext& context);
extern const ProviderDescriptor kIsoMediaProvider;
std::u16string_view IsoFtypTypeKey(const uint8_t* ftyp, uint32_t size);
inline constexpr uint32_t kIsoMaxTopBoxes = 16384;
inline constexpr uint32_t kIsoMaxChildren = 1024;
// RIFF (RiffProviders.cpp): WebP, WAVE, AVI.
bool WebPProviderDetect(CarveContext& context);
bool WAVProviderDetect(CarveContext& context);
bool AVIProviderDetect(CarveContext& context);
extern const ProviderDescriptor kWebPProvider;
extern const ProviderDescriptor kWAVProvider;
extern const ProviderDescriptor kAVIProvider;
inline constexpr uint32_t kRiffMaxChunks = 65536;      // chunks walked in one form
inline constexpr uint32_t kAviMaxContinuations = 4096;  // RIFF AVIX forms after the first

// Archives and databases (ArchiveProviders.cpp): SQLite, 7-Zip, RAR.
bool SQLiteProviderDetect(CarveContext& context);
bool SevenZipProviderDetect(CarveContext& context);
bool RARProviderDetect(CarveContext& context);
extern const ProviderDescriptor kSQLiteProvider;
extern const ProviderDescriptor kSevenZipProvider;
extern const ProviderDescriptor kRARProvider;
inline constexpr uint64_t kSevenZipMaxHeader = 67108864;  // 64 MiB of next header checked by its CRC
inline constexpr uint32_t kRarMaxBlocks = 1048576;
inline constexpr uint64_t kRar5MaxHeaderSize = 2097152;  // the format's own limit for one header

// Media containers (MediaContainerProviders.cpp): FLAC, Ogg, Matroska/WebM.
bool FLACProviderDetect(CarveContext& context);
bool OggProviderDetect(CarveContext& context);
bool MatroskaProviderDetect(CarveContext& context);
extern const ProviderDescriptor kFLACProvider;
extern const ProviderDescriptor kOggProvider;
extern const ProviderDescriptor kMatroskaProvider;  // mkv, webm
inline constexpr uint32_t kFlacMaxMetadataBlocks = 1024;
// Bytes searched for a FLAC frame's end when STREAMINFO leaves the maximum frame size unknown.
inline constexpr uint64_t kFlacMaxFrameSearch = 16777216;
inline constexpr uint64_t kEbmlMaxHeader = 4096;
inline constexpr uint32_t kMatroskaMaxElements = 1048576;  // top-level elements of a Segment of unknown size
