// `quarlix scan`: the surface scan. Walks the free clusters of a source's
// NTFS or FAT volume (every cluster with --all-clusters), or a source with no
// such file system as a row of raw units, and prints every file the
// providers recognise as soon as the scan job reports it. With --to each
// found file is also handed, as it is found, to the recovery job as a
// carved cluster run, so that what was found before a Ctrl-C is on disk.
//
// Threads: the scan job's worker walks the volume; with --to a second worker
// runs the recovery job, whose item source waits for the next found file.
// This thread polls both, prints, draws the progress bar and turns Ctrl-C
// into the two stop flags.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/Profile.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/Session.h"
#include "cli/Source.h"
#include "engine/index/IndexJob.h"
#include "engine/index/VolumeFactory.h"
#include "engine/recovery/Destination.h"
#include "engine/recovery/RecoverJob.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/ProviderRegistry.h"
#include "engine/surfacescan/RawVolume.h"
#include "engine/surfacescan/ScanTypes.h"
#include "engine/surfacescan/SurfaceScanJob.h"
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

// The found files on their way from the scan to the recovery worker. Next
// blocks until a file arrives, the scan is over (Close) or the job is
// cancelled; it reports the end once, and the recovery worker walks the
// source only once (no size-count pass: the total is not known in advance).
class CarvedQueue {
public:
    void Push(const CarvedItem& item) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_items.push_back(item);
        }
        m_ready.notify_one();
    }
    void Close() {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_closed = true;
        }
        m_ready.notify_one();
    }
    bool Next(RecoverItem& out, const StopFlag& cancel) {
        std::unique_lock<std::mutex> g(m_lock);
        while (m_items.empty() && !m_closed && !IsStopped(&cancel)) m_ready.wait_for(g, kPollInterval);
        if (m_items.empty() || IsStopped(&cancel)) return false;
        const CarvedItem item = m_items.front();
        m_items.pop_front();
        out = RecoverItem {};
        out.id = item.startCluster;
        out.name = item.name;
        out.size = item.size;
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<CarvedItem> m_items;
    bool m_closed = false;
};

