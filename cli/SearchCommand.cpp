// `quarlix search`: the deleted items of a volume that match a name, a size
// range (KiB) and a creation or modification date range, found
// by the search job over the index the indexing job made ready. Each match
// prints as `list` prints an item, with the path of the folder that held it.
//
// Dates are taken in every form `list` prints: UTC with "Z", a time with an
// offset ("+02:00"), or a time without a zone. A volume keeps its own clock
// (NTFS UTC, FAT the zone-less wall clock), and the bounds are turned into
// seconds on it: a time without a zone is this machine's local time on NTFS
// and the stored wall-clock time on FAT (whatever TZ is); a moment with a
// zone is that moment on NTFS and, on FAT, this machine's wall clock at it.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "cli/Browse.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "engine/index/FolderBrowse.h"
#include "engine/search/SearchJob.h"
#include "platform/Calendar.h"
#include "platform/Text.h"

namespace {

bool Digits(const std::string& s, size_t pos, size_t count, int& value) {
    if (pos + count > s.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// One end of a date range as typed.
struct TypedTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool zoned = false;     // "Z" or an offset follows
    int offsetMinutes = 0;  // east of UTC
};

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS", the latter with "Z" or "+HH:MM" /
// "-HH:MM". A bare date is the start of that day, or its last second when
// endOfDay is set.
bool ParseTypedTime(const std::string& text, bool endOfDay, TypedTime& t) {
    if (text.size() < 10 || !Digits(text, 0, 4, t.year) || text[4] != '-' || !Digits(text, 5, 2, t.month) ||
        text[7] != '-' || !Digits(text, 8, 2, t.day))
        return false;
    if (text.size() == 10) {
        if (endOfDay) {
            t.hour = 23;
            t.minute = 59;
            t.second = 59;
        }
    } else {
        if (text.size() < 19 || text[10] != 'T' || !Digits(text, 11, 2, t.hour) || text[13] != ':' ||
            !Digits(text, 14, 2, t.minute) || text[16] != ':' || !Digits(text, 17, 2, t.second))
            return false;
        const std::string zone = text.substr(19);
        if (zone == "Z") {
            t.zoned = true;
        } else if (!zone.empty()) {
            int h = 0, m = 0;
            if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !Digits(zone, 1, 2, h) || zone[3] != ':' ||
                !Digits(zone, 4, 2, m) || h > 23 || m > 59)
                return false;
            t.zoned = true;
            t.offsetMinutes = (zone[0] == '-' ? -1 : 1) * (h * 60 + m);
        }
    }
    int64_t unused = 0;
    return t.year >= 1601 && CalendarSeconds(t.year, t.month, t.day, t.hour, t.minute, t.second, unused);
}

// The bound as seconds on the volume's clock (SearchTimeSeconds).
bool BoundSeconds(const TypedTime& t, VolumeClock clock, int64_t& seconds) {
    if (!t.zoned) {
        return clock == VolumeClock::WallClock
                   ? CalendarSeconds(t.year, t.month, t.day, t.hour, t.minute, t.second, seconds)
                   : LocalCalendarSeconds(t.year, t.month, t.day, t.hour, t.minute, t.second, seconds);
    }
    int64_t moment = 0;
    if (!CalendarSeconds(t.year, t.month, t.day, t.hour, t.minute, t.second, moment)) return false;
    moment -= int64_t(t.offsetMinutes) * 60;
    if (clock == VolumeClock::Utc) {
        seconds = moment;
        return true;
    }
    // A FAT volume's clock at that moment: this machine's local wall clock.
    const std::time_t tt = static_cast<std::time_t>(moment);
    std::tm local {};
    if (!localtime_r(&tt, &local)) return false;
    return CalendarSeconds(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           std::min(local.tm_sec, 59), seconds);
}

// "FROM..TO"; either side may be left out for an open end.
struct TypedRange {
    bool hasFrom = false, hasTo = false;
    TypedTime from, to;
};

bool ParseDateRange(const std::string& range, TypedRange& out) {
    const size_t dots = range.find("..");
    if (dots == std::string::npos) return false;
    const std::string a = range.substr(0, dots), b = range.substr(dots + 2);
    if (a.empty() && b.empty()) return false;
    out.hasFrom = !a.empty();
    out.hasTo = !b.empty();
    if (out.hasFrom && !ParseTypedTime(a, false, out.from)) return false;
    if (out.hasTo && !ParseTypedTime(b, true, out.to)) return false;
    // Both ends on one clock to see that they are in order.
    int64_t from = 0, to = 0;
    if (out.hasFrom && out.hasTo && BoundSeconds(out.from, VolumeClock::Utc, from) &&
        BoundSeconds(out.to, VolumeClock::Utc, to) && from > to)
        return false;
    return true;
}

bool RangeSeconds(const TypedRange& range, VolumeClock clock, int64_t& from, int64_t& to) {
    from = INT64_MIN;
    to = INT64_MAX;
    if (range.hasFrom && !BoundSeconds(range.from, clock, from)) return false;
    if (range.hasTo && !BoundSeconds(range.to, clock, to)) return false;
    return true;
}

// "MIN-MAX" in KiB; either side may be left out (0 and no upper bound).
bool ParseSizeRange(const std::string& range, uint32_t& from, uint32_t& to) {
    const size_t dash = range.find('-');
    if (dash == std::string::npos || range.find('-', dash + 1) != std::string::npos) return false;
    auto number = [](const std::string& s, uint64_t fallback, uint64_t& out) {
        if (s.empty()) {
            out = fallback;
            return true;
        }
        if (s.size() > 10) return false;
        out = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return false;
            out = out * 10 + static_cast<uint64_t>(c - '0');
        }
        return out <= UINT32_MAX;
    };
    uint64_t lo = 0, hi = 0;
    if (range.size() == 1) return false;
    if (!number(range.substr(0, dash), 0, lo) || !number(range.substr(dash + 1), UINT32_MAX, hi) || lo > hi)
        return false;
    from = static_cast<uint32_t>(lo);
    to = static_cast<uint32_t>(hi);
    return true;
}

}  // namespace

