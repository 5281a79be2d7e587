// The abstract volume reader and the records and interfaces it hands out.
//
// A CVolume owns the open source (read-only), the sector and cluster
// geometry, a one-cluster read cache and a general lock. CNtfsVolume and
// CFatVolume derive from it. Volumes belong to the volume registry; jobs
// borrow them. Objects a volume hands out (files, enumerators) belong to the
// caller and must not outlive the volume.
//
// Threads: ReadRaw is called from several threads at once (preview, recovery,
// scan, indexing) and is serialised by the cache lock. The index is written
// only by the indexing worker while no other job runs on the volume.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/volume/ByteBuffer.h"
#include "engine/volume/DataLayout.h"
#include "engine/volume/ClusterCursor.h"
#include "engine/volume/ClusterExtent.h"
#include "engine/volume/ItemReader.h"
#include "engine/volume/VolumeFacts.h"
#include "engine/volume/VolumeProbe.h"
#include "engine/volume/WalkResult.h"
#include "platform/DeviceStream.h"

struct SearchCriteria;

// The hash of a cache fingerprint (see CVolume::RefreshCacheFingerprint): a
// 64-bit multiply-rotate mix over 8-byte words, which keeps up with a device
// read. The value is never 0, so that a cache header without a fingerprint
// (all zero there) never matches.
class CFingerprintHasher {
public:
    void Add(const void* data, size_t size);
    void AddU64(uint64_t v);
    uint64_t Value() const;
    // Bytes read from the device for the hash (HashSourceRange counts them).
    uint64_t bytesRead = 0;

private:
    uint64_t m_h = 0x243F6A8885A308D3ULL;
    uint64_t m_length = 0;
};

// A stop/cancel flag written by a front end and polled by workers.
using StopFlag = std::atomic<int32_t>;

inline bool IsStopped(const StopFlag* stop) { return stop && stop->load(std::memory_order_relaxed) != 0; }

// Windows file-attribute bits as stored on NTFS and FAT.
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_SPARSE_FILE = 0x200;
inline constexpr uint32_t FILE_ATTRIBUTE_COMPRESSED = 0x800;
inline constexpr uint32_t FILE_ATTRIBUTE_ENCRYPTED = 0x4000;

// Reserved folder ids of the index.
inline constexpr int32_t kNoFolderId = 0;
inline constexpr int32_t kLostFoldersId = -1;
inline constexpr int32_t kRecycleBinId = -2;

// Partition type codes returned by GetPartitionType.
inline constexpr int kPartitionFat12 = 1;
inline constexpr int kPartitionFat16 = 4;
inline constexpr int kPartitionNtfs = 7;
inline constexpr int kPartitionFat32 = 11;

// An item's name and its record are told apart, as forensic tools keep them:
// a name may outlive its record, and a record its name.
//
// The name: in its folder and in use (Live); marked free (Deleted: the name
// a free NTFS record still holds, or a FAT entry marked deleted or lying in a
// deleted folder's clusters); found only in the slack of its folder's index
// (IndexSlack); or none (a lost folder has no name).
enum class NameState : uint8_t { None, Live, Deleted, IndexSlack };
// The record (NTFS: the MFT record; FAT: the directory entry, which is also
// the name): in use; free and still the item's own; reused (it holds another
// item now); unreadable (it could not be read); or none (no record of its
// own, or none known).
enum class RecordState : uint8_t { None, InUse, Free, Reused, Unreadable };

// The words the command line shows for them.
inline const char* NameStateWord(NameState s) {
    switch (s) {
        case NameState::Live: return "live";
        case NameState::Deleted: return "deleted";
        case NameState::IndexSlack: return "index_slack";
        case NameState::None: break;
    }
    return "none";
}
inline const char* RecordStateWord(RecordState s) {
    switch (s) {
        case RecordState::InUse: return "in_use";
        case RecordState::Free: return "free";
        case RecordState::Reused: return "reused";
        case RecordState::Unreadable: return "unreadable";
        case RecordState::None: break;
    }
    return "none";
}

// What the enumerators, GetFileInfo and the search hand to their callers.
// A data status that cannot be told: what records whether the clusters are
// in use again could not be read (FAT sectors no copy of the FAT gives).
constexpr int32_t kDataStatusUnknown = -1;

// No offset from UTC is recorded for a time.
constexpr int16_t kNoTimeOffset = INT16_MIN;

