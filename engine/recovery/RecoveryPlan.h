// What a selection of deleted items means for a recovery, decided once for
// the command line and the window alike:
//  - each item goes once, a folder as its whole deleted tree;
//  - an item of the recycle bin, wherever it was chosen, goes under
//    $RecycleBin with the name it had before it was recycled;
//  - a lost folder goes as Folder<id>, $LostFolders as every lost folder's
//    tree under $LostFolders/Folder<id>;
//  - everything (`recover --all`): the recycle bin's items, then every
//    deleted item under the live folder that held it, then $LostFolders.
// Sizes are what the job counts: a file's size bounded by its volume, a
// folder's deleted tree (asked of the volume when first needed, on the
// thread that needs it).
//
// Ownership: a plan borrows its volume. Items() and Source() are used by
// one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/FolderBrowse.h"
#include "engine/recovery/RecoverJob.h"
#include "engine/volume/Volume.h"

// The folder under the destination that receives the recycle bin's items.
inline constexpr const char* kRecycleBinFolderName = "$RecycleBin";

class CRecoveryPlan {
public:
    explicit CRecoveryPlan(CVolume& volume);

    // Also keep the volume path of every item and of everything in the
    // trees it writes (VolumePathOf); costs a walk of each tree.
    void KeepVolumePaths() { m_keepPaths = true; }

    // A deleted file or folder by its index id, under name; path is where it
    // is on the volume ("/Docs/a.txt"). False when the plan holds it already.
    bool AddDeleted(uint32_t id, std::u16string name, uint32_t attributes, uint64_t size, const std::string& path);
    // A lost folder (written as Folder<id>).
    bool AddLostFolder(uint32_t id, const std::string& path);
    // $LostFolders: every lost folder's tree.
    bool AddLostFolders();
    // Every deleted item of the recycle bin.
    void AddRecycleBin();
    // Every deleted item of the volume (letter names it in engine paths).
    void AddAll(char16_t letter);
    // Everything deleted in a folder, laid out as AddAll lays it out: an
    // existing folder's deleted items and deleted trees, and those of every
    // existing folder below it (at the root also the recycle bin's items
    // first and $LostFolders last); a deleted or lost folder as its whole
    // tree, under the folder that held it; $RecycleBin and $LostFolders as
    // their items. An item of the recycle bin goes under $RecycleBin
    // wherever it lies.
    void AddAllBelow(char16_t letter, const Container& folder);

    const std::vector<RecoverItem>& Items() const { return m_items; }
    // Where item (id, folder) of the recovery records is on the volume, null
    // when not known (KeepVolumePaths).
    const std::string* VolumePathOf(uint64_t id, bool folder) const;

    // The selection's size as the job counts it; asks the volume for the
    // folder trees not yet sized.
    uint64_t CountedSize();
    // The items in order for a recovery job; after the end it starts over.
    // A folder's size is asked of the volume when needed. The plan must
    // outlive the source.
    RecoverItemSource Source(bool carved = false);

private:
    bool Take(RecoverItem item, const std::string& path);
    void AddTreePaths(uint32_t id, const std::string& path, int depth);
    void SizeOf(RecoverItem& item);
    void LoadRecycled();

    CVolume& m_volume;
    bool m_keepPaths = false;
    std::vector<RecoverItem> m_items;
    std::vector<bool> m_sized;                            // per item: its size is final
    std::set<std::pair<uint64_t, bool>> m_taken;          // (id, folder) of every item
    std::map<std::pair<uint64_t, bool>, std::string> m_paths;
    bool m_recycledLoaded = false;
    std::map<std::pair<uint64_t, bool>, RecoverItem> m_recycled;  // the bin's deleted items, as they are written
};
