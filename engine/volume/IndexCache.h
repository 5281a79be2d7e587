// The index cache file shared by both file systems: its location, its
// 32-byte header and the record framing. The record layouts of each file
// system live with their index.
//
// Location: $XDG_CACHE_HOME/QuarlixRecovery/<source key>/~index_dump_<letter>.tmp,
// where the source key is a hash of the canonical source path, the volume's
// offset on its device and the volume serial number, so that a cache is never
// restored for another source. All numbers little-endian; strings UTF-16LE
// with one NUL unit counted in the record length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CVolume;
struct IndexProgress;

inline constexpr uint32_t kCacheFormatTag = 20001;
inline constexpr uint32_t kCacheHeaderSize = 32;
inline constexpr uint32_t kCacheMaxRecord = 4096;
inline constexpr int64_t kCacheMaxAgeSeconds = 18000;  // 5 hours

struct CacheHeader {
    uint32_t tag = kCacheFormatTag;
    uint8_t incomplete = 1;
    char16_t driveLetter = 0;
    uint8_t fileSystem = 0;  // GetPartitionType code
    int64_t savedAt = 0;     // seconds since 1970 UTC
    uint32_t recordCount = 0;
    // The volume's cache fingerprint when the index was built (Volume.h),
    // in bytes that older writers left zero: its low half at offset 28, its
    // high half at 12. A fingerprint is never 0, so a file of an older writer
    // is stale, never misread.
    uint64_t fingerprint = 0;

    void Encode(uint8_t out[kCacheHeaderSize]) const;
    static CacheHeader Decode(const uint8_t in[kCacheHeaderSize]);
};

// The folder of a source's cache files and the file of a volume.
std::string CacheFolderForSource(const std::string& sourcePath, uint64_t offset, uint64_t serial);
std::string CacheFilePath(const CVolume& volume);

// Buffered record writer: every record is framed with its u16 length and u8 type.
class CCacheWriter {
public:
    ~CCacheWriter();
    // Opens (truncating) for writing; logs "Can't open cache file: %s\n" on failure.
    bool Open(const std::string& path);
    bool WriteHeader(const CacheHeader& header);  // at offset 0
    void BeginRecord(uint8_t type);
    void U8(uint8_t v);
    void U16(uint16_t v);
    void U32(uint32_t v);
    void Name(const std::u16string& name);  // UTF-16LE + NUL, cut so the record stays within 4096 bytes
    bool EndRecord();
    bool Close();

    // A whole save of a volume's index: Begin opens the volume's file (the
    // header carries the volume's fingerprint, read now unless a restore or
    // the indexing job read it before the build), puts
    // the progress in phase 2 with recordCount units and writes the header
    // marked incomplete (false only when the file cannot be opened); Finish
    // marks it complete unless the save was cancelled, closes it and deletes
    // a file that could not be written whole (logged), returning false then.
    // A save that fails is told to the volume (CVolume::NoteCacheProblem).
    bool Begin(CVolume& volume, uint32_t recordCount, IndexProgress* progress);
    bool Finish(bool written, bool cancelled);
    const std::string& Path() const { return m_path; }

private:
    FILE* m_file = nullptr;
    std::vector<uint8_t> m_record;
    std::string m_path;
    CacheHeader m_header;
    bool m_headerWritten = false;
    CVolume* m_volume = nullptr;  // told of a save that failed (CVolume::NoteCacheProblem)
    int m_openError = 0;
};

// Record reader over an open cache file.
class CCacheReader {
public:
    ~CCacheReader();
    // Opens for reading; logs "Can't open cache file: %s\n" on failure.
    bool Open(const std::string& path);
    bool ReadHeader(CacheHeader& header);
    // Reads the next record: false at the end of the file or on a short or
    // over-long record (shortRecord / tooLong tell which).
    bool Next(uint8_t& type, std::vector<uint8_t>& body);
    bool ShortRecord() const { return m_short; }
    bool TooLong() const { return m_tooLong; }
    void Close();

    // Reads the volume's fingerprint afresh, opens the volume's file and
    // accepts its header (AcceptCacheHeader); a file that is refused is closed
    // and deleted. A file that cannot be read, or is damaged, is told to the
    // volume (CVolume::NoteCacheProblem); a stale or old one is not.
    bool Begin(CVolume& volume);
    const CacheHeader& Header() const { return m_header; }
    const std::string& Path() const { return m_path; }
    // Closes and deletes the file (a restore that failed).
    void Discard();
    // The end of a restore that read `counted` records: with the header's
    // count it succeeds, closes the file and reloads the volume's recycle
    // bin (not part of the cache); otherwise it logs the mismatch, empties
    // the volume's index and discards the file.
    bool Finish(CVolume& volume, uint64_t counted);

private:
    // Copies the next n bytes of the file out of the read buffer; false when
    // the file ends first.
    bool Take(uint8_t* out, size_t n);

    FILE* m_file = nullptr;
    std::string m_path;
    CacheHeader m_header;
    std::vector<uint8_t> m_buffer;  // records are small: the file is read in large blocks
    size_t m_at = 0;
    size_t m_end = 0;
    bool m_short = false;
    bool m_tooLong = false;
    int m_openError = 0;
};

// Reads a NUL-terminated UTF-16LE name from a record body (the rest of the record).
std::u16string CacheRecordName(const std::vector<uint8_t>& body, size_t offset);

// Checks the header of a cache being restored: format, completeness, letter
// and type, then age, then the fingerprint against the volume's (read by the
// caller). Logs "Error in cache header.\n", "Too old cache.\n" or a line
// starting "Stale cache: " that says why; on false the caller deletes the
// file and the index is built afresh.
bool AcceptCacheHeader(const CacheHeader& header, bool readWhole, const CVolume& volume);

// Deletes the cache file of one drive letter of a source folder, or (letter 0)
// every "~index_dump_?.tmp" under the cache folder. cacheFolder empty = the
// whole cache root. A folder left empty by the deletion is removed as well
// (the cache root itself stays). removed (if given) counts the files deleted.
bool CleanUpCache(const std::string& cacheFolder, char16_t letter, uint64_t* removed = nullptr);
