// Browsing a volume's folders from the command line: where a folder lives
// (an existing folder by path, a deleted or virtual one by id), finding a
// folder by its path, and printing one item as `list` and `search` do.
#pragma once

#include <string>

#include "cli/Common.h"
#include "engine/volume/Volume.h"

// Where a listed folder lives: an existing folder (by path) or a deleted one (by id).
struct Container {
    std::string cliPath;       // "/Docs/Old"
    bool existing = true;      // reached by path
    int32_t id = 0;            // deleted folder id, or -1 / -2 for the virtual folders
    bool lost = false;         // inside $LostFolders
};

// "/a" + "b" -> "/a/b".
std::string JoinCli(const std::string& folder, const std::string& name);
// "DRHSACE" style attribute letters.
std::string Attributes(uint32_t attributes);
// Finds the container of a folder path ("/Docs/Old", "/$LostFolders/Folder70", ...).
bool ResolveFolder(CVolume& volume, char16_t letter, const std::string& folder, Container& out);
// The header line of the text rows (deleted mark, attributes, size, modified,
// overwritten share, id, path).
void PrintListHeader();
// One item as a text row or a JSON line.
void PrintListItem(const GlobalOptions& options, const FileItemInfo& info, const std::string& folder, bool deleted,
                   bool lost);
