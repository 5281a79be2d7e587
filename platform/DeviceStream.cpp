#include "DeviceStream.h"

#include "platform/DeviceAccess.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool QueryDeviceSize(int fd, uint64_t& size) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
        size = bytes;
        return true;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

CDeviceStream::~CDeviceStream() { Close(); }

bool CDeviceStream::Open(const std::string& path, uint64_t base, uint64_t length) {
    if (m_fd >= 0) return true;
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer. Only a
    // regular file or a block device can be read as a volume (positioned
    // reads); a pipe, FIFO, socket or character device is refused at once.
    // A descriptor handed over for this path (UDisks2) comes first.
    int fd = DuplicateDeviceDescriptor(path);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        const int e = !stated                                          ? errno
                      : S_ISDIR(st.st_mode)                            ? EISDIR
                      : S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? ESPIPE
                                                                       : ENODEV;
        ::close(fd);
        errno = e;
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    uint64_t size = 0;
    if (!QueryDeviceSize(fd, size)) {
        int e = errno;
        ::close(fd);
        errno = e;
        return false;
    }
    m_isBlockDevice = S_ISBLK(st.st_mode);
    if (base > size) base = size;
    uint64_t avail = size - base;
    m_fd = fd;
    m_path = path;
    m_base = base;
    m_length = (length == 0 || length > avail) ? avail : length;
    m_windowFill = 0;
    m_lastEnd = UINT64_MAX;
    m_nextWindow = kMinWindow;
    return true;
}

void CDeviceStream::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    std::lock_guard<std::mutex> g(m_lock);
    m_window.reset();
    m_windowCapacity = 0;
    m_windowFill = 0;
}

int64_t CDeviceStream::ReadDirect(uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < size) {
        ssize_t r = ::pread(m_fd, out + done, size - done, static_cast<off_t>(m_base + offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    m_deviceBytes.fetch_add(done, std::memory_order_relaxed);
    return static_cast<int64_t>(done);
}

bool CDeviceStream::FitRead(uint64_t offset, size_t& size, int64_t& result) const {
    if (m_fd < 0) {
        errno = EBADF;
        result = -1;
        return false;
    }
    result = 0;
    if (offset >= m_length || size == 0) return false;
    if (size > m_length - offset) size = static_cast<size_t>(m_length - offset);
    return true;
}

int64_t CDeviceStream::ReadFresh(uint64_t offset, void* buffer, size_t size) {
    if (int64_t result = 0; !FitRead(offset, size, result)) return result;
    std::lock_guard<std::mutex> g(m_lock);
    m_windowFill = 0;
    m_lastEnd = UINT64_MAX;
    return ReadDirect(offset, buffer, size);
}

bool CDeviceStream::FileStamp(uint64_t& size, int64_t& modifiedNs) const {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<uint64_t>(st.st_size);
    modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

int64_t CDeviceStream::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (int64_t result = 0; !FitRead(offset, size, result)) return result;

    std::lock_guard<std::mutex> g(m_lock);
    auto* out = static_cast<uint8_t*>(buffer);
    size_t copied = 0;
    // Serve the part that lies in the current window.
    if (m_windowFill > 0 && offset >= m_windowStart && offset < m_windowStart + m_windowFill) {
        size_t at = static_cast<size_t>(offset - m_windowStart);
        size_t n = std::min(size, m_windowFill - at);
        std::memcpy(out, m_window.get() + at, n);
        copied = n;
    }
    bool sequential = offset == m_lastEnd || offset == m_strayEnd || copied > 0;
    if (!sequential && m_windowFill > 0 && size <= kStrayRead) {
        // A small read away from the stream the window serves (a FAT sector
        // between a file's clusters): straight to the caller, so that the
        // window, and the read-ahead in it, stays for the stream it interrupted.
        m_strayEnd = offset + size;
        return ReadDirect(offset, out, size);
    }
    m_strayEnd = UINT64_MAX;
    m_lastEnd = offset + size;
    if (copied == size) return static_cast<int64_t>(copied);

    uint64_t pos = offset + copied;
    size_t want = size - copied;
    if (!sequential) m_nextWindow = kMinWindow;
    if (want >= m_nextWindow) {
        // Large requests go straight to the caller's buffer.
        int64_t r = ReadDirect(pos, out + copied, want);
        if (r < 0) return copied > 0 ? static_cast<int64_t>(copied) : -1;
        return static_cast<int64_t>(copied) + r;
    }
    size_t windowSize = m_nextWindow;
    if (sequential && m_nextWindow < kMaxWindow) m_nextWindow = std::min(kMaxWindow, m_nextWindow * 2);
    if (m_windowCapacity < windowSize) {
        m_window.reset(static_cast<uint8_t*>(std::aligned_alloc(kWindowAlignment, windowSize)));
        m_windowCapacity = m_window ? windowSize : 0;
        m_windowFill = 0;
        if (!m_window) {
            // No memory for the window: read straight into the caller's buffer.
            int64_t r = ReadDirect(pos, out + copied, want);
            if (r < 0) return copied > 0 ? static_cast<int64_t>(copied) : -1;
            return static_cast<int64_t>(copied) + r;
        }
    }
    uint64_t fillLen = std::min<uint64_t>(windowSize, m_length - pos);
    int64_t r = ReadDirect(pos, m_window.get(), static_cast<size_t>(fillLen));
    if (r < 0) {
        m_windowFill = 0;
        return copied > 0 ? static_cast<int64_t>(copied) : -1;
    }
    m_windowStart = pos;
    m_windowFill = static_cast<size_t>(r);
    size_t n = std::min(want, m_windowFill);
    std::memcpy(out + copied, m_window.get(), n);
    return static_cast<int64_t>(copied + n);
}
