// Writers of the commands' records: text for people, JSON Lines for scripts.
//
// Every JSON line is one object with "kind", the kind of the line
// ("item", "partition", "volume", "index", "stat", "recovered",
// "recover_summary", "found", "scan_summary", "drive", "cache_clean",
// "image_summary"), and
// "schema", the version of the fields (kJsonSchema); a field's meaning never
// changes within a version. The rest of each kind's fields are listed in
// the manual page.
#pragma once

#include <iosfwd>
#include <memory>

#include "cli/Records.h"

constexpr int kJsonSchema = 1;

class CRecordWriter {
public:
    virtual ~CRecordWriter() = default;
    // The header of the item rows that follow (text only).
    virtual void BeginItems() = 0;
    virtual void Write(const ItemRecord& r) = 0;
    virtual void Write(const PartitionTableRecord& r) = 0;
    virtual void Write(const VolumeRecord& r) = 0;
    virtual void Write(const IndexRecord& r) = 0;
    virtual void Write(const StatRecord& r) = 0;
    virtual void Write(const RecoveredRecord& r) = 0;
    virtual void Write(const RecoverSummaryRecord& r) = 0;
    virtual void Write(const FoundRecord& r) = 0;
    virtual void Write(const ScanSummaryRecord& r) = 0;
    virtual void Write(const DriveListRecord& r) = 0;
    virtual void Write(const CacheCleanRecord& r) = 0;
    virtual void Write(const ImageSummaryRecord& r) = 0;
};

// The writer of the --json option: JSON Lines when json, else text; both on out.
std::unique_ptr<CRecordWriter> MakeRecordWriter(bool json, std::ostream& out);
// A warning as a JSON Lines record: {"kind":"warning","schema":1,"message":...}.
void WriteWarningRecord(std::ostream& out, const std::string& message);
