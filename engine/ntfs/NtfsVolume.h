// The volume reader for NTFS.
//
// Initialize reads the boot sector, validates the geometry (sector, cluster
// and MFT record sizes, the MFT's place on the device), loads the five
// system metafiles it keeps open ($MFT, $Volume, the root folder, $Bitmap,
// $UpCase) and the first page of the upper-case table. After that the volume
// reads MFT records through the $MFT data stream, folds names through
// $UpCase, looks names up in folder indexes ($INDEX_ROOT / $INDEX_ALLOCATION
// INDX blocks), resolves paths and walks the cluster bitmap.
//
// Initialize on a source that is not NTFS fails quietly with an empty
// InitError(); on a source that claims NTFS but is broken, InitError() says
// why.
//
// Threads: the $MFT and $Bitmap data attributes have one read position each
// and are shared by the indexing, search, recovery and preview threads;
// every positioning-plus-read on them is done under the record lock. The
// upper-case page has its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ntfs/NtfsFile.h"
#include "platform/LeBytes.h"
#include "engine/volume/Volume.h"
#include "engine/volume/VolumeProbe.h"

// The geometry an NTFS boot sector gives (CNtfsVolume::CheckBootSector).
struct NtfsBootGeometry {
    uint32_t sectorSize = 0;
    uint32_t clusterSize = 0;
    uint32_t mftRecordSize = 0;
    uint32_t indexBlockSize = 0;  // 0 when the boot sector's value is unusable
    uint64_t totalSectors = 0;
    uint64_t totalClusters = 0;
    uint64_t serialNumber = 0;
    uint64_t mftStartCluster = 0;
    uint64_t mftMirrorCluster = 0;
};

// Walks the cluster bitmap ($Bitmap's $DATA) cluster by cluster: bit k of
// byte b is cluster 8b + k. The stream is read in pieces of 1024 bytes under
// the volume's record lock; the walk ends at the volume's last cluster, or
// early when a piece cannot be read.
class CNtfsClusterBitmapWalker {
public:
    static constexpr uint32_t kPieceSize = 1024;

    explicit CNtfsClusterBitmapWalker(CNtfsVolume& volume);
    // False when the volume has no $Bitmap data stream.
    bool IsOpen() const { return m_open; }
    // The next cluster and whether the bitmap marks it free; false at the end.
    bool Next(uint64_t& cluster, bool& isFree);
    // Clusters the walk can visit at most (the volume's cluster count, capped by the bitmap's bits).
    uint64_t Limit() const { return m_limit; }

private:
    bool LoadPiece();

    CNtfsVolume& m_volume;
    bool m_open = false;
    uint64_t m_limit = 0;
    uint64_t m_next = 0;          // next cluster to hand out
    uint64_t m_pieceStart = 0;    // first cluster of the loaded piece
    uint32_t m_pieceBits = 0;     // clusters the loaded piece covers
    uint8_t m_piece[kPieceSize] = {};
};

// One deleted, named record of the file index. The name lives in the
// volume's name pool (nameOffset, nameLength code units) so that an entry
// stays small: the index of a large volume holds one per deleted item.
struct NtfsIndexEntry {
    uint32_t nameOffset = 0;
    uint16_t nameLength = 0;
    uint32_t attributes = 0;  // Windows attribute bits; 0x10 = folder
    uint32_t parent = 0;      // parent record number from the record's $FILE_NAME
};

// One live entry of a folder's $I30 index as a listing shows it (NtfsLive.cpp).
struct NtfsLiveEntry {
    FileItemInfo info;
    uint8_t nameSpace = 0;
};
// Adds the named entries of one index node of folder to out, by record (one
// per record: a long name before the DOS 8.3 one); false when the node
// cannot hold its index header.
bool AddLiveIndexEntries(const LeBytes& node, size_t header, uint32_t folder, std::map<uint32_t, NtfsLiveEntry>& out);
// A hash of the entries' records, names, attributes, sizes and times.
uint64_t NtfsLiveEntriesHash(const std::map<uint32_t, NtfsLiveEntry>& entries);

class CNtfsVolume : public CVolume {
public:
    // The deleted items of one folder (children of the index), in index order.
    class CEnumDeletedFiles : public IEnumDeletedFiles {
    public:
        CEnumDeletedFiles(CNtfsVolume& volume, uint32_t folder);
        bool Next(FileItemInfo& info, bool namesOnly) override;
        bool Reset() override;

