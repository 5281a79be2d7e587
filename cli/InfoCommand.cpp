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

}  // namespace

int RunInfo(const GlobalOptions& options, const std::string& source, int partition) {
    auto out = MakeRecordWriter(options.json, std::cout);
    OpenedSource src;
    SourceError error;
    if (!OpenSource(source, partition, true, src, error)) {
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
    if (!src.table.scheme.empty()) out->Write(TableRecord(src));
    VolumeRecord r;
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
    if (!src.volume->DescribeVolume(r.facts)) {
        PrintError("unsupported volume type");
        return kExitSource;
    }
    out->Write(r);
    return kExitOk;
}
