// What the commands print, as records: each command builds one record type
// per kind of output and hands it to a writer (RecordWriter.h), which renders
// it as text for people or as one JSON line for scripts. The commands decide
// what to say; the writers alone decide how it looks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/recovery/RecoverEvents.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/volume/Volume.h"
#include "engine/volume/VolumeFacts.h"
#include "platform/ByteSource.h"

// One item of a folder listing (`list`, `search`).
struct ItemRecord {
    std::optional<uint64_t> id;  // deleted items only
    std::string name;
    std::string path;
    bool folder = false;
    bool deleted = false;
    bool lost = false;
    bool virtualFolder = false;  // $LostFolders, $RecycleBin: no size, times or id
    uint64_t size = 0;
    uint32_t attributes = 0;
    uint64_t created = 0;   // FILETIME, 0 unknown
    uint64_t modified = 0;
    int16_t createdOffset = kNoTimeOffset;   // minutes from UTC the volume recorded with the time
    int16_t modifiedOffset = kNoTimeOffset;
    std::optional<int32_t> overwritten;  // the data status of a deleted file (none: a folder, or not known)
    bool overwrittenUnknown = false;     // a deleted file whose data status cannot be told
    bool indexSlack = false;             // a name found only in its folder index's free space
    // The file's bytes the source cannot give (a read error, a rescue map's
    // bad areas), as offsets in the file; asked only where the source has such ranges.
    std::vector<RecoverItemRecord::Range> unreadable;
};

// The partitions of a disk (`info`).
struct PartitionTableRecord {
    struct Partition {
        int number = 0;
        uint64_t offset = 0;
        uint64_t length = 0;
        std::string type;
        std::string name;  // GPT partition name, may be empty
    };
    std::string scheme;  // "MBR", "GPT"
    std::vector<Partition> partitions;
    std::vector<std::string> warnings;
};

// One volume (`info`).
struct VolumeRecord {
    std::string source;
    int partition = 0;  // 0: the source is the volume
    uint64_t offset = 0;
    std::string container;
    std::vector<std::string> containerFiles;
    std::string warning;   // the source is shorter than the volume
    std::string bootNote;  // the boot sector came from its backup
    struct OtherFileSystem {
        std::string kind;
        uint64_t offset = 0;
        std::string note;
    };
    std::optional<OtherFileSystem> other;
    VolumeFacts facts;
};

// What an index holds (`index`).
struct IndexRecord {
    std::string source;
    uint32_t deletedFiles = 0;
    uint32_t deletedFolders = 0;
    uint32_t lostFolders = 0;
    uint32_t recycled = 0;
    bool fromCache = false;
    double seconds = 0;
    bool complete = true;
    std::vector<ReadLoss> unreadable;  // what could not be read from the source
};

// Every field of one deleted item (`stat`).
struct StatRecord {
    ItemRecord item;  // as list shows it (a folder's size is its tree's); index slack: no runs, no streams
    bool lostFolder = false;
    std::optional<uint32_t> record;  // a lost folder: the record it stands for
    std::optional<uint32_t> items;   // a lost folder: the deleted items under it
    std::string nameState;           // NameStateWord
    std::string recordState;         // RecordStateWord
    bool orphan = false;             // its folder is gone
    ItemPlacement placement;
};

// One recovered item (`recover`).
struct RecoveredRecord {
    uint64_t id = 0;
    std::optional<std::string> path;  // on the volume; none for an item the plan does not name
    std::optional<std::string> output;  // none: nothing was to be written (only its name is left)
    bool folder = false;
    std::string status;  // "ok", "incomplete", "unverified", "skipped", "failed"
    uint64_t bytes = 0;
    RecoverResult result = RecoverResult::Ok;
    std::string reason;        // why it is not ok
    std::string note;          // what an ok item's layout rests on
    std::string originalName;  // the name on the volume when the destination could not take it
    std::vector<RecoverItemRecord::Range> unreadable;  // data the source could not give, written as zeros
};

// The end of a recovery (`recover`).
struct RecoverSummaryRecord {
    int32_t files = 0, filesStarted = 0, folders = 0, foldersStarted = 0;
    int32_t failed = 0, incomplete = 0, unverified = 0, skipped = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    std::string destination;
    uint64_t sourceOpens = 0;
    uint64_t sourceBytesRead = 0;
    uint64_t sourceUnreadableBytes = 0;
    int32_t notAttempted = 0;  // items not begun: the source stopped answering
    std::string stopReason;    // why the recovery ended early ("" : it did not)
    int32_t namesOnly = 0;     // items of which only the name is left (skipped, no failure)
    int32_t asked = 0;         // items selected (a folder with its tree counts once)
};

// One file the surface scan found (`scan`), and with --to its recovery.
struct FoundRecord {
    bool known = true;  // false: a recovery of a cluster no find was reported for
    std::string type;   // the type key, also the name's extension
    std::string name;
    uint64_t cluster = 0;
    uint64_t size = 0;
    std::string title;
    std::string author;
    // A find put back together from pieces: each piece's first cluster,
    // its clusters and its bytes, in file order (empty: one run).
    struct Fragment {
        uint64_t cluster = 0;
        uint64_t clusters = 0;
        uint64_t bytes = 0;
    };
    std::vector<Fragment> fragments;
    std::string fragmentsNote;  // "reassembled (2 fragments: clusters ...)"
    struct Recovery {
        std::optional<std::string> output;  // none: not recovered (stopped first)
        std::string status;
        std::string reason;
        std::vector<RecoverItemRecord::Range> unreadable;  // data the source could not give, written as zeros
    };
    std::optional<Recovery> recovery;
};

// The end of a surface scan (`scan`).
struct ScanSummaryRecord {
    size_t found = 0;
    uint64_t candidates = 0;
    uint64_t scanned = 0;
    uint32_t unit = 0;
    bool raw = false;
    bool allClusters = false;
    bool stopped = false;
    double seconds = 0;
    // What the source refused while the scan ran (its free space there
    // could not be looked at): bytes, in ranges.
    uint64_t unreadableBytes = 0;
    size_t unreadableRanges = 0;
    bool recovering = false;  // the fields below count the recovery of --to
    int32_t recovered = 0, started = 0, failed = 0, incomplete = 0, skipped = 0;
    uint64_t bytes = 0;
    std::string destination;
};

// The block devices of this machine (`drives`).
struct DriveListRecord {
    struct Drive {
        std::string device;
        std::string kind;
        std::string filesystem;  // empty: none recognised
        std::string label;
        uint64_t size = 0;
        uint64_t free = 0;  // 0: unknown
        bool supported = false;
        bool readable = true;
        std::string error;
    };
    std::vector<Drive> drives;
};

// The end of `image`.
struct ImageSummaryRecord {
    std::string source;
    std::string image;
    std::string map;
    uint64_t size = 0;
    uint64_t rescued = 0;         // bytes the image holds from the source (this run and earlier ones)
    uint64_t bad = 0;             // bytes that could not be read
    uint64_t badAreas = 0;
    uint64_t remaining = 0;       // bytes still to try (a stopped run)
    uint64_t rescuedThisRun = 0;
    bool resumed = false;         // the run went on from an existing map
    bool stopped = false;
    double seconds = 0;
    std::vector<ByteRange> badRanges;
};

// `cache clean`.
struct CacheCleanRecord {
    bool cleaned = false;
    std::string source;  // empty: every source
    uint64_t removed = 0;  // cache files deleted
};