int RunSearch(const GlobalOptions& options, const SearchOptions& so) {
    SearchCriteria criteria;
    TypedRange dates;
    if (so.useName) {
        criteria.useName = 1;
        criteria.name = Utf8ToUtf16(so.name);
        criteria.nameMode = so.wholeName ? 0 : 1;
    } else if (so.wholeName) {
        PrintError("--whole-name needs --name");
        return kExitUsage;
    }
    if (!so.size.empty()) {
        if (!ParseSizeRange(so.size, criteria.sizeFrom, criteria.sizeTo)) {
            PrintError("--size wants MIN-MAX in KiB, for example 10-2048");
            return kExitUsage;
        }
        criteria.useSize = 1;
    }
    if (!so.created.empty() || !so.modified.empty()) {
        if (!so.created.empty() && !so.modified.empty()) {
            PrintError("--created and --modified exclude each other");
            return kExitUsage;
        }
        criteria.useDate = 1;
        criteria.dateKind = so.created.empty() ? 1 : 0;
        if (!ParseDateRange(so.created.empty() ? so.modified : so.created, dates)) {
            PrintError("dates are FROM..TO, each YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, local time or followed by Z or "
                       "+HH:MM, FROM not after TO");
            return kExitUsage;
        }
    }

    IndexedSource s;
    if (int rc = OpenIndexedSource(options, so.source, so.partition, false, s)) return rc;
    if (s.interrupted) {
        PrintError("interrupted while indexing");
        return kExitInterrupted;
    }
    if (criteria.useDate && !RangeSeconds(dates, CurrentVolumeClock(), criteria.dateFrom, criteria.dateTo)) {
        PrintError("a date of the range has no time on this volume's clock");
        return kExitUsage;
    }
    CJobEventQueue<FileItemInfo> matches;
    CSearchJob job(*s.volume, &matches);
    SearchCriteria& c = job.Criteria();
    c.useName = criteria.useName;
    c.name = criteria.name;
    c.nameMode = criteria.nameMode;
    c.useSize = criteria.useSize;
    c.sizeFrom = criteria.sizeFrom;
    c.sizeTo = criteria.sizeTo;
    c.useDate = criteria.useDate;
    c.dateKind = criteria.dateKind;
    c.dateFrom = criteria.dateFrom;
    c.dateTo = criteria.dateTo;

    CProgressBar bar(options);
    auto out = MakeRecordWriter(options.json, std::cout);
    size_t shown = 0;
    auto flush = [&] {
        std::vector<FileItemInfo> fresh = matches.Take();
        if (fresh.empty()) return;
        bar.Clear();
        for (const FileItemInfo& info : fresh) {
            bool lost = false;
            const std::string folder = HitFolderPath(*s.volume, info.id, lost);
            out->Write(ListItemRecord(info, folder, true, lost));
        }
        shown += fresh.size();
        std::fflush(stdout);
    };
    job.Start();
    const bool stopped = RunJobToEnd(
        job, bar, [](double) { return std::chrono::milliseconds(100); }, flush,
        [](const JobProgress& p) { return BarLine {"Searching", p.percent, p.remaining}; });
    const SearchCounters k = job.Counters();
    if (!options.json)
        std::fprintf(stderr, "quarlix: %zu found: %u folders; files: %u intact, %u partly and %u wholly overwritten%s\n",
                     shown, k.folders, k.intact, k.partial, k.overwritten,
                     k.unknown ? (", " + std::to_string(k.unknown) + " not known").c_str() : "");
    return stopped || Interrupted() ? kExitInterrupted : s.ListedExit();
}
