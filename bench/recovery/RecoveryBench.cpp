// NTFS recovery benchmarks (CI runs only their smoke run); both print ratios against a
// peer measured in the same run, on page-cached images:
//   1. RecoverFile of a 256 MB contiguous deleted file, as a ratio to dd
//      copying the same byte range out of the image and flushing it as a
//      recovered file is flushed before it is named (target: <= 1.25);
//   2. `quarlix recover --all` of an NTFS fixture with many deleted files,
//      as a ratio to Sleuth Kit's tsk_recover on the same image (target: <= 1);
//      both write into /dev/shm where it exists.
//
//   recovery_bench [WORKDIR]   (default: a fresh folder under /tmp; needs ~2 GB)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench/BenchSmoke.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

using Clock = std::chrono::steady_clock;
// A smoke run: a 1 MB file, 44 small and 4 larger files, one round each.
const bool kSmoke = BenchSmoke();
const int kRounds = kSmoke ? 1 : 3;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

bool Sh(const std::string& cmd, bool echo = true) {
    if (echo) {
        std::printf("+ %s\n", cmd.c_str());
        std::fflush(stdout);
    }
    return std::system(cmd.c_str()) == 0;
}

double TimeSh(const std::string& cmd) {
    auto t0 = Clock::now();
    if (!Sh(cmd, false)) std::printf("  (failed: %s)\n", cmd.c_str());
    return Seconds(t0, Clock::now());
}

std::string Fixture() { return std::string(QUARLIX_BIN_DIR) + "/ntfs-fixture"; }

// Formats image and plays script into it; the record of the first line matching key is returned.
bool MakeImage(const std::string& image, const std::string& size, const std::string& script, const std::string& key,
               unsigned& record) {
    std::ofstream(image + ".script") << script;
    const std::string records = image + ".records";
    if (!Sh("truncate -s " + size + " " + image + " && mkntfs -F -f -q " + image + " >/dev/null 2>&1 && " +
            Fixture() + " " + image + " - < " + image + ".script > " + records))
        return false;
    std::ifstream in(records);
    std::string line;
    while (std::getline(in, line))
        if (line.find(key) != std::string::npos) {
            record = static_cast<unsigned>(std::stoul(line));
            return true;
        }
    return key.empty();
}

void BenchContiguous(const std::string& dir) {
    const std::string image = dir + "/contig.img";
    unsigned record = 0;
    std::remove(image.c_str());
    if (!MakeImage(image, kSmoke ? "16M" : "1G",
                   std::string("write /big.bin random:7 ") + (kSmoke ? "1048576" : "268435456") + "\ndelete /big.bin\n",
                   "/big.bin", record)) {
        std::printf("contiguous: fixture failed\n");
        return;
    }
    CNtfsVolume v;
    CNtfsFile f;
    if (!v.Initialize(image) || !f.OpenRecord(&v, record, false) || !f.FindAttribute(kAttrData)) {
        std::printf("contiguous: cannot open the record\n");
        return;
    }
    const auto& extents = f.FindAttribute(kAttrData)->Extents();
    const uint64_t size = f.DataSize();
    if (extents.size() != 1 || extents[0].lcn < 0) {
        std::printf("contiguous: the file is not contiguous (%zu extents)\n", extents.size());
        return;
    }
    const uint64_t offset = static_cast<uint64_t>(extents[0].lcn) * v.ClusterSize();
    Sh("cat " + image + " > /dev/null");
    const std::string ours = dir + "/contig.out", theirs = dir + "/contig.dd";
    const std::string dd = "dd if=" + image + " of=" + theirs + " bs=1M iflag=skip_bytes,count_bytes skip=" +
                           std::to_string(offset) + " count=" + std::to_string(size) + " conv=fdatasync status=none";
    double best = 1e9, bestDd = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        std::remove(ours.c_str());
        std::remove(theirs.c_str());
        auto t0 = Clock::now();
        const RecoverResult hr = RecoverFile(v, record, ours, 0, nullptr, nullptr);
        best = std::min(best, Seconds(t0, Clock::now()));
        if (hr != RecoverResult::Ok) std::printf("contiguous: RecoverFile failed (0x%08X)\n", static_cast<unsigned>(hr));
        bestDd = std::min(bestDd, TimeSh(dd));
    }
    const bool same = Sh("cmp -s " + ours + " " + theirs, false);
    std::printf("contiguous: 256 MB deleted file: RecoverFile %.3f s, dd %.3f s, ratio %.2f (target <= 1.25)%s\n",
                best, bestDd, best / bestDd, same ? "" : "  OUTPUTS DIFFER");
    std::remove(ours.c_str());
    std::remove(theirs.c_str());
    std::remove(image.c_str());
}

