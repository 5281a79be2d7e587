// The recovery job's answer to every event of the volume's copy loops:
// output names and conflict renames, overwrite / merge policies with
// yes-to-all / no-to-all, error prompts, counters, byte totals and
// percentages. Front-end independent: questions go through IRecoverPrompts,
// which the command line answers from its options and the window answers
// with message boxes.
//
// Threads: the IRecoverEventCallback operations (and so the prompts) run on
// the recovery worker; Snapshot() is called by the front end's timer on its
// own thread. Every counter is guarded by one lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/volume/Job.h"
#include "engine/recovery/OutputFile.h"
#include "engine/recovery/RecoverEvents.h"


// The questions the job may ask, and the answers they take.
enum class PromptKind {
    OverwriteFile,     // yes, yes-to-all, no, no-to-all (or a new name)
    MergeFolder,       // yes, yes-to-all, no, no-to-all
    CreateParents,     // yes, no
    CreateFileFailed,  // abort, retry, ignore
    CreateFolderFailed,// abort, retry, ignore
    WriteFailed,       // abort, retry, ignore
    Warning,           // cancel, skip all, skip
};

enum class PromptAnswer { Yes, YesToAll, No, NoToAll, Abort, Retry, Ignore, Cancel, SkipAll, Skip, Rename };

class IRecoverPrompts {
public:
    virtual ~IRecoverPrompts() = default;
    // message is the full text; path the item's output path. For OverwriteFile
    // the front end may answer Rename and put a new path in newPath.
    virtual PromptAnswer Ask(PromptKind kind, const std::string& message, const std::string& path,
                             std::string& newPath) = 0;
};

// One finished item, for the result list and the JSON lines.
struct RecoverItemRecord {
    uint64_t id = 0;
    std::string path;
    bool isFolder = false;
    bool isCarved = false;
    RecoverResult result = RecoverResult::Ok;
    bool incomplete = false;
    uint64_t bytes = 0;
    std::string status;  // status text of a failure or warning: why it failed or was skipped
    bool skipped = false;  // left out on purpose: an existing file or folder of that name was kept
    bool nameOnly = false;  // skipped: only its name is known, its data is gone (counted apart)
    bool unverified = false;  // written whole, but its bytes failed the check of its layout (status says why)
    std::string note;      // what an ok item's layout rests on ("contiguity assumed"), else empty
    std::string originalName;  // the item's own name when the destination could not take it as it is
    // The byte ranges of the file's data the source could not give (written
    // as zeros), in the order met; at most kMaxUnreadableRanges.
    struct Range {
        uint64_t offset = 0;
        uint64_t length = 0;
    };
    static constexpr size_t kMaxUnreadableRanges = 4096;
    std::vector<Range> unreadable;
};

// "ok", "incomplete" (written whole, but part of the source data was lost),
// "unverified" (written whole from a guessed layout, or carved, and the
// check of its bytes contradicts it), "skipped" (left out on purpose) or "failed" (not
// written completely).
const char* RecoverStatusName(const RecoverItemRecord& record);

// How a name conflict with an existing file or folder is settled.
enum class ConflictPolicy {
    Ask,        // rename once by the job's rule, then ask (the overwrite and merge policies)
    Rename,     // the job's rule, then the first free "name (n).ext"; folders likewise
    Overwrite,  // replace the existing file; merge into an existing folder
    Skip,       // keep the existing file (the item counts as skipped); merge into an existing folder
};

// The first step that settles an output name already taken. announced: the
// name is the one the item was given (not one a step before chose);
// carved: a surface-scan find, whose names carry no record number.
enum class ConflictStep {
    Overwrite,  // replace the file; merge into the folder
    Keep,       // keep the file there (the item is skipped)
    RuleName,   // the job's rule: "name (record).ext", else "name (2).ext"
    FreeName,   // the first free "name (n).ext" (none: a file cannot be made, a folder asks)
    Ask,        // the answer given for all, else the user's
};
ConflictStep DecideConflict(ConflictPolicy policy, bool folder, bool announced, bool carved);

struct RecoverCounters {
    int32_t filesStarted = 0, foldersStarted = 0, filesDone = 0, foldersDone = 0;
    uint64_t processedBytes = 0, recoveredBytes = 0, totalSize = 0;
    int32_t filePercent = 0, totalPercent = 0;
    double elapsed = 0;
    std::string currentPath;
    std::string statusText;
    int32_t failed = 0, incomplete = 0, skipped = 0, unverified = 0;
    int32_t notAttempted = 0;  // items not begun because the source stopped answering
    int32_t namesOnly = 0;     // items of which only the name is known: nothing to write, no failure
};

class CRecoverProgress : public IRecoverEventCallback {
public:
    // volume: the source (its type selects the conflict names; GetFolderSize
    // of a failed folder). prompts may be null: every question is then
    // answered with the safe choice (skip, never overwrite).
    CRecoverProgress(CVolume* volume, IRecoverPrompts* prompts, bool carved);

    void SetTotalSize(uint64_t total);
    // Opens the destination folder that every output lies below (0 or the
    // errno value); until then outputs are reached by their paths.
    int OpenDestination(const std::string& folder) { return m_root.Open(folder); }
    COutputRoot* OutputRoot() override { return m_root.IsOpen() ? &m_root : nullptr; }

