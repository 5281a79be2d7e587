// The commands of `quarlix`. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "cli/Common.h"

int RunDrives(const GlobalOptions& options);
int RunInfo(const GlobalOptions& options, const std::string& source, int partition);
int RunIndex(const GlobalOptions& options, const std::string& source, int partition, bool rescan);
struct RecoverOptions {
    std::string source;
    int partition = 0;
    std::vector<std::string> items;
    bool all = false;
    std::string to;
    bool noStreams = false;
    bool noAttributes = false;
    std::string onConflict = "rename";
    bool yes = false;  // recover even when the selection is larger than the free space
};
int RunRecover(const GlobalOptions& options, const RecoverOptions& recover);

struct ScanOptions {
    std::string source;
    int partition = 0;
    std::string types;         // comma-separated type keys; empty = the SurfaceScanTypes settings
    bool allClusters = false;  // every cluster a candidate, not only the free ones
    uint32_t unit = 4096;      // unit of a source with no NTFS, FAT or exFAT file system
    std::string to;            // recover every found file into this folder ("" = do not)
};
int RunScan(const GlobalOptions& options, const ScanOptions& scan);
// The type keys --types takes, "jpg, png, ...".
std::string ScanTypeKeys();

int RunCacheClean(const GlobalOptions& options, const std::string& source, int partition);
int RunList(const GlobalOptions& options, const std::string& source, int partition, const std::string& folder,
            bool recursive, bool deletedOnly, const std::string& idArg);
// `quarlix stat SOURCE ITEM`: every field of one deleted item (ITEM: id or path).
int RunStat(const GlobalOptions& options, const std::string& source, int partition, const std::string& item);
int RunCat(const GlobalOptions& options, const std::string& source, int partition, const std::string& item,
           const std::string& stream, bool force);

struct SearchOptions {
    std::string source;
    int partition = 0;
    bool useName = false;
    std::string name;             // a pattern matched as part of the name, or the whole name
    bool wholeName = false;
    std::string size;             // "MIN-MAX" in KiB
    std::string created;          // "FROM..TO", local time
    std::string modified;
};
int RunSearch(const GlobalOptions& options, const SearchOptions& search);

struct ImageOptions {
    std::string source;
    std::string to;           // the image file
    std::string map;          // its map; "" = TO.map
    bool retryBad = false;    // read the blocks the map marks bad once more
};
// `quarlix image SOURCE --to FILE [--map MAPFILE]`: a rescue copy with a map.
int RunImage(const GlobalOptions& options, const ImageOptions& image);
