// `quarlix stat SOURCE ITEM`: every field of one deleted item, as text or as
// one JSON object.
//
// Fields of every item: id, path, name, folder, lost, size, attributes,
// created, modified, overwritten (the data status of a file), name_state,
// record_state and orphan (see NameState, RecordState). Where the data
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
#include <iostream>

#include "cli/Browse.h"
#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "engine/index/FolderBrowse.h"

int RunStat(const GlobalOptions& options, const std::string& source, int partition, const std::string& itemArg) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, false, s)) return rc;
    CVolume& v = *s.volume;
    FoundItem item;
    if (int rc = FindCliItem(s, source, itemArg, item)) return rc;
    StatRecord r;
    ItemRecord& it = r.item;
    it.id = item.id;
    it.path = item.path;
    it.name = item.path.substr(item.path.rfind('/') + 1);
    it.folder = item.IsFolder();
    it.deleted = true;
    it.lost = item.lost;
    r.lostFolder = item.lostFolder;
    FileItemInfo info = item.info;  // a lost folder's states are its enumerator's
    if (item.lostFolder) {
        uint32_t folders = 0, files = 0;
        v.CountDeletedFiles(static_cast<int32_t>(item.info.id), folders, files);
        r.record = item.info.id;
        it.attributes = item.info.attributes;
        r.items = folders + files;
    } else {
        if (!v.GetFileInfo(item.info.id, true, info)) {
            PrintError("cannot read the item " + itemArg);
            return kExitPartial;
        }
        if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            uint64_t total = 0;
            v.GetFolderSize(item.info.id, total, nullptr, 0);
            it.size = total;
        } else {
            it.size = info.size;
        }
        it.attributes = info.attributes;
        it.created = info.creationTime;
        it.modified = info.modificationTime;
        it.createdOffset = info.creationOffset;
        it.modifiedOffset = info.modificationOffset;
        if (!item.IsFolder() && info.dataStatus == kDataStatusUnknown) it.overwrittenUnknown = true;
        else if (!item.IsFolder()) it.overwritten = info.dataStatus;
        it.indexSlack = info.nameState == NameState::IndexSlack;  // a name without a record: no runs, no streams
        std::string why;
        if (!it.indexSlack && !v.DescribeItem(item.info.id, r.placement, why)) {
            PrintError(why);
            return kExitPartial;
        }
        if (!item.IsFolder() && r.placement.runs) AddUnreadable(v, *r.placement.runs, it);
    }
    r.nameState = NameStateWord(info.nameState);
    r.recordState = RecordStateWord(info.recordState);
    r.orphan = info.orphan;
    MakeRecordWriter(options.json, std::cout)->Write(r);
    return kExitOk;
}
