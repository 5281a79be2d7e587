// The components of an engine path: "C:\a\b\", "\a\b", "a\b" (and "/" as a
// separator), what the file systems' lookups by path walk.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::u16string> SplitEnginePath(const std::u16string& path) {
    const size_t start = path.size() >= 2 && path[1] == u':' ? 2 : 0;
    std::vector<std::u16string> parts;
    std::u16string cur;
    for (size_t i = start; i < path.size(); ++i) {
        const char16_t c = path[i];
        if (c == u'\\' || c == u'/') {
            if (!cur.empty()) parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(std::move(cur));
    return parts;
}
