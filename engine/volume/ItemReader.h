// A reader of one item's data for recovery, handed out by a file system and
// consumed by the one copy that writes recovered files (CopyItem).
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

#include <cstdint>

#include "engine/volume/RecoverEvents.h"

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
    // After the copy: true when the delivered bytes are the item whole.
    virtual bool Whole(uint64_t delivered) const = 0;
    // The item's own bytes among the first written ones, for progress (a
    // format that wraps the data counts only the data).
    virtual uint64_t ItemBytes(uint64_t written) const { return written; }
    // A reader that ended on its own account says why (E_ABORT, E_FAIL, or
    // an answer of the callback); S_OK otherwise.
    virtual HRESULT Failure() const { return S_OK; }
    // False when an output that is not whole is worth nothing (an import
    // stream): the copy then keeps none of it.
    virtual bool KeepsPartial() const { return true; }
};
