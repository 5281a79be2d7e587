#include "RecoverJob.h"


#include "app/Log.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/recovery/OutputFile.h"
#include "engine/volume/OutputNames.h"

std::string LostFolderName(uint64_t id) { return "Folder" + std::to_string(id); }

uint64_t CountedItemSize(const CVolume& volume, const RecoverItem& item, bool carved) {
    if (carved || (item.attributes & FILE_ATTRIBUTE_DIRECTORY)) return item.size;
    return volume.BoundedFileSize(item.size);
}

void CountRecoverySize(RecoverJob& job, const std::function<void(uint32_t, const std::u16string&)>& onItem) {
    if (!job.getNextItem) return;
    RecoverItem item;
    uint32_t count = 0;
    // Bounded by the source itself; the stop flags end it early.
    while (!IsStopped(job.stop)) {
        item = RecoverItem {};
        if (!job.getNextItem(true, item)) break;
        {
            std::lock_guard<std::mutex> g(job.lock);
            job.totalSize += job.volume ? CountedItemSize(*job.volume, item, (job.flags & RECOVER_CARVED) != 0) : item.size;
        }
        ++count;
        if (onItem) onItem(count, item.name);
    }
    // A stopped pass leaves the source in the middle: walk it to its end so
    // that the next walk starts over at the first item.
    if (IsStopped(job.stop)) {
        while (job.getNextItem(false, item)) {
        }
    }
}

RecoverResult RecoverThread(RecoverJob& job, IRecoverEventCallback* callback) {
    CScopeTrace trace(1, "RecoverThread");
    if (!job.volume || !job.getNextItem) return RecoverResult::Failed;
    CVolume& volume = *job.volume;
    const bool carved = (job.flags & RECOVER_CARVED) != 0;
    const std::shared_ptr<CByteSource> source = volume.Source();
    RecoverItem item;
    RecoverResult last = RecoverResult::Ok;
    for (;;) {
        item = RecoverItem {};
        item.attributes = 1;  // the size is not needed here
        if (!job.getNextItem(false, item)) break;
        if (source && source->Gone()) {
            // The rest of the selection is counted, not read.
            if (callback) callback->OnNotAttempted();
            last = RecoverResult::SourceGone;
            continue;
        }
        RecoverResult result = RecoverResult::Ok;
        std::string destination = job.destination;
        if (!item.subfolder.empty()) {
            // Every component is cleaned, so a hostile name cannot climb out of
            // the destination; the folders are made as the item's output is.
            const COutputRoot* root = OutputRootOf(callback);
            const NameRules rules = root ? root->Rules() : NameRules {};
            size_t start = 0;
            while (start <= item.subfolder.size()) {
                size_t slash = item.subfolder.find('/', start);
                if (slash == std::string::npos) slash = item.subfolder.size();
                if (slash > start)
                    destination = JoinPath(destination, DestinationName(std::string_view(item.subfolder).substr(start, slash - start), rules));
                start = slash + 1;
            }
        }
        std::string out = JoinPath(destination, PathSafeName(item.name));
        if (carved) {
            result = RecoverClustersItem(volume, ExtentsOf(item.extents, item.id, item.size), out, callback, job.stop);
        } else {
            if (IsStopped(job.stop)) {
                last = RecoverResult::Stopped;
                break;
            }
            const uint32_t id32 = static_cast<uint32_t>(item.id);
            if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) && volume.IsLostFolder(id32)) {
                result = RecoverFolderItem(volume, id32, JoinPath(destination, LostFolderName(item.id)), job.flags,
                                              callback, job.stop);
            } else if (id32 == kLostFoldersItemId) {
                const std::string folder = JoinPath(destination, kLostFoldersFolderName);
                std::unique_ptr<IEnumDeletedFiles> lost;
                volume.EnumDeletedFiles(kLostFoldersId, lost);
                FileItemInfo info;
                while (lost && lost->Next(info, true)) {
                    result = RecoverFolderItem(volume, info.id, JoinPath(folder, LostFolderName(info.id)), job.flags,
                                                  callback, job.stop);
                    if (result == RecoverResult::Stopped) break;
                }
            } else {
                std::u16string name;
                uint32_t attributes = 0;
                if (!volume.GetIndexEntry(id32, name, attributes)) {
                    result = RecoverResult::NotIndexed;
                } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    result = RecoverFolderItem(volume, id32, out, job.flags, callback, job.stop);
                } else {
                    result = RecoverFileItem(volume, id32, out, job.flags, callback, job.stop);
                }
            }
        }
        if (result == RecoverResult::Stopped) {
            last = RecoverResult::Stopped;
            break;
        }
    }
    if (last == RecoverResult::Stopped) {
        // Leave the source at its end so that a later walk starts over.
        while (job.getNextItem(false, item)) {
        }
    }
    return last;
}

