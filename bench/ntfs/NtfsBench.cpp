// NTFS reader benchmarks (CI runs only their smoke run):
//   1. MFT records parsed per second, quick and full mode, over a
//      100,000-record MFT (target: >= 200,000 records/s quick, page-cached);
//   2. sequential read of a 256 MB fragmented file through IGenericFile,
//      as a ratio to icat of the same file in the same run (target: <= 1).
//
//   ntfs_bench [WORKDIR]   (default: a fresh folder under /tmp; needs ~1.5 GB)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

bool Sh(const std::string& cmd) {
    std::printf("+ %s\n", cmd.c_str());
    std::fflush(stdout);
    return std::system(cmd.c_str()) == 0;
}

void BenchRecords(const std::string& dir) {
    std::string image = dir + "/records.img";
    std::string fixture = std::string(QUARLIX_BIN_DIR) + "/ntfs-fixture";
    if (!std::filesystem::exists(image)) {
        const bool smoke = BenchSmoke();
        if (!Sh("truncate -s " + std::string(smoke ? "16M " : "400M ") + image + " && mkntfs -F -f -q " + image +
                " >/dev/null 2>&1 && " + fixture + " " + image + " many /m " + (smoke ? "1000" : "100000") +
                " f > /dev/null")) {
            std::printf("records: fixture failed\n");
            std::remove(image.c_str());
            return;
        }
    }
    Sh("cat " + image + " > /dev/null");  // page-cache the image
    CNtfsVolume v;
    if (!v.Initialize(image)) {
        std::printf("records: cannot open the image\n");
        return;
    }
    const uint32_t records = static_cast<uint32_t>(v.MftRecordCount());
    for (bool quick : {true, false}) {
        CNtfsFile f;
        uint32_t parsed = 0;
        auto t0 = Clock::now();
        for (uint32_t n = 0; n < records; ++n) parsed += f.OpenRecord(&v, n, quick) ? 1 : 0;
        double s = Seconds(t0, Clock::now());
        std::printf("records: %s mode: %u of %u records parsed in %.3f s = %.0f records/s\n", quick ? "quick" : "full",
                    parsed, records, s, records / s);
    }
    // Peer: icat of the whole $MFT (reading the same bytes without parsing them).
    auto t0 = Clock::now();
    Sh("icat " + image + " 0 > /dev/null");
    double s = Seconds(t0, Clock::now());
    std::printf("records: icat of $MFT: %.3f s = %.0f records/s (raw bytes, no parsing)\n", s, records / s);
}

void BenchFragmentedRead(const std::string& dir) {
    std::string image = dir + "/frag.img";
    std::string fixture = std::string(QUARLIX_BIN_DIR) + "/ntfs-fixture";
    std::string out = dir + "/frag.rec";
    if (!std::filesystem::exists(image)) {
        const bool smoke = BenchSmoke();
        if (!Sh("truncate -s " + std::string(smoke ? "32M " : "900M ") + image + " && mkntfs -F -f -q " + image +
                " >/dev/null 2>&1 && " + fixture + " " + image + " fragment /big.bin random:11 " +
                (smoke ? "4194304 65536" : "268435456 131072") + " | grep big.bin > " + out)) {
            std::printf("read: fixture failed\n");
            std::remove(image.c_str());
            return;
        }
    }
    unsigned rec = 0;
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        if (std::fscanf(f, "%u", &rec) != 1) rec = 0;
        std::fclose(f);
    }
    Sh("cat " + image + " > /dev/null");
    CNtfsVolume v;
    CNtfsFile file;
    if (!rec || !v.Initialize(image) || !file.OpenRecord(&v, rec, false)) {
        std::printf("read: cannot open the file\n");
        return;
    }
    std::printf("read: file of %llu bytes in %zu extents\n", static_cast<unsigned long long>(file.GetSize()),
                file.FindAttribute(kAttrData)->Extents().size());
    double best = 1e9, bestIcat = 1e9;
    for (int round = 0, rounds = BenchSmoke() ? 1 : 3; round < rounds; ++round) {
        std::vector<uint8_t> buf(1 << 20);
        file.Rewind();
        uint64_t total = 0;
        auto t0 = Clock::now();
        uint32_t got = 0;
        while (file.Read(buf.data(), static_cast<uint32_t>(buf.size()), got) && got) total += got;
        double s = Seconds(t0, Clock::now());
        if (total != file.GetSize()) std::printf("read: short read %llu\n", static_cast<unsigned long long>(total));
        best = std::min(best, s);
        t0 = Clock::now();
        Sh("icat " + image + " " + std::to_string(rec) + " > /dev/null");
        bestIcat = std::min(bestIcat, Seconds(t0, Clock::now()));
    }
    std::printf("read: IGenericFile %.3f s (%.0f MB/s), icat %.3f s (%.0f MB/s), ratio ours/icat = %.2f\n", best,
                file.GetSize() / best / 1e6, bestIcat, file.GetSize() / bestIcat / 1e6, best / bestIcat);
}

}  // namespace

int main(int argc, char** argv) {
    AnnounceBenchSmoke();
    std::string dir;
    if (argc > 1) {
        dir = argv[1];
        std::filesystem::create_directories(dir);
    } else {
        char tmpl[] = "/tmp/quarlix-ntfs-bench-XXXXXX";
        if (!mkdtemp(tmpl)) return 1;
        dir = tmpl;
    }
    BenchRecords(dir);
    BenchFragmentedRead(dir);
    if (argc <= 1) std::filesystem::remove_all(dir);
    return 0;
}
