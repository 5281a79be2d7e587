// The FAT index: a tree of folder nodes that holds the deleted directory
// entries of a FAT volume under the folders that held them.
//
// The root is a FatExistingDir with an empty name. An existing folder node
// keeps its existing subfolders (keyed by their case-folded names), its
// deleted subfolders and its deleted files; a deleted folder node
// (FatDirInfo) keeps the entries found in its old clusters. Every node owns
// its children. CFatVolume::BuildIndex is the only writer (indexing worker);
// afterwards the UI, search and recovery threads only read the tree.
//
// Ids: every FatFileInfo the index hands out (a deleted file, or the record
// embedded in a deleted folder node) has a 32-bit id derived from where its
// short entry sits on disk: the first cluster of the folder that holds it
// (0 for the FAT12/16 root area) and the entry's slot, its index in 32-byte
// slots from the start of that folder. The same entry gets the same id after
// a rescan, a cache restore or in another run, also when other entries of the
// folder come and go. The id is
//
//     ((folder cluster << slotBits) | slot) + 1
//
// where slotBits is 16 on FAT12/16 (every cluster number and every slot of a
// folder fits) and 32 minus the bit width of (highest cluster + 1) on FAT32,
// so that the packed value stays below 0xFFFFFFFE. An entry whose slot does
// not fit (a big folder on a big FAT32 volume), or whose packed value is
// taken already (two folder nodes over the same cluster on a damaged
// volume), gets a hash of its folder cluster and slot instead, probed to the
// next free value; packed ids are given first, so they never depend on the
// others. Ids are never 0, -1 or -2 and are unique per volume.
//
// The cache file carries every record's slot (FatCache.cpp), so a restored
// index gives the same ids without reading the folders again.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class FatNode;
class FatDirInfo;

// One directory entry as the index keeps it. FAT times stay in their date and
// time words until a FileItemInfo is filled.
struct FatFileInfo {
    std::u16string name;         // long name when present, else the 8.3 name ("?" first letter when deleted)
    uint8_t attributes = 0;      // FAT attribute bits; 0x10 = folder
    uint32_t firstCluster = 0;
    uint32_t size = 0;
    uint16_t creationDate = 0;
    uint16_t creationTime = 0;
    uint16_t modificationDate = 0;
    uint16_t modificationTime = 0;
    uint8_t creationFine = 0;    // 10 ms units, 0-199
    // Index bookkeeping (not from the entry).
    uint16_t slot = 0;           // index of the short entry's 32-byte slot in its folder
    uint32_t id = 0;             // 0 until the record is put into the index
    FatNode* parent = nullptr;   // the folder node that holds this record

    bool IsFolder() const { return (attributes & 0x10) != 0; }
};

class FatNode {
public:
    virtual ~FatNode();
    // Slot 0: the folder's name (empty for the root).
    virtual const std::u16string& Name() const = 0;
    // Slot 1.
    virtual bool IsDeleted() const = 0;
    // Slot 2: adds the deleted subfolders and files of this node and of every
    // folder below it (deleted ones; existing ones too for an existing folder).
    void CountTree(uint32_t& folders, uint32_t& files) const;
    // Slot 3: deleted subfolders + files (+ existing subfolders of an existing folder).
    virtual uint32_t ChildCount() const;
    // Slot 4: child count of this node and of every folder below it.
    uint64_t TotalCount() const;
    // The folders below this node that the tree operations descend into.
    virtual void AppendChildFolders(std::vector<const FatNode*>& out) const;

    FatNode* parent = nullptr;   // null for the root
    uint32_t depth = 0;          // 0 for the root
    std::vector<std::unique_ptr<FatDirInfo>> deletedFolders;  // directory order
    std::vector<std::unique_ptr<FatFileInfo>> deletedFiles;   // directory order
};

// A deleted folder: a node plus the record of its own directory entry. Its id
// is the id of that record.
class FatDirInfo : public FatNode {
public:
    const std::u16string& Name() const override { return entry.name; }
    bool IsDeleted() const override { return true; }

    FatFileInfo entry;
};

// An existing folder of the volume; the root has an empty name.
class FatExistingDir : public FatNode {
public:
    const std::u16string& Name() const override { return name; }
    bool IsDeleted() const override { return false; }
    uint32_t ChildCount() const override;
    void AppendChildFolders(std::vector<const FatNode*>& out) const override;
    // The existing subfolder with this name (any case), or null.
    FatExistingDir* FindExisting(const std::u16string& anyCaseName) const;

    std::u16string name;         // as stored on the volume (shown in paths)
    std::u16string key;          // case-folded name, the key in the parent's map
    uint32_t firstCluster = 0;   // 0 for the FAT12/16 root area
    uint32_t size = 0;
    std::map<std::u16string, std::unique_ptr<FatExistingDir>> existingFolders;
};
