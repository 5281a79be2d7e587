#include "OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "app/Log.h"
#include "platform/ProtectedSources.h"

namespace {

constexpr const char* kTempPrefix = ".quarlix-";
constexpr const char* kTempSuffix = ".tmp";

// ".quarlix-<pid>-<n>.tmp": unique in this process, and tells a later run whose it was.
std::string TempName() {
    static std::atomic<uint64_t> counter {0};
    return kTempPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1) + 1) + kTempSuffix;
}

// The pid a temporary name carries; 0 when the name is not one of ours.
pid_t TempNamePid(const char* name) {
    const size_t prefix = std::strlen(kTempPrefix), suffix = std::strlen(kTempSuffix), n = std::strlen(name);
    if (n <= prefix + suffix || std::strncmp(name, kTempPrefix, prefix) != 0 ||
        std::strcmp(name + n - suffix, kTempSuffix) != 0)
        return 0;
    long pid = 0;
    for (size_t i = prefix; i < n - suffix && name[i] != '-'; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 1L << 30) return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

// An unnamed file can be given a name through /proc/self/fd.
bool CanNameUnnamedFiles() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

bool IsPlainName(const std::string& leaf) { return !leaf.empty() && leaf != "." && leaf != ".." && leaf.find('/') == std::string::npos; }

// Without a root: the folder of path opened by its path (the caller's).
int OpenParentByPath(const std::string& path, bool createParents, std::string& leaf, int& err) {
    const auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!IsPlainName(leaf)) {
        err = EINVAL;
        return -1;
    }
    if (createParents) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) err = errno;
    return fd;
}

int OpenParentOf(COutputRoot* root, const std::string& path, bool create, std::string& leaf, int& err) {
    if (root && root->IsOpen()) return root->OpenParent(path, create, leaf, err);
    return OpenParentByPath(path, create, leaf, err);
}

}  // namespace

bool OutputExists(COutputRoot* root, const std::string& path) {
    std::string leaf;
    int err = 0;
    const int dirfd = OpenParentOf(root, path, false, leaf, err);
    if (dirfd < 0) return false;
    struct stat st {};
    const bool exists = ::fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::close(dirfd);
    return exists;
}

std::string FreeNumberedName(COutputRoot* root, const std::string& path) {
    for (unsigned n = 2; n < 100000; ++n) {
        std::string candidate = NumberedConflictName(path, n);
        if (!OutputExists(root, candidate)) return candidate;
    }
    return {};
}

// ---------------------------------------------------------------------------
// The destination

COutputRoot::~COutputRoot() {
    ForgetCache();
    if (m_fd >= 0) ::close(m_fd);
}

void COutputRoot::ForgetCache() {
    if (m_cachedFd >= 0) ::close(m_cachedFd);
    m_cachedFd = -1;
    m_cachedRel.clear();
}

int COutputRoot::Open(const std::string& folder) {
    ForgetCache();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) return errno;
    m_folder = folder;
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();
    m_rules = NameRules {};
    struct statfs fs {};
    if (::fstatfs(m_fd, &fs) == 0) {
        switch (static_cast<uint32_t>(fs.f_type)) {
            case 0x4d44u:      // FAT (vfat, msdos)
            case 0x2011BAB0u:  // exFAT
            case 0x7366746eu:  // NTFS (ntfs3)
            case 0x5346544eu:  // NTFS (the older driver)
            case 0x65735546u:  // FUSE: ntfs-3g, exfat-fuse, fusefat and others that keep Windows names
            case 0xFF534D42u:  // CIFS
            case 0xFE534D42u:  // SMB2
            case 0x517Bu:      // SMB
                m_rules.windows = true;
                break;
            default: break;
        }
        if (fs.f_namelen > 0 && static_cast<size_t>(fs.f_namelen) < m_rules.maxBytes)
            m_rules.maxBytes = static_cast<size_t>(fs.f_namelen);
    }
    Sweep(m_fd);
    return 0;
}

