// The drive table: assigns the letters C..Z to the sources the program opens
// or discovers, in that order, so that the engine keeps its drive letters.
// A source is a path (block device or image file) plus a window on it (the
// partition's offset and length; 0/0 for the whole device).
//
// Process-wide, guarded by its own lock; any thread may look a letter up.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct SourceSpec {
    std::string path;       // canonical host path of the device or image
    uint64_t offset = 0;    // byte offset of the volume on the device
    uint64_t length = 0;    // byte length, 0 = to the end
    int partition = 0;      // 1-based partition number, 0 = whole device
};

class CDriveTable {
public:
    static CDriveTable& Instance();

    // Returns the letter of the source, assigning the next free one (C..Z).
    // 0 when all 24 letters are taken.
    char16_t Assign(const SourceSpec& source);
    std::optional<SourceSpec> Lookup(char16_t letter) const;
    std::optional<char16_t> Find(const SourceSpec& source) const;
    void Remove(char16_t letter);
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<char16_t, SourceSpec>> m_entries;
};
