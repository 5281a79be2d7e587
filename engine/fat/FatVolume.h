// The volume reader for FAT12, FAT16 and FAT32.
//
// Reads the boot sector and derives the geometry (FAT copies, the active
// copy, the fixed root area or the root cluster, the data area); maps
// clusters to device offsets (cluster 2 is the first cluster of the data
// area); reads FAT entries of all three widths through a one-sector cache
// under the FAT lock. The geometry is validated before it is used: a boot
// sector with a zero or non-power-of-two sector or cluster size, no FATs, a
// FAT size of 0 or structures beyond the device is refused with a reason.
//
// The index (FatIndex.h) is a tree of folder nodes holding the deleted
// entries; BuildIndex fills it from the existing folders and from the
// deleted folders found in them. Engine paths have the form "C:\Docs\Old\"
// (the drive letter of the volume) or "\Docs\Old"; folder names match
// without regard to case.
//
// Threads: FAT entry reads come from the indexing, search, preview, recovery
// and scan threads; the FAT lock makes each one atomic. The index is written
// only by BuildIndex/ClearIndex (indexing worker, no other job running) and
// read by the others afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/fat/FatIndex.h"
#include "engine/volume/Volume.h"
#include "engine/volume/VolumeProbe.h"

// The geometry a FAT boot sector gives (CFatVolume::CheckBootSector).
struct FatBootGeometry {
    uint32_t fatType = 0;  // kPartitionFat12, kPartitionFat16 or kPartitionFat32
    // FAT32 with its sector count in the type text's place: it names no type.
    bool untyped = false;
    uint32_t sectorSize = 0;
    uint32_t clusterSize = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCopies = 0;
    uint32_t activeCopy = 0;
    uint32_t sectorsPerFat = 0;
    uint32_t activeFatFirstSector = 0;
    uint32_t rootFirstSector = 0;
    uint32_t dataFirstSector = 0;
    uint32_t rootFirstCluster = 0;
    uint32_t rootSize = 0;
    uint64_t totalSectors = 0;
    uint32_t clusterCount = 0;
    std::string warning;  // the device holds fewer sectors than the volume
};

class CFatVolume : public CVolume {
public:
    CFatVolume();
    ~CFatVolume() override;

    bool Initialize(const std::string& devicePath) override;

    // The probe of the table of file systems (VolumeProbe.h, FatProbe.cpp):
    // FindBootSector, the search Initialize opens by, without the volume.
    static ProbeResult Probe(const BootSource& source);
    // The boot sector the volume opens by, into boot (512 bytes) with its
    // geometry: the first sector; else the FAT32 copy at sector 6 that names
    // itself so; else, when the first sector claims no FAT at all, one
    // rebuilt from the FATs and the root folder (note then says which was
    // used). Damaged with the first sector's reason (or the last one tried)
    // when a sector claims FAT but none is usable; No when none claims FAT.
    static ProbeResult FindBootSector(const BootSource& source, uint8_t* boot, FatBootGeometry& g, std::string& note);
    // The geometry a boot sector gives on a device of deviceLength bytes:
    // Yes with g filled, Damaged with the reason, No when it claims no FAT
    // (or names no type and does not hold up).
    static ProbeResult CheckBootSector(const uint8_t* boot, uint64_t deviceLength, FatBootGeometry& g);
    void DumpVolume() override;
    int GetPartitionType() override { return static_cast<int>(m_fatType); }

