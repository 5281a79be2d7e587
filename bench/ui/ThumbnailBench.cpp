// A folder of 10,000 deleted camera JPEGs (2048x1536, each with a 160x120
// Exif thumbnail; tools/make-thumbnail-bench-fixture.sh) on a FAT32 image,
// shown as thumbnails in the window. Figures:
//   - the first screen: from switching to the thumbnails until every picture
//     in view has its thumbnail drawn (target <= 1 s);
//   - the scroll to the end, a page per step, each step waiting until the
//     pictures in view are drawn: its total time and the longest gap between
//     two turns of the window's event loop, switch included (a 1 ms probe
//     timer; target: no frame over 100 ms);
//   - peak resident memory (target <= 300 MiB), against the same window
//     showing the folder as the detail list and scrolled to its end, and
//     against the toolkit's own share at the start;
//   - bytes the process read per thumbnail made, and how many thumbnails
//     came from the Exif thumbnail.
// The peer, in the same run: a plain viewer on the files as written, one
// thread: read each whole, decode it with QImageReader, scale to 128 px,
// for the first screen's count of files. Ratios: the first screen against
// the peer's time for as many files; the window's time per thumbnail over
// the whole scroll against the peer's per file. Each window runs in a child
// process of its own so that its peak memory is its own; the best of three
// runs counts. Both sides read from the page cache (the fixture's files were
// just written or reused), so the figures are the window's own work.
//
//   thumbnail_bench [WORKDIR]   (the fixture is kept there and reused)
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/Profile.h"
#include "bench/BenchSmoke.h"
#include "bench/ProcStatus.h"
#include "ui/BrowsePage.h"
#include "ui/ItemIconView.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

