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
// "4.2 MB": powers of 1000 with the SI units (kB, MB, GB, ...), the one way
// every page and dialog writes a size; below 1000 the bytes themselves.
QString HumanSize(uint64_t bytes);

// A path typed into a field, made absolute: "~" and "~/..." name the home
// folder, any other relative path is taken from the home folder (relative is
// then set); "" stays "". The dialogs put the result back into the field, and
// stop once on a relative path, so that the user sees the folder they are
// about to write to.
QString ResolveTypedPath(const QString& typed, bool* relative = nullptr);
