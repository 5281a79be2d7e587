// The one shape of every long job (indexing, search, recovery, the surface
// scan and the scan-then-recover pipeline), shared by the command line and
// the window.
//
// A job owns its worker thread. The front end starts it, may ask it to stop
// from any thread (a signal watcher, a button), and waits for it. While it
// runs, Progress() hands any thread a snapshot read from atomics the worker
// updates: phase, items and bytes done and total, what was delivered, rate
// and remaining time. Results and events go through one small interface,
// IJobSink<Event>, called on the worker (a polling front end takes them from
// a CJobEventQueue). At the end there is one JobOutcome: completed, stopped,
// or failed with a Status saying why.
//
// The volume's own callbacks stay the contract between a volume and a job;
// each job adapts them to this shape.
//
// A derived job calls StopAndWait() in its destructor, so that its Run never
// outlives the members it uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/volume/Volume.h"
#include "platform/Status.h"

enum class JobPhase : uint8_t {
    Idle,          // not started (or ended: see the outcome)
    Counting,      // sizing the work (clusters to scan, bytes to recover)
    Indexing,      // enumerating the volume
    ReadingCache,  // restoring the index from its cache file
    SavingCache,   // writing the cache file
    Searching,
    Scanning,
    Recovering,
    Imaging,       // copying a source into an image file
};

struct JobProgress {
    JobPhase phase = JobPhase::Idle;
    uint64_t itemsDone = 0;
    uint64_t itemsTotal = 0;  // 0: not known
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;  // 0: not known
    uint64_t delivered = 0;   // events delivered so far (matches, found files, items ended)
    double elapsed = 0;       // seconds since Start
    double phaseElapsed = 0;  // seconds since the current phase began
    double rate = 0;          // per second in this phase: bytes when it counts bytes, else items
    double remaining = -1;    // seconds still to go in this phase; -1: no estimate
    int percent = 0;          // of the current phase
};

enum class JobEnd : uint8_t { Completed, Stopped, Failed };

struct JobOutcome {
    JobEnd end = JobEnd::Completed;
    Status status;  // why it failed (Failed); StatusCode::Stopped when stopped

    static JobOutcome Done() { return {}; }
    static JobOutcome StoppedByRequest() { return {JobEnd::Stopped, Status(StatusCode::Stopped, "stopped")}; }
    static JobOutcome Failure(Status why) { return {JobEnd::Failed, std::move(why)}; }
    bool completed() const { return end == JobEnd::Completed; }
    bool stopped() const { return end == JobEnd::Stopped; }
    bool failed() const { return end == JobEnd::Failed; }
};

// Where a job delivers its results and events; called on the job's worker.
template <class Event>
class IJobSink {
public:
    virtual ~IJobSink() = default;
    virtual void OnJobEvent(const Event& event) = 0;
};

// A sink that keeps the events for a front end that polls (a command loop, a
// window's timer). Any thread may take them.
template <class Event>
class CJobEventQueue : public IJobSink<Event> {
public:
    void OnJobEvent(const Event& event) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_events.push_back(event);
    }
    std::vector<Event> Take() {
        std::lock_guard<std::mutex> g(m_lock);
        std::vector<Event> out;
        out.swap(m_events);
        return out;
    }

private:
    std::mutex m_lock;
    std::vector<Event> m_events;
};

class CJob {
public:
    CJob() = default;
    virtual ~CJob();
    CJob(const CJob&) = delete;
    CJob& operator=(const CJob&) = delete;

    // Resets the counters and starts the worker. False (and the outcome says
    // why) while a worker runs or when the job cannot start as configured. A
    // stop requested while no worker runs applies to the next start (the job
    // then ends at its first check); a run's end lowers the flag.
    bool Start();
    // Any thread, at any time; the worker ends soon after.
    void RequestStop() {
        m_stop.store(1, std::memory_order_relaxed);
        OnStopRequested();
    }
    bool StopRequested() const { return IsStopped(&m_stop); }
    void Wait();
    bool IsRunning() const { return m_running.load(); }

    JobProgress Progress() const;
    // The end of the last run (valid once IsRunning() turned false after Start).
    JobOutcome Outcome() const;
    const StopFlag& Flag() const { return m_stop; }

protected:
    // The work, on the worker thread.
    virtual JobOutcome Run() = 0;
    // Called by Start on the caller's thread before the worker starts; a
    // failure refuses the start.
    virtual Status Prepare() { return {}; }
    // Lets a job replace the generic percent and estimate of a snapshot.
    virtual void Refine(JobProgress& /*progress*/) const {}
    // Passes a stop request on to the flags the job's own machinery polls
    // (any thread; keep it to stores).
    virtual void OnStopRequested() {}
    void StopAndWait();

    // The worker's counters.
    void EnterPhase(JobPhase phase, uint64_t itemsTotal = 0, uint64_t bytesTotal = 0);
    void SetItemsTotal(uint64_t n) { m_itemsTotal.store(n, std::memory_order_relaxed); }
    void SetItemsDone(uint64_t n) { m_itemsDone.store(n, std::memory_order_relaxed); }
    void AddItemsDone(uint64_t n = 1) { m_itemsDone.fetch_add(n, std::memory_order_relaxed); }
    void SetBytesTotal(uint64_t n) { m_bytesTotal.store(n, std::memory_order_relaxed); }
    void SetBytesDone(uint64_t n) { m_bytesDone.store(n, std::memory_order_relaxed); }
    void AddBytesDone(uint64_t n) { m_bytesDone.fetch_add(n, std::memory_order_relaxed); }
    void AddDelivered(uint64_t n = 1) { m_delivered.fetch_add(n, std::memory_order_relaxed); }
    // The percent of the current phase, when the counters cannot tell it (0-100; -1: from the counters).
    void SetPercent(int percent) { m_percent.store(percent, std::memory_order_relaxed); }

    StopFlag m_stop {0};

private:
    using Clock = std::chrono::steady_clock;
    static int64_t Ticks() { return Clock::now().time_since_epoch().count(); }

    std::thread m_worker;
    std::atomic<bool> m_running {false};
    std::atomic<JobPhase> m_phase {JobPhase::Idle};
    std::atomic<uint64_t> m_itemsDone {0}, m_itemsTotal {0}, m_bytesDone {0}, m_bytesTotal {0}, m_delivered {0};
    std::atomic<int> m_percent {-1};
    std::atomic<int64_t> m_startTicks {0}, m_phaseTicks {0}, m_endTicks {0};

    mutable std::mutex m_outcomeLock;
    JobOutcome m_outcome;
};
