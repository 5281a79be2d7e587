#include "SearchCriteria.h"

#include <cerrno>
#include <ctime>
#include <vector>

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

char16_t FoldCase(char16_t c) {
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

std::u16string FoldCase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = FoldCase(c);
    return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

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

namespace {

bool IsCalendarTime(int year, int month, int day, int hour, int minute, int second) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 99999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    return !(month == 2 && day == 29 && !((year % 4 == 0 && year % 100 != 0) || year % 400 == 0));
}

}  // namespace

int64_t SearchTimeSeconds(uint64_t fileTime) {
    constexpr uint64_t kTicksPerSecond = 10000000;
    constexpr int64_t kEpochDelta = 11644473600;        // seconds from 1601-01-01 to 1970-01-01
    constexpr int64_t kSeconds1900 = -2208988800;       // 1900-01-01 from 1970-01-01
    const int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kEpochDelta;
    return seconds < kSeconds1900 ? 0 : seconds;
}

bool CalendarSeconds(int year, int month, int day, int hour, int minute, int second, int64_t& seconds) {
    if (!IsCalendarTime(year, month, day, hour, minute, second)) return false;
    // Days from 1970-01-01 in the proleptic Gregorian calendar (eras of 400 years).
    const int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = era * 146097 + dayOfEra - 719468;
    seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool LocalCalendarSeconds(int year, int month, int day, int hour, int minute, int second, int64_t& seconds) {
    if (!IsCalendarTime(year, month, day, hour, minute, second)) return false;
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;  // daylight saving decided by the conversion
    errno = 0;
    const time_t t = mktime(&local);
    if (t == static_cast<time_t>(-1) && errno != 0) return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

bool DateTest(const SearchCriteria& criteria, uint64_t creationTime, uint64_t modificationTime) {
    if (!criteria.useDate) return true;
    int64_t s = SearchTimeSeconds(criteria.dateKind == 1 ? modificationTime : creationTime);
    return s >= criteria.dateFrom && s <= criteria.dateTo;
}
