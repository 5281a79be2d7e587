// A run of bytes on a volume: bytes from the start of a cluster on, through
// the clusters that follow it. A carved find that was reassembled from
// pieces (a JPEG that another file was written between) is a list of them,
// in file order; a find in one piece has none (its first cluster and size
// say it all).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ClusterExtent {
    uint64_t cluster = 0;
    uint64_t bytes = 0;
    bool operator==(const ClusterExtent&) const = default;
};

using ClusterExtents = std::vector<ClusterExtent>;

// The extents of a find: its own list, or the one run from first of size
// bytes when the list is empty.
inline ClusterExtents ExtentsOf(const ClusterExtents& fragments, uint64_t first, uint64_t size) {
    if (!fragments.empty()) return fragments;
    return {ClusterExtent {first, size}};
}

// "reassembled (2 fragments: clusters 100-119, 640-655)"; the cluster
// ranges are the clusters each extent touches.
inline std::string FragmentsText(const ClusterExtents& extents, uint32_t clusterSize) {
    std::string text = "reassembled (";
    text += std::to_string(extents.size());
    text += " fragments: clusters ";
    for (size_t i = 0; i < extents.size(); ++i) {
        const ClusterExtent& e = extents[i];
        const uint64_t count = clusterSize ? e.bytes / clusterSize + (e.bytes % clusterSize != 0 ? 1 : 0) : 0;
        if (i) text += ", ";
        text += std::to_string(e.cluster);
        if (count > 1) {
            text += '-';
            text += std::to_string(e.cluster + count - 1);
        }
    }
    return text + ")";
}
