// quarlix-gui: the window. Start-up in order: the settings folder and the
// profile, the scan-all switch, the log, the crash handler, the single
// instance, the main window and the event loop; shutdown in reverse.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>
#include <cstring>

#include "app/Log.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

int main(int argc, char** argv) {
    // --version answers without a display (a terminal, a package check).
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("quarlix-gui %s\n", QUARLIX_VERSION);
            return 0;
        }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarlix Recovery"));
    QApplication::setApplicationVersion(QStringLiteral(QUARLIX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quarlix-gui"));

    const std::string settings = PrepareSettings();
    SetScanAllClusters(HasScanAllSwitch(QApplication::arguments()));
    OpenGuiLog(settings);
    InstallCrashHandler(settings);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Finds and recovers deleted files on NTFS and FAT volumes."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("scan-all-clusters"), QStringLiteral("The surface scan examines every cluster.")});
    parser.addOption({QStringLiteral("no-devices"), QStringLiteral("Show only the images given, not this machine's drives.")});
    parser.addPositionalArgument(QStringLiteral("images"), QStringLiteral("Disk images or devices to open."), QStringLiteral("[IMAGE...]"));
    QStringList arguments = QApplication::arguments();
    arguments.removeIf([](const QString& a) { return a.compare(QLatin1String("/ssdebug"), Qt::CaseInsensitive) == 0; });
    parser.process(arguments);
    QStringList images;
    for (const QString& path : parser.positionalArguments()) images << QFileInfo(path).absoluteFilePath();

    int result = 1;
    {
        CSingleInstance instance(settings);
        if (!instance.Claim(images)) {
            LogWrite("Another window is running: the images were handed to it\n");
        } else {
            MainFrameOptions options;
            options.listDevices = !parser.isSet(QStringLiteral("no-devices"));
            CMainFrame window(options);
            QObject::connect(&instance, &CSingleInstance::activated, &window, [&window](const QStringList& paths) {
                window.OpenImages(paths);
                window.BringToFront();
            });
            window.show();
            window.OpenImages(images);
            if (!window.BrowsePage()->Drives().empty() && !images.isEmpty()) window.BrowsePage()->OpenDrive(0);
            result = QApplication::exec();
        }
    }
    RemoveCrashHandler();
    CLogFile::Instance().Close();
    return result;
}
