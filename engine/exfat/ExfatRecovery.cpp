// What recovery reads of exFAT items, the surface scan's cluster walk, and
// what `info` and `stat` show.
//
// A file's data is its runs (ItemRuns) up to its valid data length; the rest
// up to its size reads as zeros (a hole in the output), as Windows reads it.
// A deleted file's clusters in use again hold another file's bytes now:
// zeros stand for them and the file is incomplete.
#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "app/Log.h"
#include "engine/exfat/ExfatVolume.h"

namespace {

// Sequential reader of one item's data over its runs.
class ExfatFile : public IGenericFile {
public:
    ExfatFile(CExfatVolume& volume, std::vector<ExfatRun> runs, uint64_t size, uint64_t validSize, bool deleted)
        : m_volume(volume), m_runs(std::move(runs)), m_size(size), m_valid(std::min(validSize, size)),
          m_deleted(deleted), m_cs(volume.ClusterSize()) {}

    bool Read(void* buffer, uint32_t length, uint32_t& bytesRead) override {
        bytesRead = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        while (bytesRead < length && !m_ended && m_position < m_size) {
            if (m_position >= m_valid) {
                // Past the valid data length: zeros.
                const uint64_t n = std::min<uint64_t>(length - bytesRead, m_size - m_position);
                std::fill(out + bytesRead, out + bytesRead + n, 0);
                bytesRead += static_cast<uint32_t>(n);
                m_position += n;
                continue;
            }
            uint64_t cluster = 0, inRun = 0;
            if (!Locate(cluster, inRun)) {
                m_ended = true;  // the runs end before the data: the heap ends there
                break;
            }
            const uint32_t offset = static_cast<uint32_t>(m_position % m_cs);
            uint64_t n = std::min<uint64_t>({length - bytesRead, inRun * m_cs - offset, m_valid - m_position});
            if (m_deleted) {
                // A cluster in use again holds another file's bytes: zeros
                // stand for it, and the item is not whole.
                const uint64_t clusters = (offset + n + m_cs - 1) / m_cs;
                uint64_t free = 0;
                while (free < clusters && m_volume.ClusterAllocated(cluster + free) != 1) ++free;
                if (free == 0) {
                    n = std::min<uint64_t>(n, m_cs - offset);
                    std::fill(out + bytesRead, out + bytesRead + n, 0);
                    bytesRead += static_cast<uint32_t>(n);
                    if (!m_reused.empty() && m_reused.back().end == m_position)
                        m_reused.back().end += n;
                    else if (m_reused.size() < kMaxReusedRanges)
                        m_reused.push_back({m_position, m_position + n});
                    else
                        m_reused.back().end = m_position + n;  // the rest counts in the last range
                    m_position += n;
                    continue;
                }
                n = std::min<uint64_t>(n, free * m_cs - offset);
            }
            const int64_t r = m_volume.ReadHeap(cluster, offset, out + bytesRead, n);
            if (r == static_cast<int64_t>(n)) {
                bytesRead += static_cast<uint32_t>(n);
                m_position += n;
                continue;
            }
            // A read error: cluster by cluster, what comes before it is the caller's.
            uint64_t done = 0;
            while (done < n) {
                const uint64_t piece = std::min<uint64_t>(n - done, m_cs - (offset + done) % m_cs);
                const uint64_t c = cluster + (offset + done) / m_cs;
                if (m_volume.ReadHeap(c, static_cast<uint32_t>((offset + done) % m_cs), out + bytesRead + done, piece) !=
                    static_cast<int64_t>(piece))
                    break;
                done += piece;
            }
            bytesRead += static_cast<uint32_t>(done);
            m_position += done;
            return false;
        }
        return true;
    }
    // After a read error: steps over what the source refuses at the position.
    uint64_t SkipUnreadable() {
        uint64_t cluster = 0, inRun = 0;
        if (m_position >= m_valid || !Locate(cluster, inRun)) return 0;
        const uint64_t n = m_volume.UnreadableSpan(cluster, static_cast<uint32_t>(m_position % m_cs), m_valid - m_position);
        m_position += n;
        return n;
    }
    void Skip(uint64_t n) { m_position = std::min(m_size, m_position + n); }
    bool Rewind() override {
        m_position = 0;
        m_ended = false;
        m_reused.clear();
        return true;
    }
    bool IsEof() override { return m_ended || m_position >= m_size; }
    bool IsValid() override { return true; }
    uint64_t GetSize() override { return m_size; }
    void Dump() override {}
    uint64_t Position() const { return m_position; }
    uint64_t ValidSize() const { return m_valid; }
    bool Ended() const { return m_ended; }
    const std::vector<DataRange>& Reused() const { return m_reused; }

private:
    // The cluster of the position and the clusters left in its run from it.
    bool Locate(uint64_t& cluster, uint64_t& left) const {
        uint64_t k = m_position / m_cs;
        for (const ExfatRun& run : m_runs) {
            if (k < run.count) {
                cluster = run.first + k;
                left = run.count - k;
                return true;
            }
            k -= run.count;
        }
        return false;
    }

