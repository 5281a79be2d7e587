// The preview's core, the same for every front end: which items can be
// previewed, the previous/next walk over a list of them, reading an item's
// content (an index item through the volume's file objects, a carved item in
// one cluster read), streaming text with its progress, and RTF reduced to
// its plain text. Nothing here draws or decodes images: the window hands in
// its decoder. Reading never writes to the volume.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/volume/Volume.h"

namespace preview {

// Size limits in bytes.
inline constexpr uint64_t kTextLimit = 512000;       // largest file shown as text (navigation: must be smaller)
inline constexpr uint64_t kImageLimit = 0xA00000;    // largest index item decoded as an image (navigation: smaller)
inline constexpr uint64_t kCarvedLimit = 0x1400000;  // largest carved item read for a preview
inline constexpr uint64_t kPaneTextLimit = 102400;   // the pane stops once more than kPaneTextLimit - 1 bytes came
// Bytes asked of the file per Read while streaming text.
inline constexpr uint32_t kStreamChunk = 4096;

// Extensions with their dot, upper case, in the order the preview knows them.
inline constexpr std::array<std::string_view, 18> kImageExtensions = {
    ".BMP", ".GIF", ".JPG", ".PNG", ".ICO", ".TIF", ".TGA", ".PCX", ".WBMP",
    ".WMF", ".JP2", ".J2K", ".JBG", ".JPC", ".PGX", ".PNM", ".RAS", ".CUR"};
inline constexpr std::array<std::string_view, 7> kTextExtensions = {".TXT", ".LOG", ".INI", ".BAT",
                                                                    ".RTF", ".XML", ".CSS"};

// The text from the name's last "." on, upper case (ASCII); "" without a dot.
std::string ExtensionOf(std::u16string_view name);
bool HasImageExtension(std::u16string_view name);
bool HasTextExtension(std::u16string_view name);
// A name ending in ".RTF" is shown as rich text.
bool IsRtfName(std::u16string_view name);

// One row of a list the quick view browses: an index item (id, or path when
// the id is 0) or a carved item (first cluster and length; no attributes).
struct PreviewItem {
    std::u16string name;
    uint64_t size = 0;
    uint32_t attributes = 0;
    bool carved = false;
    bool existing = false;      // a live file: shown, not recovered
    uint32_t id = 0;
    std::u16string path;        // engine path of an index item without id
    uint64_t firstCluster = 0;  // carved items
    ClusterExtents fragments;   // a carved item in pieces, in file order (empty: one run from firstCluster)
};

// Not a folder, not encrypted, and a text name smaller than kTextLimit or an
// image name smaller than kImageLimit.
bool IsPreviewable(const PreviewItem& item);

inline constexpr size_t kNoPosition = static_cast<size_t>(-1);
// The previewable positions before and after current, each walk wrapping at
// the list's ends and ending when it comes back to current (kNoPosition).
struct Neighbours {
    size_t previous = kNoPosition;
    size_t next = kNoPosition;
};
Neighbours FindNeighbours(const std::vector<PreviewItem>& items, size_t current);

// Opens an index item's main data: OpenFile when id is not 0, else OpenFileByPath.
bool OpenIndexItem(CVolume& volume, uint32_t id, const std::u16string& path, std::unique_ptr<IGenericFile>& file);

// Reads a whole file of at most limit bytes and rewinds it; false when it
// is larger, the buffer cannot be had, or a read fails or comes short.
bool ReadWhole(IGenericFile& file, uint64_t limit, std::vector<uint8_t>& out);
// Reads a carved item's extent in one ReadRaw from its first cluster;
// false when size is 0 or above kCarvedLimit, or the read fails.
bool ReadCarved(CVolume& volume, uint64_t firstCluster, uint64_t size, std::vector<uint8_t>& out);
// The same for an item: its pieces one after the other when it has them.
bool ReadCarved(CVolume& volume, const PreviewItem& item, std::vector<uint8_t>& out);

// Streams a file through Read in kStreamChunk pieces into sink, from the
// start, until more than stopAfter - 1 bytes were delivered (the chunk that
// passes it is delivered whole), a Read fails or returns 0 bytes, or sink
// answers other than Continue. percent is told the share of the size read so far.
struct StreamResult {
    uint64_t delivered = 0;
    bool readFailed = false;
    bool cut = false;  // stopped by stopAfter
};
using ChunkSink = std::function<WalkResult(const uint8_t* data, size_t size)>;
using PercentSink = std::function<void(int percent)>;
StreamResult StreamText(IGenericFile& file, uint64_t stopAfter, const ChunkSink& sink,
                        const PercentSink& percent = nullptr);

// The plain text of an RTF document: control words and destinations
// (font and colour tables, pictures, "\*" groups) removed, \par and \line as
// "\n", \tab as "\t", \'hh (Windows-1252) and \uN as UTF-8.
std::string RtfToPlainText(std::string_view rtf);

// True when bytes read as text: no NUL, and valid UTF-8 (a sequence cut at
// the end is allowed) with few control characters besides tab, CR, LF, FF.
bool LooksLikeText(const uint8_t* data, size_t size);
// True when the bytes are no text a person can read: a NUL byte (UTF-16
// with its byte-order mark aside), more than 1 % control characters other
// than tab, line ends, form feed and escape, or more than 10 % of the bytes
// in sequences that are no UTF-8 (a Windows-1252 text has a few, a program
// or a compressed file about half).
bool LooksBinary(std::string_view bytes);

// What the quick view shows for one item.
enum class ShownAs { Nothing, Image, PlainText, RichText };
struct QuickViewContent {
    ShownAs shown = ShownAs::Nothing;
    std::vector<uint8_t> image;  // the bytes the decoder accepted
    std::string text;            // plain text (RTF already reduced)
    bool readFailed = false;     // the text stream ended at a failed Read
};
// A front end's image decoder: true when the bytes decode.
using ImageDecoder = std::function<bool(const uint8_t* data, size_t size)>;
// The quick view's choice: a carved item up to kCarvedLimit as an image; an
// index item as an image (up to kImageLimit, unless asText), else as text
// when it is at most kTextLimit and has a text name (any name with asText).
QuickViewContent PrepareQuickView(CVolume& volume, const PreviewItem& item, bool asText, const ImageDecoder& decode,
                                  const PercentSink& percent = nullptr);
// The embedded pane's choice for an opened file: an image name up to
// kImageLimit that decodes, else the first chunks of text up to kPaneTextLimit.
QuickViewContent PreparePane(IGenericFile& file, const std::u16string& name, const ImageDecoder& decode);

}  // namespace preview

