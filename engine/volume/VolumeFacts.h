// What a file system tells about itself and its items, asked of the volume
// rather than inferred from its type: its traits, the facts `info` shows and
// where an item's entry and data lie (what `stat` shows). Front ends render
// these records; they never reach for a concrete file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct VolumeTraits {
    const char* name = "";     // "NTFS", "FAT32"; empty for a source without a file system
    bool timesUtc = false;     // times are stored as UTC (else as the wall clock of the zone that wrote them)
    bool namedStreams = false; // files may carry named data streams
    // Names in a recovery that meet a name already there: true gives the
    // item's record number ("a (1234).txt"), else the first free "(2)", "(3)".
    bool conflictById = false;
    // A deleted entry loses its first letter, shown as '?' ("?ILE.TXT"):
    // such names meeting each other become "_ILE.TXT", "_ILE_1.TXT", ...
    bool lostFirstLetter = false;
};

// The volume as `info` shows it: the facts every file system has, then its
// own, as JSON fields in order and as text lines.
struct VolumeFacts {
    std::string fileSystem;
    uint32_t sectorSize = 0;
    uint32_t clusterSize = 0;
    uint64_t clusterCount = 0;
    std::string clustersNote;  // shown after the count ("(2 - 8)"), empty for none
    std::optional<uint64_t> freeClusters;
    std::string label;
    std::string serial;
    uint64_t totalSectors = 0;
    struct Field {
        std::string key;
        std::optional<std::variant<uint64_t, std::string>> value;  // none: null
    };
    std::vector<Field> fields;
    std::vector<std::string> lines;
};

// A run of clusters: vcn counted in the item, lcn on the volume (-1: sparse,
// nothing on disk), and the run's first sector from the volume's start.
struct RunFact {
    uint64_t vcn = 0;
    int64_t lcn = -1;
    uint64_t length = 0;
    uint64_t sector = 0;
};

struct StreamFact {
    std::string name;  // empty for the main data
    bool resident = false;
    uint64_t size = 0;
    uint64_t initialized = 0;
    std::vector<RunFact> runs;
};

// Where one item lies. A record-based file system names the record and the
// streams; an entry-based one the folder slot and the first cluster. runs
// are those a recovery reads (the main data's).
struct ItemPlacement {
    std::optional<uint32_t> record;
    std::optional<uint32_t> parent;
    std::optional<bool> inUse;
    std::optional<std::vector<StreamFact>> streams;

    bool entry = false;                     // the fields below hold an entry's place
    std::optional<uint32_t> folderCluster;  // none: a fixed root folder
    uint32_t slot = 0;
    uint32_t firstCluster = 0;
    std::optional<uint64_t> clustersInUse;  // clusters of the runs allocated again
    bool ownChainAllocated = false;         // a folder deleted while open: its chain is its own

    std::optional<std::vector<RunFact>> runs;
};
