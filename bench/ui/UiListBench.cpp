// Opening the largest folder of the large NTFS fixture (/d0: 7,500 live and
// 2,500 deleted files) in the window, rows ready to paint, against
// `quarlix list` of that folder in the same run. Both start from nothing:
// open the image, build the index (no cache), list the folder. Targets: the
// window no slower than the command line, its resident memory at most twice
// the command line's. Each side runs in a child process of its own so that
// its peak memory is its own; the best of three runs counts.
//
//   ui_list_bench [WORKDIR]   (the fixture is kept there and reused)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

#include "app/Profile.h"
#include "bench/BenchSmoke.h"
#include "bench/LargeNtfsFixture.h"
#include "bench/ProcStatus.h"
#include "bench/QuarlixProcess.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    bool ok = false;
    double seconds = 0;
    double folderSeconds = 0;  // the window: selecting the folder until its rows are painted
    double startSeconds = 0;   // the window: until it is shown, before any image is opened
    long startKb = 0;          // resident memory then (the toolkit's own share)
    long peakKb = 0;
    long rows = 0;
};

// The window in this (child) process: open, index, show /d0.
Run WindowRun(const std::string& image, const std::string& settings, int argc, char** argv) {
    setenv("XDG_CONFIG_HOME", (settings + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (settings + "/cache").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Run r;
    const auto t0 = Clock::now();
    QApplication app(argc, argv);
    PrepareSettings();
    CXMLProfile::Instance().WriteInt("Cache", "SaveToDisk", 0);
    CMainFrame window(MainFrameOptions::ImagesOnly());
    window.resize(1280, 800);
    window.show();
    QApplication::processEvents();
    r.startSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.startKb = StatusKb("VmRSS:");
    window.OpenImages({QString::fromStdString(image)}, true);
    CBrowsePage& page = *window.BrowsePage();
    if (page.Drives().empty() || !page.OpenDrive(0)) return r;
    QApplication::processEvents();
    const auto f0 = Clock::now();
    if (!page.SelectFolder(QStringLiteral("/d0"))) return r;
    page.List()->viewport()->repaint();
    QApplication::processEvents();
    const auto t1 = Clock::now();
    r.ok = true;
    r.seconds = std::chrono::duration<double>(t1 - t0).count();
    r.folderSeconds = std::chrono::duration<double>(t1 - f0).count();
    r.rows = page.ListModel().rowCount();
    r.peakKb = StatusKb("VmHWM:");
    return r;
}

// `quarlix ARGS` as a process: wall time and peak memory.
Run CliRun(const std::vector<std::string>& args, const std::string& settings) {
    const ProcessRun p = RunQuarlix(args, settings);
    Run r;
    r.ok = p.ok;
    r.seconds = p.seconds;
    r.peakKb = p.peakKb;
    return r;
}

// The window's run in a child; its figures come back through a pipe.
Run ForkedWindowRun(const std::string& image, const std::string& settings, int argc, char** argv) {
    int fds[2];
    Run r;
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Run w = WindowRun(image, settings, argc, argv);
        char out[160];
        const int n = std::snprintf(out, sizeof out, "%d %.6f %.6f %.6f %ld %ld %ld\n", w.ok ? 1 : 0, w.seconds,
                                    w.folderSeconds, w.startSeconds, w.startKb, w.peakKb, w.rows);
        _exit(write(fds[1], out, static_cast<size_t>(n)) == n ? 0 : 1);
    }
    close(fds[1]);
    char buf[160] = {};
    const ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    int ok = 0;
    if (got > 0 && std::sscanf(buf, "%d %lf %lf %lf %ld %ld %ld", &ok, &r.seconds, &r.folderSeconds, &r.startSeconds,
                               &r.startKb, &r.peakKb, &r.rows) == 7)
        r.ok = ok == 1;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    LargeNtfsFixture large;
    if (!MakeLargeNtfsFixture(smoke, argc > 1 ? argv[1] : "", large)) return 1;
    const std::string settings = std::filesystem::path(large.image).parent_path().string() + "/ui-bench-settings";
    std::filesystem::create_directories(settings + "/config");
    std::filesystem::create_directories(settings + "/cache");
    const int repeats = smoke ? 1 : 3;
    Run best, bestCli, bestIndex;
    best.seconds = bestCli.seconds = bestIndex.seconds = 1e9;
    const std::vector<std::string> list {"--no-cache", "--progress", "never", "list", large.image, "/d0"};
    const std::vector<std::string> index {"--no-cache", "--progress", "never", "index", large.image};
    for (int i = 0; i < repeats; ++i) {
        const Run w = ForkedWindowRun(large.image, settings, argc, argv);
        const Run c = CliRun(list, settings);
        const Run x = CliRun(index, settings);
        if (!w.ok || !c.ok || !x.ok) {
            std::printf("a run failed (window %d, quarlix list %d, quarlix index %d)\n", w.ok, c.ok, x.ok);
            return 1;
        }
        if (w.seconds < best.seconds) best = w;
        if (c.seconds < bestCli.seconds) bestCli = c;
        if (x.seconds < bestIndex.seconds) bestIndex = x;
    }
    // The folder alone: the window from selecting it to its rows painted;
    // the command line's list minus its index of the same image.
    const double cliFolder = std::max(bestCli.seconds - bestIndex.seconds, 1e-4);
    const long windowGrowth = best.peakKb - best.startKb;
    std::printf("\nfolder /d0: %ld rows in the list model\n", best.rows);
    std::printf("window:         %.3f s from start to rows painted: %.3f s to its first show (%ld kB resident), "
                "%.3f s for the folder itself; peak RSS %ld kB\n",
                best.seconds, best.startSeconds, best.startKb, best.folderSeconds, best.peakKb);
    std::printf("quarlix list:   %.3f s, peak RSS %ld kB\n", bestCli.seconds, bestCli.peakKb);
    std::printf("quarlix index:  %.3f s, peak RSS %ld kB\n", bestIndex.seconds, bestIndex.peakKb);
    std::printf("ratio window/quarlix list, whole process = %.2f time (target <= 1), %.2f memory (target <= 2)\n",
                best.seconds / std::max(bestCli.seconds, 1e-9),
                static_cast<double>(best.peakKb) / std::max(bestCli.peakKb, 1L));
    std::printf("ratio window/quarlix list, the folder    = %.2f time (the list's share: list - index = %.3f s)\n",
                best.folderSeconds / cliFolder, cliFolder);
    std::printf("ratio window/quarlix list, memory past the toolkit's start = %.2f (%ld kB vs %ld kB)\n",
                static_cast<double>(windowGrowth) / std::max(bestCli.peakKb, 1L), windowGrowth, bestCli.peakKb);
    return 0;
}