struct FileItemInfo {
    std::u16string name;           // empty for a lost folder
    uint32_t reserved = 0;
    uint64_t size = 0;             // data size in bytes (0 for folders)
    uint32_t attributes = 0;       // Windows attribute bits; 0x10 = folder
    uint64_t creationTime = 0;     // FILETIME: UTC on NTFS, the zone-less wall-clock time on FAT and exFAT
    uint64_t modificationTime = 0; // FILETIME, as creationTime
    // The offset from UTC (minutes) a wall-clock time was written with,
    // where the file system records one (exFAT); kNoTimeOffset when not.
    int16_t creationOffset = kNoTimeOffset;
    int16_t modificationOffset = kNoTimeOffset;
    int32_t dataStatus = 0;        // 0-100: share of the data in clusters allocated again; kDataStatusUnknown
    uint32_t id = 0;               // index id (MFT record number on NTFS, handle on FAT)
    std::u16string recycledPath;   // recycle-bin enumerators: full path of the recycled file
    NameState nameState = NameState::None;
    RecordState recordState = RecordState::None;
    bool orphan = false;           // its folder is gone: a lost folder, or an item under one
};

// A kind of structure an index build could not read: "312 MFT records could
// not be read: the deleted files they held are not listed".
struct ReadLoss {
    uint64_t count = 0;
    std::string what;         // "MFT records", "FAT sectors", "folder clusters"
    std::string consequence;  // "the deleted files they held are not listed"
    std::string Text() const { return std::to_string(count) + " " + what + " could not be read: " + consequence; }
};

// Progress record of a volume's long index operations, owned by the caller.
// An operation sets phase/done/total under the lock, adds 1 to done after
// each unit and then polls the stop flag of whoever runs it.
struct IndexProgress {
    std::mutex lock;
    uint8_t phase = 0;   // 0 idle, 1 enumerating the volume, 2 writing the cache, 3 reading the cache
    uint32_t done = 0;
    uint32_t total = 0;  // 0 until known
    const StopFlag* stop = nullptr;  // the job's stop flag (null: never stopped)

    void Start(uint8_t newPhase, uint32_t newTotal) {
        std::lock_guard<std::mutex> g(lock);
        phase = newPhase;
        done = 0;
        total = newTotal;
    }
    bool Stopped() const { return IsStopped(stop); }
    // Counts one unit; Stop when the caller should stop.
    WalkResult Step() {
        {
            std::lock_guard<std::mutex> g(lock);
            ++done;
        }
        return Stopped() ? WalkResult::Stop : WalkResult::Continue;
    }
};

// Sequential reader of one item's main data.
class IGenericFile {
public:
    virtual ~IGenericFile() = default;
    // Reads up to length bytes; at or past the end returns true with fewer (or 0) bytes.
    virtual bool Read(void* buffer, uint32_t length, uint32_t& bytesRead) = 0;
    virtual bool Rewind() = 0;
    virtual bool IsEof() = 0;
    virtual bool IsValid() = 0;
    virtual uint64_t GetSize() = 0;
    virtual void Dump() = 0;
};

class IEnumDeletedFiles {
public:
    virtual ~IEnumDeletedFiles() = default;
    // Fills info with the next item; false at the end. namesOnly: only name,
    // attributes and id, from the index, without reading the item's record.
    virtual bool Next(FileItemInfo& info, bool namesOnly) = 0;
    virtual bool Reset() = 0;
};

class IEnumExistingFiles {
public:
    virtual ~IEnumExistingFiles() = default;
    virtual bool Next(FileItemInfo& info) = 0;
    virtual bool Reset() = 0;
};

// One recycled item that is still in the recycle bin: the folder that holds
// it (engine path ending in "\\"), its generated name ("$R..." or "D...")
// and the name it had before it was recycled.
struct RecycledItem {
    std::u16string folder;
    std::u16string recycledName;
    std::u16string formerName;
};

class CVolume {
public:
    // The recycle bin's items that still exist (see RecycleBin.cpp).
    class CEnumRBExistingFiles : public IEnumExistingFiles {
    public:
        explicit CEnumRBExistingFiles(CVolume& volume);
        bool Next(FileItemInfo& info) override;
        bool Reset() override;

