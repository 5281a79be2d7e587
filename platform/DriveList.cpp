// The drive listing: one entry per block device or partition under
// /sys/class/block, with its kind and size from sysfs and its file system
// and label from libblkid.
//
// Choices made here:
// - ram*, zram* and unbound loop devices (size 0) are not listed; everything
//   else is, including disks without a file system, so that whole disks can
//   be picked for a partition-table or raw scan.
// - Each device is opened read-only by us and handed to libblkid with
//   blkid_probe_set_device, so that an open failure keeps its errno for the
//   message (OpenErrorMessage) and the entry is listed as unreadable.
// - Free space is left at 0 (unknown): finding it means reading the whole
//   FAT or the NTFS $Bitmap of every volume, too slow for a listing.
// - Entries are sorted by device name with digit runs compared as numbers
//   (sda, sda1, sda2, sda10, sdb).
#include "DriveList.h"

#include "platform/DeviceAccess.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "DeviceStream.h"
#include "Status.h"

namespace fs = std::filesystem;

namespace {

// The first line of a small sysfs attribute file, without surrounding blanks;
// empty when the file cannot be read.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    size_t b = line.find_first_not_of(" \t\r");
    size_t e = line.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
}

// A decimal attribute; false when missing or not a number.
bool ReadNumber(const fs::path& file, uint64_t& value) {
    std::string text = ReadAttribute(file);
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Name order with digit runs compared by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9';
        bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            size_t ie = i, je = j;
            while (ie < a.size() && a[ie] == '0') ++ie;
            while (je < b.size() && b[je] == '0') ++je;
            size_t is = ie, js = je;
            while (ie < a.size() && a[ie] >= '0' && a[ie] <= '9') ++ie;
            while (je < b.size() && b[je] >= '0' && b[je] <= '9') ++je;
            if (ie - is != je - js) return ie - is < je - js;
            int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string Lookup(blkid_probe probe, const char* name) {
    const char* value = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(probe, name, &value, &len) != 0 || !value) return {};
    std::string s(value, len);
    while (!s.empty() && s.back() == '\0') s.pop_back();  // the length counts the terminator
    return s;
}

// Opens the device read-only and asks libblkid for its file system.
void Probe(DriveListEntry& entry) {
    int fd = DuplicateDeviceDescriptor(entry.device);  // one handed over (UDisks2) first
    if (fd < 0) fd = ::open(entry.device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        entry.errorNumber = err;
        entry.permissionDenied = err == EACCES && ::geteuid() != 0;
        entry.readable = false;
        entry.error = OpenErrorMessage(entry.device, err);
        return;
    }
    if (entry.size == 0) {
        uint64_t size = 0;
        if (QueryDeviceSize(fd, size)) entry.size = size;
    }
    blkid_probe probe = blkid_new_probe();
    if (probe && blkid_probe_set_device(probe, fd, 0, 0) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
        if (blkid_do_safeprobe(probe) == 0) {
            entry.filesystem = Lookup(probe, "TYPE");
            entry.label = Lookup(probe, "LABEL");
            std::string version = Lookup(probe, "VERSION");
            if (entry.filesystem == "ntfs") {
                entry.fsDisplay = "NTFS";
                entry.supported = true;
            } else if (entry.filesystem == "vfat") {
                entry.fsDisplay = (version == "FAT12" || version == "FAT16" || version == "FAT32") ? version : "FAT";
                entry.supported = true;
            } else if (entry.filesystem == "exfat") {
                entry.fsDisplay = "exFAT";
                entry.supported = true;
            } else {
                for (char c : entry.filesystem)
                    entry.fsDisplay += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
            }
        }
    }
    if (probe) blkid_free_probe(probe);
    ::close(fd);
}

}  // namespace

std::vector<DriveListEntry> ListDrives(const std::string& sysfsRoot, const std::string& devRoot) {
    std::vector<DriveListEntry> drives;
    std::error_code ec;
    fs::directory_iterator it(sysfsRoot, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path dir = it->path();
        const std::string name = dir.filename().string();
        if (StartsWith(name, "ram") || StartsWith(name, "zram")) continue;

        uint64_t sectors = 0;
        bool haveSize = ReadNumber(dir / "size", sectors);
        if (StartsWith(name, "loop") && (!haveSize || sectors == 0)) continue;  // no backing file

        DriveListEntry entry;
        // sysfs writes '/' in device names as '!' (cciss!c0d0 is /dev/cciss/c0d0).
        std::string devName = name;
        std::replace(devName.begin(), devName.end(), '!', '/');
        entry.device = devRoot + "/" + devName;
        std::error_code existsError;
        if (fs::exists(dir / "partition", existsError))
            entry.kind = "partition";
        else if (StartsWith(name, "loop"))
            entry.kind = "loop";
        else if (StartsWith(name, "sr"))
            entry.kind = "cdrom";
        else if (ReadAttribute(dir / "removable") == "1")
            entry.kind = "removable";
        else
            entry.kind = "disk";
        // sysfs counts 512-byte units whatever the device's sector size.
        entry.size = sectors <= UINT64_MAX / 512 ? sectors * 512 : 0;
        Probe(entry);
        drives.push_back(std::move(entry));
    }
    std::sort(drives.begin(), drives.end(),
              [](const DriveListEntry& a, const DriveListEntry& b) { return NaturalLess(a.device, b.device); });
    return drives;
}

std::string AccessAdvice(int err, bool device, unsigned euid) {
    if (err != EACCES && err != EPERM) return {};
    const bool root = euid == 0;
    if (err == EACCES && !root)
        return device ? " (run with sudo or join the group 'disk')"
                      : " (check the permissions of the image file and of its folders, or run as its owner)";
    std::string why = "a security module such as SELinux or AppArmor";
    if (device) why += ", or a container's device rules,";
    else if (root) why += ", or a network file system that does not trust root,";
    why += " may forbid it";
    if (root) return " (refused even to root: " + why + ")";
    return " (refused by the system, not by the file's permissions: " + why +
           (device ? "; sudo or the group 'disk' may not change that)" : ")");
}

std::string UnreadableDevicesNote(const std::vector<int>& errors, unsigned euid) {
    if (errors.empty()) return {};
    // Permissions that sudo or the group change come first, then any other refusal.
    auto first = [&](auto pick) {
        const auto it = std::find_if(errors.begin(), errors.end(), pick);
        return it == errors.end() ? 0 : *it;
    };
    int err = first([&](int e) { return e == EACCES && euid != 0; });
    if (err == 0) err = first([](int e) { return e == EACCES || e == EPERM; });
    return "some devices could not be read" + AccessAdvice(err, true, euid) + "; image files can always be given as SOURCE";
}

std::string OpenErrorMessage(const std::string& path, int err) {
    return OpenErrorMessage(path, err, ::geteuid() == 0);
}

std::string OpenErrorMessage(const std::string& path, int err, bool asRoot) {
    if (err == ESPIPE)
        return "cannot open " + path + ": a pipe or FIFO cannot be read as a volume (save it to an image file first)";
    if (err == ENODEV) return "cannot open " + path + ": not a block device or an image file";
    std::error_code ec;
    const bool device = (err == EACCES || err == EPERM) &&
                        (std::filesystem::is_block_file(path, ec) || path.rfind("/dev/", 0) == 0);
    return "cannot open " + path + ": " + ErrnoText(err) + AccessAdvice(err, device, asRoot ? 0u : 1u);
}
