#include "FuzzTargets.h"

#include <cstring>

const FuzzTarget kFuzzTargets[] = {
    {"partition_table", FuzzPartitionTable},
    {"fat_volume", FuzzFatVolume},
    {"ntfs_volume", FuzzNtfsVolume},
    {"ntfs_record", FuzzNtfsRecord},
    {"lznt1", FuzzLznt1},
    {"ntfs_index_node", FuzzNtfsIndexNode},
    {"recycle_bin", FuzzRecycleBin},
    {"fat_cache", FuzzFatCache},
    {"ntfs_cache", FuzzNtfsCache},
    {"surface_scan", FuzzSurfaceScan},
    {"cache_header", FuzzCacheHeader},
    {"exfat_volume", FuzzExfatVolume},
    {"exfat_entry_set", FuzzExfatEntrySet},
    {"embedded_pictures", FuzzEmbeddedPictures},
};
const size_t kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];

const FuzzTarget* FindFuzzTarget(const char* name) {
    for (const FuzzTarget& t : kFuzzTargets)
        if (std::strcmp(t.name, name) == 0) return &t;
    return nullptr;
}
