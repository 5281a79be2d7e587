// `quarlix image` against GNU ddrescue on one failing device, measured in the
// same run: nbdkit's ddrescue filter serves a 256 MiB image (mostly data,
// some zeros) with bad areas of several sizes, nbdfuse exposes it as a file,
// and each program images it into /dev/shm (where it exists) with its map.
// Both must rescue the same bytes and find the same bad areas; the figure is
// the ratio of the best times (target: <= 1.1).
//
//   image_bench [WORKDIR]   (default: a fresh folder under /tmp; needs ~300 MB)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSmoke.h"
#include "bench/Shell.h"
#include "platform/RescueMap.h"

namespace {

using Clock = std::chrono::steady_clock;
const bool kSmoke = BenchSmoke();
const uint64_t kSize = kSmoke ? 8ull << 20 : 256ull << 20;
const int kRounds = kSmoke ? 1 : 3;


double TimeSh(const std::string& cmd, int& exitCode) {
    const auto t0 = Clock::now();
    exitCode = ShellStatus(cmd);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The bad areas: a block, a short run, runs longer than the first skips,
// one of 1 MiB, and the last block; spread over the device.
std::vector<std::pair<uint64_t, uint64_t>> BadAreas() {
    const uint64_t step = kSize / 8;
    return {{step * 1 + 0x3000, 0x1000},  {step * 2 + 0x41000, 0x3000}, {step * 3 + 0x10000, 0x11000},
            {step * 4 + 0x7000, 0x21000}, {step * 5, kSmoke ? 0x40000 : 0x100000},
            {step * 6 + 0x1000, 0x2000},  {kSize - 0x1000, 0x1000}};
}

// Pseudo-random data in three of every four MiB, zeros in the fourth.
bool MakeSource(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> chunk((1u << 20) / 8);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t mib = 0; mib < kSize >> 20; ++mib) {
        const bool zeros = mib % 4 == 3;
        for (uint64_t& w : chunk) {
            if (zeros) {
                w = 0;
                continue;
            }
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size() * 8));
    }
    return static_cast<bool>(out);
}

