// The receiver of the surface scan's progress and results. Every operation
// answers false to make the scan stop. Called on the scan's worker thread.
#pragma once

#include <cstdint>
#include <string>

class ISurfaceScanCallback {
public:
    virtual ~ISurfaceScanCallback() = default;
    // Progress of CountScanClusters: clusters visited so far, total clusters.
    virtual bool OnCountProgress(uint64_t current, uint64_t total) = 0;
    // Candidate clusters passed so far by ScanClusters.
    virtual bool OnScanProgress(uint64_t scanned) = 0;
    // One recognised file; size in bytes (a mail store may pass 4 GiB).
    virtual bool OnFileFound(const std::u16string& typeKey, const std::u16string& title, const std::u16string& author,
                             uint64_t startCluster, uint64_t size) = 0;
};
