// A recovery job: a selection of deleted items (index entries or carved
// cluster runs) copied out of the source volume into a destination folder.
//
// The item source is walked twice with the same state: once by the
// size-count pass (sizes needed) and once by RecoverThread; after reporting
// the end it starts over at its first item. RecoverThread runs on the job's
// worker thread; the stop flag is written by the front end and polled by the
// worker and the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/formats/ContentCheck.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/volume/Job.h"
#include "engine/recovery/RecoverEvents.h"
#include "engine/volume/ClusterExtent.h"
#include "engine/volume/Volume.h"

// The id of the virtual folder that holds every lost folder.
inline constexpr uint32_t kLostFoldersItemId = 0xFFFFFFFFu;
// Name of the folder that receives the lost folders, and of each lost folder.
inline constexpr const char* kLostFoldersFolderName = "$LostFolders";
std::string LostFolderName(uint64_t id);  // "Folder<id>"

struct RecoverItem {
    uint32_t attributes = 0;  // 0x10 = folder
    uint64_t id = 0;          // index id, or the first cluster of a carved run
    std::u16string name;      // the name to write the item under (no folder part)
    uint64_t size = 0;        // data size; a folder's deleted-tree size; a carved run's length
    ClusterExtents extents;   // a carved find in pieces: its extents in file order (empty: one run from id)
    std::string subfolder;    // folder under the destination to write into ("" = the destination
                              // itself); its components are cleaned like names, and it is created
};

// Delivers the next item; false at the end (and then starts over).
// needSize is false when the caller does not need the size.
using RecoverItemSource = std::function<bool(bool needSize, RecoverItem& item)>;

struct RecoverJob {
    std::mutex lock;             // guards totalSize
    uint64_t totalSize = 0;
    RecoverItemSource getNextItem;
    CVolume* volume = nullptr;
    std::string destination;     // destination folder
    uint32_t flags = 0;          // RECOVER_STREAMS | RECOVER_ATTRIBUTES | RECOVER_CARVED
    const StopFlag* stop = nullptr;  // the one stop flag of whoever runs the walks (null: none)
};

// What an item adds to the selection's size: a file's size bounded by its
// volume (CVolume::BoundedFileSize); a folder's tree size or a carved run as it is.
uint64_t CountedItemSize(const CVolume& volume, const RecoverItem& item, bool carved);

// The size-count pass: adds every item's size to totalSize; stops at the end
// of the source or when the stop flag is set. onItem (may be empty) is called
// after each item with the count so far and the item's name.
void CountRecoverySize(RecoverJob& job,
                       const std::function<void(uint32_t count, const std::u16string& name)>& onItem = {});

// The worker: hands every item to the writer (ItemWriter.h), which brackets
// each with OnItemBegin / OnItemEnd. Returns Stopped when the job was
// stopped, SourceGone when the volume's source stopped answering (every item
// after that is reported with OnNotAttempted, none is read), else Ok.
RecoverResult RecoverThread(RecoverJob& job, IRecoverEventCallback* callback);

// What a recovery job delivers: the selection's size once counted (before
// any item is written), then one record per ended item.
struct RecoverJobEvent {
    enum class Kind { SizeCounted, ItemEnded };
    Kind kind = Kind::ItemEnded;
    uint64_t totalSize = 0;     // SizeCounted
    RecoverItemRecord record;   // ItemEnded
};

struct RecoverJobSettings {
    std::string destination;     // destination folder (made ready by the caller)
    uint32_t flags = 0;          // RECOVER_STREAMS | RECOVER_ATTRIBUTES | RECOVER_CARVED
    bool countSizes = true;      // the size-count pass first (a source walked only once: false)
    ConflictPolicy conflict = ConflictPolicy::Ask;
    int32_t fileOverwrite = 0;   // up-front overwrite / merge policies (0 ask, 1 always yes, 2 always no)
    int32_t folderMerge = 0;
    IRecoverPrompts* prompts = nullptr;  // null: every question gets the safe answer
    // Files of a guessed layout are checked by their bytes (DataLayout.h);
    // empty: judged by their layout alone.
    ContentCheckFn contentCheck = CheckRecoveredContent;
};

// The recovery as a job: the size-count pass (phase Counting, items counted),
// then RecoverThread through a CRecoverProgress (phase Recovering, bytes
// processed of the selection's size). The item source, the prompts and the
// sink are borrowed and called on the worker. A stop ends the item being
// written (a cut file is kept as NAME.partial) and the job is Stopped;
// items that fail do not fail the job: their records say so. A source that
// stops answering (CByteSource::Gone) fails it with kSourceGoneMessage: what
// was written stays, the file being written ends incomplete, and the items
// not begun are counted (RecoverCounters::notAttempted).
class CRecoverJob : public CJob, private IJobSink<RecoverItemRecord> {
public:
    CRecoverJob(CVolume& volume, RecoverItemSource items, RecoverJobSettings settings, IJobSink<RecoverJobEvent>* sink);
    ~CRecoverJob() override;

    // Counters of the copy (files and folders started and done, bytes).
    RecoverCounters Counters() const { return m_progress.Snapshot(); }
    uint64_t TotalSize() const;

protected:
    JobOutcome Run() override;
    void Refine(JobProgress& progress) const override;

private:
    void OnJobEvent(const RecoverItemRecord& record) override;

    mutable RecoverJob m_job;
    RecoverJobSettings m_settings;
    mutable CRecoverProgress m_progress;
    IJobSink<RecoverJobEvent>* m_sink;
};
