// TEMPORARY: slots of CFatVolume that later work replaces: the index cache
// file.
#include "FatVolume.h"

bool CFatVolume::DumpIndexToCache(IndexProgress*) { return false; }
bool CFatVolume::RestoreIndexFromCache(IndexProgress*) { return false; }