void BenchRecoverAll(const std::string& dir) {
    const std::string image = dir + "/many.img";
    std::ostringstream script;
    // 20,000 small files in 20 folders, half of them deleted, and 40 larger
    // files of 2 MB of which 30 are deleted.
    const int folders = kSmoke ? 2 : 20, perFolder = kSmoke ? 22 : 1000, big = kSmoke ? 4 : 40,
              bigDeleted = kSmoke ? 3 : 30;
    for (int d = 0; d < folders; ++d) {
        script << "mkdir /d" << d << "\n";
        for (int i = 0; i < perFolder; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "text /d%d/f%05d.txt \"small file %d of folder %d\"\n", d, i, i, d);
            script << line;
        }
    }
    script << "mkdir /big\n";
    for (int i = 0; i < big; ++i) script << "write /big/b" << i << ".bin random:" << i << " 2097152\n";
    for (int d = 0; d < folders; ++d)
        for (int i = 0; i < perFolder; i += 2) {
            char name[64];
            std::snprintf(name, sizeof name, "/d%d/f%05d.txt", d, i);
            script << "delete " << name << "\n";
        }
    for (int i = 0; i < bigDeleted; ++i) script << "delete /big/b" << i << ".bin\n";
    unsigned unused = 0;
    std::remove(image.c_str());
    if (!MakeImage(image, kSmoke ? "32M" : "600M", script.str(), "", unused)) {
        std::printf("recover --all: fixture failed\n");
        return;
    }
    Sh("cat " + image + " > /dev/null");
    const std::string quarlix = std::string(QUARLIX_BIN_DIR) + "/quarlix";
    // Both write their 10,000 files to memory when it can be had, so that the
    // disk's write-back (shared with other work on this machine) stays out.
    const std::string outDir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : dir;
    const std::string ours = outDir + "/quarlix-bench-all.out", theirs = outDir + "/quarlix-bench-all.tsk";
    double best = 1e9, bestTsk = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        Sh("rm -rf " + ours + " " + theirs + " && mkdir -p " + theirs, false);
        best = std::min(best, TimeSh("XDG_CACHE_HOME=" + dir + "/cache " + quarlix + " --no-cache --progress never recover " +
                                     image + " --all --to " + ours + " > /dev/null 2>&1"));
        bestTsk = std::min(bestTsk, TimeSh("tsk_recover " + image + " " + theirs + " > /dev/null"));
    }
    std::printf("recover --all: 10,030 deleted files (70 MB): quarlix %.3f s, tsk_recover %.3f s, ratio %.2f "
                "(target <= 1)\n",
                best, bestTsk, best / bestTsk);
    Sh("rm -rf " + ours + " " + theirs, false);
    if (!std::getenv("KEEP_IMAGES")) std::remove(image.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    AnnounceBenchSmoke();
    std::string dir = argc > 1 ? argv[1] : "";
    if (dir.empty()) {
        char tmpl[] = "/tmp/quarlix-recovery-bench-XXXXXX";
        if (!mkdtemp(tmpl)) return 1;
        dir = tmpl;
    }
    std::filesystem::create_directories(dir);
    BenchContiguous(dir);
    BenchRecoverAll(dir);
    if (argc <= 1) std::filesystem::remove_all(dir);
    return 0;
}
