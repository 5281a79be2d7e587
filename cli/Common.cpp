#include "Common.h"

#include <cstdio>
#include <ctime>
#include <iostream>

#include "app/Log.h"
#include "cli/Progress.h"
#include "cli/RecordWriter.h"
#include "app/Profile.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {
bool g_jsonWarnings = false;
bool g_quiet = false;
}  // namespace

std::string TerminalText(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    auto escape = [&](uint8_t b) { AppendByteEscape(out, b); };
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < 0x80) {
            if ((b < 0x20 && !(keepLines && (b == '\n' || b == '\t'))) || b == 0x7F)
                escape(b);
            else
                out += static_cast<char>(b);
            ++i;
            continue;
        }
        const size_t n = Utf8SequenceLength(text, i);
        if (n == 0) {
            escape(b);
            ++i;
        } else if (n == 2 && b == 0xC2 && static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
            escape(b);  // a C1 control
            escape(static_cast<uint8_t>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

void PrintError(const std::string& message) { WriteMessageLine("quarlix: " + TerminalText(message, true)); }

void SetWarningOutput(bool json, int logLevel) {
    g_jsonWarnings = json;
    g_quiet = logLevel <= 0;
}

void PrintWarning(const std::string& message) {
    if (g_jsonWarnings) WriteWarningRecord(std::cout, message);
    if (!g_quiet) PrintError("warning: " + message);
}

namespace {
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME units
VolumeClock g_clock = VolumeClock::Utc;
}  // namespace

void SetVolumeClock(VolumeClock clock) { g_clock = clock; }
VolumeClock CurrentVolumeClock() { return g_clock; }

std::string FileTimeToText(uint64_t fileTime, int16_t offset) {
    if (fileTime == 0) return {};
    const int64_t unixSeconds = static_cast<int64_t>(fileTime / 10000000ULL) -
                                static_cast<int64_t>(kFileTimeUnixEpoch / 10000000ULL);
    // Both clocks are read without a zone of this machine: a FAT time was
    // counted as if it were UTC, so gmtime gives back its own wall clock.
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tmv {};
    if (!gmtime_r(&t, &tmv) || tmv.tm_year + 1900 < 1601 || tmv.tm_year + 1900 > 9999) return {};
    char buf[32];
    std::strftime(buf, sizeof buf, g_clock == VolumeClock::Utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &tmv);
    if (g_clock == VolumeClock::WallClock && offset > -24 * 60 && offset < 24 * 60) {
        const int a = offset < 0 ? -offset : offset;
        char zoned[48];
        std::snprintf(zoned, sizeof zoned, "%s%c%02d:%02d", buf, offset < 0 ? '-' : '+', a / 60, a % 60);
        return zoned;
    }
    return buf;
}

std::string HumanSize(uint64_t bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 5) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

void OpenLog(const GlobalOptions& options) {
    std::string folder = SettingsFolder();
    const std::string unwritable =
        "the settings folder " + folder + " cannot be written: settings, recent destinations and statistics are not kept";
    if (!EnsureFolder(folder)) {
        PrintWarning(unwritable);
        return;
    }
    // The settings profile: recent destinations, statistics, cache and scan settings.
    CXMLProfile& profile = CXMLProfile::Instance();
    profile.SetPath(DefaultProfilePath());
    profile.Load();
    profile.WriteString("Application", "Version", QUARLIX_VERSION);
    if (!profile.Save()) PrintWarning(unwritable);
    OpenProgramLog(options.logLevel - 1, 51LL * 102400, QUARLIX_VERSION);
}
