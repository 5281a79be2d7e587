// The drive table: gives each volume the program opens a key, the letters
// C..Z first and then keys past them (there is no limit of 24), so that the
// engine's paths keep their "X:" form; the window shows a letter only as a
// label. An entry is an opened source (shared: the volumes made for it read
// through it, it is never opened again) plus a window on it (the partition's
// offset and length; 0/0 for the whole device).
//
// Process-wide, guarded by its own lock; any thread may look a letter up.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CByteSource;

struct SourceSpec {
    std::string path;       // canonical host path of the device or image
    uint64_t offset = 0;    // byte offset of the volume on the device
    uint64_t length = 0;    // byte length, 0 = to the end
    int partition = 0;      // 1-based partition number, 0 = whole device
    std::shared_ptr<CByteSource> source;  // the opened source; null: opened from path by whoever reads it
};

class CDriveTable {
public:
    static CDriveTable& Instance();

    // Returns the key of the source window, assigning the next free one
    // (C..Z, then kFirstKeyPastLetters on). A window assigned again keeps its
    // key and takes the newly opened source.
    char16_t Assign(const SourceSpec& source);
    static constexpr char16_t kFirstKeyPastLetters = 0x100;
    // True for a key that is a drive letter a person can be shown.
    static bool IsLetter(char16_t key) { return key >= u'A' && key <= u'Z'; }
    std::optional<SourceSpec> Lookup(char16_t letter) const;
    std::optional<char16_t> Find(const SourceSpec& source) const;
    void Remove(char16_t letter);
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<std::pair<char16_t, SourceSpec>> m_entries;
};
