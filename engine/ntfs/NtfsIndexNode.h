// The entries of one node of an NTFS $I30 folder index: the node that the
// value of $INDEX_ROOT holds, or one INDX block of $INDEX_ALLOCATION (already
// checked and fixed up). Both carry an index header followed by entries:
//
//   index header (offsets from the header's start)
//     0x00 u32  offset of the first entry
//     0x04 u32  length of the entries (the end of the last one)
//   index entry
//     0x00 u64  file reference; the low 32 bits are the record number
//     0x08 u16  entry length
//     0x0A u16  key length
//     0x0C u16  flags: 1 a sub-node VCN ends the entry, 2 last entry
//     0x10      key: a $FILE_NAME value (name length u8 at 0x40, name at 0x42)
//     len-8 u64 the sub-node VCN, when flag 1 is set
//
// The reader is the one place that walks these entries. It checks every
// length against the node and stops at the first entry that does not fit,
// at the last entry or at the end of the entries; what an entry without a
// usable key means (skip it, give up) is the caller's choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/LeBytes.h"

// Where the index header starts in each kind of node.
inline constexpr size_t kIndexRootHeader = 0x10;   // in the $INDEX_ROOT value
inline constexpr size_t kIndexBlockHeader = 0x18;  // in an INDX block

// One entry, its fields read and checked against the node.
struct NtfsIndexNodeEntry {
    static constexpr uint32_t kSubNode = 1;
    static constexpr uint32_t kLast = 2;
    // $FILE_NAME key fields (offsets from the key).
    static constexpr size_t kKeyCreation = 0x08;      // FILETIME
    static constexpr size_t kKeyModification = 0x10;  // FILETIME
    static constexpr size_t kKeyRealSize = 0x30;      // u64
    static constexpr size_t kKeyFlags = 0x38;         // u32
    static constexpr size_t kKeyNameLength = 0x40;    // u8
    static constexpr size_t kKeyNamespace = 0x41;     // u8
    static constexpr size_t kKeyName = 0x42;

    uint32_t record = 0;
    uint32_t flags = 0;
    uint32_t keyLength = 0;
    size_t key = 0;           // offset of the key in the node
    bool hasName = false;     // the key is a whole $FILE_NAME whose name lies inside it
    uint32_t nameLength = 0;  // UTF-16 code units; set when hasName
    bool hasSubNode = false;  // flag 1 and room for the VCN
    uint64_t subNodeVcn = 0;  // set when hasSubNode

    bool IsLast() const { return (flags & kLast) != 0; }
};

class CNtfsIndexNodeReader {
public:
    // header: kIndexRootHeader or kIndexBlockHeader. The entry range is cut to the node.
    CNtfsIndexNodeReader(const LeBytes& node, size_t header);

    // False when the node is too short to hold its index header (then no entry is read).
    bool HeaderOk() const { return m_headerOk; }
    // The next entry; false once the walk has ended.
    bool Next(NtfsIndexNodeEntry& entry);
    // The name of an entry with hasName.
    std::u16string Name(const NtfsIndexNodeEntry& entry) const;

private:
    const LeBytes& m_node;
    size_t m_pos = 0;
    size_t m_end = 0;
    bool m_headerOk = false;
    bool m_done = false;
};
