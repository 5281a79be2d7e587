#include "Destination.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Status.h"

namespace {

// The whole-disk device of a block device (itself when it is a whole disk).
dev_t WholeDisk(dev_t dev) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(dev), minor(dev));
    std::error_code ec;
    std::filesystem::path p = std::filesystem::canonical(link, ec);
    if (ec) return dev;
    if (!std::filesystem::exists(p / "partition", ec)) return dev;
    std::ifstream in(p.parent_path() / "dev");
    unsigned ma = 0, mi = 0;
    char colon = 0;
    if (in >> ma >> colon >> mi && colon == ':') return makedev(ma, mi);
    return dev;
}

}  // namespace

DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize) {
    DestinationCheck r;
    std::string d = destination;
    while (!d.empty() && (d.back() == ' ' || d.back() == '\t')) d.pop_back();
    while (!d.empty() && (d.front() == ' ' || d.front() == '\t')) d.erase(d.begin());
    if (d.empty()) {
        r.status = Status(StatusCode::InvalidArgument, "no destination folder given");
        return r;
    }
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(d, ec).lexically_normal();
    r.folder = abs.string();
    while (r.folder.size() > 1 && r.folder.back() == '/') r.folder.pop_back();

    // Judge a destination that does not exist yet by its nearest existing parent.
    std::filesystem::path existing = abs;
    struct stat dst {};
    while (::stat(existing.c_str(), &dst) != 0) {
        if (!existing.has_parent_path() || existing.parent_path() == existing) {
            r.status = Status(StatusCode::NotFound, "the destination " + r.folder + " cannot be reached");
            return r;
        }
        existing = existing.parent_path();
    }
    if (!S_ISDIR(dst.st_mode)) {
        r.status = Status(StatusCode::InvalidArgument, "the destination " + existing.string() + " is not a folder");
        return r;
    }

    struct stat src {};
    if (!sourcePath.empty() && ::stat(sourcePath.c_str(), &src) == 0 && S_ISBLK(src.st_mode)) {
        dev_t destDev = dst.st_dev;
        if (destDev == src.st_rdev || WholeDisk(destDev) == src.st_rdev || WholeDisk(src.st_rdev) == destDev) {
            r.status = Status(StatusCode::InvalidArgument, "the destination " + r.folder +
                                                               " lies on the device being recovered (" + sourcePath +
                                                               "); choose a folder on another drive");
            return r;
        }
    }

    struct statvfs vfs {};
    if (::statvfs(existing.c_str(), &vfs) == 0) r.freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    r.tooSmall = r.freeBytes != 0 && totalSize > r.freeBytes;
    return r;
}

Status PrepareDestination(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        return Status(StatusCode::WriteError, "cannot create the destination " + folder + ": " + ec.message());
    }
    if (!std::filesystem::is_directory(folder, ec)) {
        return Status(StatusCode::InvalidArgument, "the destination " + folder + " is not a folder");
    }
    // A probe file, removed at once: the only sure test of writability.
    std::string probe = folder + "/.quarlix-probe-XXXXXX";
    int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        return ErrnoStatus(StatusCode::WriteError, "cannot write into the destination " + folder, errno);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return Status::Ok();
}
