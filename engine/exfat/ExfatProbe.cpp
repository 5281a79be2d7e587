// The exFAT boot region: the boot sector's geometry checked before anything
// divides by it or reads through it, the boot checksum sector that closes
// the region, and the search for a usable region (the main one, then the
// backup at sector 12) that CExfatVolume::Initialize opens by and the probe
// answers by.
#include <algorithm>
#include <string>
#include <vector>

#include "ExfatVolume.h"
#include "platform/LeBytes.h"

namespace {

constexpr size_t kBootSize = 512;
constexpr uint32_t kRegionSectors = 12;  // boot sector, 8 extended, OEM, reserved, checksum

std::string Num(uint64_t v) { return std::to_string(v); }

}  // namespace

uint32_t CExfatVolume::BootChecksum(const uint8_t* region, uint32_t sectorSize) {
    uint32_t sum = 0;
    const size_t bytes = size_t(sectorSize) * 11;
    for (size_t i = 0; i < bytes; ++i) {
        // VolumeFlags and PercentInUse change while the volume is used.
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ExfatChecksumStep(sum, region[i]);
    }
    return sum;
}

ProbeResult CExfatVolume::CheckBootSector(const uint8_t* bytes, uint64_t deviceLength, ExfatGeometry& g) {
    const LeBytes boot(bytes, kBootSize);
    if (!boot.equals(3, "EXFAT   ", 8)) return {};
    auto fail = [](std::string reason) { return ProbeResult {ProbeAnswer::Damaged, "invalid exFAT boot sector: " + reason}; };
    if (boot.u16(510) != 0xAA55) return fail("no boot signature");
    for (size_t i = 11; i < 64; ++i)
        if (bytes[i] != 0) return fail("the field that must be zero is not");
    const uint32_t sectorShift = boot.u8(108), clusterShift = boot.u8(109);
    if (sectorShift < 9 || sectorShift > 12) return fail("bytes per sector shift is " + Num(sectorShift));
    if (clusterShift > 25 - sectorShift) return fail("sectors per cluster shift is " + Num(clusterShift));
    g = ExfatGeometry();
    g.sectorSize = 1u << sectorShift;
    g.clusterSize = 1u << (sectorShift + clusterShift);
    g.volumeSectors = boot.u64(72);
    g.fatOffset = boot.u32(80);
    g.fatLength = boot.u32(84);
    g.heapOffset = boot.u32(88);
    g.clusterCount = boot.u32(92);
    g.rootCluster = boot.u32(96);
    g.serial = boot.u32(100);
    g.revision = boot.u16(104);
    g.volumeFlags = boot.u16(106);
    g.fatCount = boot.u8(110);
    g.percentInUse = boot.u8(112);
    if (g.fatCount != 1 && g.fatCount != 2) return fail("the number of FATs is " + Num(g.fatCount));
    g.activeFat = g.fatCount == 2 ? (g.volumeFlags & 1) : 0;
    if (g.volumeSectors < 2048 / (g.sectorSize / 512)) return fail("the volume is " + Num(g.volumeSectors) + " sectors");
    if (g.fatOffset < 24) return fail("the FAT starts at sector " + Num(g.fatOffset));
    if (g.clusterCount == 0 || g.clusterCount > 0xFFFFFFF5u) return fail("the cluster count is " + Num(g.clusterCount));
    if (uint64_t(g.fatLength) * g.sectorSize < (uint64_t(g.clusterCount) + 2) * 4)
        return fail("the FAT (" + Num(g.fatLength) + " sectors) cannot map " + Num(g.clusterCount) + " clusters");
    if (uint64_t(g.heapOffset) < uint64_t(g.fatOffset) + uint64_t(g.fatLength) * g.fatCount)
        return fail("the cluster heap starts inside the FAT");
    const uint64_t heapEnd = uint64_t(g.heapOffset) + (uint64_t(g.clusterCount) << clusterShift);
    if (heapEnd > g.volumeSectors)
        return fail("the cluster heap ends past the volume (" + Num(heapEnd) + " of " + Num(g.volumeSectors) + " sectors)");
    if (g.rootCluster < 2 || uint64_t(g.rootCluster) > uint64_t(g.clusterCount) + 1)
        return fail("the root folder's cluster " + Num(g.rootCluster) + " is outside the heap");
    const uint64_t deviceSectors = deviceLength / g.sectorSize;
    const uint64_t needed = uint64_t(g.heapOffset) + (uint64_t(g.rootCluster - 1) << clusterShift);
    if (deviceSectors < needed)
        return ProbeResult {ProbeAnswer::Damaged, "the device is truncated: it holds " + Num(deviceSectors) +
                                                      " sectors, the FAT and the root folder need " + Num(needed)};
    if (deviceSectors < g.volumeSectors)
        g.warning = "the device is truncated: it holds " + Num(deviceSectors) + " of the volume's " +
                    Num(g.volumeSectors) + " sectors";
    return {ProbeAnswer::Yes, {}};
}

