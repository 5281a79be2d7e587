// Recovering a selection from the window: the destination dialog
// (CRecoverDlg), then the progress dialog (CRecoverProgressDlg) over the
// engine's recovery job, then the usage statistics.
#pragma once

#include <string>
#include <vector>

#include "engine/recovery/RecoverJob.h"
#include "ui/UsageStatistics.h"

class QWidget;

struct RecoverSelection {
    CVolume* volume = nullptr;
    std::string sourcePath;          // the device or image the volume is read from
    std::vector<RecoverItem> items;  // deleted files and folders, or carved runs
    bool carved = false;             // surface-scan results (RECOVER_CARVED)
};

// Runs the whole recovery; false when the user cancelled the destination
// dialog. The statistics grow by what was written.
bool RecoverFileGroup(QWidget* parent, const RecoverSelection& selection, UsageStatistics& statistics);
