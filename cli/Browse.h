// Listed items as `list` and `search` print them.
#pragma once

#include <string>

#include "cli/Records.h"
#include "engine/index/FolderBrowse.h"

// The record of one listed item: its name (a lost folder without one is
// "Folder<id>"), its path under folder, its id when it is deleted.
ItemRecord ListItemRecord(const FileItemInfo& info, const std::string& folder, bool deleted, bool lost,
                          bool lostFolder = false);

// The ranges of a deleted file's data that the source cannot give, from its
// runs; asked of the volume only when the source holds such ranges.
void AddUnreadable(CVolume& volume, uint32_t id, ItemRecord& r);
// The same from runs already described.
void AddUnreadable(const CVolume& volume, const std::vector<RunFact>& runs, ItemRecord& r);
