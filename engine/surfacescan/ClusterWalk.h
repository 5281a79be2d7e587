// The surface scan's cluster walk, written once for every file system.
//
// A file system supplies an IClusterCursor that yields its clusters in
// ascending order with their allocation state (FAT: FatClusterCursor.h;
// NTFS: the $Bitmap bits; a raw source: CRawUnitCursor in RawVolume.h). The
// two walks below are what the volumes' CountScanClusters and ScanClusters
// slots call:
//
//   bool CFatVolume::CountScanClusters(uint64_t& count, ISurfaceScanCallback* cb, const StopFlag* stop) {
//       FatClusterCursor cursor(*this);
//       return CountScanClustersWalk(cursor, count, cb, stop);
//   }
//   bool CFatVolume::ScanClusters(ScanTypeSet* scanner, ISurfaceScanCallback* cb, const StopFlag* stop) {
//       FatClusterCursor cursor(*this);
//       return ScanClustersWalk(*this, cursor, scanner, cb, stop);
//   }
//
// A candidate is a free cluster, or every cluster while the process-wide
// scan-all switch is on (--all-clusters). After a hit of n bytes the walk
// skips ceil(n / cluster size) clusters counted from the hit, free or not, so
// a file found at cluster k resumes the scan at k + ceil(n / cluster size);
// the free clusters skipped still count as scanned.
//
// Threads: both walks run on the scan thread; the stop flag is written by
// another thread and polled before every cluster.
#pragma once

#include <cstdint>

#include "engine/surfacescan/ProviderRegistry.h"
#include "engine/surfacescan/ScanCallback.h"
#include "engine/volume/Volume.h"

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

// The scan-all switch: treat every cluster as a candidate. Process-wide, set
// once at start-up by the front end.
void SetScanAllClusters(bool on);
bool ScanAllClusters();

// What one ScanClustersWalk did (tests and benchmarks).
struct ScanWalkStats {
    uint64_t visited = 0;     // clusters the cursor yielded
    uint64_t scanned = 0;     // candidates passed (examined or skipped)
    uint64_t examined = 0;    // candidates handed to the providers
    uint64_t hits = 0;
};

// Counts the candidates. After every cluster calls OnCountProgress(visited,
// total); false as soon as it answers false or the cursor cannot start; true
// (with the count so far) when the stop flag is raised.
bool CountScanClustersWalk(IClusterCursor& cursor, uint64_t& count, ISurfaceScanCallback* callback,
                           const StopFlag* stop);

// The scan: for each cluster, stop check, skip bookkeeping, detection of a
// candidate that is not skipped (OnFileFound on a hit), then
// OnScanProgress(scanned). False when a callback answers false or the cursor
// cannot start; true at the end of the clusters or at a raised stop flag.
bool ScanClustersWalk(CVolume& volume, IClusterCursor& cursor, const ScanTypeSet* scanner,
                      ISurfaceScanCallback* callback, const StopFlag* stop, ScanWalkStats* stats = nullptr);