namespace {

constexpr double kFirstScreenTarget = 1.0;  // seconds
constexpr double kFrameTarget = 0.100;      // seconds
constexpr long kMemoryTargetKb = 300 * 1024;

// What a window run reports to the parent (a plain struct through a pipe).
struct WindowFigures {
    int ok = 0;
    int rows = 0;                // rows of /DCIM
    int firstScreenPictures = 0; // pictures in view on the first screen
    int steps = 0;               // scroll steps to the end
    int made = 0, embedded = 0, failed = 0;
    double firstScreen = 0;      // switch to thumbnails .. first screen drawn
    double scroll = 0;           // first screen drawn .. last screen drawn
    double longestGap = 0;       // between two event loop turns, switch included
    double longestGapFirst = 0;  // of them, until the first screen was drawn
    int longestGapStep = 0;      // the scroll step it came in (0: before the first step)
    int framesOver50 = 0;        // gaps over 50 ms
    long startKb = 0;            // resident at the window's first show (the toolkit's share)
    long folderKb = 0;           // peak once the folder is listed, before the switch
    long peakKb = 0;
    uint64_t bytesRead = 0;      // from the switch to the end
    char error[96] = {};
};

void Fail(WindowFigures& f, const char* what) { std::snprintf(f.error, sizeof f.error, "%s", what); }

// The window in this (child) process: open the image, list /DCIM, show it as
// thumbnails (or keep the detail list) and scroll to its end.
WindowFigures WindowRun(const std::string& image, const std::string& settings, bool icons, int argc, char** argv) {
    std::filesystem::remove_all(settings);  // no view mode or layout kept from an earlier run
    std::filesystem::create_directories(settings + "/config");
    std::filesystem::create_directories(settings + "/cache");
    setenv("XDG_CONFIG_HOME", (settings + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (settings + "/cache").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    WindowFigures f;
    QApplication app(argc, argv);
    PrepareSettings();
    CXMLProfile::Instance().WriteInt("Cache", "SaveToDisk", 0);
    CMainFrame window(MainFrameOptions::ImagesOnly());
    window.resize(1280, 800);
    window.show();
    QApplication::processEvents();
    f.startKb = StatusKb("VmRSS:");
    window.OpenImages({QString::fromStdString(image)}, true);
    CBrowsePage& page = *window.BrowsePage();
    if (page.Drives().empty() || !page.OpenDrive(0)) {
        Fail(f, "cannot open the image");
        return f;
    }
    QApplication::processEvents();
    if (!page.SelectFolder(QStringLiteral("/DCIM"))) {
        Fail(f, "cannot select /DCIM");
        return f;
    }
    page.List()->viewport()->repaint();
    QApplication::processEvents();
    f.rows = page.ListModel().rowCount();
    f.folderKb = StatusKb("VmHWM:");
    CItemIconView* view = page.IconPane() ? page.IconPane()->View() : nullptr;
    if (!view) {
        Fail(f, "cannot find the icon view");
        return f;
    }
    QAbstractItemView* shown = icons ? static_cast<QAbstractItemView*>(view) : page.List();
    CThumbnailLoader& loader = view->Loader();

    QElapsedTimer clock;
    clock.start();
    auto now = [&] { return static_cast<double>(clock.nsecsElapsed()) * 1e-9; };
    double lastTurn = -1, lastPaint = -1, lastReady = -1, switchedAt = 0, firstAt = -1;
    int paintsSinceStep = 0;
    bool switched = false;

    // Paints of the list shown, and thumbnails made for a row in view.
    struct PaintCounter : QObject {
        std::function<void()> onPaint;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) onPaint();
            return false;
        }
    } counter;
    counter.onPaint = [&] {
        lastPaint = now();
        ++paintsSinceStep;
    };
    shown->viewport()->installEventFilter(&counter);
    auto keyInView = [&](const QString& key) {
        for (int r : view->RowsInView()) {
            ThumbnailRequest request;
            if (view->RequestOf(view->model()->index(r, 0), request) && request.key == key) return true;
        }
        return false;
    };
    QObject::connect(&loader, &CThumbnailLoader::ready, &counter, [&](const QString& key) {
        if (keyInView(key)) lastReady = now();
    });
    // The screen is done when a paint since the step found its rows, every
    // picture among them has its thumbnail (or was given up on), and no
    // thumbnail of them came after the last paint.
    int picturesInView = 0;
    auto screenDone = [&] {
        if (paintsSinceStep == 0) return false;
        if (!icons) return true;
        if (lastReady > lastPaint || view->RowsInView().empty()) return false;
        picturesInView = 0;
        for (int r : view->RowsInView()) {
            ThumbnailRequest request;
            if (!view->RequestOf(view->model()->index(r, 0), request)) continue;
            const CThumbnailLoader::State state = loader.StateOf(request.key);
            if (state == CThumbnailLoader::State::None || state == CThumbnailLoader::State::Queued) return false;
            ++picturesInView;
        }
        return true;
    };

    const uint64_t readBefore = SelfBytesRead();
    QEventLoop loop;
    const double deadline = BenchSmoke() ? 120 : 1200;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
        const double t = now();
        if (lastTurn >= 0) {
            if (t - lastTurn > f.longestGap) {
                f.longestGap = t - lastTurn;
                f.longestGapStep = f.steps;
            }
            if (t - lastTurn > 0.050) ++f.framesOver50;
            if (firstAt < 0) f.longestGapFirst = std::max(f.longestGapFirst, t - lastTurn);
        }
        lastTurn = t;
        if (!switched) return;
        if (t - switchedAt > deadline) {
            Fail(f, "the thumbnails timed out");
            loop.quit();
            return;
        }
        if (!screenDone()) return;
        if (firstAt < 0) {
            firstAt = t;
            f.firstScreen = t - switchedAt;
            f.firstScreenPictures = picturesInView;
        }
        QScrollBar* bar = shown->verticalScrollBar();
        if (bar->value() >= bar->maximum()) {
            f.scroll = t - firstAt;
            loop.quit();
            return;
        }
        bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep()));
        ++f.steps;
        paintsSinceStep = 0;
    });
    probe.start();
    // The switch itself runs in a turn of the loop, so that the probe sees its cost.
    QTimer::singleShot(20, &loop, [&] {
        switchedAt = now();
        paintsSinceStep = 0;
        if (icons)
            window.SetIconMode(true);
        else
            shown->viewport()->update();
        switched = true;
    });
    loop.exec();
    probe.stop();
    f.bytesRead = SelfBytesRead() - readBefore;
    f.made = loader.Made();
    f.embedded = loader.MadeFromEmbedded();
    for (int r = 0; icons && r < view->model()->rowCount(); ++r) {
        ThumbnailRequest request;
        if (view->RequestOf(view->model()->index(r, 0), request) &&
            loader.StateOf(request.key) == CThumbnailLoader::State::Failed)
            ++f.failed;
    }
    f.peakKb = StatusKb("VmHWM:");
    f.ok = f.error[0] == 0 ? 1 : 0;
    return f;
}