    private:
        CNtfsVolume& m_volume;
        uint32_t m_folder;
        size_t m_pos = 0;
        bool m_orphan = false;  // the folder is a lost folder or lies under one
    };
    // The lost folders: nameless folders under the unallocated folder (-1).
    class CEnumOrphanedFiles : public IEnumDeletedFiles {
    public:
        explicit CEnumOrphanedFiles(CNtfsVolume& volume);
        bool Next(FileItemInfo& info, bool namesOnly) override;
        bool Reset() override;

    private:
        CNtfsVolume& m_volume;
        std::set<uint32_t>::const_iterator m_pos;
    };

    // System metafile records.
    static constexpr uint32_t kMftRecord = 0;
    static constexpr uint32_t kVolumeRecord = 3;
    static constexpr uint32_t kMirroredRecords = 4;  // $MFTMirr holds records 0-3
    static constexpr uint32_t kRootRecord = 5;
    // Ids of the names found in index slack (NtfsSlack.cpp) start here, above
    // every record number of an MFT the index covers.
    static constexpr uint32_t kSlackIdBase = 0xF0000000u;
    // A deleted file record that still holds several names (hard links) is
    // one item per name: the name GetInfo gives keeps the record number as
    // its id, each further one gets an id from here up (below kSlackIdBase),
    // in the order of the MFT walk, mapped back to (record, $FILE_NAME).
    static constexpr uint32_t kLinkIdBase = 0xE0000000u;
    // Names of one record taken as items at most (the NTFS link limit).
    static constexpr size_t kMaxLinksPerRecord = 1024;
    static constexpr uint32_t kBitmapRecord = 6;
    static constexpr uint32_t kUpCaseRecord = 10;

    CNtfsVolume();
    ~CNtfsVolume() override;

    bool Initialize(const std::string& devicePath) override;
    void DumpVolume() override;
    int GetPartitionType() override { return kPartitionNtfs; }

    // The probe of the table of file systems (VolumeProbe.h, NtfsProbe.cpp):
    // the first boot sector, the backup in the volume's last sector, and,
    // when the first sector carries no boot signature at all, the MFT's
    // places its geometry is rebuilt from; every boot sector Initialize
    // could open by, checked as Initialize checks it before it reads the MFT.
    static ProbeResult Probe(const BootSource& source);
    // The geometry a boot sector gives on a device of deviceLength bytes: Yes
    // with g filled, Damaged with the reason, No when it is no NTFS boot sector.
    static ProbeResult CheckBootSector(const uint8_t* boot, uint64_t deviceLength, NtfsBootGeometry& g);
    // True when boot, read at byte offset of the window, is the backup boot
    // sector of a volume of bps-byte sectors: the one just past the sector
    // count it gives (a copy elsewhere belongs to some other volume).
    static bool IsBackupBootSector(const uint8_t* boot, uint64_t offset, uint32_t bps);

