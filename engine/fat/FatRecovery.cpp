// Recovery of deleted FAT files and folder trees. A deletion frees the
// cluster chain, so a deleted file is read from its first cluster on through
// consecutive clusters that are still free, for as many bytes as its entry
// says; the copy ends at the first cluster in use or bad.
#include <algorithm>
#include <mutex>
#include <vector>

#include "app/Log.h"
#include "engine/fat/FatClusterCursor.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"
#include "engine/volume/ItemCopy.h"
#include "engine/volume/OutputFile.h"
#include "engine/volume/OutputNames.h"

namespace {
constexpr int kMaxFolderSizeDepth = 20;

void RecordError(HRESULT hr, HRESULT& error) {
    if (FAILED(hr) && (hr == RECOVER_SKIP_ALL || hr == E_ABORT || error == S_OK)) error = hr;
}

// A deleted file's data as the file object reads it; it ends early at a
// cluster in use or bad, and is whole when its size was reached.
class FatItemReader : public IItemReader {
public:
    FatItemReader(CFatFile& file, uint64_t size) : m_file(file), m_size(size) {}
    uint64_t End() const override { return m_size; }
    uint64_t Span(bool& hole) override {
        hole = false;
        return m_ended || m_position >= m_size ? 0 : m_size - m_position;
    }
    void SkipHole(uint64_t) override {}
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
        got = 0;
        const bool ok = m_file.Read(buffer, length, got);
        if (!ok || got == 0) m_ended = true;
        m_position += got;
        return ok;
    }
    bool Whole(uint64_t delivered) const override { return delivered == m_size; }

private:
    CFatFile& m_file;
    uint64_t m_size;
    uint64_t m_position = 0;
    bool m_ended = false;
};
}  // namespace

HRESULT CFatVolume::GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) {
    if (depth > kMaxFolderSizeDepth) return S_OK;
    const FatDirInfo* folder = FolderOfId(folderId);
    if (!folder) return E_FAIL;
    HRESULT last = S_OK;
    for (const auto& sub : folder->deletedFolders) {
        if (IsStopped(stop)) return E_FAIL;
        last = GetFolderSize(sub->entry.id, total, stop, depth + 1);
        if (FAILED(last)) return last;
    }
    for (const auto& file : folder->deletedFiles) {
        if (IsStopped(stop)) return E_FAIL;
        total += BoundedFileSize(file->size);
    }
    return last;
}

HRESULT CFatVolume::RecoverFile(uint32_t id, const std::string& destination, uint32_t options,
                                IRecoverEventCallback* callback, const StopFlag* stop) {
    return RecoverFileInMode(id, destination, options, callback, stop, kFatModeFreeClusters);
}

HRESULT CFatVolume::RecoverFileInMode(uint32_t id, const std::string& destination, uint32_t,
                                      IRecoverEventCallback* callback, const StopFlag* stop, int32_t mode) {
    CScopeTrace trace(1, "CFatVolume::RecoverFile");
    const FatFileInfo* record = RecordOfId(id);
    CFatFile file(this);
    if (record) file.Open(record->firstCluster, record->size, mode);
    if (!record || !file.IsValid()) {
        if (callback) return callback->OnEvent(RECOVER_EVENT_CANNOT_READ);
        if (!record) return E_FAIL;
    }
    const uint64_t size = record->size;
    if (callback) {
        HRESULT hr = callback->OnItemSize(id, false, false, size);
        if (FAILED(hr)) return hr;
    }
    std::string path = destination;
    COutputFile out;
    HRESULT hr = CreateOutputFile(callback, path, out);
    if (FAILED(hr)) return hr;
    FatItemReader reader(file, size);
    return CopyItem(reader, out, path, callback, stop, m_clusterSize ? m_clusterSize : 512);
}

HRESULT CFatVolume::RecoverFolder(uint32_t id, const std::string& destination, uint32_t options,
                                  IRecoverEventCallback* callback, const StopFlag* stop) {
    CScopeTrace trace(1, "CFatVolume::RecoverFolder");
    if (IsStopped(stop)) return E_ABORT;
    const FatDirInfo* folder = FolderOfId(id);
    if (!folder) return callback ? callback->OnEvent(RECOVER_EVENT_CANNOT_READ) : E_FAIL;
    std::string path = destination;
    HRESULT hr = CreateOutputFolder(callback, path);
    if (FAILED(hr)) return hr;
    // The callback chose to leave an existing folder as it was: nothing goes into it.
    if (hr == S_FALSE) return S_FALSE;
    if ((options & RECOVER_ATTRIBUTES) && !ApplyFolderAttributes(callback, path, folder->entry.attributes))
        LogWriteLevel(1, "Couldn't set file attributes for file #%u\n", id);

    HRESULT error = S_OK;
    for (const auto& sub : folder->deletedFolders) {
        hr = RecoverFolderItem(sub->entry.id, JoinPath(path, PathSafeName(sub->entry.name)), options, callback, stop);
        RecordError(hr, error);
        if (hr == E_ABORT) break;
    }
    if (error != E_ABORT) {
        for (const auto& f : folder->deletedFiles) {
            hr = RecoverFileItem(f->id, JoinPath(path, PathSafeName(f->name)), options, callback, stop);
            RecordError(hr, error);
            if (hr == E_ABORT) break;
        }
    }
    return error;
}

DataLayout CFatVolume::DataLayoutOf(uint32_t id) {
    const FatFileInfo* record = RecordOfId(id);
    if (!record || record->IsFolder() || m_clusterSize == 0) return DataLayout::Recorded;
    const uint64_t clusters = (uint64_t(record->size) + m_clusterSize - 1) / m_clusterSize;
    if (clusters <= 1) return DataLayout::Recorded;
    std::lock_guard<std::mutex> g(m_startsLock);
    if (!m_haveDeletedStarts) {
        for (const auto& [itemId, slot] : m_ids)
            if (slot.record && slot.record->firstCluster >= 2) m_deletedStarts.insert(slot.record->firstCluster);
        m_haveDeletedStarts = true;
    }
    // The clusters the copy takes after the first: another deleted item
    // starting among them means the guess took some of that item's data.
    const uint64_t last = std::min<uint64_t>(uint64_t(record->firstCluster) + clusters, uint64_t(m_clusterCount) + 2);
    for (uint64_t c = uint64_t(record->firstCluster) + 1; c < last; ++c)
        if (m_deletedStarts.count(static_cast<uint32_t>(c))) return DataLayout::Contradicted;
    return DataLayout::Assumed;
}

std::u16string CFatVolume::GetRecycleBinPath() { return FindRecycleBinFolder(); }

// The surface scan walks clusters 2, 3, ... of the FAT; a cluster is free when its entry is 0.
std::unique_ptr<IClusterCursor> CFatVolume::CreateClusterCursor() { return std::make_unique<FatClusterCursor>(*this); }
