#include "UiTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <filesystem>

namespace uitest {

void IsolateSettings(const testutil::TempDir& dir) {
    std::filesystem::create_directories(dir.file("config"));
    std::filesystem::create_directories(dir.file("cache"));
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
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

}  // namespace uitest
