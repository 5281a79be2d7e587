// Where the program keeps its files, by the XDG base-directory rules:
//   settings  $XDG_CONFIG_HOME/QuarlixRecovery (default ~/.config/...): Profile.xml
//   state     $XDG_STATE_HOME/QuarlixRecovery (default ~/.local/state/...):
//             QuarlixRecovery.log, its older half QuarlixRecovery.log.1 and
//             the crash report QuarlixRecovery-crash.txt
//   runtime   $XDG_RUNTIME_DIR/QuarlixRecovery: the window's lock file and
//             socket; without XDG_RUNTIME_DIR (no login session, su, cron)
//             the state folder, which is the user's own, never /tmp
//   cache     $XDG_CACHE_HOME/QuarlixRecovery (default ~/.cache/...): indexes
// A variable that is unset, empty or not an absolute path counts as unset.
#pragma once

#include <string>
#include <vector>

std::string SettingsFolder();
std::string StateFolder();
std::string RuntimeFolder();
std::string CacheFolder();
// StateFolder() + "/QuarlixRecovery.log", and the crash report beside it.
std::string LogFilePath();
std::string CrashReportPath();
// Creates the folder with its parents; false on failure.
bool EnsureFolder(const std::string& path);
// Same, and a folder it creates is readable by its owner only (0700).
bool EnsurePrivateFolder(const std::string& path);

// Earlier versions kept the log, its older half and the crash report in the
// settings folder. Moves each one found there into the state folder (a
// rename, or a copy and remove across file systems); when the state folder
// already has one of that name, the moved file is kept beside it as
// NAME.old. Profile.xml and anything else in the settings folder stay.
// Returns one line per file moved or left behind, for the log.
std::vector<std::string> MoveStateFilesFromSettingsFolder();
