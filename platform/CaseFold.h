// Case folding of UTF-16 names, used by the search's name tests and by FAT
// folder-name lookups: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// capitals to their small letters; every other character is left as it is.
//
// Header-only: a handful of comparisons, called once per character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline char16_t FoldCase(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c >= 0x100 && c <= 0x17F) {
        if ((c <= 0x137 || (c >= 0x14A && c <= 0x177)) && (c % 2) == 0) return static_cast<char16_t>(c + 1);
        if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && (c % 2) == 1) return static_cast<char16_t>(c + 1);
        if (c == 0x178) return 0xFF;
        return c;
    }
    if (c >= 0x386 && c <= 0x3AB) {
        if (c >= 0x391 && c != 0x3A2) return static_cast<char16_t>(c + 32);
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 37);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 63);
        return c;
    }
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
    return c;
}

inline std::u16string FoldCase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = FoldCase(c);
    return out;
}

inline bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}
