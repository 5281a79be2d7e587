// The indexing job: makes a drive's index ready on a worker thread. It
// restores the index from the cache file, or enumerates the volume and then
// saves the cache (unless the Cache/SaveToDisk setting is off).
//
// The front end starts the job, polls Progress() on its timer (every 300 ms)
// and may RequestStop(); the volume writes the IndexProgress record under its
// lock and polls the job's stop flag.
#pragma once

#include <atomic>
#include <string>

#include "engine/index/VolumeRegistry.h"
#include "engine/volume/Job.h"
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

// What the caller decides about the cache file (the front end reads its
// settings; the job reads none).
struct IndexJobSettings {
    bool rescan = false;      // build even when a current cache exists
    bool useCache = true;     // false: neither restore nor save the cache file
    bool saveCache = true;    // save after a build (the Cache/SaveToDisk setting)
};

// The indexing job: acquires the drive's volume from the registry on its
// worker and makes its index ready. Progress: phase ReadingCache, Indexing or
// SavingCache with the volume's units done of its total. A stopped
// enumeration keeps its partial index and is Stopped, not Failed; a volume
// that cannot be opened or indexed fails.
class CIndexJob : public CJob {
public:
    CIndexJob(CVolumeRegistry& registry, char16_t letter, IndexJobSettings settings);
    ~CIndexJob() override;

    // Tears the job down while it may run (its drive went away): stop,
    // wait, give the volume back; the job then counts as failed.
    void Close();

    // The progress display's view of a snapshot.
    IndexProgressView View() const;
    bool Failed() const { return m_closed.load() || Outcome().failed(); }
    bool RestoredFromCache() const { return m_fromCache.load(); }
    // The borrowed volume (null until the worker acquired it). After a
    // successful job the caller takes over this reference.
    CVolume* Volume() const { return m_volume.load(); }

protected:
    Status Prepare() override;
    JobOutcome Run() override;
    void Refine(JobProgress& progress) const override;

private:
    CVolumeRegistry& m_registry;
    char16_t m_letter;
    IndexJobSettings m_settings;
    mutable IndexProgress m_progress;
    std::atomic<CVolume*> m_volume {nullptr};
    std::atomic<bool> m_fromCache {false};
    std::atomic<bool> m_closed {false};
};
