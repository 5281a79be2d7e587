#include "VolumeFactory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/DriveTable.h"

namespace {

// Tells an unreadable source apart from one that holds no known file system.
bool ProbeOpen(const std::string& path, VolumeStatus& why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why.openErrno = errno;
        why.status = Status(StatusCode::ReadError, ErrnoText(errno));
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::unique_ptr<CVolume> CreateVolume(char16_t letter, VolumeStatus& why) {
    why = VolumeStatus();
    auto source = CDriveTable::Instance().Lookup(letter);
    if (!source) {
        why.status = Status(StatusCode::NotFound, "no source is assigned to this drive letter");
        return nullptr;
    }
    // An entry without an opened source is opened by each reader from its path.
    if (!source->source && !ProbeOpen(source->path, why)) return nullptr;

    // Both readers look; a reader that recognised its boot sector but found
    // it unusable leaves its reason (the FAT reader's last).
    std::string reason;
    auto ntfs = std::make_unique<CNtfsVolume>();
    const bool isNtfs = ntfs->OpenDrive(letter);
    if (!isNtfs) {
        reason = ntfs->InitError();
        ntfs.reset();
    }
    auto fat = std::make_unique<CFatVolume>();
    const bool isFat = fat->OpenDrive(letter);
    if (!isFat) {
        if (!fat->InitError().empty()) reason = fat->InitError();
        fat.reset();
    }

    if (isNtfs && isFat) {
        why.status = Status(StatusCode::Ambiguous, "the boot sector looks like both NTFS and FAT; not guessing which");
        return nullptr;
    }
    if (isNtfs) return ntfs;
    if (isFat) return fat;
    why.status = Status(reason.empty() ? StatusCode::NotFound : StatusCode::Corrupt, reason);
    return nullptr;
}
