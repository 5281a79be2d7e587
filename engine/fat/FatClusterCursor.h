// The FAT volume's cluster cursor (CFatVolume::CreateClusterCursor): clusters 2 .. the last
// cluster of the data area in ascending order, free when the FAT entry is 0
// (on FAT32 the low 28 bits; the top four bits are reserved). A FAT entry
// that cannot be read ends the walk.
//
// The walk stops at the smaller of the FAT's entry count and the data area's
// last cluster (ClusterCount() + 1): a FAT is padded to whole sectors, and
// the entries past the data area are zero, so walking them would "scan"
// bytes beyond the volume - on a partitioned disk, another partition's data.
// It also stops at the end of a short source (ClusterEndOnSource): clusters
// past it do not exist to be scanned.
//
// Header-only, over CFatVolume's public API.
#pragma once

#include <algorithm>
#include <cstdint>

#include "engine/fat/FatVolume.h"
#include "engine/volume/ClusterCursor.h"

class FatClusterCursor : public IClusterCursor {
public:
    explicit FatClusterCursor(CFatVolume& volume) : m_volume(volume) {}

    bool Rewind() override {
        m_next = 2;
        m_end = End();
        return true;
    }
    bool Next(uint64_t& cluster, bool& isFree) override {
        if (m_next >= m_end) return false;
        uint32_t value = 0;
        if (!m_volume.ReadFatEntry(static_cast<uint32_t>(m_next), value)) {
            m_end = m_next;  // a failed entry read ends the walk
            return false;
        }
        if (m_volume.FatType() == kPartitionFat32) value &= 0x0FFFFFFF;
        cluster = m_next++;
        isFree = value == 0;
        return true;
    }
    uint64_t Total() const override {
        const uint64_t end = End();
        return end > 2 ? end - 2 : 0;
    }

private:
    uint64_t End() const {
        return std::min({static_cast<uint64_t>(m_volume.FatEntryCount()),
                         static_cast<uint64_t>(m_volume.ClusterCount()) + 2, m_volume.ClusterEndOnSource()});
    }

    CFatVolume& m_volume;
    uint64_t m_next = 2;
    uint64_t m_end = 0;
};
