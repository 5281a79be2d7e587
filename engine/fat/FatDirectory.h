// The FAT cluster reader (CFatFile), the folder reader (CFatDirectory) and
// the decoder that turns 32-byte directory slots into entries with their
// long names.
//
// CFatFile reads the main data of one item: mode 0 follows the FAT chain
// (existing items), mode 1 reads consecutive free clusters from the first
// cluster on (deleted items: a deletion frees the chain, so the file is
// assumed to be contiguous; the read fails at the first cluster in use).
// CFatDirectory reads a folder one cluster at a time (or the whole fixed
// root area of FAT12/16) and yields one entry at a time.
//
// Objects are created by CFatVolume (OpenFile, OpenFileByPath, the index
// walks), belong to their creator, must not outlive the volume and are not
// shared between threads; the FAT reads they make are serialised by the
// volume's FAT lock.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/fat/FatIndex.h"
#include "engine/volume/ByteBuffer.h"
#include "engine/volume/Volume.h"

class CFatVolume;

inline constexpr int32_t kFatModeChain = 0;        // follow the FAT chain
inline constexpr int32_t kFatModeFreeClusters = 1; // consecutive free clusters (deleted items)
inline constexpr uint32_t kFatSizeUnknown = 0xFFFFFFFF;
// A FAT folder holds at most 65536 entries of 32 bytes; no folder is read further.
inline constexpr uint32_t kFatMaxFolderBytes = 65536 * 32;
// Long names have at most 20 pieces of 13 characters.
inline constexpr size_t kFatMaxLongNamePieces = 20;

// Checksum of the 11 bytes of a short name, stored in each of its long-name pieces.
uint8_t FatShortNameChecksum(const uint8_t* name11);
// A FAT date and time (a wall-clock time with no zone) as a FILETIME counted
// as if it were UTC, whatever this machine's time zone; 0 when the date or
// time is not a valid calendar time. fine: creation time fine part in 10 ms units
// (1-199 add up to 1.99 s when the time is not 0), 0 for modification times.
uint64_t FatTimeToFileTime(uint16_t date, uint16_t time, uint8_t fine = 0);

// Turns the 32-byte slots of one folder, in order, into entries. Keeps the
// long-name pieces met since the last short entry.
class CFatEntryDecoder {
public:
    enum class Result { Entry, Skipped };

    explicit CFatEntryDecoder(bool fat32 = false) : m_fat32(fat32) {}
    void SetFat32(bool fat32) { m_fat32 = fat32; }
    // slot: 32 bytes whose first byte is not 0 (the end of the folder is the caller's).
    // Entry: info (name, attributes, first cluster, size, times) and deleted are filled.
    Result Feed(const uint8_t* slot, FatFileInfo& info, bool& deleted);
    void Reset() { m_pieces.clear(); }
    size_t PieceCount() const { return m_pieces.size(); }

private:
    struct Piece {
        uint8_t sequence = 0;  // 0 for a deleted piece
        uint8_t checksum = 0;
        std::u16string text;   // up to the first NUL
    };
    std::u16string LongName(const uint8_t* slot, bool deleted) const;

    bool m_fat32 = false;
    std::vector<Piece> m_pieces;
};

// Calls onEntry(info, slot) for each entry of a folder's bytes, in order,
// up to the end marker; "." and ".." are left out. Every entry counts, marked
// deleted or not (the caller knows whether the folder itself is deleted).
template <class OnEntry>
void ForEachFolderEntry(const uint8_t* data, size_t size, bool fat32, OnEntry&& onEntry) {
    CFatEntryDecoder decoder(fat32);
    FatFileInfo e;
    bool deleted = false;
    for (size_t off = 0; off + 32 <= size && data[off] != 0; off += 32) {
        if (decoder.Feed(data + off, e, deleted) != CFatEntryDecoder::Result::Entry) continue;
        if (e.name == u"." || e.name == u"..") continue;
        onEntry(e, static_cast<uint32_t>(off / 32));
    }
}

