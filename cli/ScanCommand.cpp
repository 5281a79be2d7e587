// `quarlix scan`: the surface scan. Walks the free clusters of a source's
// NTFS or FAT volume (every cluster with --all-clusters), or a source with no
// such file system as a row of raw units, and prints every file the
// providers recognise as soon as the scan job reports it. With --to each
// found file is also handed, as it is found, to the recovery job as a
// carved cluster run, so that what was found before a Ctrl-C is on disk;
// each find is then printed once, with its outcome, in the order found.
//
// Threads: the scan job's worker walks the volume; with --to a second worker
// runs the recovery job, whose item source waits for the next found file.
// This thread polls both, prints, draws the progress bar and turns Ctrl-C
// into the two stop flags.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <iostream>
#include <optional>
#include <map>

#include "app/Profile.h"
#include "app/RecentDestinations.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "cli/Source.h"
#include "engine/formats/ProviderRegistry.h"
#include "engine/index/IndexJob.h"
#include "engine/index/VolumeFactory.h"
#include "engine/recovery/Destination.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/surfacescan/RawVolume.h"
#include "engine/surfacescan/ScanTypes.h"
#include "engine/surfacescan/ScanRecoverJob.h"
#include "platform/DriveList.h"
#include "platform/Text.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

std::string Narrow(std::u16string_view key) { return Utf16ToUtf8(key); }

// The type keys the registered providers report, in registration order.
std::vector<std::string> RegisteredKeys(const ProviderRegistry& registry) {
    std::vector<std::string> keys;
    for (const TypeEntry& t : registry.types) {
        std::string k = Narrow(t.typeKey);
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    }
    return keys;
}

std::string JoinKeys(const std::vector<std::string>& keys) {
    std::string s;
    for (const auto& k : keys) s += (s.empty() ? "" : ", ") + k;
    return s;
}

// --types as the checked state of every type: the named ones on, all others off.
bool CheckedFromOption(const std::string& list, const ProviderRegistry& registry, std::map<std::string, bool>& checked,
                       std::string& error) {
    const std::vector<std::string> valid = RegisteredKeys(registry);
    for (const ScanTypeInfo& t : ScanTypes()) checked[Narrow(t.key)] = false;
    size_t named = 0;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string key = list.substr(start, comma - start);
        start = comma + 1;
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t") + 1);
        for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key.empty()) continue;
        if (std::find(valid.begin(), valid.end(), key) == valid.end()) {
            error = "unknown type '" + key + "' in --types; the types are: " + JoinKeys(valid);
            return false;
        }
        checked[key] = true;
        ++named;
    }
    if (named == 0) {
        error = "--types names no type; the types are: " + JoinKeys(valid);
        return false;
    }
    return true;
}

// The types the window's type page saved (SurfaceScanTypes; every type on by default).
std::map<std::string, bool> CheckedFromSettings() {
    std::map<std::string, bool> checked;
    CXMLProfile& profile = CXMLProfile::Instance();
    for (const ScanTypeInfo& t : ScanTypes()) {
        const std::string key = Narrow(t.key);
        checked[key] = profile.ReadInt(scansettings::kTypesSection, key.c_str(), scansettings::kTypeEnabledDefault) != 0;
    }
    return checked;
}

FoundRecord FoundOf(const CarvedItem& item, uint32_t clusterSize) {
    FoundRecord r;
    for (const ClusterExtent& e : item.fragments) {
        const uint64_t clusters = clusterSize ? e.bytes / clusterSize + (e.bytes % clusterSize != 0 ? 1 : 0) : 0;
        r.fragments.push_back({e.cluster, clusters, e.bytes});
    }
    if (!item.fragments.empty()) r.fragmentsNote = FragmentsText(item.fragments, clusterSize);
    r.type = Utf16ToUtf8(item.typeKey);
    r.name = Utf16ToUtf8(item.name);
    r.cluster = item.startCluster;
    r.size = item.size;
    r.title = Utf16ToUtf8(item.title);
    r.author = Utf16ToUtf8(item.author);
    return r;
}

