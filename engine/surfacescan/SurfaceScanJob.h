// The surface-scan job: on its worker it counts the candidate clusters of a
// volume, then scans them, delivering each found file as a named CarvedItem.
//
// Ownership: the job borrows the volume (from the volume registry, or a raw
// volume the front end made) and the sink; both must outlive the job. The
// type set is copied at construction; its registry must outlive the job.
//
// Progress: phase Counting (items: clusters visited of the walk's total),
// then Scanning (items: candidates passed of those counted; delivered: files
// found). A walk that cannot start (allocation map unreadable) fails, and so
// does a scan whose source stops answering (kSourceGoneMessage).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/ScanCallback.h"
#include "engine/volume/ClusterExtent.h"
#include "engine/volume/Job.h"
#include "engine/volume/Volume.h"
#include "platform/ByteSource.h"

// One result row.
struct CarvedItem {
    int32_t iconIndex = -1;      // front end's icon for the name's extension (-1: none chosen)
    std::u16string name;         // generated name (MakeCarvedItemName)
    uint64_t startCluster = 0;
    uint32_t reserved = 0;
    uint64_t size = 0;           // bytes
    // A find put back together from pieces: its extents in file order
    // (the first starts at startCluster; their bytes add up to size). Empty
    // for a find in one run from startCluster.
    ClusterExtents fragments;
    std::u16string typeKey;      // also the name's extension
    std::u16string title;        // as the provider found them (may be empty)
    std::u16string author;
};

class CSurfaceScanJob : public CJob, private ISurfaceScanCallback {
public:
    // sink may be null (the counts are still kept).
    CSurfaceScanJob(CVolume& volume, const ScanTypeSet& scanner, IJobSink<CarvedItem>* sink);
    ~CSurfaceScanJob() override;

    // The candidates counted (the scan's 100 %) and passed, of the last run;
    // kept apart from the progress counters, which a pipeline's later phase
    // starts afresh. The files found are the snapshot's delivered count.
    uint64_t Candidates() const { return m_candidates.load(); }
    uint64_t Scanned() const { return m_scanned.load(); }

protected:
    Status Prepare() override;
    JobOutcome Run() override;

private:
    WalkResult OnCountProgress(uint64_t current, uint64_t total) override;
    WalkResult OnScanProgress(uint64_t scanned) override;
    WalkResult OnFileFound(const std::u16string& typeKey, const std::u16string& title, const std::u16string& author,
                     uint64_t startCluster, uint64_t size) override;
    WalkResult OnFragmentedFileFound(const std::u16string& typeKey, const std::u16string& title,
                                     const std::u16string& author, const ClusterExtents& extents,
                                     uint64_t size) override;
    WalkResult Deliver(CarvedItem item);

    CVolume& m_volume;
    ScanTypeSet m_scanner;
    IJobSink<CarvedItem>* m_sink;
    std::atomic<uint64_t> m_candidates {0}, m_scanned {0};
    std::shared_ptr<CByteSource> m_source;  // the volume's, asked whether it is gone
};
