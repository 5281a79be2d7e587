#include "SurfaceScanJob.h"

#include "app/Log.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/ScanTypes.h"

CSurfaceScanJob::CSurfaceScanJob(CVolume& volume, const ScanTypeSet& scanner) : m_volume(volume), m_scanner(scanner) {}

CSurfaceScanJob::~CSurfaceScanJob() {
    Stop();
    Wait();
}

bool CSurfaceScanJob::Start() {
    if (m_running.load() || m_worker.joinable()) {
        if (m_running.load()) return false;
        m_worker.join();
    }
    if (m_scanner.detectorCount == 0) return false;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_items.clear();
        m_progress = ScanProgress {};
    }
    m_stop.store(0);
    m_running.store(true);
    m_worker = std::thread([this] { Run(); });
    return true;
}

void CSurfaceScanJob::Stop() { m_stop.store(1, std::memory_order_relaxed); }

void CSurfaceScanJob::Wait() {
    if (m_worker.joinable()) m_worker.join();
}

bool CSurfaceScanJob::IsRunning() const { return m_running.load(); }

ScanProgress CSurfaceScanJob::Progress() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_progress;
}

size_t CSurfaceScanJob::ItemCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_items.size();
}

std::vector<CarvedItem> CSurfaceScanJob::Items(size_t first) const {
    std::lock_guard<std::mutex> g(m_lock);
    if (first >= m_items.size()) return {};
    return std::vector<CarvedItem>(m_items.begin() + static_cast<std::ptrdiff_t>(first), m_items.end());
}

void CSurfaceScanJob::Run() {
    CScopeTrace trace(1, "SurfaceScanThread");
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_progress.phase = ScanPhase::Counting;
    }
    uint64_t count = 0;
    bool ok = CountScanClusters(m_volume, m_scanner, count, this, &m_stop);
    if (ok && !IsStopped(&m_stop)) {
        std::lock_guard<std::mutex> g(m_lock);
        m_progress.phase = ScanPhase::Scanning;
        m_progress.total = count;
        m_progress.percent = 0;
        m_progress.remainingSeconds = 0;
        m_scanStart = std::chrono::steady_clock::now();
    }
    if (ok && !IsStopped(&m_stop)) ok = ScanClusters(m_volume, m_scanner, this, &m_stop);
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (IsStopped(&m_stop))
            m_progress.phase = ScanPhase::Stopped;
        else if (!ok)
            m_progress.phase = ScanPhase::Failed;
        else {
            m_progress.phase = ScanPhase::Finished;
            m_progress.percent = 100;
            m_progress.remainingSeconds = 0;
        }
        LogWriteLevel(1, "Surface scan ended: %llu files found, %llu of %llu candidate clusters scanned\n",
                      static_cast<unsigned long long>(m_progress.found),
                      static_cast<unsigned long long>(m_progress.scanned),
                      static_cast<unsigned long long>(m_progress.total));
    }
    m_running.store(false);
}

bool CSurfaceScanJob::OnCountProgress(uint64_t current, uint64_t total) {
    std::lock_guard<std::mutex> g(m_lock);
    m_progress.percent = total ? static_cast<uint32_t>(static_cast<double>(current) * 100.0 / static_cast<double>(total)) : 0;
    m_progress.remainingSeconds = 0;
    return true;
}

bool CSurfaceScanJob::OnScanProgress(uint64_t scanned) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> g(m_lock);
    const uint64_t total = m_progress.total;
    m_progress.scanned = scanned;
    m_progress.percent = total ? static_cast<uint32_t>(std::min<uint64_t>(scanned, total) * 100 / total) : 0;
    if (total == 0 || scanned == 0 || scanned >= total) {
        m_progress.remainingSeconds = 0;
    } else {
        const double elapsed = std::chrono::duration<double>(now - m_scanStart).count();
        m_progress.remainingSeconds =
            static_cast<uint64_t>(elapsed * static_cast<double>(total - scanned) / static_cast<double>(scanned));
    }
    return true;
}

bool CSurfaceScanJob::OnFileFound(const std::u16string& typeKey, const std::u16string& title,
                                  const std::u16string& author, uint64_t startCluster, uint64_t size) {
    if (IsStopped(&m_stop)) return false;
    CarvedItem item;
    if (!MakeCarvedItemName(typeKey, title, author, startCluster, item.name)) return true;
    item.startCluster = startCluster;
    item.size = size;
    item.typeKey = typeKey;
    item.title = title;
    item.author = author;
    std::lock_guard<std::mutex> g(m_lock);
    m_items.push_back(std::move(item));
    ++m_progress.found;
    return true;
}