namespace preview {

// Random access to one item's bytes for a byte-by-byte view: a deleted
// file's main data read as recovery reads it (overwritten parts as zeros,
// what the source refuses as zeros), an existing file through the volume's
// file objects, a carved item straight from its clusters. The readers behind
// it only go forward: a read before the position opens the item again.
// Reading never writes to the volume. One thread at a time; borrows volume.
class CItemBytes {
public:
    // False (with why) when the item has nothing to read.
    bool Open(CVolume& volume, const PreviewItem& item, std::string& why);
    uint64_t Size() const { return m_size; }
    // Up to n bytes from at on (fewer at the end of what can be had).
    void Read(uint64_t at, uint32_t n, std::vector<uint8_t>& out);
    // The parts known so far: taken by other files since, refused by the source.
    std::vector<DataRange> Overwritten() const;
    const std::vector<DataRange>& Unreadable() const { return m_unreadable; }

private:
    bool Reopen(std::string& why);
    void MarkUnreadable(uint64_t begin, uint64_t end);
    // The next bytes from the position on into buffer; 0 at the end.
    uint32_t Pull(uint8_t* buffer, uint32_t length);

    CVolume* m_volume = nullptr;
    PreviewItem m_item;
    uint64_t m_size = 0;
    uint64_t m_position = 0;
    bool m_ended = false;
    uint64_t m_pendingZeros = 0;           // a hole or a refused part not yet handed out
    FileContent m_content;                  // a deleted file
    std::unique_ptr<IGenericFile> m_file;   // an existing file
    std::vector<DataRange> m_unreadable;
    std::vector<DataRange> m_overwritten;   // kept from earlier passes
};

}  // namespace preview
