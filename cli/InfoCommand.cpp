#include <cstdio>
#include <iostream>

#include "cli/Commands.h"
#include "cli/Session.h"
#include "cli/Source.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

std::string SerialText(uint32_t serial) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X-%04X", serial >> 16, serial & 0xFFFF);
    return buf;
}

void PrintTable(const GlobalOptions& options, const OpenedSource& src) {
    if (src.table.scheme.empty()) return;
    if (options.json) {
        for (const auto& p : src.table.partitions)
            EmitJson({{"partition", p.number}, {"offset", p.offset}, {"length", p.length}, {"type", p.typeName}});
        return;
    }
    std::cout << "Partition table: " << src.table.scheme << "\n";
    for (const auto& p : src.table.partitions) {
        std::cout << "  " << p.number << ": offset " << p.offset << ", length " << p.length << " ("
                  << HumanSize(p.length) << "), " << p.typeName;
        if (!p.name.empty()) std::cout << ", \"" << p.name << "\"";
        std::cout << "\n";
    }
    for (const auto& w : src.table.warnings) std::cout << "  warning: " << w << "\n";
}

nlohmann::json FatFacts(CFatVolume& fat, nlohmann::json& common) {
    uint32_t freeClusters = 0;
    bool haveFree = fat.CountFreeClusters(freeClusters);
    common["filesystem"] = PartitionTypeName(fat.GetPartitionType());
    common["sector_size"] = fat.SectorSize();
    common["cluster_size"] = fat.ClusterSize();
    common["cluster_count"] = fat.ClusterCount();
    common["free_clusters"] = haveFree ? nlohmann::json(freeClusters) : nlohmann::json(nullptr);
    common["label"] = fat.VolumeLabel();
    common["serial"] = SerialText(fat.SerialNumber());
    common["fat_copies"] = fat.FatCopies();
    common["sectors_per_fat"] = fat.SectorsPerFat();
    common["active_fat"] = fat.ActiveCopy();
    common["data_start_sector"] = fat.DataFirstSector();
    common["root_cluster"] = fat.RootFirstCluster();
    common["reserved_sectors"] = fat.ReservedSectors();
    common["total_sectors"] = fat.TotalSectors();
    common["root_entries"] = fat.GetPartitionType() == kPartitionFat32 ? nlohmann::json(nullptr)
                                                                       : nlohmann::json(fat.RootSize() / 32);
    return common;
}

void PrintFatText(CFatVolume& fat, const nlohmann::json& j) {
    std::cout << "File system: " << j["filesystem"].get<std::string>() << "\n";
    std::cout << "Sector size: " << fat.SectorSize() << "\n";
    std::cout << "Cluster size: " << fat.ClusterSize() << "\n";
    std::cout << "Clusters: " << fat.ClusterCount() << " (2 - " << fat.ClusterCount() + 1 << ")\n";
    if (!j["free_clusters"].is_null())
        std::cout << "Free clusters: " << j["free_clusters"].get<uint32_t>() << "\n";
    std::cout << "Label: " << fat.VolumeLabel() << "\n";
    std::cout << "Serial number: " << SerialText(fat.SerialNumber()) << "\n";
    std::cout << "Total sectors: " << fat.TotalSectors() << "\n";
    std::cout << "Reserved sectors: " << fat.ReservedSectors() << "\n";
    std::cout << "FAT copies: " << fat.FatCopies() << ", sectors per FAT: " << fat.SectorsPerFat()
              << ", entries per FAT: " << fat.FatEntryCount() << "\n";
    std::cout << "Active FAT: " << fat.ActiveCopy() << " (sectors " << fat.ActiveFatFirstSector() << " - "
              << fat.ActiveFatFirstSector() + fat.SectorsPerFat() - 1 << ")\n";
    if (fat.GetPartitionType() == kPartitionFat32)
        std::cout << "Root folder: cluster " << fat.RootFirstCluster() << "\n";
    else
        std::cout << "Root folder: sector " << fat.RootFirstSector() << ", " << fat.RootSize() << " bytes ("
                  << fat.RootSize() / 32 << " entries)\n";
    std::cout << "Data starts at sector " << fat.DataFirstSector() << "\n";
}

}  // namespace

