// TEMPORARY: slots of CFatVolume that later work replaces: the index cache
// file and the surface scan.
#include "FatVolume.h"

bool CFatVolume::DumpIndexToCache(IndexProgress*) { return false; }
bool CFatVolume::RestoreIndexFromCache(IndexProgress*) { return false; }
bool CFatVolume::CountScanClusters(uint64_t&, ISurfaceScanCallback*, const StopFlag*) { return false; }
bool CFatVolume::ScanClusters(ScanTypeSet*, ISurfaceScanCallback*, const StopFlag*) { return false; }

