// One file as the master file table describes it.
//
// A CNtfsFile is a FILE record read through the $MFT data stream (or handed
// in as bytes), checked with its update sequence, split into attribute
// objects and completed with the attributes of its extension records when it
// carries an attribute list. Deleted records parse like live ones; only the
// in-use flag tells them apart. Its main data (the first $DATA attribute) is
// readable through IGenericFile.
//
// Parsing and reading are apart: ParseFileRecord turns the bytes of one
// record into its attributes and reads nothing; CNtfsFile reads the base
// record, the value of a non-resident attribute list and the extension
// records the list names, parses each, and joins the attributes split over
// them.
//
// Ownership: the volume owns its metafile objects; every other CNtfsFile
// belongs to whoever opened it and must not outlive its volume. One thread
// at a time; the reads through the shared $MFT stream take the volume's
// record lock.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/ntfs/NtfsAttr.h"
#include "engine/volume/Volume.h"


// FILE record header (offsets from the record's start).
namespace ntfsrec {
inline constexpr size_t kSignature = 0x00;     // "FILE"
inline constexpr size_t kUsaOffset = 0x04;     // u16
inline constexpr size_t kUsaCount = 0x06;      // u16: the sequence number plus one word per 512-byte stride
inline constexpr size_t kSequence = 0x10;      // u16
inline constexpr size_t kLinkCount = 0x12;     // u16
inline constexpr size_t kFirstAttr = 0x14;     // u16
inline constexpr size_t kFlags = 0x16;         // u16: bit 0 in use, bit 1 folder
inline constexpr size_t kBytesInUse = 0x18;    // u32
inline constexpr size_t kBytesAllocated = 0x1C;// u32
inline constexpr size_t kBaseRecord = 0x20;    // u64: non-zero for an extension record
}  // namespace ntfsrec

enum class UsaResult {
    Ok,
    Mismatch,  // a sector's last word differs from the sequence number (torn write)
    Invalid,   // the array does not fit the block, or its count does not match the block size
};

// Checks and undoes the update sequence of a multi-sector block in place
// (FILE records and INDX blocks). The stride is 512 bytes as NTFS lays it
// out; a count that matches the sector size instead is accepted as well.
// Nothing outside [block, block + size) is read or written.
// With where, a Mismatch gives the offset of the first sector end that differs.
UsaResult ApplyUpdateSequence(uint8_t* block, uint32_t size, uint32_t sectorSize, uint32_t* where = nullptr);

// What the bytes of one FILE record hold.
struct RecordParse {
    enum class State {
        Valid,      // the attributes, up to the end marker
        NotRecord,  // no FILE signature: a slot never used, or something else
        Damaged,    // offset and reason say where and why
    };
    State state = State::NotRecord;
    uint32_t offset = 0;      // Damaged: the byte of the record the damage is at
    const char* reason = "";  // Damaged: what is wrong there

    // The attributes the filter keeps, in record order, the attribute list
    // aside. A record damaged in its attribute walk keeps those before the
    // damage (walked is set); one damaged in its header has none.
    std::vector<std::unique_ptr<CNtfsFileAttr>> attributes;
    bool walked = false;
    // The record's first attribute list and where it starts. A non-resident
    // list's entries are not read here (CAttr_$ATTRIBUTE_LIST::ReadEntries).
    std::unique_ptr<CAttr_$ATTRIBUTE_LIST> list;
    uint32_t listOffset = 0;

    // Header fields (Valid or Damaged).
    uint16_t sequence = 0;
    bool inUse = false;
    uint64_t baseReference = 0;  // non-zero for an extension record

    // Whether the attributes can stand for the record (Valid, or damaged past the header).
    bool Usable() const { return state == State::Valid || (state == State::Damaged && walked); }
};

// Parses one FILE record of size bytes (not modified) with its update
// sequence for sectorSize: reads nothing beyond the bytes and never throws
// on what they hold. owner becomes the attributes' owner (null: their
// non-resident values cannot be read).
RecordParse ParseFileRecord(CNtfsFile* owner, const uint8_t* bytes, uint32_t size, uint32_t sectorSize,
                            AttrFilter filter);

class CNtfsFile : public IGenericFile {
public:
    // Upper bound of extension records followed for one file.
    static constexpr size_t kMaxExtensionRecords = 65536;

    CNtfsFile();
    ~CNtfsFile() override;