    // The index, enumeration and search slots (NtfsIndex.cpp, NtfsSearch.cpp, NtfsCache.cpp);
    // recovery is in NtfsRecovery.cpp; the surface-scan cursor is in NtfsScan.cpp.
    bool BuildIndex(IndexProgress* progress) override;
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
    std::unique_ptr<IClusterCursor> CreateClusterCursor() override;
    bool GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) override;
    void OpenFileContent(uint32_t id, bool streams, FileContent& out, const StopFlag* stop) override;
    void ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) override;
    std::u16string GetRecycleBinPath() override;
    bool ListLiveFolder(const std::u16string& path, std::vector<FileItemInfo>& items) override;
    // The live entries of a folder record (see ListLiveFolder).
    bool ListFolderRecord(uint32_t folder, std::vector<FileItemInfo>& items);
    // Set before BuildIndex when the whole tree is to be listed (a recursive
    // listing): the build then reads every record, live ones too, and keeps
    // what a listing shows of each live item, so that listing a folder reads
    // none of its index blocks (NtfsLive.cpp). Off by default: the index
    // alone keeps no live item.
    void KeepLiveItems(bool keep) override { m_keepLiveItems = keep; }
    std::vector<ReadLoss> IndexReadLosses() const override;
    // Counts a record the index build could not read (once however often it is tried).
    void NoteUnreadableRecord(uint32_t n);
    // Whether the last build kept the live items (a completed build with KeepLiveItems).
    bool HasLiveItems() const { return m_liveItemsReady; }

    // Read-only views of the index containers (tests, benchmarks, the command line).
    size_t FileIndexSize() const { return m_fileIndex.size(); }
    size_t ChildrenSize() const { return m_children.size(); }
    const std::set<uint32_t>& LostFolders() const { return m_lostFolders; }
    const std::map<uint32_t, uint32_t>& ExistingFolders() const { return m_existingFolders; }
    // Record numbers of the file index, in order.
    std::vector<uint32_t> FileIndexRecords() const;
    // The record that holds an item's data: the id itself, or for a further
    // link name its record; nameOrdinal (if given) gets which $FILE_NAME
    // names the item, -1 for the one CNtfsFile::GetInfo picks.
    uint32_t ItemRecord(uint32_t id, int* nameOrdinal = nullptr) const;
    size_t LinkNameCount() const { return m_links.size(); }
    // The parent of a file-index entry; false when absent.
    bool GetIndexParent(uint32_t id, uint32_t& parent) const;
    // Bytes the index containers hold (an estimate of their heap use).
    uint64_t IndexMemoryEstimate() const;

    // Reads one of the first records of the MFT straight from the device (the
    // $MFT stream does not exist yet) and parses it; true only for a valid record in use.
    bool ReadMetafileRecord(uint32_t n, CNtfsFile& file);
    // Reads record n through the $MFT data stream under the record lock.
    bool ReadMftRecord(uint32_t n, std::vector<uint8_t>& buffer);

    // Case folding through $UpCase (one 256-character page held at a time),
    // or the standard table when the volume's cannot be read.
    char16_t UpperCase(char16_t u);
    // The volume's $UpCase could not be read: names compare by the standard table.
    bool StandardUpCase() const { return m_standardUpCase; }
    // The whole $UpCase table (65536 characters) for the search's name test,
    // read on first use; null when it cannot be read.
    const char16_t* UpCaseTable();
    // <0, 0, >0: the names compared code unit by code unit after case folding.
    int CompareNames(std::u16string_view a, std::u16string_view b);
    // Checks an INDX block's signature and update sequence in place.
    bool CheckIndexBlock(uint8_t* buffer, uint32_t blockSize);
    // The record number of name inside folder, 0 when absent.
    uint32_t FindChild(std::u16string_view name, uint32_t folder);
    // The same lookup in the index of a folder record already parsed.
    uint32_t FindChildIn(CNtfsFile& folder, std::u16string_view name);
    // The record number of a path ("C:\Docs\a.txt"; an empty path is the root), 0 when a component is absent.
    uint32_t ResolvePath(std::u16string_view path);

    // The shared streams; position and read them only under RecordLock().
    CNtfsFileAttr* MftData() const;
    CNtfsFileAttr* BitmapData() const;
    bool HasBitmapData() const { return BitmapData() != nullptr; }
    std::mutex& RecordLock() { return m_recordLock; }
    // Reads bitmap bytes at a byte offset under the record lock (short at the end).
    bool ReadBitmapBytes(uint64_t byteOffset, void* buffer, uint32_t length, uint32_t& got);

    // Facts of the volume (valid after Initialize).
    const std::string& InitError() const override { return m_initError; }
    uint32_t MftRecordSize() const { return m_mftRecordSize; }
    uint64_t MftStartCluster() const { return m_mftStartCluster; }
    uint64_t MftMirrorCluster() const { return m_mftMirrorCluster; }
    uint32_t IndexBlockSize() const { return m_indexBlockSize; }
    // Records the $MFT data stream holds.
    uint64_t MftRecordCount() const;
    uint64_t TotalSectors() const { return m_totalSectors; }
    uint64_t TotalClusters() const { return m_totalClusters; }
    uint64_t SerialNumber() const { return m_serialNumber; }
    uint64_t VolumeSerial() const override { return m_serialNumber; }
    VolumeTraits Traits() const override { return {"NTFS", true, true, true, false}; }
    std::string Label() override { return VolumeLabelUtf8(); }
    bool DescribeVolume(VolumeFacts& facts) override;
    bool DescribeItem(uint32_t id, ItemPlacement& out, std::string& why) override;
    bool OpenNamedStream(uint32_t id, const std::u16string& stream, std::unique_ptr<IGenericFile>& file) override;
    std::u16string VolumeLabel() const;
    std::string VolumeLabelUtf8() const;
    // Clusters the bitmap marks free; false when the bitmap cannot be read.
    bool CountFreeClusters(uint64_t& freeClusters);

    CNtfsFile& MftFile() { return m_mftFile; }
    CNtfsFile& VolumeFile() { return m_volumeFile; }
    CNtfsFile& RootFile() { return m_rootFile; }
    CNtfsFile& BitmapFile() { return m_bitmapFile; }
    CNtfsFile& UpCaseFile() { return m_upCaseFile; }

    // The short-source fact (Volume.h): the volume spans TotalSectors().
    uint64_t VolumeLength() const override { return m_totalSectors * m_sectorSize; }

