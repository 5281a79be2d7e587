#include "SearchJob.h"

#include "app/Log.h"

namespace {
// Parent chains longer than this come from a damaged index (or loop).
constexpr int kMaxFolderChain = 65536;
}  // namespace

CSearchJob::CSearchJob(CVolume& volume, IJobSink<FileItemInfo>* sink) : m_volume(volume), m_sink(sink) {}

CSearchJob::~CSearchJob() { StopAndWait(); }

Status CSearchJob::Prepare() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_counters = SearchCounters {};
    }
    m_criteria.stop = &Flag();
    m_criteria.ended = false;
    m_criteria.callback = this;
    return {};
}

JobOutcome CSearchJob::Run() {
    CScopeTrace trace(1, "SearchThread");
    EnterPhase(JobPhase::Searching);
    m_volume.SearchFiles(&m_criteria);
    if (!StopRequested()) return JobOutcome::Done();
    m_criteria.RequestStop();  // a stopped search refuses any later match, also once its flag is spent
    return JobOutcome::StoppedByRequest();
}

SearchCounters CSearchJob::Counters() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_counters;
}

WalkResult CSearchJob::OnSearchProgress(uint32_t index, uint32_t total) {
    SetItemsTotal(total);
    SetItemsDone(index);
    std::lock_guard<std::mutex> g(m_lock);
    m_counters.tested = index;
    m_counters.total = total;
    return WalkResult::Continue;
}

WalkResult CSearchJob::OnFileFound(const FileItemInfo& info) {
    if (m_criteria.Stopped()) return WalkResult::Stop;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (info.attributes & FILE_ATTRIBUTE_DIRECTORY)
            ++m_counters.folders;
        else if (info.dataStatus == kDataStatusUnknown)
            ++m_counters.unknown;
        else if (info.dataStatus == 0)
            ++m_counters.intact;
        else if (info.dataStatus == 100)
            ++m_counters.overwritten;
        else
            ++m_counters.partial;
    }
    AddDelivered();
    if (m_sink) m_sink->OnJobEvent(info);
    return WalkResult::Continue;
}

bool ContainingFolderList(CVolume& volume, uint32_t id, std::string& list) {
    list.clear();
    uint32_t current = id;
    for (int step = 0; step < kMaxFolderChain; ++step) {
        int32_t parent = 0;
        if (!volume.GetParentFolder(current, parent)) break;
        if (parent == kNoFolderId) {
            list += "0;";
            return true;
        }
        list += std::to_string(static_cast<uint32_t>(parent)) + ";";
        if (volume.IsLostFolder(static_cast<uint32_t>(parent))) {
            list += "-1;";
            return true;
        }
        current = static_cast<uint32_t>(parent);
    }
    LogWrite("Error determining containing folder for file #%lu\n", static_cast<unsigned long>(id));
    list.clear();
    return false;
}