// The volume to scan: the source's NTFS/FAT volume, or else the source (or
// the chosen partition) as raw units. Returns 0 or the exit code (printed).
int OpenScanVolume(const ScanOptions& so, OpenedSource& source, std::unique_ptr<CVolume>& volume, bool& raw) {
    SourceError error;
    if (!OpenSource(so.source, so.partition, false, source, error)) {
        PrintError(error.message);
        return error.exitCode;
    }
    raw = !source.volume;
    if (!raw) {
        WarnIfShortSource(*source.volume);
        volume = std::move(source.volume);
        return 0;
    }
    const VolumeStatus& why = source.volumeStatus;
    if (int openErr = why.openErrno) {
        PrintError(OpenErrorMessage(so.source, openErr));
        return kExitSource;
    }
    auto rawVolume = std::make_unique<CRawVolume>(so.unit);
    // A chosen partition (or a table-less source) has its window in the
    // drive table; a whole disk whose partitions hold nothing is read whole.
    rawVolume->UseSource(source.bytes);
    const bool opened = source.letter ? rawVolume->OpenDrive(source.letter) : rawVolume->Initialize(source.path);
    if (!opened) {
        PrintError(rawVolume->InitError().empty() ? "cannot open " + so.source : rawVolume->InitError());
        return kExitSource;
    }
    const std::string& reason = why.status.message();
    const std::string seen = OtherContentNames(source.otherContent);
    std::string found = !seen.empty() && reason.empty()
                            ? "no NTFS, FAT or exFAT file system on " + so.source + " (" + seen + " found, not supported)"
                        : reason.empty() ? "no NTFS, FAT or exFAT file system found on " + so.source
                                       : "no usable NTFS, FAT or exFAT file system on " + so.source + " (" + reason + ")";
    std::cerr << "quarlix: " << found << "; scanning it as raw units of " << so.unit << " bytes\n";
    volume = std::move(rawVolume);
    return 0;
}

}  // namespace

std::string ScanTypeKeys() {
    ProviderRegistry registry;
    RegisterProviders(registry);
    return JoinKeys(RegisteredKeys(registry));
}