// The window's run in a child; its figures come back through a pipe.
WindowFigures ForkedWindowRun(const std::string& image, const std::string& settings, bool icons, int argc,
                              char** argv) {
    WindowFigures r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const WindowFigures w = WindowRun(image, settings, icons, argc, argv);
        const ssize_t n = write(fds[1], &w, sizeof w);
        _exit(n == static_cast<ssize_t>(sizeof w) ? 0 : 1);
    }
    close(fds[1]);
    size_t got = 0;
    auto* into = reinterpret_cast<char*>(&r);
    for (ssize_t n; got < sizeof r && (n = read(fds[0], into + got, sizeof r - got)) > 0;) got += static_cast<size_t>(n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != sizeof r) {
        r = WindowFigures {};
        Fail(r, "the window's process ended early");
    }
    return r;
}

// The plain viewer: each file read whole, decoded whole, scaled to 128 px.
// Seconds for all; false when one does not decode.
bool PeerRun(const std::vector<std::string>& files, double& seconds) {
    QElapsedTimer clock;
    clock.start();
    for (const std::string& path : files) {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::ReadOnly)) return false;
        QByteArray bytes = file.readAll();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "jpeg");
        const QImage image = reader.read();
        if (image.isNull()) return false;
        const QImage small = image.scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        if (small.isNull()) return false;
    }
    seconds = static_cast<double>(clock.nsecsElapsed()) * 1e-9;
    return true;
}