    bool BuildIndex(IndexProgress* progress) override;
    std::vector<ReadLoss> IndexReadLosses() const override;
    // Counts a folder cluster the source refused (the folder's walk ends there).
    void NoteUnreadableFolderCluster(uint32_t cluster) { NoteUnreadable(m_unreadableFolderClusters, cluster); }
    void ClearIndex() override;
    bool DumpIndexToCache(IndexProgress* progress) override;
    bool RestoreIndexFromCache(IndexProgress* progress) override;
    void SearchFiles(SearchCriteria* criteria) override;
    bool GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) override;
    bool OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& file) override;
    bool OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) override;
    bool EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool HasLostFolders() override { return !m_lostRoot->deletedFolders.empty(); }
    bool HasDeletedFilesByPath(const std::u16string& path) override;
    bool CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files) override;
    bool CountDeletedFilesByPath(const std::u16string& path, uint32_t& folders, uint32_t& files) override;
    bool GetFileInfo(uint32_t id, bool withDataStatus, FileItemInfo& info) override;
    bool GetIndexEntry(uint32_t id, std::u16string& name, uint32_t& attributes) override;
    bool IsLostFolder(uint32_t id) override;
    bool GetParentFolder(uint32_t id, int32_t& parentId) override;
    DataLayout DataLayoutOf(uint32_t id) override;
    std::unique_ptr<IClusterCursor> CreateClusterCursor() override;
    bool GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) override;
    void OpenFileContent(uint32_t id, bool streams, FileContent& out, const StopFlag* stop) override;
    void ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) override;
    std::u16string GetRecycleBinPath() override;
    uint64_t VolumeSerial() const override { return SerialNumber(); }
    VolumeTraits Traits() const override {
        return {PartitionTypeName(static_cast<int>(m_fatType)), false, false, false, true};
    }
    std::string Label() override { return VolumeLabel(); }
    bool DescribeVolume(VolumeFacts& facts) override;
    bool DescribeItem(uint32_t id, ItemPlacement& out, std::string& why) override;
    bool ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) override;

    // The enumerator over the deleted subfolders and files of one folder node.
    class CEnumDeletedFiles : public IEnumDeletedFiles {
    public:
        CEnumDeletedFiles(CFatVolume* volume, const FatNode* node) : m_volume(volume), m_node(node) {}
        bool Next(FileItemInfo& info, bool namesOnly) override;
        bool Reset() override;

    private:
        CFatVolume* m_volume;
        const FatNode* m_node;
        size_t m_folder = 0;
        size_t m_file = 0;
    };

    // The index tree (never null) and the record or deleted folder of an id (null when unknown).
    const FatExistingDir* IndexRoot() const { return m_indexRoot.get(); }
    // The lost folders (FatLostFolders.cpp) are the deleted folders of this
    // node, which no path reaches (never null).
    const FatExistingDir* LostRoot() const { return m_lostRoot.get(); }
    // The slot a lost folder's own record takes in its id: no entry of its
    // group has it.
    static constexpr uint16_t kLostFolderSlot = 0xFFFF;
    const FatFileInfo* RecordOfId(uint32_t id) const;
    const FatDirInfo* FolderOfId(uint32_t id) const;
    // The existing folder at an engine path ("C:\Docs", "\Docs\", "C:\"), or null.
    const FatExistingDir* FindFolderByPath(const std::u16string& path) const;
    // The live entry at an engine path, looked up through the index and then
    // on disk; isRoot is set (and entry left empty) for the root folder.
    // loopsBack (when given) is set when the entry is a folder whose cluster
    // is that of a folder above it (a loop: its content is not read); a path
    // through such a folder is not found.
    bool FindLiveEntry(const std::u16string& path, FatFileInfo& entry, bool& isRoot, bool* loopsBack = nullptr);
    // Percentage (0-100) of a deleted file's bytes that lie in clusters in use
    // again, the file taken as contiguous from its first cluster; 0 for folders
    // and empty files.
    int32_t DataStatus(const FatFileInfo& info);
    // The first cluster of the folder a node reads (0 for the FAT12/16 root area).
    uint32_t FolderClusterOf(const FatNode* node) const;
    // A FileItemInfo from an index record (times converted; data status when asked).
    FileItemInfo MakeItemInfo(const FatFileInfo& info, bool namesOnly, bool withDataStatus);
    // Limits of the index walks.
    static constexpr uint32_t kMaxFolderDepth = 256;

    // The raw entry of cluster n in the active FAT copy.
    // refused (when given) is set when the entry's FAT sector could not be
    // read from any copy of the FAT.
    bool ReadFatEntry(uint32_t n, uint32_t& value, bool* refused = nullptr);
    // True when cluster c lies in the data area and the FAT allocates it
    // (neither free nor bad): a deleted folder whose first cluster is so was
    // deleted while open and keeps its chain.
    bool IsAllocatedCluster(uint32_t c);
    // The chain of such a deleted folder, at most kFatMaxFolderBytes of it
    // and each cluster once; empty when its first cluster is not allocated.
    std::vector<uint32_t> AllocatedFolderChain(const FatFileInfo& folder);
    // Entries per FAT copy (0 for an unknown type).
    uint32_t FatEntryCount() const;
    // Entry tests on a value read from the FAT.
    bool IsInUse(uint32_t v) const;
    bool IsBad(uint32_t v) const;
    bool IsEndOfChain(uint32_t v) const;
    uint32_t EndOfChainMark() const;

    // Why Initialize failed (empty when it succeeded or the source is simply not FAT).
    const std::string& InitError() const override { return m_initError; }
    // Non-empty when the volume claims more sectors than the device holds.
    const std::string& Warning() const { return m_warning; }

    // Geometry.
    uint32_t FatType() const { return m_fatType; }
    uint32_t FatCopies() const { return m_fatCopies; }
    uint32_t SectorsPerFat() const { return m_sectorsPerFat; }
    uint32_t ActiveCopy() const { return m_activeCopy; }
    uint32_t ActiveFatFirstSector() const { return m_activeFatFirstSector; }
    uint32_t DataFirstSector() const { return m_dataFirstSector; }
    uint32_t RootFirstCluster() const { return m_rootFirstCluster; }
    uint32_t RootSize() const { return m_rootSize; }
    uint32_t RootFirstSector() const { return m_rootFirstSector; }
    uint32_t ReservedSectors() const { return m_reservedSectors; }
    uint64_t TotalSectors() const { return m_totalSectors; }
    // Clusters of the data area (numbered 2 .. ClusterCount() + 1).
    uint32_t ClusterCount() const { return m_clusterCount; }
    // The boot sector's label, else (blank there: "NO NAME" or spaces) the
    // label entry of the root folder (attribute 0x08), as Windows shows it.
    std::string VolumeLabel();
    uint32_t SerialNumber() const;
    // Free clusters counted over the FAT (entries 0 or 1); false if the FAT cannot be read.
    bool CountFreeClusters(uint32_t& freeClusters);
    const uint8_t* BootSector() const { return m_bootSector; }

    // The short-source facts (Volume.h): the volume spans TotalSectors();
    // the clusters from 2 up to the last one that lies whole on the source exist.
    uint64_t VolumeLength() const override { return m_totalSectors * m_sectorSize; }
    uint64_t ClusterEndOnSource() const override;

