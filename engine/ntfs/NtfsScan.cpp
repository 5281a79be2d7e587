// The surface scan over an NTFS volume: the clusters of the $Bitmap stream,
// cluster 0 upward, a clear bit marking a free cluster. The walk itself (the
// candidates, the detectors, the skip after a hit) is the shared one of
// ClusterWalk.h; this file supplies the cursor
// (CNtfsVolume::CreateClusterCursor).
//
// The bitmap is on-disk data like any other: it may claim more bits than the
// volume has clusters (it is padded to whole 8-byte words, and a hostile one
// can be any length, sparse runs included), and the boot sector may claim
// more clusters than the device holds. The cursor ends at the smallest of
// the three - bitmap bits, the volume's cluster count, the clusters that lie
// whole on the device - so a walk never visits a cluster that does not exist and
// its length is bounded by the device's size.
#include <algorithm>
#include <optional>

#include "NtfsVolume.h"

namespace {

class NtfsBitmapCursor : public IClusterCursor {
public:
    explicit NtfsBitmapCursor(CNtfsVolume& volume) : m_volume(volume) {}

    bool Rewind() override {
        m_walker.emplace(m_volume);
        if (!m_walker->IsOpen()) return false;
        // Only whole clusters exist: a cluster cut by the end of the source cannot be read.
        m_end = std::min(m_walker->Limit(), m_volume.ClusterEndOnSource());
        return true;
    }
    bool Next(uint64_t& cluster, bool& isFree) override {
        return m_walker && m_walker->Next(cluster, isFree) && cluster < m_end;
    }
    uint64_t Total() const override { return m_end; }

private:
    CNtfsVolume& m_volume;
    std::optional<CNtfsClusterBitmapWalker> m_walker;
    uint64_t m_end = 0;
};

}  // namespace

std::unique_ptr<IClusterCursor> CNtfsVolume::CreateClusterCursor() { return std::make_unique<NtfsBitmapCursor>(*this); }
