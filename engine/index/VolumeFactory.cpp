#include "VolumeFactory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/Log.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/DriveTable.h"
#include "platform/Status.h"

namespace {
thread_local std::string t_error;
thread_local int t_openErrno = 0;

// Tells an unreadable source apart from one that holds no known file system.
bool ProbeOpen(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        t_openErrno = errno;
        t_error = ErrnoText(errno);
        return false;
    }
    ::close(fd);
    return true;
}
}  // namespace

const std::string& CreateVolumeError() { return t_error; }
int CreateVolumeOpenErrno() { return t_openErrno; }

std::unique_ptr<CVolume> CreateVolume(char16_t letter) {
    t_error.clear();
    t_openErrno = 0;
    auto source = CDriveTable::Instance().Lookup(letter);
    if (!source) {
        t_error = "no source is assigned to this drive letter";
        return nullptr;
    }
    if (!ProbeOpen(source->path)) return nullptr;

    // NTFS first, then FAT. A reader that recognised its boot sector but found
    // it unusable leaves its reason.
    auto ntfs = std::make_unique<CNtfsVolume>();
    if (ntfs->OpenDrive(letter)) return ntfs;
    if (!ntfs->InitError().empty()) t_error = ntfs->InitError();
    ntfs.reset();

    auto fat = std::make_unique<CFatVolume>();
    if (fat->OpenDrive(letter)) return fat;
    if (!fat->InitError().empty()) t_error = fat->InitError();
    return nullptr;
}
