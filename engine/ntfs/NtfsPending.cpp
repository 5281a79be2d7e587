// TEMPORARY: recovery slots of CNtfsVolume, replaced as recovery lands.
// ScanClusters walks the cluster bitmap but asks no detectors until the
// provider registry exists.
#include "NtfsVolume.h"

#include "engine/surfacescan/ScanCallback.h"

HRESULT CNtfsVolume::GetFolderSize(uint32_t, uint64_t&, const StopFlag*, int) { return E_FAIL; }
HRESULT CNtfsVolume::RecoverFile(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }
HRESULT CNtfsVolume::RecoverFolder(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }

bool CNtfsVolume::ScanClusters(ScanTypeSet*, ISurfaceScanCallback* callback, const StopFlag* stop) {
    CNtfsClusterBitmapWalker walker(*this);
    if (!walker.IsOpen()) return false;
    uint64_t scanned = 0;
    uint64_t cluster;
    bool isFree;
    while (walker.Next(cluster, isFree)) {
        if (IsStopped(stop)) return true;
        if (isFree || m_scanAll) ++scanned;
        if (callback && !callback->OnScanProgress(scanned)) return false;
    }
    return true;
}