ProbeResult CExfatVolume::FindBootRegion(const BootSource& source, ExfatGeometry& g, std::string& note) {
    note.clear();
    // Each region: its boot sector, then its checksum sector against the
    // sectors before it. The region's sector size is its own boot sector's.
    std::string reason;
    std::vector<uint8_t> region;
    uint8_t boot[kBootSize] = {};
    auto tryRegion = [&](uint64_t at) -> ProbeAnswer {
        // The region of 512-byte sectors in one read; a larger sector size reads the rest.
        region.assign(size_t(512) * kRegionSectors, 0);
        const int64_t got = source.read(at, region.data(), region.size());
        if (got < static_cast<int64_t>(kBootSize)) return ProbeAnswer::No;
        std::copy(region.begin(), region.begin() + kBootSize, boot);
        ExfatGeometry found;
        ProbeResult r = CheckBootSector(boot, source.length, found);
        if (r.answer != ProbeAnswer::Yes) {
            if (r.answer == ProbeAnswer::Damaged && reason.empty()) reason = std::move(r.reason);
            return r.answer;
        }
        const uint32_t ss = found.sectorSize;
        const size_t whole = size_t(ss) * kRegionSectors;
        bool read = got == static_cast<int64_t>(region.size());
        if (read && whole > region.size()) {
            region.resize(whole);
            const size_t have = size_t(512) * kRegionSectors;
            read = source.read(at + have, region.data() + have, whole - have) == static_cast<int64_t>(whole - have);
        }
        if (!read) {
            if (reason.empty()) reason = "the boot region cannot be read";
            return ProbeAnswer::Damaged;
        }
        const uint32_t sum = BootChecksum(region.data(), ss);
        const LeBytes check(region.data() + size_t(ss) * 11, ss);
        for (uint32_t k = 0; k < ss / 4; ++k)
            if (check.u32(k * 4) != sum) {
                if (reason.empty()) reason = "invalid exFAT boot region: its checksum does not match";
                return ProbeAnswer::Damaged;
            }
        g = found;
        return ProbeAnswer::Yes;
    };
    const ProbeAnswer main = tryRegion(0);
    if (main == ProbeAnswer::Yes) return {ProbeAnswer::Yes, {}};
    // A boot sector of another file system at sector 0 (the volume was
    // formatted again) leaves no say to an old exFAT copy behind it.
    if (main == ProbeAnswer::No && LeBytes(boot, kBootSize).u16(510) == 0xAA55) return {};
    // The backup region starts at sector 12 of the sector size it names itself.
    for (uint32_t ss = 512; ss <= 4096; ss *= 2) {
        const ProbeAnswer backup = tryRegion(uint64_t(kRegionSectors) * ss);
        if (backup == ProbeAnswer::Yes && g.sectorSize == ss) {
            note = "the boot region is damaged; the backup boot region at sector 12 was used";
            return {ProbeAnswer::Yes, {}};
        }
    }
    if (main == ProbeAnswer::No && reason.empty()) return {};
    return {ProbeAnswer::Damaged, reason};
}

ProbeResult CExfatVolume::Probe(const BootSource& source) {
    ExfatGeometry g;
    std::string note;
    return FindBootRegion(source, g, note);
}
