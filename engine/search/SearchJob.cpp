#include "SearchJob.h"

#include "app/Log.h"

namespace {
// Parent chains longer than this come from a damaged index (or loop).
constexpr int kMaxFolderChain = 65536;
}  // namespace

CSearchJob::CSearchJob(CVolume& volume) : m_volume(volume) {}

CSearchJob::~CSearchJob() {
    Stop();
    Wait();
}

void CSearchJob::Start() {
    if (m_worker.joinable()) {
        Stop();
        m_worker.join();
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_results.clear();
        m_counters = SearchCounters {};
    }
    m_criteria.stop.store(0);
    m_criteria.callback = this;
    m_finished = false;
    m_worker = std::thread([this] {
        CScopeTrace trace(1, "SearchThread");
        m_volume.SearchFiles(&m_criteria);
        m_finished = true;
    });
}

void CSearchJob::Wait() {
    if (m_worker.joinable()) m_worker.join();
}

std::vector<FileItemInfo> CSearchJob::Results(size_t from) {
    std::lock_guard<std::mutex> g(m_lock);
    if (from >= m_results.size()) return {};
    return std::vector<FileItemInfo>(m_results.begin() + static_cast<std::ptrdiff_t>(from), m_results.end());
}

SearchCounters CSearchJob::Counters() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_counters;
}

int CSearchJob::OnSearchProgress(uint32_t index, uint32_t total) {
    std::lock_guard<std::mutex> g(m_lock);
    m_counters.tested = index;
    m_counters.total = total;
    return 1;
}

int CSearchJob::OnFileFound(const FileItemInfo& info) {
    if (m_criteria.Stopped()) return 0;
    std::lock_guard<std::mutex> g(m_lock);
    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY)
        ++m_counters.folders;
    else if (info.dataStatus == 0)
        ++m_counters.intact;
    else if (info.dataStatus == 100)
        ++m_counters.overwritten;
    else
        ++m_counters.partial;
    m_results.push_back(info);
    return 1;
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