    CExfatVolume& m_volume;
    std::vector<ExfatRun> m_runs;
    uint64_t m_size, m_valid;
    bool m_deleted;
    uint64_t m_cs;
    uint64_t m_position = 0;
    bool m_ended = false;
    std::vector<DataRange> m_reused;  // where zeros were given for clusters in use again
};

// The reader recovery copies from: data up to the valid length, a hole after it.
class ExfatItemReader : public IItemReader {
public:
    explicit ExfatItemReader(std::unique_ptr<ExfatFile> file) : m_file(std::move(file)) {}
    uint64_t End() const override { return m_file->GetSize(); }
    uint64_t Span(bool& hole) override {
        const uint64_t at = m_file->Position(), size = m_file->GetSize();
        hole = at >= m_file->ValidSize();
        if (m_file->Ended() || at >= size) return 0;
        return hole ? size - at : m_file->ValidSize() - at;
    }
    void SkipHole(uint64_t n) override { m_file->Skip(n); }
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override { return m_file->Read(buffer, length, got); }
    uint64_t SkipUnreadable() override { return m_file->SkipUnreadable(); }
    bool Whole(uint64_t delivered) const override {
        return !m_file->Ended() && m_file->Reused().empty() && delivered == m_file->GetSize();
    }
    std::vector<DataRange> OverwrittenRanges() const override { return m_file->Reused(); }

private:
    std::unique_ptr<ExfatFile> m_file;
};

// Clusters 2 .. the heap's last in ascending order, free when the bitmap says so
// (a bitmap byte that could not be read counts as in use: not scanned).
class ExfatClusterCursor : public IClusterCursor {
public:
    explicit ExfatClusterCursor(CExfatVolume& volume) : m_volume(volume) {}
    bool Rewind() override {
        m_next = 2;
        return true;
    }
    bool Next(uint64_t& cluster, bool& isFree) override {
        if (m_next >= End()) return false;
        cluster = m_next++;
        isFree = m_volume.ClusterAllocated(cluster) == 0;
        return true;
    }
    uint64_t Total() const override { return End() - 2; }

private:
    uint64_t End() const {
        return std::max<uint64_t>(2, std::min<uint64_t>(uint64_t(m_volume.Geometry().clusterCount) + 2,
                                                        m_volume.ClusterEndOnSource()));
    }
    CExfatVolume& m_volume;
    uint64_t m_next = 2;
};

std::string Hex(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*llX", digits, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

bool CExfatVolume::OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    const ExfatItem* item = ItemOfId(id);
    if (!item || item->IsFolder()) return false;
    file = std::make_unique<ExfatFile>(*this, ItemRuns(*item), item->size, item->validSize, true);
    return true;
}

bool CExfatVolume::OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    const size_t cut = path.find_last_of(u"\\/");
    if (cut == std::u16string::npos || cut + 1 >= path.size()) return false;
    const int32_t folder = FindFolderByPath(path.substr(0, cut + 1));
    if (folder < 0) return false;
    const std::u16string leaf = path.substr(cut + 1);
    const std::vector<uint8_t> bytes = ReadFolder(FolderRuns(m_folders[folder].item), false);
    bool found = false;
    ExfatItem item;
    WalkExfatEntries(bytes.data(), bytes.size(), 0, [&](const ExfatEntrySet& set) {
        if (!set.inUse || set.IsFolder() || !SameName(set.name, leaf)) return true;
        item.attributes = set.attributes;
        item.streamFlags = set.streamFlags;
        item.firstCluster = set.firstCluster;
        item.size = set.size;
        item.validSize = std::min(set.validSize, set.size);
        found = true;
        return false;
    });
    if (!found) return false;
    file = std::make_unique<ExfatFile>(*this, ItemRuns(item), item.size, item.validSize, false);
    return true;
}

bool CExfatVolume::GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int) {
    const ExfatItem* item = ItemOfId(folderId);
    if (!item || item->folder < 0) return false;
    std::vector<int32_t> stack {item->folder};
    while (!stack.empty()) {
        if (IsStopped(stop)) return false;
        const ExfatFolder& f = m_folders[stack.back()];
        stack.pop_back();
        for (uint32_t i : f.deletedFiles) total += BoundedFileSize(m_items[i].size);
        for (uint32_t i : f.deletedFolders) stack.push_back(m_items[i].folder);
    }
    return true;
}

void CExfatVolume::OpenFileContent(uint32_t id, bool, FileContent& out, const StopFlag*) {
    const ExfatItem* item = ItemOfId(id);
    if (!item || item->IsFolder()) {
        out.problem = ItemProblem::CannotRead;
        return;
    }
    out.sized = true;
    out.size = item->size;
    out.copyStep = 1u << 20;
    out.data = std::make_unique<ExfatItemReader>(
        std::make_unique<ExfatFile>(*this, ItemRuns(*item), item->size, item->validSize, true));
}

