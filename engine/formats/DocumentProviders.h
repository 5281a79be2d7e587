// The document providers of the surface scan: ZIP archives and Office Open
// XML packages, compound files (Word, Excel and PowerPoint 97-2003), PDF and
// Outlook mail stores. Each is one detect function (the contract of DetectFn
// in ProviderRegistry.h) plus its descriptor; the registry lists them.
//
// ZipProvider.cpp, CompoundDocumentProvider.cpp, PdfProvider.cpp,
// PstProvider.cpp hold one family each; DocumentTitle.cpp the title and
// author shared by the families that read document properties. Every read
// goes through CarveContext::ReadAt; every walk is bounded by the caps below
// or by the size of the table it walks, and every chain keeps a count or a
// visited set.
//
// Threads: called on the scan thread; no state is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/formats/ProviderRegistry.h"

bool ZIPContainerProviderDetect(CarveContext& context);
bool MSCompoundDocumentProviderDetect(CarveContext& context);
bool PDFProviderDetect(CarveContext& context);
bool PSTProviderDetect(CarveContext& context);

extern const ProviderDescriptor kZIPContainerProvider;        // zip, docx, xlsx, pptx, odt, ods, odp, odg
extern const ProviderDescriptor kMSCompoundDocumentProvider;  // doc, xls, ppt
extern const ProviderDescriptor kPDFProvider;                 // pdf
extern const ProviderDescriptor kPSTProvider;                 // pst, ost

// A document's own properties: its title and its creator (author).
struct DocumentProperties {
    std::u16string title;
    std::u16string creator;
};

// The title and author a found document is reported with: each trimmed of
// leading and trailing spaces (U+0020), the title cut to kDocumentTitleMax
// units and the author to kDocumentAuthorMax. A cut never splits a surrogate
// pair (it keeps one unit less).
inline constexpr size_t kDocumentTitleMax = 200;
inline constexpr size_t kDocumentAuthorMax = 50;
DocumentProperties ShownDocumentProperties(const DocumentProperties& properties);

// Parses the core properties part of an Office Open XML package
// (docProps/core.xml): the title and creator children of the root element,
// by local name, with their text. False when the bytes are not XML.
bool ParseCoreProperties(const uint8_t* data, size_t size, DocumentProperties& properties);

// Parses the metadata part of an OpenDocument package (meta.xml): the
// title and the initial creator (else the creator) among the children of
// office:meta, by local name. False when the bytes are not XML.
bool ParseOpenDocumentMeta(const uint8_t* data, size_t size, DocumentProperties& properties);

// Caps of the walks (bytes from the candidate's first byte, or counts).
inline constexpr uint32_t kZipMaxNameLength = 1024;            // also extra field and comment
inline constexpr uint64_t kZipDescriptorSearchCap = 52428800;  // 0x3200000 positions tried
inline constexpr uint32_t kZipMaxCorePropertiesSize = 5119;    // compressed and uncompressed (also meta.xml)
inline constexpr uint32_t kZipMaxMimeTypeSize = 128;           // an OpenDocument "mimetype" member
inline constexpr uint32_t kCompoundMaxSectorSize = 1024;
inline constexpr uint32_t kCompoundMinSectorSize = 128;        // one directory entry
inline constexpr uint32_t kSummaryMaxProperties = 1024;
inline constexpr uint64_t kPdfEndSearchCap = 31457280;         // 0x1E00000
inline constexpr uint64_t kPdfMinEndMarker = 4096;             // an "%%EOF" ending at or before this is ignored
inline constexpr uint32_t kPdfMaxXrefSections = 64;            // sections followed through /Prev
inline constexpr uint32_t kPstPageSize = 512;
inline constexpr uint32_t kPstMaxTreeDepth = 16;
inline constexpr uint32_t kPstMaxBlockSize = 8192;

// The [MS-PST] permutation (NDB_CRYPT_PERMUTE): byte b of a stored block is
// the encoding of PstPermuteDecode(b).
uint8_t PstPermuteEncode(uint8_t plain);
uint8_t PstPermuteDecode(uint8_t stored);
