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

#include "app/Profile.h"
#include "bench/BenchSmoke.h"
#include "bench/LargeNtfsFixture.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    bool ok = false;
    double seconds = 0;
    double folderSeconds = 0;  // the window: selecting the folder until its rows are painted
    long peakKb = 0;
    long rows = 0;
};

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
    return 0;
}

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
    MainFrameOptions options;
    options.listDevices = false;
    options.watchDevices = false;
    CMainFrame window(options);
    window.resize(1280, 800);
    window.show();
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

// `quarlix list IMAGE /d0` as a process: wall time and peak memory.
Run CliRun(const std::string& image, const std::string& settings) {
    Run r;
    const auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_CONFIG_HOME", (settings + "/config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (settings + "/cache").c_str(), 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 1);
        const std::string bin = std::string(QUARLIX_BIN_DIR) + "/quarlix";
        execl(bin.c_str(), bin.c_str(), "--no-cache", "--progress", "never", "list", image.c_str(), "/d0",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKb = usage.ru_maxrss;
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
        const int n = std::snprintf(out, sizeof out, "%d %.6f %.6f %ld %ld\n", w.ok ? 1 : 0, w.seconds,
                                    w.folderSeconds, w.peakKb, w.rows);
        _exit(write(fds[1], out, static_cast<size_t>(n)) == n ? 0 : 1);
    }
    close(fds[1]);
    char buf[160] = {};
    const ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    int ok = 0;
    if (got > 0 && std::sscanf(buf, "%d %lf %lf %ld %ld", &ok, &r.seconds, &r.folderSeconds, &r.peakKb, &r.rows) == 5)
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
    Run best, bestCli;
    best.seconds = bestCli.seconds = 1e9;
    for (int i = 0; i < repeats; ++i) {
        const Run w = ForkedWindowRun(large.image, settings, argc, argv);
        const Run c = CliRun(large.image, settings);
        if (!w.ok || !c.ok) {
            std::printf("a run failed (window %d, quarlix list %d)\n", w.ok, c.ok);
            return 1;
        }
        if (w.seconds < best.seconds) best = w;
        if (c.seconds < bestCli.seconds) bestCli = c;
    }
    std::printf("\nfolder /d0: %ld rows in the list model\n", best.rows);
    std::printf("window:       %.3f s from start to rows painted (the folder itself %.3f s), peak RSS %ld kB\n",
                best.seconds, best.folderSeconds, best.peakKb);
    std::printf("quarlix list: %.3f s, peak RSS %ld kB\n", bestCli.seconds, bestCli.peakKb);
    std::printf("ratio window/quarlix list = %.2f time (target <= 1), %.2f memory (target <= 2)\n",
                best.seconds / std::max(bestCli.seconds, 1e-9),
                static_cast<double>(best.peakKb) / std::max(bestCli.peakKb, 1L));
    return 0;
}