// Why an entry read from clusters that no live folder holds any more (a
// deleted folder's, a lost folder's) is no item, or null when it may be one.
// The checks go from the cheap to the costly: a first cluster inside the
// volume, a size not above the volume, attribute bits that exist, valid
// date and time fields, and, when the entry
// was found in clusters no "." and ".." tie to a folder (lost folders), for
// a folder a first cluster that opens with its own "." entry. In a deleted
// folder that check is left out: a real deleted subfolder's first cluster
// may since hold another folder, and its entry is still an item.
const char* ImplausibleEntry(CFatVolume& volume, const FatFileInfo& e, bool inProvenFolder);

// True when a folder's first bytes open with "." naming cluster and ".."
// (whose cluster goes to parent).
bool OpensFolderAt(const uint8_t* data, size_t size, bool fat32, uint32_t cluster, uint32_t& parent);

class CFatFile : public IGenericFile {
public:
    explicit CFatFile(CFatVolume* volume) : m_volume(volume) {}
    // Sets the fields and rewinds. size kFatSizeUnknown: read to the end of the chain.
    void Open(uint32_t firstCluster, uint32_t size, int32_t mode);

    bool Read(void* buffer, uint32_t length, uint32_t& bytesRead) override;
    bool Rewind() override;
    bool IsEof() override;
    bool IsValid() override;
    uint64_t GetSize() override { return m_size; }
    void Dump() override {}

    uint32_t FirstCluster() const { return m_firstCluster; }
    // Bytes read since the last rewind.
    uint32_t Tell() const { return m_position; }
    // After a Read the source refused: steps over the unreadable bytes at
    // the position (to the end of the source's error block, at most to the
    // cluster's end) and returns how many; 0 after any other failure.
    uint32_t SkipUnreadable();
    // True when the last Read ended at a cluster in use (or bad) again: a
    // deleted file's data is overwritten from there.
    bool EndedAtReused() const { return m_endedAtReused; }
    int32_t Mode() const { return m_mode; }
    // Clusters read so far are recorded here; a cluster met a second time
    // ends the read (loops in chains, folders that point back at an ancestor).
    void SetVisitedClusters(std::unordered_set<uint32_t>* visited) { m_visited = visited; }

protected:
    bool SizeKnown() const { return m_size != kFatSizeUnknown; }

    CFatVolume* m_volume;
    uint32_t m_current = 0;
    uint32_t m_next = 0;
    uint32_t m_position = 0;
    uint32_t m_firstCluster = 0;
    uint32_t m_size = 0;
    int32_t m_mode = kFatModeChain;
    uint32_t m_clustersEntered = 0;
    bool m_readError = false;  // the last Read ended at data the source refused
    bool m_endedAtReused = false;
    std::unordered_set<uint32_t>* m_visited = nullptr;
};

class CFatDirectory : public CFatFile {
public:
    explicit CFatDirectory(CFatVolume* volume);

    // Opens a folder: size 0 means unknown; fixedRoot: the FAT12/16 root area.
    void OpenFolder(uint32_t size, uint32_t firstCluster, bool fixedRoot, int32_t mode);
    // The root folder of the volume (fixed area or FAT32 root cluster).
    void OpenRoot();

    bool Rewind() override;
    bool IsEof() override;

    // The next entry of the folder; false at its end, on a read failure, or
    // when a non-root folder does not open with "." and "..".
    bool NextEntry(FatFileInfo& info, bool& deleted);
    bool IsRoot() const { return m_root != 0; }
    // The slot index (32-byte slots from the folder's start) of the short
    // entry NextEntry returned last.
    uint32_t LastSlot() const { return m_slotIndex == 0 ? 0 : m_slotIndex - 1; }

private:
    void MarkEnded();

    int32_t m_fixedRoot = 0;
    int32_t m_root = 0;
    uint32_t m_bufferFill = 0;
    uint32_t m_bufferPosition = 0;
    ByteBuffer m_buffer;
    uint32_t m_slotIndex = 0;  // 32-byte slots consumed since the folder was opened
    bool m_ended = false;
    CFatEntryDecoder m_decoder;
};
