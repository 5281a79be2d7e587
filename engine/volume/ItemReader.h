// What a file system hands recovery: a reader of one item's data, the
// content of a file (its data and named streams) and of a folder (its
// children), consumed by the one writer of recovered files in
// engine/recovery (ItemWriter.h).
//
// The data is a row of spans: holes (zeros with nothing on disk: sparse
// runs, the region past the initialized size) that the copy leaves as holes
// in the output, and data that it reads. A reader knows how much it will
// deliver, and once the copy has taken everything, whether that was the item
// whole: its size reached, nothing taken by another item since, nothing the
// device refused.
//
// Ownership: a reader borrows its volume (and what it reads from) and must
// not outlive it. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Bytes [begin, end) of an item's data.
struct DataRange {
    uint64_t begin = 0;
    uint64_t end = 0;  // exclusive
};

// Overwritten ranges a reader keeps per item; past them the last range
// takes the rest.
inline constexpr size_t kMaxReusedRanges = 1u << 20;

class IItemReader {
public:
    virtual ~IItemReader() = default;
    // The bytes the copy announces (OnFileBegin).
    virtual uint64_t End() const = 0;
    // The length of the next span from the position: a hole when hole is set
    // (SkipHole steps over it), else data for Read. 0 at the end.
    virtual uint64_t Span(bool& hole) = 0;
    virtual void SkipHole(uint64_t n) = 0;
    // Reads up to length bytes of the data span; got = 0 at the end. False on
    // a read error (got says what came before it).
    virtual bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) = 0;
    // After a read error: steps over the bytes at the position that the
    // source cannot give (up to the next block it may read again) and says
    // how many; the copy writes zeros for them and goes on. 0: the reader
    // cannot go past the error, and the copy ends there.
    virtual uint64_t SkipUnreadable() { return 0; }
    // After the copy: true when the delivered bytes are the item whole.
    virtual bool Whole(uint64_t delivered) const = 0;
    // The item's own bytes among the first written ones, for progress (a
    // format that wraps the data counts only the data).
    virtual uint64_t ItemBytes(uint64_t written) const { return written; }
    // After the copy: the parts of the item that stand for clusters other
    // files took since (written as zeros, or left out at the end), in
    // ascending order: overwritten, not unreadable.
    virtual std::vector<DataRange> OverwrittenRanges() const { return {}; }
    bool Overwritten() const { return !OverwrittenRanges().empty(); }
    // True when the reader ended on its own account (what it makes could
    // not be made, or the stop flag it polls was raised).
    virtual bool Broken() const { return false; }
    // False when an output that is not whole is worth nothing (an import
    // stream): the copy then keeps none of it.
    virtual bool KeepsPartial() const { return true; }
};

// Why an item cannot be recovered.
enum class ItemProblem : uint8_t {
    CannotRead,          // its record or entry cannot be opened or read (or its tree loops)
    NoFileName,          // an NTFS record without $FILE_NAME
    NoData,              // no data stream, or a stream's output cannot be created
    NameOnly,            // only its name was found (in a folder index's slack): its data is gone
    EncryptionData,      // the encryption metadata ($EFS) is inconsistent
    EncryptedImport,     // the raw import stream of an encrypted file could not be made
};

// A named data stream of a file.
struct ItemStream {
    std::u16string name;
    std::unique_ptr<IItemReader> reader;
};

// A file's content. The readers borrow what keep holds (the opened record),
// which is declared first so that it outlives them.
struct FileContent {
    std::shared_ptr<void> keep;
    std::optional<ItemProblem> problem;  // set: the file cannot be recovered
    bool sized = false;                  // size is known (announced before the output is made)
    uint64_t size = 0;
    // data is the raw import stream of an encrypted file: it is written to
    // "NAME.efsraw" and kept only whole; there are no streams then.
    bool encrypted = false;
    std::unique_ptr<IItemReader> data;  // the unnamed data; null: the file only carries named streams
    std::vector<ItemStream> streams;    // the named streams (when asked for)
    uint32_t copyStep = 1u << 20;       // bytes per read
};

// One entry of a deleted folder.
struct FolderChild {
    uint32_t id = 0;
    std::u16string name;  // as stored; empty: the writer names it "File<id>"
    bool folder = false;
};

// A folder's deleted children, in the order they are written.
struct FolderContent {
    std::optional<ItemProblem> problem;  // set: the folder cannot be read at all
    std::vector<FolderChild> children;
    // Its attributes when asked for: known, or unreadable (a problem to
    // report that does not stop its children).
    bool attributesKnown = false;
    bool attributesUnreadable = false;
    uint32_t attributes = 0;
};
