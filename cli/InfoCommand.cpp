// `quarlix info`: the partition table of a disk (if any) and the facts of
// its volume; on a disk with several NTFS/FAT partitions and no --partition,
// the facts of every one of them, one after the other.
#include <iostream>

#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "cli/Source.h"

namespace {

PartitionTableRecord TableRecord(const OpenedSource& src) {
    PartitionTableRecord r;
    r.scheme = src.table.scheme;
    for (const auto& p : src.table.partitions) r.partitions.push_back({p.number, p.offset, p.length, p.typeName, p.name});
    r.warnings = src.table.warnings;
    return r;
}

// The facts of the volume src has open; false when it cannot describe itself.
bool DescribeOpenVolume(const OpenedSource& src, VolumeRecord& r) {
    r.source = src.path;
    r.partition = src.partition;
    r.offset = src.offset;
    r.container = src.bytes->Kind();
    r.containerFiles = src.bytes->Files();
    src.volume->DumpVolume();
    // The short-source warning goes to stderr once; JSON carries it as "warning".
    WarnIfShortSource(*src.volume);
    r.warning = src.volume->ShortSourceText();
    r.bootNote = src.volume->BootNote();
    // A second file system's superblock in the partition: what is listed may be stale.
    if (const auto& other = src.volume->OtherFs(); !other.kind.empty())
        r.other = VolumeRecord::OtherFileSystem {other.kind, other.offset, other.text};
    return src.volume->DescribeVolume(r.facts);
}

}  // namespace

int RunInfo(const GlobalOptions& options, const std::string& source, int partition) {
    auto out = MakeRecordWriter(options.json, std::cout);
    OpenedSource src;
    SourceError error;
    if (!OpenSourceTable(source, src, error)) {
        PrintError(error.message);
        return error.exitCode;
    }
    // Without --partition every partition that holds a supported volume is
    // described; with one, that partition; without a table, the source.
    std::vector<VolumeRecord> volumes;
    if (!src.table.scheme.empty() && partition == 0) {
        for (const auto& p : src.table.partitions) {
            SourceError ignored;
            if (!OpenSourceVolume(src, p.number, false, ignored) || !src.volume) continue;
            VolumeRecord r;
            if (DescribeOpenVolume(src, r)) volumes.push_back(std::move(r));
        }
        src.volume.reset();
    }
    if (volumes.empty()) {
        if (!OpenSourceVolume(src, partition, true, error)) {
            // Still show the table of a disk whose partitions hold nothing we
            // read; the message then does not list the partitions again.
            if (!src.table.scheme.empty()) {
                out->Write(TableRecord(src));
                PrintError(error.Summary());
            } else {
                PrintError(error.message);
            }
            return error.exitCode;
        }
        VolumeRecord r;
        if (!DescribeOpenVolume(src, r)) {
            PrintError("unsupported volume type");
            return kExitSource;
        }
        volumes.push_back(std::move(r));
    }
    SayRescueMap(src);
    if (!src.table.scheme.empty()) out->Write(TableRecord(src));
    for (size_t i = 0; i < volumes.size(); ++i) {
        if (i > 0 && !options.json) std::cout << "\n";
        out->Write(volumes[i]);
    }
    return kExitOk;
}