nlohmann::json ItemJson(const CarvedItem& item) {
    return {{"type", Utf16ToUtf8(item.typeKey)}, {"name", Utf16ToUtf8(item.name)}, {"cluster", item.startCluster},
            {"size", item.size},  {"title", Utf16ToUtf8(item.title)}, {"author", Utf16ToUtf8(item.author)}};
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
    if (int openErr = CreateVolumeOpenErrno()) {
        PrintError(OpenErrorMessage(so.source, openErr));
        return kExitSource;
    }
    auto rawVolume = std::make_unique<CRawVolume>(so.unit);
    // A chosen partition (or a table-less source) has its window in the
    // drive table; a whole disk whose partitions hold nothing is read whole.
    const bool opened = source.letter ? rawVolume->OpenDrive(source.letter) : rawVolume->Initialize(source.path);
    if (!opened) {
        PrintError(rawVolume->InitError().empty() ? "cannot open " + so.source : rawVolume->InitError());
        return kExitSource;
    }
    std::string why = CreateVolumeError().empty() ? "no NTFS or FAT file system found on " + so.source
                                                  : "no usable NTFS or FAT file system on " + so.source + " (" +
                                                        CreateVolumeError() + ")";
    std::cerr << "quarlix: " << why << "; scanning it as raw units of " << so.unit << " bytes\n";
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
        if (!destination.ok) {
            PrintError(destination.error);
            return kExitUsage;
        }
        std::string error;
        if (!PrepareDestination(destination.folder, error)) {
            PrintError(error);
            return kExitUsage;
        }
        RememberDestination(destination.folder);
    }

    // The recovery worker: carved runs as they are found, never overwriting
    // an existing file (the names carry the start cluster, so an existing
    // one is this same file from an earlier run: it is reported as skipped).
    CarvedQueue queue;
    RecoverJob job;
    job.volume = volume.get();
    job.destination = destination.folder;
    job.flags = RECOVER_CARVED;
    job.getNextItem = [&](bool, RecoverItem& out) { return queue.Next(out, job.cancel); };
    CRecoverProgress recovery(volume.get(), nullptr, true);
    recovery.SetPolicies(2, 0);
    std::atomic<bool> recoveryDone {!recovering};
    std::thread recoveryWorker;
    if (recovering)
        recoveryWorker = std::thread([&] {
            RecoverThread(job, &recovery);
            recoveryDone = true;
        });
    // However this function is left, the recovery worker ends first.
    struct JoinOnExit {
        CarvedQueue& queue;
        std::thread& worker;
        ~JoinOnExit() {
            queue.Close();
            if (worker.joinable()) worker.join();
        }
    } joinOnExit {queue, recoveryWorker};

    CSurfaceScanJob scan(*volume, scanner);
    if (!scan.Start()) {
        PrintError("the scan could not start");
        return kExitSource;
    }

    CProgressBar bar(options);
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    std::map<uint64_t, CarvedItem> byCluster;  // found files by start cluster, for the recovery records
    std::set<uint64_t> recorded;              // clusters whose recovery has ended
    uint64_t failed = 0, incomplete = 0, skipped = 0;
    size_t shown = 0;
    bool interrupted = false;

    auto stopAll = [&] {
        if (interrupted) return;
        interrupted = true;
        scan.Stop();
        job.cancel.store(1);
        queue.Close();
    };
    auto printFound = [&] {
        for (const CarvedItem& item : scan.Items(shown)) {
            ++shown;
            byCluster[item.startCluster] = item;
            if (recovering) queue.Push(item);
            if (options.json && recovering) continue;  // printed with its output once written
            if (options.json) {
                EmitJson(ItemJson(item));
            } else {
                bar.Clear();
                std::cout << Utf16ToUtf8(item.typeKey) << '\t' << item.startCluster << '\t' << item.size << '\t'
                          << Utf16ToUtf8(item.name) << std::endl;
            }
        }
    };
    auto printRecovered = [&] {
        for (const RecoverItemRecord& r : recovery.TakeRecords()) {
            const std::string status = RecoverStatusName(r);
            failed += status == "failed";
            incomplete += status == "incomplete";
            skipped += status == "skipped";
            recorded.insert(r.id);
            auto it = byCluster.find(r.id);
            if (options.json) {
                nlohmann::json j = it != byCluster.end() ? ItemJson(it->second) : nlohmann::json {{"cluster", r.id}};
                j["output"] = r.path;
                j["status"] = status;
                if (status != "ok" && !r.status.empty()) j["reason"] = r.status;
                EmitJson(j);
            } else {
                bar.Clear();
                std::cout << status << '\t' << r.path;
                if (!r.status.empty() && status != "ok") std::cout << "\t(" << r.status << ")";
                std::cout << std::endl;
            }
        }
    };

    // The scan, and the recovery of what it finds.
    for (;;) {
        const bool running = scan.IsRunning();  // read first: every item of a finished scan is then visible
        if (Interrupted()) stopAll();
        printFound();
        printRecovered();
        if (!running) break;
        const ScanProgress p = scan.Progress();
        if (p.phase == ScanPhase::Counting || p.phase == ScanPhase::Idle)
            bar.Show(raw ? "Counting units" : "Counting clusters", static_cast<int>(p.percent), elapsed(), -1);
        else
            bar.Show("Scanning (" + std::to_string(p.found) + " found)", static_cast<int>(p.percent), elapsed(),
                     p.scanned ? static_cast<double>(p.remainingSeconds) : -1);
        std::this_thread::sleep_for(kPollInterval);
    }
    scan.Wait();
    queue.Close();
    while (!recoveryDone) {
        if (Interrupted()) stopAll();
        printRecovered();
        RecoverCounters c = recovery.Snapshot();
        bar.Show("Recovering found files", c.filesStarted ? static_cast<int>(c.filesDone * 100 / c.filesStarted) : 0,
                 elapsed(), -1);
        std::this_thread::sleep_for(kPollInterval);
    }
    if (recoveryWorker.joinable()) recoveryWorker.join();
    bar.Clear();
    printRecovered();
    // Found files whose recovery a Ctrl-C cancelled are still reported (text lines went out as found).
    if (options.json && recovering)
        for (const auto& [cluster, item] : byCluster)
            if (!recorded.count(cluster)) {
                nlohmann::json j = ItemJson(item);
                j["output"] = nullptr;
                j["status"] = "not recovered";
                EmitJson(j);
            }

    const ScanProgress p = scan.Progress();
    const RecoverCounters c = recovery.Snapshot();
    const double seconds = elapsed();
    if (recovering) AddRecoveryStatistics(static_cast<uint32_t>(c.filesDone), c.processedBytes);
    if (p.phase == ScanPhase::Failed) {
        PrintError("the scan of " + so.source + " could not run: the cluster allocation map cannot be read");
        return kExitSource;
    }
    if (options.json) {
        nlohmann::json s = {{"found", byCluster.size()},
                            {"candidates", p.total},
                            {"scanned", p.scanned},
                            {"unit", volume->ClusterSize()},
                            {"raw", raw},
                            {"all_clusters", so.allClusters},
                            {"stopped", interrupted},
                            {"seconds", seconds}};
        if (recovering) {
            s["recovered"] = c.filesDone;
            s["failed"] = failed;
            s["incomplete"] = incomplete;
            s["skipped"] = skipped;
            s["bytes"] = c.recoveredBytes;
        }
        EmitJson({{"summary", s}});
    } else {
        std::cout << "Found " << byCluster.size() << " files in " << p.scanned << " of " << p.total << " "
                  << (raw ? "units" : so.allClusters ? "clusters" : "free clusters") << " of "
                  << volume->ClusterSize() << " bytes in " << FormatDuration(seconds);
        if (interrupted) std::cout << " (stopped)";
        std::cout << "\n";
        if (recovering) {
            std::cout << "Recovered " << c.filesDone << " of " << c.filesStarted << " files ("
                      << HumanSize(c.recoveredBytes) << ") into " << destination.folder;
            if (failed || incomplete || skipped)
                std::cout << "; " << failed << " failed, " << incomplete << " incomplete, " << skipped << " skipped";
            std::cout << "\n";
        }
    }
    if (interrupted) return kExitInterrupted;
    return (failed || incomplete) ? kExitPartial : kExitOk;
}
