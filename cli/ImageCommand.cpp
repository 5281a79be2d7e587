// `quarlix image SOURCE --to FILE [--map MAPFILE]`: copies a (possibly
// failing) device or image into a raw image file through the disk-image job
// (engine/recovery/DiskImager.h), with a rescue map in GNU ddrescue's mapfile
// format beside it (FILE.map unless --map names another), so that a stopped
// run goes on where it stopped and every later command works on the image.
#include <cmath>
#include <iostream>

#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/RecordWriter.h"
#include "engine/index/IndexJob.h"
#include "engine/recovery/DiskImager.h"

namespace {

// The warnings of a folder check (a refusal is the plan's).
void Warn(const DestinationCheck& check, uint64_t needed) {
    if (check.backingUnknown) PrintWarning(check.backingMessage);
    if (check.tooSmall)
        PrintWarning(check.folder + " has " + HumanSize(check.freeBytes) + " free; the image may need up to " +
                     HumanSize(needed));
}

std::string Rate(double bytesPerSecond) { return HumanSize(static_cast<uint64_t>(std::max(bytesPerSecond, 0.0))) + "/s"; }

}  // namespace

int RunImage(const GlobalOptions& options, const ImageOptions& io) {
    const DiskImagePlan plan = PlanDiskImage(io.source, io.to, io.map, io.retryBad);
    if (!plan.refusal.ok()) {
        PrintError(plan.refusal.message());
        return plan.sourceUnopened ? kExitSource : kExitUsage;
    }
    Warn(plan.checks[0], plan.settings.source->Size());
    Warn(plan.checks[1], 0);
    const std::string& sourcePath = plan.sourcePath;
    const std::string& mapPath = plan.settings.mapPath;
    CDiskImager job(plan.settings);
    if (!job.Start()) {
        PrintError(job.Outcome().status.message());
        return kExitUsage;
    }
    const DiskImageCounts initial = job.Initial();
    if (job.Resumed()) {
        std::cerr << "quarlix: continuing from the map " << mapPath << ": " << HumanSize(initial.rescued)
                  << " rescued, " << HumanSize(initial.untried + initial.untrimmed + initial.unscraped)
                  << " still to read\n";
        if (initial.bad > 0 && !io.retryBad)
            std::cerr << "quarlix: " << initial.bad << " bytes in " << initial.badAreas
                      << " areas the map marks bad are not read again (--retry-bad tries them once more)\n";
    } else if (io.map.empty()) {
        std::cerr << "quarlix: the map of the image is " << mapPath
                  << " (a stopped run goes on from it; keep it beside the image)\n";
    }

    CProgressBar bar(options);
    const bool interrupted = RunJobToEnd(
        job, bar, [](double) { return std::chrono::milliseconds(25); }, nullptr, [&](const JobProgress& p) {
            const DiskImageCounts c = job.Counts();
            BarLine line;
            line.title = "rescued " + HumanSize(c.rescued) + ", bad " + HumanSize(c.bad) + "/" +
                         std::to_string(c.badAreas) + (c.badAreas == 1 ? " area, " : " areas, ") + Rate(p.rate);
            line.withElapsed = false;
            line.percent = p.percent;
            line.remaining = p.remaining < 0 ? -1 : std::floor(p.remaining);
            return line;
        });
    const JobOutcome outcome = job.Outcome();
    const DiskImageCounts c = job.Counts();

    ImageSummaryRecord summary;
    summary.source = sourcePath;
    summary.image = io.to;
    summary.map = mapPath;
    summary.size = c.size;
    summary.rescued = c.rescued;
    summary.bad = c.bad;
    summary.badAreas = c.badAreas;
    summary.remaining = c.untried + c.untrimmed + c.unscraped;
    summary.rescuedThisRun = job.RescuedThisRun();
    summary.resumed = job.Resumed();
    summary.stopped = interrupted || outcome.stopped();
    summary.seconds = job.Progress().elapsed;
    summary.badRanges = job.BadAreas();
    auto writer = MakeRecordWriter(options.json, std::cout);
    writer->Write(summary);
    if (outcome.failed()) {
        PrintError(outcome.status.message() + "; the map " + mapPath + " names what was rescued: run again to go on");
        return kExitPartial;
    }
    if (summary.stopped) {
        std::cerr << "quarlix: stopped; the map " << mapPath << " names what was rescued: run again to go on\n";
        return kExitInterrupted;
    }
    if (c.bad > 0) {
        PrintError(std::to_string(c.bad) + " bytes in " + std::to_string(c.badAreas) + (c.badAreas == 1 ? " area" : " areas") +
                   " could not be read; the map " + mapPath + " names them");
        return kExitPartial;
    }
    return kExitOk;
}
