// `quarlix recover`: writes deleted items (chosen by id or path, or all of
// them) into a destination folder through the recovery job.
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <iostream>
#include <set>
#include <string>

#include "app/RecentDestinations.h"
#include "engine/index/FolderBrowse.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "engine/index/IndexJob.h"
#include "engine/recovery/Destination.h"
#include "engine/recovery/RecoverJob.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/recovery/RecoveryPlan.h"
#include "platform/Text.h"

namespace {

// The command line's answers. Name conflicts are settled by --on-conflict
// through the job's conflict policy before any question; every other
// question gets the answer that keeps going: the item that met the failure
// ends failed (the message says why), the job goes on with the next one.
class CliPrompts : public IRecoverPrompts {
public:
    PromptAnswer Ask(PromptKind kind, const std::string& message, const std::string&, std::string&) override {
        switch (kind) {
            case PromptKind::OverwriteFile: return PromptAnswer::No;
            case PromptKind::MergeFolder:
            case PromptKind::CreateParents: return PromptAnswer::Yes;
            case PromptKind::Warning:
                if (!message.empty()) PrintWarning(message);
                return PromptAnswer::Skip;
            default:
                PrintWarning(message);
                return PromptAnswer::Ignore;
        }
    }
};

// An item given as an id or as a path of a deleted item.
bool SelectOne(CVolume& v, char16_t letter, const std::string& itemArg, CRecoveryPlan& plan, std::string& error) {
    uint64_t id = 0;
    if (ParseItemId(itemArg, id)) {
        if (id >= kLostFolderIdBase) {
            // A lost folder: its own id range (Browse.h), the record number for the engine.
            FoundItem found;
            if (!FindItemById(v, letter, id, found)) {
                error = "no deleted item with id " + itemArg;
                return false;
            }
            plan.AddLostFolder(found.info.id, found.path);
            return true;
        }
        std::u16string name;
        uint32_t attributes = 0;
        if (id > 0xFFFFFFFFull || !v.GetIndexEntry(static_cast<uint32_t>(id), name, attributes)) {
            error = "no deleted item with id " + itemArg;
            return false;
        }
        if (name.empty()) name = Utf8ToUtf16("Folder" + itemArg);
        FileItemInfo info;
        const uint64_t size =
            !(attributes & FILE_ATTRIBUTE_DIRECTORY) && v.GetFileInfo(static_cast<uint32_t>(id), false, info) ? info.size : 0;
        // Reported under the path list prints for it; "#ID" only when no folder shows it.
        FoundItem found;
        plan.AddDeleted(static_cast<uint32_t>(id), std::move(name), attributes, size,
                        FindItemById(v, letter, id, found) ? found.path : "#" + itemArg);
        return true;
    }
    FoundItem found;
    std::string missingFolder;
    if (!FindItemByPath(v, letter, itemArg, found, &missingFolder)) {
        if (!missingFolder.empty())
            error = "no folder " + missingFolder;
        else
            error = "no deleted item " + (itemArg[0] == '/' ? itemArg : "/" + itemArg);
        return false;
    }
    const std::vector<std::string> parts = SplitItemPath(found.path);
    std::u16string name = found.info.name;
    if (name.empty() && !parts.empty()) name = Utf8ToUtf16(NameOfPathPart(parts.back()));
    plan.AddDeleted(found.info.id, std::move(name), found.info.attributes, found.info.size, found.path);
    return true;
}

}  // namespace

