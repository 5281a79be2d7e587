#include "engine/index/Source.h"

#include <cerrno>
#include <filesystem>

#include "engine/fat/FatVolume.h"
#include "engine/index/VolumeFactory.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/DeviceStream.h"
#include "platform/DriveList.h"
#include "platform/DriveTable.h"

namespace {

std::unique_ptr<CVolume> MakeVolume(const std::string& path, uint64_t offset, uint64_t length, char16_t& letter,
                                    VolumeStatus& why) {
    SourceSpec spec;
    spec.path = path;
    spec.offset = offset;
    spec.length = length;
    letter = CDriveTable::Instance().Assign(spec);
    if (!letter) return nullptr;
    return CreateVolume(letter, why);
}

std::string ListPartitions(const PartitionTable& table) {
    std::string s;
    for (const auto& p : table.partitions) {
        s += "\n  " + std::to_string(p.number) + ": offset " + std::to_string(p.offset) + ", length " +
             std::to_string(p.length) + ", " + p.typeName;
    }
    return s;
}

// A failure whose message ends with the partition list.
SourceError WithPartitions(int exitCode, const std::string& summary, const PartitionTable& table) {
    return {exitCode, summary + "; partitions:" + ListPartitions(table), summary};
}

}  // namespace

bool ReadSourceTable(const std::string& path, OpenedSource& out, SourceError& error) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(path, ec);
    out.path = ec ? path : canonical.string();
    CDeviceStream device;
    if (!device.Open(out.path)) {
        error = {3, OpenErrorMessage(path, errno)};
        return false;
    }
    std::string tableError;
    if (!ReadPartitionTable(device, out.table, tableError)) {
        error = {3, "cannot read the partition table of " + path + ": " + tableError};
        return false;
    }
    out.length = device.Length();
    return true;
}

bool OpenVolumeSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error) {
    if (!ReadSourceTable(path, out, error)) return false;
    if (out.table.scheme.empty()) {
        if (partition > 0) {
            error = {2, path + " has no partition table; --partition cannot be used"};
            return false;
        }
        out.offset = 0;
        out.volume = MakeVolume(out.path, 0, 0, out.letter, out.volumeStatus);
    } else if (partition > 0) {
        const PartitionEntry* chosen = nullptr;
        for (const auto& p : out.table.partitions)
            if (p.number == partition) chosen = &p;
        if (!chosen) {
            error = WithPartitions(2, "partition " + std::to_string(partition) + " does not exist on " + path, out.table);
            return false;
        }
        out.partition = chosen->number;
        out.offset = chosen->offset;
        out.length = chosen->length;
        out.volume = MakeVolume(out.path, chosen->offset, chosen->length, out.letter, out.volumeStatus);
    } else {
        // Take the only partition that holds NTFS or FAT.
        int found = 0;
        for (const auto& p : out.table.partitions) {
            char16_t letter = 0;
            auto volume = MakeVolume(out.path, p.offset, p.length, letter, out.volumeStatus);
            if (volume) {
                ++found;
                if (found == 1) {
                    out.partition = p.number;
                    out.offset = p.offset;
                    out.length = p.length;
                    out.letter = letter;
                    out.volume = std::move(volume);
                }
            }
        }
        if (found > 1) {
            out.volume.reset();
            error = WithPartitions(
                2, path + " holds " + std::to_string(found) + " NTFS/FAT partitions; choose one with --partition N",
                out.table);
            return false;
        }
        if (found == 0 && requireVolume) {
            error = WithPartitions(3, "no NTFS or FAT file system found on any partition of " + path, out.table);
            return false;
        }
    }
    if (!out.volume && requireVolume) {
        const VolumeStatus& why = out.volumeStatus;
        if (why.openErrno != 0)
            error = {3, OpenErrorMessage(path, why.openErrno)};
        else if (!why.status.message().empty())
            error = {3, "no usable NTFS or FAT file system on " + path + ": " + why.status.message()};
        else
            error = {3, "no NTFS or FAT file system found on " + path};
        return false;
    }
    return true;
}

std::string VolumeLabelText(CVolume& volume) {
    if (auto* fat = dynamic_cast<CFatVolume*>(&volume)) return fat->VolumeLabel();
    if (auto* ntfs = dynamic_cast<CNtfsVolume*>(&volume)) return ntfs->VolumeLabelUtf8();
    return {};
}
