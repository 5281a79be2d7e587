// What a FAT volume tells about itself (info) and where an item's entry and
// data lie (stat).
//
// A deleted file is taken as contiguous from its first cluster, as a
// recovery reads it: one run of ceil(size / cluster size) clusters, cut
// where the data area ends; clustersInUse counts those allocated again
// (and the part past the data area, which lies nowhere). A deleted folder
// whose chain is still allocated (deleted while open) has that chain as its
// runs, every cluster in use by the folder itself.
#include <algorithm>
#include <cstdio>

#include "engine/fat/FatVolume.h"

namespace {

std::string SerialText(uint32_t serial) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X-%04X", serial >> 16, serial & 0xFFFF);
    return buf;
}

}  // namespace

bool CFatVolume::DescribeVolume(VolumeFacts& f) {
    const bool fat32 = m_fatType == kPartitionFat32;
    uint32_t freeClusters = 0;
    f.fileSystem = PartitionTypeName(GetPartitionType());
    f.sectorSize = SectorSize();
    f.clusterSize = ClusterSize();
    f.clusterCount = ClusterCount();
    f.clustersNote = "(2 - " + std::to_string(uint64_t(ClusterCount()) + 1) + ")";
    if (CountFreeClusters(freeClusters)) f.freeClusters = freeClusters;
    f.label = VolumeLabel();
    f.serial = SerialText(SerialNumber());
    f.totalSectors = TotalSectors();
    auto number = [](uint64_t v) { return std::optional<std::variant<uint64_t, std::string>>(v); };
    f.fields = {{"fat_copies", number(FatCopies())},
                {"sectors_per_fat", number(SectorsPerFat())},
                {"active_fat", number(ActiveCopy())},
                {"data_start_sector", number(DataFirstSector())},
                {"root_cluster", number(RootFirstCluster())},
                {"reserved_sectors", number(ReservedSectors())},
                {"root_entries", fat32 ? std::nullopt : number(RootSize() / 32)}};
    f.lines.push_back("Reserved sectors: " + std::to_string(ReservedSectors()));
    f.lines.push_back("FAT copies: " + std::to_string(FatCopies()) + ", sectors per FAT: " +
                      std::to_string(SectorsPerFat()) + ", entries per FAT: " + std::to_string(FatEntryCount()));
    f.lines.push_back("Active FAT: " + std::to_string(ActiveCopy()) + " (sectors " +
                      std::to_string(ActiveFatFirstSector()) + " - " +
                      std::to_string(uint64_t(ActiveFatFirstSector()) + SectorsPerFat() - 1) + ")");
    if (fat32)
        f.lines.push_back("Root folder: cluster " + std::to_string(RootFirstCluster()));
    else
        f.lines.push_back("Root folder: sector " + std::to_string(RootFirstSector()) + ", " +
                          std::to_string(RootSize()) + " bytes (" + std::to_string(RootSize() / 32) + " entries)");
    f.lines.push_back("Data starts at sector " + std::to_string(DataFirstSector()));
    return true;
}

bool CFatVolume::DescribeItem(uint32_t id, ItemPlacement& out, std::string& /*why*/) {
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec) return true;
    out.entry = true;
    if (rec->parent) out.folderCluster = FolderClusterOf(rec->parent);
    out.slot = rec->slot;
    out.firstCluster = rec->firstCluster;
    std::vector<RunFact> runs;
    const uint64_t cs = ClusterSize();
    const uint64_t spc = SectorSize() ? cs / SectorSize() : 0;
    auto sectorOf = [&](uint64_t cluster) { return DataFirstSector() + (cluster - 2) * spc; };
    uint64_t inUse = 0;
    if (!rec->IsFolder() && rec->size > 0 && cs > 0 && rec->firstCluster >= 2) {
        const uint64_t last = static_cast<uint64_t>(ClusterCount()) + 1;
        const uint64_t wanted = (rec->size + cs - 1) / cs;
        // Only the clusters the data area holds; the rest of the file lies nowhere.
        const uint64_t first = rec->firstCluster;
        const uint64_t length = first > last ? 0 : std::min<uint64_t>(wanted, last - first + 1);
        if (length > 0) runs.push_back({0, static_cast<int64_t>(first), length, sectorOf(first)});
        for (uint64_t k = 0; k < length; ++k) {
            uint32_t value = 0;
            if (!ReadFatEntry(static_cast<uint32_t>(first + k), value) || IsInUse(value) || IsBad(value)) ++inUse;
        }
        inUse += wanted - length;
    } else if (rec->IsFolder()) {
        const std::vector<uint32_t> chain = AllocatedFolderChain(*rec);
        for (size_t k = 0; k < chain.size();) {
            size_t n = 1;
            while (k + n < chain.size() && chain[k + n] == chain[k] + n) ++n;
            runs.push_back({k, chain[k], n, sectorOf(chain[k])});
            k += n;
        }
        inUse = chain.size();
        out.ownChainAllocated = !chain.empty();
    }
    out.runs = std::move(runs);
    out.clustersInUse = inUse;
    return true;
}
