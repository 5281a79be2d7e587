// Long jobs tell the main window when they start and end, so that it can
// refuse to close while one runs and bring the job's window to the front.
#pragma once

class QWidget;

// Process-wide, used from the GUI thread only.
void BusyBegin(QWidget* jobWindow);
void BusyEnd(QWidget* jobWindow);
// The number of jobs running now.
int BusyCount();