int RunRecover(const GlobalOptions& options, const RecoverOptions& ro) {
    if (ro.items.empty() && !ro.all) {
        PrintError("name the items to recover (ids or paths), or --all");
        return kExitUsage;
    }
    if (!ro.items.empty() && ro.all) {
        PrintError("name the items to recover or give --all, not both");
        return kExitUsage;
    }
    // The destination is made ready once the source is known to hold a
    // volume and before it is indexed, so a bad --to costs no indexing.
    OpenedSource opened;
    {
        SourceError error;
        if (!OpenSource(ro.source, ro.partition, true, opened, error)) {
            PrintError(error.message);
            return error.exitCode;
        }
    }
    const std::string sourcePath = opened.path;
    DestinationCheck check = CheckDestination(ro.to, sourcePath, 0);
    // A FUSE destination that names nothing behind it may be the source itself.
    if (check.status.ok() && check.backingUnknown) {
        if (!ro.yes) {
            PrintError(check.backingMessage + "; nothing recovered (--yes recovers there anyway)");
            return kExitUsage;
        }
        PrintWarning(check.backingMessage);
    }
    // Folders made for this run that stay empty (a refused selection, nothing
    // written) are removed again however the run ends.
    struct CreatedFolders {
        std::vector<std::string> list;
        ~CreatedFolders() { RemoveEmptyCreatedFolders(list); }
    } created;
    if (check.status.ok()) check.status = PrepareDestination(check.folder, &created.list);
    if (!check.status.ok()) {
        PrintError(check.status.message());
        return kExitUsage;
    }
    IndexedSource s;
    if (int rc = IndexOpenedSource(options, std::move(opened), false, s)) return rc;
    CVolume& v = *s.volume;

    check = CheckDestination(ro.to, s.source.path, 0);
    if (!check.status.ok()) {
        PrintError(check.status.message());
        return kExitUsage;
    }
    CRecoveryPlan plan(v);
    plan.KeepVolumePaths();
    if (ro.all) plan.AddAll(s.source.letter);
    for (const auto& itemArg : ro.items) {
        std::string error;
        if (!SelectOne(v, s.source.letter, itemArg, plan, error)) {
            PrintError(error);
            return kExitUsage;
        }
    }
    // The items asked for (a folder with its tree counts once), and those of
    // them the job reached: a stopped run says how many it never began.
    std::set<std::pair<uint64_t, bool>> asked, reached;
    for (const RecoverItem& item : plan.Items()) asked.insert({item.id, (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0});

    // A selection larger than the free space is asked about first on a
    // terminal; a script must say --yes.
    const uint64_t selectionSize = plan.CountedSize();
    check = CheckDestination(ro.to, s.source.path, selectionSize);
    if (check.tooSmall) {
        const std::string tooLarge = "the selection (" + HumanSize(selectionSize) + ") is larger than the free space (" +
                                     HumanSize(check.freeBytes) + ") of " + check.folder;
        if (ro.yes) {
            PrintWarning(tooLarge);
        } else if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
            std::cerr << "quarlix: " << tooLarge << ". Recover anyway? [y/N] " << std::flush;
            std::string answer;
            if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
                std::cerr << "quarlix: nothing recovered\n";
                return kExitPartial;
            }
        } else {
            PrintError(tooLarge + "; nothing recovered (--yes recovers anyway)");
            return kExitPartial;
        }
    }

    RecoverJobSettings settings;
    settings.destination = check.folder;
    if (!ro.noStreams && v.Traits().namedStreams) settings.flags |= RECOVER_STREAMS;
    if (!ro.noAttributes) settings.flags |= RECOVER_ATTRIBUTES;
    settings.conflict = ro.onConflict == "overwrite" ? ConflictPolicy::Overwrite
                        : ro.onConflict == "skip"    ? ConflictPolicy::Skip
                                                     : ConflictPolicy::Rename;
    CliPrompts prompts;
    settings.prompts = &prompts;
    CJobEventQueue<RecoverJobEvent> events;
    CRecoverJob job(v, plan.Source(), settings, &events);
    CProgressBar bar(options);
    auto writer = MakeRecordWriter(options.json, std::cout);
    bool outputLost = false;
    auto report = [&] {
        for (const RecoverJobEvent& e : events.Take()) {
            if (e.kind == RecoverJobEvent::Kind::SizeCounted) {
                RememberDestination(check.folder);
                continue;
            }
            const RecoverItemRecord& r = e.record;
            if (asked.count({r.id, r.isFolder})) reached.insert({r.id, r.isFolder});
            const std::string status = RecoverStatusName(r);
            const std::string* vp = plan.VolumePathOf(r.id, r.isFolder);
            // A lost folder reports the id list printed for it (Browse.h).
            const uint64_t shownId = r.isFolder && r.id <= 0xFFFFFFFFull &&
                                             v.IsLostFolder(static_cast<uint32_t>(r.id))
                                         ? kLostFolderIdBase + r.id
                                         : r.id;
            RecoveredRecord out {shownId,       vp ? std::optional<std::string>(*vp) : std::nullopt,
                                 r.nameOnly ? std::nullopt : std::optional<std::string>(r.path),
                                 r.isFolder,
                                 status,        r.bytes,
                                 r.result,      r.status,
                                 r.note,        r.originalName,
                                 r.unreadable};
            bar.Clear();
            writer->Write(out);
        }
        // A closed output (a pipe whose reader is gone) stops the job: what
        // it writes could no longer be reported.
        if (!outputLost && !std::cout.flush()) {
            outputLost = true;
            job.RequestStop();
        }
    };
    job.Start();
    const bool cancelled = RunJobToEnd(
        job, bar, [](double) { return std::chrono::milliseconds(100); }, report, [](const JobProgress& p) {
            return BarLine {p.phase == JobPhase::Counting ? "Counting" : "Recovering", p.percent, p.remaining};
        });
    // The outcomes as the engine counted them, the window's totals too.
    const RecoverCounters c = job.Counters();
    const int failed = c.failed, incomplete = c.incomplete, skipped = c.skipped, unverified = c.unverified;
    const double seconds = job.Progress().elapsed;
    if (outputLost) {
        PrintError("the output was closed; the recovery stopped after " + std::to_string(c.filesDone) + " files");
        return kExitOutputLost;
    }
    AddRecoveryStatistics(static_cast<uint32_t>(c.filesDone), c.processedBytes);
    const bool interrupted = !job.Outcome().failed() && (job.Outcome().stopped() || cancelled);
    const int32_t neverBegun = static_cast<int32_t>(asked.size() - std::min(asked.size(), reached.size()));
    std::string stopReason = job.Outcome().failed() ? job.Outcome().status.message() : std::string();
    if (interrupted) stopReason = "stopped by the user";
    writer->Write(RecoverSummaryRecord {c.filesDone,
                                        c.filesStarted,
                                        c.foldersDone,
                                        c.foldersStarted,
                                        failed,
                                        incomplete,
                                        unverified,
                                        skipped,
                                        c.recoveredBytes,
                                        seconds,
                                        check.folder,
                                        ByteSourceOpenCount(),
                                        s.source.bytes ? s.source.bytes->BytesRead() : 0,
                                        s.source.bytes ? s.source.bytes->UnreadableBytes() : 0,
                                        interrupted ? neverBegun : c.notAttempted,
                                        stopReason,
                                        c.namesOnly,
                                        static_cast<int32_t>(asked.size())});
    // A job that failed (the device stopped answering) never exits 0.
    if (job.Outcome().failed()) {
        PrintError(job.Outcome().status.message());
        return kExitPartial;
    }
    if (job.Outcome().stopped() || cancelled) return kExitInterrupted;
    // Names without data are no failure of --all (there was nothing to
    // write); an item asked for by name that has no data is.
    const bool namesFail = c.namesOnly > 0 && !ro.all;
    return (failed || incomplete || unverified || namesFail || !s.readLosses.empty()) ? kExitPartial : kExitOk;
}
