#include "cli/RecordWriter.h"

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "cli/Common.h"
#include "engine/index/FolderBrowse.h"
#include "engine/index/IndexJob.h"

namespace {

using nlohmann::json;

// One JSON Lines record: its kind and the schema version first, then
// fields; written in one piece (warnings may come from a job's thread).
void EmitRecord(std::ostream& out, const char* kind, const json& fields) {
    const std::string rest = fields.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string line = std::string("{\"kind\":\"") + kind;
    line += "\",\"schema\":" + std::to_string(kJsonSchema);
    if (rest.size() > 2) line += ",";
    line += std::string_view(rest).substr(1);
    line += '\n';
    out << line;
}

template <typename T>
json OrNull(const std::optional<T>& v) {
    return v ? json(*v) : json(nullptr);
}

json RunsJson(const std::vector<RunFact>& runs) {
    json out = json::array();
    for (const RunFact& x : runs) {
        json r;
        r["vcn"] = x.vcn;
        r["length"] = x.length;
        r["lcn"] = x.lcn < 0 ? json(nullptr) : json(x.lcn);
        r["sector"] = x.lcn < 0 ? json(nullptr) : json(x.sector);
        out.push_back(std::move(r));
    }
    return out;
}

// A time on the volume's clock, null when unknown.
json FileTimeToJson(uint64_t fileTime, int16_t offset) {
    std::string s = FileTimeToText(fileTime, offset);
    return s.empty() ? json(nullptr) : json(s);
}

std::string RunsText(const std::vector<RunFact>& runs) {
    std::string out;
    for (const RunFact& r : runs) {
        if (!out.empty()) out += ", ";
        if (r.lcn < 0)
            out += "sparse x" + std::to_string(r.length);
        else
            out += std::to_string(r.lcn) + "+" + std::to_string(r.length) + " (sector " + std::to_string(r.sector) + ")";
    }
    return out.empty() ? "none" : out;
}

uint64_t RangeBytes(const std::vector<RecoverItemRecord::Range>& ranges) {
    uint64_t n = 0;
    for (const auto& u : ranges) n += u.length;
    return n;
}

json RangesJson(const std::vector<RecoverItemRecord::Range>& ranges) {
    json out = json::array();
    for (const auto& u : ranges) out.push_back({{"offset", u.offset}, {"length", u.length}});
    return out;
}

// The fields of a listed item; stat's line begins with them too.
json ItemJson(const ItemRecord& r) {
    json j;
    j["id"] = OrNull(r.id);
    j["name"] = r.name;
    j["path"] = r.path;
    j["folder"] = r.folder;
    j["deleted"] = r.deleted;
    j["lost"] = r.lost;
    j["size"] = r.size;
    j["attributes"] = r.attributes;
    j["created"] = FileTimeToJson(r.created, r.createdOffset);
    j["modified"] = FileTimeToJson(r.modified, r.modifiedOffset);
    j["overwritten"] = OrNull(r.overwritten);
    if (r.overwrittenUnknown) j["overwritten_unknown"] = true;
    if (r.indexSlack) j["index_slack"] = true;
    if (!r.unreadable.empty()) j["unreadable"] = RangesJson(r.unreadable);
    return j;
}

// The item's result as the code the manual page lists ("0x00000000" ok ...).
std::string HexResult(RecoverResult result) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(result));
    return buf;
}

class CJsonWriter final : public CRecordWriter {
public:
    explicit CJsonWriter(std::ostream& out) : m_out(out) {}

    void BeginItems() override {}

    void Write(const ItemRecord& r) override { Emit("item", ItemJson(r)); }

    void Write(const PartitionTableRecord& r) override {
        for (const auto& p : r.partitions)
            Emit("partition", {{"partition", p.number}, {"offset", p.offset}, {"length", p.length}, {"type", p.type}});
        for (const auto& w : r.warnings) Emit("warning", {{"message", w}});
    }

