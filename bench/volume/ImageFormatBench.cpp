// Image formats: `quarlix list --recursive` of the large NTFS fixture as a raw
// image, as E01s (ewfacquire: deflate "fast", and uncompressed as it makes
// them by default) and as a VHDX (qemu-img), best of five runs taken in turn
// so that the page cache treats them alike; prints the ratios to the raw
// image (target <= 1.5 each) and what each run read from files (rchar of
// /proc/PID/io). Then `quarlix recover --all`
// of the raw image against Sleuth Kit's tsk_recover in the same run (the
// peer of RecoveryBench), with the bytes quarlix read from the source.
// The E01s and the VHDX are made once and kept beside the image.
//
//   image_format_bench [WORKDIR]   (default: the large fixture's folder
//                                   under /tmp; needs ~1.7 GB there)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "bench/LargeNtfsFixture.h"
#include "bench/QuarlixProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using Run = ProcessRun;
// quarlix ARGS with its own settings and cache folders under settings.
Run Quarlix(const std::vector<std::string>& args, const std::string& settings,
            const std::string& stdoutPath = "/dev/null") {
    return RunQuarlix(args, settings, stdoutPath);
}

double TimeShell(const std::string& cmd) {
    const auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) std::printf("  (failed: %s)\n", cmd.c_str());
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Makes path from image by cmd (which writes tmp) unless it is already there.
bool Convert(const std::string& path, const std::string& tmp, const std::string& cmd) {
    if (fs::exists(path)) return true;
    fs::remove(tmp);
    if (!RunShell(cmd) || !fs::exists(tmp)) {
        std::printf("conversion to %s failed\n", path.c_str());
        fs::remove(tmp);
        return false;
    }
    fs::rename(tmp, path);
    return true;
}

// The number in "key":N of the last line of a JSON Lines file, or 0.
unsigned long long LastJsonNumber(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    const size_t at = last.find("\"" + key + "\":");
    return at == std::string::npos ? 0 : std::strtoull(last.c_str() + at + key.size() + 3, nullptr, 10);
}

double Mb(unsigned long long bytes) { return bytes / 1048576.0; }

}  // namespace

int main(int argc, char** argv) {
    // A smoke run: the 400-file fixture in its 16 MB image, one round.
    const bool smoke = AnnounceBenchSmoke();
    const int rounds = smoke ? 1 : 5;
    LargeNtfsFixture large;
    if (!MakeLargeNtfsFixture(smoke, argc > 1 ? argv[1] : "", large)) return 1;
    const std::string raw = large.image;
    const std::string stem = raw.substr(0, raw.size() - 4);  // without ".img"
    const std::string e01 = stem + ".E01", plain = stem + "-none.E01", vhdx = stem + ".vhdx";
    // One segment file each (ewfacquire's default chunk of 64 sectors): of
    // deflate "fast" chunks, and uncompressed as ewfacquire makes it by default.
    if (!Convert(e01, stem + ".tmp.E01",
                 "ewfacquire -u -q -t " + stem + ".tmp -c deflate:fast -S 4294967296 " + raw + " > /dev/null") ||
        !Convert(plain, stem + "-none.tmp.E01",
                 "ewfacquire -u -q -t " + stem + "-none.tmp -c none -S 4294967296 " + raw + " > /dev/null") ||
        !Convert(vhdx, stem + ".tmp.vhdx", "qemu-img convert -f raw -O vhdx " + raw + " " + stem + ".tmp.vhdx"))
        return 1;
    std::printf("images: raw %.1f MB, E01 %.1f MB (deflate fast), %.1f MB (uncompressed), VHDX %.1f MB\n",
                Mb(fs::file_size(raw)), Mb(fs::file_size(e01)), Mb(fs::file_size(plain)), Mb(fs::file_size(vhdx)));

    char tmpl[] = "/tmp/quarlix-format-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string settings = tmpl;
    RunShell("cat " + raw + " " + e01 + " " + plain + " " + vhdx + " > /dev/null");

    struct Format {
        const char* name;
        std::string path;
        Run best;
    };
    std::vector<Format> formats {{"raw", raw, {}}, {"E01", e01, {}}, {"E01-none", plain, {}}, {"VHDX", vhdx, {}}};
    // An untimed first round that also checks that every image lists the same.
    bool same = true;
    for (Format& f : formats) {
        const std::string out = settings + "/list-" + f.name + ".txt";
        if (!Quarlix({"--no-cache", "--progress", "never", "list", "--recursive", f.path}, settings, out).ok)
            std::printf("list of the %s image failed\n", f.name);
        if (&f != &formats[0] && !RunShell("cmp -s " + settings + "/list-raw.txt " + out)) same = false;
    }
    std::printf("list --recursive: %s\n", same ? "every image lists the same" : "LISTS DIFFER");
    for (Format& f : formats) f.best.seconds = 1e9;
    for (int round = 0; round < rounds; ++round)
        for (Format& f : formats) {
            const Run r = Quarlix({"--no-cache", "--progress", "never", "list", "--recursive", f.path}, settings);
            if (!r.ok) std::printf("list of the %s image failed\n", f.name);
            if (r.seconds < f.best.seconds) f.best = r;
        }
    const double rawSeconds = formats[0].best.seconds;
    std::printf("\nlist --recursive (%d files, best of %d, --no-cache):\n", large.folders * large.perFolder, rounds);
    for (const Format& f : formats)
        std::printf("  %-8s %.3f s  ratio %s/raw = %.2f%s  read %.1f MB (rchar)\n", f.name, f.best.seconds, f.name,
                    f.best.seconds / rawSeconds, &f == &formats[0] ? "" : " (target <= 1.5)", Mb(f.best.rchar));

    // recover --all of the raw image, against tsk_recover as RecoveryBench has it.
    const std::string outDir = fs::is_directory("/dev/shm") ? "/dev/shm" : settings;
    const std::string ours = outDir + "/quarlix-format-bench.out", theirs = outDir + "/quarlix-format-bench.tsk";
    const std::string summary = settings + "/recover.jsonl";
    double best = 1e9, bestTsk = 1e9;
    unsigned long long sourceBytes = 0, rchar = 0;
    for (int round = 0; round < rounds; ++round) {
        fs::remove_all(ours);
        fs::remove_all(theirs);
        fs::create_directories(theirs);
        const Run r = Quarlix({"--json", "--no-cache", "--progress", "never", "recover", raw, "--all", "--to", ours},
                              settings, summary);
        if (!r.ok) std::printf("recover --all failed\n");
        if (r.seconds < best) {
            best = r.seconds;
            rchar = r.rchar;
            sourceBytes = LastJsonNumber(summary, "source_bytes_read");
        }
        bestTsk = std::min(bestTsk, TimeShell("tsk_recover " + raw + " " + theirs + " > /dev/null"));
    }
    std::printf("\nrecover --all of the raw image (%d deleted files, best of %d): quarlix %.3f s, tsk_recover %.3f s, "
                "ratio %.2f\n  source_bytes_read %.1f MB, rchar %.1f MB\n",
                large.folders * large.perFolder / 4, rounds, best, bestTsk, best / bestTsk, Mb(sourceBytes), Mb(rchar));
    fs::remove_all(ours);
    fs::remove_all(theirs);
    fs::remove_all(settings);
    return 0;
}
