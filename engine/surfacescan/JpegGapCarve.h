// JPEGs split in two by another file written between their pieces, put back
// together by the surface scan's walk (ClusterWalk.cpp).
//
// Pass 1 (the walk): a JPEG find whose entropy-coded data fails the decode
// check (JpegScanCheck.h) is broken. Its first piece ends at the cluster
// boundary at or before the byte the check failed at (or the byte after
// it, a stuffed FF's pair), or at one of the
// kJpegSplitTries - 1 boundaries before it (a decode sees a wrong byte a
// little late); the walk skips only the clusters up to the earliest of
// these, so a file written after the first piece is found as usual. The
// find is held back; every other find's clusters are claimed, and the
// allocation state of the clusters that may hold the rest is recorded
// (kept for the clusters after a broken find only, never the volume's map).
//
// Pass 2 (Finish): for each broken find and each boundary, a cluster c at a
// gap of 1 to kJpegGapMaxClusters clusters after the first piece that is
// free and claimed by no find is the rest's start when the decode, resumed
// at the first piece's end, runs on from c over free unclaimed clusters to
// FF D9 after the frame's last MCU (so the restart markers keep their
// order across the joint). The first such c wins; the find is then two
// extents. Only the broken finds and the clusters of their gap windows are
// read again. When no continuation passes, the find is what it was (one
// run from its first cluster), cut short before the first other find it
// would overlap.
//
// Threads: the walk's; the stop flag is polled between continuations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/volume/ClusterExtent.h"
#include "engine/volume/Volume.h"

inline constexpr uint64_t kJpegGapMaxClusters = 1024;
inline constexpr uint32_t kJpegSplitTries = 4;

class CJpegGapCarver {
public:
    struct Held {
        uint64_t cluster = 0;
        uint64_t size = 0;  // the contiguous find's
        std::u16string typeKey, title, author;
        std::vector<uint64_t> cuts;  // first pieces' lengths to try, largest first (cluster multiples)
    };
    // A find as Finish delivers it: extents holds two for a rejoined JPEG,
    // none for a find in one run (cluster, size).
    using Deliver = std::function<bool(const Held& find, const ClusterExtents& extents, uint64_t size)>;

    CJpegGapCarver(CVolume& volume, const StopFlag* stop) : m_volume(volume), m_stop(stop) {}

    // A JPEG find of the walk: true when it is broken and held back; skip is
    // then the clusters the walk passes over (the shortest first piece).
    bool Hold(const CarveContext& find, uint64_t cluster, uint64_t& skip);
    // Every cluster the walk visits, in ascending order.
    void Visit(uint64_t cluster, bool isFree) {
        if (cluster >= m_windowEnd || !isFree) return;
        if (!m_free.empty() && m_free.back().end == cluster)
            ++m_free.back().end;
        else if (m_free.empty() || m_free.back().end < cluster)
            m_free.push_back({cluster, cluster + 1});
    }
    // Every find delivered by the walk: its clusters.
    void Claim(uint64_t first, uint64_t count);
    bool Holding() const { return !m_held.empty(); }
    // Pass 2; false when deliver answers false.
    bool Finish(const Deliver& deliver);

    uint64_t probes = 0;        // continuations decoded
    uint64_t reassembled = 0;

private:
    struct Span {
        uint64_t first = 0, end = 0;  // [first, end)
    };
    bool FreeUnclaimed(uint64_t cluster) const;
    // The first claimed cluster in [first, end) outside own, or end.
    uint64_t FirstClaimed(uint64_t first, uint64_t end, Span own) const;
    void AddClaim(Span s);
    bool ReadHeader(uint64_t cluster, uint64_t size, std::vector<uint8_t>& out);

    CVolume& m_volume;
    const StopFlag* m_stop;
    std::vector<Held> m_held;
    std::vector<Span> m_claims;  // ascending, disjoint
    std::vector<Span> m_free;    // free runs after the held finds, ascending
    uint64_t m_windowEnd = 0;
};