void COutputRoot::Sweep(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !m_swept.emplace(st.st_dev, st.st_ino).second) return;
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(dir)) {
        const pid_t pid = TempNamePid(e->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        // A run still going (or one we may not signal) keeps its files.
        if (::kill(pid, 0) == 0 || errno == EPERM) continue;
        stale.emplace_back(e->d_name);
    }
    ::closedir(dir);
    for (const auto& name : stale) {
        struct stat f {};
        if (::fstatat(fd, name.c_str(), &f, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(f.st_mode)) continue;
        if (::unlinkat(fd, name.c_str(), 0) == 0) {
            ++m_staleRemoved;
            LogWriteLevel(1, "Removed %s, an unfinished file of an interrupted recovery\n", name.c_str());
        }
    }
}

int COutputRoot::OpenParent(const std::string& path, bool create, std::string& leaf, int& err) {
    if (m_fd < 0) {
        err = EBADF;
        return -1;
    }
    const bool under = path.size() > m_folder.size() && path.compare(0, m_folder.size(), m_folder) == 0 &&
                       (m_folder == "/" || path[m_folder.size()] == '/');
    if (!under) {
        err = EXDEV;
        return -1;
    }
    std::string rel = path.substr(m_folder.size());
    while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
    const auto slash = rel.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : rel.substr(0, slash);
    leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (!IsPlainName(leaf)) {
        err = EINVAL;
        return -1;
    }
    if (m_cachedFd >= 0 && parent == m_cachedRel) {
        const int fd = ::fcntl(m_cachedFd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) err = errno;
        return fd;
    }
    int cur = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    size_t start = 0;
    while (cur >= 0 && start < parent.size()) {
        size_t end = parent.find('/', start);
        if (end == std::string::npos) end = parent.size();
        const std::string part = parent.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        if (part == "." || part == "..") {
            ::close(cur);
            err = EINVAL;
            return -1;
        }
        int next = ::openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(cur, part.c_str(), 0777) == 0 || errno == EEXIST)
                next = ::openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            // A link (ELOOP) or a file where a folder is needed: never a way through.
            err = errno == ELOOP ? ENOTDIR : errno;
            ::close(cur);
            return -1;
        }
        ::close(cur);
        cur = next;
    }
    if (cur < 0) {
        err = errno;
        return -1;
    }
    Sweep(cur);
    ForgetCache();
    m_cachedFd = ::fcntl(cur, F_DUPFD_CLOEXEC, 0);
    if (m_cachedFd >= 0) m_cachedRel = parent;
    return cur;
}

// ---------------------------------------------------------------------------
// Files

std::function<int(const std::string&, size_t)>& COutputFile::WriteFaultHook() {
    static std::function<int(const std::string&, size_t)> hook;
    return hook;
}

int COutputFile::Create(const std::string& path, bool overwrite, COutputRoot* root) {
    Close();
    std::string leaf;
    int err = 0;
    const int dirfd = OpenParentOf(root, path, true, leaf, err);
    if (dirfd < 0) return err;
    struct stat st {};
    if (::fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // The source being read is never an output, whatever the callback allowed.
        err = !overwrite ? EEXIST : IsProtectedSource(st) ? EPERM : S_ISDIR(st.st_mode) ? EISDIR : 0;
    } else if (errno != ENOENT) {
        err = errno;
    }
    if (err) {
        ::close(dirfd);
        return err;
    }
    int fd = -1;
    std::string tempName;
    if (CanNameUnnamedFiles()) {
        fd = ::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        // Only a file system without unnamed files goes on to a temporary name.
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            err = errno;
            ::close(dirfd);
            return err;
        }
    }
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        tempName = TempName();
        fd = ::openat(dirfd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        err = errno;
        ::close(dirfd);
        return err;
    }
    m_fd = fd;
    m_dirfd = dirfd;
    m_path = path;
    m_leaf = leaf;
    m_tempName = tempName;
    m_overwrite = overwrite;
    m_written = 0;
    return 0;
}