CRecoverJob::CRecoverJob(CVolume& volume, RecoverItemSource items, RecoverJobSettings settings,
                         IJobSink<RecoverJobEvent>* sink)
    : m_settings(std::move(settings)),
      m_progress(&volume, m_settings.prompts, (m_settings.flags & RECOVER_CARVED) != 0),
      m_sink(sink) {
    m_job.volume = &volume;
    m_job.getNextItem = std::move(items);
    m_job.destination = m_settings.destination;
    m_job.flags = m_settings.flags;
    m_job.stop = &Flag();
    if (m_settings.fileOverwrite || m_settings.folderMerge)
        m_progress.SetPolicies(m_settings.fileOverwrite, m_settings.folderMerge);
    if (m_settings.conflict != ConflictPolicy::Ask) m_progress.SetConflictPolicy(m_settings.conflict);
    m_progress.SetRecordSink(this);
    m_progress.SetContentCheck(m_settings.contentCheck);
}

CRecoverJob::~CRecoverJob() { StopAndWait(); }

uint64_t CRecoverJob::TotalSize() const {
    std::lock_guard<std::mutex> g(m_job.lock);
    return m_job.totalSize;
}

JobOutcome CRecoverJob::Run() {
    if (m_settings.countSizes) {
        EnterPhase(JobPhase::Counting);
        {
            std::lock_guard<std::mutex> g(m_job.lock);
            m_job.totalSize = 0;
        }
        CountRecoverySize(m_job, [this](uint32_t count, const std::u16string&) { SetItemsDone(count); });
        if (StopRequested()) return JobOutcome::StoppedByRequest();
        const uint64_t total = TotalSize();
        m_progress.SetTotalSize(total);
        if (m_sink) {
            RecoverJobEvent e;
            e.kind = RecoverJobEvent::Kind::SizeCounted;
            e.totalSize = total;
            m_sink->OnJobEvent(e);
        }
    }
    EnterPhase(JobPhase::Recovering, 0, TotalSize());
    // The destination is opened once; every output is made below it.
    if (const int err = m_progress.OpenDestination(m_settings.destination))
        return JobOutcome::Failure(ErrnoStatus(StatusCode::WriteError, "cannot open the destination " + m_settings.destination, err));
    if (const uint64_t stale = m_progress.OutputRoot()->StaleRemoved())
        LogWrite("Removed %llu unfinished files that an interrupted recovery left in %s\n",
                 static_cast<unsigned long long>(stale), m_settings.destination.c_str());
    const RecoverResult result = RecoverThread(m_job, &m_progress);
    if (const auto source = m_job.volume->Source(); source && source->Gone())
        return JobOutcome::Failure(Status(StatusCode::ReadError, kSourceGoneMessage));
    if (result == RecoverResult::Stopped || StopRequested()) return JobOutcome::StoppedByRequest();
    if (IsFailure(result)) return JobOutcome::Failure(Status(StatusCode::Failed, "the recovery could not start"));
    return JobOutcome::Done();
}

void CRecoverJob::Refine(JobProgress& p) const {
    if (p.phase != JobPhase::Recovering) return;
    const RecoverCounters c = m_progress.Snapshot();
    p.itemsDone = static_cast<uint64_t>(c.filesDone + c.foldersDone);
    p.itemsTotal = static_cast<uint64_t>(c.filesStarted + c.foldersStarted);
    p.bytesDone = c.processedBytes;
    p.bytesTotal = c.totalSize;
    p.percent = c.totalPercent;
    p.remaining = m_progress.RemainingSeconds();
}

void CRecoverJob::OnJobEvent(const RecoverItemRecord& record) {
    AddDelivered();
    if (!m_sink) return;
    RecoverJobEvent e;
    e.kind = RecoverJobEvent::Kind::ItemEnded;
    e.record = record;
    m_sink->OnJobEvent(e);
}
