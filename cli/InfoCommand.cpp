#include <iostream>

#include "cli/Commands.h"
#include "cli/Session.h"
#include "cli/Source.h"

namespace {

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

// The facts every file system has, then its own, in JSON fields or text lines.
void AddFacts(const GlobalOptions& options, const VolumeFacts& f, nlohmann::json& j) {
    j["filesystem"] = f.fileSystem;
    j["sector_size"] = f.sectorSize;
    j["cluster_size"] = f.clusterSize;
    j["cluster_count"] = f.clusterCount;
    j["free_clusters"] = f.freeClusters ? nlohmann::json(*f.freeClusters) : nlohmann::json(nullptr);
    j["label"] = f.label;
    j["serial"] = f.serial;
    j["total_sectors"] = f.totalSectors;
    for (const VolumeFacts::Field& field : f.fields) {
        nlohmann::json& v = j[field.key];
        if (!field.value)
            v = nullptr;
        else if (const auto* n = std::get_if<uint64_t>(&*field.value))
            v = *n;
        else
            v = std::get<std::string>(*field.value);
    }
    if (options.json) return;
    std::cout << "File system: " << f.fileSystem << "\n"
              << "Sector size: " << f.sectorSize << "\n"
              << "Cluster size: " << f.clusterSize << "\n"
              << "Clusters: " << f.clusterCount << (f.clustersNote.empty() ? "" : " " + f.clustersNote) << "\n";
    if (f.freeClusters) std::cout << "Free clusters: " << *f.freeClusters << "\n";
    std::cout << "Label: " << f.label << "\n"
              << "Serial number: " << f.serial << "\n"
              << "Total sectors: " << f.totalSectors << "\n";
    for (const std::string& line : f.lines) std::cout << line << "\n";
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
    if (VolumeFacts facts; src.volume->DescribeVolume(facts)) {
        AddFacts(options, facts, j);
        if (options.json) EmitJson(j);
        return kExitOk;
    }
    PrintError("unsupported volume type");
    return kExitSource;
}
