// The surface scan's cluster walk, written once for every file system.
//
// A volume supplies its clusters through CVolume::CreateClusterCursor (FAT:
// FatClusterCursor.h; NTFS: the $Bitmap bits; a raw source: CRawUnitCursor
// in RawVolume.h); CountScanClusters and ScanClusters walk that cursor, and
// the *Walk forms walk a cursor the caller supplies.
//
// A candidate is a free cluster, or every cluster when the scan's type set
// asks for all clusters (allClusters, --all-clusters). After a hit of n bytes
// the walk skips ceil(n / cluster size) clusters counted from the hit, free
// or not, so a file found at cluster k resumes the scan at
// k + ceil(n / cluster size); the free clusters skipped still count as
// scanned.
//
// A JPEG whose entropy-coded data breaks is held back and skipped only up
// to the end of its first piece; after the walk its continuation is looked
// for among the free clusters no find claims (JpegGapCarve.h), and it is
// delivered then, by OnFragmentedFileFound when it was put back together.
//
// Threads: both walks run on the scan thread; the stop flag is written by
// another thread and polled before every cluster.
#pragma once

#include <cstdint>

#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/ScanCallback.h"
#include "engine/volume/ClusterCursor.h"
#include "engine/volume/Volume.h"

// What one scan walk did (tests and benchmarks).
struct ScanWalkStats {
    uint64_t visited = 0;     // clusters the cursor yielded
    uint64_t scanned = 0;     // candidates passed (examined or skipped)
    uint64_t examined = 0;    // candidates handed to the providers
    uint64_t hits = 0;
    uint64_t reassembled = 0;  // JPEGs put back together from two pieces (JpegGapCarve.h)
    uint64_t gapProbes = 0;    // continuations the second pass decoded
};

// Counts the candidates. After every cluster calls OnCountProgress(visited,
// total); false as soon as it answers Stop, the volume has no cursor or the
// cursor cannot start; true (with the count so far) when the stop flag is
// raised.
bool CountScanClusters(CVolume& volume, const ScanTypeSet& scanner, uint64_t& count, ISurfaceScanCallback* callback,
                       const StopFlag* stop);
bool CountScanClustersWalk(IClusterCursor& cursor, const ScanTypeSet& scanner, uint64_t& count,
                           ISurfaceScanCallback* callback, const StopFlag* stop);

// The scan: for each cluster, stop check, skip bookkeeping, detection of a
// candidate that is not skipped (OnFileFound on a hit), then
// OnScanProgress(scanned). False when a callback answers Stop, the volume
// has no cursor or the cursor cannot start; true at the end of the clusters
// or at a raised stop flag.
bool ScanClusters(CVolume& volume, const ScanTypeSet& scanner, ISurfaceScanCallback* callback, const StopFlag* stop,
                  ScanWalkStats* stats = nullptr);
bool ScanClustersWalk(CVolume& volume, IClusterCursor& cursor, const ScanTypeSet& scanner,
                      ISurfaceScanCallback* callback, const StopFlag* stop, ScanWalkStats* stats = nullptr);
