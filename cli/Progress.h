// The progress bar on stderr and the Ctrl-C handling of long commands.
#pragma once

#include <atomic>
#include <string>

#include "cli/Common.h"

// Installs a SIGINT/SIGTERM handler that only raises the interrupted flag;
// the command's loop sees it and stops its job through the job's stop flag.
void InstallInterruptHandler();
bool Interrupted();

class CProgressBar {
public:
    explicit CProgressBar(const GlobalOptions& options);
    ~CProgressBar();
    bool Enabled() const { return m_enabled; }
    // percent 0-100; remaining < 0 means no estimate.
    void Show(const std::string& title, int percent, double elapsed, double remaining);
    void Clear();

private:
    bool m_enabled = false;
    bool m_shown = false;
};
