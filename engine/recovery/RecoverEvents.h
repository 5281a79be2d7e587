// The contract between the writer of recovered files (ItemWriter.h) and
// whoever drives a recovery.
//
// The writer reports each step through IRecoverEventCallback and lets the
// callback decide names, conflicts, retries and whether to go on. Every step
// and every item ends in a RecoverResult; an answer of the callback that is a
// failure ends the current item and becomes its result; only Stopped ends the
// whole job. All events arrive on the recovery worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/volume/ItemReader.h"
#include "engine/volume/WalkResult.h"

enum class RecoverResult : uint8_t {
    Ok,          // done; as an answer: go on (after a failed step: try it again)
    Kept,        // done with a warning: an existing folder was left as it was
    Skip,        // the item is not recovered (a failure, or a deliberate skip)
    SkipAll,     // as Skip, and later failures are skipped without asking
    Stopped,     // the job was stopped: every walk ends
    Failed,      // a step failed and nobody was there to ask
    NotIndexed,  // the item is not in the volume's index
    SourceGone,  // the source stopped answering before the item was written: not attempted
};

inline constexpr bool IsSuccess(RecoverResult r) { return r == RecoverResult::Ok || r == RecoverResult::Kept; }
inline constexpr bool IsFailure(RecoverResult r) { return !IsSuccess(r); }

// Option flags of a recovery.
inline constexpr uint32_t RECOVER_STREAMS = 0x1;     // also write named data streams (NTFS)
inline constexpr uint32_t RECOVER_ATTRIBUTES = 0x2;  // give recreated folders their former attributes
inline constexpr uint32_t RECOVER_CARVED = 0x4;      // items are surface-scan results (cluster runs)

class COutputRoot;

// Output paths are host (UTF-8) paths. Error codes are errno values.
class IRecoverEventCallback {
public:
    virtual ~IRecoverEventCallback() = default;
    // The opened destination every output path lies below (OutputFile.h);
    // null: outputs are reached by their paths.
    virtual COutputRoot* OutputRoot() { return nullptr; }
    // Before an item; may rename the output. A failure: the item is not recovered.
    virtual RecoverResult OnItemBegin(uint64_t id, std::string& outputPath, bool isFolder, bool isCarved) = 0;
    // Before the first data of a file.
    virtual RecoverResult OnItemSize(uint64_t id, bool isFolder, bool isCarved, uint64_t size) = 0;
    // After an item; the answer becomes the item's result.
    virtual RecoverResult OnItemEnd(uint64_t id, const std::string& outputPath, bool isFolder, bool isCarved,
                                    RecoverResult result) = 0;
    // The output cannot be created. A success: try again with the (possibly
    // changed) path, replacing an existing file when overwrite was set; for
    // a folder, Kept leaves the existing folder as it was.
    virtual RecoverResult OnCreateFailed(std::string& outputPath, bool isFolder, int errorCode, bool& overwrite) = 0;
    virtual RecoverResult OnFileBegin(const std::string& outputPath, uint64_t size) = 0;
    // Data written: Stop ends the job, Error fails the item (its data is
    // beyond what was announced).
    virtual WalkResult OnProgress(uint32_t chunkBytes, uint64_t bytesSoFar) = 0;
    // A write failed. A success: the same chunk is written again.
    virtual RecoverResult OnWriteFailed(const std::string& outputPath, int errorCode) = 0;
    // Bytes of the output the source could not give (written as zeros):
    // length bytes from offset, counted in the output.
    virtual void OnUnreadable(const std::string& outputPath, uint64_t offset, uint64_t length) {
        (void)outputPath;
        (void)offset;
        (void)length;
    }
    // Before an incomplete output's OnFileEnd: what it lacks was overwritten
    // by other files (nothing failed to read).
    virtual void OnOverwritten(const std::string& outputPath) { (void)outputPath; }
    virtual RecoverResult OnFileEnd(const std::string& outputPath, bool complete) = 0;
    // The item cannot be recovered for this reason; the answer is its result.
    virtual RecoverResult OnProblem(ItemProblem problem) = 0;
    // An item of the selection (a folder counts once, with its tree) is not
    // attempted: the source stopped answering before it.
    virtual void OnNotAttempted() {}
    // An output that could not be written completely was taken back: removed
    // (keptAs empty), or, when a cancel cut it, renamed to keptAs so that what
    // was written is not lost. errorCode is non-zero when neither worked and
    // the output still lies at outputPath.
    virtual void OnOutputAbandoned(const std::string& outputPath, const std::string& keptAs, int errorCode) {
        (void)outputPath;
        (void)keptAs;
        (void)errorCode;
    }
};
