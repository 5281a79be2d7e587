// The attributes of an MFT record.
//
// Every attribute of a FILE record becomes one CNtfsFileAttr (or one of the
// subclasses below, chosen by type). The object decodes the attribute
// header, keeps a resident value in memory or the data-run list of a
// non-resident value, and offers one positioned, sequential byte stream over
// the value: clusters come through the volume's cached ReadRaw, sparse runs
// and the region past the initialized size read as zeros, and compressed
// units are decompressed with LZNT1.
//
// Cluster runs are kept as stored: each run's LCN is a signed delta from the
// previous real run (0 marks a sparse run). A table of absolute extents is
// built from them for positioning.
//
// Ownership: attributes belong to their CNtfsFile. An attribute has one read
// position; the volume's shared ones ($MFT's and $Bitmap's $DATA) are only
// positioned and read under the volume's record lock. Otherwise one thread
// at a time.
//
// Hostile input: header fields are checked against the attribute length, a
// run list ends at the first malformed header, and runs whose total length
// would overflow a 64-bit byte position, or whose LCN would go negative, end
// the list as well.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/volume/ByteBuffer.h"

class CNtfsFile;
class CNtfsVolume;

// Attribute types.
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrObjectId = 0x40;
inline constexpr uint32_t kAttrSecurityDescriptor = 0x50;
inline constexpr uint32_t kAttrVolumeName = 0x60;
inline constexpr uint32_t kAttrVolumeInformation = 0x70;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexRoot = 0x90;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kAttrReparsePoint = 0xC0;
inline constexpr uint32_t kAttrEfs = 0x100;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// Display name of an attribute type ("$DATA", ..., "UNKNOWN_TYPE").
const char* NtfsAttrTypeName(uint32_t type);
// " Read-only Hidden ..." (long) or " R-O Hid ..." (short) for the set attribute bits.
std::string NtfsFileAttributeNames(uint32_t attributes, bool longForm);

// One stored run: LCN delta from the previous real run and its length in
// clusters. A run stored without offset bytes is sparse (its offset is 0);
// a real run may also have a delta of 0 (the first run of $Boot lies at LCN 0).
struct DataRun {
    int64_t offset = 0;
    uint64_t length = 0;
    bool sparse = false;
};

// Decodes one run from its header byte h and the bytes after it (L length
// bytes, then O offset bytes). The offset is sign-extended. The caller has
// checked that 1 + L + O bytes are present and that both nibbles are below 9.
DataRun DecodeDataRun(uint8_t h, const uint8_t* bytes);

// Which attributes a record walk keeps.
enum class AttrFilter {
    All,           // every attribute
    Quick,         // $STANDARD_INFORMATION, $ATTRIBUTE_LIST, $FILE_NAME
    Facts,         // Quick and the $DATA streams: what a listing shows of a file
    MftBootstrap,  // record 0, first pass: the unnamed $DATA and the attribute list
    MftNormal,     // record 0, second pass: everything but the unnamed $DATA
};

class CNtfsFileAttr {
public:
    // One extent of the stream in absolute terms (built from the runs).
    struct Extent {
        uint64_t vcn = 0;
        uint64_t length = 0;
        int64_t lcn = -1;  // -1: sparse
    };

    CNtfsFileAttr();
    virtual ~CNtfsFileAttr();
    CNtfsFileAttr(const CNtfsFileAttr&) = delete;
    CNtfsFileAttr& operator=(const CNtfsFileAttr&) = delete;

    // Decodes the attribute at attr (length bytes, the header's total length).
    // owner may be null (then non-resident values cannot be read).
    virtual bool Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length);
    virtual void Dump();

    bool SetPosition(uint64_t pos);
    uint64_t Position() const { return m_position; }
    // Reads up to length bytes at the position and advances it. At or past the
    // real size: true with 0 bytes. A device read error: false, bytesRead
    // tells what was delivered before it.
    bool Read(void* buffer, uint32_t length, uint32_t& bytesRead);
    // Reads the whole value (at most maxBytes) into out; false when it cannot be read completely.
    bool ReadAll(std::vector<uint8_t>& out, uint64_t maxBytes);

    // Appends the runs of continuation (whose first real run is absolute) to first.
    static bool ConcatenateRuns(CNtfsFileAttr& first, CNtfsFileAttr& continuation);
    // The index-th run and its absolute LCN (sum of the real offsets up to it).
    bool RunAt(uint32_t index, DataRun& run, int64_t& lcn) const;
    // Share (0-100) of the attribute's allocated clusters that the volume bitmap marks in use.
    uint32_t InUsePercentage();

    bool IsValid() const { return m_valid != 0; }
    uint32_t Type() const { return m_type; }
    uint16_t Id() const { return m_id; }
    const std::u16string& Name() const { return m_name; }
    bool IsResident() const { return m_nonResident == 0; }
    uint64_t RealSize() const { return m_realSize; }
    uint64_t InitializedSize() const { return m_initializedSize; }
    uint16_t CompressionUnit() const { return m_compressionUnit; }
    uint64_t StartingVcn() const { return m_startingVcn; }
    const std::vector<DataRun>& Runs() const { return m_runs; }
    const std::vector<Extent>& Extents() const { return m_extents; }
    // The resident value (empty for non-resident attributes).
    const uint8_t* Value() const { return m_value.Data(); }
    uint32_t ValueSize() const { return m_value.Size(); }
    CNtfsFile* Owner() const { return m_owner; }
    // True when the attribute is an unnamed $DATA.
    bool IsUnnamedData() const { return m_type == kAttrData && m_name.empty(); }

