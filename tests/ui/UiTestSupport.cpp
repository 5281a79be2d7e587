#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <filesystem>

namespace uitest {

void IsolateSettings(const testutil::TempDir& dir) {
    for (const char* name : {"config", "cache", "state", "run"}) std::filesystem::create_directories(dir.file(name));
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
    setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
}

std::string SampleImage(const testutil::TempDir& dir, const std::string& name) {
    const std::string out = dir.file(name + ".img");
    testutil::MustRun("gunzip -c " + testutil::Quote(testutil::SourceDir() + "/samples/" + name + ".img.gz") + " > " +
                      testutil::Quote(out));
    return out;
}

std::string Quarlix(const std::string& arguments) {
    return testutil::MustRun(testutil::Quote(testutil::BinDir() + "/quarlix") + " " + arguments);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return done();
}

QString StartSessionBus(QProcess& bus) {
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted() || !WaitFor([&] { return bus.canReadLine(); }, 10000)) return {};
    return QString::fromUtf8(bus.readLine()).trimmed();
}

}  // namespace uitest
