// The volume reader for exFAT (SD cards above 32 GB, camera cards, large
// USB sticks).
//
// exFAT keeps three structures: the boot region (sectors 0-11, with a copy at
// 12-23, each closed by a checksum sector), the FAT (one 32-bit entry per
// cluster, used only by files whose clusters are not contiguous) and the
// cluster heap, in which the allocation bitmap, the up-case table and the
// root folder are files found through the root folder's own entries. A
// cluster is in use when its bit in the allocation bitmap is set; a file
// whose stream says NoFatChain lies in consecutive clusters and has no FAT
// chain at all.
//
// A deletion clears the in-use bits of the file's entry set and its bitmap
// bits; its first cluster, its sizes and (for a FAT-chained file, as Windows
// deletes) its FAT chain stay. So a deleted contiguous file is recovered
// exactly while its clusters are free; a chained one follows its chain while
// the chain is intact and is otherwise read as consecutive clusters, a guess
// (DataLayout::Assumed) that the content checks verify.
//
// Lost folders: folder clusters that no walk reaches any more (a folder a
// writer shrank, one whose chain was freed, a tree a quick format cut off)
// are found in free space by their entry sets and listed under a node of
// their own, after everything the walk from the root found.
//
// The index is a flat list of items in the order the build met them: item 0
// is the root, every folder (live or deleted) is an item, every deleted file
// is one; live files are kept only when a recursive listing asks for them
// (KeepLiveItems), in a list of their own. An item's id is its index + 1: the build walks the
// volume in one fixed order and the cache stores the list in that order, so
// a rebuild and a restore give the same ids while the volume is unchanged.
//
// Threads: as the other volumes. The bitmap and the up-case table are read
// once when the volume opens; FAT entries go through a one-sector cache under
// the FAT lock. The index is written only by BuildIndex/ClearIndex and the
// cache restore (indexing worker).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/exfat/ExfatEntrySet.h"
#include "engine/volume/Volume.h"
#include "engine/volume/VolumeProbe.h"

// The GetPartitionType code of exFAT (the MBR type byte 7 it shares with
// NTFS cannot tell them apart; this one is the program's own).
inline constexpr int kPartitionExfat = 0x70;

// What a boot region gives (CExfatVolume::CheckBootRegion).
struct ExfatGeometry {
    uint32_t sectorSize = 0;
    uint32_t clusterSize = 0;
    uint64_t volumeSectors = 0;
    uint32_t fatOffset = 0;       // sectors
    uint32_t fatLength = 0;       // sectors
    uint32_t fatCount = 0;        // 1, or 2 on TexFAT
    uint32_t activeFat = 0;
    uint32_t heapOffset = 0;      // sectors
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint32_t serial = 0;
    uint16_t revision = 0;
    uint16_t volumeFlags = 0;
    uint8_t percentInUse = 0;
    std::string warning;          // the device holds fewer sectors than the volume
};

// One item of the index.
struct ExfatItem {
    std::u16string name;
    uint32_t parent = 0;         // the item of the folder that holds it (the root: 0)
    uint32_t slot = 0;           // its file entry's index among the folder's entries
    uint16_t attributes = 0;
    uint8_t streamFlags = 0;
    bool deleted = false;        // its set is free, or a folder above it is deleted
    uint32_t firstCluster = 0;
    uint64_t size = 0;
    uint64_t validSize = 0;
    ExfatTime created, modified;
    int32_t folder = -1;         // folders: their entry in the folder list

    bool IsFolder() const { return (attributes & 0x10) != 0; }
    bool Contiguous() const { return (streamFlags & kExfatNoFatChain) != 0; }
};

// A folder's children in the index, as item numbers in folder order.
struct ExfatFolder {
    uint32_t item = 0;
    uint32_t depth = 0;
    std::vector<uint32_t> deletedFolders;
    std::vector<uint32_t> deletedFiles;
    std::vector<uint32_t> liveFolders;
    std::vector<uint32_t> liveFiles;  // only when live items are kept: numbers in the live-file list
};

// A run of clusters an item's data lies in.
struct ExfatRun {
    uint64_t first = 0;
    uint64_t count = 0;
};

class CExfatVolume : public CVolume {
public:
    CExfatVolume();
    ~CExfatVolume() override;

