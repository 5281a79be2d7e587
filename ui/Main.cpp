// quarlix-gui: the window. Start-up in order: the settings folder and the
// profile, the scan-all switch, the log, the crash handler, the single
// instance, the main window and the event loop; shutdown in reverse.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>

#include "app/Log.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

namespace {

void AddOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral("Finds and recovers deleted files on NTFS, FAT and exFAT volumes."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("scan-all-clusters"), QStringLiteral("The surface scan examines every cluster.")});
    parser.addOption({QStringLiteral("no-devices"), QStringLiteral("Show only the images given, not this machine's drives.")});
    parser.addPositionalArgument(QStringLiteral("images"), QStringLiteral("Disk images or devices to open."), QStringLiteral("[IMAGE...]"));
}

// --help and --version answer before the application exists, so without a
// display too (a terminal over ssh, a package check): the platform plugin is
// only loaded by QApplication. Anything else is left to the full parse.
bool AnsweredWithoutDisplay(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    AddOptions(parser);
    parser.parse(arguments);  // an unknown option is reported by the full parse
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("quarlix-gui %s\n", QUARLIX_VERSION);
        return true;
    }
    // --help-all lists Qt's own options too, which only the application knows.
    if (!parser.isSet(QStringLiteral("help"))) return false;
    // Without an application the usage line names "<executable_name>".
    QString text = parser.helpText();
    text.replace(QLatin1String("<executable_name>"), QStringLiteral("quarlix-gui"));
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnsweredWithoutDisplay(argc, argv)) return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarlix Recovery"));
    QApplication::setApplicationVersion(QStringLiteral(QUARLIX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quarlix-gui"));

    const std::string settings = PrepareSettings();
    SetScanAllClusters(HasScanAllSwitch(QApplication::arguments()));
    OpenGuiLog(settings);
    InstallCrashHandler(settings);

    QCommandLineParser parser;
    AddOptions(parser);
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
