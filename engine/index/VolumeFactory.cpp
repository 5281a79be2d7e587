#include "VolumeFactory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

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

// The file systems this program reads, in the order they look at a source.
struct FileSystemEntry {
    const char* name;
    std::unique_ptr<CVolume> (*make)();
};
const FileSystemEntry kFileSystems[] = {
    {"NTFS", [] { return std::unique_ptr<CVolume>(std::make_unique<CNtfsVolume>()); }},
    {"FAT", [] { return std::unique_ptr<CVolume>(std::make_unique<CFatVolume>()); }},
};

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

    // Every reader looks; one that recognised its boot sector but found it
    // unusable leaves its reason (the last such reader's).
    std::string reason;
    std::vector<std::unique_ptr<CVolume>> accepted;
    std::string names;
    for (const FileSystemEntry& fs : kFileSystems) {
        std::unique_ptr<CVolume> volume = fs.make();
        if (volume->OpenDrive(letter)) {
            names += (names.empty() ? "" : " and ") + std::string(fs.name);
            accepted.push_back(std::move(volume));
        } else if (!volume->InitError().empty()) {
            reason = volume->InitError();
        }
    }
    if (accepted.size() > 1) {
        why.status = Status(StatusCode::Ambiguous, "the boot sector looks like both " + names + "; not guessing which");
        return nullptr;
    }
    if (accepted.size() == 1) return std::move(accepted.front());
    why.status = Status(reason.empty() ? StatusCode::NotFound : StatusCode::Corrupt, reason);
    return nullptr;
}
