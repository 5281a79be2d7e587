#include "Progress.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "engine/index/IndexJob.h"

namespace {
std::atomic<int> g_interrupted {0};

void OnSignal(int) { g_interrupted.store(1); }
}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted() { return g_interrupted.load() != 0; }

CProgressBar::CProgressBar(const GlobalOptions& options) {
    if (options.progress == "always")
        m_enabled = true;
    else if (options.progress == "auto")
        m_enabled = isatty(STDERR_FILENO) != 0;
}

CProgressBar::~CProgressBar() { Clear(); }

void CProgressBar::Show(const std::string& title, int percent, double elapsed, double remaining) {
    if (!m_enabled) return;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    char bar[31];
    int filled = percent * 30 / 100;
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
    bar[30] = '\0';
    std::string rem = remaining < 0 ? "no estimate yet" : "remaining " + FormatDuration(remaining);
    std::fprintf(stderr, "\r[%s] %3d%%  %-26s elapsed %s  %-22s", bar, percent, title.c_str(),
                 FormatDuration(elapsed).c_str(), rem.c_str());
    std::fflush(stderr);
    m_shown = true;
}

void CProgressBar::Clear() {
    if (!m_shown) return;
    std::fprintf(stderr, "\r%*s\r", 110, "");
    std::fflush(stderr);
    m_shown = false;
}
