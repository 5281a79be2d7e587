// `quarlix stat SOURCE ITEM`: every field of one deleted item, as text or as
// one JSON object.
//
// Fields of every item: id, path, name, folder, lost, size, attributes,
// created, modified, overwritten (the data status of a file). Where the data
// lies, as runs {vcn, lcn, length, sector}: the cluster numbers of the volume
// (FAT numbers its data clusters from 2, NTFS from 0), and the first sector of
// each run from the start of the volume, for comparison with sector-based
// tools. A sparse run has lcn and sector null.
//
// - NTFS records: record, in_use, parent, and "streams": one object per $DATA
//   attribute (name "" for the main data): name, resident, size,
//   initialized, runs. The item's runs are those of its main data.
// - NTFS lost folders: record (the number the lost folder stands for) and
//   the count of items under it.
// - FAT: folder_cluster and slot (where the entry lies, which the id is made
//   from), first_cluster, and the runs a recovery reads: a deleted file is
//   taken as contiguous from its first cluster, so one run of
//   ceil(size / cluster size) clusters; "clusters_in_use" counts those that
//   are allocated again. A deleted folder whose chain is still allocated
//   (deleted while open) has that chain as its runs, all in use by the
//   folder itself: "own_chain_allocated" is true.
#include <cstdio>
#include <iostream>

#include "engine/index/FolderBrowse.h"
#include "cli/Commands.h"
#include "cli/Session.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/Text.h"

namespace {

nlohmann::json Run(uint64_t vcn, int64_t lcn, uint64_t length, uint64_t firstSector) {
    nlohmann::json r;
    r["vcn"] = vcn;
    r["length"] = length;
    if (lcn < 0) {
        r["lcn"] = nullptr;
        r["sector"] = nullptr;
    } else {
        r["lcn"] = lcn;
        r["sector"] = firstSector;
    }
    return r;
}

// NTFS: the item's record (the one every link name of a file shares), the
// parent its name gives, the record's streams and the runs of its main data;
// false when the record cannot be read.
bool NtfsFields(CNtfsVolume& v, uint32_t id, nlohmann::json& j) {
    int ordinal = -1;
    const uint32_t record = v.ItemRecord(id, &ordinal);
    CNtfsFile file;
    if (!file.OpenRecord(&v, record, false) || !file.IsValid()) return false;
    FileItemInfo info;
    uint32_t parent = 0;
    if (file.GetInfo(info, parent, ordinal)) j["parent"] = parent;
    j["record"] = record;
    j["in_use"] = file.IsInUse();
    const uint64_t spc = v.SectorSize() ? v.ClusterSize() / v.SectorSize() : 0;
    nlohmann::json streams = nlohmann::json::array();
    for (size_t i = 0; i < file.AttributeCount(); ++i) {
        CNtfsFileAttr* a = file.AttributeAt(i);
        if (!a || a->Type() != kAttrData) continue;
        nlohmann::json s;
        s["name"] = Utf16ToUtf8(a->Name());
        s["resident"] = a->IsResident();
        s["size"] = a->RealSize();
        s["initialized"] = a->IsResident() ? a->RealSize() : a->InitializedSize();
        nlohmann::json runs = nlohmann::json::array();
        for (const auto& x : a->Extents())
            runs.push_back(Run(x.vcn, x.lcn, x.length, x.lcn < 0 ? 0 : static_cast<uint64_t>(x.lcn) * spc));
        s["runs"] = runs;
        if (a->Name().empty() && !j.contains("runs")) j["runs"] = runs;
        streams.push_back(std::move(s));
    }
    j["streams"] = streams;
    if (!j.contains("runs")) j["runs"] = nlohmann::json::array();
    return true;
}

void FatFields(CFatVolume& v, uint32_t id, nlohmann::json& j) {
    const FatFileInfo* rec = v.RecordOfId(id);
    if (!rec) return;
    j["folder_cluster"] = rec->parent ? nlohmann::json(v.FolderClusterOf(rec->parent)) : nlohmann::json(nullptr);
    j["slot"] = rec->slot;
    j["first_cluster"] = rec->firstCluster;
    nlohmann::json runs = nlohmann::json::array();
    const uint64_t cs = v.ClusterSize();
    const uint64_t spc = v.SectorSize() ? cs / v.SectorSize() : 0;
    uint64_t inUse = 0;
    if (!rec->IsFolder() && rec->size > 0 && cs > 0 && rec->firstCluster >= 2) {
        const uint64_t last = static_cast<uint64_t>(v.ClusterCount()) + 1;
        const uint64_t wanted = (rec->size + cs - 1) / cs;
        // Only the clusters the data area holds; the rest of the file lies nowhere.
        const uint64_t first = rec->firstCluster;
        const uint64_t length = first > last ? 0 : std::min<uint64_t>(wanted, last - first + 1);
        if (length > 0)
            runs.push_back(Run(0, static_cast<int64_t>(first), length, v.DataFirstSector() + (first - 2) * spc));
        for (uint64_t k = 0; k < length; ++k) {
            uint32_t value = 0;
            if (!v.ReadFatEntry(static_cast<uint32_t>(first + k), value) || v.IsInUse(value) || v.IsBad(value)) ++inUse;
        }
        inUse += wanted - length;
    } else if (rec->IsFolder()) {
        // A folder deleted while open keeps its chain allocated: its
        // clusters are in use, and read along that chain.
        const std::vector<uint32_t> chain = v.AllocatedFolderChain(*rec);
        for (size_t k = 0; k < chain.size();) {
            size_t n = 1;
            while (k + n < chain.size() && chain[k + n] == chain[k] + n) ++n;
            runs.push_back(Run(k, chain[k], n, v.DataFirstSector() + (uint64_t(chain[k]) - 2) * spc));
            k += n;
        }
        inUse = chain.size();
        // In use by this folder itself, not taken by another item.
        if (!chain.empty()) j["own_chain_allocated"] = true;
    }
    j["runs"] = runs;
    j["clusters_in_use"] = inUse;
}

std::string RunsText(const nlohmann::json& runs) {
    std::string out;
    for (const auto& r : runs) {
        if (!out.empty()) out += ", ";
        if (r["lcn"].is_null())
            out += "sparse x" + std::to_string(r["length"].get<uint64_t>());
        else
            out += std::to_string(r["lcn"].get<uint64_t>()) + "+" + std::to_string(r["length"].get<uint64_t>()) +
                   " (sector " + std::to_string(r["sector"].get<uint64_t>()) + ")";
    }
    return out.empty() ? "none" : out;
}

}  // namespace

