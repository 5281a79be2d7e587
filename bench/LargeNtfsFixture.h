// The large NTFS fixture of the benchmarks: about 200,000 files in 20
// folders of 10,000 (/d0 .. /d19), every fourth file deleted, made with
// mkntfs and ntfs-fixture; a smoke run's is 400 files in 2 folders. The image
// is kept in its folder and reused by later runs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

struct LargeNtfsFixture {
    std::string image;
    int folders = 0;
    int perFolder = 0;
};

inline bool RunShell(const std::string& cmd) {
    std::printf("+ %s\n", cmd.c_str());
    std::fflush(stdout);
    return std::system(cmd.c_str()) == 0;
}

// dir: where the image lives (default a folder under /tmp); false when it
// cannot be made.
inline bool MakeLargeNtfsFixture(bool smoke, std::string dir, LargeNtfsFixture& out) {
    if (dir.empty()) dir = smoke ? "/tmp/quarlix-index-bench-smoke" : "/tmp/quarlix-index-bench";
    std::filesystem::create_directories(dir);
    out.image = dir + (smoke ? "/index400.img" : "/index200k.img");
    out.folders = smoke ? 2 : 20;
    out.perFolder = smoke ? 200 : 10000;
    constexpr int kDeleteEvery = 4;
    if (std::filesystem::exists(out.image)) return true;
    const std::string script = dir + "/script.txt";
    {
        std::ofstream s(script);
        for (int f = 0; f < out.folders; ++f) s << "many /d" << f << " " << out.perFolder << " f\n";
        s << "remount\n";  // the deletions see the folders as written
        char name[64];
        for (int f = 0; f < out.folders; ++f)
            for (int i = 0; i < out.perFolder; i += kDeleteEvery) {
                std::snprintf(name, sizeof name, "/d%d/f%05d.txt", f, i);
                s << "delete " << name << "\n";
            }
    }
    const std::string fixture = std::string(QUARLIX_BIN_DIR) + "/ntfs-fixture";
    if (!RunShell("truncate -s " + std::string(smoke ? "16M " : "600M ") + out.image + " && mkntfs -F -f -q " +
                  out.image + " >/dev/null 2>&1 && " + fixture + " " + out.image + " - < " + script + " > /dev/null")) {
        std::printf("fixture failed\n");
        std::remove(out.image.c_str());
        return false;
    }
    return true;
}
