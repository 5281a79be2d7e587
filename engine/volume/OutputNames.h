// Names of recovered output on a POSIX destination.
#pragma once

#include <string>
#include <string_view>

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
