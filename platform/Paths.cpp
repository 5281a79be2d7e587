#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {
std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (struct passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string XdgFolder(const char* variable, const char* fallback) {
    const char* v = std::getenv(variable);
    std::string base = (v && *v == '/') ? std::string(v) : HomeFolder() + "/" + fallback;
    return base + "/QuarlixRecovery";
}
}  // namespace

std::string SettingsFolder() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }
std::string CacheFolder() { return XdgFolder("XDG_CACHE_HOME", ".cache"); }

bool EnsureFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}
