// Disk images built byte by byte for the partition-table tests: MBR and EBR
// sectors, a protective MBR with a GPT header and entry array. Checksums come
// from zlib's crc32, independent of the reader under test. Used to make
// tables no partitioning tool would write (loops, overflows, huge counts).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct GptEntrySpec {
    std::string typeGuid;   // "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"
    uint64_t firstLba = 0;
    uint64_t lastLba = 0;   // inclusive
    std::u16string name;
};

struct GptSpec {
    uint32_t sectorSize = 512;
    uint32_t headerSize = 92;
    uint64_t entryLba = 2;
    uint32_t entryCount = 128;
    uint32_t entrySize = 128;
    std::vector<GptEntrySpec> entries;
};

class DiskBytes {
public:
    explicit DiskBytes(size_t size) : m_bytes(size, 0) {}

    std::vector<uint8_t>& bytes() { return m_bytes; }
    void Put8(size_t off, uint8_t v);
    void Put16(size_t off, uint16_t v);
    void Put32(size_t off, uint32_t v);
    void Put64(size_t off, uint64_t v);

    // One 16-byte entry of the MBR or EBR that lies at `sector` (512-byte units).
    void MbrEntry(uint64_t sector, int slot, uint8_t status, uint8_t type, uint32_t start, uint32_t count);
    // 0x55AA at the end of the 512-byte sector.
    void BootSignature(uint64_t sector);

    // A protective MBR, the GPT header at LBA 1 and the entry array, with
    // correct CRC32s (as far as the array fits in the image). Returns the
    // byte offset of the header.
    size_t WriteGpt(const GptSpec& spec);
    // Recomputes the header CRC of the GPT header at byte offset `header`.
    void FixGptHeaderCrc(size_t header);

    void Save(const std::string& path) const;

private:
    std::vector<uint8_t> m_bytes;
};

// Mixed-endian on-disk bytes of a GUID in text form.
std::vector<uint8_t> GuidBytes(const std::string& text);