protected:
    uint64_t ClusterToOffset(uint64_t cluster) const override;
    // The fingerprint regions: the active FAT (every allocation and every
    // freed chain shows there) and the root folder (FAT12/16: its fixed
    // region; FAT32: its cluster chain, RootChain).
    bool HashFingerprintRegions(CFingerprintHasher& hasher) override;
    static constexpr uint32_t kMaxRootClusters = 4096;
    // FAT32: the root folder's cluster chain, at most `most` clusters
    // (kMaxRootClusters or fewer: hostile volumes); false when a FAT entry on
    // the way cannot be read (chain then holds the clusters before it).
    bool RootChain(std::vector<uint32_t>& chain, uint32_t most = kMaxRootClusters);

private:
    // A FAT12/16 boot sector made from what the volume shows (FatGeometry.cpp).
    static bool RebuildBootSector(const BootSource& source, uint8_t* boot);
    bool ReadFatSector(uint32_t sector);
    // Keeps n among the structures the source refused (at most kMaxNotedLosses).
    void NoteUnreadable(std::set<uint32_t>& where, uint32_t n);
    static constexpr size_t kMaxNotedLosses = 1u << 20;
    mutable std::mutex m_lossLock;
    std::set<uint32_t> m_unreadableFatSectors;      // no copy of the FAT gives them
    std::set<uint32_t> m_unreadableFolderClusters;  // clusters of folders the index walk could not read

    uint8_t m_bootSector[512] = {};
    uint32_t m_fatType = 0;
    uint32_t m_fatCopies = 0;
    uint32_t m_sectorsPerFat = 0;
    uint32_t m_activeCopy = 0;
    uint32_t m_activeFatFirstSector = 0;
    uint32_t m_dataFirstSector = 0;
    uint32_t m_rootFirstCluster = 0;
    uint32_t m_rootSize = 0;
    uint32_t m_rootFirstSector = 0;
    uint32_t m_reservedSectors = 0;
    uint64_t m_totalSectors = 0;
    uint32_t m_clusterCount = 0;

    ByteBuffer m_fatSectorCache;
    uint32_t m_cachedFatSector = 0;  // 0 = none yet (sector 0 is the boot sector, never a FAT sector)
    std::mutex m_fatLock;

    std::string m_initError;
    std::string m_warning;

    // The index: the tree and the id table (id -> record, and its folder node when it is one).
    struct IdSlot {
        FatFileInfo* record;
        FatDirInfo* folder;
    };
    void AddDeletedFile(FatNode* node, FatFileInfo entry);
    FatDirInfo* AddDeletedFolder(FatNode* node, const FatFileInfo& entry);
    // Gives every record its id from its folder cluster and slot (FatIndex.h).
    void NumberIds();
    // Bits of a packed id that hold the slot, and the packed id of a slot when it fits.
    uint32_t SlotBits() const;
    bool PackedId(uint32_t folderCluster, uint32_t slot, uint32_t& id) const;
    // The cache reader's read-child step: one record of a node's block; false
    // when the node refuses it. Block ids of new folders go into blocks.
    bool ReadChild(FatNode* node, uint8_t type, const std::vector<uint8_t>& body,
                   std::unordered_map<uint32_t, FatNode*>& blocks);
    // Lists the folder clusters among the free ones that no walk read
    // (readClusters) as lost folders.
    void FindLostFolders(const std::unordered_set<uint32_t>& readClusters, IndexProgress* progress);
    std::unique_ptr<FatExistingDir> m_indexRoot;
    std::unique_ptr<FatExistingDir> m_lostRoot;
    std::unordered_map<uint32_t, IdSlot> m_ids;
    uint64_t m_recordCount = 0;
    // First clusters of the indexed deleted items, made on first use by
    // DataLayoutOf (the recovery workers) and dropped with the index.
    std::mutex m_startsLock;
    std::unordered_set<uint32_t> m_deletedStarts;
    bool m_haveDeletedStarts = false;
    static constexpr uint64_t kMaxRecords = 0xFFFFFFF0u;
};
