// Browsing a volume's folders, the same for every front end: where a folder
// lives (an existing folder by path, a deleted or virtual one by id), what a
// folder lists (ListFolder: the rules both `quarlix list` and the window's
// browse page follow), finding a folder by its path and one deleted item by
// its id or path.
//
// Folder paths are slash-separated from the volume's root ("/Docs/Old"). A
// name is written into a path escaped (PathPart), so that a printed path
// can be given back whatever a damaged or hostile volume put in its names:
// "\\" for a backslash, "\/" for a slash, "\xHH" for each byte of a
// control character (C0, DEL and C1); every other character as it is.
// Ids as the front ends show them (64 bits): a deleted item's id is its
// engine id, the same in every run and after a rescan or a cache restore: on
// NTFS the item's MFT record number (a further hard-link name of a deleted
// record, and a name found in index slack, have ids of their own above every
// record number: NtfsVolume.h), on FAT a value derived from the folder
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
#include <string_view>
#include <vector>

#include "engine/volume/Volume.h"

// Where a listed folder lives: an existing folder (by path) or a deleted one (by id).
struct Container {
    std::string path;          // "/Docs/Old"
    bool existing = true;      // reached by path
    int32_t id = 0;            // deleted folder id, or -1 / -2 for the virtual folders
    bool lost = false;         // inside $LostFolders
};

// The id range of lost folders (above).
inline constexpr uint64_t kLostFolderIdBase = 1ull << 32;
// The printed id of an item of a deleted-items enumerator; lostFolder: the
// enumerator lists the lost folders themselves.
inline uint64_t ItemId(const FileItemInfo& info, bool lostFolder) {
    return lostFolder ? kLostFolderIdBase + info.id : info.id;
}

// One deleted item found by its id or path, with the folder that shows it.
struct FoundItem {
    uint64_t id = 0;          // the printed id
    FileItemInfo info;        // name, attributes and engine id (names only)
    std::string folder;       // path of the folder that holds it
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
// The deleted item at a path ("/Docs/old.txt", "/$LostFolders/Folder37");
// when the folder part names no folder, *missingFolder (if given) says which.
bool FindItemByPath(CVolume& volume, char16_t letter, const std::string& path, FoundItem& out,
                    std::string* missingFolder = nullptr);
// A decimal id as printed; false when the text is not one or exceeds 64 bits.
bool ParseItemId(const std::string& text, uint64_t& id);

// "/a" + "b" -> "/a/b" (name: a path part, escaped already).
std::string JoinFolderPath(const std::string& folder, const std::string& name);
// A name (UTF-8) as a path part, escaped as described above.
std::string PathPart(std::string_view name);
std::string PathPart(std::u16string_view name);
// A path part back to the name: the escapes undone (an unknown escape stays as it is).
std::string NameOfPathPart(std::string_view part);
// folder + the escaped name.
std::string JoinFolderName(const std::string& folder, std::u16string_view name);
// The parts of a path, split at every unescaped "/" (empty parts dropped), each
// in its escaped form as PathPart writes it (so "\x41" given for "A" is "A").
std::vector<std::string> SplitItemPath(std::string_view path);
// The same parts as the names they stand for (the escapes undone).
std::vector<std::string> SplitItemNames(std::string_view path);
// "DRHSACE" style attribute letters.
std::string AttributeLetters(uint32_t attributes);
// Finds the container of a folder path ("/Docs/Old", "/$LostFolders/Folder70", ...).
bool ResolveFolder(CVolume& volume, char16_t letter, const std::string& folder, Container& out);
// "/Docs/Old" -> "C:\Docs\Old\" for the volume's drive letter.
std::u16string VolumePath(char16_t letter, const std::string& path);
// "/Docs/a.txt" -> "C:\Docs\a.txt" (a file: no separator at the end).
std::u16string VolumeFilePath(char16_t letter, const std::string& path);
// "C:\Docs\Old\" -> "/Docs/Old".
std::string FolderPathOf(const std::u16string& enginePath);
// The folder that held a deleted item (a search hit): "/Docs/Old", or
// "/$LostFolders/Folder<id>/..." (lost set) when its chain ends at a lost folder.
std::string HitFolderPath(CVolume& volume, uint32_t id, bool& lost);

// The name a listed deleted item is shown with: a lost folder without a name
// is Folder<record number>.
std::string ShownName(const FileItemInfo& info, bool lost);

// The hint a listed folder chooses: lost folders met, else overwritten
// deleted files (data status not 0) met, else the plain deleted-files hint.
enum class FolderHint { DeletedFiles, OverwrittenFiles, LostFolders };

// One row of a listed folder.
struct ListedItem {
    FileItemInfo info;
    bool deleted = false;
    bool lost = false;           // inside $LostFolders
    bool lostFolder = false;     // a lost folder itself (the rows of $LostFolders)
    bool virtualFolder = false;  // $LostFolders or $RecycleBin at the root
    bool IsFolder() const { return (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

struct FolderListing {
    std::vector<ListedItem> items;     // live items, then deleted ones, then the virtual folders
    std::vector<Container> subfolders; // the folders among them that can be listed in turn
    FolderHint hint = FolderHint::DeletedFiles;
};

// Lists a folder as the browse page shows it:
// - an existing folder: its live items (skipped with deletedOnly, except
//   live folders that hold deleted items somewhere below), then the deleted
//   items recorded under its path; at the root also $LostFolders and
//   $RecycleBin when the volume has any;
// - a deleted or lost folder: its deleted items by id;
// - $RecycleBin: the recycled items still present (not with deletedOnly),
//   then the deleted ones.
// Bounded per folder (hostile volumes).
FolderListing ListFolder(CVolume& volume, char16_t letter, const Container& folder, bool deletedOnly);