int COutputFile::Name(const std::string& leaf, bool replace) {
    if (m_tempName.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", m_fd);
        if (!replace) return ::linkat(AT_FDCWD, self, m_dirfd, leaf.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
        // Replacing: a temporary name first, then a rename over the old file.
        for (int attempt = 0; m_tempName.empty(); ++attempt) {
            const std::string temp = TempName();
            if (::linkat(AT_FDCWD, self, m_dirfd, temp.c_str(), AT_SYMLINK_FOLLOW) == 0)
                m_tempName = temp;
            else if (errno != EEXIST || attempt >= 100)
                return errno;
        }
    }
    if (replace) {
        if (::renameat(m_dirfd, m_tempName.c_str(), m_dirfd, leaf.c_str()) != 0) return errno;
        m_tempName.clear();
        return 0;
    }
    if (::renameat2(m_dirfd, m_tempName.c_str(), m_dirfd, leaf.c_str(), RENAME_NOREPLACE) == 0) {
        m_tempName.clear();
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without no-replace renames: look first.
    struct stat st {};
    if (::fstatat(m_dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (::renameat(m_dirfd, m_tempName.c_str(), m_dirfd, leaf.c_str()) != 0) return errno;
    m_tempName.clear();
    return 0;
}

void COutputFile::Release() {
    if (m_fd >= 0) ::close(m_fd);
    if (m_dirfd >= 0) ::close(m_dirfd);
    m_fd = -1;
    m_dirfd = -1;
    m_tempName.clear();
}

int COutputFile::Finish() {
    if (m_fd < 0) return EBADF;
    // The data is on the medium before the name is: a crash leaves no cut file under it.
    if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS) return errno;
    if (const int err = Name(m_leaf, m_overwrite)) return err;
    Release();
    return 0;
}

void COutputFile::Close() {
    if (m_dirfd >= 0 && !m_tempName.empty()) ::unlinkat(m_dirfd, m_tempName.c_str(), 0);
    Release();
}

int COutputFile::Abandon(bool keepPartial, std::string& keptAs) {
    keptAs.clear();
    if (m_fd < 0) return 0;
    if (!keepPartial || m_written == 0) {
        Close();
        return 0;
    }
    // A free name beside it; an existing file is never replaced.
    int last = EEXIST;
    for (unsigned n = 1; n < 1000 && last == EEXIST; ++n) {
        // "NAME.partial", then "NAME (2).partial", ...
        const std::string candidate =
            ShortenName(m_leaf + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".partial", 255);
        last = Name(candidate, false);
        if (last == 0) {
            keptAs = m_path.substr(0, m_path.size() - m_leaf.size()) + candidate;
            Release();
            return 0;
        }
    }
    Close();
    return last;
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

// ---------------------------------------------------------------------------
// The steps of a copy, with the callback's answers

RecoverResult AbandonOutput(IRecoverEventCallback* callback, COutputFile& out, RecoverResult result, bool cancelled) {
    std::string keptAs;
    const std::string path = out.Path();
    const bool owned = out.IsOpen();
    int err = out.Abandon(cancelled, keptAs);
    if (callback && owned) callback->OnOutputAbandoned(path, keptAs, err);
    return result;
}

RecoverResult CreateOutputFile(IRecoverEventCallback* callback, std::string& path, COutputFile& out) {
    bool overwrite = false;
    for (;;) {
        int err = out.Create(path, overwrite, OutputRootOf(callback));
        if (err == 0) return RecoverResult::Ok;
        if (!callback) return RecoverResult::Failed;
        RecoverResult answer = callback->OnCreateFailed(path, false, err, overwrite);
        if (IsFailure(answer)) return answer;
    }
}

namespace {

// Runs one output step, asking OnWriteFailed after each failure; a success answer tries it again.
template <typename Step>
RecoverResult RetryOutputStep(IRecoverEventCallback* callback, const std::string& path, Step&& step) {
    for (;;) {
        int err = step();
        if (err == 0) return RecoverResult::Ok;
        if (!callback) return RecoverResult::Failed;
        RecoverResult answer = callback->OnWriteFailed(path, err);
        if (IsFailure(answer)) return answer;
    }
}

}  // namespace

RecoverResult WriteOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path,
                               const void* data, size_t n) {
    return RetryOutputStep(callback, path, [&] { return out.Write(data, n); });
}

RecoverResult SkipOutputChunk(IRecoverEventCallback* callback, COutputFile& out, const std::string& path, uint64_t n) {
    return RetryOutputStep(callback, path, [&] { return out.Skip(n); });
}

RecoverResult FinishOutput(IRecoverEventCallback* callback, COutputFile& out) {
    const std::string path = out.Path();
    return RetryOutputStep(callback, path, [&] { return out.Finish(); });
}

RecoverResult CreateOutputFolder(IRecoverEventCallback* callback, std::string& path) {
    COutputRoot* root = OutputRootOf(callback);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int err = 0;
        bool isFolder = false;
        std::string leaf;
        const int dirfd = OpenParentOf(root, path, true, leaf, err);
        if (dirfd >= 0) {
            // The folder itself must be new; its parents are made as needed.
            struct stat st {};
            if (::fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                err = EEXIST;
                isFolder = S_ISDIR(st.st_mode);
            } else if (::mkdirat(dirfd, leaf.c_str(), 0777) == 0) {
                ::close(dirfd);
                return RecoverResult::Ok;
            } else {
                err = errno;
            }
            ::close(dirfd);
        }
        if (!callback) return RecoverResult::Failed;
        bool proceed = false;
        const std::string asked = path;
        RecoverResult answer = callback->OnCreateFailed(path, true, err, proceed);
        if (IsFailure(answer)) return answer;
        if (answer == RecoverResult::Kept) return RecoverResult::Kept;
        if (proceed && path == asked) {
            if (isFolder) return RecoverResult::Ok;
            // A link or a file in the way is never merged into: the next free "name (n)".
            std::string free = FreeNumberedName(root, asked);
            if (free.empty()) return RecoverResult::Failed;
            path = std::move(free);
        }
    }
    return RecoverResult::Failed;
}

bool ApplyFolderAttributes(IRecoverEventCallback* callback, const std::string& path, uint32_t attributes) {
    std::string leaf;
    int err = 0;
    const int dirfd = OpenParentOf(OutputRootOf(callback), path, false, leaf, err);
    if (dirfd < 0) return false;
    const int fd = ::openat(dirfd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dirfd);
    if (fd < 0) return false;
    bool applied = false;
    const std::string word = std::to_string(attributes);
    if (::fsetxattr(fd, "user.quarlix.attributes", word.data(), word.size(), 0) == 0) applied = true;
    if (attributes & 0x1) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && ::fchmod(fd, st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) == 0) applied = true;
    } else {
        applied = true;  // nothing to change in the permission bits
    }
    ::close(fd);
    return applied;
}

std::string StreamOutputPath(IRecoverEventCallback* callback, const std::string& path, std::u16string_view stream) {
    const COutputRoot* root = OutputRootOf(callback);
    const NameRules rules = root && root->IsOpen() ? root->Rules() : NameRules {};
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return folder + StreamFileName(slash == std::string::npos ? path : path.substr(slash + 1), stream, rules);
}