protected:
    // The fingerprint regions: record 0 of the MFT (its $BITMAP attribute, and
    // the value itself when resident), the MFT's own bitmap (a bit per record:
    // every file created or deleted flips one) up to kMaxFingerprintBitmap
    // bytes, and the first kLogFileRestartBytes of $LogFile, its two restart
    // pages holding the current log sequence number.
    bool HashFingerprintRegions(CFingerprintHasher& hasher) override;
    static constexpr uint64_t kMaxFingerprintBitmap = 16u << 20;
    static constexpr uint64_t kLogFileRestartBytes = 8192;
    static constexpr uint32_t kLogFileRecord = 2;

private:
    friend class CEnumDeletedFiles;
    friend class CEnumOrphanedFiles;

    // The index (NtfsIndex.cpp).
    // A further link name of a record, met during a chain walk.
    struct PendingLink {
        uint32_t record = 0;
        uint16_t ordinal = 0;
        uint32_t attributes = 0;
        uint32_t parent = 0;
        std::u16string name;
    };
    void ChainWalk(uint32_t record, CNtfsFile& file, bool haveFile);
    // The walk up from start for the item origin (start == origin: the item's
    // own record first, file when given); the further link names of the
    // deleted files that enter the index on the way go to links.
    void WalkChain(uint32_t origin, uint32_t start, CNtfsFile* file, std::vector<PendingLink>& links);
    void CollectLinks(uint32_t record, const CNtfsFile& file, uint32_t attributes, std::vector<PendingLink>& links);
    void AddIndexEntry(uint32_t record, const std::u16string& name, uint32_t attributes, uint32_t parent);
    std::u16string EntryName(const NtfsIndexEntry& e) const;
    const NtfsIndexEntry* FindEntry(uint32_t record) const;
    void SortChildren();
    // Sorts the children pairs and files the live folders the chains met
    // under their parents (ExistingSubfolders): the end of every index build.
    void FinishTree();
    // Files every item that no path from the root or a lost folder reaches
    // (parent references in a loop, a chain that ends in an unreadable
    // record) under a lost folder of its own: where its chain leaves the tree.
    // True when it filed any.
    bool ReachEveryItem();
    // The live folders whose own $FILE_NAME names folder as their parent,
    // as the chain walks met them (whether or not folder's index still lists them).
    std::vector<uint32_t> ExistingSubfolders(uint32_t folder) const;
    // The name, attributes and times of a live record, from its own $FILE_NAME.
    bool LiveRecordInfo(uint32_t record, FileItemInfo& info);
    // [first, last) of the children pairs of folder.
    std::pair<size_t, size_t> ChildRange(uint32_t folder) const;
    void CountUnder(uint32_t folder, uint32_t& folders, uint32_t& files, std::set<uint32_t>& seen);
    void CountByRecord(uint32_t folder, uint32_t& folders, uint32_t& files, std::set<uint32_t>& seen);
    // Data status of a parsed record (not quick): in-use share of its first $DATA.
    static int32_t DataStatusOf(CNtfsFile& file);

    // Names found in the slack of folder indexes (NtfsSlack.cpp), by id.
    struct SlackName {
        uint32_t parent = 0;
        uint32_t attributes = 0;
        uint64_t size = 0;
        uint64_t creation = 0;
        uint64_t modification = 0;
        std::u16string name;
    };
    static constexpr uint32_t kMaxSlackNames = 1u << 20;
    const SlackName* FindSlackName(uint32_t id) const;
    FileItemInfo SlackNameInfo(uint32_t id, const SlackName& s) const;
    // Walks the live folders from the root and lists the deleted names their
    // index blocks hold past their entries.
    void FindSlackNames(IndexProgress* progress);
    void AddSlackName(uint32_t id, SlackName s);
    // The header flags (kRecordInUse, kRecordIsFolder) and sequence number of
    // record n; false when it cannot be read.
    // The flags and sequence number of record n; false when it cannot be
    // read (readError set when the source refused it) or is no record.
    bool ReadRecordHead(uint32_t n, uint16_t& flags, uint16_t& sequence, bool* readError = nullptr);
    static constexpr uint16_t kRecordInUse = 0x1;
    static constexpr uint16_t kRecordIsFolder = 0x2;
    // What the record of each lost folder holds now, read from its header at
    // the end of every build and restore (the cache keeps the record numbers
    // only): a folder's, in use or free; another item's (a record that no
    // longer holds a folder is reused); unreadable; none past the MFT.
    void NoteLostFolderRecords();
    RecordState LostFolderRecord(uint32_t folder) const;
    // Whether folder is a lost folder or its parent references reach one
    // before the root: what lies there is orphaned.
    bool UnderLostFolder(uint32_t folder) const;

    bool Fail(const std::string& reason);
    // Validates the geometry the boot sector at bootOffset gives and reads
    // the metafiles through it; false with InitError() set when it is unusable.
    bool InitializeFromBoot(const uint8_t* boot, uint64_t bootOffset);
    // Visits the nodes of a folder's $I30 index: its root, then each INDX
    // block of $INDEX_ALLOCATION (checked and fixed up) with whether the
    // index's bitmap marks it in use; free blocks only when freeBlocks.
    // visit returns false to end the walk. False without an index root.
    // brokenBlocks (if given) counts the blocks in use that cannot be read or checked.
    bool VisitIndexNodes(CNtfsFile& dir, bool freeBlocks,
                         const std::function<bool(const LeBytes& node, size_t header, bool inUse)>& visit,
                         uint64_t* brokenBlocks = nullptr);
    // A boot sector made from the MFT found where format puts it (NtfsGeometry.cpp).
    static bool RebuildBootSector(const BootSource& source, uint8_t* boot);
    bool LoadUpCasePage(uint32_t page);
    uint32_t SearchIndex(std::u16string_view name, uint32_t folder);

    CNtfsFile m_mftFile;
    CNtfsFile m_volumeFile;
    CNtfsFile m_rootFile;
    CNtfsFile m_bitmapFile;
    CNtfsFile m_upCaseFile;
    uint32_t m_upCasePage = 0;
    CNtfsFileAttr* m_upCaseData = nullptr;
    ByteBuffer m_upCaseBuffer;
    std::mutex m_upCaseLock;
    std::vector<char16_t> m_upCaseTable;  // UpCaseTable(): empty until read
    bool m_standardUpCase = false;         // see StandardUpCase()
    bool m_upCaseTableRead = false;
    uint64_t m_mftStartCluster = 0;
    uint64_t m_mftMirrorCluster = 0;
    uint32_t m_mftRecordSize = 0;
    uint32_t m_indexBlockSize = 0;
    uint64_t m_totalSectors = 0;
    uint64_t m_totalClusters = 0;
    uint64_t m_serialNumber = 0;
    std::mutex m_recordLock;
    std::string m_initError;

    // The index containers (written by the indexing worker only).
    std::map<uint32_t, NtfsIndexEntry> m_fileIndex;                // "file_index"
    std::vector<char16_t> m_namePool;                              // names of the file index
    std::vector<std::pair<uint32_t, uint32_t>> m_children;        // (parent, child), sorted by parent
    bool m_childrenSorted = true;
    std::set<uint32_t> m_lostFolders;
    std::map<uint32_t, RecordState> m_lostFolderRecords;          // see NoteLostFolderRecords
    std::map<uint32_t, uint32_t> m_existingFolders;                // folder -> parent
    std::vector<std::pair<uint32_t, uint32_t>> m_existingChildren; // (parent, folder), sorted by parent
    std::map<uint32_t, SlackName> m_slackNames;                    // id -> name found in index slack
    struct LinkName {
        uint32_t record = 0;
        uint16_t ordinal = 0;  // among the record's $FILE_NAME attributes
    };
    std::map<uint32_t, LinkName> m_links;                          // id -> further link name (kLinkIdBase up)
    uint32_t m_nextLinkId = kLinkIdBase;
    // What the enumerator shows of a deleted file, taken while the index was
    // built from the record in hand, so that listing a folder reads none of
    // its records again (on a USB stick that is the time a listing takes).
    // Sorted by record (the build walks the records in order); a file without
    // them (a cache restored, a name from an extension record) is read.
    struct ItemFacts {
        uint32_t record = 0;
        uint32_t attributes = 0;
        int32_t dataStatus = 0;
        uint64_t size = 0;
        uint64_t creationTime = 0;
        uint64_t modificationTime = 0;
    };
    std::vector<ItemFacts> m_itemFacts;
    const ItemFacts* FindItemFacts(uint32_t record) const;
    // Takes the facts of deleted file r from its record, parsed with its
    // names and data streams (AttrFilter::Facts).
    void NoteItemFacts(uint32_t r, CNtfsFile& full);
    // What a folder's $I30 index shows of a live item, taken from the
    // item's record during the build (KeepLiveItems): one per record and
    // folder its $FILE_NAMEs name (AddLiveItem). Sorted by parent and record
    // after the build.
    struct LiveItem {
        uint32_t parent = 0;
        uint32_t record = 0;
        // In m_liveNames: one code unit with the name's length (low byte; a
        // $FILE_NAME holds at most 255) and namespace (high byte), then the name.
        uint32_t nameOffset = 0;
        uint32_t attributes = 0;
        uint64_t size = 0;
        uint64_t creationTime = 0;
        uint64_t modificationTime = 0;
    };
    bool m_keepLiveItems = false;
    std::vector<uint32_t> m_unreadableRecords;  // records the last index build could not read, sorted
    bool m_liveItemsReady = false;
    bool m_liveItemsPartial = false;  // a record in use could not be noted
    std::vector<LiveItem> m_liveItems;
    std::vector<char16_t> m_liveNames;
    std::vector<uint32_t> m_liveFolders;  // live folder records, sorted
    // Notes the live items of in-use record r, parsed with AttrFilter::Facts.
    void NoteLiveItems(uint32_t r, const CNtfsFile& file);
    // The same straight from the bytes of record r (in use by the MFT's
    // bitmap) when the record stands alone: in use, no extension, no
    // attribute list, no damage. False leaves the record to the parse.
    // scratch holds the record with its update sequence undone.
    bool NoteLiveRecord(uint32_t r, const uint8_t* bytes, std::vector<uint8_t>& scratch);
    // Keeps item (its name aside) named name, or the name in place of the
    // one its record has under the same folder when the index shows it instead.
    void AddLiveItem(LiveItem item, uint8_t nameSpace, std::u16string_view name);
    // The name of a kept item.
    std::u16string_view LiveName(const LiveItem& item) const {
        return {m_liveNames.data() + item.nameOffset + 1, size_t(m_liveNames[item.nameOffset] & 0xFF)};
    }
    // Ends the notes of a build: sorted, and usable only when the build went through.
    void FinishLiveItems(bool complete);
    // ListFolderRecord from the live items.
    bool ListKeptFolder(uint32_t folder, std::vector<FileItemInfo>& items);
    // Adds the live subfolders known to name folder as their parent that found
    // lacks (unlisted: logged as missing from the folder's index).
    void AddKnownSubfolders(uint32_t folder, const std::vector<uint32_t>& known, bool unlisted,
                            std::map<uint32_t, NtfsLiveEntry>& found);
    // found's items in name order.
    void SortedListing(std::map<uint32_t, NtfsLiveEntry>& found, std::vector<FileItemInfo>& items);
    // The live items of folder as its index would list them (no subfolder added).
    void KeptEntries(uint32_t folder, std::map<uint32_t, NtfsLiveEntry>& found);
    // A folder whose index the slack walk read whole: what the index lists
    // (hashed), to hold the kept items against when the build ends.
    struct LiveCheck {
        uint32_t folder = 0;
        uint64_t hash = 0;
        bool broken = false;  // its root or a block in use could not be read
    };
    std::vector<LiveCheck> m_liveChecks;
    void NoteIndexCheck(uint32_t folder, const std::map<uint32_t, NtfsLiveEntry>& entries, bool broken);
    // The search caches (filled by the search thread, read under the general lock).
    std::map<uint32_t, uint32_t> m_searchItemParents;
    std::map<uint32_t, std::pair<std::u16string, uint32_t>> m_searchFolderNames;
};
