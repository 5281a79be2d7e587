#include "ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/DeviceAccess.h"
#include "platform/DriveList.h"
#include "platform/DeviceStream.h"

namespace {

std::atomic<uint64_t> g_opens {0};

// Opens one file or device read-only; -1 with errno (ESPIPE, ENODEV, EISDIR
// for what is no regular file or block device: a FIFO never waits).
int OpenReadOnly(const std::string& path, struct stat& st) {
    // A descriptor handed over for this path (UDisks2) comes first.
    int fd = DuplicateDeviceDescriptor(path);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        const int e = !stated                                          ? errno
                      : S_ISDIR(st.st_mode)                            ? EISDIR
                      : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? ESPIPE
                                                                       : ENODEV;
        ::close(fd);
        errno = e;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

// OpenReadOnly and the size of what it opened; -1 with error set on failure.
int OpenSized(const std::string& path, struct stat& st, uint64_t& size, ByteSourceError& error) {
    int fd = OpenReadOnly(path, st);
    if (fd >= 0 && !QueryDeviceSize(fd, size)) {
        const int e = errno;
        ::close(fd);
        errno = e;
        fd = -1;
    }
    if (fd < 0) {
        error.errnoValue = errno;
        error.message = OpenErrorMessage(path, errno);
    }
    return fd;
}

int64_t PreadAll(int fd, uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < size) {
        ssize_t r = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

// A block device or one image file.
class CFileSource final : public CByteSource {
public:
    CFileSource(const std::string& path, int fd, bool blockDevice, uint64_t size)
        : CByteSource(path, blockDevice ? SourceMedium::BlockDevice : SourceMedium::ImageFile,
                      blockDevice ? "block device" : "raw image"),
          m_fd(fd) {
        m_size = size;
        m_files = {path};
    }
    ~CFileSource() override { ::close(m_fd); }
    int NativeHandle() const override { return m_fd; }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        return PreadAll(m_fd, offset, buffer, size);
    }

private:
    int m_fd;
};

// A raw image in pieces, read end to end.
class CSplitSource final : public CByteSource {
public:
    struct Piece {
        int fd;
        uint64_t start;
        uint64_t size;
    };
    CSplitSource(const std::string& path, std::vector<std::string> files, std::vector<Piece> pieces)
        : CByteSource(path, SourceMedium::SplitImage, "split raw image"), m_pieces(std::move(pieces)) {
        m_files = std::move(files);
        m_size = m_pieces.empty() ? 0 : m_pieces.back().start + m_pieces.back().size;
    }
    ~CSplitSource() override {
        for (auto& p : m_pieces) ::close(p.fd);
    }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        auto* out = static_cast<uint8_t*>(buffer);
        size_t done = 0;
        // The first piece that ends after offset.
        auto it = std::upper_bound(m_pieces.begin(), m_pieces.end(), offset,
                                   [](uint64_t at, const Piece& p) { return at < p.start + p.size; });
        for (; it != m_pieces.end() && done < size; ++it) {
            const uint64_t at = offset + done - it->start;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, it->size - at));
            const int64_t r = PreadAll(it->fd, at, out + done, n);
            if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
            done += static_cast<size_t>(r);
            if (static_cast<size_t>(r) < n) {
                // A piece shorter now than when the set was opened.
                if (done > 0) return static_cast<int64_t>(done);
                errno = EIO;
                return -1;
            }
        }
        return static_cast<int64_t>(done);
    }

private:
    std::vector<Piece> m_pieces;
};

// The suffix after the last dot when it names a piece of a split set:
// digits ("001") or lower-case letters ("aa"), at least two characters.
bool PieceSuffix(const std::string& path, size_t& dot, bool& numeric) {
    dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string suffix = path.substr(dot + 1);
    if (suffix.size() < 2 || suffix.size() > 4) return false;
    numeric = std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; });
    const bool alpha = std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    return numeric || alpha;
}

