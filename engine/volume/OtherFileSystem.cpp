// A second file system in the volume's span: formatting a partition with
// ext2/3/4 or UFS leaves what the earlier NTFS or FAT format wrote wherever
// the new one writes nothing, and a boot sector put back in sector 0 (or a
// format that spares it) makes the partition read as the old file system.
// The superblocks of the new ones lie at fixed offsets: ext2/3/4 at byte
// 1024, UFS1 at 8192, UFS2 at 65536. Each is taken only when its fields
// agree with each other and with the source's length, not on its magic
// alone: these bytes are the old file system's boot code or data otherwise.
#include <string>
#include <vector>

#include "app/Log.h"
#include "engine/volume/Volume.h"
#include "platform/LeBytes.h"

namespace {

// ext2/3/4 superblock fields (byte offsets in the superblock).
constexpr size_t kExtInodes = 0;          // u32
constexpr size_t kExtBlocks = 4;          // u32, low half of the block count
constexpr size_t kExtFirstDataBlock = 20; // u32: 1 with 1 KiB blocks, else 0
constexpr size_t kExtLogBlockSize = 24;   // u32: block size = 1024 << this
constexpr size_t kExtBlocksPerGroup = 32; // u32
constexpr size_t kExtInodesPerGroup = 40; // u32
constexpr size_t kExtMagic = 56;          // u16, 0xEF53
constexpr size_t kExtRevision = 76;       // u32, 0 or 1
constexpr size_t kExtCompat = 92;         // u32: 0x4 a journal (ext3)
constexpr size_t kExtIncompat = 96;       // u32: 0x40 extents, 0x80 64-bit, 0x200 flex_bg (ext4)
constexpr size_t kExtSize = 1024;

// UFS superblock fields.
constexpr size_t kUfsBlockSize = 48;      // i32, fs_bsize
constexpr size_t kUfsFragSize = 52;       // i32, fs_fsize
constexpr size_t kUfsMagic = 1372;        // i32, fs_magic
constexpr size_t kUfsSize = 1376;
constexpr uint32_t kUfs1Magic = 0x011954;
constexpr uint32_t kUfs2Magic = 0x19540119;

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::string ExtSuperblockKind(const uint8_t* sb, size_t size, uint64_t sourceLength) {
    if (size < kExtSize) return {};
    LeBytes s(sb, size);
    if (s.u16(kExtMagic) != 0xEF53) return {};
    const uint32_t logBlock = s.u32(kExtLogBlockSize);
    if (logBlock > 6 || s.u32(kExtRevision) > 1 || s.u32(kExtInodes) == 0 || s.u32(kExtBlocks) == 0 ||
        s.u32(kExtBlocksPerGroup) == 0 || s.u32(kExtInodesPerGroup) == 0 ||
        s.u32(kExtFirstDataBlock) != (logBlock == 0 ? 1u : 0u))
        return {};
    // The low half of the count alone must already fit the source.
    if (uint64_t(s.u32(kExtBlocks)) * (1024u << logBlock) > sourceLength) return {};
    if (s.u32(kExtIncompat) & (0x40 | 0x80 | 0x200)) return "ext4";
    return (s.u32(kExtCompat) & 0x4) ? "ext3" : "ext2";
}

bool IsUfsSuperblock(const uint8_t* sb, size_t size, bool ufs2) {
    if (size < kUfsSize) return false;
    LeBytes s(sb, size);
    const uint32_t want = ufs2 ? kUfs2Magic : kUfs1Magic;
    // A big-endian machine's UFS stores every field in its byte order.
    const bool bigEndian = s.be32(kUfsMagic) == want;
    if (s.u32(kUfsMagic) != want && !bigEndian) return false;
    auto field = [&](size_t at) { return bigEndian ? s.be32(at) : s.u32(at); };
    const uint32_t block = field(kUfsBlockSize);
    const uint32_t frag = field(kUfsFragSize);
    return PowerOfTwo(block) && PowerOfTwo(frag) && block >= 4096 && block <= 65536 && frag >= 512 &&
           frag <= block && block / frag <= 8;
}

void CVolume::FindOtherFileSystem() {
    m_otherFileSystem = {};
    const uint64_t length = DeviceLength();
    std::vector<uint8_t> sb(kUfsSize);
    auto read = [&](uint64_t at, size_t size) {
        return at + size <= length && ReadDeviceAt(at, sb.data(), size) == static_cast<int64_t>(size);
    };
    if (read(1024, kExtSize)) {
        const std::string kind = ExtSuperblockKind(sb.data(), kExtSize, length);
        if (!kind.empty()) m_otherFileSystem = {kind, 1024, {}};
    }
    if (m_otherFileSystem.kind.empty() && read(8192, kUfsSize) && IsUfsSuperblock(sb.data(), kUfsSize, false))
        m_otherFileSystem = {"UFS1", 8192, {}};
    if (m_otherFileSystem.kind.empty() && read(65536, kUfsSize) && IsUfsSuperblock(sb.data(), kUfsSize, true))
        m_otherFileSystem = {"UFS2", 65536, {}};
    if (m_otherFileSystem.kind.empty()) return;
    const bool vowel = m_otherFileSystem.kind[0] == 'e';
    m_otherFileSystem.text = std::string("This partition also holds ") + (vowel ? "an " : "a ") +
                             m_otherFileSystem.kind + " file system (superblock at byte " +
                             std::to_string(m_otherFileSystem.offset) + "); the " +
                             std::string(Traits().name) +
                             " boot sector may be left over from an earlier format: what is listed may be stale.";
    LogWrite("%s\n", m_otherFileSystem.text.c_str());
}
