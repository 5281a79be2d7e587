#include "SurfaceScanJob.h"

#include "app/Log.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/ScanTypes.h"

CSurfaceScanJob::CSurfaceScanJob(CVolume& volume, const ScanTypeSet& scanner, IJobSink<CarvedItem>* sink)
    : m_volume(volume), m_scanner(scanner), m_sink(sink), m_source(volume.Source()) {}

CSurfaceScanJob::~CSurfaceScanJob() { StopAndWait(); }

Status CSurfaceScanJob::Prepare() {
    if (m_scanner.detectorCount == 0) return Status(StatusCode::InvalidArgument, "no type is selected for the scan");
    m_candidates = m_scanned = 0;
    return {};
}

JobOutcome CSurfaceScanJob::Run() {
    CScopeTrace trace(1, "SurfaceScanThread");
    EnterPhase(JobPhase::Counting);
    uint64_t count = 0;
    bool ok = CountScanClusters(m_volume, m_scanner, count, this, &m_stop);
    if (ok && !StopRequested()) {
        m_candidates = count;
        EnterPhase(JobPhase::Scanning, count);
        ok = ScanClusters(m_volume, m_scanner, this, &m_stop);
    }
    LogWriteLevel(1, "Surface scan ended: %llu files found, %llu of %llu candidate clusters scanned\n",
                  static_cast<unsigned long long>(Progress().delivered), static_cast<unsigned long long>(m_scanned.load()),
                  static_cast<unsigned long long>(m_candidates.load()));
    if (m_source && m_source->Gone()) return JobOutcome::Failure(Status(StatusCode::ReadError, kSourceGoneMessage));
    if (StopRequested()) return JobOutcome::StoppedByRequest();
    if (!ok) return JobOutcome::Failure(Status(StatusCode::ReadError, "the cluster allocation map cannot be read"));
    SetItemsDone(count);
    return JobOutcome::Done();
}

WalkResult CSurfaceScanJob::OnCountProgress(uint64_t current, uint64_t total) {
    if (m_source && m_source->Gone()) return WalkResult::Stop;
    SetItemsTotal(total);
    SetItemsDone(current);
    return WalkResult::Continue;
}

WalkResult CSurfaceScanJob::OnScanProgress(uint64_t scanned) {
    if (m_source && m_source->Gone()) return WalkResult::Stop;
    m_scanned = scanned;
    SetItemsDone(scanned);
    return WalkResult::Continue;
}

WalkResult CSurfaceScanJob::OnFileFound(const std::u16string& typeKey, const std::u16string& title,
                                  const std::u16string& author, uint64_t startCluster, uint64_t size) {
    if (StopRequested()) return WalkResult::Stop;
    CarvedItem item;
    if (!MakeCarvedItemName(typeKey, title, author, startCluster, item.name)) return WalkResult::Continue;
    item.startCluster = startCluster;
    item.size = size;
    item.typeKey = typeKey;
    item.title = title;
    item.author = author;
    return Deliver(std::move(item));
}

WalkResult CSurfaceScanJob::OnFragmentedFileFound(const std::u16string& typeKey, const std::u16string& title,
                                                  const std::u16string& author, const ClusterExtents& extents,
                                                  uint64_t size) {
    if (StopRequested()) return WalkResult::Stop;
    if (extents.empty()) return WalkResult::Continue;
    CarvedItem item;
    if (!MakeCarvedItemName(typeKey, title, author, extents.front().cluster, item.name)) return WalkResult::Continue;
    item.startCluster = extents.front().cluster;
    item.size = size;
    item.typeKey = typeKey;
    item.title = title;
    item.author = author;
    if (extents.size() > 1) item.fragments = extents;
    return Deliver(std::move(item));
}

WalkResult CSurfaceScanJob::Deliver(CarvedItem item) {
    AddDelivered();
    if (m_sink) m_sink->OnJobEvent(item);
    return WalkResult::Continue;
}
