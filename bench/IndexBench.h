// What the index benchmarks of the file systems share: a call timed on a
// volume opened (not timed) for it, Sleuth Kit's "fls -r -d" timed on the
// same image, and the cache restore timed against a build.
//
// Header-only; Volume is a CVolume subclass with Initialize(path).
#pragma once

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

namespace indexbench {

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds of one call on a volume opened (not timed) for it; negative when
// the volume does not open or the call fails. bytesRead: what the call read
// of the source; keep: the volume afterwards.
template <class Volume>
double TimeOnFreshVolume(const std::string& image, const std::function<bool(Volume&)>& work,
                         uint64_t* bytesRead = nullptr, std::unique_ptr<Volume>* keep = nullptr) {
    auto v = std::make_unique<Volume>();
    if (!v->Initialize(image)) {
        std::fprintf(stderr, "the volume does not open: %s\n", v->InitError().c_str());
        return -1;
    }
    const uint64_t before = v->SourceBytesRead();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = work(*v);
    const auto t1 = std::chrono::steady_clock::now();
    if (bytesRead) *bytesRead = v->SourceBytesRead() - before;
    if (keep) *keep = std::move(v);
    return ok ? Seconds(t1 - t0) : -1;
}

// Seconds of "fls -r -d IMAGE"; negative when it fails.
inline double TimeFls(const std::string& image) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(("fls -r -d '" + image + "' > /dev/null").c_str());
    const auto t1 = std::chrono::steady_clock::now();
    return rc == 0 ? Seconds(t1 - t0) : -1;
}

// Saves the index to its cache once (in a cache folder of its own, so that
// the user's caches stay untouched), then times RestoreIndexFromCache on a
// fresh volume against BuildIndex alone and prints "NAME cache restore /
// build" (target: at most 0.1) with the bytes the restore reads. 0, or 1
// when a save or restore fails.
template <class Volume>
int CompareCacheRestore(const std::string& image, int runs, const char* name) {
    const std::string cacheHome =
        std::string("/tmp/quarlix-") + name + "-index-bench-cache-" + std::to_string(getpid());
    setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
    if (TimeOnFreshVolume<Volume>(image, [](Volume& v) { return v.BuildIndex(nullptr) && v.DumpIndexToCache(nullptr); }) <
        0) {
        std::fprintf(stderr, "the cache save failed\n");
        return 1;
    }
    std::vector<double> builds, restores;
    uint64_t restoreBytes = 0;
    for (int i = 0; i < runs; ++i) {
        builds.push_back(TimeOnFreshVolume<Volume>(image, [](Volume& v) { return v.BuildIndex(nullptr); }));
        restores.push_back(TimeOnFreshVolume<Volume>(
            image, [](Volume& v) { return v.RestoreIndexFromCache(nullptr); }, &restoreBytes));
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
    std::printf("%s cache restore / build: %.4f (target <= 0.1)\n", name, restore / std::max(build, 1e-9));
    return 0;
}

}  // namespace indexbench
