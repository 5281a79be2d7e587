// The large NTFS benchmark volume on a slow device, as a USB stick or an old
// disk is: nbdkit serves the image limited to 40 MB/s with 0.2 ms per request
// (its rate and delay filters), nbdfuse exposes it as a file, and its log
// filter counts what each program asks of it. Each program gets a device of
// its own, freshly started, so that no page cache helps it (and a burst
// allowance of 0.1 s, not the filter's 2 s, so that a small volume is not read
// at full speed).
//
//   - index: `quarlix --no-cache index` against ntfs-3g's `ntfsundelete --scan`;
//   - recover --all: `quarlix recover --all` against Sleuth Kit's `tsk_recover`
//     (which writes the deleted files too).
//
// Printed: the time and the bytes read of each, as ratios ours/theirs.
//
//   slow_device_bench [WORKDIR]   (default: the large NTFS fixture's folder)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/BenchSmoke.h"
#include "bench/LargeNtfsFixture.h"
#include "bench/Shell.h"

namespace {

using Clock = std::chrono::steady_clock;


// The bytes the device's log shows read.
uint64_t BytesInLog(const std::string& log) {
    std::ifstream in(log);
    std::string line;
    uint64_t total = 0;
    while (std::getline(in, line)) {
        const size_t read = line.find(" Read id=");
        const size_t count = line.find(" count=0x");
        if (read == std::string::npos || count == std::string::npos) continue;
        total += std::strtoull(line.c_str() + count + 9, nullptr, 16);
    }
    return total;
}

struct Measure {
    bool ok = false;
    double seconds = 0;
    uint64_t bytes = 0;
};

// Runs command (with DEVICE in it replaced by the device's path) on a slow
// device freshly started over image.
Measure OnSlowDevice(const std::string& work, const std::string& image, const std::string& name,
                     const std::string& command, int okExit) {
    Measure m;
    const std::string mount = work + "/device-" + name, log = work + "/" + name + ".log";
    std::filesystem::create_directories(mount);
    std::filesystem::remove(log);
    // nbdfuse runs nbdkit as its child and ends after it; its pid says when the
    // log is whole.
    std::string pid;
    if (FILE* p = popen(("nbdfuse -r " + ShellQuote(mount) +
                         " --command nbdkit -s --filter=log --filter=rate "
                         "--filter=delay file " +
                         ShellQuote(image) + " rate=320M burstiness=0.1 delay-read=0.2ms logfile=" + ShellQuote(log) + " >" +
                         ShellQuote(work + "/nbdfuse.err") + " 2>&1 & echo $!")
                            .c_str(),
                        "r")) {
        char buf[32] = {};
        if (std::fgets(buf, sizeof buf, p)) pid = buf;
        pclose(p);
    }
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    const std::string device = mount + "/nbd";
    for (int i = 0; i < 200 && !std::filesystem::exists(device); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!std::filesystem::exists(device)) {
        std::printf("%s: the device did not start (see %s/nbdfuse.err)\n", name.c_str(), work.c_str());
        return m;
    }
    std::string cmd = command;
    for (size_t at; (at = cmd.find("DEVICE")) != std::string::npos;) cmd.replace(at, 6, ShellQuote(device));
    const auto t0 = Clock::now();
    const int rc = ShellStatus(cmd);
    m.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ShellStatus("fusermount3 -u " + ShellQuote(mount));
    for (int i = 0; i < 200 && !pid.empty() && ShellStatus("kill -0 " + pid + " 2>/dev/null") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m.bytes = BytesInLog(log);
    m.ok = rc == okExit || (okExit < 0 && rc >= 0);
    if (!m.ok) std::printf("%s failed with exit status %d\n", name.c_str(), rc);
    return m;
}

void Report(const char* what, const char* peer, const Measure& ours, const Measure& theirs) {
    std::printf(
        "%s: quarlix %.2f s, %.1f MB read; %s %.2f s, %.1f MB read; "
        "ratio time %.2f, bytes %.2f\n",
        what, ours.seconds, ours.bytes / 1e6, peer, theirs.seconds, theirs.bytes / 1e6,
        ours.seconds / std::max(theirs.seconds, 1e-9),
        static_cast<double>(ours.bytes) / static_cast<double>(std::max<uint64_t>(theirs.bytes, 1)));
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    for (const char* tool : {"nbdkit", "nbdfuse", "fusermount3", "ntfsundelete", "tsk_recover"})
        if (!HaveTool(tool)) {
            std::printf(
                "slow device: not run: %s is not installed (nbdkit, "
                "libnbd-bin, fuse3, ntfs-3g, sleuthkit)\n",
                tool);
            return 0;
        }
    if (!std::filesystem::exists("/dev/fuse")) {
        std::printf("slow device: not run: /dev/fuse is missing\n");
        return 0;
    }
    LargeNtfsFixture large;
    // A smoke run's fixture has a folder of its own: other smoke runs make theirs
    // at the same time.
    if (!MakeLargeNtfsFixture(smoke, argc > 1 ? argv[1] : smoke ? "/tmp/quarlix-slow-bench-smoke" : "", large))
        return 1;
    char tmpl[] = "/tmp/quarlix-slow-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::printf("slow device: cannot make a work folder\n");
        return 1;
    }
    const std::string work = tmpl;
    // The recovered files go to memory where it can hold them: the device is
    // measured, not the destination (whose per-file flush costs as much as
    // the reads on a disk).
    std::string outputs = work;
    char shm[] = "/dev/shm/quarlix-slow-bench-XXXXXX";
    if (std::filesystem::exists("/dev/shm") && mkdtemp(shm)) outputs = shm;
    const std::string quarlix =
        "XDG_CONFIG_HOME=" + ShellQuote(work + "/config") + " XDG_CACHE_HOME=" + ShellQuote(work + "/cache") +
        " XDG_STATE_HOME=" + ShellQuote(work + "/state") + " " + ShellQuote(std::string(QUARLIX_BIN_DIR) + "/quarlix") +
        " --no-cache --progress never --log-level 0 ";
    std::printf(
        "device: 40 MB/s, 0.2 ms per read request (nbdkit rate and delay "
        "filters, through nbdfuse)\n");
    std::fflush(stdout);
    const Measure index = OnSlowDevice(work, large.image, "quarlix-index", quarlix + "index DEVICE >/dev/null", 0);
    const Measure scan =
        OnSlowDevice(work, large.image, "ntfsundelete", "ntfsundelete --scan DEVICE >/dev/null 2>&1", 0);
    // Some deleted files are partly overwritten: recover exits 1 for them.
    const Measure recover =
        OnSlowDevice(work, large.image, "quarlix-recover",
                     quarlix + "recover DEVICE --all --to " + ShellQuote(outputs + "/ours") + " >/dev/null", -1);
    const Measure tsk = OnSlowDevice(work, large.image, "tsk_recover",
                                     "tsk_recover DEVICE " + ShellQuote(outputs + "/theirs") + " >/dev/null", 0);
    int rc = 0;
    for (const Measure* m : {&index, &scan, &recover, &tsk})
        if (!m->ok) rc = 1;
    if (rc == 0) {
        Report("index", "ntfsundelete --scan", index, scan);
        Report("recover --all", "tsk_recover", recover, tsk);
    }
    std::filesystem::remove_all(work);
    std::filesystem::remove_all(outputs);
    return rc;
}
