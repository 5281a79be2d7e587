// Times CFatVolume::BuildIndex on a FAT32 image with 50,000 files of which
// 10,000 are deleted, and "fls -r -d" on the same image, and prints the
// ratio (target: at most 0.5), and the bytes the build reads. Then saves the
// index to its cache file once and times RestoreIndexFromCache on a freshly
// opened volume against BuildIndex alone (the volume opened outside both
// timings), and prints "FAT cache restore / build" (target: at most 0.1) and
// the bytes of the volume the restore reads (its fingerprint and the
// recycle bin). The image is made once by tools/make-fat-fixture.sh (several
// minutes: mtools writes 50,000 files) and kept in the build tree for later
// runs.
//
//   fat_index_bench [IMAGE] [RUNS]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "bench/IndexBench.h"
#include "engine/fat/FatVolume.h"

namespace {

using indexbench::Median;
using indexbench::Seconds;

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    const std::string counts = smoke ? "300 60" : "50000 10000";
    std::string image = argc > 1 ? argv[1]
                                 : std::string(QUARLIX_BIN_DIR) + "/fat-fixtures/bench-" +
                                       (smoke ? "300-60" : "50000-10000") + ".img";
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : smoke ? 1 : 5;
    if (!Exists(image)) {
        std::string dir = image.substr(0, image.find_last_of('/'));
        std::string cmd = "mkdir -p '" + dir + "' && '" + std::string(QUARLIX_SOURCE_DIR) +
                          "/tools/make-fat-fixture.sh' bench '" + image + ".tmp' " + counts + " && mv '" + image +
                          ".tmp' '" + image + "'";
        std::printf("building %s (takes minutes) ...\n", image.c_str());
        std::fflush(stdout);
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "cannot build the image\n");
            return 1;
        }
    }

    std::vector<double> ours, theirs;
    uint32_t folders = 0, files = 0;
    uint64_t bytesRead = 0, imageBytes = 0;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        CFatVolume v;
        if (!v.Initialize(image)) {
            std::fprintf(stderr, "not a FAT volume: %s\n", v.InitError().c_str());
            return 1;
        }
        IndexProgress progress;
        v.BuildIndex(&progress);
        auto t1 = std::chrono::steady_clock::now();
        bytesRead = v.SourceBytesRead();
        imageBytes = static_cast<uint64_t>(v.TotalSectors()) * v.SectorSize();
        ours.push_back(Seconds(t1 - t0));
        folders = files = 0;
        v.CountDeletedFilesByPath(u"\\", folders, files);

        theirs.push_back(indexbench::TimeFls(image));
        if (theirs.back() < 0) {
            std::fprintf(stderr, "fls failed\n");
            return 1;
        }
    }
    const double a = Median(ours), b = Median(theirs);
    std::printf("deleted items indexed: %u folders, %u files\n", folders, files);
    std::printf("BuildIndex (open + index), median of %d: %.4f s\n", runs, a);
    std::printf("fls -r -d, median of %d:                 %.4f s\n", runs, b);
    std::printf("ratio BuildIndex / fls: %.3f (target <= 0.5)\n", a / b);
    // The lost-folder search reads free clusters (at most 256 MiB): the bytes
    // it costs on a slow device.
    std::printf("bytes read by BuildIndex: %llu of a %llu-byte volume (%.2f)\n",
                static_cast<unsigned long long>(bytesRead), static_cast<unsigned long long>(imageBytes),
                static_cast<double>(bytesRead) / static_cast<double>(std::max<uint64_t>(imageBytes, 1)));

    return indexbench::CompareCacheRestore<CFatVolume>(image, runs, "FAT");
}
