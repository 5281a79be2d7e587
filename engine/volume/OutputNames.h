// Names of recovered output on a POSIX destination.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What names a destination's file system accepts.
struct NameRules {
    // FAT, exFAT, NTFS, network shares and FUSE file systems: none of
    // : " < > | ? * \ and no trailing dot or space; named streams go to
    // files of their own ("name_stream") instead of "name:stream".
    bool windows = false;
    size_t maxBytes = 255;  // the longest name, in bytes
};

// Makes one path component from a name read from a volume: the characters
// that are invalid in Windows names ("*", "|", "?", "<", ">") and the path
// separators "/" and "\" become "_", control characters become "_", and the
// names "." and ".." (which would climb out of the destination) become "_"
// and "__". An empty name becomes "_".
std::string SanitizeName(std::u16string_view name);
std::string SanitizeName(std::string_view utf8Name);
// The lighter cleaning used while building a path: only what would change
// the path's meaning goes ("/", "\", control characters, "." and ".."); the
// characters invalid in Windows names stay for the recovery callback, which
// renames ("?" first letters of FAT names) and cleans them.
std::string PathSafeName(std::u16string_view name);
// Joins a folder and a component with "/".
std::string JoinPath(const std::string& folder, const std::string& component);
// The name after the last "/".
std::string FileNameOf(const std::string& path);
// The conflict name: "base (n).ext" split at the last dot of the file name,
// or "name (n)" when the file name has no dot.
std::string NumberedConflictName(const std::string& path, unsigned long long n);
// The form used for names whose first letter is lost: "base_n.ext" split at
// the first dot of the file name.
std::string UnderscoreNumberedName(const std::string& path, unsigned n);
// The name an item is written under on a destination with these rules:
// SanitizeName, then the characters and endings the rules refuse become "_",
// then a name longer than rules.maxBytes is shortened (ShortenName).
std::string DestinationName(std::string_view utf8Name, const NameRules& rules);
// A name cut to maxBytes on a UTF-8 boundary, keeping its extension (up to
// 32 bytes) and adding "~" and eight hex digits of the whole name's hash, so
// that two long names that share their start stay apart.
std::string ShortenName(const std::string& name, size_t maxBytes);
// The file a named stream of fileName is written to: "name:stream", or
// "name_stream" where the rules refuse ":"; the result obeys the rules.
std::string StreamFileName(const std::string& fileName, std::u16string_view stream, const NameRules& rules);
