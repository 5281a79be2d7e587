// The progress bar on stderr and the Ctrl-C handling of long commands.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "cli/Common.h"
#include "engine/volume/Job.h"

// Installs a SIGINT/SIGTERM handler that only records the signal (and
// unblocks both, in case the caller started us with them blocked); the
// command's loop sees it and stops its job through the job's stop flag.
void InstallInterruptHandler();
bool Interrupted();
// The exit status of a run stopped by a signal: 128 + its number (130 for
// Ctrl-C, 143 for SIGTERM); 130 when no signal came.
int InterruptExitCode();

// Clears the progress line on the screen, if one is shown (before a message).
void ClearProgressLine();
// Writes one line to stderr with the progress line cleared first, from any
// thread (the bar draws it again at its next tick).
void WriteMessageLine(const std::string& line);

class CProgressBar {
public:
    explicit CProgressBar(const GlobalOptions& options);
    ~CProgressBar();
    bool Enabled() const { return m_enabled; }
    // percent 0-100; remaining < 0 means no estimate. The line never passes
    // column 79 (less on a narrower terminal): a long title is cut.
    // Without withElapsed the line gives only the time left (room for a longer title).
    void Show(const std::string& title, int percent, double elapsed, double remaining, bool withElapsed = true);
    void Clear();

private:
    bool m_enabled = false;
    size_t m_shownLength = 0;  // characters of the line on screen, 0 when none
    size_t m_width = 79;
};

// One line of the bar: what a command shows for a snapshot of its job.
struct BarLine {
    std::string title;
    int percent = 0;
    double remaining = -1;  // < 0: no estimate
    bool withElapsed = true;
};

// Runs a started job to its end on this thread, the loop every long command
// shares: at each tick it turns a Ctrl-C into one stop request, hands the
// events that came in to drain (which prints them), and draws the bar from
// describe(snapshot). The wait between ticks is interval(elapsed seconds).
// Once the worker has ended it waits for it, clears the bar and drains once
// more, so every event is printed. True when a Ctrl-C stopped the job.
bool RunJobToEnd(CJob& job, CProgressBar& bar, const std::function<std::chrono::milliseconds(double)>& interval,
                 const std::function<void()>& drain, const std::function<BarLine(const JobProgress&)>& describe);