const char* Verdict(bool pass) { return pass ? "PASS" : "MISS"; }

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    const std::string dir = argc > 1 ? argv[1] : smoke ? "/tmp/quarlix-thumbnail-bench-smoke" : "/tmp/quarlix-thumbnail-bench";
    const int count = smoke ? 50 : 10000;
    const std::string image = dir + "/thumbs.img", host = dir + "/written";
    std::filesystem::create_directories(dir);
    if (!std::filesystem::exists(image)) {
        const std::string partial = image + ".partial";
        const std::string cmd = std::string(QUARLIX_SOURCE_DIR) + "/tools/make-thumbnail-bench-fixture.sh '" + partial +
                                "' '" + host + "' " + std::to_string(count) + " >/dev/null";
        std::printf("+ %s\n", cmd.c_str());
        std::fflush(stdout);
        std::error_code ec;
        if (std::system(cmd.c_str()) != 0 || (std::filesystem::rename(partial, image, ec), ec)) {
            std::printf("fixture failed\n");
            std::filesystem::remove(partial, ec);
            return 1;
        }
    }
    // Best of three for each window (by its first screen, the detail list by
    // its scroll); the longest frame of every run is said too.
    const std::string settings = dir + "/settings";
    const int repeats = smoke ? 1 : 3;
    WindowFigures details, icons;
    double worstFrame = 0;
    for (int i = 0; i < repeats; ++i) {
        const WindowFigures d = ForkedWindowRun(image, settings, false, argc, argv);
        const WindowFigures w = ForkedWindowRun(image, settings, true, argc, argv);
        for (const WindowFigures* run : {&d, &w})
            if (!run->ok) {
                std::printf("the %s run failed: %s\n", run == &d ? "detail list" : "thumbnails", run->error);
                return 1;
            }
        if (i == 0 || d.scroll < details.scroll) details = d;
        if (i == 0 || w.firstScreen < icons.firstScreen) icons = w;
        worstFrame = std::max(worstFrame, w.longestGap);
    }
    if (icons.rows < count || icons.firstScreenPictures == 0) {
        std::printf("missing sample: /DCIM lists %d rows (%d written), %d pictures on the first screen\n", icons.rows,
                    count, icons.firstScreenPictures);
        return 1;
    }
    // Every picture once: none given up on, none made twice.
    if (icons.failed > 0 || icons.made != count) {
        std::printf("thumbnails failed: %d given up on, %d made for %d pictures\n", icons.failed, icons.made, count);
        return 1;
    }

    // The peer in this process, now that the children are done: best of three.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    std::vector<std::string> files;
    for (int n = 1; n <= icons.firstScreenPictures; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/DSC%05d.JPG", n);
        files.push_back(host + name);
    }
    double peer = 1e9;
    for (int i = 0; i < (smoke ? 1 : 3); ++i) {
        double s = 0;
        if (!PeerRun(files, s)) {
            std::printf("the peer failed: a written file did not decode\n");
            return 1;
        }
        peer = std::min(peer, s);
    }
    const double peerPerFile = peer / static_cast<double>(files.size());
    const double perThumbnail = (icons.firstScreen + icons.scroll) / static_cast<double>(std::max(icons.made, 1));

    std::printf("\n/DCIM: %d deleted JPEGs of 2048x1536 in view at 1280x800; %d pictures on the first screen, "
                "%d scroll steps (a page each) to the end\n",
                icons.rows, icons.firstScreenPictures, icons.steps);
    std::printf("thumbnails: %d made, %d of them from the Exif thumbnail; %.0f bytes read per thumbnail\n", icons.made,
                icons.embedded, static_cast<double>(icons.bytesRead) / std::max(icons.made, 1));
    std::printf("first screen:   %.3f s (target <= %.1f s) %s\n", icons.firstScreen, kFirstScreenTarget,
                Verdict(icons.firstScreen <= kFirstScreenTarget));
    std::printf("longest frame:  %.1f ms over the switch and the scroll, at step %d; %.1f ms until the first screen; "
                "%d frames over 50 ms; the longest of all %d runs %.1f ms (target <= %.0f ms) %s\n",
                icons.longestGap * 1e3, icons.longestGapStep, icons.longestGapFirst * 1e3, icons.framesOver50,
                repeats, worstFrame * 1e3, kFrameTarget * 1e3, Verdict(icons.longestGap <= kFrameTarget));
    std::printf("scroll to end:  %.3f s (%.2f ms per thumbnail over the whole run)\n", icons.scroll,
                perThumbnail * 1e3);
    std::printf("detail list:    scrolled to its end in %.3f s, %d steps, longest frame %.1f ms\n", details.scroll,
                details.steps, details.longestGap * 1e3);
    std::printf("peak RSS:       %ld kB with thumbnails (target <= %ld kB) %s; %ld kB with the detail list; "
                "%ld kB at the window's first show, %ld kB once /DCIM was listed\n",
                icons.peakKb, kMemoryTargetKb, Verdict(icons.peakKb <= kMemoryTargetKb), details.peakKb,
                icons.startKb, icons.folderKb);
    std::printf("peer (read whole, QImageReader, scale to 128 px, one thread): %.3f s for %zu files, %.2f ms per file\n",
                peer, files.size(), peerPerFile * 1e3);
    std::printf("ratio first screen/peer          = %.3f\n", icons.firstScreen / std::max(peer, 1e-9));
    std::printf("ratio per thumbnail/peer per file = %.3f\n", perThumbnail / std::max(peerPerFile, 1e-9));
    std::printf("ratio peak memory thumbnails/detail list = %.2f, thumbnails/first show = %.2f\n",
                static_cast<double>(icons.peakKb) / std::max(details.peakKb, 1L),
                static_cast<double>(icons.peakKb) / std::max(icons.startKb, 1L));
    return 0;
}
