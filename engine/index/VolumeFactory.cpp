#include "VolumeFactory.h"

#include <cerrno>
#include <vector>

#include "engine/exfat/ExfatVolume.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/DeviceStream.h"
#include "platform/DriveTable.h"

namespace {

template <class Volume>
std::unique_ptr<CVolume> Make() {
    return std::make_unique<Volume>();
}

// The file systems this program reads, in the order they look at a source.
const FileSystemEntry kFileSystems[] = {
    {"NTFS", &CNtfsVolume::Probe, &Make<CNtfsVolume>},
    {"FAT", &CFatVolume::Probe, &Make<CFatVolume>},
    {"exFAT", &CExfatVolume::Probe, &Make<CExfatVolume>},
};

}  // namespace

std::span<const FileSystemEntry> FileSystems() { return kFileSystems; }

bool OpenProbeSource(const SourceSpec& spec, CDeviceStream& stream, BootSource& boot) {
    const bool opened =
        spec.source ? stream.Open(spec.source, spec.offset, spec.length) : stream.Open(spec.path, spec.offset, spec.length);
    if (!opened) return false;
    // Straight from the source: a probe costs the bytes it asks for, no read-ahead.
    boot.read = [&stream](uint64_t offset, void* buffer, size_t size) { return stream.ReadFresh(offset, buffer, size); };
    boot.length = stream.Length();
    return true;
}

std::unique_ptr<CVolume> CreateVolume(char16_t letter, VolumeStatus& why) {
    why = VolumeStatus();
    auto source = CDriveTable::Instance().Lookup(letter);
    if (!source) {
        why.status = Status(StatusCode::NotFound, "no source is assigned to this drive letter");
        return nullptr;
    }
    // The probes tell an unreadable source apart from one that holds no known file system.
    CDeviceStream stream;
    BootSource boot;
    if (!OpenProbeSource(*source, stream, boot)) {
        why.openErrno = errno;
        why.status = Status(StatusCode::ReadError, ErrnoText(errno));
        return nullptr;
    }

    // Every probe looks; one that recognised its boot sector but found it
    // unusable leaves its reason (the last such file system's). Only the
    // file systems whose probe says yes open their volume: when two do (a
    // boot sector crafted to pass both), both open, and a source that both
    // accept is not guessed at.
    std::string reason;
    std::vector<std::unique_ptr<CVolume>> accepted;
    std::string names;
    for (const FileSystemEntry& fs : kFileSystems) {
        ProbeResult r = fs.probe(boot);
        if (r.answer == ProbeAnswer::Damaged && !r.reason.empty()) reason = std::move(r.reason);
        if (r.answer != ProbeAnswer::Yes) continue;
        std::unique_ptr<CVolume> volume = fs.make();
        if (!volume->OpenDrive(letter)) {
            if (!volume->InitError().empty()) reason = volume->InitError();
            continue;
        }
        names += (names.empty() ? "" : " and ") + std::string(fs.name);
        accepted.push_back(std::move(volume));
    }
    if (accepted.size() > 1) {
        why.status = Status(StatusCode::Ambiguous, "the boot sector looks like both " + names + "; not guessing which");
        return nullptr;
    }
    if (accepted.size() == 1) return std::move(accepted.front());
    why.status = Status(reason.empty() ? StatusCode::NotFound : StatusCode::Corrupt, reason);
    return nullptr;
}