int RunStat(const GlobalOptions& options, const std::string& source, int partition, const std::string& itemArg) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, false, s)) return rc;
    CVolume& v = *s.volume;
    FoundItem item;
    if (int rc = FindCliItem(s, source, itemArg, item)) return rc;
    nlohmann::json j;
    j["id"] = item.id;
    j["path"] = item.path;
    j["name"] = item.path.substr(item.path.rfind('/') + 1);
    j["folder"] = item.IsFolder();
    j["lost"] = item.lost;
    auto* ntfs = dynamic_cast<CNtfsVolume*>(&v);
    auto* fat = dynamic_cast<CFatVolume*>(&v);
    if (item.lostFolder) {
        uint32_t folders = 0, files = 0;
        v.CountDeletedFiles(static_cast<int32_t>(item.info.id), folders, files);
        j["record"] = item.info.id;
        j["size"] = 0;
        j["attributes"] = item.info.attributes;
        j["created"] = nullptr;
        j["modified"] = nullptr;
        j["overwritten"] = nullptr;
        j["items"] = folders + files;
    } else {
        FileItemInfo info;
        if (!v.GetFileInfo(item.info.id, true, info)) {
            PrintError("cannot read the item " + itemArg);
            return kExitPartial;
        }
        if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            uint64_t total = 0;
            v.GetFolderSize(item.info.id, total, nullptr, 0);
            j["size"] = total;
        } else {
            j["size"] = info.size;
        }
        j["attributes"] = info.attributes;
        j["created"] = FileTimeToJson(info.creationTime);
        j["modified"] = FileTimeToJson(info.modificationTime);
        j["overwritten"] = item.IsFolder() ? nlohmann::json(nullptr) : nlohmann::json(info.dataStatus);
        if (info.indexSlack) j["index_slack"] = true;  // a name without a record: no runs, no streams
        if (ntfs && !info.indexSlack && !NtfsFields(*ntfs, item.info.id, j)) {
            PrintError("cannot read MFT record " + std::to_string(ntfs->ItemRecord(item.info.id)));
            return kExitPartial;
        }
        if (fat) FatFields(*fat, item.info.id, j);
    }
    if (options.json) {
        EmitJson(j);
        return kExitOk;
    }
    auto text = [](const nlohmann::json& x) -> std::string {
        if (x.is_null()) return "-";
        if (x.is_string()) return x.get<std::string>();
        return x.dump();
    };
    std::cout << "id:          " << item.id << "\n";
    std::cout << "path:        " << item.path << (item.IsFolder() ? "/" : "") << "\n";
    std::cout << "kind:        " << (item.lostFolder ? "lost folder" : item.IsFolder() ? "deleted folder" : "deleted file")
              << (j.contains("index_slack") ? " (a name found in its folder's index slack; its record and data are gone)"
                                            : "")
              << "\n";
    std::cout << "size:        " << text(j["size"]) << "\n";
    std::cout << "attributes:  " << AttributeLetters(j["attributes"].get<uint32_t>()) << " (0x" << std::hex
              << j["attributes"].get<uint32_t>() << std::dec << ")\n";
    std::cout << "created:     " << text(j["created"]) << "\n";
    std::cout << "modified:    " << text(j["modified"]) << "\n";
    if (!j["overwritten"].is_null()) std::cout << "overwritten: " << text(j["overwritten"]) << "%\n";
    if (j.contains("record")) std::cout << "record:      " << text(j["record"]) << "\n";
    if (j.contains("parent")) std::cout << "parent:      " << text(j["parent"]) << "\n";
    if (j.contains("items")) std::cout << "items:       " << text(j["items"]) << "\n";
    if (j.contains("folder_cluster"))
        std::cout << "entry:       slot " << text(j["slot"]) << " of the folder at cluster " << text(j["folder_cluster"])
                  << "\n";
    if (j.contains("first_cluster")) std::cout << "first cluster: " << text(j["first_cluster"]) << "\n";
    if (j.contains("own_chain_allocated"))
        std::cout << "clusters in use: " << text(j["clusters_in_use"])
                  << ", by this folder itself (deleted while open: the FAT still allocates its chain)\n";
    else if (j.contains("clusters_in_use"))
        std::cout << "clusters in use again: " << text(j["clusters_in_use"]) << "\n";
    if (j.contains("runs")) std::cout << "runs:        " << RunsText(j["runs"]) << "\n";
    if (j.contains("streams")) {
        for (const auto& st : j["streams"]) {
            std::string name = st["name"].get<std::string>();
            std::cout << "stream " << (name.empty() ? "(main)" : ":" + name) << ": " << st["size"].get<uint64_t>()
                      << " bytes" << (st["resident"].get<bool>() ? ", resident" : "") << "; runs "
                      << RunsText(st["runs"]) << "\n";
        }
    }
    return kExitOk;
}
