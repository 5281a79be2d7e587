// Rescue maps: which ranges of a device have been read, which could not be
// read, and which are still to try, in the mapfile format of GNU ddrescue (so
// ddrescue, ddrescuelog and ddrescueview read ours and we read theirs).
//
// The text is comment lines ("#..."), one status line
// ("current_pos current_status [current_pass]") and then one line per block
// ("pos size status"), blocks sorted, adjacent and not overlapping. Numbers
// are C integers (ddrescue writes 0x-prefixed hex). A block's status is one
// of ? * / - + (below); the status line's is one of ? * / - F G + .
//
// The map covers [0, size) of the source; parts a map file does not cover are
// untried. Adjacent blocks of one state are always merged, so two maps of the
// same state print the same text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ByteSource.h"

enum class RescueState : char {
    Untried = '?',     // not read yet
    Untrimmed = '*',   // skipped after an error in a large read; its edges not yet read
    Unscraped = '/',   // edges read; the inside still to read block by block
    Bad = '-',         // read block by block and refused
    Rescued = '+',     // read
};

// Where a rescue stood when its map was written (the status line).
struct RescuePosition {
    uint64_t offset = 0;
    char phase = '?';  // ? copying, * trimming, / scraping, - retrying, F filling, G generating, + finished
    int pass = 1;
};

struct RescueBlock {
    uint64_t offset = 0;
    uint64_t length = 0;
    RescueState state = RescueState::Untried;
};

class CRescueMap {
public:
    // A map file larger than this, or with more blocks, is refused.
    static constexpr uint64_t kMaxTextBytes = 256ull << 20;
    static constexpr size_t kMaxBlocks = 8u << 20;

    // The whole of [0, size) untried.
    explicit CRescueMap(uint64_t size);

    uint64_t Size() const { return m_size; }

    // Reads a map's text for a source of size bytes. Blocks past the end are
    // cut at it; false with a sentence in error for text that is not a map
    // (no status line, a malformed or unknown status, blocks out of order or
    // overlapping, a number that overflows, too many blocks).
    bool Parse(std::string_view text, std::string& error);
    // Reads the map file at path (Parse); a file that cannot be read or is
    // larger than kMaxTextBytes is an error naming it.
    bool Load(const std::string& path, std::string& error);
    // Where the last block of the text Parse read ended (0 for none): a map
    // made for a source of that size.
    uint64_t TextEnd() const { return m_textEnd; }

    // The map's text: the comment lines given (each without its "#"), the
    // status line and every block.
    std::string Format(const std::vector<std::string>& comments = {}) const;

    // Marks [offset, offset + length) (cut at Size()).
    void Set(uint64_t offset, uint64_t length, RescueState state);
    // The blocks in order, covering [0, Size()) without gaps.
    std::vector<RescueBlock> Blocks() const;
    // The first block at or after offset in state, or a block of length 0.
    RescueBlock Next(uint64_t offset, RescueState state) const;
    // The state of the byte at offset (Untried past the end).
    RescueState At(uint64_t offset) const;
    // Bytes in the state.
    uint64_t Bytes(RescueState state) const;
    // Every range not Rescued, sorted: what the device did not give.
    std::vector<ByteRange> NotRescued() const;

    RescuePosition position;

private:
    // Block start -> {length, state}; always covers [0, m_size), merged.
    struct Span {
        uint64_t length;
        RescueState state;
    };
    std::map<uint64_t, Span>::iterator SplitAt(uint64_t offset);
    void MergeAround(std::map<uint64_t, Span>::iterator it);

    uint64_t m_size;
    uint64_t m_textEnd = 0;
    std::map<uint64_t, Span> m_blocks;
};

// The map file a raw image carries beside it by ddrescue's habit: IMAGE.map,
// then IMAGE.mapfile, else "" (only a single image file or device has one).
std::string MapFileBeside(const std::string& imagePath);
