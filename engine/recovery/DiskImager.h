// The disk-image job: copies a source (a failing disk, a partition, any image
// a byte source opens) into a raw image file, the readable areas first, and
// keeps a rescue map (platform/RescueMap.h, GNU ddrescue's mapfile format)
// of what was read and what could not be, so a stopped run goes on where it
// stopped and ddrescue's tools read the map.
//
// The rescue runs in three passes over the map:
//  1. copying: the untried areas ('?') are read forward in large blocks;
//     a read that fails ends at the first unreadable 4 KiB block (the byte
//     source narrows it down), which is marked bad ('-'), and the job skips
//     ahead (64 KiB, doubling while reads keep failing, at most 1 % of the
//     source), leaving the skipped area untrimmed ('*');
//  2. trimming: each untrimmed area is read from its start forward and from
//     its end backward until a read fails; what lies between is unscraped ('/');
//  3. scraping: each unscraped 4 KiB block is read once; a refused one is bad.
// Blocks marked bad by an earlier run are not tried again unless retryBad is
// set (then once, block by block). Rescued areas ('+') are never read again.
//
// The image is written in place (it must be resumable): it is made as long
// as the source without data (sparse), every read range is written at its
// offset except blocks of zeros, which stay holes, and a range not read is
// never written. The map is written whole every few seconds, at the end and
// after a stop: the image is flushed first, then the map goes to a temporary
// file in its folder, is flushed and renamed over the old one.
//
// Neither path is followed through a link, and both folders are opened once;
// the image must be a regular file. The front end checks that the folders are
// not backed by the source (Destination.h); Prepare refuses an image or map
// that is the source or one of its files (by device and inode), an existing
// image without a map, a map of a source of another size.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/recovery/Destination.h"
#include "engine/volume/Job.h"
#include "platform/ByteSource.h"
#include "platform/RescueMap.h"

struct DiskImageSettings {
    std::shared_ptr<CByteSource> source;
    std::string imagePath;
    std::string mapPath;                    // "" : imagePath + ".map"
    bool retryBad = false;                  // try the blocks an earlier run found bad once more
    std::vector<std::string> mapComments;   // comment lines at the head of the map (without "#")
    uint32_t copyBlock = 1u << 20;          // bytes per read while copying
    double mapInterval = 5.0;               // seconds between map writes
};

// What the map says, counted.
struct DiskImageCounts {
    uint64_t size = 0;
    uint64_t rescued = 0;     // '+'
    uint64_t bad = 0;         // '-'
    uint64_t badAreas = 0;    // runs of '-'
    uint64_t untried = 0;     // '?'
    uint64_t untrimmed = 0;   // '*'
    uint64_t unscraped = 0;   // '/'
    char phase = '?';         // the map's current phase: ? copying, * trimming, / scraping, - retrying, + done
    uint64_t position = 0;    // where the job reads
    uint64_t mapWrites = 0;   // maps written by this run
};

// An image a front end asks for, and what is known before anything is
// written: the source opened once, the map's path (IMAGE.map unless named),
// and the checks of both folders (neither may lie on the source).
struct DiskImagePlan {
    DiskImageSettings settings;
    std::string sourcePath;                // the source's canonical path
    Status refusal;                        // not ok: refused, nothing written; the message says why
    bool sourceUnopened = false;           // the refusal is that the source cannot be opened
    std::vector<DestinationCheck> checks;  // the image's folder, then the map's: their warnings are the user's call
};
DiskImagePlan PlanDiskImage(const std::string& source, const std::string& image, const std::string& map,
                            bool retryBad);

class CDiskImager : public CJob {
public:
    explicit CDiskImager(DiskImageSettings settings);
    ~CDiskImager() override;

    const std::string& MapPath() const { return m_settings.mapPath; }
    // The counts as the job last published them (any thread).
    DiskImageCounts Counts() const;
    // Set by Prepare: the map existed and the run continues it.
    bool Resumed() const { return m_resumed; }
    // The counts of the map as Prepare found it (a resumed run's start).
    const DiskImageCounts& Initial() const { return m_initial; }
    // Bytes rescued by this run.
    uint64_t RescuedThisRun() const { return m_rescuedThisRun.load(std::memory_order_relaxed); }
    // The areas marked bad, sorted (valid after the run).
    std::vector<ByteRange> BadAreas() const;
    // The map's blocks as the job last published them with the counts (any
    // thread): a picture of the rescue while it runs.
    std::vector<RescueBlock> MapBlocks() const;

protected:
    Status Prepare() override;
    JobOutcome Run() override;
    void Refine(JobProgress& progress) const override;

private:
    // What one ranged read did.
    struct Chunk {
        uint64_t good = 0;    // bytes read (and written) from the start
        bool failed = false;  // the block after them was refused
    };
    Status OpenFiles();
    // Reads [offset, offset + length) forward until the first refused block:
    // marks and writes what was read, marks the refused block bad.
    Status ReadForward(uint64_t offset, uint64_t length, Chunk& chunk);
    Status Write(uint64_t offset, const uint8_t* data, uint64_t length);
    void Mark(uint64_t offset, uint64_t length, RescueState state);
    Status CopyPass();
    Status TrimPass();
    Status ScrapePass(RescueState which, char phase);
    // Writes the map when its interval has passed (always with force).
    Status SaveMap(bool force);
    void Publish();
    bool Stopping() const { return StopRequested(); }

    DiskImageSettings m_settings;
    CRescueMap m_map {0};
    int m_imageFd = -1;
    int m_mapDirFd = -1;
    std::string m_mapLeaf;
    std::vector<uint8_t> m_buffer;
    bool m_resumed = false;
    DiskImageCounts m_initial;
    uint64_t m_counts[128] = {};  // bytes by state character
    int64_t m_lastSave = 0;
    int64_t m_lastPublish = 0;
    uint64_t m_mapWrites = 0;
    std::atomic<uint64_t> m_rescuedThisRun {0};
    std::atomic<uint64_t> m_finished {0};  // rescued + bad, for the estimate
    uint64_t m_finishedAtStart = 0;

    mutable std::mutex m_countsLock;
    DiskImageCounts m_published;
    std::vector<RescueBlock> m_publishedBlocks;
    std::vector<ByteRange> m_badAreas;
};
