// The criteria record and the callback of a search over a volume's deleted
// items, and the tests every volume's SearchFiles applies to each candidate.
//
// A search front end fills one SearchCriteria, points it at its
// ISearchCallback and hands it to CVolume::SearchFiles, which runs on the
// search thread and calls both callback operations on that thread. The stop
// flag of whoever runs the search may be set by any thread at any time; the
// walk reads it after every item.
//
// Each volume applies the tests in this order, the first failing one
// rejecting the item: OnSearchProgress (anything but Continue ends the
// search), the name test,
// (NTFS: the record read), the size test, the date test, then OnFileFound
// (anything but Continue ends the search).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/volume/Volume.h"

class ISearchCallback {
public:
    virtual ~ISearchCallback() = default;
    // Before each item is tested: index of the item, number of items.
    virtual WalkResult OnSearchProgress(uint32_t index, uint32_t total) = 0;
    // For each match.
    virtual WalkResult OnFileFound(const FileItemInfo& info) = 0;
};

struct SearchCriteria {
    const StopFlag* stop = nullptr;  // the stop flag of whoever runs the search (null: none)
    bool ended = false;              // the walk ended early: the callback asked it to stop (search thread only)
    int32_t useName = 0;
    std::u16string name;            // the name or pattern typed by the user
    int32_t nameMode = 0;           // 0 = whole name (no pattern characters); 1 = part of the name (pattern)
    int32_t useSize = 0;
    uint32_t sizeFrom = 0;          // KiB, inclusive
    uint32_t sizeTo = 0;            // KiB, inclusive
    int32_t useDate = 0;
    int32_t dateKind = 0;           // 0 = creation time, 1 = modification time
    int64_t dateFrom = 0;           // seconds on the volume's own clock (SearchTimeSeconds), inclusive
    int64_t dateTo = 0;
    ISearchCallback* callback = nullptr;

    bool Stopped() const { return ended || IsStopped(stop); }
    // Ends the walk (on the search thread, when the callback asks it to).
    void RequestStop() { ended = true; }
};

// The pattern language of the name test (nameMode 1); letters compare
// without case. Elements:
//   *        any run of characters, also none (longest first)
//   ?        exactly one character
//   U+001A   any run of characters without "." (up to the next "." or the end)
//   [set]    one character of the set: characters and ranges a-z; "[!" negates;
//            a backquote inside quotes the next character
//   !rest    matches where the rest of the pattern (not empty) does not match
//   `c       the character c itself
// A malformed pattern ("!" or a backquote at the end, an unclosed set, a set
// that ends inside a range) matches nothing. An empty name matches only an
// empty pattern.
//
// How a name's characters compare (NameCompare): equal, or equal after
// Unicode simple case folding, or (given the volume's own upper-case table,
// NTFS $UpCase) equal after it. A name whose first letter is lost (a deleted
// FAT short name, shown "?OTES.TXT") has that character match any one
// character but "." and space, any "?" and any set of the pattern.
struct NameCompare {
    const char16_t* upCase = nullptr;  // 65536 entries, or null
    bool lostFirstLetter = false;
};
bool MatchPattern(std::u16string_view pattern, std::u16string_view name, const NameCompare& how = {});
// A deleted FAT short name whose first letter is lost: it begins with "?",
// which no FAT or NTFS name holds otherwise.
inline bool FirstLetterLost(std::u16string_view name) { return !name.empty() && name[0] == u'?'; }
// The whole-name comparison of the name test (and of paths): case aside, and
// a lost first letter (how.lostFirstLetter) standing for any character.
bool NameEquals(std::u16string_view typed, std::u16string_view name, const NameCompare& how = {});
// True when the pattern is well formed.
bool IsPatternWellFormed(std::u16string_view pattern);

// The name test: nameMode 1 matches "*" + name + "*" as a pattern, nameMode 0
// compares the whole name ignoring case. True when useName is off.
bool NameTest(const SearchCriteria& criteria, std::u16string_view itemName, const NameCompare& how = {});
// The size test on a 64-bit data size (bounds computed in 64 bits). True when useSize is off.
bool SizeTest64(const SearchCriteria& criteria, uint64_t size);
// The size test on a FAT entry's 32-bit size: a minimum above 0x3FFFFF KiB
// rejects everything, a maximum of 0x400000 KiB or more sets no upper bound.
bool SizeTestFat(const SearchCriteria& criteria, uint32_t size);
// A FILETIME as seconds since 1970 on the clock the volume keeps: UTC on
// NTFS, the zone-less wall-clock time on FAT (counted as if it were UTC, so
// no time zone of this machine enters); 0 for times before 1900.
int64_t SearchTimeSeconds(uint64_t fileTime);
// The date test on the creation or modification time (dateKind). True when useDate is off.
bool DateTest(const SearchCriteria& criteria, uint64_t creationTime, uint64_t modificationTime);
