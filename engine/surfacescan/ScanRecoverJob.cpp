#include "ScanRecoverJob.h"


namespace {
constexpr auto kWakeInterval = std::chrono::milliseconds(100);
}

CScanRecoverJob::CScanRecoverJob(CVolume& volume, const ScanTypeSet& scanner, std::string destination,
                                 IJobSink<ScanRecoverEvent>* sink)
    : CSurfaceScanJob(volume, scanner, this), m_volume(volume), m_destination(std::move(destination)), m_sink(sink) {}

CScanRecoverJob::~CScanRecoverJob() { StopAndWait(); }

RecoverCounters CScanRecoverJob::RecoveryCounters() const {
    return m_recovery ? m_recovery->Counters() : RecoverCounters {};
}

void CScanRecoverJob::OnStopRequested() {
    if (m_recovery) m_recovery->RequestStop();
    CloseQueue();
}

void CScanRecoverJob::CloseQueue() {
    {
        std::lock_guard<std::mutex> g(m_queueLock);
        m_queueClosed = true;
    }
    m_queueReady.notify_all();
}

bool CScanRecoverJob::NextFound(RecoverItem& out) {
    std::unique_lock<std::mutex> g(m_queueLock);
    while (m_queue.empty() && !m_queueClosed && !StopRequested()) m_queueReady.wait_for(g, kWakeInterval);
    if (m_queue.empty() || StopRequested()) return false;
    const CarvedItem item = m_queue.front();
    m_queue.pop_front();
    out = RecoverItem {};
    out.id = item.startCluster;
    out.name = item.name;
    out.size = item.size;
    out.extents = item.fragments;
    return true;
}

Status CScanRecoverJob::Prepare() {
    Status ready = CSurfaceScanJob::Prepare();
    if (!ready.ok()) return ready;
    {
        std::lock_guard<std::mutex> g(m_queueLock);
        m_queue.clear();
        m_queueClosed = false;
    }
    m_catchingUp = false;
    m_recovery.reset();
    if (Recovering()) {
        RecoverJobSettings settings;
        settings.destination = m_destination;
        settings.flags = RECOVER_CARVED;
        settings.countSizes = false;
        settings.fileOverwrite = 2;  // never overwrite (see the header)
        m_recovery = std::make_unique<CRecoverJob>(
            m_volume, [this](bool, RecoverItem& out) { return NextFound(out); }, settings,
            static_cast<IJobSink<RecoverJobEvent>*>(this));
    }
    return {};
}

JobOutcome CScanRecoverJob::Run() {
    if (m_recovery) m_recovery->Start();
    JobOutcome outcome = CSurfaceScanJob::Run();
    CloseQueue();
    if (m_recovery) {
        if (!outcome.failed() && !StopRequested()) {
            m_catchingUp = true;
            EnterPhase(JobPhase::Recovering);
        }
        m_recovery->Wait();
        if (StopRequested()) outcome = JobOutcome::StoppedByRequest();
    }
    return outcome;
}

void CScanRecoverJob::Refine(JobProgress& p) const {
    if (!m_catchingUp || !m_recovery || p.phase != JobPhase::Recovering) return;
    const RecoverCounters c = m_recovery->Counters();
    p.itemsDone = static_cast<uint64_t>(c.filesDone);
    p.itemsTotal = static_cast<uint64_t>(c.filesStarted);
    p.percent = c.filesStarted ? static_cast<int>(c.filesDone * 100 / c.filesStarted) : 0;
    p.remaining = -1;
}

void CScanRecoverJob::OnJobEvent(const CarvedItem& item) {
    if (m_sink) {
        ScanRecoverEvent e;
        e.kind = ScanRecoverEvent::Kind::Found;
        e.item = item;
        m_sink->OnJobEvent(e);
    }
    if (!Recovering()) return;
    {
        std::lock_guard<std::mutex> g(m_queueLock);
        m_queue.push_back(item);
    }
    m_queueReady.notify_one();
}

void CScanRecoverJob::OnJobEvent(const RecoverJobEvent& event) {
    if (!m_sink || event.kind != RecoverJobEvent::Kind::ItemEnded) return;
    ScanRecoverEvent e;
    e.kind = ScanRecoverEvent::Kind::Recovered;
    e.record = event.record;
    m_sink->OnJobEvent(e);
}
