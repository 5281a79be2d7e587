#include "IndexJob.h"

#include <cmath>
#include <cstdio>

#include "app/Log.h"
#include "platform/ByteSource.h"

IndexProgressView ComputeIndexProgress(uint8_t phase, uint32_t done, uint32_t total, double elapsed) {
    IndexProgressView v;
    v.phase = phase;
    switch (phase) {
        case 1: v.title = "Scanning the drive"; break;
        case 2: v.title = "Saving the index"; break;
        case 3: v.title = "Reading the saved index"; break;
        default: break;
    }
    v.elapsed = elapsed;
    if (total != 0) {
        double p = static_cast<double>(done) * 100.0 / total;
        v.percent = (p < 0 || p > 100) ? 0 : static_cast<int>(p);
        v.remaining = done ? elapsed * (static_cast<double>(total) - done) / done : 0;
    }
    v.showRemaining = phase == 1 && total != 0 && done != 0 && v.remaining <= 3600;
    return v;
}

std::string FormatDuration(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds)) seconds = 0;
    auto s = static_cast<unsigned long long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
    return buf;
}

CIndexJob::CIndexJob(CVolumeRegistry& registry, char16_t letter, IndexJobSettings settings)
    : m_registry(registry), m_letter(letter), m_settings(settings) {
    m_progress.stop = &Flag();
}

CIndexJob::~CIndexJob() { StopAndWait(); }

Status CIndexJob::Prepare() {
    if (m_closed.load()) return Status(StatusCode::InvalidArgument, "the indexing job was closed");
    m_fromCache = false;
    {
        std::lock_guard<std::mutex> g(m_progress.lock);
        m_progress.phase = 0;
        m_progress.done = m_progress.total = 0;
    }
    return {};
}

void CIndexJob::Close() {
    StopAndWait();
    if (!m_closed.exchange(true)) {
        CVolume* v = m_volume.exchange(nullptr);
        if (v) m_registry.Release(v);
    }
}

IndexProgressView CIndexJob::View() const {
    uint8_t phase;
    uint32_t done, total;
    {
        std::lock_guard<std::mutex> g(m_progress.lock);
        phase = m_progress.phase;
        done = m_progress.done;
        total = m_progress.total;
    }
    return ComputeIndexProgress(phase, done, total, Progress().elapsed);
}

void CIndexJob::Refine(JobProgress& p) const {
    std::lock_guard<std::mutex> g(m_progress.lock);
    switch (m_progress.phase) {
        case 1: p.phase = JobPhase::Indexing; break;
        case 2: p.phase = JobPhase::SavingCache; break;
        case 3: p.phase = JobPhase::ReadingCache; break;
        default: break;
    }
    p.itemsDone = m_progress.done;
    p.itemsTotal = m_progress.total;
    const IndexProgressView v = ComputeIndexProgress(m_progress.phase, m_progress.done, m_progress.total, p.elapsed);
    p.percent = v.percent;
    p.remaining = v.showRemaining ? v.remaining : -1;
}

namespace {
bool SourceGone(const CVolume& volume) {
    const auto source = volume.Source();
    return source && source->Gone();
}
}  // namespace

JobOutcome CIndexJob::Run() {
    CScopeTrace trace(1, "EnumThread");
    CVolume* volume = m_registry.Acquire(m_letter);
    m_volume = volume;
    JobOutcome outcome;
    // A restore reads the volume's fingerprint before it looks at the cache
    // file; a rescan reads it here. Either way the fingerprint a new cache is
    // saved with is the one from before the build, so that a change made while
    // the build runs leaves the saved cache stale, never a stale one current.
    bool restored = false;
    if (volume && m_settings.useCache) {
        if (!m_settings.rescan)
            restored = volume->RestoreIndexFromCache(&m_progress);
        else
            volume->RefreshCacheFingerprint();
    }
    if (!volume) {
        outcome = JobOutcome::Failure(Status(StatusCode::NotFound, "the volume could not be opened"));
    } else if (restored) {
        m_fromCache = true;
    } else if (const bool built = volume->BuildIndex(&m_progress); SourceGone(*volume)) {
        // What was read before the device went away is no index of the volume: it is not cached.
        outcome = JobOutcome::Failure(Status(StatusCode::ReadError, kSourceGoneMessage));
    } else if (built) {
        // The save also runs when the stop flag is already set: it stops at once and
        // leaves its file marked incomplete, which the next restore deletes.
        if (!m_settings.useCache) {
            // neither read nor written
        } else if (!volume->IndexReadLosses().empty()) {
            LogWriteLevel(0, "The index is not cached: parts of the source could not be read.\n");
        } else if (m_settings.saveCache) {
            volume->DumpIndexToCache(&m_progress);
        } else {
            LogWriteLevel(0, "Cache saving is disabled by app settings.\n");
        }
        if (m_progress.Stopped()) outcome = JobOutcome::StoppedByRequest();
    } else if (!m_progress.Stopped()) {
        outcome = JobOutcome::Failure(Status(StatusCode::Failed, "the index could not be built"));
    } else {
        outcome = JobOutcome::StoppedByRequest();
    }
    {
        std::lock_guard<std::mutex> g(m_progress.lock);
        m_progress.phase = 0;
    }
    return outcome;
}
