#include "engine/index/Source.h"

#include <cerrno>
#include <filesystem>

#include "engine/index/VolumeFactory.h"
#include "platform/ContentProbe.h"
#include "platform/DeviceStream.h"
#include "platform/DriveList.h"
#include "platform/DriveTable.h"
#include "platform/RescueMap.h"

namespace {

std::unique_ptr<CVolume> MakeVolume(const OpenedSource& source, uint64_t offset, uint64_t length, int partition,
                                    char16_t& letter, VolumeStatus& why) {
    SourceSpec spec;
    spec.path = source.path;
    spec.offset = offset;
    spec.length = length;
    spec.partition = partition;
    spec.source = source.bytes;
    letter = CDriveTable::Instance().Assign(spec);
    return CreateVolume(letter, why);
}

// "exFAT", "ext4 and LUKS", ... for a message.
std::string JoinNames(const std::vector<std::string>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) s += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return s;
}

// What libblkid sees in a window of the source, for a message.
std::string ContentText(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    if (names.size() == 1 && names[0] == kEmptyContent) return "empty (its first bytes are all zeros)";
    if (names.size() == 1) return names[0] + " volume, not supported";
    return JoinNames(names) + " found in the same place, none of them supported";
}

std::string ListPartitions(const OpenedSource& source) {
    std::string s;
    for (const auto& p : source.table.partitions) {
        s += "\n  " + std::to_string(p.number) + ": offset " + std::to_string(p.offset) + ", length " +
             std::to_string(p.length) + ", " + p.typeName;
        const auto seen = ProbeContent(*source.bytes, p.offset, p.length);
        if (!seen.empty()) s += seen.size() == 1 && seen[0] == kEmptyContent ? " (empty)" : " (" + JoinNames(seen) + ")";
    }
    return s;
}

// A failure whose message ends with the partition list.
SourceError WithPartitions(int exitCode, const std::string& summary, const OpenedSource& source) {
    return {exitCode, summary + "; partitions:" + ListPartitions(source), summary};
}

// What a user can still do with what is there.
std::string NextStep(const std::vector<std::string>& names) {
    for (const auto& n : names) {
        if (n == "LUKS")
            return "; its content is encrypted: unlock it first (cryptsetup open) and open the unlocked device "
                   "(/dev/mapper/NAME)";
        if (n == "BitLocker")
            return "; its content is encrypted: unlock it first (cryptsetup open --type bitlk) and open the "
                   "unlocked device (/dev/mapper/NAME)";
    }
    return "; the surface scan (quarlix scan) can still find files there by their content";
}

// Takes the rescue map named (or the one beside an image file) into the
// opened source.
bool UseRescueMap(const std::string& path, const std::string& badMap, OpenedSource& out, SourceError& error) {
    if (badMap == "none") return true;
    std::string map = badMap;
    const bool named = !map.empty();
    const SourceMedium medium = out.bytes->Medium();
    if (!named && medium == SourceMedium::ImageFile) {
        map = MapFileBeside(path);
        if (map.empty() && out.path != path) map = MapFileBeside(out.path);
    }
    if (map.empty()) return true;
    CRescueMap rescue(out.bytes->Size());
    std::string why;
    if (!rescue.Load(map, why)) {
        error = {named ? 2 : 3, why};
        error.rescueMap = true;
        return false;
    }
    const std::vector<ByteRange> lost = rescue.NotRescued();
    out.bytes->MarkUnreadable(lost);
    out.rescueMap = map;
    out.mapUnreadableAreas = lost.size();
    for (const ByteRange& r : lost) out.mapUnreadableBytes += r.length;
    return true;
}

}  // namespace

std::string OtherContentNames(const std::vector<std::string>& names) {
    std::vector<std::string> systems;
    for (const auto& n : names)
        if (n != kEmptyContent) systems.push_back(n);
    return JoinNames(systems);
}

bool ReadSourceTable(const std::string& path, OpenedSource& out, SourceError& error, const std::string& badMap) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(path, ec);
    out.path = ec ? path : canonical.string();
    ByteSourceError openError;
    out.bytes = OpenByteSource(out.path, openError);
    if (!out.bytes) {
        error = {3, openError.errnoValue ? OpenErrorMessage(path, openError.errnoValue) : openError.message};
        return false;
    }
    if (!UseRescueMap(path, badMap, out, error)) return false;
    CDeviceStream device;
    device.Open(out.bytes);
    std::string tableError;
    if (!ReadPartitionTable(device, out.table, tableError)) {
        error = {3, "cannot read the partition table of " + path + ": " + tableError};
        return false;
    }
    out.length = device.Length();
    return true;
}

bool PickSourceVolume(OpenedSource& out, int partition, bool requireVolume, SourceError& error) {
    const std::string& path = out.path;
    out.volume.reset();
    out.otherContent.clear();
    if (out.table.scheme.empty()) {
        if (partition > 0) {
            error = {2, path + " has no partition table; --partition cannot be used"};
            return false;
        }
        out.offset = 0;
        out.volume = MakeVolume(out, 0, 0, 0, out.letter, out.volumeStatus);
    } else if (partition > 0) {
        const PartitionEntry* chosen = nullptr;
        for (const auto& p : out.table.partitions)
            if (p.number == partition) chosen = &p;
        if (!chosen) {
            error = WithPartitions(2, "partition " + std::to_string(partition) + " does not exist on " + path, out);
            return false;
        }
        out.partition = chosen->number;
        out.offset = chosen->offset;
        out.length = chosen->length;
        out.volume = MakeVolume(out, chosen->offset, chosen->length, chosen->number, out.letter, out.volumeStatus);
    } else {
        // Take the only partition that holds NTFS or FAT.
        int found = 0;
        for (const auto& p : out.table.partitions) {
            char16_t letter = 0;
            auto volume = MakeVolume(out, p.offset, p.length, p.number, letter, out.volumeStatus);
            if (!volume) {
                CDriveTable::Instance().Remove(letter);
                continue;
            }
            if (++found == 1) {
                out.partition = p.number;
                out.offset = p.offset;
                out.length = p.length;
                out.letter = letter;
                out.volume = std::move(volume);
            }
        }
        if (found > 1) {
            out.volume.reset();
            error = WithPartitions(
                2, path + " holds " + std::to_string(found) + " NTFS, FAT or exFAT partitions; choose one with --partition N", out);
            return false;
        }
        if (found == 0 && requireVolume) {
            error = WithPartitions(3, "no NTFS, FAT or exFAT file system found on any partition of " + path, out);
            return false;
        }
    }
    if (!out.volume) out.otherContent = ProbeContent(*out.bytes, out.offset, out.length);
    if (!out.volume && requireVolume) {
        const VolumeStatus& why = out.volumeStatus;
        const std::string where = out.partition ? "partition " + std::to_string(out.partition) + " of " + path : path;
        if (why.openErrno != 0)
            error = {3, OpenErrorMessage(path, why.openErrno)};
        else if (!why.status.message().empty())
            error = {3, "no usable NTFS, FAT or exFAT file system on " + where + ": " + why.status.message() +
                            (out.otherContent.empty() ? "" : "; libblkid sees " + JoinNames(out.otherContent))};
        else if (!out.otherContent.empty())
            error = {3, where + ": " + ContentText(out.otherContent) + NextStep(out.otherContent)};
        else
            error = {3, "no NTFS, FAT or exFAT file system found on " + where + NextStep({})};
        return false;
    }
    return true;
}

bool OpenVolumeSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error,
                      const std::string& badMap) {
    if (!ReadSourceTable(path, out, error, badMap)) return false;
    return PickSourceVolume(out, partition, requireVolume, error);
}

