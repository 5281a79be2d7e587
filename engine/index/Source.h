// Opening a source for a front end: a block device, a volume image, or a whole
// disk / disk image with a partition table (one partition picked by
// --partition N, or the only NTFS/FAT one).
#pragma once

#include <memory>
#include <string>

#include "engine/index/VolumeFactory.h"
#include "engine/volume/Volume.h"
#include "platform/ByteSource.h"
#include "platform/PartitionTable.h"

struct OpenedSource {
    std::string path;               // canonical path
    std::shared_ptr<CByteSource> bytes;  // the source, opened once and shared with its volume
    PartitionTable table;           // scheme "" when the source has no table
    int partition = 0;              // 0 = whole device
    uint64_t offset = 0;
    uint64_t length = 0;
    char16_t letter = 0;
    std::unique_ptr<CVolume> volume;  // null when no supported file system was found
    VolumeStatus volumeStatus;        // why the last volume tried was not made
    // What the source (or the chosen partition) holds when it is no NTFS or
    // FAT volume, as libblkid names it ("exFAT", "ext4", "LUKS", ...; "empty"
    // for zeros); empty when nothing was recognised.
    std::vector<std::string> otherContent;
    // The rescue map whose not-rescued ranges the source takes as unreadable
    // ("" for none), and what it marks.
    std::string rescueMap;
    uint64_t mapUnreadableBytes = 0;
    size_t mapUnreadableAreas = 0;
};

struct SourceError {
    int exitCode = 0;
    std::string message;  // may end with the list of the partitions
    std::string summary;  // the message without that list, when it has one
    bool rescueMap = false;  // the rescue map could not be taken
    // The message without the partition list (for a caller that printed the table).
    const std::string& Summary() const { return summary.empty() ? message : summary; }
};

// Opens path as a byte source (ByteSource.h) and reads its partition table,
// without opening a volume. badMap names a rescue map (RescueMap.h) whose
// bad, untried and unfinished ranges the source then never reads: "" takes
// IMAGE.map or IMAGE.mapfile beside an image file when there is one, "none"
// takes no map (a map's offsets are the source's bytes, whatever holds
// them). A map that cannot be read is an error (exit 2 for a map named, 3
// for one found).
bool ReadSourceTable(const std::string& path, OpenedSource& out, SourceError& error, const std::string& badMap = {});
// Opens the volume of a source ReadSourceTable opened (no second open).
// partition: 0 = choose; requireVolume: fail with exit 3 when no NTFS/FAT file
// system is found, naming what is there instead. Error messages name the
// partitions of a table and the command line's --partition option.
bool PickSourceVolume(OpenedSource& out, int partition, bool requireVolume, SourceError& error);
// Both in one.
bool OpenVolumeSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error,
                      const std::string& badMap = {});

// The file systems otherContent names, for a message ("exFAT", "ext4 and
// LUKS"); "" when there are none (zeros are no file system).
std::string OtherContentNames(const std::vector<std::string>& names);