    RecoverResult OnItemBegin(uint64_t id, std::string& outputPath, bool isFolder, bool isCarved) override;
    RecoverResult OnItemSize(uint64_t id, bool isFolder, bool isCarved, uint64_t size) override;
    RecoverResult OnItemEnd(uint64_t id, const std::string& outputPath, bool isFolder, bool isCarved, RecoverResult result) override;
    RecoverResult OnCreateFailed(std::string& outputPath, bool isFolder, int errorCode, bool& overwrite) override;
    RecoverResult OnFileBegin(const std::string& outputPath, uint64_t size) override;
    WalkResult OnProgress(uint32_t chunkBytes, uint64_t bytesSoFar) override;
    RecoverResult OnWriteFailed(const std::string& outputPath, int errorCode) override;
    void OnUnreadable(const std::string& outputPath, uint64_t offset, uint64_t length) override;
    void OnOverwritten(const std::string& outputPath) override;
    RecoverResult OnFileEnd(const std::string& outputPath, bool complete) override;
    RecoverResult OnProblem(ItemProblem problem) override;
    void OnNotAttempted() override;

    RecoverCounters Snapshot();
    // Records of the items ended so far (the front end takes and clears them).
    std::vector<RecoverItemRecord> TakeRecords();
    // Hands each record to the sink as its item ends (on the worker) instead
    // of keeping it for TakeRecords.
    void SetRecordSink(IJobSink<RecoverItemRecord>* sink) { m_recordSink = sink; }
    // Seconds still to go, from the bytes done so far; -1 when there is no estimate yet.
    double RemainingSeconds();
    // Sets the overwrite and merge policies up front (0 ask, 1 always yes, 2 always no).
    void SetPolicies(int32_t fileOverwrite, int32_t folderMerge);
    void SetConflictPolicy(ConflictPolicy policy);
    // The check of files whose layout the volume only guessed (DataLayout.h);
    // without one, such files are judged by their layout alone.
    void SetContentCheck(ContentCheckFn check) { m_contentCheck = std::move(check); }
    void OnOutputAbandoned(const std::string& outputPath, const std::string& keptAs, int errorCode) override;

private:
    PromptAnswer Ask(PromptKind kind, const std::string& message, const std::string& path, std::string* newPath = nullptr);
    RecoverResult WarningPrompt(const std::string& message, const std::string& path);
    RecoverResult AbortRetryIgnore(PromptKind kind, const std::string& message, const std::string& path);
    std::string ConflictName(const std::string& path);
    // The first free "name (n).ext" of the announced path (n from 2); empty when none is free.
    std::string NextFreeName();
    // The name the n-th item of this run to want path takes (n from 1).
    std::string RunConflictName(const std::string& path, unsigned n) const;
    bool Exists(const std::string& path);
    // Marks the innermost open item (under the lock).
    void MarkSkipped();
    void MarkFailed(const std::string& reason);

    // What is known about an item begun and not yet ended.
    struct OpenItem {
        std::string path;     // its final output path
        std::string original;  // its name as read, when the destination's rules changed it
        bool skipped = false;  // a conflict answer kept the existing file or folder
        bool nameOnly = false;  // only its name is known: there is no data to write
        std::string failure;   // why it could not be written
    };

    std::mutex m_lock;
    CVolume* m_volume;
    IRecoverPrompts* m_prompts;
    bool m_carvedJob;
    VolumeTraits m_traits;

    COutputRoot m_root;
    // Hashes of the file paths this run has given out: a later item that
    // wants one takes the job's next name before any conflict policy applies.
    std::unordered_set<uint64_t> m_claimed;
    bool m_currentLostLetter = false;

    RecoverCounters m_c;
    std::vector<uint64_t> m_startTotals;  // running byte total at each open item's start
    uint64_t m_itemSize = 0;
    uint64_t m_fileSize = 0;
    uint64_t m_fileWritten = 0;
    std::string m_announcedPath;  // the path OnItemBegin handed out (no rename yet while equal)
    std::vector<OpenItem> m_open;  // the items begun and not yet ended, innermost last
    ConflictPolicy m_conflictPolicy = ConflictPolicy::Ask;
    uint64_t m_currentId = 0;
    bool m_currentIsCarved = false;
    bool m_currentIncomplete = false;
    bool m_currentOverwritten = false;  // what the current output lacks was overwritten
    uint32_t m_filesOfItem = 0;  // outputs begun for the current file item (its data first, then named streams)
    std::vector<RecoverItemRecord::Range> m_currentUnreadable;  // of the current file's data
    ContentCheckFn m_contentCheck;
    int32_t m_ignoreAll = 0;
    int32_t m_fileOverwritePolicy = 0;
    int32_t m_folderMergePolicy = 0;
    std::chrono::steady_clock::time_point m_fileStart;
    double m_earlierFilesTime = 0;
    bool m_inFile = false;
    std::vector<RecoverItemRecord> m_records;
    IJobSink<RecoverItemRecord>* m_recordSink = nullptr;
};
