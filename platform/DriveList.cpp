#include "DriveList.h"
#include <cstring>
std::vector<DriveListEntry> ListDrives(const std::string&, const std::string&) { return {}; }
std::string OpenErrorMessage(const std::string& path, int err) { return "cannot open " + path + ": " + std::strerror(err); }