    private:
        CVolume& m_volume;
        std::map<std::u16string, RecycledItem>::const_iterator m_pos;
    };
    // The recycle bin's items that were emptied and are now deleted items.
    class CEnumRBDeletedFiles : public IEnumDeletedFiles {
    public:
        explicit CEnumRBDeletedFiles(CVolume& volume);
        bool Next(FileItemInfo& info, bool namesOnly) override;
        bool Reset() override;

    private:
        CVolume& m_volume;
        std::map<uint32_t, std::u16string>::const_iterator m_pos;
    };

    CVolume();
    // Slot 0: closes the stream and frees everything the volume owns.
    virtual ~CVolume();
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    // Slot 1: opens the device and reads the boot sector. The device is the
    // source given to UseSource when there is one (devicePath then only names
    // it), else devicePath opened on its own.
    virtual bool Initialize(const std::string& devicePath) = 0;
    // Slot 2: stores the letter, takes the opened source the drive table holds
    // for it and calls Initialize.
    virtual bool OpenDrive(char16_t letter);
    // Reads the volume from an opened source (shared, never opened again)
    // inside the window SetSourceWindow gave. Call before Initialize.
    void UseSource(std::shared_ptr<CByteSource> source) { m_openedSource = std::move(source); }
    // The source the volume reads (null before Initialize opened it).
    std::shared_ptr<CByteSource> Source() const { return m_stream ? m_stream->Source() : nullptr; }
    // Slot 3: writes the volume's parameters to the log ("VOLUME DUMP\n" ... "END VOLUME DUMP\n").
    virtual void DumpVolume() = 0;
    // Slot 4: NTFS 7, FAT12 1, FAT16 4, FAT32 11.
    virtual int GetPartitionType() = 0;
    // Slot 5: cached read of length bytes at offset inside cluster (may run into following clusters).
    virtual bool ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length);
    // Slot 6..9: the index and its cache file.
    virtual bool BuildIndex(IndexProgress* progress) = 0;
    virtual void ClearIndex() = 0;
    virtual bool DumpIndexToCache(IndexProgress* progress) = 0;
    virtual bool RestoreIndexFromCache(IndexProgress* progress) = 0;
    // What the last index build could not read from the source (records,
    // sectors, clusters), each with what it costs the listing; empty when
    // everything was read. An index with losses is not cached, so that the
    // next run reads again and says so again.
    virtual std::vector<ReadLoss> IndexReadLosses() const { return {}; }
    // Slot 10: walks the deleted items and reports matches to the criteria's callback.
    virtual void SearchFiles(SearchCriteria* criteria) = 0;
    // Slot 11: path of the folder holding a search hit, from the parents recorded during the search.
    virtual bool GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) = 0;
    // Slots 12, 13.
    virtual bool OpenFile(uint32_t id, std::unique_ptr<IGenericFile>& file) = 0;
    virtual bool OpenFileByPath(const std::u16string& path, std::unique_ptr<IGenericFile>& file) = 0;
    // Slots 14, 15: folder id -1 lists the lost folders, -2 the recycle bin's deleted items.
    virtual bool EnumDeletedFiles(int32_t folderId, std::unique_ptr<IEnumDeletedFiles>& enumerator) = 0;
    virtual bool EnumDeletedFilesByPath(const std::u16string& path, std::unique_ptr<IEnumDeletedFiles>& enumerator) = 0;
    // Slot 16: the recycle bin's existing items.
    virtual bool EnumExistingFiles(std::unique_ptr<IEnumExistingFiles>& enumerator);
    // Slots 17..19.
    virtual bool HasLostFolders() = 0;
    virtual bool HasRecycledFiles(bool flag);
    virtual bool HasDeletedFilesByPath(const std::u16string& path) = 0;
    // Slot 20: the base handles folder id -2 and returns true when it did.
    virtual bool CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files);
    virtual bool CountDeletedFilesByPath(const std::u16string& path, uint32_t& folders, uint32_t& files) = 0;
    // Slots 22..25.
    virtual bool GetFileInfo(uint32_t id, bool withDataStatus, FileItemInfo& info) = 0;
    virtual bool GetIndexEntry(uint32_t id, std::u16string& name, uint32_t& attributes) = 0;
    virtual bool IsLostFolder(uint32_t id) = 0;
    virtual bool GetParentFolder(uint32_t id, int32_t& parentId) = 0;
    // How much of an item's data layout is on record (DataLayout.h).
    virtual DataLayout DataLayoutOf(uint32_t /*id*/) { return DataLayout::Recorded; }
    // Slot 26: the clusters the surface scan walks, with their allocation
    // state; null when the volume cannot walk its clusters.
    virtual std::unique_ptr<IClusterCursor> CreateClusterCursor() { return nullptr; }
    // Slots 28..31: what recovery reads. The size of a folder's deleted tree
    // (false when stopped or the folder is unknown).
    virtual bool GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) = 0;
    // A file's data and, with streams, its named streams (ItemReader.h).
    virtual void OpenFileContent(uint32_t id, bool streams, FileContent& out, const StopFlag* stop) = 0;
    // A folder's deleted children and, with attributes, its former attributes.
    virtual void ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) = 0;
    // The bytes of extents one after the other (a carved find: one run, or
    // its pieces), each from the start of its cluster on, read through the
    // cluster cache (a block the device refuses reads as zeros); null when
    // the volume has no cluster geometry.
    std::unique_ptr<IItemReader> OpenClusterRuns(const ClusterExtents& extents);
    // Up to length bytes at offset of the data the extents make, read as
    // ReadRaw reads (length in/out; a short count: the source ends or refuses
    // a read there). False when nothing could be read.
    bool ReadExtents(const ClusterExtents& extents, uint64_t offset, uint8_t* buffer, uint32_t& length);
    // Slot 32.
    virtual std::u16string GetRecycleBinPath() = 0;

    // The live (existing) entries of a folder, read from the volume's own
    // structures (NTFS: the folder's index; FAT: the folder's entries along
    // its FAT chain, deleted entries skipped). path is an engine path
    // ("C:\\Docs\\" or "\\Docs"); false when the folder does not exist.
    // Entries carry name, size, attributes and times; id is the record number
    // on NTFS and 0 on FAT.
    virtual bool ListLiveFolder(const std::u16string& /*path*/, std::vector<FileItemInfo>& /*items*/) { return false; }

    // The recycle bin (RecycleBin.cpp). ReloadRecycleBin loads the lists from
    // GetRecycleBinPath(); every BuildIndex that was not cancelled calls it at
    // its end. LoadRecycleBin reads the folder itself and each of its live
    // subfolders (one per user): INFO2 where a folder holds one, else the
    // $I/$R pairs (both $I layouts), live and deleted.
    void ReloadRecycleBin();
    void LoadRecycleBin(const std::u16string& folder);
    void ClearRecycleBin();
    // EnumDeletedFiles(-2) of both file systems.
    bool EnumRecycleBinDeleted(std::unique_ptr<IEnumDeletedFiles>& enumerator);
    // The recycle-bin folder the volume holds at its root ("C:\\$Recycle.Bin\\",
    // "C:\\RECYCLER\\" or "C:\\Recycled\\", the name as stored), empty when none.
    std::u16string FindRecycleBinFolder();
    // Keyed by the recycled file's full path.
    const std::map<std::u16string, RecycledItem>& RecycledExisting() const { return m_rbExisting; }
    const std::map<uint32_t, std::u16string>& RecycledDeleted() const { return m_rbDeleted; }

    // The volume serial number from the boot sector (part of the cache key).
    virtual uint64_t VolumeSerial() const { return 0; }

    // Why Initialize failed on a source whose boot sector this reader
    // recognised (impossible geometry, a truncated image, ...); empty when it
    // did not recognise the source at all.
    virtual const std::string& InitError() const {
        static const std::string none;
        return none;
    }
    // Asks the next index build to keep what a listing shows of every live
    // item as well, so that a recursive listing reads no folder's own
    // structures again; readers that have nothing to gain ignore it.
    virtual void KeepLiveItems(bool /*keep*/) {}
    // What the file system is and can do (VolumeFacts.h).
    virtual VolumeTraits Traits() const { return {}; }
    // The volume label as UTF-8, empty when there is none.
    virtual std::string Label() { return {}; }
    // The facts `info` shows; false when the volume has none (no file system).
    virtual bool DescribeVolume(VolumeFacts& /*facts*/) { return false; }
    // Where item id lies; false with why when what tells it cannot be read.
    virtual bool DescribeItem(uint32_t /*id*/, ItemPlacement& /*out*/, std::string& /*why*/) { return true; }
    // A reader of the named data stream of item id; false when it has none
    // by that name (or the file system keeps no named streams).
    virtual bool OpenNamedStream(uint32_t /*id*/, const std::u16string& /*stream*/,
                                 std::unique_ptr<IGenericFile>& /*file*/) {
        return false;
    }

    // A short source: an image cut short, or a partition table entry shorter
    // than the file system in it. Reads past the end of the source are read
    // errors, so clusters past it count as unavailable (data status), items
    // that need them are incomplete, and the surface scan does not walk them.
    //
    // Bytes the volume spans by its boot sector (0: not known).
    virtual uint64_t VolumeLength() const { return 0; }
    // A file size as a count of what recovering it costs: never more than the
    // volume spans (non-sparse data cannot be larger; holes cost nothing), so
    // a corrupt size field cannot inflate a total.
    uint64_t BoundedFileSize(uint64_t claimed) const {
        const uint64_t span = VolumeLength();
        return span && claimed > span ? span : claimed;
    }
    // The first cluster number that does not lie whole on the source: every
    // cluster below it can be read (FAT: from cluster 2), none from it on.
    virtual uint64_t ClusterEndOnSource() const;
    bool ClusterOnSource(uint64_t cluster) const { return cluster < ClusterEndOnSource(); }
    // "the source is shorter than its volume says ..." when it is, else empty.
    std::string ShortSourceText() const;
    // Non-empty when the volume was opened through its backup boot sector,
    // the first one being damaged: says which sector was used.
    const std::string& BootNote() const { return m_bootNote; }
    // A second file system whose superblock lies in this volume's span
    // (ext2/3/4 at byte 1024, UFS1 at 8192, UFS2 at 65536; OtherFileSystem.cpp):
    // the partition was formatted again and this volume's boot sector may be
    // a leftover. Looked for once the volume opened; kind empty when none.
    struct OtherFileSystem {
        std::string kind;     // "ext2", "ext3", "ext4", "UFS1", "UFS2"
        uint64_t offset = 0;  // byte offset of its superblock in the source
        std::string text;     // the sentence the front ends show and the log has
    };
    const OtherFileSystem& OtherFs() const { return m_otherFileSystem; }
    // Bytes this volume read from its source so far, past every cache of ours.
    uint64_t SourceBytesRead() const { return m_stream ? m_stream->DeviceBytes() : 0; }

    // The cache fingerprint: a hash of what every change to the volume's
    // index must touch (the file system's regions: FAT the active FAT and the
    // root folder, NTFS record 0 of the MFT, the MFT's own bitmap and the
    // restart pages of $LogFile, which carry its current sequence number),
    // read straight from the device past every read cache, and for an image
    // file also its size and modification time. A cache is restored only
    // while the fingerprint it was saved with still matches.
    // RefreshCacheFingerprint reads it afresh; false (and 0) when a region
    // cannot be read.
    bool RefreshCacheFingerprint();
    uint64_t CacheFingerprint() const { return m_fingerprint; }
    bool HasCacheFingerprint() const { return m_fingerprintRead; }
    // Bytes the last refresh read from the device.
    uint64_t FingerprintBytes() const { return m_fingerprintBytes; }
    // What went wrong with this volume's index cache that its user should
    // hear of (it could not be saved, or a damaged one was thrown away), in
    // one sentence; "" when nothing did. The first problem is kept.
    const std::string& CacheProblem() const { return m_cacheProblem; }
    void NoteCacheProblem(const std::string& text) {
        if (m_cacheProblem.empty()) m_cacheProblem = text;
    }

    // Reads count sectors at sector into buffer, outside the cluster cache.
    // A short read at the end is success with the short count.
    bool ReadRawUnbuffered(uint64_t sector, uint32_t count, void* buffer, uint32_t* bytesRead);

    // The native handle behind the stream (device-removal notifications).
    int OsHandle() const { return m_stream ? m_stream->NativeHandle() : -1; }

    bool IsInitialized() const { return m_initialized != 0; }
    char16_t DriveLetter() const { return m_driveLetter; }
    const std::string& DevicePath() const { return m_devicePath; }
    uint32_t ClusterSize() const { return m_clusterSize; }
    uint32_t SectorSize() const { return m_sectorSize; }
    // Byte length of the source (partition length when inside a partition table).
    uint64_t DeviceLength() const { return m_stream ? m_stream->Length() : 0; }
    // Where the source lies on its device: set before Initialize (the drive table does it).
    void SetSourceWindow(uint64_t offset, uint64_t length) {
        m_sourceOffset = offset;
        m_sourceLength = length;
    }
    uint64_t SourceOffset() const { return m_sourceOffset; }
    // The bytes from offset in cluster on that a read error there costs: up
    // to the end of the source's unreadable range, at most to the cluster's
    // end and left. 0 without a cluster size.
    // 0 as well when the source did not refuse the byte there (past its
    // end, a structure that is not there): only read errors are stepped over.
    uint64_t UnreadableSpan(uint64_t cluster, uint32_t offset, uint64_t left) const;
    // True when the source refused the byte at offset (from the volume's start).
    bool SourceRefused(uint64_t offset) const;
    // True when the source holds ranges it cannot give (refused, or marked so by a rescue map).
    bool SourceHasUnreadable() const;
    // The ranges of a file's data (its runs, at most size bytes) that the
    // source cannot give, as offsets in the file, sorted and merged.
    std::vector<ByteRange> UnreadableOf(const std::vector<RunFact>& runs, uint64_t size) const;

    // Number of device reads done by the cached read (tests and benchmarks).
    uint64_t CacheMisses() const { return m_cacheMisses; }

    // The clock of the index cache (seconds since 1970): the time a save
    // records and a restore measures the cache's age against. Null (the
    // default) is the system clock.
    void SetCacheClock(int64_t (*now)()) { m_cacheClock = now; }
    int64_t CacheNow() const;

