// BuildIndex of an NTFS image with about 200,000 files of which 50,000 are
// deleted, against ntfs-3g's ntfsundelete --scan and Sleuth Kit's
// fls -r -d -p on the same image in the same run (CI runs only its smoke run).
// Targets: at most half of ntfsundelete's time and of fls's, at most 150
// bytes of peak memory per indexed item, and at most 1.05 bytes read from the
// image per byte of the MFT (each record read once; on a USB disk the bytes
// are the time). Then `quarlix list --recursive` of the image, which builds
// the index and lists every folder: what that process reads (rchar) against
// the MFT's size, at most 1.05 (the MFT once; no folder index read again).
//
//   ntfs_index_bench [WORKDIR]   (default: a folder under /tmp; needs ~600 MB;
//                                 the image is kept there and reused)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/BenchSmoke.h"
#include "bench/LargeNtfsFixture.h"
#include "bench/ProcStatus.h"
#include "bench/QuarlixProcess.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

bool Sh(const std::string& cmd) { return RunShell(cmd); }

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall time of a command; cpu gets its user + system time (a loaded machine
// stretches wall times, not CPU times).
double TimeCommand(const std::string& cmd, double& cpu) {
    const double c0 = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = Clock::now();
    Sh(cmd);
    cpu = CpuSeconds(RUSAGE_CHILDREN) - c0;
    return Seconds(t0, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    // A smoke run: 400 files in a 16 MB image of a folder of its own.
    const bool smoke = AnnounceBenchSmoke();
    LargeNtfsFixture large;
    if (!MakeLargeNtfsFixture(smoke, argc > 1 ? argv[1] : "", large)) return 1;
    const std::string& image = large.image;

    // Our build, in a child process so that its peak memory is its own.
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        CNtfsVolume v;
        if (!v.Initialize(image)) _exit(1);
        const long before = StatusKb("VmRSS:");
        const uint64_t bytesBefore = v.SourceBytesRead();
        const double c0 = CpuSeconds(RUSAGE_SELF);
        auto t0 = Clock::now();
        IndexProgress progress;
        const bool ok = v.BuildIndex(&progress);
        const double secs = Seconds(t0, Clock::now());
        const double cpu = CpuSeconds(RUSAGE_SELF) - c0;
        const unsigned long long bytesRead = v.SourceBytesRead() - bytesBefore;
        const unsigned long long mftBytes = static_cast<unsigned long long>(v.MftRecordCount()) * v.MftRecordSize();
        const long peak = StatusKb("VmHWM:");
        char out[256];
        const int n = std::snprintf(out, sizeof out, "%d %.6f %.6f %ld %ld %zu %u %zu %zu %llu %llu\n", ok ? 1 : 0, secs,
                                    cpu, before, peak, v.FileIndexSize(), progress.total, v.ExistingFolders().size(),
                                    v.LostFolders().size(), bytesRead, mftBytes);
        if (write(fds[1], out, static_cast<size_t>(n)) != n) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    char buf[256] = {};
    ssize_t got = read(fds[0], buf, sizeof buf - 1);
    int status = 0;
    waitpid(pid, &status, 0);
    int ok = 0;
    double ours = 0, oursCpu = 0;
    long before = 0, peak = 0;
    size_t items = 0, existing = 0, lost = 0;
    unsigned freeRecords = 0;
    unsigned long long bytesRead = 0, mftBytes = 0;
    if (got <= 0 ||
        std::sscanf(buf, "%d %lf %lf %ld %ld %zu %u %zu %zu %llu %llu", &ok, &ours, &oursCpu, &before, &peak, &items,
                    &freeRecords, &existing, &lost, &bytesRead, &mftBytes) != 11 ||
        !ok) {
        std::printf("BuildIndex failed\n");
        return 1;
    }
    double undeleteCpu = 0, flsCpu = 0;
    const double undelete = TimeCommand("ntfsundelete --scan " + image + " > /dev/null 2>&1", undeleteCpu);
    const double fls = TimeCommand("fls -r -d -p " + image + " > /dev/null 2>&1", flsCpu);

    std::printf("\nBuildIndex: %.3f s, %u free records walked (%.0f records/s), %zu deleted items, %zu live folders\n",
                ours, freeRecords, freeRecords / ours, items, existing);
    std::printf("peak memory: %.1f bytes per indexed item (VmHWM %ld kB - VmRSS before %ld kB)\n",
                (peak - before) * 1024.0 / std::max<size_t>(items, 1), peak, before);
    std::printf("CPU time: ours %.3f s, ntfsundelete %.3f s, fls %.3f s\n", oursCpu, undeleteCpu, flsCpu);
    std::printf("bytes read: %llu for an MFT of %llu bytes  ratio read/MFT = %.2f (target <= 1.05)\n", bytesRead,
                mftBytes, static_cast<double>(bytesRead) / static_cast<double>(std::max(mftBytes, 1ull)));
    char settings[] = "/tmp/quarlix-index-bench-list-XXXXXX";
    if (mkdtemp(settings)) {
        const ProcessRun list =
            RunQuarlix({"--no-cache", "--progress", "never", "list", "--recursive", image}, settings);
        std::filesystem::remove_all(settings);
        if (!list.ok) std::printf("list --recursive failed\n");
        std::printf("list --recursive: %.3f s, read %.1f MB (rchar), peak %ld kB\n", list.seconds,
                    list.rchar / 1048576.0, list.peakKb);
        std::printf("list --recursive read / MFT size = %.2f (target <= 1.05)\n",
                    static_cast<double>(list.rchar) / static_cast<double>(std::max(mftBytes, 1ull)));
    }
    std::printf("ntfsundelete --scan: %.3f s  ratio ours/ntfsundelete = %.2f wall, %.2f CPU (target <= 0.5)\n",
                undelete, ours / undelete, oursCpu / std::max(undeleteCpu, 1e-9));
    std::printf("fls -r -d -p:        %.3f s  ratio ours/fls = %.2f wall, %.2f CPU (target <= 0.5)\n", fls,
                ours / fls, oursCpu / std::max(flsCpu, 1e-9));
    return 0;
}
