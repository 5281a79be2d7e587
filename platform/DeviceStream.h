// Read-only byte stream over a block device, partition or image file.
//
// The stream is a window [base, base + length) of the opened file: a
// partition inside a whole-disk image is a stream with a non-zero base, and
// its end is the end of the device for reads. Reads use pread with 64-bit
// offsets, so every positioned read is atomic; a short read at the end is
// reported as short. Sequential reads are served from a read-ahead window
// that grows to about 1 MiB, so a sequential walk runs at the speed of the
// device or the page cache instead of one system call per cluster.
//
// Thread-safe: the read-ahead window is guarded by the stream's own mutex.
// The file is opened O_RDONLY; nothing in the program opens a source for
// writing.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

class CDeviceStream {
public:
    static constexpr size_t kMaxWindow = 1 << 20;  // read-ahead window, 1 MiB
    static constexpr size_t kMinWindow = 64 << 10;
    static constexpr size_t kStrayRead = 4096;  // a smaller read away from the window leaves it in place
    static constexpr size_t kWindowAlignment = 4096;  // window sizes are multiples of it

    CDeviceStream() = default;
    ~CDeviceStream();
    CDeviceStream(const CDeviceStream&) = delete;
    CDeviceStream& operator=(const CDeviceStream&) = delete;

    // Opens path read-only. length 0 means "to the end of the file/device".
    // On failure returns false and leaves errno set: ESPIPE for a pipe, FIFO
    // or socket, ENODEV for a character device, EISDIR for a folder (only
    // regular files and block devices are read, and a FIFO never waits).
    bool Open(const std::string& path, uint64_t base = 0, uint64_t length = 0);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Reads up to size bytes at offset (relative to base). Returns the byte
    // count (short at the end, 0 past it) or -1 on an I/O error (errno set).
    int64_t ReadAt(uint64_t offset, void* buffer, size_t size);
    // The same read straight from the device, past the read-ahead window,
    // which it drops, so that later reads see what the device holds now
    // (the cache fingerprint reads this way: another program may have written
    // to the source since the window was filled).
    int64_t ReadFresh(uint64_t offset, void* buffer, size_t size);
    // Size and modification time (ns since 1970) of an image file as the
    // file system reports them now; false for a block device or on error.
    bool FileStamp(uint64_t& size, int64_t& modifiedNs) const;

    uint64_t Length() const { return m_length; }
    uint64_t Base() const { return m_base; }
    const std::string& Path() const { return m_path; }
    int NativeHandle() const { return m_fd; }
    // Bytes read from the file or device so far (read-ahead included).
    uint64_t DeviceBytes() const { return m_deviceBytes.load(std::memory_order_relaxed); }
    bool IsBlockDevice() const { return m_isBlockDevice; }

private:
    int64_t ReadDirect(uint64_t offset, void* buffer, size_t size);
    // Cuts a read to the stream's end; false with the read's result (-1 with
    // errno set when closed, 0 at or past the end) when nothing is to be read.
    bool FitRead(uint64_t offset, size_t& size, int64_t& result) const;

    int m_fd = -1;
    std::string m_path;
    uint64_t m_base = 0;
    uint64_t m_length = 0;
    bool m_isBlockDevice = false;

    std::mutex m_lock;
    // The read-ahead window, page-aligned: the kernel copies out of the page
    // cache several times slower into a buffer that is not cache-line aligned
    // (a plain vector's data sits 16 bytes into its allocation).
    struct FreeAligned {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint8_t[], FreeAligned> m_window;
    size_t m_windowCapacity = 0;  // bytes allocated at m_window
    uint64_t m_windowStart = 0;   // offset of m_window[0]
    size_t m_windowFill = 0;      // valid bytes in m_window
    uint64_t m_lastEnd = UINT64_MAX;  // end of the previous request, to detect sequential access
    size_t m_nextWindow = kMinWindow;
    uint64_t m_strayEnd = UINT64_MAX;  // end of the last small read served past the window
    std::atomic<uint64_t> m_deviceBytes {0};
};

// Size in bytes of a regular file or block device; false with errno on failure.
bool QueryDeviceSize(int fd, uint64_t& size);
