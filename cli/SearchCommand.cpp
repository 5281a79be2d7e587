// `quarlix search`: the deleted items of a volume that match a name, a size
// range (KiB) and a creation or modification date range (local time), found
// by the search job over the index the indexing job made ready. Each match
// prints as `list` prints an item, with the path of the folder that held it.
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/Browse.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/Session.h"
#include "engine/search/SearchJob.h"
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

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS", local time, to seconds in the
// reckoning of the date test (the local calendar through mktime). A bare date
// is the start of that day, or its last second when endOfDay is set.
bool ParseSearchTime(const std::string& text, bool endOfDay, int64_t& seconds) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (text.size() != 10 && text.size() != 19) return false;
    if (!Digits(text, 0, 4, y) || text[4] != '-' || !Digits(text, 5, 2, mo) || text[7] != '-' ||
        !Digits(text, 8, 2, d))
        return false;
    if (text.size() == 19) {
        if (text[10] != 'T' || !Digits(text, 11, 2, h) || text[13] != ':' || !Digits(text, 14, 2, mi) ||
            text[16] != ':' || !Digits(text, 17, 2, s))
            return false;
    } else if (endOfDay) {
        h = 23;
        mi = 59;
        s = 59;
    }
    if (y < 1601) return false;
    return LocalCalendarSeconds(y, mo, d, h, mi, s, seconds);
}

// "FROM..TO"; either side may be left out for an open end.
bool ParseDateRange(const std::string& range, int64_t& from, int64_t& to) {
    const size_t dots = range.find("..");
    if (dots == std::string::npos) return false;
    const std::string a = range.substr(0, dots), b = range.substr(dots + 2);
    if (a.empty() && b.empty()) return false;
    from = INT64_MIN;
    to = INT64_MAX;
    if (!a.empty() && !ParseSearchTime(a, false, from)) return false;
    if (!b.empty() && !ParseSearchTime(b, true, to)) return false;
    return from <= to;
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

// The folder of a hit as the command line writes it: "/Docs/Old", or
// "/$LostFolders/Folder<id>/..." when the chain ends at a lost folder.
std::string HitFolder(CVolume& volume, uint32_t id, bool& lost) {
    std::u16string folder;
    bool broken = false;
    uint32_t lastId = 0;
    lost = false;
    if (!volume.GetFullPath(id, folder, broken, lastId)) return "/";
    if (!broken) return CliPath(folder);
    lost = true;
    std::string rest = Utf16ToUtf8(folder);
    for (auto& c : rest)
        if (c == '\\') c = '/';
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string path = "/$LostFolders/Folder" + std::to_string(lastId);
    return rest.empty() ? path : path + "/" + rest;
}

}  // namespace

int RunSearch(const GlobalOptions& options, const SearchOptions& so) {
    SearchCriteria criteria;
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
        if (!ParseDateRange(so.created.empty() ? so.modified : so.created, criteria.dateFrom, criteria.dateTo)) {
            PrintError("dates are FROM..TO, each YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS in local time");
            return kExitUsage;
        }
    }

    IndexedSource s;
    if (int rc = OpenIndexedSource(options, so.source, so.partition, false, s)) return rc;
    if (s.interrupted) {
        PrintError("interrupted while indexing");
        return kExitInterrupted;
    }
    CSearchJob job(*s.volume);
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
    size_t shown = 0;
    auto flush = [&] {
        std::vector<FileItemInfo> fresh = job.Results(shown);
        if (fresh.empty()) return;
        bar.Clear();
        for (const FileItemInfo& info : fresh) {
            bool lost = false;
            const std::string folder = HitFolder(*s.volume, info.id, lost);
            PrintListItem(options, info, folder, true, lost);
        }
        shown += fresh.size();
        std::fflush(stdout);
    };
    const auto start = std::chrono::steady_clock::now();
    bool stopped = false;
    job.Start();
    while (!job.Finished()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (Interrupted() && !stopped) {
            job.Stop();
            stopped = true;
        }
        flush();
        const SearchCounters k = job.Counters();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int percent = k.total ? static_cast<int>(uint64_t(k.tested) * 100 / k.total) : 0;
        double remaining = -1;
        if (k.total && k.tested) remaining = elapsed * (double(k.total) - k.tested) / k.tested;
        bar.Show("Searching", percent, elapsed, remaining);
    }
    job.Wait();
    bar.Clear();
    flush();
    const SearchCounters k = job.Counters();
    if (!options.json)
        std::fprintf(stderr, "%zu found: %u folders; files: %u intact, %u partly and %u wholly overwritten\n", shown,
                     k.folders, k.intact, k.partial, k.overwritten);
    return stopped || Interrupted() ? kExitInterrupted : kExitOk;
}
