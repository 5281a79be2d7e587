// The search job: runs a volume's SearchFiles on a worker thread and keeps
// the matches, as the search window does.
//
// The front end fills Criteria() before Start, polls Results() and Counters()
// on its timer (the worker appends under the job's lock) and may Stop() at
// any time; Finished() turns true when SearchFiles has returned. The job
// borrows the volume, which must outlive it. The worker calls both callback
// operations on itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/volume/SearchCriteria.h"
#include "engine/volume/Volume.h"

struct SearchCounters {
    uint32_t folders = 0;      // matches with the folder attribute
    uint32_t intact = 0;       // files with data status 0
    uint32_t overwritten = 0;  // files with data status 100
    uint32_t partial = 0;      // files with any other data status
    uint32_t tested = 0;       // items tested so far (the last progress call)
    uint32_t total = 0;        // items to test
};

class CSearchJob : public ISearchCallback {
public:
    explicit CSearchJob(CVolume& volume);
    ~CSearchJob() override;
    CSearchJob(const CSearchJob&) = delete;
    CSearchJob& operator=(const CSearchJob&) = delete;

    // The criteria to fill before Start (Start points its callback at the job).
    SearchCriteria& Criteria() { return m_criteria; }
    // Clears the results and counters and starts the worker.
    void Start();
    // Ends the search after the current item; the matches so far stay.
    void Stop() { m_criteria.RequestStop(); }
    bool Finished() const { return m_finished.load(); }
    void Wait();

    // Matches from index `from` on (a copy taken under the lock).
    std::vector<FileItemInfo> Results(size_t from = 0);
    SearchCounters Counters();

    // The window's answers: progress always goes on; a match is refused once stop is set.
    int OnSearchProgress(uint32_t index, uint32_t total) override;
    int OnFileFound(const FileItemInfo& info) override;

private:
    CVolume& m_volume;
    SearchCriteria m_criteria;
    std::mutex m_lock;
    std::vector<FileItemInfo> m_results;
    SearchCounters m_counters;
    std::atomic<bool> m_finished {true};
    std::thread m_worker;
};

// The containing-folder list of a search hit, as the browse page selects a
// folder by it: the ids of its folders from the nearest up, each followed by
// ";" ("<id>;" for a deleted folder, "0;" for an existing folder or the root,
// "-1;" after a lost folder). When a parent cannot be determined (or the
// chain does not end) it logs "Error determining containing folder for file
// #<id>" and returns false.
bool ContainingFolderList(CVolume& volume, uint32_t id, std::string& list);
