// The surface-scan job shared by the command line and the window: one
// worker thread that counts the candidate clusters of a volume, then scans
// them, collecting the found files as named CarvedItems and keeping the
// progress values a front end shows.
//
// Ownership: the job borrows the volume (from the volume registry, or a raw
// volume the front end made); the volume must outlive the job. The type set
// is copied at construction; its registry must outlive the job.
//
// Threads: Start, Stop, Wait and the destructor are called by the front end's
// thread. The worker calls the volume's CountScanClusters and ScanClusters,
// which call back OnCountProgress / OnScanProgress / OnFileFound on the
// worker. Progress(), ItemCount() and Items() may be called from any thread
// at any time (a front end polls them on a timer, e.g. every 500 ms); they
// read under the job's lock. Stop() only raises the stop flag: the walk, the
// providers' long loops and OnFileFound see it and the worker ends soon
// after; Wait() joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/surfacescan/ProviderRegistry.h"
#include "engine/surfacescan/ScanCallback.h"
#include "engine/volume/Volume.h"

// One result row.
struct CarvedItem {
    int32_t iconIndex = -1;      // front end's icon for the name's extension (-1: none chosen)
    std::u16string name;         // generated name (MakeCarvedItemName)
    uint64_t startCluster = 0;
    uint32_t reserved = 0;
    uint64_t size = 0;           // bytes
    std::u16string typeKey;      // also the name's extension
    std::u16string title;        // as the provider found them (may be empty)
    std::u16string author;
};

enum class ScanPhase {
    Idle,       // not started
    Counting,   // CountScanClusters running
    Scanning,   // ScanClusters running
    Finished,   // every cluster was walked
    Stopped,    // the stop flag ended the scan
    Failed,     // a walk could not start (allocation map unreadable, no cluster size, ...)
};

struct ScanProgress {
    ScanPhase phase = ScanPhase::Idle;
    uint32_t percent = 0;            // of the current phase
    uint64_t remainingSeconds = 0;   // estimate while scanning, else 0
    uint64_t total = 0;              // candidates counted (the scan's 100 %)
    uint64_t scanned = 0;            // candidates passed so far
    uint64_t found = 0;
};

class CSurfaceScanJob : private ISurfaceScanCallback {
public:
    CSurfaceScanJob(CVolume& volume, const ScanTypeSet& scanner);
    ~CSurfaceScanJob() override;
    CSurfaceScanJob(const CSurfaceScanJob&) = delete;
    CSurfaceScanJob& operator=(const CSurfaceScanJob&) = delete;

    // Clears the results, lowers the stop flag and starts the worker. False
    // when a worker is running already or no type is enabled.
    bool Start();
    // Raises the stop flag (any thread; also from a signal-safe flag watcher).
    void Stop();
    // Waits for the worker to end.
    void Wait();
    bool IsRunning() const;

    ScanProgress Progress() const;
    size_t ItemCount() const;
    // The items from index first on (a front end keeps its own cursor).
    std::vector<CarvedItem> Items(size_t first = 0) const;

    const StopFlag& Flag() const { return m_stop; }

private:
    void Run();
    bool OnCountProgress(uint64_t current, uint64_t total) override;
    bool OnScanProgress(uint64_t scanned) override;
    bool OnFileFound(const std::u16string& typeKey, const std::u16string& title, const std::u16string& author,
                     uint64_t startCluster, uint64_t size) override;

    CVolume& m_volume;
    ScanTypeSet m_scanner;
    StopFlag m_stop {0};
    std::thread m_worker;
    std::atomic<bool> m_running {false};

    mutable std::mutex m_lock;  // guards everything below
    ScanProgress m_progress;
    std::vector<CarvedItem> m_items;
    std::chrono::steady_clock::time_point m_scanStart;
};
