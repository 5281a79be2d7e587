// How the window writes sizes and times: one place for every page and dialog.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>

// FILETIME to a local date-time for display: NTFS keeps UTC, FAT the
// wall-clock time it was written with (shown as it stands). Invalid for 0.
QDateTime FileTimeToDateTime(uint64_t fileTime, bool utc);
// "%x %X": the locale's short date and time; empty for 0.
QString FormatFileTime(uint64_t fileTime, bool utc);
// "4.2 MB".
QString HumanSize(uint64_t bytes);
