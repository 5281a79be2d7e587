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
#include "platform/Text.h"

namespace {

nlohmann::json RunsJson(const std::vector<RunFact>& runs) {
    nlohmann::json out = nlohmann::json::array();
    for (const RunFact& x : runs) {
        nlohmann::json r;
        r["vcn"] = x.vcn;
        r["length"] = x.length;
        r["lcn"] = x.lcn < 0 ? nlohmann::json(nullptr) : nlohmann::json(x.lcn);
        r["sector"] = x.lcn < 0 ? nlohmann::json(nullptr) : nlohmann::json(x.sector);
        out.push_back(std::move(r));
    }
    return out;
}

void AddPlacement(const ItemPlacement& p, nlohmann::json& j) {
    if (p.parent) j["parent"] = *p.parent;
    if (p.record) j["record"] = *p.record;
    if (p.inUse) j["in_use"] = *p.inUse;
    if (p.entry) {
        j["folder_cluster"] = p.folderCluster ? nlohmann::json(*p.folderCluster) : nlohmann::json(nullptr);
        j["slot"] = p.slot;
        j["first_cluster"] = p.firstCluster;
        if (p.ownChainAllocated) j["own_chain_allocated"] = true;
    }
    if (p.clustersInUse) j["clusters_in_use"] = *p.clustersInUse;
    if (p.streams) {
        nlohmann::json streams = nlohmann::json::array();
        for (const StreamFact& st : *p.streams)
            streams.push_back({{"name", st.name},
                               {"resident", st.resident},
                               {"size", st.size},
                               {"initialized", st.initialized},
                               {"runs", RunsJson(st.runs)}});
        j["streams"] = std::move(streams);
    }
    if (p.runs) j["runs"] = RunsJson(*p.runs);
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
        ItemPlacement placement;
        std::string why;
        if (!info.indexSlack && !v.DescribeItem(item.info.id, placement, why)) {
            PrintError(why);
            return kExitPartial;
        }
        AddPlacement(placement, j);
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
