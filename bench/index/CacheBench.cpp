// Restoring an index from its cache file against building it from the
// volume, on the same image in the same run, for both file systems:
//   NTFS: about 200,000 files in 40 folders, every fourth one deleted
//         (tools/ntfs-fixture "many" + "delete");
//   FAT32: 50,000 files, 10,000 deleted (tools/make-fat-fixture.sh bench).
// Prints the median times, the ratio restore / build (target: at most 0.1,
// i.e. restoring at least ten times faster) and the size of the cache file
// per record and per deleted item, and what the cache fingerprint reads (a
// restore reads it before it trusts the file). CI runs only its smoke run.
//
//   cache_bench [WORKDIR] [FAT_IMAGE] [RUNS]
//     WORKDIR defaults to /tmp/quarlix-cache-bench (about 700 MB; images are
//     kept and reused); FAT_IMAGE to the FAT benchmark's image in the build tree.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/volume/IndexCache.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Time(const std::function<bool()>& work, bool& ok) {
    const auto t0 = Clock::now();
    ok = work();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool Shell(const std::string& cmd) {
    std::printf("+ %s\n", cmd.c_str());
    std::fflush(stdout);
    return std::system(cmd.c_str()) == 0;
}

bool MakeNtfsImage(const std::string& dir, const std::string& image, bool smoke) {
    if (std::filesystem::exists(image)) return true;
    const std::string script = dir + "/ntfs-script.txt";
    {
        std::ofstream s(script);
        const int kFolders = smoke ? 2 : 40, kFiles = smoke ? 100 : 5000;
        for (int f = 0; f < kFolders; ++f) s << "many /set" << f << " " << kFiles << " n\n";
        s << "remount\n";
        for (int f = 0; f < kFolders; ++f)
            for (int i = 0; i < kFiles; i += 4) {
                char line[64];
                std::snprintf(line, sizeof line, "delete /set%d/n%05d.txt\n", f, i);
                s << line;
            }
    }
    const std::string tmp = image + ".tmp";
    if (!Shell("truncate -s " + std::string(smoke ? "16M" : "640M") + " '" + tmp + "' && mkntfs -F -f -q '" + tmp + "' >/dev/null 2>&1 && '" +
               std::string(QUARLIX_BIN_DIR) + "/ntfs-fixture' '" + tmp + "' - < '" + script + "' > /dev/null")) {
        std::filesystem::remove(tmp);
        return false;
    }
    std::filesystem::rename(tmp, image);
    return true;
}

bool MakeFatImage(const std::string& image, bool smoke) {
    if (std::filesystem::exists(image)) return true;
    std::filesystem::create_directories(std::filesystem::path(image).parent_path());
    return Shell("'" + std::string(QUARLIX_SOURCE_DIR) + "/tools/make-fat-fixture.sh' bench '" + image + ".tmp' " +
                 (smoke ? "300 60" : "50000 10000") + " > /dev/null && mv '" + image + ".tmp' '" + image + "'");
}

// Builds (runs times), saves once, restores (runs times) and reports.
template <class Volume>
bool Measure(const char* label, const std::string& image, int runs) {
    auto open = [&] {
        auto v = std::make_unique<Volume>();
        if (!v->Initialize(image)) v.reset();
        return v;
    };
    std::vector<double> build, restore;
    bool ok = false;
    std::unique_ptr<Volume> built;
    for (int i = 0; i < runs; ++i) {
        built = open();
        if (!built) return false;
        build.push_back(Time([&] { return built->BuildIndex(nullptr); }, ok));
        if (!ok) return false;
    }
    const double save = Time([&] { return built->DumpIndexToCache(nullptr); }, ok);
    if (!ok) return false;
    uint32_t folders = 0, files = 0;
    built->CountDeletedFilesByPath(u"\\", folders, files);
    for (int i = 0; i < runs; ++i) {
        auto v = open();
        if (!v) return false;
        restore.push_back(Time([&] { return v->RestoreIndexFromCache(nullptr); }, ok));
        if (!ok) {
            std::printf("%s: the restore failed\n", label);
            return false;
        }
    }
    std::vector<double> fingerprint;
    uint64_t fingerprintBytes = 0;
    for (int i = 0; i < runs; ++i) {
        fingerprint.push_back(Time([&] { return built->RefreshCacheFingerprint(); }, ok));
        if (!ok) return false;
        fingerprintBytes = built->FingerprintBytes();
    }
    const std::string path = CacheFilePath(*built);
    const auto bytes = std::filesystem::file_size(path);
    uint8_t head[kCacheHeaderSize] = {};
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(head), sizeof head);
    const uint32_t records = CacheHeader::Decode(head).recordCount;
    const double b = Median(build), r = Median(restore);
    std::printf("\n%s: %u deleted files, %u deleted folders (%s)\n", label, files, folders, image.c_str());
    std::printf("  build   (BuildIndex), median of %d: %8.4f s\n", runs, b);
    std::printf("  save    (DumpIndexToCache):        %8.4f s\n", save);
    std::printf("  restore (RestoreIndexFromCache), median of %d: %8.4f s\n", runs, r);
    std::printf("  fingerprint (part of the restore), median of %d: %8.4f s, %llu bytes read (%.4f%% of the volume)\n",
                runs, Median(fingerprint), static_cast<unsigned long long>(fingerprintBytes),
                100.0 * double(fingerprintBytes) / double(std::max<uint64_t>(built->DeviceLength(), 1)));
    std::printf("  ratio restore / build = %.4f (%.1fx faster; target: at most 0.1)\n", r / b, b / r);
    std::printf("  cache file: %llu bytes, %u records: %.1f bytes per record, %.1f bytes per deleted item\n",
                static_cast<unsigned long long>(bytes), records, double(bytes) / std::max(records, 1u),
                double(bytes) / std::max(folders + files, 1u));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A smoke run: both images small, in a folder of their own, one run each.
    const bool smoke = AnnounceBenchSmoke();
    const std::string dir = argc > 1 ? argv[1] : smoke ? "/tmp/quarlix-cache-bench-smoke" : "/tmp/quarlix-cache-bench";
    const std::string fatImage = argc > 2   ? argv[2]
                                 : smoke ? dir + "/fat-300-60.img"
                                         : std::string(QUARLIX_BIN_DIR) + "/fat-fixtures/bench-50000-10000.img";
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : smoke ? 1 : 3;
    std::filesystem::create_directories(dir);
    setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);  // the user's own caches stay untouched

    const std::string ntfsImage = dir + (smoke ? "/ntfs-200.img" : "/ntfs-200k.img");
    if (!MakeNtfsImage(dir, ntfsImage, smoke) || !MakeFatImage(fatImage, smoke)) {
        std::printf("cannot build the images\n");
        return 1;
    }
    bool ok = Measure<CNtfsVolume>("NTFS", ntfsImage, runs);
    ok = Measure<CFatVolume>("FAT32", fatImage, runs) && ok;
    return ok ? 0 : 1;
}
