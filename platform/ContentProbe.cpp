#include "ContentProbe.h"

#include <blkid/blkid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace {

std::string DisplayName(const std::string& type) {
    static const std::map<std::string, std::string> names = {
        {"exfat", "exFAT"},       {"crypto_LUKS", "LUKS"}, {"BitLocker", "BitLocker"},
        {"apfs", "APFS"},         {"hfsplus", "HFS+"},     {"hfs", "HFS"},
        {"xfs", "XFS"},           {"btrfs", "Btrfs"},      {"swap", "swap"},
        {"ntfs", "NTFS"},         {"vfat", "FAT"},         {"iso9660", "ISO 9660"},
        {"udf", "UDF"},           {"f2fs", "F2FS"},        {"zfs_member", "ZFS"},
        {"LVM2_member", "LVM"},   {"linux_raid_member", "Linux RAID"}, {"refs", "ReFS"},
        {"ext2", "ext2"},         {"ext3", "ext3"},        {"ext4", "ext4"},
    };
    auto it = names.find(type);
    return it != names.end() ? it->second : type;
}

class CMemFd {
public:
    CMemFd() : m_fd(memfd_create("quarlix-probe", MFD_CLOEXEC)) {}
    ~CMemFd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::vector<std::string> ProbeContent(CByteSource& source, uint64_t offset, uint64_t length) {
    std::vector<std::string> found;
    if (offset >= source.Size()) return found;
    if (length == 0 || length > source.Size() - offset) length = source.Size() - offset;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kContentProbeBytes));
    std::vector<uint8_t> head(want);
    const int64_t got = source.ReadAt(offset, head.data(), want);
    if (got <= 0) return found;
    head.resize(static_cast<size_t>(got));

    // libblkid reads a descriptor: the first bytes go into a memory file as
    // long as the window (sparse past them), so its probes see the window's
    // size and read zeros where nothing was copied.
    CMemFd mem;
    if (mem.fd() < 0) return found;
    size_t written = 0;
    while (written < head.size()) {
        const ssize_t w = ::write(mem.fd(), head.data() + written, head.size() - written);
        if (w <= 0) return found;
        written += static_cast<size_t>(w);
    }
    uint64_t probeSize = length;
    if (::ftruncate(mem.fd(), static_cast<off_t>(probeSize)) != 0) probeSize = head.size();

    blkid_probe probe = blkid_new_probe();
    if (probe && blkid_probe_set_device(probe, mem.fd(), 0, static_cast<blkid_loff_t>(probeSize)) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
        // Every prober in turn, not the first match alone: two file systems
        // in one place are both named.
        for (int guard = 0; guard < 64 && blkid_do_probe(probe) == 0; ++guard) {
            const char* value = nullptr;
            size_t len = 0;
            if (blkid_probe_lookup_value(probe, "TYPE", &value, &len) != 0 || !value) continue;
            const std::string name = DisplayName(value);
            if (std::find(found.begin(), found.end(), name) == found.end()) found.push_back(name);
        }
    }
    if (probe) blkid_free_probe(probe);
    if (found.empty() && std::all_of(head.begin(), head.end(), [](uint8_t b) { return b == 0; }))
        found.push_back(kEmptyContent);
    return found;
}
