#include "engine/volume/Job.h"

CJob::~CJob() {
    // A derived job has stopped its worker already (its members are gone by
    // now); this only catches a job that never ran.
    if (m_worker.joinable()) {
        RequestStop();
        m_worker.join();
    }
}

bool CJob::Start() {
    if (m_running.load()) return false;
    if (m_worker.joinable()) m_worker.join();
    Status ready = Prepare();
    if (!ready.ok()) {
        std::lock_guard<std::mutex> g(m_outcomeLock);
        m_outcome = JobOutcome::Failure(std::move(ready));
        return false;
    }
    m_phase.store(JobPhase::Idle);
    m_itemsDone = m_itemsTotal = m_bytesDone = m_bytesTotal = m_delivered = 0;
    m_percent = -1;
    const int64_t now = Ticks();
    m_startTicks = now;
    m_phaseTicks = now;
    m_endTicks = 0;
    {
        std::lock_guard<std::mutex> g(m_outcomeLock);
        m_outcome = JobOutcome::Done();
    }
    m_running.store(true);
    m_worker = std::thread([this] {
        JobOutcome outcome = Run();
        if (outcome.completed() && StopRequested()) outcome = JobOutcome::StoppedByRequest();
        {
            std::lock_guard<std::mutex> g(m_outcomeLock);
            m_outcome = std::move(outcome);
        }
        m_endTicks = Ticks();
        m_phase.store(JobPhase::Idle);
        m_stop.store(0);  // spent: the next start runs unless stopped again
        m_running.store(false);
    });
    return true;
}

void CJob::Wait() {
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) m_worker.join();
}

void CJob::StopAndWait() {
    RequestStop();
    Wait();
}

JobOutcome CJob::Outcome() const {
    std::lock_guard<std::mutex> g(m_outcomeLock);
    return m_outcome;
}

void CJob::EnterPhase(JobPhase phase, uint64_t itemsTotal, uint64_t bytesTotal) {
    m_itemsDone = 0;
    m_bytesDone = 0;
    m_itemsTotal = itemsTotal;
    m_bytesTotal = bytesTotal;
    m_percent = -1;
    m_phaseTicks = Ticks();
    m_phase.store(phase);
}

JobProgress CJob::Progress() const {
    JobProgress p;
    p.phase = m_phase.load();
    p.itemsDone = m_itemsDone.load(std::memory_order_relaxed);
    p.itemsTotal = m_itemsTotal.load(std::memory_order_relaxed);
    p.bytesDone = m_bytesDone.load(std::memory_order_relaxed);
    p.bytesTotal = m_bytesTotal.load(std::memory_order_relaxed);
    p.delivered = m_delivered.load(std::memory_order_relaxed);
    const int64_t start = m_startTicks.load();
    if (start != 0) {
        const int64_t end = m_running.load() ? Ticks() : m_endTicks.load();
        const auto seconds = [](int64_t from, int64_t to) {
            return std::chrono::duration<double>(Clock::duration(to - from)).count();
        };
        p.elapsed = end > start ? seconds(start, end) : 0;
        const int64_t phaseStart = m_phaseTicks.load();
        p.phaseElapsed = end > phaseStart ? seconds(phaseStart, end) : 0;
    }
    // Bytes tell the work where they are known, items otherwise.
    const bool byBytes = p.bytesTotal != 0;
    const uint64_t done = byBytes ? p.bytesDone : p.itemsDone;
    const uint64_t total = byBytes ? p.bytesTotal : p.itemsTotal;
    if (p.phaseElapsed > 0) p.rate = static_cast<double>(done) / p.phaseElapsed;
    const int percent = m_percent.load(std::memory_order_relaxed);
    if (percent >= 0)
        p.percent = percent;
    else if (total != 0)
        p.percent = static_cast<int>(std::min(done, total) * 100 / total);
    if (total != 0 && done != 0 && done < total)
        p.remaining = p.phaseElapsed * static_cast<double>(total - done) / static_cast<double>(done);
    else if (total != 0 && done >= total)
        p.remaining = 0;
    Refine(p);
    return p;
}
