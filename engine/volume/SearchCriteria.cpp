#include "SearchCriteria.h"

#include <vector>

#include "platform/CaseFold.h"

namespace {

constexpr char16_t kAnyWithoutDot = 0x1A;
constexpr char16_t kQuote = u'`';
// Longer patterns are refused (the matcher recurses once per pattern element).
constexpr size_t kMaxPatternLength = 4096;

// What a lost first letter of a short name may have been: no "." or space
// begins one.
bool MayBeLostLetter(char16_t c) { return c != u'.' && c != u' '; }

// The keys two characters compare by: case folded, and upper-cased by the volume's table.
inline bool SameLetter(char16_t a, char16_t b, const NameCompare& how) {
    return a == b || FoldCase(a) == FoldCase(b) || (how.upCase && how.upCase[a] == how.upCase[b]);
}

bool InRange(char16_t lo, char16_t hi, char16_t c, const NameCompare& how) {
    if (lo <= c && c <= hi) return true;
    const char16_t f = FoldCase(c);
    if (FoldCase(lo) <= f && f <= FoldCase(hi)) return true;
    if (!how.upCase) return false;
    const char16_t u = how.upCase[c];
    return how.upCase[lo] <= u && u <= how.upCase[hi];
}

// Parses the set that opens at p[i] == '['. On success end is the index just
// past the closing "]"; when c is given, inSet tells whether it belongs to it.
bool ParseSet(std::u16string_view p, size_t i, size_t& end, const char16_t* c, bool& inSet,
              const NameCompare& how = {}) {
    size_t j = i + 1;
    bool negate = false;
    if (j < p.size() && p[j] == u'!') {
        negate = true;
        ++j;
    }
    bool found = false;
    for (;;) {
        if (j >= p.size()) return false;  // not closed
        if (p[j] == u']') break;
        char16_t lo;
        if (p[j] == kQuote) {
            if (j + 1 >= p.size()) return false;
            lo = p[j + 1];
            j += 2;
        } else {
            lo = p[j];
            j += 1;
        }
        char16_t hi = lo;
        if (j < p.size() && p[j] == u'-') {
            // A range: the set must not end inside it.
            if (j + 1 >= p.size() || p[j + 1] == u']') return false;
            if (p[j + 1] == kQuote) {
                if (j + 2 >= p.size()) return false;
                hi = p[j + 2];
                j += 3;
            } else {
                hi = p[j + 1];
                j += 2;
            }
        }
        if (c && !found) {
            if (InRange(lo, hi, *c, how)) found = true;
        }
    }
    end = j + 1;
    inSet = found != negate;
    return true;
}

class Matcher {
public:
    Matcher(std::u16string_view p, std::u16string_view n, const NameCompare& how)
        : m_p(p), m_n(n), m_how(how), m_memo((p.size() + 1) * (n.size() + 1), kUnknown) {}

    bool Match(size_t pi, size_t ni) {
        int8_t& memo = m_memo[pi * (m_n.size() + 1) + ni];
        if (memo != kUnknown) return memo == kTrue;
        bool r = Compute(pi, ni);
        memo = r ? kTrue : kFalse;
        return r;
    }

private:
    static constexpr int8_t kUnknown = 0, kFalse = 1, kTrue = 2;

    static bool HighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

    // The character of the pattern at pi against the name's at ni.
    bool Literal(size_t pi, size_t ni) {
        if (ni >= m_n.size()) return false;
        const char16_t a = m_p[pi], b = m_n[ni];
        if (!HighSurrogate(a) && !HighSurrogate(b)) {
            if (ni == 0 && m_how.lostFirstLetter) return MayBeLostLetter(a) && Match(pi + 1, 1);
            return SameLetter(a, b, m_how) && Match(pi + 1, ni + 1);
        }
        size_t up = 1, un = 1;
        const char32_t x = CodePointAt(m_p, pi, up);
        if (ni == 0 && m_how.lostFirstLetter) return Match(pi + up, 1);
        const char32_t y = CodePointAt(m_n, ni, un);
        return up == un && (x == y || FoldCodePoint(x) == FoldCodePoint(y)) && Match(pi + up, ni + un);
    }

    bool Compute(size_t pi, size_t ni) {
        if (pi == m_p.size()) return ni == m_n.size();
        const char16_t c = m_p[pi];
        switch (c) {
            case u'*':
                for (size_t k = m_n.size() + 1; k-- > ni;)
                    if (Match(pi + 1, k)) return true;
                return false;
            case kAnyWithoutDot: {
                size_t e = ni;
                while (e < m_n.size() && m_n[e] != u'.') ++e;
                for (size_t k = e + 1; k-- > ni;)
                    if (Match(pi + 1, k)) return true;
                return false;
            }
            case u'?': {
                if (ni >= m_n.size()) return false;
                size_t units = 1;
                if (HighSurrogate(m_n[ni])) CodePointAt(m_n, ni, units);
                return Match(pi + 1, ni + units);
            }
            case u'[': {
                if (ni >= m_n.size()) return false;
                size_t end = 0;
                bool inSet = false;
                if (!ParseSet(m_p, pi, end, &m_n[ni], inSet, m_how)) return false;
                return (inSet || (ni == 0 && m_how.lostFirstLetter)) && Match(end, ni + 1);
            }
            case u'!':
                return pi + 1 < m_p.size() && !Match(pi + 1, ni);
            case kQuote:
                return pi + 1 < m_p.size() && Literal(pi + 1, ni);
            default:
                return Literal(pi, ni);
        }
    }

