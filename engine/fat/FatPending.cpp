// TEMPORARY: index, recovery and scan slots of CFatVolume, replaced as the
// directory reader, index and recovery land.
#include "FatVolume.h"

bool CFatVolume::BuildIndex(IndexProgress*) { return false; }
void CFatVolume::ClearIndex() {}
bool CFatVolume::DumpIndexToCache(IndexProgress*) { return false; }
bool CFatVolume::RestoreIndexFromCache(IndexProgress*) { return false; }
void CFatVolume::SearchFiles(SearchCriteria*) {}
bool CFatVolume::GetFullPath(uint32_t, std::u16string&, bool&, uint32_t&) { return false; }
bool CFatVolume::OpenFile(uint32_t, std::unique_ptr<IGenericFile>&) { return false; }
bool CFatVolume::OpenFileByPath(const std::u16string&, std::unique_ptr<IGenericFile>&) { return false; }
bool CFatVolume::EnumDeletedFiles(int32_t, std::unique_ptr<IEnumDeletedFiles>& e) { e.reset(); return true; }
bool CFatVolume::EnumDeletedFilesByPath(const std::u16string&, std::unique_ptr<IEnumDeletedFiles>& e) { e.reset(); return true; }
bool CFatVolume::HasDeletedFilesByPath(const std::u16string&) { return false; }
bool CFatVolume::CountDeletedFiles(int32_t id, uint32_t& folders, uint32_t& files) { return CVolume::CountDeletedFiles(id, folders, files); }
bool CFatVolume::CountDeletedFilesByPath(const std::u16string&, uint32_t&, uint32_t&) { return false; }
bool CFatVolume::GetFileInfo(uint32_t, bool, FileItemInfo&) { return false; }
bool CFatVolume::GetIndexEntry(uint32_t, std::u16string&, uint32_t&) { return false; }
bool CFatVolume::GetParentFolder(uint32_t, int32_t&) { return false; }
bool CFatVolume::CountScanClusters(uint64_t&, ISurfaceScanCallback*, const StopFlag*) { return false; }
bool CFatVolume::ScanClusters(ScanTypeSet*, ISurfaceScanCallback*, const StopFlag*) { return false; }
HRESULT CFatVolume::GetFolderSize(uint32_t, uint64_t&, const StopFlag*, int) { return E_FAIL; }
HRESULT CFatVolume::RecoverFile(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }
HRESULT CFatVolume::RecoverFolder(uint32_t, const std::string&, uint32_t, IRecoverEventCallback*, const StopFlag*) { return E_FAIL; }
std::u16string CFatVolume::GetRecycleBinPath() { return {}; }
