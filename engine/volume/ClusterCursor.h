// A volume's clusters in ascending order with their allocation state: what
// the surface scan walks. Each file system supplies its own (FAT: the FAT
// entries; NTFS: the $Bitmap bits; a raw source: every unit, all free)
// through CVolume::CreateClusterCursor. The cursor belongs to the caller and
// must not outlive its volume; it is used by one thread at a time.
#pragma once

#include <cstdint>

class IClusterCursor {
public:
    virtual ~IClusterCursor() = default;
    // Starts (again) at the first cluster; false when the walk cannot start
    // (the allocation map cannot be opened).
    virtual bool Rewind() = 0;
    // The next cluster and whether the file system marks it free; false at the
    // end of the walk (also when the allocation map cannot be read further).
    virtual bool Next(uint64_t& cluster, bool& isFree) = 0;
    // Clusters the walk visits (the count progress's total).
    virtual uint64_t Total() const = 0;
};