// The suffix of piece n (0-based) in the style and width of the first one.
std::string NthSuffix(bool numeric, size_t width, uint64_t firstNumber, uint64_t n) {
    std::string s(width, numeric ? '0' : 'a');
    uint64_t v = numeric ? firstNumber + n : n;
    const unsigned base = numeric ? 10 : 26;
    for (size_t i = width; i-- > 0;) {
        s[i] = static_cast<char>((numeric ? '0' : 'a') + v % base);
        v /= base;
    }
    return v == 0 ? s : std::string();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int64_t CByteSource::ReadCounted(uint64_t offset, void* buffer, size_t size) {
    const int64_t r = ReadMedium(offset, buffer, size);
    if (r > 0) m_bytesRead.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
    if (r != static_cast<int64_t>(size)) m_failedReads.fetch_add(1, std::memory_order_relaxed);
    return r;
}

int64_t CByteSource::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (offset >= m_size || size == 0) return 0;
    if (Gone()) {
        errno = ENODEV;
        return -1;
    }
    if (size > m_size - offset) size = static_cast<size_t>(m_size - offset);
    // A block found unreadable is tried once: a read that starts in one
    // fails at once, a read that reaches one ends before it.
    if (const uint64_t known = FirstKnownUnreadable(offset, size); known != UINT64_MAX) {
        if (known <= offset) {
            errno = EIO;
            return -1;
        }
        size = static_cast<size_t>(known - offset);
    }
    int64_t r = ReadCounted(offset, buffer, size);
    if (r == static_cast<int64_t>(size)) {
        NoteGood(offset, r);
        return r;
    }
    const int savedErrno = errno;
    if (r < 0 && (savedErrno == ENODEV || savedErrno == ENXIO) && RefusalMeansGone(savedErrno)) {
        errno = ENODEV;
        return -1;
    }
    // Short or failed inside the source: narrow it down to the blocks that
    // fail, and return what lies before the first of them.
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t pos = offset + static_cast<uint64_t>(std::max<int64_t>(r, 0));
    const uint64_t end = offset + size;
    while (pos < end) {
        const uint64_t blockEnd = std::min(end, (pos / kErrorBlock + 1) * kErrorBlock);
        const size_t n = static_cast<size_t>(blockEnd - pos);
        const int64_t got = ReadCounted(pos, out + (pos - offset), n);
        if (got != static_cast<int64_t>(n)) {
            const uint64_t failedAt = pos + static_cast<uint64_t>(std::max<int64_t>(got, 0));
            int e = got < 0 ? errno : (savedErrno ? savedErrno : EIO);
            if (e == 0) e = EIO;
            if (RefusalMeansGone(e)) {
                // Not a bad block: the device is no longer there to ask.
                if (failedAt > offset) return static_cast<int64_t>(failedAt - offset);
                errno = ENODEV;
                return -1;
            }
            NoteUnreadable(failedAt - failedAt % kErrorBlock, kErrorBlock);
            if (failedAt == offset) {
                errno = e;
                return -1;
            }
            return static_cast<int64_t>(failedAt - offset);
        }
        NoteGood(pos, got);
        pos = blockEnd;
    }
    return static_cast<int64_t>(size);
}

void CByteSource::NoteGood(uint64_t offset, int64_t got) {
    if (m_streak.load(std::memory_order_relaxed) != 0) m_streak.store(0, std::memory_order_relaxed);
    if (got <= 0 || offset >= (uint64_t(1) << 52)) return;
    const uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(got), kErrorBlock);
    m_goodRange.store(offset << 12 | (length - 1), std::memory_order_relaxed);
}

bool CByteSource::RefusalMeansGone(int e) {
    if (Gone()) return true;
    if (e == ENODEV || e == ENXIO) {
        m_gone.store(true, std::memory_order_release);
        return true;
    }
    using Clock = std::chrono::steady_clock;
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    const uint32_t streak = m_streak.fetch_add(1, std::memory_order_relaxed) + 1;
    if (streak == 1) m_streakStart.store(now, std::memory_order_relaxed);
    const bool longStreak = streak >= 2 && now - m_streakStart.load(std::memory_order_relaxed) >=
                                               int64_t(kProbeAfterSeconds) * 1000000000;
    if (streak < kProbeAfterBlocks && !longStreak) return false;
    return !StillAnswering();
}

