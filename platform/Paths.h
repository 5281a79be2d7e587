// Where the program keeps its files: the settings folder
// ($XDG_CONFIG_HOME/QuarlixRecovery, default ~/.config/QuarlixRecovery) that
// holds Profile.xml and QuarlixRecovery.log, and the cache folder
// ($XDG_CACHE_HOME/QuarlixRecovery, default ~/.cache/QuarlixRecovery).
#pragma once

#include <string>

std::string SettingsFolder();
std::string CacheFolder();
// Creates the folder with its parents; false on failure.
bool EnsureFolder(const std::string& path);
