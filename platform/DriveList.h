// The drive listing of `quarlix drives`: block devices and partitions from
// /sys/class/block, file-system type and label from libblkid, sizes from
// sysfs. Devices that cannot be opened are listed with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DriveListEntry {
    std::string device;       // /dev/sda1
    std::string kind;         // "disk", "partition", "loop", "removable", "cdrom"
    std::string filesystem;   // libblkid TYPE ("ntfs", "vfat", "exfat", ...) or ""
    std::string fsDisplay;    // "NTFS", "FAT12", "FAT16", "FAT32", or the blkid type upper-cased
    std::string label;
    uint64_t size = 0;        // bytes
    uint64_t free = 0;        // bytes, 0 when unknown
    bool supported = false;   // NTFS, FAT12/16/32 or exFAT
    bool readable = true;     // false when the device could not be opened
    std::string error;        // why it could not be read (with advice that fits the error)
    int errorNumber = 0;      // the errno of the failed open
    // Refused for lack of permission to this user (EACCES, not root): a
    // broker may open it. EPERM, or any refusal to root, is the system's own
    // (a locked or secured device) and no broker helps.
    bool permissionDenied = false;
};

// Lists the block devices of this machine. sysfsRoot and devRoot are
// parameters so tests can point them at a fake tree.
std::vector<DriveListEntry> ListDrives(const std::string& sysfsRoot = "/sys/class/block",
                                       const std::string& devRoot = "/dev");

// The message for a source that cannot be opened: "cannot open PATH:
// STRERROR", for permission errors with how to get access (an image file:
// its permissions; a device or a path under /dev refused with EACCES to a
// user other than root: sudo or the group 'disk'; refused with EPERM, or to
// root: the system refused access, which more rights do not change), for a
// pipe or FIFO (ESPIPE) that it cannot be read as a volume. asRoot defaults
// to the effective user of this process.
std::string OpenErrorMessage(const std::string& path, int err);
std::string OpenErrorMessage(const std::string& path, int err, bool asRoot);
