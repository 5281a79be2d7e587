#include "cli/Browse.h"

#include "platform/Text.h"

ItemRecord ListItemRecord(const FileItemInfo& info, const std::string& folder, bool deleted, bool lost,
                          bool lostFolder) {
    ItemRecord r;
    r.folder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    r.name = Utf16ToUtf8(info.name);
    if (deleted && lost && r.name.empty()) r.name = "Folder" + std::to_string(info.id);
    r.path = JoinFolderPath(folder, PathPart(r.name));
    if (deleted) r.id = ItemId(info, lostFolder);
    r.deleted = deleted;
    r.lost = lost;
    r.size = info.size;
    r.attributes = info.attributes;
    r.created = info.creationTime;
    r.modified = info.modificationTime;
    r.createdOffset = info.creationOffset;
    r.modifiedOffset = info.modificationOffset;
    if (deleted && !r.folder) {
        if (info.dataStatus == kDataStatusUnknown) r.overwrittenUnknown = true;
        else r.overwritten = info.dataStatus;
    }
    r.indexSlack = info.nameState == NameState::IndexSlack;
    return r;
}

void AddUnreadable(const CVolume& volume, const std::vector<RunFact>& runs, ItemRecord& r) {
    for (const ByteRange& u : volume.UnreadableOf(runs, r.size)) r.unreadable.push_back({u.offset, u.length});
}

void AddUnreadable(CVolume& volume, uint32_t id, ItemRecord& r) {
    if (!r.deleted || r.folder || r.indexSlack || r.size == 0 || !volume.SourceHasUnreadable()) return;
    ItemPlacement placement;
    std::string why;
    if (volume.DescribeItem(id, placement, why) && placement.runs) AddUnreadable(volume, *placement.runs, r);
}
