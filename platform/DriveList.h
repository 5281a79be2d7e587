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
// STRERROR", for permission errors with AccessAdvice (device: a block device
// or a path under /dev; the effective user of this process), for a pipe or
// FIFO (ESPIPE) that it cannot be read as a volume.
std::string OpenErrorMessage(const std::string& path, int err);
// The same for a user who is root (asRoot) or not.
std::string OpenErrorMessage(const std::string& path, int err, bool asRoot);

// What to do about an open refused with err by the user euid, in
// parentheses after a space; "" when err is no refusal. Only EACCES for a
// user other than root comes from permission bits that sudo, the group
// 'disk' (a device) or the file's permissions (an image file) change; EPERM,
// or any refusal to root, comes from elsewhere (a security module, a
// container's device rules, a network file system that does not trust
// root), and the advice says so instead.
std::string AccessAdvice(int err, bool device, unsigned euid);

// The note under a drive listing whose devices in `errors` (one errno each)
// could not be opened by euid; "" when there are none.
std::string UnreadableDevicesNote(const std::vector<int>& errors, unsigned euid);