    bool Initialize(const std::string& devicePath) override;
    // The probe of the table of file systems (ExfatProbe.cpp).
    static ProbeResult Probe(const BootSource& source);
    // The boot region the volume opens by: the main one (sectors 0-11) when
    // its boot sector holds up and its checksum sector agrees, else the
    // backup (12-23; note then says so). No when neither names exFAT.
    static ProbeResult FindBootRegion(const BootSource& source, ExfatGeometry& g, std::string& note);
    // The geometry of one boot sector (512 bytes) on a device of deviceLength bytes.
    static ProbeResult CheckBootSector(const uint8_t* boot, uint64_t deviceLength, ExfatGeometry& g);
    // The boot checksum over sectors 0-10 of a region (11 * sectorSize bytes);
    // the up-case table's checksum is the same rule over all its bytes.
    static uint32_t BootChecksum(const uint8_t* region, uint32_t sectorSize);

    void DumpVolume() override;
    int GetPartitionType() override { return kPartitionExfat; }
    bool BuildIndex(IndexProgress* progress) override;
    std::vector<ReadLoss> IndexReadLosses() const override;
    void ClearIndex() override;
    bool DumpIndexToCache(IndexProgress* progress) override;
    bool RestoreIndexFromCache(IndexProgress* progress) override;
    void SearchFiles(SearchCriteria* criteria) override;
    bool GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) override;
    bool OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& file) override;
    bool OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) override;
    bool EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool HasLostFolders() override;
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
    std::u16string GetRecycleBinPath() override { return FindRecycleBinFolder(); }
    bool ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) override;
    void KeepLiveItems(bool keep) override { m_keepLive = keep; }
    uint64_t VolumeSerial() const override { return m_geometry.serial; }
    const std::string& InitError() const override { return m_initError; }
    VolumeTraits Traits() const override { return {"exFAT", false, false, false, false}; }
    std::string Label() override;
    bool DescribeVolume(VolumeFacts& facts) override;
    bool DescribeItem(uint32_t id, ItemPlacement& out, std::string& why) override;
    uint64_t VolumeLength() const override { return m_geometry.volumeSectors * m_geometry.sectorSize; }
    uint64_t ClusterEndOnSource() const override;

    const ExfatGeometry& Geometry() const { return m_geometry; }
    const ExfatRootFacts& RootFacts() const { return m_root; }
    // The index (read-only after the build).
    const std::vector<ExfatItem>& Items() const { return m_items; }
    const std::vector<ExfatFolder>& Folders() const { return m_folders; }
    // The deleted item of an id, null when the id names none.
    const ExfatItem* ItemOfId(uint32_t id) const;
    static uint32_t IdOf(uint32_t item) { return item + 1; }

    // Allocation of cluster c by the bitmap: 1 in use, 0 free, -1 unknown
    // (its bitmap byte could not be read); clusters outside the heap are in use.
    int ClusterAllocated(uint64_t c) const;
    // Reads n bytes from offset in cluster on, straight from the device
    // (the clusters after it follow on the device); the count read, -1 on an error.
    int64_t ReadHeap(uint64_t cluster, uint32_t offset, void* buffer, size_t n) {
        return ReadDeviceAt(ClusterToOffset(cluster) + offset, buffer, n);
    }
    // The FAT entry of cluster n; false when it cannot be read.
    bool ReadFatEntry(uint32_t n, uint32_t& value);
    // The clusters an item's data lies in: contiguous from the first cluster
    // for a NoFatChain stream; along the FAT chain for a chained one while
    // the chain is intact (chained set), else a guess: the first cluster and
    // the free ones after it. At most the clusters its size needs, cut at
    // the heap's end.
    std::vector<ExfatRun> ItemRuns(const ExfatItem& item, bool* chained = nullptr);
    // Share (0-100) of a deleted file's valid data that lies in clusters in
    // use again; kDataStatusUnknown when the bitmap could not tell.
    int32_t DataStatus(const ExfatItem& item);
    FileItemInfo MakeItemInfo(const ExfatItem& item, uint32_t index, bool namesOnly, bool withDataStatus);
    // The live folder at an engine path ("C:\\Docs\\", "\\Docs"), -1 when none.
    int32_t FindFolderByPath(const std::u16string& path) const;
    // True when two names are one to the volume: equal in its up-case form
    // (its up-case table; case folding when the table could not be read).
    bool SameName(const std::u16string& a, const std::u16string& b) const;

    static constexpr uint32_t kMaxFolderDepth = 256;
    // exFAT folders hold at most 256 MiB of entries.
    static constexpr uint64_t kMaxFolderBytes = 256ull << 20;

