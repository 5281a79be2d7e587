// The NTFS boot sector: its geometry checked before anything divides by it
// or reads through it, the backup's place, and the probe that looks for a
// usable one the way CNtfsVolume::Initialize does.
#include <string>

#include "NtfsVolume.h"
#include "platform/LeBytes.h"

namespace {

// Boot sector fields (byte offsets from the start of sector 0).
constexpr size_t kOemId = 0x03;              // "NTFS    "
constexpr size_t kBytesPerSector = 0x0B;     // u16
constexpr size_t kSectorsPerCluster = 0x0D;  // u8; above 0x80: 2^(256 - value)
constexpr size_t kTotalSectors = 0x28;       // u64
constexpr size_t kMftCluster = 0x30;         // u64
constexpr size_t kMftMirrorCluster = 0x38;   // u64
constexpr size_t kClustersPerRecord = 0x40;  // i8: >= 0 clusters, < 0 2^-v bytes
constexpr size_t kClustersPerIndex = 0x44;   // i8, same encoding
constexpr size_t kSerialNumber = 0x48;       // u64
constexpr size_t kBootSignature = 0x1FE;     // 0xAA55
constexpr size_t kBootSize = 512;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Size in bytes of an MFT record or index block from its boot-sector byte.
uint64_t SizeFromClustersByte(int8_t v, uint32_t clusterSize) {
    if (v > 0) return static_cast<uint64_t>(v) * clusterSize;
    if (v < 0 && v >= -31) return uint64_t(1) << (-v);
    return 0;
}

ProbeResult Damaged(std::string reason) { return {ProbeAnswer::Damaged, std::move(reason)}; }

}  // namespace

ProbeResult CNtfsVolume::CheckBootSector(const uint8_t* boot, uint64_t deviceLength, NtfsBootGeometry& g) {
    LeBytes b(boot, kBootSize);
    if (!b.equals(kOemId, "NTFS", 4) || b.u16(kBootSignature) != 0xAA55) return {};

    // From here on the source claims to be NTFS: every refusal says why.
    const uint32_t bps = b.u16(kBytesPerSector);
    if (!IsPowerOfTwo(bps) || bps < 256 || bps > 4096)
        return Damaged("invalid NTFS boot sector: bytes per sector is " + std::to_string(bps));
    const uint32_t spcByte = b.u8(kSectorsPerCluster);
    uint64_t spc = spcByte;
    if (spcByte > 0x80) {
        if (256 - spcByte > 20) return Damaged("invalid NTFS boot sector: sectors per cluster byte " + std::to_string(spcByte));
        spc = uint64_t(1) << (256 - spcByte);
    }
    if (!IsPowerOfTwo(spc)) return Damaged("invalid NTFS boot sector: sectors per cluster is " + std::to_string(spc));
    const uint64_t clusterSize = spc * bps;
    if (clusterSize > (2u << 20))
        return Damaged("invalid NTFS boot sector: cluster size " + std::to_string(clusterSize) + " is too large");
    g.sectorSize = bps;
    g.clusterSize = static_cast<uint32_t>(clusterSize);

    const int8_t perRecord = b.i8(kClustersPerRecord);
    const uint64_t recordSize = SizeFromClustersByte(perRecord, g.clusterSize);
    if (!IsPowerOfTwo(recordSize) || recordSize < 512 || recordSize > 65536)
        return Damaged("invalid NTFS boot sector: clusters per MFT record byte " + std::to_string(perRecord) +
                       " gives a record size of " + std::to_string(recordSize));
    g.mftRecordSize = static_cast<uint32_t>(recordSize);
    const uint64_t indexSize = SizeFromClustersByte(b.i8(kClustersPerIndex), g.clusterSize);
    g.indexBlockSize = IsPowerOfTwo(indexSize) && indexSize <= 65536 ? static_cast<uint32_t>(indexSize) : 0;

    g.totalSectors = b.u64(kTotalSectors);
    g.totalClusters = g.totalSectors / spc;
    g.serialNumber = b.u64(kSerialNumber);
    g.mftStartCluster = b.u64(kMftCluster);
    g.mftMirrorCluster = b.u64(kMftMirrorCluster);
    // The metafiles lie in the first records of the MFT: they must be on the device.
    const uint64_t metafileBytes = uint64_t(kUpCaseRecord + 1) * g.mftRecordSize;
    if (g.mftStartCluster > (UINT64_MAX - metafileBytes) / g.clusterSize ||
        g.mftStartCluster * g.clusterSize + metafileBytes > deviceLength)
        return Damaged("MFT start cluster " + std::to_string(g.mftStartCluster) +
                       " lies beyond the end of the device (" + std::to_string(deviceLength) + " bytes)");
    return {ProbeAnswer::Yes, {}};
}

bool CNtfsVolume::IsBackupBootSector(const uint8_t* boot, uint64_t offset, uint32_t bps) {
    LeBytes b(boot, kBootSize);
    return b.equals(kOemId, "NTFS", 4) && b.u16(kBootSignature) == 0xAA55 && b.u16(kBytesPerSector) == bps &&
           b.u64(kTotalSectors) == offset / bps;
}

// Initialize's search, without the MFT reads: a boot sector whose geometry
// holds is a Yes (the open may still find its MFT unreadable and say so).
ProbeResult CNtfsVolume::Probe(const BootSource& source) {
    uint8_t boot[kBootSize];
    NtfsBootGeometry g;
    if (source.read(0, boot, kBootSize) != static_cast<int64_t>(kBootSize)) return {};
    const ProbeResult primary = CheckBootSector(boot, source.length, g);
    if (primary.answer == ProbeAnswer::Yes) return primary;
    const bool blank = LeBytes(boot, kBootSize).u16(kBootSignature) != 0xAA55;

    std::string reason;  // the reason the open is left with
    for (uint32_t bps = 512; bps <= 4096; bps *= 2) {
        if (source.length < 2 * uint64_t(bps)) break;
        const uint64_t offset = (source.length / bps - 1) * bps;
        if (source.read(offset, boot, kBootSize) != static_cast<int64_t>(kBootSize)) continue;
        if (!IsBackupBootSector(boot, offset, bps)) continue;
        ProbeResult backup = CheckBootSector(boot, source.length, g);
        if (backup.answer == ProbeAnswer::Yes) return backup;
        reason = std::move(backup.reason);
        break;
    }
    if (blank && primary.reason.empty() && RebuildBootSector(source, boot)) {
        if (CheckBootSector(boot, source.length, g).answer == ProbeAnswer::Yes) return {ProbeAnswer::Yes, {}};
        reason.clear();
    }
    if (!primary.reason.empty()) reason = primary.reason;
    if (reason.empty()) return {};
    return Damaged(std::move(reason));
}