bool CByteSource::StillAnswering() {
    // The probe: a range that read well before is read again, its pages
    // dropped first so that the medium itself answers. One thread probes.
    std::unique_lock<std::mutex> probing(m_probeLock, std::try_to_lock);
    if (!probing.owns_lock() || Gone()) return !Gone();
    const uint64_t good = m_goodRange.load(std::memory_order_relaxed);
    if (good == ~uint64_t(0)) return true;  // nothing ever read well: nothing to tell by
    const uint64_t at = good >> 12;
    const size_t length = static_cast<size_t>((good & 0xFFF) + 1);
    if (at >= m_size || length > m_size - at) return true;
    if (const int fd = NativeHandle(); fd >= 0)
        ::posix_fadvise(fd, static_cast<off_t>(at), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
    uint8_t block[kErrorBlock];
    if (ReadCounted(at, block, length) == static_cast<int64_t>(length)) {
        m_streak.store(0, std::memory_order_relaxed);  // a bad region: the device still answers
        return true;
    }
    m_gone.store(true, std::memory_order_release);
    return false;
}

uint64_t CByteSource::FirstKnownUnreadable(uint64_t offset, size_t size) const {
    // Every read asks: a source that never refused a block answers without the lock.
    if (!m_anyUnreadable.load(std::memory_order_acquire)) return UINT64_MAX;
    std::lock_guard<std::mutex> g(m_rangesLock);
    auto it = std::upper_bound(m_unreadable.begin(), m_unreadable.end(), offset,
                               [](uint64_t at, const ByteRange& r) { return at < r.offset + r.length; });
    if (it == m_unreadable.end() || it->offset >= offset + size) return UINT64_MAX;
    return std::max(it->offset, offset);
}

void CByteSource::NoteUnreadable(uint64_t offset, uint64_t length) {
    if (offset >= m_size) return;
    length = std::min(length, m_size - offset);
    std::lock_guard<std::mutex> g(m_rangesLock);
    auto it = std::lower_bound(m_unreadable.begin(), m_unreadable.end(), offset,
                               [](const ByteRange& r, uint64_t at) { return r.offset + r.length < at; });
    if (it != m_unreadable.end() && it->offset <= offset + length) {
        const uint64_t end = std::max(it->offset + it->length, offset + length);
        it->offset = std::min(it->offset, offset);
        it->length = end - it->offset;
        auto next = it + 1;
        while (next != m_unreadable.end() && next->offset <= it->offset + it->length) {
            it->length = std::max(it->offset + it->length, next->offset + next->length) - it->offset;
            next = m_unreadable.erase(next);
        }
        return;
    }
    if (m_unreadable.size() >= kMaxUnreadableRanges) return;
    m_unreadable.insert(it, {offset, length});
    m_anyUnreadable.store(true, std::memory_order_release);
}

uint64_t CByteSource::UnreadableEnd(uint64_t offset) const {
    if (!m_anyUnreadable.load(std::memory_order_acquire)) return offset;
    std::lock_guard<std::mutex> g(m_rangesLock);
    auto it = std::upper_bound(m_unreadable.begin(), m_unreadable.end(), offset,
                               [](uint64_t at, const ByteRange& r) { return at < r.offset + r.length; });
    return it == m_unreadable.end() || it->offset > offset ? offset : it->offset + it->length;
}

void CByteSource::MarkUnreadable(std::vector<ByteRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    // Too many apart: join those with the smallest gaps first, by doubling the
    // gap that is closed until they fit.
    for (uint64_t gap = 1; ranges.size() > kMaxUnreadableRanges / 2; gap *= 2) {
        std::vector<ByteRange> joined;
        for (const ByteRange& r : ranges) {
            if (!joined.empty() && r.offset <= joined.back().offset + joined.back().length + gap)
                joined.back().length = std::max(joined.back().length, r.offset + r.length - joined.back().offset);
            else
                joined.push_back(r);
        }
        ranges.swap(joined);
    }
    for (const ByteRange& r : ranges)
        if (r.length > 0) NoteUnreadable(r.offset, r.length);
}

std::vector<ByteRange> CByteSource::UnreadableRanges() const {
    std::lock_guard<std::mutex> g(m_rangesLock);
    return m_unreadable;
}

std::vector<ByteRange> CByteSource::UnreadableIn(uint64_t offset, uint64_t length) const {
    std::vector<ByteRange> out;
    if (!m_anyUnreadable.load(std::memory_order_acquire) || length > UINT64_MAX - offset) return out;
    std::lock_guard<std::mutex> g(m_rangesLock);
    auto it = std::upper_bound(m_unreadable.begin(), m_unreadable.end(), offset,
                               [](uint64_t at, const ByteRange& r) { return at < r.offset + r.length; });
    for (; it != m_unreadable.end() && it->offset < offset + length; ++it) {
        const uint64_t from = std::max(it->offset, offset);
        out.push_back({from, std::min(it->offset + it->length, offset + length) - from});
    }
    return out;
}

uint64_t CByteSource::UnreadableBytes() const {
    std::lock_guard<std::mutex> g(m_rangesLock);
    uint64_t n = 0;
    for (const auto& r : m_unreadable) n += r.length;
    return n;
}

bool CByteSource::FileStamp(uint64_t& size, int64_t& modifiedNs) const {
    if (m_medium == SourceMedium::BlockDevice || m_files.empty()) return false;
    size = 0;
    modifiedNs = 0;
    for (const auto& f : m_files) {
        struct stat st {};
        if (::stat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        size += static_cast<uint64_t>(st.st_size);
        modifiedNs = std::max<int64_t>(modifiedNs, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                                                       st.st_mtim.tv_nsec);
    }
    return true;
}

std::vector<std::string> SplitSetPieces(const std::string& path, std::string& missing) {
    missing.clear();
    size_t dot = 0;
    bool numeric = false;
    if (!PieceSuffix(path, dot, numeric)) return {};
    const std::string suffix = path.substr(dot + 1);
    const std::string stem = path.substr(0, dot + 1);
    uint64_t first = 0;
    if (numeric) {
        first = std::stoull(suffix);
        // "disk.000" or "disk.001"; "x00"-style names have no dot.
        if (first > 1 || suffix.size() < 3) return {};
    } else if (suffix.find_first_not_of('a') != std::string::npos) {
        return {};
    }
    std::vector<std::string> pieces {path};
    for (uint64_t n = 1;; ++n) {
        const std::string s = NthSuffix(numeric, suffix.size(), first, n);
        if (s.empty()) break;
        const std::string next = stem + s;
        if (Exists(next)) {
            pieces.push_back(next);
            continue;
        }
        // A gap: any later piece means this one is missing.
        for (uint64_t k = n + 1; k < n + 4; ++k) {
            const std::string later = NthSuffix(numeric, suffix.size(), first, k);
            if (!later.empty() && Exists(stem + later)) {
                missing = next;
                return {};
            }
        }
        break;
    }
    return pieces;
}

uint64_t ByteSourceOpenCount() { return g_opens.load(std::memory_order_relaxed); }

std::shared_ptr<CByteSource> OpenPlainFile(const std::string& path, ByteSourceError& error) {
    error = {};
    struct stat st {};
    uint64_t size = 0;
    const int fd = OpenSized(path, st, size, error);
    if (fd < 0) return nullptr;
    return std::make_shared<CFileSource>(path, fd, S_ISBLK(st.st_mode), size);
}

std::shared_ptr<CByteSource> OpenByteSource(const std::string& path, ByteSourceError& error) {
    error = {};
    struct stat st {};
    uint64_t size = 0;
    const int fd = OpenSized(path, st, size, error);
    if (fd < 0) return nullptr;
    if (S_ISBLK(st.st_mode)) {
        ++g_opens;
        return std::make_shared<CFileSource>(path, fd, true, size);
    }

    // An image container, told by its content.
    uint8_t head[4096] = {};
    uint8_t tail[512] = {};
    // A head or tail that cannot be read (a failing medium behind a file)
    // tells no container: the file is then read as a raw image, whose
    // unreadable blocks are named as on a device.
    const int64_t headRead = PreadAll(fd, 0, head, sizeof head);
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(size, sizeof tail));
    const int64_t tailRead = tailSize ? PreadAll(fd, size - tailSize, tail, tailSize) : 0;
    const std::string kind = ContainerKind(head, static_cast<size_t>(std::max<int64_t>(headRead, 0)), tail,
                                           static_cast<size_t>(std::max<int64_t>(tailRead, 0)));
    if (!kind.empty()) {
        ::close(fd);
        auto source = OpenContainerSource(path, kind, error);
        if (source) ++g_opens;
        return source;
    }

    // A split raw set, told by its first piece's name.
    std::string missing;
    std::vector<std::string> pieces = SplitSetPieces(path, missing);
    if (!missing.empty()) {
        ::close(fd);
        error.message = "cannot read the split image " + path + ": its piece " + missing + " is missing";
        return nullptr;
    }
    if (pieces.size() > 1) {
        std::vector<CSplitSource::Piece> parts {{fd, 0, size}};
        uint64_t start = size;
        for (size_t i = 1; i < pieces.size(); ++i) {
            struct stat pst {};
            uint64_t psize = 0;
            const int pfd = OpenSized(pieces[i], pst, psize, error);
            if (pfd < 0) {
                for (auto& p : parts) ::close(p.fd);
                error.message = "cannot read the split image " + path + ": " + error.message;
                return nullptr;
            }
            parts.push_back({pfd, start, psize});
            start += psize;
        }
        // Every piece but the last has the first one's size: one that does
        // not was cut short (or belongs to another set).
        for (size_t i = 1; i + 1 < parts.size(); ++i)
            if (parts[i].size != parts[0].size) {
                error.message = "cannot read the split image " + path + ": its piece " + pieces[i] + " holds " +
                                std::to_string(parts[i].size) + " bytes where every piece before the last holds " +
                                std::to_string(parts[0].size) + " (cut short?)";
                for (auto& p : parts) ::close(p.fd);
                return nullptr;
            }
        ++g_opens;
        return std::make_shared<CSplitSource>(path, std::move(pieces), std::move(parts));
    }
    ++g_opens;
    return std::make_shared<CFileSource>(path, fd, false, size);
}