protected:
    // Opens the device if it is not open yet (a second call is a no-op).
    bool OpenDevice();
    // Byte offset on the device of cluster k (FAT maps through its data area).
    virtual uint64_t ClusterToOffset(uint64_t cluster) const { return cluster * m_clusterSize; }
    // Fills OtherFs() from the superblocks' places (a few KiB read) and logs it.
    void FindOtherFileSystem();
    // Positioned read straight from the stream (no cluster cache).
    int64_t ReadDeviceAt(uint64_t offset, void* buffer, size_t size);
    // The opened device as the boot-sector searches read it (VolumeProbe.h).
    BootSource DeviceBootSource();
    // The file system's part of the fingerprint; false when a region cannot
    // be read whole. The base has none.
    virtual bool HashFingerprintRegions(CFingerprintHasher& /*hasher*/) { return true; }
    // Hashes length bytes at a byte offset of the source, read fresh from the
    // device; false when they cannot all be read.
    bool HashSourceRange(CFingerprintHasher& hasher, uint64_t offset, uint64_t length);

    int32_t m_initialized = 0;
    char16_t m_driveLetter = 0;
    std::string m_devicePath;
    uint32_t m_clusterSize = 0;
    uint32_t m_sectorSize = 0;
    std::string m_bootNote;  // see BootNote()
    OtherFileSystem m_otherFileSystem;  // see OtherFs()
    std::mutex m_generalLock;
    std::unique_ptr<CDeviceStream> m_stream;
    std::shared_ptr<CByteSource> m_openedSource;  // see UseSource
    // The recycle-bin lists (written by the indexing worker only).
    std::map<std::u16string, RecycledItem> m_rbExisting;
    std::map<uint32_t, std::u16string> m_rbDeleted;

