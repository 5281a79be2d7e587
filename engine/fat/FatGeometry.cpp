// The geometry of a FAT12/16 volume whose boot sector is lost, read off the
// volume itself: FAT12 and FAT16 keep no copy of their boot sector, but
// what it described is still there. The first FAT starts with the media
// byte and two 0xFF bytes in a sector after the reserved ones; the second
// copy is the same bytes right after it, which gives the FAT's length; the
// root folder follows; and a subfolder named in the root folder must open,
// at the cluster its entry gives, with a "." naming that cluster and a ".."
// naming the root, which fixes both the root folder's length and the
// cluster size; without one, the cluster size is the one for which every
// live file of the root has as many clusters in its chain as its size
// needs, and the root's length the format's usual one. Only a 512-byte
// sector and two FATs are tried; a root with neither gives no geometry.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxReserved = 64;
constexpr uint32_t kMaxFatSectors = 256;  // 65,536 FAT16 entries

bool FatStart(const uint8_t* s) { return s[0] >= 0xF0 && s[1] == 0xFF && s[2] == 0xFF; }

}  // namespace

bool CFatVolume::RebuildBootSector(const BootSource& source, uint8_t* boot) {
    const uint64_t deviceSectors = source.length / kSector;
    const uint32_t head = static_cast<uint32_t>(std::min<uint64_t>(deviceSectors, kMaxReserved + 2 * kMaxFatSectors + 1));
    if (head < 8) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(head) * kSector);
    // The sectors a FAT may start in first: most sources have none there,
    // and are done with after 32 KiB.
    const uint32_t reservedEnd = std::min(head, kMaxReserved + 1);
    if (source.read(0, bytes.data(), size_t(reservedEnd) * kSector) != static_cast<int64_t>(reservedEnd) * kSector)
        return false;
    bool fatStarts = false;
    for (uint32_t n = 1; n < reservedEnd && !fatStarts; ++n) fatStarts = FatStart(bytes.data() + size_t(n) * kSector);
    if (!fatStarts) return false;
    const size_t rest = bytes.size() - size_t(reservedEnd) * kSector;
    if (rest > 0 && source.read(uint64_t(reservedEnd) * kSector, bytes.data() + size_t(reservedEnd) * kSector, rest) !=
                        static_cast<int64_t>(rest))
        return false;
    auto sector = [&](uint32_t n) { return bytes.data() + size_t(n) * kSector; };

    for (uint32_t reserved = 1; reserved <= kMaxReserved && reserved < head; ++reserved) {
        if (!FatStart(sector(reserved))) continue;
        // The second copy: the first length whose next sectors repeat the first ones.
        // Entries 0 and 1 (the first 4 bytes) may differ: a system keeps its
        // clean-shutdown bits in the first copy only.
        uint32_t fatSectors = 0;
        for (uint32_t n = 1; n <= kMaxFatSectors && reserved + 2 * n <= head; ++n) {
            if (!FatStart(sector(reserved + n)) ||
                std::memcmp(sector(reserved) + 4, sector(reserved + n) + 4, size_t(n) * kSector - 4) != 0)
                continue;
            fatSectors = n;
            break;
        }
        if (fatSectors == 0) continue;
        const uint64_t rootStart = reserved + 2ull * fatSectors;
        const uint8_t* fat = sector(reserved);
        const size_t fatBytes = size_t(fatSectors) * kSector;
        // Clusters of the chain from c in the first FAT, read as FAT12 or
        // FAT16; 0 when it runs outside the FAT or loops past its length.
        auto chainLength = [&](uint32_t c, bool fat12) -> uint64_t {
            const uint64_t entries = fat12 ? fatBytes * 2 / 3 : fatBytes / 2;
            for (uint64_t n = 1; n <= entries; ++n) {
                if (c < 2 || c >= entries) return 0;
                const size_t at = fat12 ? c + c / 2 : size_t(c) * 2;
                if (at + 1 >= fatBytes) return 0;
                uint32_t v = fat[at] | uint32_t(fat[at + 1]) << 8;
                if (fat12) v = (c & 1) ? v >> 4 : v & 0xFFF;
                if (v >= (fat12 ? 0xFF8u : 0xFFF8u)) return n;
                c = v;
            }
            return 0;
        };
        // Root folder lengths of the common formats, then the cluster sizes.
        for (uint32_t rootEntries : {512u, 224u, 240u, 112u, 1024u, 2048u, 256u, 128u, 64u}) {
            const uint64_t dataStart = rootStart + rootEntries * 32 / kSector;
            std::vector<uint8_t> root(rootEntries * 32);
            if (deviceSectors <= dataStart ||
                source.read(rootStart * kSector, root.data(), root.size()) != static_cast<int64_t>(root.size()))
                continue;
            for (uint32_t spc = 1; spc <= 128; spc *= 2) {
                const bool fat12 = (deviceSectors - dataStart) / spc < 4085;
                // A subfolder opens at its cluster with "." naming it and ".."
                // naming the root (a deleted one counts only when it does);
                // a live file's chain has as many clusters as its size needs.
                int folders = 0, files = 0;
                bool bad = false;
                for (uint32_t i = 0; i < rootEntries && !bad; ++i) {
                    LeBytes e(root.data() + i * 32, 32);
                    const uint8_t first = e.u8(0), attributes = e.u8(11);
                    if (first == 0) break;
                    if ((attributes & 0x3F) == 0x0F || (attributes & 0x08)) continue;
                    const uint32_t c = e.u16(26);
                    if (c < 2) continue;
                    const bool deleted = first == 0xE5;
                    if (attributes & 0x10) {
                        uint8_t dot[64];
                        const uint64_t at = (dataStart + uint64_t(c - 2) * spc) * kSector;
                        uint32_t parent = 1;
                        const bool opens = source.read(at, dot, sizeof dot) == static_cast<int64_t>(sizeof dot) &&
                                           OpensFolderAt(dot, sizeof dot, false, c, parent) && parent == 0;
                        if (opens) ++folders;
                        else if (!deleted) bad = true;
                    } else if (!deleted && e.u32(28) > 0) {
                        const uint64_t n = chainLength(c, fat12), bytes = uint64_t(spc) * kSector;
                        if (n == 0 || e.u32(28) > n * bytes || e.u32(28) <= (n - 1) * bytes) bad = true;
                        else ++files;
                    }
                }
                // Files alone fix the cluster size but not the root's length:
                // take the format's own (224 on a floppy, else 512).
                const uint32_t usual = deviceSectors <= 5760 ? 224 : 512;
                if (bad || (folders == 0 && (files == 0 || rootEntries != usual))) continue;
                // The boot sector that describes this.
                const uint64_t clusters = (deviceSectors - dataStart) / spc;
                if (clusters >= 65525) return false;  // FAT32 keeps its backup
                std::memset(boot, 0, 512);
                static constexpr uint8_t kJump[3] = {0xEB, 0x3C, 0x90};
                std::memcpy(boot, kJump, 3);
                std::memcpy(boot + 3, "REBUILT ", 8);
                boot[11] = kSector & 0xFF;
                boot[12] = kSector >> 8;
                boot[13] = static_cast<uint8_t>(spc);
                boot[14] = static_cast<uint8_t>(reserved);
                boot[15] = static_cast<uint8_t>(reserved >> 8);
                boot[16] = 2;
                boot[17] = static_cast<uint8_t>(rootEntries);
                boot[18] = static_cast<uint8_t>(rootEntries >> 8);
                if (deviceSectors <= 0xFFFF) {
                    boot[19] = static_cast<uint8_t>(deviceSectors);
                    boot[20] = static_cast<uint8_t>(deviceSectors >> 8);
                } else {
                    const uint32_t total = static_cast<uint32_t>(std::min<uint64_t>(deviceSectors, UINT32_MAX));
                    for (int k = 0; k < 4; ++k) boot[32 + k] = static_cast<uint8_t>(total >> (8 * k));
                }
                boot[21] = sector(reserved)[0];  // the media byte
                boot[22] = static_cast<uint8_t>(fatSectors);
                boot[23] = static_cast<uint8_t>(fatSectors >> 8);
                boot[38] = 0x29;
                std::memcpy(boot + 43, "NO NAME    ", 11);
                std::memcpy(boot + 54, clusters < 4085 ? "FAT12   " : "FAT16   ", 8);
                boot[510] = 0x55;
                boot[511] = 0xAA;
                return true;
            }
        }
    }
    return false;
}
