// Case folding of UTF-16 names, used by the search's name tests and by FAT
// folder-name lookups: Unicode simple case folding (CaseFolding.txt, lines C
// and S) from the generated table platform/CaseFoldTable.h
// (tools/gen-casefold.py). A character folds to the one its small letter
// folds to (Σ, σ and ς all to σ; K, k and the Kelvin sign K to k).
//
// Header-only: one table lookup per character.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/CaseFoldTable.h"

// One UTF-16 code unit (a surrogate stays as it is).
inline char16_t FoldCase(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    return static_cast<char16_t>(c + casefold::kFoldDelta[casefold::kFoldBlock[c >> 8]][c & 0xFF]);
}

// The upper case of NTFS format's $UpCase table (the stand-in for a volume
// whose own table cannot be read).
inline char16_t NtfsStandardUpperCase(char16_t c) {
    return static_cast<char16_t>(c + casefold::kUpperDelta[casefold::kUpperBlock[c >> 8]][c & 0xFF]);
}

// One code point, also above the BMP.
inline char32_t FoldCodePoint(char32_t c) {
    if (c < 0x10000) return FoldCase(static_cast<char16_t>(c));
    const auto* begin = std::begin(casefold::kFoldAstral);
    const auto* end = std::end(casefold::kFoldAstral);
    const auto* it = std::lower_bound(begin, end, c, [](const uint32_t(&pair)[2], char32_t v) { return pair[0] < v; });
    return it != end && (*it)[0] == c ? static_cast<char32_t>((*it)[1]) : c;
}

// The code point at s[i] and the code units it takes (2 for a surrogate pair, else 1).
inline char32_t CodePointAt(std::u16string_view s, size_t i, size_t& units) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        units = 2;
        return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00);
    }
    units = 1;
    return c;
}

inline std::u16string FoldCase(std::u16string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        size_t units = 1;
        const char32_t c = FoldCodePoint(CodePointAt(s, i, units));
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += units;
    }
    return out;
}

inline bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size();) {
        size_t ua = 1, ub = 1;
        const char32_t x = CodePointAt(a, i, ua);
        const char32_t y = CodePointAt(b, i, ub);
        if (x != y && (ua != ub || FoldCodePoint(x) != FoldCodePoint(y))) return false;
        i += ua;
    }
    return true;
}