protected:
    CNtfsVolume* Volume() const;
    uint32_t ClusterSize() const;

    ByteBuffer m_value;
    int32_t m_valid = 0;
    CNtfsFile* m_owner = nullptr;
    uint16_t m_id = 0;
    std::u16string m_name;
    uint32_t m_type = 0;
    uint32_t m_nonResident = 0;
    uint64_t m_realSize = 0;
    uint64_t m_initializedSize = 0;
    uint16_t m_compressionUnit = 0;
    uint64_t m_startingVcn = 0;

private:
    void BuildExtents();
    bool FindExtent(uint64_t vcn, size_t& index);
    bool ReadNonResident(uint8_t* out, uint32_t length, uint32_t& bytesRead);
    bool ReadCompressedUnit(uint64_t unit);

    // Decompressed unit cache (compressed attributes only).
    ByteBuffer m_unitBuffer;
    uint64_t m_cachedUnit = UINT64_MAX;
    ByteBuffer m_packedBuffer;

    uint32_t m_residentCursor = 0;  // offset into the value
    uint64_t m_position = 0;
    std::vector<DataRun> m_runs;
    std::vector<Extent> m_extents;
    size_t m_extentCursor = 0;  // extent holding the position (hint)
};

class CAttr_$STANDARD_INFORMATION : public CNtfsFileAttr {
public:
    bool Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) override;
    void Dump() override;
    uint32_t FileAttributes() const { return m_fileAttributes; }
    uint64_t CreationTime() const { return m_creationTime; }
    uint64_t ModificationTime() const { return m_modificationTime; }
    uint64_t LastAccessTime() const { return m_lastAccessTime; }

private:
    uint32_t m_fileAttributes = 0;
    uint64_t m_creationTime = 0;
    uint64_t m_lastAccessTime = 0;
    uint64_t m_modificationTime = 0;
};

class CAttr_$FILE_NAME : public CNtfsFileAttr {
public:
    static constexpr uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;

    bool Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) override;
    void Dump() override;
    const std::u16string& FileName() const { return m_fileName; }
    uint32_t Flags() const { return m_flags; }
    uint64_t Size() const { return m_size; }
    uint8_t Namespace() const { return m_namespace; }
    uint64_t CreationTime() const { return m_creationTime; }
    uint64_t ModificationTime() const { return m_modificationTime; }
    uint32_t ParentRecord() const { return m_parent; }

private:
    std::u16string m_fileName;
    uint32_t m_flags = 0;
    uint64_t m_size = 0;
    uint8_t m_namespace = 0;
    uint64_t m_creationTime = 0;
    uint64_t m_modificationTime = 0;
    uint32_t m_parent = 0;
};

struct AttrListEntry {
    uint32_t type = 0;
    uint32_t id = 0;
    int64_t startingVcn = 0;
    uint32_t record = 0;
    std::u16string name;
};

class CAttr_$ATTRIBUTE_LIST : public CNtfsFileAttr {
public:
    static constexpr uint64_t kMaxListBytes = 4u << 20;  // far above any real list

    // A resident list's entries are parsed here; a non-resident one's wait
    // for ReadEntries (the initialisation reads nothing from the volume).
    bool Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) override;
    void Dump() override;
    std::vector<AttrListEntry>& Entries() { return m_entries; }
    // Reads a non-resident list's value (at most kMaxListBytes) through its
    // owner's volume and parses its entries; true at once for a resident list.
    bool ReadEntries();
    // Parses the entries of a list value (exposed for tests).
    static std::vector<AttrListEntry> ParseEntries(const uint8_t* data, size_t size);

private:
    std::vector<AttrListEntry> m_entries;
};

class CAttr_$VOLUME_NAME : public CNtfsFileAttr {
public:
    std::u16string VolumeName() const;
};

class CAttr_$DATA : public CNtfsFileAttr {};

class CAttr_$INDEX_ROOT : public CNtfsFileAttr {
public:
    bool Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) override;
    bool IsLarge() const { return m_large; }

private:
    bool m_large = false;
};

class CAttr_$BITMAP : public CNtfsFileAttr {};

class CAttr_$EFS : public CNtfsFileAttr {
public:
    void Dump() override;
};

// Builds the attribute at pos of a record of recordSize bytes. advance is the
// length to move on by (0 ends the walk: end marker, zero or too short a
// length, or an attribute that would end beyond the record). Returns null for
// the end, for a filtered-out attribute and for one that failed to
// initialise.
std::unique_ptr<CNtfsFileAttr> CreateNtfsAttribute(CNtfsFile* owner, const uint8_t* record, uint32_t recordSize,
                                                   uint32_t pos, AttrFilter filter, uint32_t& advance);