    void Write(const VolumeRecord& r) override {
        json j;
        j["source"] = r.source;
        j["partition"] = r.partition ? json(r.partition) : json(nullptr);
        j["offset"] = r.offset;
        j["container"] = r.container;
        j["container_files"] = r.containerFiles;
        if (!r.warning.empty()) j["warning"] = r.warning;
        if (!r.bootNote.empty()) j["boot_sector"] = r.bootNote;
        if (r.other)
            j["other_filesystem"] = {{"type", r.other->kind}, {"superblock_offset", r.other->offset}, {"note", r.other->note}};
        const VolumeFacts& f = r.facts;
        j["filesystem"] = f.fileSystem;
        j["sector_size"] = f.sectorSize;
        j["cluster_size"] = f.clusterSize;
        j["cluster_count"] = f.clusterCount;
        j["free_clusters"] = OrNull(f.freeClusters);
        j["label"] = f.label;
        j["serial"] = f.serial;
        j["total_sectors"] = f.totalSectors;
        for (const VolumeFacts::Field& field : f.fields) {
            json& v = j[field.key];
            if (!field.value)
                v = nullptr;
            else if (const auto* n = std::get_if<uint64_t>(&*field.value))
                v = *n;
            else
                v = std::get<std::string>(*field.value);
        }
        Emit("volume", j);
    }

    void Write(const IndexRecord& r) override {
        json unreadable = json::array();
        for (const ReadLoss& loss : r.unreadable)
            unreadable.push_back({{"what", loss.what}, {"count", loss.count}, {"consequence", loss.consequence}});
        Emit("index", {{"source", r.source}, {"deleted_files", r.deletedFiles}, {"deleted_folders", r.deletedFolders},
                       {"lost_folders", r.lostFolders}, {"recycled", r.recycled}, {"from_cache", r.fromCache},
                       {"seconds", r.seconds}, {"complete", r.complete}, {"unreadable", unreadable}});
    }

    void Write(const StatRecord& r) override {
        json j = ItemJson(r.item);
        if (r.items) j["items"] = *r.items;
        j["name_state"] = r.nameState;
        j["record_state"] = r.recordState;
        j["orphan"] = r.orphan;
        const ItemPlacement& p = r.placement;
        if (r.record) j["record"] = *r.record;
        if (p.record) j["record"] = *p.record;
        if (p.parent) j["parent"] = *p.parent;
        if (p.inUse) j["in_use"] = *p.inUse;
        if (p.entry) {
            j["folder_cluster"] = OrNull(p.folderCluster);
            j["slot"] = p.slot;
            j["first_cluster"] = p.firstCluster;
            if (p.ownChainAllocated) j["own_chain_allocated"] = true;
        }
        if (p.clustersInUse) j["clusters_in_use"] = *p.clustersInUse;
        if (p.streams) {
            json streams = json::array();
            for (const StreamFact& st : *p.streams)
                streams.push_back({{"name", st.name},
                                   {"resident", st.resident},
                                   {"size", st.size},
                                   {"initialized", st.initialized},
                                   {"runs", RunsJson(st.runs)}});
            j["streams"] = std::move(streams);
        }
        if (p.runs) j["runs"] = RunsJson(*p.runs);
        Emit("stat", j);
    }

    void Write(const RecoveredRecord& r) override {
        json j = {{"id", r.id},      {"path", OrNull(r.path)}, {"output", OrNull(r.output)},
                  {"folder", r.folder}, {"status", r.status}, {"bytes", r.bytes},
                  {"result", HexResult(r.result)}};
        if (r.status != "ok" && !r.reason.empty()) j["reason"] = r.reason;
        if (!r.note.empty()) j["note"] = r.note;
        if (!r.originalName.empty()) j["original_name"] = r.originalName;
        if (!r.unreadable.empty()) j["unreadable"] = RangesJson(r.unreadable);
        Emit("recovered", j);
    }

    void Write(const RecoverSummaryRecord& r) override {
        Emit("recover_summary",
             {{"summary",
               {{"files", r.files}, {"folders", r.folders}, {"failed", r.failed}, {"incomplete", r.incomplete},
                {"unverified", r.unverified}, {"skipped", r.skipped}, {"bytes", r.bytes}, {"seconds", r.seconds},
                {"source_opens", r.sourceOpens}, {"source_bytes_read", r.sourceBytesRead},
                {"source_unreadable_bytes", r.sourceUnreadableBytes}, {"not_attempted", r.notAttempted},
                {"names_without_data", r.namesOnly}, {"asked", r.asked},
                {"stop_reason", r.stopReason.empty() ? json(nullptr) : json(r.stopReason)}}}});
    }

