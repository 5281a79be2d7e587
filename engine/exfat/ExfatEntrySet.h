// exFAT folder entries: a folder is a row of 32-byte entries; a file or a
// folder is one entry set, a file entry (0x85) followed by its secondary
// entries: the stream extension (0xC0: where the data lies and how long it
// is) and the file name entries (0xC1: 15 UTF-16 units each). Bit 0x80 of an
// entry type is its in-use bit: a deletion clears it in every entry of the
// set and leaves the rest as it was. The set checksum (in the file entry)
// covers every byte of the set but the checksum itself, as the set was while
// in use, so a deleted set is checked with the in-use bits set again.
//
// The parser reads a folder's bytes as hostile input: every count and length
// is checked against the entries present, a set whose checksum fails is not
// trusted, and the walk ends at the end-of-folder entry (type 0) or at the
// end of the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The stream flags of a set (the stream extension's byte 1).
inline constexpr uint8_t kExfatAllocationPossible = 0x01;
inline constexpr uint8_t kExfatNoFatChain = 0x02;

// An exFAT timestamp: the DOS-style date and time words in one u32, the
// 10 ms part (0-199) and the UTC offset byte (bit 7: valid; bits 0-6: signed
// count of 15 minutes).
struct ExfatTime {
    uint32_t stamp = 0;
    uint8_t tenMs = 0;
    uint8_t utcOffset = 0;
};

// One entry set as a walk finds it.
struct ExfatEntrySet {
    uint32_t slot = 0;          // index of its file entry among the folder's entries
    uint32_t entries = 0;       // entries it spans (1 + secondary count)
    bool inUse = false;         // the file entry's in-use bit
    uint16_t attributes = 0;    // Windows attribute bits; 0x10 = folder
    ExfatTime created, modified, accessed;
    uint8_t streamFlags = 0;
    uint32_t firstCluster = 0;
    uint64_t validSize = 0;     // ValidDataLength: bytes written; the rest reads as zeros
    uint64_t size = 0;          // DataLength
    std::u16string name;

    bool IsFolder() const { return (attributes & 0x10) != 0; }
    bool Contiguous() const { return (streamFlags & kExfatNoFatChain) != 0; }
};

// The entries of the volume's own structures that the root folder holds.
struct ExfatRootFacts {
    bool haveBitmap = false;
    uint32_t bitmapCluster = 0;
    uint64_t bitmapSize = 0;
    bool haveUpcase = false;
    uint32_t upcaseCluster = 0;
    uint64_t upcaseSize = 0;
    uint32_t upcaseChecksum = 0;
    std::u16string label;
    bool haveGuid = false;
    uint8_t guid[16] = {};
};

// What a walk over a folder's bytes reports.
struct ExfatWalkCounts {
    uint32_t badChecksum = 0;   // sets skipped: the checksum failed
    uint32_t malformed = 0;     // file entries whose secondaries do not make a set
    bool ended = false;         // an end-of-folder entry was met
};

// One byte of a 32-bit exFAT checksum (the boot region's, the up-case table's).
inline uint32_t ExfatChecksumStep(uint32_t sum, uint8_t byte) { return ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte; }

// The set checksum over n entries (32 * n bytes) with every entry's in-use
// bit taken as set.
uint16_t ExfatSetChecksum(const uint8_t* entries, uint32_t n);

// Walks the entries of one folder's bytes (a whole number of entries; a
// tail shorter than an entry is ignored). Every set whose checksum holds is
// handed to onSet, in use or not; returning false ends the walk. Sets are
// read from their file entry's slot on: a set that fails leaves its slots
// to be read again, so that a set written over part of a deleted one is
// found. root (when given) receives the bitmap, up-case, label and GUID
// entries. firstSlot counts the entries before data in the folder.
ExfatWalkCounts WalkExfatEntries(const uint8_t* data, size_t size, uint32_t firstSlot,
                                 const std::function<bool(const ExfatEntrySet&)>& onSet,
                                 ExfatRootFacts* root = nullptr);

// A folder whose clusters do not lie side by side: a set that opens in
// the last entries of tail (the bytes of one stretch of its clusters) and
// goes on in head (the first entries of the stretch it went on in).
// ExfatJoinCutSet tells how many of its entries lie in tail (back) and in
// head (need) when the set so joined is whole and its checksum holds;
// need is 0 when tail cuts no set short or head does not finish it. Only
// sets of at most kExfatMostJoinedEntries entries are joined, so the last
// kExfatJoinWindow bytes of tail and the first of head are all it reads.
inline constexpr uint32_t kExfatMostJoinedEntries = 19;  // a file entry, its stream and 17 name entries
inline constexpr size_t kExfatJoinWindow = size_t(kExfatMostJoinedEntries) * 32;
struct ExfatJoin {
    uint32_t back = 0;
    uint32_t need = 0;
};
ExfatJoin ExfatJoinCutSet(const uint8_t* tail, size_t tailSize, const uint8_t* head, size_t headSize);
// Whether the bytes end within a set, as far as its file entry tells.
bool ExfatEndsInSet(const uint8_t* data, size_t size);
// Whether an entry may open the part of a set that went on in another
// cluster: an unused-or-used stream extension or file name entry whose
// flag and reserved bytes are as the format has them.
bool ExfatMayContinueSet(const uint8_t* entry);

// FILETIME (100 ns since 1601) of an exFAT timestamp as its wall clock reads
// (the UTC offset is not applied; see ExfatUtcOffsetMinutes); 0 when the
// stamp is no valid date and time.
uint64_t ExfatTimeToFileTime(const ExfatTime& t);
// The offset from UTC an exFAT timestamp was written with, in minutes, when
// its offset byte says it is valid.
bool ExfatUtcOffsetMinutes(const ExfatTime& t, int& minutes);
