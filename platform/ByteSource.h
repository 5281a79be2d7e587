// Byte sources: "bytes at an offset" with a size and a name, whatever holds
// them. A block device or an image file is read with pread; a split raw set
// (disk.001, disk.002, ... or disk.aa, disk.ab, ...) is its pieces end to end;
// Expert Witness (E01), VHD/VHDX, VMDK and QCOW2 images are read through the
// libraries made for them (libewf, libvhdi, libvmdk, libqcow). Every source
// is read-only: nothing here opens a file for writing.
//
// A source is opened once per command or job (OpenByteSource) and shared:
// partition tables, volumes, fingerprints and the surface scan read through
// the same opened source (CDeviceStream is a window on it with read-ahead).
//
// Read errors belong to ranges, not calls: a read that fails is narrowed down
// to the blocks that failed, which the source keeps (UnreadableRanges).
//
// A device that goes away (unplugged, its connection lost) fails every read,
// which would otherwise look like bad blocks everywhere. The source calls
// itself gone (Gone) when a read fails with ENODEV or ENXIO, or when a streak
// of refused blocks is followed by a block that read well before failing
// too (read again past the page cache): a slow bad region still gives back
// its good blocks, a vanished device does not. Once gone, every read fails
// at once with ENODEV without asking the medium, and is not recorded as an
// unreadable range.
//
// Thread-safe: ReadAt may be called from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What holds a source's bytes.
enum class SourceMedium : uint8_t {
    BlockDevice,  // a disk or partition device
    ImageFile,    // one raw image file
    SplitImage,   // a raw image in pieces
    Container,    // an image format with its own structure (E01, VHD, ...)
};

// What a job that ends because its source is gone says.
inline constexpr const char* kSourceGoneMessage = "the device stopped answering";

struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

class CByteSource {
public:
    // Failed reads are narrowed down to blocks of this size.
    static constexpr uint32_t kErrorBlock = 4096;
    // At most this many separate unreadable ranges are kept (adjacent ones merge).
    static constexpr size_t kMaxUnreadableRanges = 65536;
    // A streak of this many refused blocks with no good read between, or of
    // two or more spanning kProbeAfterSeconds, has a good block read again.
    static constexpr uint32_t kProbeAfterBlocks = 4;
    static constexpr int kProbeAfterSeconds = 2;

    virtual ~CByteSource() = default;
    CByteSource(const CByteSource&) = delete;
    CByteSource& operator=(const CByteSource&) = delete;

    // The path the source was opened by.
    const std::string& Name() const { return m_name; }
    uint64_t Size() const { return m_size; }
    SourceMedium Medium() const { return m_medium; }
    // The container's kind for people: "block device", "raw image",
    // "split raw image", "E01", "VHD", "VHDX", "VMDK", "QCOW2", "QCOW" (version 1).
    const std::string& Kind() const { return m_kind; }
    // Every file the source reads (one for a device or raw image, each piece
    // or segment of a set). The destination checks keep clear of all of them.
    const std::vector<std::string>& Files() const { return m_files; }
    // The descriptor of a device or single image file (device-removal
    // notices); -1 for sets and containers.
    virtual int NativeHandle() const { return -1; }

    // Reads up to size bytes at offset: the byte count (short at the end and
    // before an unreadable block, 0 past the end), or -1 when the block at
    // offset cannot be read (errno set). A failed read is retried block by
    // block so that the bytes before the first failed block are returned and
    // the failed block recorded; a recorded block is never read again (a read
    // that starts in one fails at once), so a failing medium is not hammered.
    // A caller that wants what lies beyond reads again past the block.
    int64_t ReadAt(uint64_t offset, void* buffer, size_t size);

    // Size and modification time (ns since 1970) of the image's files as the
    // host's file system reports them now (sizes summed, the latest time):
    // a cache made from the image is stale once either changes. False for a
    // block device or when a file cannot be looked at.
    bool FileStamp(uint64_t& size, int64_t& modifiedNs) const;

