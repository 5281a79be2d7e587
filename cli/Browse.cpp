#include "cli/Browse.h"

#include "platform/Text.h"

ItemRecord ListItemRecord(const FileItemInfo& info, const std::string& folder, bool deleted, bool lost,
                          bool lostFolder) {
    ItemRecord r;
    r.folder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    r.name = Utf16ToUtf8(info.name);
    if (deleted && lost && r.name.empty()) r.name = "Folder" + std::to_string(info.id);
    r.path = JoinFolderPath(folder, r.name);
    if (deleted) r.id = ItemId(info, lostFolder);
    r.deleted = deleted;
    r.lost = lost;
    r.size = info.size;
    r.attributes = info.attributes;
    r.created = info.creationTime;
    r.modified = info.modificationTime;
    if (deleted && !r.folder) r.overwritten = info.dataStatus;
    r.indexSlack = info.nameState == NameState::IndexSlack;
    return r;
}
