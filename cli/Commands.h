// The commands of `quarlix`. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "cli/Common.h"

int RunDrives(const GlobalOptions& options);
int RunInfo(const GlobalOptions& options, const std::string& source, int partition);
int RunIndex(const GlobalOptions& options, const std::string& source, int partition, bool rescan);
struct RecoverOptions {
    std::string source;
    int partition = 0;
    std::vector<std::string> items;
    bool all = false;
    std::string to;
    bool noStreams = false;
    bool noAttributes = false;
    std::string onConflict = "rename";
};
int RunRecover(const GlobalOptions& options, const RecoverOptions& recover);

int RunCacheClean(const GlobalOptions& options, const std::string& source, int partition);
int RunList(const GlobalOptions& options, const std::string& source, int partition, const std::string& folder,
            bool recursive, bool deletedOnly);