protected:
    uint64_t ClusterToOffset(uint64_t cluster) const override;
    // The fingerprint regions: the allocation bitmap (every allocation and
    // every freed cluster shows there) and the root folder.
    bool HashFingerprintRegions(CFingerprintHasher& hasher) override;

private:
    // The bytes of a folder whose data lies in runs (at most kMaxFolderBytes);
    // clusters the source refuses come back as 0xFF bytes, which hold no
    // entry, and are counted. skipAllocated: clusters in use again (a
    // deleted folder's) are left out the same way.
    std::vector<uint8_t> ReadFolder(const std::vector<ExfatRun>& runs, bool skipAllocated);
    // The root folder's runs (its FAT chain, bounded).
    std::vector<ExfatRun> RootRuns();
    // The runs of a folder item (the root, a live or a deleted folder).
    std::vector<ExfatRun> FolderRuns(uint32_t item);
    bool LoadBitmap();
    bool LoadUpcase();
    void NoteUnreadableFolderCluster(uint64_t cluster);
    // Adds an item under folder item parent; returns its number (UINT32_MAX when full).
    uint32_t AddItem(uint32_t parent, const ExfatEntrySet& set, bool deleted);
    void Clear();
    // A folder the walk read whose bytes end within a set: its clusters go
    // on somewhere it no longer says (a folder shrunk after a deletion).
    struct CutFolder {
        uint32_t item = 0;
        uint32_t lastCluster = 0;
        uint32_t slots = 0;         // its entries
        std::vector<uint8_t> tail;  // its last kExfatJoinWindow bytes
    };
    // Free clusters where such a folder went on: its sets from the cut one on.
    struct FolderContinuation {
        uint32_t item = 0;
        uint32_t firstSlot = 0;       // the cut set's slot
        std::vector<uint8_t> prefix;  // the cut set's entries in the folder's bytes
        int32_t first = -1;           // (the first group it goes on in)
        std::vector<ExfatRun> runs;
    };
    struct LostFinds {
        std::vector<uint32_t> folders;  // the lost folders to walk
        std::vector<FolderContinuation> continuations;
    };
    // Lists as lost folders the free clusters that no walk read and that
    // hold entry sets (ExfatLostFolders.cpp), and finds where the cut
    // folders went on; readClusters: every cluster read as a folder's.
    LostFinds FindLostFolders(const std::unordered_set<uint32_t>& readClusters, const std::vector<CutFolder>& cutFolders,
                              IndexProgress* progress);
    // True when item sits below the lost folders.
    bool IsOrphan(const ExfatItem& item) const;

    ExfatGeometry m_geometry;
    ExfatRootFacts m_root;
    std::string m_initError;
    std::vector<uint8_t> m_bitmap;
    std::vector<uint8_t> m_bitmapUnread;  // 1 for each bitmap byte that could not be read
    bool m_bitmapRead = false;
    std::vector<char16_t> m_upcase;
    std::mutex m_fatLock;
    std::vector<uint8_t> m_fatSector;
    uint64_t m_fatSectorAt = UINT64_MAX;
    mutable std::mutex m_lossLock;
    std::set<uint64_t> m_unreadableFolderClusters;

    std::vector<ExfatItem> m_items;
    std::vector<ExfatFolder> m_folders;
    std::vector<ExfatItem> m_liveFiles;  // live files, when KeepLiveItems asked for them
    // First clusters of the deleted files, made on first use by DataLayoutOf
    // (the recovery workers) and dropped with the index.
    std::mutex m_startsLock;
    std::unordered_set<uint32_t> m_deletedStarts;
    bool m_haveDeletedStarts = false;
    bool m_keepLive = false;
    bool m_liveFilesKept = false;  // the index holds the live files (a build asked to keep them)
    // The item that holds the lost folders (its deleted folders), 0 when none.
    uint32_t m_lostRoot = 0;
    // The runs of the lost folders that lie in more than one stretch of
    // clusters, as the index build joined them (an index restored from the
    // cache reads such a folder as its first stretch).
    std::unordered_map<uint32_t, std::vector<ExfatRun>> m_lostFolderRuns;
};
