// TEMPORARY: index, enumeration, recovery and search slots of CNtfsVolume,
// replaced as the index and recovery land. ScanClusters walks the cluster
// bitmap but asks no detectors until the provider registry exists.
#include "NtfsVolume.h"

#include "engine/surfacescan/ScanCallback.h"

bool CNtfsVolume::BuildIndex(IndexProgress*) { return false; }
void CNtfsVolume::ClearIndex() {}
bool CNtfsVolume::DumpIndexToCache(IndexProgress*) { return false; }
bool CNtfsVolume::RestoreIndexFromCache(IndexProgress*) { return false; }
void CNtfsVolume::SearchFiles(SearchCriteria*) {}
bool CNtfsVolume::GetFullPath(uint32_t, std::u16string&, bool&, uint32_t&) { return false; }
bool CNtfsVolume::OpenFile(uint32_t, std::unique_ptr<IGenericFile>&) { return false; }
bool CNtfsVolume::OpenFileByPath(const std::u16string&, std::unique_ptr<IGenericFile>&) { return false; }
bool CNtfsVolume::EnumDeletedFiles(int32_t, std::unique_ptr<IEnumDeletedFiles>& e) { e.reset(); return true; }
bool CNtfsVolume::EnumDeletedFilesByPath(const std::u16string&, std::unique_ptr<IEnumDeletedFiles>& e) { e.reset(); return true; }
bool CNtfsVolume::HasLostFolders() { return false; }
bool CNtfsVolume::HasDeletedFilesByPath(const std::u16string&) { return false; }
bool CNtfsVolume::CountDeletedFiles(int32_t id, uint32_t& folders, uint32_t& files) { return CVolume::CountDeletedFiles(id, folders, files); }
bool CNtfsVolume::CountDeletedFilesByPath(const std::u16string&, uint32_t&, uint32_t&) { return false; }
bool CNtfsVolume::GetFileInfo(uint32_t, bool, FileItemInfo&) { return false; }
bool CNtfsVolume::GetIndexEntry(uint32_t, std::u16string&, uint32_t&) { return false; }
bool CNtfsVolume::IsLostFolder(uint32_t) { return false; }
bool CNtfsVolume::GetParentFolder(uint32_t, int32_t&) { return false; }
HRESULT CNtfsVolume::GetFolderSize(uint32_t, uint64_t&, const StopFlag*, int) { return E_FAIL; }
HRESULT CNtfsVolume::RecoverFile(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }
HRESULT CNtfsVolume::RecoverFolder(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }
std::u16string CNtfsVolume::GetRecycleBinPath() { return {}; }

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
