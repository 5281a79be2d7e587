#include "SearchCriteria.h"

#include <vector>

#include "platform/CaseFold.h"

namespace {

constexpr char16_t kAnyWithoutDot = 0x1A;
constexpr char16_t kQuote = u'`';
// Longer patterns are refused (the matcher recurses once per pattern element).
constexpr size_t kMaxPatternLength = 4096;

// Parses the set that opens at p[i] == '['. On success end is the index just
// past the closing "]"; when c is given, inSet tells whether it belongs to it.
bool ParseSet(std::u16string_view p, size_t i, size_t& end, const char16_t* c, bool& inSet) {
    size_t j = i + 1;
    bool negate = false;
    if (j < p.size() && p[j] == u'!') {
        negate = true;
        ++j;
    }
    bool found = false;
    const char16_t folded = c ? FoldCase(*c) : 0;
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
            if ((lo <= *c && *c <= hi) || (FoldCase(lo) <= folded && folded <= FoldCase(hi))) found = true;
        }
    }
    end = j + 1;
    inSet = found != negate;
    return true;
}

class Matcher {
public:
    Matcher(std::u16string_view p, std::u16string_view n)
        : m_p(p), m_n(n), m_memo((p.size() + 1) * (n.size() + 1), kUnknown) {}

    bool Match(size_t pi, size_t ni) {
        int8_t& memo = m_memo[pi * (m_n.size() + 1) + ni];
        if (memo != kUnknown) return memo == kTrue;
        bool r = Compute(pi, ni);
        memo = r ? kTrue : kFalse;
        return r;
    }

private:
    static constexpr int8_t kUnknown = 0, kFalse = 1, kTrue = 2;

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
            case u'?':
                return ni < m_n.size() && Match(pi + 1, ni + 1);
            case u'[': {
                if (ni >= m_n.size()) return false;
                size_t end = 0;
                bool inSet = false;
                if (!ParseSet(m_p, pi, end, &m_n[ni], inSet)) return false;
                return inSet && Match(end, ni + 1);
            }
            case u'!':
                return pi + 1 < m_p.size() && !Match(pi + 1, ni);
            case kQuote:
                return pi + 1 < m_p.size() && ni < m_n.size() && FoldCase(m_p[pi + 1]) == FoldCase(m_n[ni]) &&
                       Match(pi + 2, ni + 1);
            default:
                return ni < m_n.size() && FoldCase(c) == FoldCase(m_n[ni]) && Match(pi + 1, ni + 1);
        }
    }

    std::u16string_view m_p;
    std::u16string_view m_n;
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

bool MatchPattern(std::u16string_view pattern, std::u16string_view name) {
    if (name.empty()) return pattern.empty();
    if (!IsPatternWellFormed(pattern)) return false;
    Matcher m(pattern, name);
    return m.Match(0, 0);
}

bool NameTest(const SearchCriteria& criteria, std::u16string_view itemName) {
    if (!criteria.useName) return true;
    if (criteria.nameMode == 1) {
        std::u16string pattern;
        pattern.reserve(criteria.name.size() + 2);
        pattern += u'*';
        pattern += criteria.name;
        pattern += u'*';
        return MatchPattern(pattern, itemName);
    }
    return EqualsIgnoreCase(itemName, criteria.name);
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