void CExfatVolume::ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) {
    const ExfatItem* item = ItemOfId(id);
    if (!item || item->folder < 0) {
        out.problem = ItemProblem::CannotRead;
        return;
    }
    if (attributes) {
        out.attributesKnown = true;
        out.attributes = item->attributes;
    }
    const ExfatFolder& f = m_folders[item->folder];
    for (uint32_t i : f.deletedFolders) out.children.push_back({IdOf(i), m_items[i].name, true});
    for (uint32_t i : f.deletedFiles) out.children.push_back({IdOf(i), m_items[i].name, false});
}

DataLayout CExfatVolume::DataLayoutOf(uint32_t id) {
    const ExfatItem* item = ItemOfId(id);
    if (!item || item->IsFolder() || item->Contiguous() || m_clusterSize == 0) return DataLayout::Recorded;
    bool chained = false;
    const std::vector<ExfatRun> runs = ItemRuns(*item, &chained);
    if (chained || runs.empty() || (runs.size() == 1 && runs[0].count <= 1)) return DataLayout::Recorded;
    // The guess runs on from the first cluster: another deleted item that
    // starts among those clusters means it took that item's data.
    std::lock_guard<std::mutex> g(m_startsLock);
    if (!m_haveDeletedStarts) {
        for (const ExfatItem& other : m_items)
            if (other.deleted && !other.IsFolder() && other.firstCluster >= 2) m_deletedStarts.insert(other.firstCluster);
        m_haveDeletedStarts = true;
    }
    for (const ExfatRun& run : runs)
        for (uint64_t k = 0; k < run.count; ++k)
            if (run.first + k != item->firstCluster && m_deletedStarts.count(static_cast<uint32_t>(run.first + k)))
                return DataLayout::Contradicted;
    return DataLayout::Assumed;
}

std::unique_ptr<IClusterCursor> CExfatVolume::CreateClusterCursor() {
    return std::make_unique<ExfatClusterCursor>(*this);
}

bool CExfatVolume::DescribeVolume(VolumeFacts& f) {
    const ExfatGeometry& g = m_geometry;
    f.fileSystem = "exFAT";
    f.sectorSize = g.sectorSize;
    f.clusterSize = g.clusterSize;
    f.clusterCount = g.clusterCount;
    f.clustersNote = "(2 - " + std::to_string(uint64_t(g.clusterCount) + 1) + ")";
    if (m_bitmapRead && std::count(m_bitmapUnread.begin(), m_bitmapUnread.end(), 1) == 0) {
        uint64_t used = 0;
        for (uint64_t c = 2; c < uint64_t(g.clusterCount) + 2; ++c) used += ClusterAllocated(c) == 1;
        f.freeClusters = g.clusterCount - used;
    }
    f.label = Label();
    f.serial = Hex(g.serial >> 16, 4) + "-" + Hex(g.serial & 0xFFFF, 4);
    f.totalSectors = g.volumeSectors;
    auto number = [](uint64_t v) { return std::optional<std::variant<uint64_t, std::string>>(v); };
    std::string guid;
    if (m_root.haveGuid)
        for (int i = 0; i < 16; ++i) guid += Hex(m_root.guid[i], 2);
    f.fields = {{"fat_offset", number(g.fatOffset)},
                {"fat_length", number(g.fatLength)},
                {"fat_copies", number(g.fatCount)},
                {"active_fat", number(g.activeFat)},
                {"cluster_heap_offset", number(g.heapOffset)},
                {"root_cluster", number(g.rootCluster)},
                {"revision", std::optional<std::variant<uint64_t, std::string>>(
                                 std::to_string(g.revision >> 8) + "." + std::to_string(g.revision & 0xFF))},
                {"volume_guid", m_root.haveGuid ? std::optional<std::variant<uint64_t, std::string>>(guid) : std::nullopt}};
    f.lines.push_back("FAT: sector " + std::to_string(g.fatOffset) + ", " + std::to_string(g.fatLength) +
                      " sectors, " + std::to_string(g.fatCount) + " cop" + (g.fatCount == 1 ? "y" : "ies"));
    f.lines.push_back("Cluster heap: sector " + std::to_string(g.heapOffset));
    f.lines.push_back("Root folder: cluster " + std::to_string(g.rootCluster));
    if (m_root.haveGuid) f.lines.push_back("Volume GUID: " + guid);
    return true;
}

bool CExfatVolume::DescribeItem(uint32_t id, ItemPlacement& out, std::string&) {
    const ExfatItem* item = ItemOfId(id);
    if (!item) return true;
    out.entry = true;
    out.folderCluster = m_items[item->parent].firstCluster;
    out.slot = item->slot;
    out.firstCluster = item->firstCluster;
    std::vector<RunFact> runs;
    uint64_t vcn = 0, inUse = 0;
    const uint64_t spc = m_sectorSize ? m_clusterSize / m_sectorSize : 0;
    for (const ExfatRun& r : ItemRuns(*item)) {
        runs.push_back({vcn, static_cast<int64_t>(r.first), r.count, m_geometry.heapOffset + (r.first - 2) * spc});
        vcn += r.count;
        for (uint64_t k = 0; k < r.count; ++k) inUse += ClusterAllocated(r.first + k) != 0;
    }
    out.runs = std::move(runs);
    out.clustersInUse = inUse;
    return true;
}
