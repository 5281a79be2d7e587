// A surface scan started from the window's scan page, from Start to the last
// find shown, against `quarlix scan` of the same image in the same run (the
// whole process). Target: window/quarlix <= 1.1, so that the window adds no
// cost to the scan. The image: FAT32 (mkfs.fat, 1 GiB of 4 KiB clusters) with the
// samples of tests/data copied in many times (mtools) and deleted. The
// drive's index is made before the clock starts (the command line's scan
// needs none). Best of three.
//
//   ui_scan_bench [WORKDIR]   (the image is kept there and reused)
#include <QApplication>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Profile.h"
#include "bench/BenchSmoke.h"
#include "bench/QuarlixProcess.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"
#include "ui/SurfaceScanWnd.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Shell(const std::string& cmd) {
    std::printf("+ %s\n", cmd.c_str());
    std::fflush(stdout);
    return std::system(cmd.c_str()) == 0;
}

// `quarlix scan IMAGE`: its wall time and the finds it printed (one line
// each, type and tab first, then the summary line).
bool CliScan(const std::string& image, const std::string& settings, double& seconds, long& finds) {
    const std::string out = settings + "/cli-scan.txt";
    const ProcessRun run = RunQuarlix({"--no-cache", "--progress", "never", "scan", image}, settings, out);
    seconds = run.seconds;
    finds = 0;
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, f)) finds += std::strchr(line, '\t') != nullptr;
        std::fclose(f);
    }
    return run.ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    const std::string dir = argc > 1 ? argv[1] : smoke ? "/tmp/quarlix-ui-scan-bench-smoke" : "/tmp/quarlix-ui-scan-bench";
    const std::string settings = dir + "/settings";
    std::filesystem::create_directories(settings + "/config");
    std::filesystem::create_directories(settings + "/cache");
    const std::string image = dir + (smoke ? "/scan-small.img" : "/scan.img");
    if (!std::filesystem::exists(image)) {
        const std::string data = std::string(QUARLIX_SOURCE_DIR) + "/tests/data";
        const int copies = smoke ? 1 : 12;
        std::string script = "set -e; export MTOOLS_SKIP_CHECK=1; mkfs.fat -C -F 32 -s " + std::string(smoke ? "1" : "8") + " -S 512 " + image + " " +
                             std::to_string(smoke ? 65536 : 1048576) + " >/dev/null";
        for (int i = 0; i < copies; ++i)
            script += "; mmd -i " + image + " ::/c" + std::to_string(i) + "; mcopy -i " + image + " " + data +
                      "/sample* ::/c" + std::to_string(i) + "/; mdeltree -i " + image + " ::/c" + std::to_string(i);
        if (!Shell("bash -c '" + script + "'")) {
            std::printf("fixture failed\n");
            std::filesystem::remove(image);
            return 1;
        }
    }
    setenv("XDG_CONFIG_HOME", (settings + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (settings + "/cache").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    PrepareSettings();
    CXMLProfile::Instance().WriteInt("Cache", "SaveToDisk", 0);
    CMainFrame window(MainFrameOptions::ImagesOnly());
    window.resize(1280, 800);
    window.show();
    window.OpenImages({QString::fromStdString(image)}, true);
    if (window.BrowsePage()->Drives().empty() || !window.BrowsePage()->OpenDrive(0)) {
        std::printf("cannot open %s in the window\n", image.c_str());
        return 1;
    }
    window.ShowPage(2);
    CSurfaceScanWnd& page = *window.ScanPage();
    QApplication::processEvents();
    const int repeats = smoke ? 1 : 3;
    double bestWindow = 1e9, bestCli = 1e9;
    long windowFinds = 0, cliFinds = 0;
    for (int i = 0; i < repeats; ++i) {
        double cli = 0;
        if (!CliScan(image, settings, cli, cliFinds)) {
            std::printf("quarlix scan failed\n");
            return 1;
        }
        bestCli = std::min(bestCli, cli);
        const auto t0 = Clock::now();
        if (!page.StartScan()) {
            std::printf("the window's scan failed to start\n");
            return 1;
        }
        while (page.Scanning()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        page.ResultView()->viewport()->repaint();
        bestWindow = std::min(bestWindow, std::chrono::duration<double>(Clock::now() - t0).count());
        windowFinds = page.Results().rowCount();
    }
    if (windowFinds != cliFinds) {
        std::printf("the window found %ld files, quarlix scan %ld: they DIFFER\n", windowFinds, cliFinds);
        return 1;
    }
    std::printf("\nimage: %s, %ld files found by both\n", image.c_str(), windowFinds);
    std::printf("window (Start to the last find shown): %.3f s\n", bestWindow);
    std::printf("quarlix scan (the whole process):       %.3f s\n", bestCli);
    std::printf("ratio window/quarlix scan = %.2f (target <= 1.1)\n", bestWindow / std::max(bestCli, 1e-9));
    return 0;
}
