#include "Progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "engine/index/IndexJob.h"

namespace {
std::atomic<int> g_signal {0};

void OnSignal(int signal) { g_signal.store(signal); }

constexpr size_t kBarCells = 10;
constexpr double kLongestShown = 99 * 3600 + 59 * 60 + 59;  // 99:59:59; longer times show as that
}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

bool Interrupted() { return g_signal.load() != 0; }

int InterruptExitCode() {
    const int signal = g_signal.load();
    return signal ? 128 + signal : kExitInterrupted;
}

namespace {
// The bar that draws on stderr now, if any: one at a time. Messages come
// from job threads too: the lock keeps a message and the bar's line apart.
CProgressBar* g_shownBar = nullptr;
std::recursive_mutex g_stderrLock;
}  // namespace

void ClearProgressLine() {
    std::lock_guard<std::recursive_mutex> g(g_stderrLock);
    if (g_shownBar) g_shownBar->Clear();
}

void WriteMessageLine(const std::string& line) {
    std::lock_guard<std::recursive_mutex> g(g_stderrLock);
    if (g_shownBar) g_shownBar->Clear();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

CProgressBar::CProgressBar(const GlobalOptions& options) {
    if (options.progress == "always")
        m_enabled = true;
    else if (options.progress == "auto")
        m_enabled = isatty(STDERR_FILENO) != 0;
    struct winsize ws {};
    if (m_enabled && ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
        m_width = std::min<size_t>(m_width, ws.ws_col - 1u);
}

CProgressBar::~CProgressBar() {
    std::lock_guard<std::recursive_mutex> g(g_stderrLock);
    Clear();
    if (g_shownBar == this) g_shownBar = nullptr;
}

namespace {

// "[######....]  60%  Scanning (3 found)  0:12 elapsed  0:08 left", at most width characters.
std::string ProgressLine(const std::string& title, int percent, double elapsed, double remaining, bool withElapsed,
                         size_t width) {
    percent = std::clamp(percent, 0, 100);
    const size_t filled = static_cast<size_t>(percent) * kBarCells / 100;
    char head[32];
    std::snprintf(head, sizeof head, "[%s%s] %3d%% ", std::string(filled, '#').c_str(),
                  std::string(kBarCells - filled, '.').c_str(), percent);
    const std::string tail = "  " +
                             (withElapsed ? FormatDuration(std::min(elapsed, kLongestShown)) + " elapsed  " : "") +
                             (remaining < 0 ? "no estimate yet"
                                            : FormatDuration(std::min(remaining, kLongestShown)) + " left");
    std::string name = title;
    const size_t fixed = std::char_traits<char>::length(head) + tail.size();
    if (fixed + name.size() > width) {
        size_t room = width > fixed ? width - fixed : 0;
        // Cut at a character boundary of the UTF-8 title.
        while (room > 0 && room < name.size() && (static_cast<unsigned char>(name[room]) & 0xC0) == 0x80) --room;
        name.resize(std::min(room, name.size()));
    }
    std::string line = head + name + tail;
    if (line.size() > width) line.resize(width);
    return line;
}

}  // namespace

void CProgressBar::Show(const std::string& title, int percent, double elapsed, double remaining, bool withElapsed) {
    if (!m_enabled) return;
    std::lock_guard<std::recursive_mutex> g(g_stderrLock);
    std::string line = ProgressLine(title, percent, elapsed, remaining, withElapsed, m_width);
    const size_t length = line.size();
    if (length < m_shownLength) line.append(m_shownLength - length, ' ');  // wipe the longer line before
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    m_shownLength = std::max<size_t>(length, 1);
    g_shownBar = this;
}

void CProgressBar::Clear() {
    std::lock_guard<std::recursive_mutex> g(g_stderrLock);
    if (!m_shownLength) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_shownLength), "");
    std::fflush(stderr);
    m_shownLength = 0;
}

bool RunJobToEnd(CJob& job, CProgressBar& bar, const std::function<std::chrono::milliseconds(double)>& interval,
                 const std::function<void()>& drain, const std::function<BarLine(const JobProgress&)>& describe) {
    bool stopped = false;
    for (;;) {
        const bool running = job.IsRunning();  // read first: every event of an ended job is then queued
        if (Interrupted() && !stopped) {
            job.RequestStop();
            stopped = true;
        }
        if (drain) drain();
        if (!running) break;
        const JobProgress p = job.Progress();
        const BarLine line = describe(p);
        bar.Show(line.title, line.percent, p.elapsed, line.remaining, line.withElapsed);
        std::this_thread::sleep_for(interval(p.elapsed));
    }
    job.Wait();
    bar.Clear();
    if (drain) drain();
    return stopped;
}
