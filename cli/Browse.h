// Browsing a volume's folders from the command line: where a folder lives
// (an existing folder by path, a deleted or virtual one by id), finding a
// folder by its path, finding one deleted item by its id or path, and
// printing one item as `list` and `search` do.
//
// Ids as the command line prints them (64 bits): a deleted item's id is its
// engine id, the same in every run and after a rescan or a cache restore: on
// NTFS the item's MFT record number, on FAT a value derived from the folder
// cluster and the slot of its directory entry (engine/fat/FatIndex.h). An
// NTFS lost folder stands for a record number that no usable folder holds any
// more, and that record is often a deleted file of its own: a lost folder's
// id is therefore 2^32 + that record number, a range no record id reaches,
// while its name stays Folder<record number>. Existing items and the virtual
// folders $LostFolders and $RecycleBin have no id. An item of $RecycleBin is
// a deleted item of the volume seen under its former name: it carries the id
// that the item has where it lies.
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

// The id range of lost folders (above).
inline constexpr uint64_t kLostFolderIdBase = 1ull << 32;
// The printed id of an item of a deleted-items enumerator; lostFolder: the
// enumerator lists the lost folders themselves.
inline uint64_t CliId(const FileItemInfo& info, bool lostFolder) {
    return lostFolder ? kLostFolderIdBase + info.id : info.id;
}

// One deleted item found by its id or path, with the folder that shows it.
struct FoundItem {
    uint64_t id = 0;          // the printed id
    FileItemInfo info;        // name, attributes and engine id (names only)
    std::string folder;       // CLI path of the folder that holds it
    std::string path;         // folder + name, as list prints it
    bool lost = false;        // under $LostFolders
    bool lostFolder = false;  // a lost folder itself
    bool IsFolder() const { return (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // The item as a folder to list (IsFolder() only).
    Container AsContainer() const { return {path, false, static_cast<int32_t>(info.id), lost}; }
};
// The deleted item with this printed id, found where list shows it (outside
// $RecycleBin when it shows there too); false when no such item exists.
bool FindItemById(CVolume& volume, char16_t letter, uint64_t id, FoundItem& out);
// The deleted item at a CLI path ("/Docs/old.txt", "/$LostFolders/Folder37");
// when the folder part names no folder, *missingFolder (if given) says which.
bool FindItemByPath(CVolume& volume, char16_t letter, const std::string& path, FoundItem& out,
                    std::string* missingFolder = nullptr);
// A decimal id as printed; false when the text is not one or exceeds 64 bits.
bool ParseCliId(const std::string& text, uint64_t& id);

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
                   bool lost, bool lostFolder = false);