bool LoadMap(const std::string& path, CRescueMap& map) {
    std::string error;
    if (!map.Load(path, error)) {
        std::printf("image: the map %s cannot be read: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

std::vector<RescueBlock> Bad(const CRescueMap& map) {
    std::vector<RescueBlock> out;
    for (const RescueBlock& b : map.Blocks())
        if (b.state == RescueState::Bad) out.push_back(b);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    AnnounceBenchSmoke();
    for (const char* tool : {"nbdkit", "nbdfuse", "fusermount3", "ddrescue"})
        if (!HaveTool(tool)) {
            std::printf("image: not run: %s is not installed (nbdkit, libnbd-bin, fuse3, gddrescue)\n", tool);
            return 0;
        }
    if (!std::filesystem::exists("/dev/fuse")) {
        std::printf("image: not run: /dev/fuse is missing\n");
        return 0;
    }
    std::string work;
    if (argc > 1) {
        work = argv[1];
        std::filesystem::create_directories(work);
    } else {
        char tmpl[] = "/tmp/quarlix-image-bench-XXXXXX";
        if (!mkdtemp(tmpl)) {
            std::printf("image: cannot make a work folder\n");
            return 1;
        }
        work = tmpl;
    }
    // The outputs go to memory where it can hold them: the device is measured, not the disk.
    std::string outDir = work + "/out";
    if (std::filesystem::exists("/dev/shm")) {
        char tmpl[] = "/dev/shm/quarlix-image-bench-XXXXXX";
        if (mkdtemp(tmpl)) outDir = tmpl;
    }
    std::filesystem::create_directories(outDir);
    const std::string source = work + "/source.img", deviceMap = work + "/device.map", mount = work + "/device";
    if (!MakeSource(source)) {
        std::printf("image: cannot write %s\n", source.c_str());
        return 1;
    }
    std::string map = "# Mapfile\n0x0 +\n";
    uint64_t at = 0;
    char line[96];
    uint64_t badBytes = 0;
    const auto bad = BadAreas();
    for (const auto& [offset, length] : bad) {
        if (offset > at) {
            std::snprintf(line, sizeof line, "0x%llx 0x%llx +\n", static_cast<unsigned long long>(at),
                          static_cast<unsigned long long>(offset - at));
            map += line;
        }
        std::snprintf(line, sizeof line, "0x%llx 0x%llx -\n", static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(length));
        map += line;
        at = offset + length;
        badBytes += length;
    }
    if (at < kSize) {
        std::snprintf(line, sizeof line, "0x%llx 0x%llx +\n", static_cast<unsigned long long>(at),
                      static_cast<unsigned long long>(kSize - at));
        map += line;
    }
    std::ofstream(deviceMap) << map;
    std::filesystem::create_directories(mount);
    const std::string device = mount + "/nbd";
    ShellStatus("nbdfuse " + ShellQuote(mount) + " --command nbdkit -s --filter=ddrescue file " + ShellQuote(source) +
       " ddrescue-mapfile=" + ShellQuote(deviceMap) + " >" + ShellQuote(work + "/nbdfuse.log") + " 2>&1 &");
    for (int i = 0; i < 200 && !std::filesystem::exists(device); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int rc = 0;
    if (!std::filesystem::exists(device)) {
        std::printf("image: the device did not start (see %s/nbdfuse.log)\n", work.c_str());
        rc = 1;
    }
    ShellStatus("cat " + ShellQuote(source) + " > /dev/null");  // the image behind the device in the page cache

    const std::string settings = "XDG_CONFIG_HOME=" + ShellQuote(work + "/config") + " XDG_CACHE_HOME=" +
                                 ShellQuote(work + "/cache") + " XDG_STATE_HOME=" + ShellQuote(work + "/state") + " ";
    const std::string ours = outDir + "/quarlix.img", theirs = outDir + "/ddrescue.img";
    double best[2] = {1e30, 1e30};
    for (int round = 0; round < kRounds && rc == 0; ++round) {
        // Each round in the other order, so neither always comes first.
        for (int k = 0; k < 2; ++k) {
            const int which = (round + k) % 2;
            const std::string& output = which == 0 ? ours : theirs;
            ShellStatus("rm -f " + ShellQuote(output) + " " + ShellQuote(output + ".map"));
            int exitCode = -1;
            double seconds = 0;
            if (which == 0) {
                seconds = TimeSh(settings + ShellQuote(std::string(QUARLIX_BIN_DIR) + "/quarlix") +
                                     " --no-cache --progress never --log-level 0 image " + ShellQuote(device) + " --to " +
                                     ShellQuote(ours) + " >/dev/null 2>" + ShellQuote(work + "/quarlix.err"),
                                 exitCode);
                if (exitCode != 1) {  // 1: some bytes could not be read, as planned
                    std::printf("image: quarlix image failed with exit status %d (see %s/quarlix.err)\n", exitCode,
                                work.c_str());
                    rc = 1;
                }
            } else {
                seconds = TimeSh("ddrescue -q " + ShellQuote(device) + " " + ShellQuote(theirs) + " " + ShellQuote(theirs + ".map"),
                                 exitCode);
                if (exitCode != 0) {
                    std::printf("image: ddrescue failed with exit status %d\n", exitCode);
                    rc = 1;
                }
            }
            best[which] = std::min(best[which], seconds);
        }
    }
    if (rc == 0) {
        CRescueMap q(kSize), d(kSize);
        if (!LoadMap(ours + ".map", q) || !LoadMap(theirs + ".map", d)) rc = 1;
        const uint64_t rescuedQ = q.Bytes(RescueState::Rescued), rescuedD = d.Bytes(RescueState::Rescued);
        const auto badQ = Bad(q), badD = Bad(d);
        const bool sameBad = badQ.size() == badD.size() &&
                             std::equal(badQ.begin(), badQ.end(), badD.begin(), [](const RescueBlock& a, const RescueBlock& b) {
                                 return a.offset == b.offset && a.length == b.length;
                             });
        std::error_code ec;
        const uint64_t theirLength = std::filesystem::file_size(theirs, ec);
        const bool sameBytes = !ec && ShellStatus("cmp -s -n " + std::to_string(theirLength) + " " + ShellQuote(theirs) + " " +
                                         ShellQuote(ours)) == 0;
        struct stat st {};
        const uint64_t allocated = ::stat(ours.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
        std::printf("image: %llu MiB device, %zu bad areas (%llu bytes)\n",
                    static_cast<unsigned long long>(kSize >> 20), bad.size(),
                    static_cast<unsigned long long>(badBytes));
        std::printf("  rescued: quarlix %llu bytes, ddrescue %llu bytes%s\n",
                    static_cast<unsigned long long>(rescuedQ), static_cast<unsigned long long>(rescuedD),
                    rescuedQ == rescuedD && rescuedQ == kSize - badBytes ? " (equal)" : "  DIFFER");
        std::printf("  bad areas: quarlix %zu, ddrescue %zu%s; image bytes %s\n", badQ.size(), badD.size(),
                    sameBad ? " (the same)" : "  DIFFER", sameBytes ? "equal" : "DIFFER");
        std::printf("  quarlix image %.3f s, ddrescue %.3f s (best of %d): ratio %.2f (target <= 1.1)\n", best[0],
                    best[1], kRounds, best[0] / best[1]);
        std::printf("  quarlix's image takes %llu MiB of %llu MiB on disk (zeros left as holes)\n",
                    static_cast<unsigned long long>(allocated >> 20), static_cast<unsigned long long>(kSize >> 20));
        if (rescuedQ != rescuedD || !sameBad || !sameBytes) rc = 1;
    }
    ShellStatus("fusermount3 -u " + ShellQuote(mount) + " >/dev/null 2>&1");
    ShellStatus("rm -rf " + ShellQuote(outDir));
    if (argc <= 1) ShellStatus("rm -rf " + ShellQuote(work));
    return rc;
}