    // Reads record n through the $MFT data stream and parses it.
    bool OpenRecord(CNtfsVolume* volume, uint32_t n, bool quick);
    // Parses a record already in memory (record size bytes; the buffer is not modified).
    bool InitializeFromBuffer(CNtfsVolume* volume, const uint8_t* buffer, uint32_t n, bool quick);
    // The same keeping the attributes filter names (record 0 aside).
    bool InitializeFromBuffer(CNtfsVolume* volume, const uint8_t* buffer, uint32_t n, AttrFilter filter);

    CNtfsFileAttr* FindAttribute(uint32_t type) const;
    CNtfsFileAttr* FindAttribute(uint32_t type, const std::u16string& name) const;
    CNtfsFileAttr* AttributeAt(size_t index) const;
    size_t AttributeCount() const { return m_attributes.size(); }

    // Name, size, attributes, times (into info) and parent record. Requires a valid file.
    // The name is the first Win32 one, else the last; nameOrdinal >= 0 takes the
    // $FILE_NAME at that place among the record's $FILE_NAMEs instead (false when absent).
    bool GetInfo(FileItemInfo& info, uint32_t& parent, int nameOrdinal = -1) const;
    // The hard links of the file beside the name GetInfo gives, as ordinals
    // among its $FILE_NAMEs: every name that is no DOS alias (namespace 2, the
    // short form of a Win32 name of the same link) and names another (folder,
    // name) pair than the ones before it. At most maxLinks of them; cut is set
    // when the record holds more.
    std::vector<uint16_t> FurtherLinks(size_t maxLinks, bool& cut) const;
    // The name of the last $FILE_NAME attribute.
    std::u16string GetName() const;
    // Real size of the first $DATA attribute; 0 without one or when not valid.
    uint64_t DataSize() const;
    // The part of DataSize the unnamed $DATA's runs can supply (SaneStreamEnd).
    uint64_t SaneDataSize() const;

    bool Read(void* buffer, uint32_t length, uint32_t& bytesRead) override;
    bool Rewind() override;
    bool IsEof() override;
    bool IsValid() override { return m_valid != 0; }
    bool IsParsed() const { return m_valid != 0; }
    uint64_t GetSize() override;
    void Dump() override;

    uint32_t RecordNumber() const { return m_recordNumber; }
    bool IsInUse() const { return m_inUse != 0; }
    bool IsExtension() const { return m_extension != 0; }
    CNtfsVolume* Volume() const { return m_volume; }
    // Records read for this file (the base record and its extension records).
    const std::set<uint32_t>& VisitedRecords() const { return m_visited; }

    // How the last open or initialisation went: Valid, or the record (the base
    // or one of its extension records) that is no record or is damaged, with
    // the byte and the reason. A file damaged past its header stays valid with
    // the attributes before the damage.
    struct Fault {
        RecordParse::State state = RecordParse::State::NotRecord;
        uint32_t record = 0;
        uint32_t offset = 0;
        const char* reason = "";
    };
    const Fault& LastFault() const { return m_fault; }

private:
    using AttrList = std::vector<std::unique_ptr<CNtfsFileAttr>>;

    void Clear();
    // Parses record n (buffer) and reads and parses the extension records its
    // attribute list names through mftStream (for the $MFT's first pass, its
    // own $DATA). The attributes go to out; false when the file is unusable.
    bool ReadRecordSet(const uint8_t* buffer, uint32_t n, AttrFilter filter, AttrList& out,
                       CNtfsFileAttr* mftStream);
    // Notes the outcome of record n's parse: false when it cannot stand for the record.
    bool Accept(const RecordParse& p, uint32_t n);
    void SetFault(RecordParse::State state, uint32_t record, uint32_t offset, const char* reason);
    bool ReadRecordThrough(CNtfsFileAttr* mftStream, uint32_t n, std::vector<uint8_t>& buffer);
    CNtfsFileAttr* FirstData() const;

    uint32_t m_recordNumber = 0;
    int32_t m_valid = 0;
    int32_t m_extension = 0;
    int32_t m_inUse = 0;
    CNtfsVolume* m_volume = nullptr;
    AttrList m_attributes;
    std::set<uint32_t> m_visited;
    uint16_t m_mftDataId = 0;  // record 0: id of the unnamed $DATA found in the bootstrap pass
    Fault m_fault;
};
