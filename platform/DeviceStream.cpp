#include "DeviceStream.h"

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

bool CDeviceStream::Open(std::shared_ptr<CByteSource> source, uint64_t base, uint64_t length) {
    if (m_source) return true;
    if (!source) {
        errno = EBADF;
        return false;
    }
    const uint64_t size = source->Size();
    if (base > size) base = size;
    const uint64_t avail = size - base;
    m_path = source->Name();
    m_source = std::move(source);
    m_base = base;
    m_length = (length == 0 || length > avail) ? avail : length;
    std::lock_guard<std::mutex> g(m_lock);
    for (Window& w : m_windows) w = Window();
    m_strayEnd = UINT64_MAX;
    return true;
}

bool CDeviceStream::Open(const std::string& path, uint64_t base, uint64_t length) {
    if (m_source) return true;
    ByteSourceError error;
    auto source = OpenByteSource(path, error);
    if (!source) {
        errno = error.errnoValue ? error.errnoValue : EINVAL;
        return false;
    }
    return Open(std::move(source), base, length);
}

void CDeviceStream::Close() {
    m_source.reset();
    std::lock_guard<std::mutex> g(m_lock);
    for (Window& w : m_windows) w = Window();
}

int64_t CDeviceStream::ReadDirect(uint64_t offset, void* buffer, size_t size) {
    const int64_t r = m_source->ReadAt(m_base + offset, buffer, size);
    if (r > 0) m_deviceBytes.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
    return r;
}

bool CDeviceStream::FitRead(uint64_t offset, size_t& size, int64_t& result) const {
    if (!m_source) {
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
    for (Window& w : m_windows) {
        w.fill = 0;
        w.lastEnd = UINT64_MAX;
    }
    m_strayEnd = UINT64_MAX;
    return ReadDirect(offset, buffer, size);
}

bool CDeviceStream::FileStamp(uint64_t& size, int64_t& modifiedNs) const {
    return m_source && m_source->FileStamp(size, modifiedNs);
}

int64_t CDeviceStream::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (int64_t result = 0; !FitRead(offset, size, result)) return result;

    std::lock_guard<std::mutex> g(m_lock);
    auto* out = static_cast<uint8_t*>(buffer);
    // The window that holds the offset, or whose stream the read continues.
    for (Window& w : m_windows)
        if (w.Holds(offset) || offset == w.lastEnd) {
            m_strayEnd = UINT64_MAX;
            return ReadThrough(w, offset, out, size, true);
        }
    if (offset == m_strayEnd) {
        // Small reads that follow each other: a stream of their own, read
        // ahead in the second window.
        m_strayEnd = UINT64_MAX;
        return ReadThrough(m_windows[1], offset, out, size, false);
    }
    if (m_windows[0].fill > 0 && size <= kStrayRead) {
        // A small read away from the stream the window serves (a FAT sector
        // between a file's clusters): straight to the caller, so that the
        // window, and the read-ahead in it, stays for the stream it interrupted.
        m_strayEnd = offset + size;
        return ReadDirect(offset, out, size);
    }
    m_strayEnd = UINT64_MAX;
    return ReadThrough(m_windows[0], offset, out, size, false);
}

int64_t CDeviceStream::ReadThrough(Window& w, uint64_t offset, uint8_t* out, size_t size, bool sequential) {
    size_t copied = 0;
    // Serve the part that lies in the window.
    if (w.Holds(offset)) {
        const size_t at = static_cast<size_t>(offset - w.start);
        copied = std::min(size, w.fill - at);
        std::memcpy(out, w.data.get() + at, copied);
    }
    w.lastEnd = offset + size;
    if (copied == size) return static_cast<int64_t>(copied);

    const uint64_t pos = offset + copied;
    const size_t want = size - copied;
    if (!sequential) w.next = kMinWindow;
    auto direct = [&] {
        const int64_t r = ReadDirect(pos, out + copied, want);
        if (r < 0) return copied > 0 ? static_cast<int64_t>(copied) : int64_t(-1);
        return static_cast<int64_t>(copied) + r;
    };
    // Large requests go straight to the caller's buffer.
    if (want >= w.next) return direct();
    const size_t windowSize = w.next;
    if (sequential && w.next < kMaxWindow) w.next = std::min(kMaxWindow, w.next * 2);
    if (w.capacity < windowSize) {
        w.data.reset(static_cast<uint8_t*>(std::aligned_alloc(kWindowAlignment, windowSize)));
        w.capacity = w.data ? windowSize : 0;
        w.fill = 0;
        // No memory for the window: read straight into the caller's buffer.
        if (!w.data) return direct();
    }
    const uint64_t fillLen = std::min<uint64_t>(windowSize, m_length - pos);
    const int64_t r = ReadDirect(pos, w.data.get(), static_cast<size_t>(fillLen));
    if (r < 0) {
        w.fill = 0;
        return copied > 0 ? static_cast<int64_t>(copied) : -1;
    }
    w.start = pos;
    w.fill = static_cast<size_t>(r);
    const size_t n = std::min(want, w.fill);
    std::memcpy(out + copied, w.data.get(), n);
    return static_cast<int64_t>(copied + n);
}