int RunScan(const GlobalOptions& options, const ScanOptions& so) {
    if (!CRawVolume::IsValidUnit(so.unit)) {
        PrintError("--unit " + std::to_string(so.unit) + " is not a power of two from 512 to 1048576");
        return kExitUsage;
    }
    ProviderRegistry registry;
    RegisterProviders(registry);
    std::map<std::string, bool> checked;
    if (!so.types.empty()) {
        std::string error;
        if (!CheckedFromOption(so.types, registry, checked, error)) {
            PrintError(error);
            return kExitUsage;
        }
    } else {
        checked = CheckedFromSettings();
    }
    ScanTypeSet scanner;
    scanner.registry = &registry;
    const int orderTypesBy = CXMLProfile::Instance().ReadInt(scansettings::kTypesSection, scansettings::kOrderTypesBy,
                                                             scansettings::kOrderTypesByDefault);
    EnableTypesFromSettings(scanner, checked, orderTypesBy);
    if (scanner.detectorCount == 0) {
        PrintError("no type is selected for the scan (the saved selection is empty); name types with --types " +
                   JoinKeys(RegisteredKeys(registry)));
        return kExitUsage;
    }
    scanner.allClusters = so.allClusters;

    OpenedSource source;
    std::unique_ptr<CVolume> volume;
    bool raw = false;
    if (int rc = OpenScanVolume(so, source, volume, raw)) return rc;

    const bool recovering = !so.to.empty();
    DestinationCheck destination;
    if (recovering) {
        destination = CheckDestination(so.to, source.path, 0);
        if (destination.status.ok()) destination.status = PrepareDestination(destination.folder);
        if (!destination.status.ok()) {
            PrintError(destination.status.message());
            return kExitUsage;
        }
        RememberDestination(destination.folder);
    }

    CJobEventQueue<ScanRecoverEvent> events;
    CScanRecoverJob scan(*volume, scanner, recovering ? destination.folder : std::string(), &events);
    if (!scan.Start()) {
        PrintError("the scan could not start");
        return kExitSource;
    }

    CProgressBar bar(options);
    auto writer = MakeRecordWriter(options.json, std::cout);
    // With --to every find is printed once, with its outcome, in the order
    // found: a find waits in `waiting` until its recovery ends and every
    // find before it has been printed.
    struct Waiting {
        CarvedItem item;
        std::optional<FoundRecord::Recovery> outcome;
    };
    std::deque<Waiting> waiting;
    size_t found = 0;
    auto write = [&](const FoundRecord& record) {
        bar.Clear();
        writer->Write(record);
    };
    auto printReady = [&] {
        while (!waiting.empty() && waiting.front().outcome) {
            FoundRecord record = FoundOf(waiting.front().item, volume->ClusterSize());
            record.recovery = std::move(waiting.front().outcome);
            waiting.pop_front();
            write(record);
        }
    };
    auto onFound = [&](const CarvedItem& item) {
        ++found;
        if (!recovering) return write(FoundOf(item, volume->ClusterSize()));
        waiting.push_back({item, std::nullopt});
    };
    auto onRecovered = [&](const RecoverItemRecord& r) {
        FoundRecord::Recovery outcome {r.path, RecoverStatusName(r), r.status, r.unreadable};
        const auto it = std::find_if(waiting.begin(), waiting.end(),
                                     [&](const Waiting& w) { return w.item.startCluster == r.id && !w.outcome; });
        if (it != waiting.end()) {
            it->outcome = std::move(outcome);
            printReady();
            return;
        }
        // A recovery of no waiting find (none is expected): said as it comes.
        FoundRecord unknown;
        unknown.known = false;
        unknown.cluster = r.id;
        unknown.recovery = std::move(outcome);
        write(unknown);
    };
    auto drain = [&] {
        for (const ScanRecoverEvent& e : events.Take()) {
            if (e.kind == ScanRecoverEvent::Kind::Found)
                onFound(e.item);
            else
                onRecovered(e.record);
        }
    };
    const bool interrupted = RunJobToEnd(
        scan, bar, [](double) { return kPollInterval; }, drain, [&](const JobProgress& p) {
            switch (p.phase) {
                case JobPhase::Idle:
                case JobPhase::Counting:
                    return BarLine {raw ? "Counting units" : "Counting clusters", p.percent, -1};
                case JobPhase::Recovering: return BarLine {"Recovering found files", p.percent, -1};
                default:
                    return BarLine {"Scanning (" + std::to_string(p.delivered) + " found)", p.percent,
                                    p.itemsDone ? std::floor(std::max(p.remaining, 0.0)) : -1};
            }
        });
    // Finds whose recovery a stop cancelled are still reported, in their place.
    for (Waiting& w : waiting)
        if (!w.outcome) w.outcome = FoundRecord::Recovery {std::nullopt, "not recovered", "stopped before its recovery", {}};
    printReady();

    // The outcomes as the engine counted them.
    const RecoverCounters c = scan.RecoveryCounters();
    const int failed = c.failed, incomplete = c.incomplete, skipped = c.skipped;
    const double seconds = scan.Progress().elapsed;
    if (recovering) AddRecoveryStatistics(static_cast<uint32_t>(c.filesDone), c.processedBytes);
    // A device that stopped answering ends the scan: what was found so far is reported.
    const bool gone = scan.Outcome().failed() && scan.Outcome().status.message() == kSourceGoneMessage;
    if (scan.Outcome().failed() && !gone) {
        PrintError("the scan of " + so.source + " could not run: the cluster allocation map cannot be read");
        return kExitSource;
    }
    ScanSummaryRecord summary;
    summary.found = found;
    summary.candidates = scan.Candidates();
    summary.scanned = scan.Scanned();
    summary.unit = volume->ClusterSize();
    summary.raw = raw;
    summary.allClusters = so.allClusters;
    summary.stopped = interrupted || gone;
    summary.seconds = seconds;
    if (const std::shared_ptr<CByteSource> bytes = volume->Source()) {
        summary.unreadableBytes = bytes->UnreadableBytes();
        summary.unreadableRanges = bytes->UnreadableRanges().size();
    }
    if (recovering) {
        summary.recovering = true;
        summary.recovered = c.filesDone;
        summary.started = c.filesStarted;
        summary.failed = failed;
        summary.incomplete = incomplete;
        summary.skipped = skipped;
        summary.bytes = c.recoveredBytes;
        summary.destination = destination.folder;
    }
    writer->Write(summary);
    if (summary.unreadableBytes)
        PrintWarning(HumanSize(summary.unreadableBytes) + " in " + std::to_string(summary.unreadableRanges) + " range" +
                     (summary.unreadableRanges == 1 ? "" : "s") +
                     " could not be read from the source: no file there could be looked for");
    if (gone) {
        PrintError("the scan of " + so.source + " stopped: " + kSourceGoneMessage);
        return kExitPartial;
    }
    if (interrupted) return kExitInterrupted;
    // Free space that could not be read was not looked at: the scan is not whole.
    return (failed || incomplete || summary.unreadableBytes) ? kExitPartial : kExitOk;
}
