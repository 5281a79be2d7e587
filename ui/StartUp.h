// Bringing the window's process up and down: the settings folder and the
// profile, the scan-all switch, the log with its header, the crash handler
// and the single-instance rule. Main.cpp runs them in that order, then the
// main window and the event loop; shutdown runs in reverse.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>
#include <memory>
#include <string>

// "/ssdebug" anywhere in the command line, without regard to case (also as
// part of a longer word), or its Linux spelling --scan-all-clusters: the
// surface scan then examines every cluster, not only free ones.
bool HasScanAllSwitch(const QStringList& arguments);
void SetScanAllClusters(bool on);
bool ScanAllClusters();

// The settings folder (created when missing) and the profile in it: loaded,
// Application/Version written, saved. Returns the folder ("" when it cannot
// be made: defaults are used and nothing is saved).
std::string PrepareSettings();
// The log in the state folder by the Logging settings, with the start-up
// header (OpenProgramLog: the log and crash report of earlier versions move
// there from the settings folder first); false when logging is off, the file
// cannot be opened, or settingsFolder is "" (the settings could not be made).
bool OpenGuiLog(const std::string& settingsFolder);
// A fatal signal logs "Exception. Generating crash report...", writes a
// backtrace to QuarlixRecovery-crash.txt beside the log (in the state folder
// when there is no log; none when settingsFolder is ""), closes the log and
// lets the signal end the process.
void InstallCrashHandler(const std::string& settingsFolder);
void RemoveCrashHandler();

// One window per user and settings folder: the first instance holds a lock
// file and listens on a socket, both in the runtime folder ($XDG_RUNTIME_DIR,
// else the state folder); a later one hands its image paths to the first,
// which comes to the front, and exits with 1.
class CSingleInstance : public QObject {
    Q_OBJECT
public:
    explicit CSingleInstance(const std::string& settingsFolder, QObject* parent = nullptr);
    ~CSingleInstance() override;
    // True for the first instance (it now listens); false when another one
    // runs, after the paths were handed to it.
    bool Claim(const QStringList& imagePaths);

signals:
    // The first instance: another start asked to open these images.
    void activated(const QStringList& imagePaths);

private:
    void OnConnection();
    QString m_lockPath;
    QString m_serverName;  // the socket's full path
    bool m_folderReady = false;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
};
