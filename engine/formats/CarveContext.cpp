#include "CarveContext.h"

bool CarveContext::Init(CVolume* vol, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet) {
    m_volume.volume = vol;
    return Init(vol ? &m_volume : nullptr, cluster, stopFlag, scanSet);
}

bool CarveContext::Init(ICarveSource* from, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet) {
    source = from;
    stop = stopFlag;
    scanner = scanSet;
    if (buffer.Size() != kCarveBufferSize && !buffer.Allocate(kCarveBufferSize)) return false;
    Reset(cluster);
    return true;
}

void CarveContext::Reset(uint64_t cluster) {
    startCluster = cluster;
    size = 0;
    title.clear();
    author.clear();
    typeKey.clear();
    offset = 0;
    unit = source ? source->ClusterSize() : 0;
    length = 0;
}

bool CarveContext::ReadAt(uint32_t n) {
    length = 0;
    if (!source || unit == 0 || n == 0 || n > buffer.Size()) return false;
    const uint64_t cluster = startCluster + offset / unit;
    if (cluster < startCluster) return false;  // 64-bit wrap
    uint32_t got = n;
    if (!source->ReadRaw(cluster, offset % unit, buffer.Data(), got) || got != n) return false;
    length = n;
    return true;
}

bool CarveContext::ByteReadable(uint64_t position) {
    if (!source || unit == 0) return false;
    const uint64_t cluster = startCluster + position / unit;
    if (cluster < startCluster) return false;  // 64-bit wrap
    uint8_t byte = 0;
    uint32_t got = 1;
    return source->ReadRaw(cluster, static_cast<uint32_t>(position % unit), &byte, got) && got == 1;
}

bool CarveContext::ReadAt(uint64_t position, uint32_t n) {
    if (position > UINT32_MAX) {
        length = 0;
        return false;
    }
    offset = static_cast<uint32_t>(position);
    return ReadAt(n);
}