private:
    int32_t m_cacheState = 0;  // 0 no buffer yet, 1 valid cluster, 2 last cached read failed
    ByteBuffer m_cacheBuffer;
    uint64_t m_cachedPosition = 0;
    uint64_t m_streamPosition = 0;
    std::mutex m_cacheLock;
    uint64_t m_sourceOffset = 0;
    uint64_t m_sourceLength = 0;
    uint64_t m_cacheMisses = 0;
    int64_t (*m_cacheClock)() = nullptr;
    uint64_t m_maxCluster = 0;  // largest cluster whose byte offset fits 64 bits
    uint64_t m_fingerprint = 0;
    uint64_t m_fingerprintBytes = 0;
    bool m_fingerprintRead = false;
    std::string m_cacheProblem;
};

// The kind of an ext2/3/4 superblock ("ext2", "ext3", "ext4"), "" when the
// bytes are none whose fields agree and fit a source of sourceLength bytes.
std::string ExtSuperblockKind(const uint8_t* sb, size_t size, uint64_t sourceLength);
// True when the bytes are a UFS1 (ufs2 false) or UFS2 superblock, either byte order.
bool IsUfsSuperblock(const uint8_t* sb, size_t size, bool ufs2);

// Display name of a partition type code ("FAT32", "NTFS", ..., "Unknown").
const char* PartitionTypeName(int code);