    void Write(const FoundRecord& r) override {
        json j;
        if (r.known)
            j = {{"type", r.type},   {"name", r.name},   {"cluster", r.cluster},
                 {"size", r.size},   {"title", r.title}, {"author", r.author}};
        else
            j = {{"cluster", r.cluster}};
        if (!r.fragments.empty()) {
            json pieces = json::array();
            for (const FoundRecord::Fragment& f : r.fragments)
                pieces.push_back({{"cluster", f.cluster}, {"clusters", f.clusters}, {"bytes", f.bytes}});
            j["fragments"] = pieces;
        }
        if (r.recovery) {
            j["output"] = OrNull(r.recovery->output);
            j["status"] = r.recovery->status;
            if (r.recovery->status != "ok" && !r.recovery->reason.empty()) j["reason"] = r.recovery->reason;
            if (!r.recovery->unreadable.empty()) j["unreadable"] = RangesJson(r.recovery->unreadable);
        }
        Emit("found", j);
    }

    void Write(const ScanSummaryRecord& r) override {
        json s = {{"found", r.found}, {"candidates", r.candidates}, {"scanned", r.scanned},
                  {"unit", r.unit},   {"raw", r.raw},               {"all_clusters", r.allClusters},
                  {"stopped", r.stopped}, {"seconds", r.seconds},
                  {"unreadable_bytes", r.unreadableBytes}, {"unreadable_ranges", r.unreadableRanges}};
        if (r.recovering) {
            s["recovered"] = r.recovered;
            s["failed"] = r.failed;
            s["incomplete"] = r.incomplete;
            s["skipped"] = r.skipped;
            s["bytes"] = r.bytes;
        }
        Emit("scan_summary", {{"summary", s}});
    }

    void Write(const DriveListRecord& r) override {
        for (const auto& d : r.drives)
            Emit("drive", {{"device", d.device},
                           {"filesystem", d.filesystem.empty() ? json(nullptr) : json(d.filesystem)},
                           {"label", d.label},
                           {"size", d.size},
                           {"free", d.free ? json(d.free) : json(nullptr)},
                           {"supported", d.supported}});
    }

    void Write(const CacheCleanRecord& r) override {
        Emit("cache_clean", {{"cleaned", r.cleaned},
                             {"source", r.source.empty() ? json(nullptr) : json(r.source)},
                             {"removed", r.removed}});
    }

    void Write(const ImageSummaryRecord& r) override {
        json bad = json::array();
        for (const ByteRange& b : r.badRanges) bad.push_back({{"offset", b.offset}, {"length", b.length}});
        Emit("image_summary",
             {{"source", r.source}, {"image", r.image}, {"map", r.map}, {"size", r.size}, {"rescued", r.rescued},
              {"bad_bytes", r.bad}, {"bad_areas", r.badAreas}, {"bad", bad}, {"remaining", r.remaining},
              {"rescued_this_run", r.rescuedThisRun}, {"resumed", r.resumed}, {"stopped", r.stopped},
              {"seconds", r.seconds}});
    }

private:
    // The kind and the schema version lead the line, the fields follow in
    // name order.
    void Emit(const char* kind, const json& fields) { EmitRecord(m_out, kind, fields); }

    std::ostream& m_out;
};

// A stream buffer that hands whole lines to out as TerminalText makes them.
class CTerminalBuf final : public std::streambuf {
public:
    explicit CTerminalBuf(std::ostream& out) : m_out(out) {}
    ~CTerminalBuf() override { sync(); }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        m_line += traits_type::to_char_type(c);
        if (c == '\n') Pass();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
        return n;
    }
    int sync() override {
        Pass();
        m_out.flush();
        return m_out ? 0 : -1;
    }

private:
    void Pass() {
        if (m_line.empty()) return;
        m_out << TerminalText(m_line, true);
        m_line.clear();
    }
    std::ostream& m_out;
    std::string m_line;
};

class CTextWriter final : public CRecordWriter {
public:
    explicit CTextWriter(std::ostream& out) : m_buf(out), m_out(&m_buf) {}

    void BeginItems() override {
        // The columns of an item row.
        char line[96];
        std::snprintf(line, sizeof line, "%s %-7s %12s  %-20s %5s %10s  ", " ", "Attr", "Size", "Modified", "Over", "Id");
        m_out << line << "Path\n";
    }

