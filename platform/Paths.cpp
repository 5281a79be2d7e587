#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {
std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    if (struct passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// The variable's folder when it names an absolute path, else "".
std::string XdgBase(const char* variable) {
    const char* v = std::getenv(variable);
    return (v && *v == '/') ? std::string(v) : std::string();
}

std::string XdgFolder(const char* variable, const char* fallback) {
    std::string base = XdgBase(variable);
    if (base.empty()) base = HomeFolder() + "/" + fallback;
    return base + "/QuarlixRecovery";
}

constexpr const char* kStateFileNames[] = {"QuarlixRecovery.log", "QuarlixRecovery.log.1", "QuarlixRecovery-crash.txt"};

// rename, or across file systems copy then remove; the source is removed
// only once the copy is complete.
bool MoveFile(const fs::path& from, const fs::path& to, std::error_code& ec) {
    fs::rename(from, to, ec);
    if (!ec) return true;
    if (ec != std::errc::cross_device_link) return false;
    ec.clear();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(to, ignored);
        return false;
    }
    fs::remove(from, ec);
    return !ec;
}
}  // namespace

std::string SettingsFolder() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }
std::string StateFolder() { return XdgFolder("XDG_STATE_HOME", ".local/state"); }
std::string CacheFolder() { return XdgFolder("XDG_CACHE_HOME", ".cache"); }

std::string LogFilePath() { return StateFolder() + "/" + kStateFileNames[0]; }
std::string CrashReportPath() { return StateFolder() + "/" + kStateFileNames[2]; }

std::string RuntimeFolder() {
    const std::string base = XdgBase("XDG_RUNTIME_DIR");
    return base.empty() ? StateFolder() : base + "/QuarlixRecovery";
}

bool EnsureFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

bool EnsurePrivateFolder(const std::string& path) {
    std::error_code ec;
    if (fs::create_directories(path, ec)) fs::permissions(path, fs::perms::owner_all, ec);
    return fs::is_directory(path, ec);
}

std::vector<std::string> MoveStateFilesFromSettingsFolder() {
    std::vector<std::string> said;
    const fs::path oldFolder = SettingsFolder();
    const fs::path newFolder = StateFolder();
    std::error_code ec;
    if (fs::equivalent(oldFolder, newFolder, ec)) return said;  // both variables name one folder
    bool ready = false;
    for (const char* name : kStateFileNames) {
        const fs::path from = oldFolder / name;
        if (!fs::is_regular_file(fs::symlink_status(from, ec))) continue;
        if (!ready && !(ready = EnsurePrivateFolder(newFolder))) {
            said.push_back("Cannot make the folder " + newFolder.string() + "; " + from.string() + " stays where it is");
            break;
        }
        fs::path to = newFolder / name;
        if (fs::exists(fs::symlink_status(to, ec))) to += ".old";
        if (MoveFile(from, to, ec))
            said.push_back("Moved " + from.string() + " to " + to.string());
        else
            said.push_back("Cannot move " + from.string() + " to " + to.string() + ": " + ec.message());
    }
    return said;
}
