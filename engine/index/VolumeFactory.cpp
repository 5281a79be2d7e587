#include "VolumeFactory.h"

#include <cerrno>

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
    // unusable leaves its reason (the last such file system's).
    constexpr size_t kCount = std::size(kFileSystems);
    std::string reasons[kCount];
    const FileSystemEntry* chosen = nullptr;
    size_t chosenAt = 0, recognised = 0;
    std::string names;
    for (size_t i = 0; i < kCount; ++i) {
        ProbeResult r = kFileSystems[i].probe(boot);
        if (r.answer == ProbeAnswer::Yes) {
            names += (names.empty() ? "" : " and ") + std::string(kFileSystems[i].name);
            chosen = &kFileSystems[i];
            chosenAt = i;
            ++recognised;
        } else if (r.answer == ProbeAnswer::Damaged) {
            reasons[i] = std::move(r.reason);
        }
    }
    if (recognised > 1) {
        why.status = Status(StatusCode::Ambiguous, "the boot sector looks like both " + names + "; not guessing which");
        return nullptr;
    }
    // Only the file system that is there opens its volume.
    if (chosen) {
        std::unique_ptr<CVolume> volume = chosen->make();
        if (volume->OpenDrive(letter)) return volume;
        reasons[chosenAt] = volume->InitError();
    }
    std::string reason;
    for (const std::string& r : reasons)
        if (!r.empty()) reason = r;
    why.status = Status(reason.empty() ? StatusCode::NotFound : StatusCode::Corrupt, reason);
    return nullptr;
}