    void Write(const ItemRecord& r) override {
        if (r.virtualFolder) {
            m_out << "  D------            0                               " << r.path << "/\n";
            return;
        }
        char line[128];
        const std::string overwritten =
            r.overwritten ? std::to_string(*r.overwritten) + "%" : r.overwrittenUnknown ? "?" : "";
        const std::string id = r.id ? std::to_string(*r.id) : "";
        std::snprintf(line, sizeof line, "%s %s %12" PRIu64 "  %-20s %5s %10s  ", r.deleted ? "*" : " ",
                      AttributeLetters(r.attributes).c_str(), r.size, FileTimeToText(r.modified, r.modifiedOffset).c_str(),
                      overwritten.c_str(), id.c_str());
        m_out << line << r.path << (r.folder ? "/" : "") << (r.indexSlack ? "  (name from index slack)" : "");
        if (!r.unreadable.empty()) m_out << "  (" << RangeBytes(r.unreadable) << " bytes unreadable)";
        m_out << "\n";
    }

    void Write(const PartitionTableRecord& r) override {
        m_out << "Partition table: " << r.scheme << "\n";
        for (const auto& p : r.partitions) {
            m_out << "  " << p.number << ": offset " << p.offset << ", length " << p.length << " ("
                  << HumanSize(p.length) << "), " << p.type;
            if (!p.name.empty()) m_out << ", \"" << p.name << "\"";
            m_out << "\n";
        }
        for (const auto& w : r.warnings) m_out << "  warning: " << w << "\n";
    }

    void Write(const VolumeRecord& r) override {
        m_out << "Source: " << r.source << " (" << r.container;
        if (r.containerFiles.size() > 1) m_out << ", " << r.containerFiles.size() << " files";
        m_out << ")\n";
        if (r.partition) m_out << "Partition: " << r.partition << " (offset " << r.offset << ")\n";
        if (!r.bootNote.empty()) m_out << "Boot sector: " << r.bootNote << "\n";
        if (r.other) m_out << "Other file system: " << r.other->note << "\n";
        const VolumeFacts& f = r.facts;
        m_out << "File system: " << f.fileSystem << "\n"
              << "Sector size: " << f.sectorSize << "\n"
              << "Cluster size: " << f.clusterSize << "\n"
              << "Clusters: " << f.clusterCount << (f.clustersNote.empty() ? "" : " " + f.clustersNote) << "\n";
        if (f.freeClusters) m_out << "Free clusters: " << *f.freeClusters << "\n";
        m_out << "Label: " << f.label << "\n"
              << "Serial number: " << f.serial << "\n"
              << "Total sectors: " << f.totalSectors << "\n";
        for (const std::string& line : f.lines) m_out << line << "\n";
    }

    void Write(const IndexRecord& r) override {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", r.seconds);
        m_out << "Index of " << r.source << (r.fromCache ? " (restored from the cache)" : "") << "\n"
              << "  deleted files:    " << r.deletedFiles << "\n"
              << "  deleted folders:  " << r.deletedFolders << "\n"
              << "  lost folders:     " << r.lostFolders << "\n"
              << "  recycle bin:      " << r.recycled << "\n"
              << "  time: " << seconds << " s" << (r.complete ? "" : " (interrupted: the index is partial)") << "\n";
        for (const ReadLoss& loss : r.unreadable) m_out << "  " << loss.Text() << "\n";
    }

