// The commands of `quarlix`. Each returns the process exit code.
#pragma once

#include <string>

#include "cli/Common.h"

int RunDrives(const GlobalOptions& options);
int RunInfo(const GlobalOptions& options, const std::string& source, int partition);
int RunIndex(const GlobalOptions& options, const std::string& source, int partition, bool rescan);
int RunCacheClean(const GlobalOptions& options, const std::string& source, int partition);
int RunList(const GlobalOptions& options, const std::string& source, int partition, const std::string& folder,
            bool recursive, bool deletedOnly);
