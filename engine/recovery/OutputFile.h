// The writer of recovered output, shared by every recovery operation.
//
// A recovery writes into one destination folder, opened once (COutputRoot):
// every file and folder below it is reached from that descriptor one
// component at a time, never following a link, so a symlink placed inside
// the destination is a name in the way, not a path out of it, and paths
// deeper than PATH_MAX work.
//
// A file is written without a name (O_TMPFILE) or under a temporary name
// (".quarlix-<pid>-<n>.tmp") in its folder, flushed, and only then given its
// real name: an interrupted run (a kill, a crash, power loss) never leaves a
// cut file under a real name. Temporary names that a dead run left are
// removed by the next run that writes into the same folder. Nothing existing
// is replaced unless the recovery callback set the overwrite flag, and then
// by a rename, never by writing into the existing file. Error codes are
// errno values.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "engine/volume/OutputNames.h"
#include "engine/recovery/RecoverEvents.h"

class COutputRoot {
public:
    COutputRoot() = default;
    ~COutputRoot();
    COutputRoot(const COutputRoot&) = delete;
    COutputRoot& operator=(const COutputRoot&) = delete;

    // Opens the destination folder (made ready by the caller) and reads the
    // naming rules of its file system; 0 or the errno value.
    int Open(const std::string& folder);
    bool IsOpen() const { return m_fd >= 0; }
    // The folder as opened, without a trailing "/".
    const std::string& Folder() const { return m_folder; }
    const NameRules& Rules() const { return m_rules; }

    // The folder that holds path (a path below Folder()), reached without
    // following links; with create, missing folders on the way are made.
    // Returns a new descriptor (the caller closes it) and the last component
    // in leaf, or -1 with the errno value in err (ENOTDIR: a link or a file
    // stands where a folder is needed; EXDEV: path is not below the root).
    int OpenParent(const std::string& path, bool create, std::string& leaf, int& err);
    // Unfinished files of interrupted earlier runs removed so far.
    uint64_t StaleRemoved() const { return m_staleRemoved; }

private:
    void ForgetCache();
    void Sweep(int fd);

    int m_fd = -1;
    std::string m_folder;
    NameRules m_rules;
    std::string m_cachedRel;  // the folder OpenParent reached last, relative to the root
    int m_cachedFd = -1;
    std::set<std::pair<dev_t, ino_t>> m_swept;  // folders already cleared of stale temporary files
    uint64_t m_staleRemoved = 0;
};

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile() { Close(); }
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Starts path: below root when one is given (else reached through its
    // parent folder's path). 0 on success; EEXIST when a file, folder or
    // link of that name exists and overwrite is not set; EPERM when that
    // name is the source being read; else the errno value.
    int Create(const std::string& path, bool overwrite, COutputRoot* root = nullptr);
    // Writes all n bytes; 0 on success, else the errno value.
    int Write(const void* data, size_t n);
    // Leaves n bytes of zeros as a hole: the file grows by n without data
    // (where the destination keeps sparse files, they cost no space). 0 on
    // success, else the errno value (EFBIG: a length the destination cannot
    // hold).
    int Skip(uint64_t n);
    // Flushes the file and gives it its real name (replacing the existing
    // one only when Create was told to overwrite). 0 on success, else the
    // errno value (the file then stays unfinished: Finish again, or Close).
    int Finish();
    // Drops a file that was not finished; nothing of it stays behind.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // The file's length since Create: bytes written and holes left.
    uint64_t Written() const { return m_written; }
    // Takes back a file that could not be written completely: with
    // keepPartial and some data written it gets a free "NAME.partial" name
    // (keptAs), else it is dropped. Does nothing for a file finished, taken
    // back or never created. 0 on success, else the errno value.
    int Abandon(bool keepPartial, std::string& keptAs);

    // Test hook: called before every write; a non-zero return is taken as the
    // errno of a failed write (a full or failing destination).
    static std::function<int(const std::string& path, size_t n)>& WriteFaultHook();

private:
    // Gives the file the name leaf in its folder; replace allows an existing name to go.
    int Name(const std::string& leaf, bool replace);
    void Release();

    int m_fd = -1;
    int m_dirfd = -1;
    std::string m_path;
    std::string m_leaf;
    std::string m_tempName;  // empty: the file has no name yet (O_TMPFILE)
    bool m_overwrite = false;
    uint64_t m_written = 0;
};

// Where a callback keeps the destination (null: outputs are reached by path).
inline COutputRoot* OutputRootOf(IRecoverEventCallback* callback) {
    return callback ? callback->OutputRoot() : nullptr;
}

// Whether something (a file, a folder, a link) has the name path, below
// root when one is given (else reached through its parent folder's path).
bool OutputExists(COutputRoot* root, const std::string& path);
// The first free "name (n).ext" of path, n from 2; empty when none is.
std::string FreeNumberedName(COutputRoot* root, const std::string& path);

// Creates the output file, asking the callback on every failure
// (OnCreateFailed may rename the path or allow overwriting). Ok with the
// file open, the callback's failure answer, or Failed without a callback.
RecoverResult CreateOutputFile(IRecoverEventCallback* callback, std::string& path, COutputFile& out);
// Flushes and names a completely written output, asking OnWriteFailed on
// failure (a success answer tries again). Failed without a callback.
RecoverResult FinishOutput(IRecoverEventCallback* callback, COutputFile& out);
// Creates a recovered folder with its missing parents. A folder that exists
// already, or any other failure, goes to OnCreateFailed (isFolder true): a
// success answer retries with the possibly renamed path, or uses the
// existing folder when the answer set the proceed flag (a link or a file in
// the way is never merged into: the next free "name (n)" is taken). Failed
// without a callback; Kept when the callback chose to leave an existing
// folder as it was.
RecoverResult CreateOutputFolder(IRecoverEventCallback* callback, std::string& path);
// Gives a recovered folder the attributes of the deleted one: read-only
// clears the write permission bits; the whole attribute word is also kept in
// the extended attribute user.quarlix.attributes where the destination
// supports it. False when nothing could be applied.
bool ApplyFolderAttributes(IRecoverEventCallback* callback, const std::string& path, uint32_t attributes);
// The output path of a named stream of the file written at path, by the
// destination's naming rules (StreamFileName).
std::string StreamOutputPath(IRecoverEventCallback* callback, const std::string& path, std::u16string_view stream);

// Takes back an output whose item ends with the failure result (see
// COutputFile::Abandon): what a cancel cut is kept as NAME.partial, anything
// else is dropped. Tells the callback (OnOutputAbandoned) and returns result.
RecoverResult AbandonOutput(IRecoverEventCallback* callback, COutputFile& out, RecoverResult result, bool cancelled);

// Writes one chunk; on failure asks OnWriteFailed and writes the same chunk
// again while the answer is a success. Failed without a callback.
RecoverResult WriteOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path,
                               const void* data, size_t n);
// Leaves n bytes of zeros as a hole (COutputFile::Skip), asking OnWriteFailed
// on failure like WriteOutputChunk.
RecoverResult SkipOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, uint64_t n);
