// The writer of recovered output, shared by every recovery operation.
//
// Files are created with O_CREAT|O_EXCL, so nothing existing is ever
// replaced unless the recovery callback set the overwrite flag, in which
// case the next attempt opens with O_TRUNC. Error codes are errno values.
#pragma once

#include <cstddef>
#include <functional>
#include <cstdint>
#include <string>

#include "engine/volume/RecoverEvents.h"

class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile() { Close(); }
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // Creates path; 0 on success, else the errno value.
    int Create(const std::string& path, bool overwrite);
    // Writes all n bytes; 0 on success, else the errno value.
    int Write(const void* data, size_t n);
    // Leaves n bytes of zeros as a hole: the file grows by n without data
    // (where the destination keeps sparse files, they cost no space). 0 on
    // success, else the errno value (EFBIG: a length the destination cannot
    // hold).
    int Skip(uint64_t n);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // The file's length since Create: bytes written and holes left.
    uint64_t Written() const { return m_written; }
    // Takes back a file this object created that could not be written
    // completely (open or already closed): with keepPartial and some data
    // written it is renamed to a free "NAME.partial" (keptAs), else removed.
    // Does nothing for a file already taken back or never created. 0 on
    // success, else the errno value (the file then stays where it is).
    int Abandon(bool keepPartial, std::string& keptAs);

    // Marks an open source (by its file descriptor) as never to be written:
    // Create refuses any path that names it (a symlink, a hard link or
    // another node of the same block device included) with EPERM.
    // Sources are counted: each ProtectSource is undone by one ReleaseSource
    // (called while the descriptor is still open), so a file that later takes
    // a closed source's inode number is not refused.
    static void ProtectSource(int fd);
    static void ReleaseSource(int fd);

    // Test hook: called before every write; a non-zero return is taken as the
    // errno of a failed write (a full or failing destination).
    static std::function<int(const std::string& path, size_t n)>& WriteFaultHook();

private:
    int m_fd = -1;
    std::string m_path;
    uint64_t m_written = 0;
    bool m_owned = false;  // created here and not taken back
};

// Creates the output file, asking the callback on every failure
// (OnCreateFailed may rename the path or allow overwriting). Returns S_OK
// with the file open, the callback's negative answer, or E_FAIL without a
// callback.
HRESULT CreateOutputFile(IRecoverEventCallback* callback, std::string& path, COutputFile& out);
// Creates a recovered folder with its missing parents. A folder that exists
// already, or any other failure, goes to OnCreateFailed (isFolder true): a
// non-negative answer retries with the possibly renamed path, or uses the
// existing folder when the answer set the proceed flag. E_FAIL without a
// callback; S_FALSE when the callback chose to leave an existing folder as it
// was.
HRESULT CreateOutputFolder(IRecoverEventCallback* callback, std::string& path);
// Gives a recovered folder the attributes of the deleted one: read-only
// clears the write permission bits; the whole attribute word is also kept in
// the extended attribute user.quarlix.attributes where the destination
// supports it. False when nothing could be applied.
bool ApplyFolderAttributes(const std::string& path, uint32_t attributes);

// Takes back an output whose item ends with the failure hr (see
// COutputFile::Abandon): what a cancel cut is kept as NAME.partial, anything
// else is removed. Tells the callback (OnOutputAbandoned) and returns hr.
HRESULT AbandonOutput(IRecoverEventCallback* callback, COutputFile& out, HRESULT hr, bool cancelled);

// Writes one chunk; on failure asks OnWriteFailed and writes the same chunk
// again while the answer is non-negative. E_FAIL without a callback.
HRESULT WriteOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, const void* data,
                         size_t n);
// Leaves n bytes of zeros as a hole (COutputFile::Skip), asking OnWriteFailed
// on failure like WriteOutputChunk.
HRESULT SkipOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, uint64_t n);
