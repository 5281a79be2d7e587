// Read-only byte stream over an opened byte source (ByteSource.h): a block
// device, an image file, a split set or an image container.
//
// The stream is a window [base, base + length) of the source: a partition
// inside a whole-disk image is a stream with a non-zero base, and its end is
// the end of the source for reads. A short read at the end is reported as
// short. Sequential reads are served from a read-ahead window that grows to
// about 1 MiB, so a sequential walk runs at the speed of the device or the
// page cache instead of one read of the source per cluster, whatever holds
// the bytes.
//
// Several streams may share one source (the partition table, the volume, the
// surface scan): the source is opened once. Thread-safe: the read-ahead
// window is guarded by the stream's own mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ByteSource.h"

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

    // Reads the window [base, base + length) of an opened source; length 0
    // means "to the end of the source". False for a null source.
    bool Open(std::shared_ptr<CByteSource> source, uint64_t base = 0, uint64_t length = 0);
    // Opens path as a byte source of its own (OpenByteSource) and reads it.
    // On failure returns false and leaves errno set: ESPIPE for a pipe, FIFO
    // or socket, ENODEV for a character device, EISDIR for a folder, EINVAL
    // for a container that cannot be read.
    bool Open(const std::string& path, uint64_t base = 0, uint64_t length = 0);
    void Close();
    bool IsOpen() const { return m_source != nullptr; }

    // Reads up to size bytes at offset (relative to base). Returns the byte
    // count (short at the end, 0 past it) or -1 on an I/O error (errno set).
    int64_t ReadAt(uint64_t offset, void* buffer, size_t size);
    // The same read straight from the device, past the read-ahead window,
    // which it drops, so that later reads see what the device holds now
    // (the cache fingerprint reads this way: another program may have written
    // to the source since the window was filled).
    int64_t ReadFresh(uint64_t offset, void* buffer, size_t size);
    // Size and modification time (ns since 1970) of an image's files as the
    // file system reports them now; false for a block device or on error.
    bool FileStamp(uint64_t& size, int64_t& modifiedNs) const;

    uint64_t Length() const { return m_length; }
    uint64_t Base() const { return m_base; }
    const std::string& Path() const { return m_path; }
    // The descriptor of a device or single image file, else -1.
    int NativeHandle() const { return m_source ? m_source->NativeHandle() : -1; }
    // Bytes this stream read from its source so far (read-ahead included).
    uint64_t DeviceBytes() const { return m_deviceBytes.load(std::memory_order_relaxed); }
    bool IsBlockDevice() const { return m_source && m_source->Medium() == SourceMedium::BlockDevice; }
    const std::shared_ptr<CByteSource>& Source() const { return m_source; }

private:
    int64_t ReadDirect(uint64_t offset, void* buffer, size_t size);
    // Cuts a read to the stream's end; false with the read's result (-1 with
    // errno set when closed, 0 at or past the end) when nothing is to be read.
    bool FitRead(uint64_t offset, size_t& size, int64_t& result) const;

    std::shared_ptr<CByteSource> m_source;
    std::string m_path;
    uint64_t m_base = 0;
    uint64_t m_length = 0;

    std::mutex m_lock;
    // A read-ahead window, page-aligned: the kernel copies out of the page
    // cache several times slower into a buffer that is not cache-line aligned
    // (a plain vector's data sits 16 bytes into its allocation).
    struct FreeAligned {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    struct Window {
        std::unique_ptr<uint8_t[], FreeAligned> data;
        size_t capacity = 0;             // bytes allocated at data
        uint64_t start = 0;              // offset of data[0]
        size_t fill = 0;                 // valid bytes in data
        uint64_t lastEnd = UINT64_MAX;   // end of the last request it served, to detect sequential access
        size_t next = kMinWindow;        // size of its next fill
        bool Holds(uint64_t offset) const { return fill > 0 && offset >= start && offset < start + fill; }
    };
    // Serves a read through window w (sequential: it continues w's stream).
    int64_t ReadThrough(Window& w, uint64_t offset, uint8_t* out, size_t size, bool sequential);
    // Two windows for two interleaved streams: the first serves the main
    // stream (a file's clusters, the MFT), the second a stream of small reads
    // that turned out sequential (the FAT sectors read between a file's
    // clusters), so that neither evicts the other.
    Window m_windows[2];
    uint64_t m_strayEnd = UINT64_MAX;  // end of the last small read served past the windows
    std::atomic<uint64_t> m_deviceBytes {0};
};

// Size in bytes of a regular file or block device; false with errno on failure.
bool QueryDeviceSize(int fd, uint64_t& size);
