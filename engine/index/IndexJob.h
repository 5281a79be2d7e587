// The indexing job: makes a drive's index ready on a worker thread. It
// restores the index from the cache file, or enumerates the volume and then
// saves the cache (unless the Cache/SaveToDisk setting is off).
//
// The front end starts the job, polls Progress() on its timer (every 300 ms)
// and may Cancel(); the worker writes the IndexProgress record under its lock.
// A cancelled enumeration keeps its partial index and is not a failure.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/index/VolumeRegistry.h"
#include "engine/volume/Volume.h"

// What the progress display shows at one tick.
struct IndexProgressView {
    uint8_t phase = 0;        // 0 idle, 1 enumerating, 2 writing the cache, 3 reading the cache
    std::string title;        // phase title, empty for phase 0
    int percent = 0;          // 0-100
    double elapsed = 0;       // seconds
    double remaining = 0;     // seconds
    bool showRemaining = false;  // false: "no estimate yet" (phase 1) or nothing (other phases)
};

// The timer's arithmetic: percent = done*100/total (0 outside 0..100),
// remaining = elapsed*(total-done)/done; an estimate is shown in phase 1 only
// when total is known and the estimate is at most an hour.
IndexProgressView ComputeIndexProgress(uint8_t phase, uint32_t done, uint32_t total, double elapsed);
// "1:05" / "1:02:03".
std::string FormatDuration(double seconds);

class CIndexJob {
public:
    // useCache false: neither restore nor save the cache file.
    CIndexJob(CVolumeRegistry& registry, char16_t letter, bool rescan, bool useCache);
    ~CIndexJob();
    CIndexJob(const CIndexJob&) = delete;
    CIndexJob& operator=(const CIndexJob&) = delete;

    void Start();
    bool Finished() const { return m_finished.load(); }
    // Waits for the worker to end.
    void Wait();
    // Asks the worker to stop at the next unit.
    void Cancel() { m_progress.cancel.store(1); }
    // Tears the job down while it may run (its drive went away): cancel,
    // wait, failed, give the volume back.
    void Close();

    IndexProgressView Progress();
    bool Failed() const { return m_failed.load(); }
    bool Cancelled() const { return m_progress.cancel.load() != 0; }
    bool RestoredFromCache() const { return m_fromCache.load(); }
    // The borrowed volume (null until the worker acquired it). After a
    // successful job the caller takes over this reference.
    CVolume* Volume() const { return m_volume.load(); }
    double Seconds() const;

private:
    void Run();

    CVolumeRegistry& m_registry;
    char16_t m_letter;
    bool m_rescan;
    bool m_useCache;
    IndexProgress m_progress;
    std::atomic<CVolume*> m_volume {nullptr};
    std::atomic<bool> m_failed {false};
    std::atomic<bool> m_fromCache {false};
    std::atomic<bool> m_finished {false};
    std::atomic<bool> m_closed {false};
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_end;
    std::thread m_worker;
};
