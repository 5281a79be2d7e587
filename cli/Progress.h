// The progress bar on stderr and the Ctrl-C handling of long commands.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "cli/Common.h"

// Installs a SIGINT/SIGTERM handler that only records the signal (and
// unblocks both, in case the caller started us with them blocked); the
// command's loop sees it and stops its job through the job's stop flag.
void InstallInterruptHandler();
bool Interrupted();
// The exit status of a run stopped by a signal: 128 + its number (130 for
// Ctrl-C, 143 for SIGTERM); 130 when no signal came.
int InterruptExitCode();

class CProgressBar {
public:
    explicit CProgressBar(const GlobalOptions& options);
    ~CProgressBar();
    bool Enabled() const { return m_enabled; }
    // percent 0-100; remaining < 0 means no estimate. The line never passes
    // column 79 (less on a narrower terminal): a long title is cut.
    void Show(const std::string& title, int percent, double elapsed, double remaining);
    void Clear();

private:
    bool m_enabled = false;
    size_t m_shownLength = 0;  // characters of the line on screen, 0 when none
    size_t m_width = 79;
};
