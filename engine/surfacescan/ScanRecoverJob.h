// The scan-then-recover pipeline: a surface scan whose found files are
// handed, as they are found, to a recovery job as carved cluster runs, so
// that what was found before a stop is on disk.
//
// The recovery never overwrites: a carved name carries its start cluster, so
// an existing file of that name is this same file from an earlier run, and
// it is reported as skipped. Events: every found file (Found), then the
// record of its recovery (Recovered) once it is written. Progress: the
// scan's phases, then Recovering while the recovery catches up (items: files
// done of files started).
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "engine/recovery/RecoverJob.h"
#include "engine/surfacescan/SurfaceScanJob.h"

struct ScanRecoverEvent {
    enum class Kind { Found, Recovered };
    Kind kind = Kind::Found;
    CarvedItem item;             // Found
    RecoverItemRecord record;    // Recovered (record.id is the start cluster)
};

class CScanRecoverJob : public CSurfaceScanJob, private IJobSink<CarvedItem>, private IJobSink<RecoverJobEvent> {
public:
    // destination empty: scan only (every found file is still delivered).
    CScanRecoverJob(CVolume& volume, const ScanTypeSet& scanner, std::string destination,
                    IJobSink<ScanRecoverEvent>* sink);
    ~CScanRecoverJob() override;

    bool Recovering() const { return !m_destination.empty(); }
    // Counters of the recovery (zero without a destination).
    RecoverCounters RecoveryCounters() const;

protected:
    Status Prepare() override;
    JobOutcome Run() override;
    void Refine(JobProgress& progress) const override;
    void OnStopRequested() override;

private:
    void OnJobEvent(const CarvedItem& item) override;
    void OnJobEvent(const RecoverJobEvent& event) override;
    // The recovery's item source: blocks until a found file arrives, the
    // scan is over or a stop is requested.
    bool NextFound(RecoverItem& out);
    void CloseQueue();

    CVolume& m_volume;
    std::string m_destination;
    IJobSink<ScanRecoverEvent>* m_sink;
    std::unique_ptr<CRecoverJob> m_recovery;
    std::atomic<bool> m_catchingUp {false};

    std::mutex m_queueLock;
    std::condition_variable m_queueReady;
    std::deque<CarvedItem> m_queue;
    bool m_queueClosed = false;
};
