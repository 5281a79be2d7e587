// Shared pieces of the command line: exit codes, global options, output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum ExitCode : int {
    kExitOk = 0,
    kExitPartial = 1,      // done, but some items failed or were incomplete
    kExitUsage = 2,
    kExitSource = 3,       // the source cannot be opened or holds no supported file system
    kExitInterrupted = 130,  // Ctrl-C; a stop by SIGTERM exits 128 + 15 (InterruptExitCode)
    kExitOutputLost = 141,   // the output was closed (128 + SIGPIPE, as if the signal had ended the run)
};

struct GlobalOptions {
    bool json = false;
    std::string progress = "auto";  // auto | always | never
    bool noCache = false;
    int logLevel = 1;               // 0 no log, 1 normal, 2 verbose
    std::string badMap;             // a rescue map; "" finds one beside an image, "none" takes none
};

// Text for a terminal: control characters (C0 but tab and line feed when
// keepLines, DEL, C1) and bytes that are no UTF-8 are written "\xHH", so
// that nothing read from a volume can drive the terminal (escape sequences,
// a bell) and a cut character shows as what it is.
std::string TerminalText(std::string_view text, bool keepLines);
// One error line on stderr, prefixed with "quarlix: ", on a line of its own
// (a progress line on the screen is cleared first).
void PrintError(const std::string& message);
// One warning: "quarlix: warning: ..." on stderr as PrintError writes it,
// and with --json also a record of kind "warning" on stdout. Not at log level 0.
void PrintWarning(const std::string& message);
// Set once from the global options: --json and --log-level.
void SetWarningOutput(bool json, int logLevel);
// The clock the times of the open volume count on: NTFS keeps UTC, FAT the
// wall-clock time of the machine that wrote an entry, with no zone. Set when
// a source's volume is opened; UTC until then.
enum class VolumeClock { Utc, WallClock };
void SetVolumeClock(VolumeClock clock);
VolumeClock CurrentVolumeClock();
// FILETIME (100 ns since 1601) to ISO 8601 on the volume's clock: UTC with
// "Z" ("2004-06-01T13:00:04Z"), a wall-clock time without a zone
// ("2004-06-01T15:00:04"); "" for 0 or out of range. Never shifted by this
// machine's time zone.
// With offset (minutes from UTC, kNoTimeOffset for none) a wall-clock time
// is followed by the offset it was written with ("+01:00"); INT16_MIN (kNoTimeOffset) is none.
std::string FileTimeToText(uint64_t fileTime, int16_t offset = INT16_MIN);
// A byte count for people: "1.5 MiB".
std::string HumanSize(uint64_t bytes);
// Loads the settings profile; opens the log in the state folder when logging is
// on and writes the start-up header (OpenProgramLog).
void OpenLog(const GlobalOptions& options);
