#include "OutputFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

namespace {
struct ProtectedSource {
    dev_t dev;
    ino_t ino;
    dev_t rdev;  // block devices: the device itself
    bool block;
    uint32_t users;  // open sources naming this file
};
std::mutex g_protectedLock;
std::vector<ProtectedSource> g_protected;

bool IsProtected(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (const auto& p : g_protected) {
        if (p.dev == st.st_dev && p.ino == st.st_ino) return true;
        if (p.block && S_ISBLK(st.st_mode) && st.st_rdev == p.rdev) return true;
    }
    return false;
}
}  // namespace

void COutputFile::ProtectSource(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (auto& p : g_protected)
        if (p.dev == st.st_dev && p.ino == st.st_ino) {
            ++p.users;
            return;
        }
    g_protected.push_back({st.st_dev, st.st_ino, st.st_rdev, S_ISBLK(st.st_mode), 1});
}

void COutputFile::ReleaseSource(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (auto it = g_protected.begin(); it != g_protected.end(); ++it)
        if (it->dev == st.st_dev && it->ino == st.st_ino) {
            if (--it->users == 0) g_protected.erase(it);
            return;
        }
}

std::function<int(const std::string&, size_t)>& COutputFile::WriteFaultHook() {
    static std::function<int(const std::string&, size_t)> hook;
    return hook;
}

int COutputFile::Create(const std::string& path, bool overwrite) {
    Close();
    // The source being read is never an output, whatever the callback allowed.
    if (overwrite && IsProtected(path)) return EPERM;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return errno;
    m_fd = fd;
    m_path = path;
    m_written = 0;
    m_owned = true;
    return 0;
}

int COutputFile::Abandon(bool keepPartial, std::string& keptAs) {
    keptAs.clear();
    Close();
    if (!m_owned) return 0;
    m_owned = false;
    if (!keepPartial || m_written == 0) {
        if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) return errno;
        return 0;
    }
    // A free name beside it; an existing file is never replaced.
    int last = EEXIST;
    for (unsigned n = 1; n < 1000; ++n) {
        // "NAME.partial", then "NAME (2).partial", ...
        const std::string candidate = m_path + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".partial";
        if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) == 0) {
            keptAs = candidate;
            return 0;
        }
        last = errno;
        if (last == EINVAL || last == ENOSYS) {
            // A file system without no-replace renames: look first.
            struct stat st {};
            if (::lstat(candidate.c_str(), &st) == 0) continue;
            if (::rename(m_path.c_str(), candidate.c_str()) == 0) {
                keptAs = candidate;
                return 0;
            }
            last = errno;
        }
        if (last != EEXIST) break;
    }
    return last;
}

HRESULT AbandonOutput(IRecoverEventCallback* callback, COutputFile& out, HRESULT hr, bool cancelled) {
    std::string keptAs;
    const std::string path = out.Path();
    const bool owned = !path.empty();
    int err = out.Abandon(cancelled, keptAs);
    if (callback && owned) callback->OnOutputAbandoned(path, keptAs, err);
    return hr;
}

int COutputFile::Write(const void* data, size_t n) {
    if (m_fd < 0) return EBADF;
    if (auto& hook = WriteFaultHook()) {
        if (int e = hook(m_path, n)) return e;
    }
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(m_fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            // Leave the file as it was before this chunk so a retry rewrites it whole.
            if (done > 0) ::lseek(m_fd, -static_cast<off_t>(done), SEEK_CUR);
            return e;
        }
        done += static_cast<size_t>(w);
    }
    m_written += n;
    return 0;
}

int COutputFile::Skip(uint64_t n) {
    if (m_fd < 0) return EBADF;
    if (auto& hook = WriteFaultHook()) {
        if (int e = hook(m_path, 0)) return e;
    }
    uint64_t end = 0;
    if (__builtin_add_overflow(m_written, n, &end) || end > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
    // Growing the file first makes the hole and refuses a length the destination cannot hold.
    if (::ftruncate(m_fd, static_cast<off_t>(end)) != 0) return errno;
    if (::lseek(m_fd, static_cast<off_t>(end), SEEK_SET) < 0) return errno;
    m_written = end;
    return 0;
}

void COutputFile::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

HRESULT CreateOutputFile(IRecoverEventCallback* callback, std::string& path, COutputFile& out) {
    bool overwrite = false;
    for (;;) {
        int err = out.Create(path, overwrite);
        if (err == 0) return S_OK;
        if (!callback) return E_FAIL;
        HRESULT hr = callback->OnCreateFailed(path, false, err, overwrite);
        if (FAILED(hr)) return hr;
    }
}

namespace {

// Runs one output step, asking OnWriteFailed after each failure; a non-negative answer tries it again.
template <typename Step>
HRESULT RetryOutputStep(IRecoverEventCallback* callback, const std::string& path, Step&& step) {
    for (;;) {
        int err = step();
        if (err == 0) return S_OK;
        if (!callback) return E_FAIL;
        HRESULT hr = callback->OnWriteFailed(path, err);
        if (FAILED(hr)) return hr;
    }
}

}  // namespace

HRESULT WriteOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, const void* data,
                         size_t n) {
    return RetryOutputStep(callback, path, [&] { return out.Write(data, n); });
}

HRESULT SkipOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, uint64_t n) {
    return RetryOutputStep(callback, path, [&] { return out.Skip(n); });
}

HRESULT CreateOutputFolder(IRecoverEventCallback* callback, std::string& path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::error_code ec;
        int err = 0;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            err = EEXIST;
        } else {
            // Parents are created as needed; the folder itself must be new.
            std::filesystem::path p(path);
            if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
            if (::mkdir(path.c_str(), 0777) == 0) return S_OK;
            err = errno;
        }
        if (!callback) return E_FAIL;
        bool proceed = false;
        HRESULT hr = callback->OnCreateFailed(path, true, err, proceed);
        if (FAILED(hr)) return hr;
        if (hr == S_FALSE) return S_FALSE;
        if (proceed) {
            if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return S_OK;
            // "Proceed" into something that is not a folder cannot work: ask again.
        }
    }
    return E_FAIL;
}

bool ApplyFolderAttributes(const std::string& path, uint32_t attributes) {
    bool applied = false;
    std::string word = std::to_string(attributes);
    if (::setxattr(path.c_str(), "user.quarlix.attributes", word.data(), word.size(), 0) == 0) applied = true;
    if (attributes & 0x1) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && ::chmod(path.c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            applied = true;
    } else {
        applied = true;  // nothing to change in the permission bits
    }
    return applied;
}
