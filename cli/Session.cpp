#include "Session.h"

#include <iostream>

#include "app/Profile.h"
#include "cli/Progress.h"
#include "engine/index/IndexJob.h"
#include "platform/ByteSource.h"
#include "platform/Text.h"

void WarnIfShortSource(const CVolume& volume) {
    static bool warned = false;
    const std::string text = volume.ShortSourceText();
    if (text.empty() || warned) return;
    warned = true;
    PrintWarning(text);
}

int OpenIndexedSource(const GlobalOptions& options, const std::string& source, int partition, bool rescan,
                      IndexedSource& out) {
    SourceError error;
    OpenedSource opened;
    if (!OpenSource(source, partition, true, opened, error)) {
        PrintError(error.message);
        return error.exitCode;
    }
    return IndexOpenedSource(options, std::move(opened), rescan, out);
}

int IndexOpenedSource(const GlobalOptions& options, OpenedSource opened, bool rescan, IndexedSource& out) {
    out.source = std::move(opened);
    const std::string source = out.source.path;
    if (out.source.volume) WarnIfShortSource(*out.source.volume);
    // The registry takes the volume the source was opened with: the index
    // job borrows it from there, with no second open or detection.
    out.registry = std::make_unique<CVolumeRegistry>();
    out.registry->Adopt(out.source.letter, std::move(out.source.volume));
    IndexJobSettings indexing;
    indexing.rescan = rescan;
    // A rescue map's losses are not in a cache made without it (nor is such an index whole).
    indexing.useCache = !options.noCache && out.source.mapUnreadableBytes == 0;
    indexing.saveCache = CXMLProfile::Instance().ReadInt("Cache", "SaveToDisk", settings::kCacheSaveToDiskDefault) != 0;
    CIndexJob job(*out.registry, out.source.letter, indexing);
    CProgressBar bar(options);
    job.Start();
    const bool cancelled = RunJobToEnd(
        job, bar, [](double elapsed) { return std::chrono::milliseconds(elapsed < 0.3 ? 20 : 300); }, nullptr,
        [&job](const JobProgress&) {
            const IndexProgressView v = job.View();
            return BarLine {v.title.empty() ? "Opening" : v.title, v.percent,
                            v.showRemaining ? v.remaining : (v.phase == 1 ? -1 : 0)};
        });
    out.volume = job.Volume();
    out.fromCache = job.RestoredFromCache();
    out.seconds = job.Progress().elapsed;
    out.interrupted = cancelled;
    if (job.Failed() || !out.volume) {
        const Status why = job.Outcome().status;
        PrintError("the index of " + source + " could not be built" +
                   (why.message() == kSourceGoneMessage ? ": " + why.message() : std::string()));
        return kExitSource;
    }
    if (!out.volume->CacheProblem().empty()) PrintWarning(out.volume->CacheProblem());
    out.readLosses = out.volume->IndexReadLosses();
    for (const ReadLoss& loss : out.readLosses) PrintWarning(loss.Text());
    return 0;
}

int FindCliItem(IndexedSource& source, const std::string& sourceArg, const std::string& itemArg, FoundItem& out) {
    uint64_t id = 0;
    const bool found = ParseItemId(itemArg, id) ? FindItemById(*source.volume, source.source.letter, id, out)
                                               : FindItemByPath(*source.volume, source.source.letter, itemArg, out);
    if (found) return 0;
    PrintError("no deleted item " + itemArg + " on " + sourceArg);
    return kExitUsage;
}