    void Write(const StatRecord& r) override {
        const ItemPlacement& p = r.placement;
        auto time = [](uint64_t t, int16_t offset) {
            std::string s = FileTimeToText(t, offset);
            return s.empty() ? std::string("-") : s;
        };
        const ItemRecord& i = r.item;
        m_out << "id:          " << i.id.value_or(0) << "\n";
        m_out << "path:        " << i.path << (i.folder ? "/" : "") << "\n";
        m_out << "kind:        " << (r.lostFolder ? "lost folder" : i.folder ? "deleted folder" : "deleted file")
              << (i.indexSlack ? " (a name found in its folder's index slack; its record and data are gone)" : "")
              << "\n";
        m_out << "name state:  " << r.nameState << "\nrecord state: " << r.recordState << "\n";
        m_out << "orphan:      " << (r.orphan ? "yes (its folder is gone)" : "no") << "\n";
        m_out << "size:        " << i.size << "\n";
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", i.attributes);
        m_out << "attributes:  " << AttributeLetters(i.attributes) << " (0x" << hex << ")\n";
        m_out << "created:     " << time(i.created, i.createdOffset) << "\n";
        m_out << "modified:    " << time(i.modified, i.modifiedOffset) << "\n";
        if (i.overwritten) m_out << "overwritten: " << *i.overwritten << "%\n";
        if (i.overwrittenUnknown)
            m_out << "overwritten: not known (the FAT entries of its clusters could not be read)\n";
        if (!i.unreadable.empty()) {
            m_out << "unreadable:  " << RangeBytes(i.unreadable) << " bytes the source cannot give, at";
            for (const auto& u : i.unreadable) m_out << " " << u.offset << "+" << u.length;
            m_out << "\n";
        }
        if (const std::optional<uint32_t> record = p.record ? p.record : r.record)
            m_out << "record:      " << *record << "\n";
        if (p.parent) m_out << "parent:      " << *p.parent << "\n";
        if (r.items) m_out << "items:       " << *r.items << "\n";
        if (p.entry) {
            m_out << "entry:       slot " << p.slot << " of the folder at cluster "
                  << (p.folderCluster ? std::to_string(*p.folderCluster) : "-") << "\n";
            m_out << "first cluster: " << p.firstCluster << "\n";
        }
        if (p.entry && p.ownChainAllocated)
            m_out << "clusters in use: " << (p.clustersInUse ? std::to_string(*p.clustersInUse) : "-")
                  << ", by this folder itself (deleted while open: the FAT still allocates its chain)\n";
        else if (p.clustersInUse)
            m_out << "clusters in use again: " << *p.clustersInUse << "\n";
        if (p.runs) m_out << "runs:        " << RunsText(*p.runs) << "\n";
        if (p.streams)
            for (const StreamFact& st : *p.streams)
                m_out << "stream " << (st.name.empty() ? "(main)" : ":" + st.name) << ": " << st.size << " bytes"
                      << (st.resident ? ", resident" : "") << "; runs " << RunsText(st.runs) << "\n";
    }

    void Write(const RecoveredRecord& r) override {
        m_out << r.status << "\t" << (r.output ? *r.output : r.path.value_or(""));
        if (!r.reason.empty() && r.status != "ok") m_out << "\t(" << r.reason << ")";
        else if (!r.note.empty()) m_out << "\t(" << r.note << ")";
        if (!r.originalName.empty()) m_out << "\t(name on the volume: " << r.originalName << ")";
        if (!r.unreadable.empty()) {
            m_out << "\t(" << RangeBytes(r.unreadable) << " bytes could not be read, written as zeros, first at byte "
                  << r.unreadable.front().offset << ")";
        }
        m_out << "\n";
    }

    void Write(const RecoverSummaryRecord& r) override {
        m_out << "Recovered " << r.files << " of " << r.filesStarted << " files and " << r.folders << " of "
              << r.foldersStarted << " folders (" << HumanSize(r.bytes) << ") into " << r.destination << " in "
              << FormatDuration(r.seconds);
        if (r.failed || r.incomplete) m_out << "; " << r.failed << " failed, " << r.incomplete << " incomplete";
        if (r.unverified) m_out << (r.failed || r.incomplete ? ", " : "; ") << r.unverified << " unverified";
        if (r.skipped) m_out << (r.failed || r.incomplete || r.unverified ? ", " : "; ") << r.skipped << " skipped";
        if (r.notAttempted)
            m_out << "; " << r.notAttempted << " of the " << r.asked << (r.asked == 1 ? " item" : " items")
                  << " asked for not attempted";
        if (r.namesOnly) m_out << "; " << r.namesOnly << (r.namesOnly == 1 ? " name" : " names") << " without data";
        if (!r.stopReason.empty()) m_out << " (" << r.stopReason << ")";
        m_out << "\n";
    }

