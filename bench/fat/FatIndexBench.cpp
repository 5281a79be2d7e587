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
#include "engine/fat/FatVolume.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds of one call on a volume opened (not timed) for it; negative when
// the volume does not open or the call fails.
double TimeOnFreshVolume(const std::string& image, const std::function<bool(CFatVolume&)>& work,
                         uint64_t* bytesRead = nullptr) {
    CFatVolume v;
    if (!v.Initialize(image)) return -1;
    const uint64_t before = v.SourceBytesRead();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = work(v);
    const auto t1 = std::chrono::steady_clock::now();
    if (bytesRead) *bytesRead = v.SourceBytesRead() - before;
    return ok ? Seconds(t1 - t0) : -1;
}

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

        t0 = std::chrono::steady_clock::now();
        int rc = std::system(("fls -r -d '" + image + "' > /dev/null").c_str());
        t1 = std::chrono::steady_clock::now();
        if (rc != 0) {
            std::fprintf(stderr, "fls failed\n");
            return 1;
        }
        theirs.push_back(Seconds(t1 - t0));
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

    // The cache: in a folder of its own, so that the user's caches stay untouched.
    const std::string cacheHome = "/tmp/quarlix-fat-index-bench-cache-" + std::to_string(getpid());
    setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
    if (TimeOnFreshVolume(image, [](CFatVolume& v) { return v.BuildIndex(nullptr) && v.DumpIndexToCache(nullptr); }) < 0) {
        std::fprintf(stderr, "the cache save failed\n");
        return 1;
    }
    std::vector<double> builds, restores;
    uint64_t restoreBytes = 0;
    for (int i = 0; i < runs; ++i) {
        builds.push_back(TimeOnFreshVolume(image, [](CFatVolume& v) { return v.BuildIndex(nullptr); }));
        restores.push_back(
            TimeOnFreshVolume(image, [](CFatVolume& v) { return v.RestoreIndexFromCache(nullptr); }, &restoreBytes));
        if (builds.back() < 0 || restores.back() < 0) {
            std::fprintf(stderr, "the cache restore failed\n");
            return 1;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(cacheHome, ec);
    const double build = Median(builds), restore = Median(restores);
    std::printf("BuildIndex alone, median of %d:             %.4f s\n", runs, build);
    std::printf("RestoreIndexFromCache, median of %d:        %.4f s (%llu bytes of the volume read)\n", runs, restore,
                static_cast<unsigned long long>(restoreBytes));
    std::printf("FAT cache restore / build: %.4f (target <= 0.1)\n", restore / std::max(build, 1e-9));
    return 0;
}