    // Bytes read from the medium so far, past every cache of ours.
    uint64_t BytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }
    // The ranges that could not be read, sorted, adjacent ones merged.
    std::vector<ByteRange> UnreadableRanges() const;
    // Those of them in [offset, offset + length), cut to it.
    std::vector<ByteRange> UnreadableIn(uint64_t offset, uint64_t length) const;
    // Bytes in those ranges.
    uint64_t UnreadableBytes() const;
    // True when the byte at offset lies in a block that could not be read.
    bool Refused(uint64_t offset) const { return FirstKnownUnreadable(offset, 1) == offset; }
    // Reads from the medium that failed or came short (each failed block once).
    uint64_t FailedReads() const { return m_failedReads.load(std::memory_order_relaxed); }
    // The end of the unreadable range that holds the byte at offset; offset
    // when it is readable.
    uint64_t UnreadableEnd(uint64_t offset) const;
    // Takes ranges as unreadable without reading them (what a rescue map says
    // the device did not give): they read as refused blocks do. Beyond
    // kMaxUnreadableRanges, neighbouring ranges are joined with the bytes
    // between them (a wider loss, never a smaller one).
    void MarkUnreadable(std::vector<ByteRange> ranges);
    // True once the medium stopped answering (see above); never false again.
    bool Gone() const { return m_gone.load(std::memory_order_acquire); }
    // The probe, for a read error that ends a step early (a copy that cannot
    // go past it): reads again, past the page cache, a range that read well
    // before. False, and the source gone, when that fails too.
    bool StillAnswering();

protected:
    CByteSource(std::string name, SourceMedium medium, std::string kind)
        : m_name(std::move(name)), m_medium(medium), m_kind(std::move(kind)) {}
    // One read from the medium; offset + size lies inside Size(). Returns the
    // count read (short means the medium ended) or -1 with errno set. Called
    // under no lock of ours: implementations that are not safe from several
    // threads lock themselves.
    virtual int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) = 0;

    uint64_t m_size = 0;
    std::vector<std::string> m_files;

private:
    int64_t ReadCounted(uint64_t offset, void* buffer, size_t size);
    void NoteUnreadable(uint64_t offset, uint64_t length);
    // The first byte in [offset, offset + size) of a recorded unreadable
    // range, UINT64_MAX for none.
    uint64_t FirstKnownUnreadable(uint64_t offset, size_t size) const;
    // A read of got bytes at offset succeeded: the streak ends, and a block
    // of it is kept for the probe.
    void NoteGood(uint64_t offset, int64_t got);
    // A block was refused with errno e: true when that makes the source gone
    // (ENODEV, ENXIO, or a streak whose probe fails too).
    bool RefusalMeansGone(int e);

    std::string m_name;
    SourceMedium m_medium;
    std::string m_kind;
    std::atomic<uint64_t> m_bytesRead {0};
    std::atomic<uint64_t> m_failedReads {0};
    mutable std::mutex m_rangesLock;
    std::vector<ByteRange> m_unreadable;
    std::atomic<bool> m_anyUnreadable {false};  // m_unreadable holds a range
    std::atomic<bool> m_gone {false};
    std::atomic<uint32_t> m_streak {0};        // blocks refused since the last good read
    std::atomic<int64_t> m_streakStart {0};    // steady-clock ns of the streak's first refusal
    // A range that read well (offset << 12 | length - 1, length <= 4096); ~0: none yet.
    std::atomic<uint64_t> m_goodRange {~uint64_t(0)};
    std::mutex m_probeLock;
};

// Why a source could not be opened.
struct ByteSourceError {
    int errnoValue = 0;   // the errno of a failed open, else 0
    std::string message;  // a whole sentence naming the file, for the user
};

// Opens path read-only as whatever it holds: a block device, a raw image, the
// first piece of a split set (its later pieces found by name), or an image
// container recognised by its content. A set with a missing piece, a
// truncated or damaged container, or a container that needs files that are
// not there is an error naming the file. Null on failure.
std::shared_ptr<CByteSource> OpenByteSource(const std::string& path, ByteSourceError& error);

// The number of sources this process has opened (every OpenByteSource that
// succeeded): a command opens its source once.
uint64_t ByteSourceOpenCount();

// Opens one file read-only as the bytes it holds, whatever they are (no
// container or split set is looked for): a recovered file read back for its
// content check. Not counted as a source. Null with error set on failure.
std::shared_ptr<CByteSource> OpenPlainFile(const std::string& path, ByteSourceError& error);

// The pieces of the split raw set whose first piece is path, in order (path
// first), or empty when path is not named as a first piece ("disk.001",
// "disk.000", "disk.aa", "disk.dd.001"). missing names the first absent piece
// when a later piece exists without it.
std::vector<std::string> SplitSetPieces(const std::string& path, std::string& missing);

// The container path holds, told by its first bytes (head) and its last 512
// (tail: a fixed VHD has only its footer): "E01", "VHD", "VHDX", "VMDK",
// "QCOW2", "QCOW" (version 1), or "" for none (ContainerSources.cpp).
std::string ContainerKind(const uint8_t* head, size_t headSize, const uint8_t* tail, size_t tailSize);
// Opens path as a container of that kind through its library; null with
// error set when it cannot (a segment or extent file missing, a damaged or
// truncated container, a differencing or encrypted image).
std::shared_ptr<CByteSource> OpenContainerSource(const std::string& path, const std::string& kind,
                                                 ByteSourceError& error);