    // One line per find: type, cluster, size, name; with --to its outcome last.
    void Write(const FoundRecord& r) override {
        if (r.known)
            m_out << r.type << '\t' << r.cluster << '\t' << r.size << '\t' << r.name
                  << (r.fragmentsNote.empty() ? "" : " [" + r.fragmentsNote + "]");
        else
            m_out << "-\t" << r.cluster << "\t-\t-";
        if (r.recovery) {
            const FoundRecord::Recovery& o = *r.recovery;
            const std::string why = o.reason.empty() ? std::string() : ": " + o.reason;
            m_out << '\t';
            if (!o.output)
                m_out << o.status << why;
            else if (o.status == "ok")
                m_out << "recovered to " << *o.output;
            else if (o.status == "unverified" || o.status == "incomplete")
                m_out << "recovered " << o.status << " to " << *o.output << (why.empty() ? "" : " (" + o.reason + ")");
            else
                m_out << o.status << why;
            if (!o.unreadable.empty())
                m_out << " (" << RangeBytes(o.unreadable) << " bytes could not be read, written as zeros)";
        }
        m_out << std::endl;  // a scan is long: each find shows at once
    }

    void Write(const ScanSummaryRecord& r) override {
        m_out << "Found " << r.found << " files in " << r.scanned << " of " << r.candidates << " "
              << (r.raw ? "units" : r.allClusters ? "clusters" : "free clusters") << " of " << r.unit << " bytes in "
              << FormatDuration(r.seconds);
        if (r.stopped) m_out << " (stopped)";
        m_out << "\n";
        if (!r.recovering) return;
        m_out << "Recovered " << r.recovered << " of " << r.started << " files (" << HumanSize(r.bytes) << ") into "
              << r.destination;
        if (r.failed || r.incomplete || r.skipped)
            m_out << "; " << r.failed << " failed, " << r.incomplete << " incomplete, " << r.skipped << " skipped";
        m_out << "\n";
    }

    void Write(const DriveListRecord& r) override {
        char line[1024];
        std::snprintf(line, sizeof line, "%-18s%-11s%-8s%-18s%11s  NOTE\n", "DEVICE", "KIND", "FS", "LABEL", "SIZE");
        m_out << line;
        for (const auto& d : r.drives) {
            std::string note;
            if (!d.readable)
                note = d.error;
            else if (!d.supported)
                note = d.filesystem.empty() ? "no supported file system" : "unsupported file system";
            std::snprintf(line, sizeof line, "%-18s%-11s%-8s%-18s%11s  ", d.device.c_str(), d.kind.c_str(),
                          d.filesystem.empty() ? "-" : d.filesystem.c_str(), d.label.c_str(),
                          HumanSize(d.size).c_str());
            m_out << line << note << "\n";
        }
        if (r.drives.empty()) m_out << "(no block devices found)\n";
    }

    void Write(const CacheCleanRecord& r) override {
        if (!r.cleaned)
            m_out << "some cache files could not be deleted";
        else if (r.removed == 0)
            m_out << "nothing to clean: " << (r.source.empty() ? std::string("no source") : r.source)
                  << " has no cached index";
        else
            m_out << "cache cleaned: " << r.removed << (r.removed == 1 ? " cached index" : " cached indexes")
                  << " deleted";
        m_out << "\n";
    }

    void Write(const ImageSummaryRecord& r) override {
        m_out << "Rescued " << r.rescued << " of " << r.size << " bytes (" << HumanSize(r.rescued) << ") of "
              << r.source << " into " << r.image << " in " << FormatDuration(r.seconds);
        if (r.resumed) m_out << " (continued; " << HumanSize(r.rescuedThisRun) << " in this run)";
        m_out << "\n";
        if (r.bad) m_out << "Unreadable: " << r.bad << " bytes in " << r.badAreas << (r.badAreas == 1 ? " area" : " areas") << "\n";
        if (r.remaining) m_out << "Not read yet: " << r.remaining << " bytes" << (r.stopped ? " (stopped)" : "") << "\n";
        m_out << "Map: " << r.map << "\n";
    }

private:
    CTerminalBuf m_buf;
    std::ostream m_out;
};

}  // namespace

void WriteWarningRecord(std::ostream& out, const std::string& message) {
    EmitRecord(out, "warning", {{"message", message}});
    out.flush();
}

std::unique_ptr<CRecordWriter> MakeRecordWriter(bool json, std::ostream& out) {
    if (json) return std::make_unique<CJsonWriter>(out);
    return std::make_unique<CTextWriter>(out);
}
