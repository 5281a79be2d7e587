// The search job: runs a volume's SearchFiles on its worker and delivers
// every match to its sink, as the search window lists them.
//
// The front end fills Criteria() before Start and may RequestStop at any
// time: the walk ends after the current item and the matches so far stay
// delivered. Progress: phase Searching, items tested of the items to test,
// delivered the matches; Counters() sorts the matches by their state. The
// job borrows the volume and the sink, which must outlive it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "engine/volume/Job.h"
#include "engine/volume/SearchCriteria.h"
#include "engine/volume/Volume.h"

struct SearchCounters {
    uint32_t folders = 0;      // matches with the folder attribute
    uint32_t intact = 0;       // files with data status 0
    uint32_t overwritten = 0;  // files with data status 100
    uint32_t partial = 0;      // files with any other data status
    uint32_t unknown = 0;      // files whose data status cannot be told
    uint32_t tested = 0;       // items tested so far (the last progress call)
    uint32_t total = 0;        // items to test
};

class CSearchJob : public CJob, public ISearchCallback {
public:
    // sink may be null (only the counters are kept).
    CSearchJob(CVolume& volume, IJobSink<FileItemInfo>* sink);
    ~CSearchJob() override;

    // The criteria to fill before Start (Start points its callback at the job).
    SearchCriteria& Criteria() { return m_criteria; }
    SearchCounters Counters();

    // The volume's calls: progress always goes on; a match is refused once stop is set.
    WalkResult OnSearchProgress(uint32_t index, uint32_t total) override;
    WalkResult OnFileFound(const FileItemInfo& info) override;

protected:
    Status Prepare() override;
    JobOutcome Run() override;

private:
    CVolume& m_volume;
    IJobSink<FileItemInfo>* m_sink;
    SearchCriteria m_criteria;
    std::mutex m_lock;
    SearchCounters m_counters;
};

// The containing-folder list of a search hit, as the browse page selects a
// folder by it: the ids of its folders from the nearest up, each followed by
// ";" ("<id>;" for a deleted folder, "0;" for an existing folder or the root,
// "-1;" after a lost folder). When a parent cannot be determined (or the
// chain does not end) it logs "Error determining containing folder for file
// #<id>" and returns false.
bool ContainingFolderList(CVolume& volume, uint32_t id, std::string& list);
