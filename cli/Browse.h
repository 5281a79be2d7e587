// Printing listed items as `list` and `search` do: text rows or JSON lines.
#pragma once

#include <string>

#include "cli/Common.h"
#include "engine/index/FolderBrowse.h"

// The header line of the text rows (deleted mark, attributes, size, modified,
// overwritten share, id, path).
void PrintListHeader();
// One item as a text row or a JSON line.
void PrintListItem(const GlobalOptions& options, const FileItemInfo& info, const std::string& folder, bool deleted,
                   bool lost, bool lostFolder = false);
