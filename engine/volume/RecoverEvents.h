// The contract between the volume's copy loops and whoever drives a recovery.
//
// Every operation that writes recovered data reports each step through
// IRecoverEventCallback and lets the callback decide names, conflicts,
// retries and whether to go on. Every callback answer is a result code:
// negative ends the current item and becomes the operation's own result;
// only E_ABORT ends the whole job. All events arrive on the recovery worker
// thread.
#pragma once

#include <cstdint>
#include <string>

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;  // done with a warning (an existing folder was left unchanged)
inline constexpr HRESULT RECOVER_SKIP_ALL = static_cast<HRESULT>(0x80001234u);
inline constexpr HRESULT RECOVER_SKIP = static_cast<HRESULT>(0x80001235u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Option flags of RecoverFile / RecoverFolder / RecoverClusters.
inline constexpr uint32_t RECOVER_STREAMS = 0x1;     // also write named data streams (NTFS)
inline constexpr uint32_t RECOVER_ATTRIBUTES = 0x2;  // give recreated folders their former attributes
inline constexpr uint32_t RECOVER_CARVED = 0x4;      // items are surface-scan results (cluster runs)

// Event codes of OnEvent.
inline constexpr int32_t RECOVER_EVENT_CANNOT_READ = 10;     // record or entry cannot be opened or read
inline constexpr int32_t RECOVER_EVENT_NO_FILE_NAME = 11;    // NTFS record without $FILE_NAME
inline constexpr int32_t RECOVER_EVENT_NO_DATA = 13;         // no $DATA, or a stream's destination cannot be created
inline constexpr int32_t RECOVER_EVENT_EFS_INCONSISTENT = 20;
inline constexpr int32_t RECOVER_EVENT_EFS_OPEN_FAILED = 21;
inline constexpr int32_t RECOVER_EVENT_EFS_IMPORT_FAILED = 22;

class COutputRoot;

// Output paths are host (UTF-8) paths. Error codes are errno values.
class IRecoverEventCallback {
public:
    virtual ~IRecoverEventCallback() = default;
    // The opened destination every output path lies below (OutputFile.h);
    // null: outputs are reached by their paths.
    virtual COutputRoot* OutputRoot() { return nullptr; }
    // Before an item; may rename the output. Negative: the item is not recovered.
    virtual HRESULT OnItemBegin(uint64_t id, std::string& outputPath, bool isFolder, bool isCarved) = 0;
    // Before the first data of a file.
    virtual HRESULT OnItemSize(uint64_t id, bool isFolder, bool isCarved, uint64_t size) = 0;
    // After an item; the answer becomes the wrapper's result.
    virtual HRESULT OnItemEnd(uint64_t id, const std::string& outputPath, bool isFolder, bool isCarved, HRESULT result) = 0;
    // The output cannot be created. Non-negative: try again with the (possibly
    // changed) path, replacing an existing file when overwrite was set.
    virtual HRESULT OnCreateFailed(std::string& outputPath, bool isFolder, int errorCode, bool& overwrite) = 0;
    virtual HRESULT OnFileBegin(const std::string& outputPath, uint64_t size) = 0;
    virtual HRESULT OnProgress(uint32_t chunkBytes, uint64_t bytesSoFar) = 0;
    // A write failed. Non-negative: the same chunk is written again.
    virtual HRESULT OnWriteFailed(const std::string& outputPath, int errorCode) = 0;
    virtual HRESULT OnFileEnd(const std::string& outputPath, bool complete) = 0;
    virtual HRESULT OnEvent(int32_t eventCode) = 0;
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
