// What recovery reads of deleted FAT files and folder trees. A deletion
// frees the cluster chain, so a deleted file is read from its first cluster
// on through consecutive clusters that are still free, for as many bytes as
// its entry says; the data ends at the first cluster in use or bad.
#include <algorithm>
#include <mutex>
#include <vector>

#include "app/Log.h"
#include "engine/fat/FatClusterCursor.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"

namespace {
constexpr int kMaxFolderSizeDepth = 20;

// A deleted file's data as the file object reads it; it ends early at a
// cluster in use or bad, goes on past bytes the source refuses (the copy
// writes zeros for them), and is whole when its size was reached.
class FatItemReader : public IItemReader {
public:
    FatItemReader(std::shared_ptr<CFatFile> file, uint64_t size) : m_file(std::move(file)), m_size(size) {}
    uint64_t End() const override { return m_size; }
    uint64_t Span(bool& hole) override {
        hole = false;
        return m_ended || m_position >= m_size ? 0 : m_size - m_position;
    }
    void SkipHole(uint64_t) override {}
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
        got = 0;
        const bool ok = m_file->Read(buffer, length, got);
        m_position += got;
        if (!ok && m_file->EndedAtReused()) {
            // Not a read error: the data ends at a cluster in use (or bad) again.
            m_ended = true;
            return true;
        }
        if (ok && got == 0) m_ended = true;
        return ok;
    }
    uint64_t SkipUnreadable() override {
        const uint32_t n = m_file->SkipUnreadable();
        if (n == 0) m_ended = true;
        m_position += n;
        return n;
    }
    bool Whole(uint64_t delivered) const override { return delivered == m_size; }
    // The data ended early, with no read error: at a cluster in use (or bad) again.
    std::vector<DataRange> OverwrittenRanges() const override {
        if (m_ended && m_position < m_size) return {{m_position, m_size}};
        return {};
    }

private:
    std::shared_ptr<CFatFile> m_file;
    uint64_t m_size;
    uint64_t m_position = 0;
    bool m_ended = false;
};
}  // namespace

bool CFatVolume::GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) {
    if (depth > kMaxFolderSizeDepth) return true;
    const FatDirInfo* folder = FolderOfId(folderId);
    if (!folder) return false;
    for (const auto& sub : folder->deletedFolders) {
        if (IsStopped(stop)) return false;
        if (!GetFolderSize(sub->entry.id, total, stop, depth + 1)) return false;
    }
    for (const auto& file : folder->deletedFiles) {
        if (IsStopped(stop)) return false;
        total += BoundedFileSize(file->size);
    }
    return true;
}

void CFatVolume::OpenFileContent(uint32_t id, bool, FileContent& out, const StopFlag*) {
    const FatFileInfo* record = RecordOfId(id);
    auto file = std::make_shared<CFatFile>(this);
    if (record) file->Open(record->firstCluster, record->size, kFatModeFreeClusters);
    if (!record || !file->IsValid()) {
        out.problem = ItemProblem::CannotRead;
        return;
    }
    out.sized = true;
    out.size = record->size;
    out.copyStep = m_clusterSize ? m_clusterSize : 512;
    out.data = std::make_unique<FatItemReader>(std::move(file), record->size);
}

void CFatVolume::ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) {
    const FatDirInfo* folder = FolderOfId(id);
    if (!folder) {
        out.problem = ItemProblem::CannotRead;
        return;
    }
    if (attributes) {
        out.attributesKnown = true;
        out.attributes = folder->entry.attributes;
    }
    out.children.reserve(folder->deletedFolders.size() + folder->deletedFiles.size());
    for (const auto& sub : folder->deletedFolders) out.children.push_back({sub->entry.id, sub->entry.name, true});
    for (const auto& f : folder->deletedFiles) out.children.push_back({f->id, f->name, false});
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
