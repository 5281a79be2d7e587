// Times CExfatVolume::BuildIndex on an exFAT image with 100,000 files of
// which 20,000 are deleted (folders of 1000, 512-byte clusters) against
// "fls -r -d" on the same image, and prints the ratio (target: at most 0.5)
// and the bytes the build reads, alone and as a share of the image. The
// volume is opened outside the timing of the build; fls is timed whole.
// Then saves the index to its cache file once and times
// RestoreIndexFromCache against BuildIndex, each on a freshly opened volume,
// and prints "exFAT cache restore / build" (target: at most 0.1) and the
// bytes of the volume the restore reads.
//
// The image is made once by tools/make-exfat-fixture.sh bench (mkfs.exfat,
// the files written through exfat-fuse on a loop device: root and FUSE;
// about 7 minutes for 100,000 files) and kept in the build tree for later
// runs. Where it cannot be made the benchmark says so and exits 77 (skipped).
//
//   exfat_index_bench [IMAGE] [RUNS]
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "bench/IndexBench.h"
#include "engine/exfat/ExfatVolume.h"

namespace {

using indexbench::Median;
using indexbench::Seconds;

uint64_t FileBytes(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    const uint32_t files = smoke ? 300 : 100000, deleted = smoke ? 60 : 20000;
    std::string image = argc > 1 ? argv[1]
                                 : std::string(QUARLIX_BIN_DIR) + "/exfat-fixtures/bench-" + std::to_string(files) +
                                       "-" + std::to_string(deleted) + ".img";
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : smoke ? 1 : 5;
    // Only the default image has known counts (an image given is taken as it is).
    const bool known = argc <= 1;
    if (FileBytes(image) == 0) {
        std::string dir = image.substr(0, image.find_last_of('/'));
        std::string cmd = "mkdir -p '" + dir + "' && '" + std::string(QUARLIX_SOURCE_DIR) +
                          "/tools/make-exfat-fixture.sh' bench '" + image + ".tmp' " + std::to_string(files) + " " +
                          std::to_string(deleted) + " && mv '" + image + ".tmp' '" + image + "'";
        std::printf("building %s (minutes: every file goes through FUSE) ...\n", image.c_str());
        std::fflush(stdout);
        const auto t0 = std::chrono::steady_clock::now();
        const int status = std::system(cmd.c_str());
        const auto t1 = std::chrono::steady_clock::now();
        if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 77) {
            std::printf("skipped: no exFAT image here (making one takes root, a loop device and FUSE)\n");
            return 77;
        }
        if (status != 0) {
            std::fprintf(stderr, "cannot build the image\n");
            return 1;
        }
        std::printf("image built in %.1f s\n", Seconds(t1 - t0));
    }
    const uint64_t imageBytes = FileBytes(image);

    std::vector<double> ours, theirs;
    uint32_t folders = 0, found = 0;
    uint64_t bytesRead = 0;
    for (int i = 0; i < runs; ++i) {
        std::unique_ptr<CExfatVolume> v;
        const double t = indexbench::TimeOnFreshVolume<CExfatVolume>(image, [](CExfatVolume& vol) {
            IndexProgress progress;
            return vol.BuildIndex(&progress);
        }, &bytesRead, &v);
        if (t < 0) {
            std::fprintf(stderr, "BuildIndex failed\n");
            return 1;
        }
        ours.push_back(t);
        folders = found = 0;
        v->CountDeletedFilesByPath(u"\\", folders, found);

        theirs.push_back(indexbench::TimeFls(image));
        if (theirs.back() < 0) {
            std::fprintf(stderr, "fls failed\n");
            return 1;
        }
    }
    const double a = Median(ours), b = Median(theirs);
    std::printf("deleted items indexed: %u folders, %u files\n", folders, found);
    if (known && found != deleted) std::printf("deleted files DIFFER: %u indexed, %u deleted\n", found, deleted);
    std::printf("BuildIndex (volume open not timed), median of %d: %.4f s\n", runs, a);
    std::printf("fls -r -d, median of %d:                          %.4f s\n", runs, b);
    std::printf("exFAT index / fls -r -d: %.3f (target <= 0.5)\n", a / b);
    std::printf("bytes read by BuildIndex: %llu of a %llu-byte image (%.4f)\n",
                static_cast<unsigned long long>(bytesRead), static_cast<unsigned long long>(imageBytes),
                static_cast<double>(bytesRead) / static_cast<double>(std::max<uint64_t>(imageBytes, 1)));

    return indexbench::CompareCacheRestore<CExfatVolume>(image, runs, "exFAT");
}
