#include "CarveContext.h"

#include <algorithm>
#include <cstring>

bool CarveContext::Init(CVolume* vol, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet) {
    m_volume.volume = vol;
    return Init(vol ? &m_volume : nullptr, cluster, stopFlag, scanSet);
}

bool CarveContext::Init(ICarveSource* from, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet) {
    source = from;
    stop = stopFlag;
    scanner = scanSet;
    if (buffer.Size() != kCarveBufferSize && !buffer.Allocate(kCarveBufferSize)) return false;
    if (head.Size() != kCarveHeadSize && !head.Allocate(kCarveHeadSize)) return false;
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
    headLength = 0;
    headRead = false;
}

bool CarveContext::ReadAt(uint32_t n) {
    length = 0;
    if (!source || unit == 0 || n == 0 || n > buffer.Size()) return false;
    const uint64_t cluster = startCluster + offset / unit;
    if (cluster < startCluster) return false;  // 64-bit wrap
    // Within the candidate's first bytes: from the head, read once.
    if (uint64_t(offset) + n <= head.Size()) {
        if (!headRead) {
            headRead = true;
            // One cluster: the walk reads it anyway, and most providers look no further.
            uint32_t got = std::min<uint32_t>(head.Size(), unit);
            headLength = source->ReadRaw(startCluster, 0, head.Data(), got) ? std::min<uint32_t>(got, head.Size()) : 0;
        }
        if (offset + n <= headLength) {
            std::memcpy(buffer.Data(), head.Data() + offset, n);
            length = n;
            return true;
        }
    }
    // Elsewhere, or where the head's read came short or was refused: the
    // source itself answers (a short or failed read rejects the candidate).
    uint32_t got = n;
    if (!source->ReadRaw(cluster, offset % unit, buffer.Data(), got) || got != n) return false;
    length = n;
    return true;
}

uint32_t CarveContext::Peek(uint8_t* out, uint32_t n) {
    if (headRead) {
        const uint32_t got = std::min(n, headLength);
        if (got > 0) std::memcpy(out, head.Data(), got);
        return got;
    }
    if (!source || unit == 0 || n == 0) return 0;
    uint32_t got = std::min(n, unit);
    return source->ReadRaw(startCluster, 0, out, got) ? std::min(got, n) : 0;
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
