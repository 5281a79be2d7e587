// The receiver of the surface scan's progress and results. Every operation
// answers Continue, or Stop to make the scan stop. Called on the scan's
// worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/volume/ClusterExtent.h"
#include "engine/volume/WalkResult.h"

class ISurfaceScanCallback {
public:
    virtual ~ISurfaceScanCallback() = default;
    // Progress of CountScanClusters: clusters visited so far, total clusters.
    virtual WalkResult OnCountProgress(uint64_t current, uint64_t total) = 0;
    // Candidate clusters passed so far by ScanClusters.
    virtual WalkResult OnScanProgress(uint64_t scanned) = 0;
    // One recognised file; size in bytes (a mail store may pass 4 GiB).
    virtual WalkResult OnFileFound(const std::u16string& typeKey, const std::u16string& title, const std::u16string& author,
                             uint64_t startCluster, uint64_t size) = 0;
    // A file found in pieces (a JPEG another file was written between):
    // its extents in file order, size their sum. A receiver that keeps only
    // a first cluster gets the first piece's cluster and the whole size.
    virtual WalkResult OnFragmentedFileFound(const std::u16string& typeKey, const std::u16string& title,
                                             const std::u16string& author, const ClusterExtents& extents,
                                             uint64_t size) {
        return OnFileFound(typeKey, title, author, extents.empty() ? 0 : extents.front().cluster, size);
    }
};
