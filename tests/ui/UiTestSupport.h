// What the window tests share: a settings and cache folder of the test's
// own, the sample images unpacked, `quarlix` output to compare with, and
// waiting for the window's jobs.
#pragma once

#include <QProcess>
#include <QString>
#include <functional>
#include <string>

#include "common/TestUtil.h"

namespace uitest {

// Points XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_STATE_HOME and XDG_RUNTIME_DIR
// at folders under dir (the profile, the index cache, the log and the
// single-instance lock of this test only).
void IsolateSettings(const testutil::TempDir& dir);
// samples/NAME.img.gz unpacked into dir; returns the image path.
std::string SampleImage(const testutil::TempDir& dir, const std::string& name);
using testutil::SampleFileContent;
// Runs build/bin/quarlix with these arguments (a shell fragment), with the
// test's own settings; returns stdout.
std::string Quarlix(const std::string& arguments);
// Processes events until done() holds or timeoutMs passes; returns done().
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 60000);
// Starts a D-Bus session daemon of the test's own in bus; its address, or ""
// when it did not start.
QString StartSessionBus(QProcess& bus);

}  // namespace uitest
