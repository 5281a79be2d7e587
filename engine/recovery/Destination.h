// Checks of a recovery destination on this machine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>
#include <vector>

#include "platform/Status.h"

struct DestinationCheck {
    Status status;              // not ok: refused, its message says why
    std::string folder;         // the destination made absolute, without a trailing "/"
    uint64_t freeBytes = 0;     // free space of the destination's file system (0 when unknown)
    bool tooSmall = false;      // the selection is larger than the free space (a warning)
    // The destination's file system is a FUSE one that names no file or
    // device behind it (a network share, an archive, a source given as a
    // mere name): it might be the source itself. Not a refusal; the caller
    // asks before writing there. The message says why.
    bool backingUnknown = false;
    std::string backingMessage;
};

// One mount of the mount table (the format of /proc/self/mountinfo).
struct MountEntry {
    dev_t device = 0;        // the file system's device number
    std::string mountPoint;
    std::string type;        // "vfat", "fuseblk", "fuse", "fuse.sshfs", ...
    std::string source;      // what it was mounted from: a device, a file, or a mere name
};

// The mounts of a mount table's text, its escapes ("\040" for a space) decoded.
std::vector<MountEntry> ParseMountTable(std::string_view text);

// What the machine tells about its block devices and mounts. The check reads
// nothing else about them, so that a test can hand in a crafted mount table
// and sysfs tree.
struct StorageView {
    std::string mountTable;        // the text of /proc/self/mountinfo
    std::string sysRoot = "/sys";  // sysfs, read at dev/block/MAJ:MIN
    // This machine's view: /proc/self/mountinfo and /sys.
    static StorageView OfThisMachine();
};

// Refuses a destination that is empty, or whose file system is backed by the
// source, whatever the path to it. Backings are compared by device number, and
// files by device and inode, never by name:
//  - a destination on the source device, on the disk it is a partition of, on
//    one of its partitions, or on a device-mapper/RAID device built on it;
//    for a device-mapper source also a device it is built on;
//  - a loop device (or a partition of one) whose backing file is the source
//    image or whose backing device is the source;
//  - a mount whose source in the mount table is the source image or device
//    (ntfs-3g and other FUSE drivers name the image they serve);
//  - any of these through further layers (a loop over a file on the source
//    device, a device-mapper device over such a loop).
// An image-file source's own file system is a fine place to write (new files
// take free blocks, never the image's), and the image itself is protected by
// the output writer. A FUSE destination naming no file or device behind it is
// not refused but flagged backingUnknown. A destination that does not exist
// yet is judged by its nearest existing parent.
DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize,
                                  const StorageView& view);
// The same with this machine's view.
DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize);

// Makes a checked destination folder ready before any work starts: creates
// it with its parents and proves that a file can be created in it (a
// read-only file system, a missing permission). created (if given) gets the
// folders it made, deepest first.
Status PrepareDestination(const std::string& folder, std::vector<std::string>* created = nullptr);
// Removes those of the folders PrepareDestination made that are still
// empty (a run that wrote nothing leaves no trace), deepest first.
void RemoveEmptyCreatedFolders(const std::vector<std::string>& created);