int RunInfo(const GlobalOptions& options, const std::string& source, int partition) {
    OpenedSource src;
    SourceError error;
    if (!OpenSource(source, partition, true, src, error)) {
        // Still show the table of a disk whose partitions hold nothing we
        // read; the message then does not list the partitions again.
        if (!src.table.scheme.empty()) {
            PrintTable(options, src);
            PrintError(error.Summary());
        } else {
            PrintError(error.message);
        }
        return error.exitCode;
    }
    PrintTable(options, src);
    nlohmann::json j;
    j["source"] = src.path;
    j["partition"] = src.partition ? nlohmann::json(src.partition) : nlohmann::json(nullptr);
    j["offset"] = src.offset;
    j["container"] = src.bytes->Kind();
    j["container_files"] = src.bytes->Files();
    if (!options.json) {
        std::cout << "Source: " << src.path << " (" << src.bytes->Kind();
        if (src.bytes->Files().size() > 1) std::cout << ", " << src.bytes->Files().size() << " files";
        std::cout << ")\n";
        if (src.partition) std::cout << "Partition: " << src.partition << " (offset " << src.offset << ")\n";
    }
    src.volume->DumpVolume();
    // The short-source warning goes to stderr once; JSON carries it as "warning".
    WarnIfShortSource(*src.volume);
    if (!src.volume->ShortSourceText().empty()) j["warning"] = src.volume->ShortSourceText();
    if (!src.volume->BootNote().empty()) {
        j["boot_sector"] = src.volume->BootNote();
        if (!options.json) std::cout << "Boot sector: " << src.volume->BootNote() << "\n";
    }
    // A second file system's superblock in the partition: what is listed may be stale.
    if (const auto& other = src.volume->OtherFs(); !other.kind.empty()) {
        j["other_filesystem"] = {{"type", other.kind}, {"superblock_offset", other.offset}, {"note", other.text}};
        if (!options.json) std::cout << "Other file system: " << other.text << "\n";
    }
    if (auto* fat = dynamic_cast<CFatVolume*>(src.volume.get())) {
        FatFacts(*fat, j);
        if (options.json)
            EmitJson(j);
        else
            PrintFatText(*fat, j);
        return kExitOk;
    }
    if (auto* ntfs = dynamic_cast<CNtfsVolume*>(src.volume.get())) {
        uint64_t freeClusters = 0;
        bool haveFree = ntfs->CountFreeClusters(freeClusters);
        char serial[24];
        std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(ntfs->SerialNumber()));
        j["filesystem"] = "NTFS";
        j["sector_size"] = ntfs->SectorSize();
        j["cluster_size"] = ntfs->ClusterSize();
        j["cluster_count"] = ntfs->TotalClusters();
        j["free_clusters"] = haveFree ? nlohmann::json(freeClusters) : nlohmann::json(nullptr);
        j["label"] = ntfs->VolumeLabelUtf8();
        j["serial"] = serial;
        j["mft_record_size"] = ntfs->MftRecordSize();
        j["mft_start_cluster"] = ntfs->MftStartCluster();
        j["mft_mirror_cluster"] = ntfs->MftMirrorCluster();
        j["mft_records"] = ntfs->MftRecordCount();
        j["index_block_size"] = ntfs->IndexBlockSize();
        j["total_sectors"] = ntfs->TotalSectors();
        if (ntfs->StandardUpCase()) j["upcase"] = "standard table: the volume's $UpCase cannot be read";
        if (options.json) {
            EmitJson(j);
        } else {
            std::cout << "File system: NTFS\n"
                      << "Sector size: " << ntfs->SectorSize() << "\n"
                      << "Cluster size: " << ntfs->ClusterSize() << "\n"
                      << "Clusters: " << ntfs->TotalClusters() << "\n";
            if (haveFree) std::cout << "Free clusters: " << freeClusters << "\n";
            std::cout << "Label: " << ntfs->VolumeLabelUtf8() << "\n"
                      << "Serial number: " << serial << "\n"
                      << "Total sectors: " << ntfs->TotalSectors() << "\n"
                      << "MFT record size: " << ntfs->MftRecordSize() << "\n"
                      << "MFT start cluster: " << ntfs->MftStartCluster() << "\n"
                      << "MFT mirror cluster: " << ntfs->MftMirrorCluster() << "\n"
                      << "MFT records: " << ntfs->MftRecordCount() << "\n"
                      << "Index block size: " << ntfs->IndexBlockSize() << "\n";
            if (ntfs->StandardUpCase())
                std::cout << "Upper-case table: the standard one (the volume's $UpCase cannot be read)\n";
        }
        return kExitOk;
    }
    PrintError("unsupported volume type");
    return kExitSource;
}
