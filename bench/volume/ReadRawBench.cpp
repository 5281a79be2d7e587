// Cached ReadRaw throughput: reads a 256 MiB page-cached FAT32 image cluster
// by cluster through the volume's one-cluster cache, and compares with `cat`
// of the same image to /dev/null in the same run. Prints the ratio.
//   bench_readraw [IMAGE]   (makes a temporary image when none is given)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "engine/fat/FatVolume.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double TimeCommand(const std::string& cmd) {
    auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "command failed: %s\n", cmd.c_str());
    return Seconds(std::chrono::steady_clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
    // A smoke run: a 33 MiB image of 512-byte clusters (the least FAT32 takes), one round.
    const bool smoke = AnnounceBenchSmoke();
    const int rounds = smoke ? 1 : 5;
    std::string image;
    std::filesystem::path tmp;
    if (argc > 1) {
        image = argv[1];
    } else {
        tmp = std::filesystem::temp_directory_path() / (smoke ? "quarlix-bench-readraw-smoke" : "quarlix-bench-readraw");
        std::filesystem::create_directories(tmp);
        image = (tmp / "fat32.img").string();
        std::string cmd = "rm -f '" + image + "' && mkfs.fat -C -F 32 " + (smoke ? "-s 1 '" : "-s 8 '") + image + "' " +
                          (smoke ? "34000" : "262144") + " >/dev/null && " + "dd if=/dev/urandom of='" + image +
                          "' bs=1M seek=8 count=" + (smoke ? "24" : "248") + " conv=notrunc status=none";
        if (std::system(cmd.c_str()) != 0) return 1;
    }
    CFatVolume vol;
    if (!vol.Initialize(image)) {
        std::fprintf(stderr, "cannot open %s as FAT\n", image.c_str());
        return 1;
    }
    const uint64_t bytes = vol.DeviceLength() - static_cast<uint64_t>(vol.DataFirstSector()) * vol.SectorSize();
    const uint64_t clusters = bytes / vol.ClusterSize();
    std::vector<uint8_t> buf(vol.ClusterSize());
    // Warm the page cache once so both readers see the same state.
    TimeCommand("cat '" + image + "' > /dev/null");

    double best = 1e9, bestCat = 1e9;
    uint64_t checksum = 0;
    for (int round = 0; round < rounds; ++round) {
        bestCat = std::min(bestCat, TimeCommand("cat '" + image + "' > /dev/null"));
        auto t0 = std::chrono::steady_clock::now();
        for (uint64_t c = 0; c < clusters; ++c) {
            uint32_t len = vol.ClusterSize();
            if (!vol.ReadRaw(2 + c, 0, buf.data(), len)) break;
            checksum += buf[c % len];
        }
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0));
    }
    double mbReadRaw = bytes / best / (1 << 20);
    double mbCat = vol.DeviceLength() / bestCat / (1 << 20);
    std::printf("image: %s (%.0f MiB, %u-byte clusters)\n", image.c_str(), vol.DeviceLength() / double(1 << 20),
                vol.ClusterSize());
    std::printf("ReadRaw cluster by cluster: %.0f MiB/s (best of %d)\n", mbReadRaw, rounds);
    std::printf("cat > /dev/null:            %.0f MiB/s (best of %d)\n", mbCat, rounds);
    std::printf("ratio ReadRaw/cat: %.2f (target >= 0.50)  [checksum %llu]\n", mbReadRaw / mbCat,
                static_cast<unsigned long long>(checksum));
    if (!tmp.empty()) std::filesystem::remove_all(tmp);
    return 0;
}
