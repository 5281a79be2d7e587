// Partition tables of whole disks and whole-disk images: MBR (with extended
// and logical partitions) and GPT. Each partition is exposed as an offset and
// a length on the device; a source inside a partition is a CDeviceStream
// window over it.
//
// The table is hostile input: entries pointing past the end of the device are
// reported (and clipped or dropped), chains of extended boot records are
// bounded and must move forward, GPT entry counts and sizes are checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CDeviceStream;

struct PartitionEntry {
    int number = 0;           // 1-based, in table order (MBR: primaries 1-4, logicals from 5)
    uint64_t offset = 0;      // bytes from the start of the device
    uint64_t length = 0;      // bytes
    uint8_t mbrType = 0;      // MBR type byte (0 for GPT)
    std::string gptType;      // GPT partition type GUID, lower case "xxxxxxxx-xxxx-..." (empty for MBR)
    std::string name;         // GPT partition name (UTF-8), empty for MBR
    std::string typeName;     // readable type: "FAT32 (LBA)", "Microsoft basic data", ...
};

struct PartitionTable {
    std::string scheme;                    // "MBR", "GPT" or "" (no table found)
    uint32_t sectorSize = 512;
    std::vector<PartitionEntry> partitions;
    std::vector<std::string> warnings;     // problems found and worked around
};

// Reads the partition table of the device. Returns false only on an I/O error
// (error filled); a device without a table returns true with an empty scheme.
// A sector 0 that is a FAT or NTFS boot sector is not a partition table.
// A protective MBR whose GPT (primary and backup header) cannot be used gives
// scheme "GPT" with no partitions and the reasons in warnings. Numbers follow
// the table's slots: an empty slot keeps its number unused.
bool ReadPartitionTable(CDeviceStream& device, PartitionTable& table, std::string& error);

// Readable names of partition types, as used for PartitionEntry::typeName:
// "FAT32", "NTFS/exFAT", "Linux", ... or "Type 0xNN" for an MBR type byte;
// "Microsoft basic data", "EFI system", ... or "GUID xxxxxxxx-..." for a GPT
// type GUID in lower-case text form.
std::string MbrTypeName(uint8_t type);
std::string GptTypeName(const std::string& typeGuid);