    std::u16string_view m_p;
    std::u16string_view m_n;
    const NameCompare& m_how;
    std::vector<int8_t> m_memo;
};

}  // namespace

bool IsPatternWellFormed(std::u16string_view p) {
    if (p.size() > kMaxPatternLength) return false;
    for (size_t i = 0; i < p.size();) {
        switch (p[i]) {
            case u'!':
                if (i + 1 >= p.size()) return false;
                ++i;
                break;
            case kQuote:
                if (i + 1 >= p.size()) return false;
                i += 2;
                break;
            case u'[': {
                size_t end = 0;
                bool inSet = false;
                if (!ParseSet(p, i, end, nullptr, inSet)) return false;
                i = end;
                break;
            }
            default:
                ++i;
        }
    }
    return true;
}

bool MatchPattern(std::u16string_view pattern, std::u16string_view name, const NameCompare& how) {
    if (name.empty()) return pattern.empty();
    if (!IsPatternWellFormed(pattern)) return false;
    Matcher m(pattern, name, how);
    return m.Match(0, 0);
}

bool NameEquals(std::u16string_view typed, std::u16string_view name, const NameCompare& how) {
    if (typed.size() != name.size()) return false;
    const size_t from = how.lostFirstLetter && !name.empty() ? 1 : 0;
    if (from == 1 && !MayBeLostLetter(typed[0])) return false;
    if (EqualsIgnoreCase(typed.substr(from), name.substr(from))) return true;
    if (!how.upCase) return false;
    for (size_t i = from; i < name.size(); ++i)
        if (!SameLetter(typed[i], name[i], how)) return false;
    return true;
}

namespace {
// Text with no pattern characters and no surrogates: "*" + text + "*" then
// matches where the text is found, compared character by character.
bool PlainText(std::u16string_view t) {
    for (char16_t c : t)
        if (c == u'*' || c == u'?' || c == u'[' || c == u'!' || c == kQuote || c == kAnyWithoutDot ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
    return true;
}

bool ContainsText(std::u16string_view name, std::u16string_view text, const NameCompare& how) {
    if (name.empty() || text.size() + 2 > kMaxPatternLength) return false;
    for (size_t at = 0; at + text.size() <= name.size(); ++at) {
        size_t i = 0;
        while (i < text.size() && ((at + i == 0 && how.lostFirstLetter) ? MayBeLostLetter(text[i])
                                                                           : SameLetter(text[i], name[at + i], how)))
            ++i;
        if (i == text.size()) return true;
    }
    return false;
}
}  // namespace

bool NameTest(const SearchCriteria& criteria, std::u16string_view itemName, const NameCompare& how) {
    if (!criteria.useName) return true;
    if (criteria.nameMode == 1) {
        if (PlainText(criteria.name)) return ContainsText(itemName, criteria.name, how);
        std::u16string pattern;
        pattern.reserve(criteria.name.size() + 2);
        pattern += u'*';
        pattern += criteria.name;
        pattern += u'*';
        return MatchPattern(pattern, itemName, how);
    }
    return NameEquals(criteria.name, itemName, how);
}

bool SizeTest64(const SearchCriteria& criteria, uint64_t size) {
    if (!criteria.useSize) return true;
    uint64_t lo = static_cast<uint64_t>(criteria.sizeFrom) * 1024;
    uint64_t hi = static_cast<uint64_t>(criteria.sizeTo) * 1024;
    return size >= lo && size <= hi;
}

bool SizeTestFat(const SearchCriteria& criteria, uint32_t size) {
    if (!criteria.useSize) return true;
    if (criteria.sizeFrom > 0x3FFFFF) return false;
    uint32_t lo = criteria.sizeFrom * 1024;
    if (size < lo) return false;
    if (criteria.sizeTo >= 0x400000) return true;
    return size <= criteria.sizeTo * 1024;
}

int64_t SearchTimeSeconds(uint64_t fileTime) {
    constexpr uint64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochDelta = 11644473600;        // seconds from 1601-01-01 to 1970-01-01
    constexpr int64_t kSeconds1900 = -2208988800;       // 1900-01-01 from 1970-01-01
    const int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kEpochDelta;
    return seconds < kSeconds1900 ? 0 : seconds;
}

bool DateTest(const SearchCriteria& criteria, uint64_t creationTime, uint64_t modificationTime) {
    if (!criteria.useDate) return true;
    int64_t s = SearchTimeSeconds(criteria.dateKind == 1 ? modificationTime : creationTime);
    return s >= criteria.dateFrom && s <= criteria.dateTo;
}
