#include "ui/StartUp.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDataStream>
#include <QLocalSocket>
#include <QVariant>
#include <atomic>
#include <csignal>
#include <cstring>

#include "app/Log.h"
#include "app/Profile.h"
#include "platform/Paths.h"

namespace {

std::atomic<bool> g_scanAll {false};
char g_crashPath[4096] = {};
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void OnFatalSignal(int signal) {
    LogWrite("Exception. Generating crash report...\n");
    CLogFile::Instance().Close();
    if (g_crashPath[0]) {
        const int fd = ::open(g_crashPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            char line[64];
            const int n = std::snprintf(line, sizeof line, "signal %d\n", signal);
            if (n > 0) (void)!::write(fd, line, static_cast<size_t>(n));
            void* frames[64];
            const int count = backtrace(frames, 64);
            backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

bool HasScanAllSwitch(const QStringList& arguments) {
    const QString line = arguments.join(QLatin1Char(' ')).toLower();
    return line.contains(QLatin1String("/ssdebug")) || line.contains(QLatin1String("--scan-all-clusters"));
}

void SetScanAllClusters(bool on) { g_scanAll.store(on); }
bool ScanAllClusters() { return g_scanAll.load(); }

std::string PrepareSettings() {
    const std::string folder = SettingsFolder();
    CXMLProfile& profile = CXMLProfile::Instance();
    profile.SetPath(DefaultProfilePath());
    const bool made = EnsureFolder(folder);
    profile.Load();
    profile.WriteString("Application", "Version", QUARLIX_VERSION);
    if (made) profile.Save();
    return made ? folder : std::string();
}

bool OpenGuiLog(const std::string& settingsFolder) {
    if (settingsFolder.empty()) return false;
    CXMLProfile& profile = CXMLProfile::Instance();
    const int type = profile.ReadInt("Logging", "Type", settings::kLoggingTypeDefault);
    const int64_t maxSize = profile.ReadInt("Logging", "MaxLogSize", 51);
    const bool limited = profile.ReadInt("Logging", "LogSizeIsLimited", 1) != 0;
    return OpenProgramLog(type - 1, limited ? maxSize * 102400 : 0x40000000, QUARLIX_VERSION);
}

void InstallCrashHandler(const std::string& settingsFolder) {
    std::string path;
    if (!settingsFolder.empty()) {
        // Beside the log; the state folder when there is no log.
        const std::string& log = CLogFile::Instance().Path();
        const size_t slash = log.rfind('/');
        path = CLogFile::Instance().IsOpen() && slash != std::string::npos
                   ? log.substr(0, slash) + "/QuarlixRecovery-crash.txt"
                   : (EnsurePrivateFolder(StateFolder()) ? CrashReportPath() : std::string());
    }
    std::snprintf(g_crashPath, sizeof g_crashPath, "%s", path.c_str());
    // backtrace() loads its unwinder on first use: not inside a signal handler.
    void* warm[1];
    backtrace(warm, 1);
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int s : kFatalSignals) sigaction(s, &action, nullptr);
}

void RemoveCrashHandler() {
    for (int s : kFatalSignals) std::signal(s, SIG_DFL);
    g_crashPath[0] = 0;
}

CSingleInstance::CSingleInstance(const std::string& settingsFolder, QObject* parent) : QObject(parent) {
    const QString folder = QString::fromStdString(settingsFolder.empty() ? SettingsFolder() : settingsFolder);
    // One instance per settings folder: another user or profile is another instance.
    const QString key =
        QString::fromLatin1(QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    // The user's runtime folder (the state folder without one), never the
    // shared /tmp where Qt would put a bare socket name.
    const std::string runtime = RuntimeFolder();
    m_folderReady = EnsurePrivateFolder(runtime);
    const QString base = QString::fromStdString(runtime) + QStringLiteral("/quarlix-gui-") + key;
    m_lockPath = base + QStringLiteral(".lock");
    m_serverName = base + QStringLiteral(".socket");
}

CSingleInstance::~CSingleInstance() {
    if (m_server) m_server->close();
}

bool CSingleInstance::Claim(const QStringList& imagePaths) {
    if (!m_folderReady) {
        LogWrite("Cannot make the folder of the single-instance lock; this window runs on its own\n");
        return true;
    }
    m_lock = std::make_unique<QLockFile>(m_lockPath);
    m_lock->setStaleLockTime(0);  // a lock is stale only when its process is gone
    if (!m_lock->tryLock(100)) {
        QLocalSocket socket;
        socket.connectToServer(m_serverName);
        if (socket.waitForConnected(2000)) {
            QByteArray data;
            QDataStream out(&data, QIODevice::WriteOnly);
            out << imagePaths;
            socket.write(data);
            socket.waitForBytesWritten(2000);
            socket.disconnectFromServer();
        }
        return false;
    }
    m_server = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(m_serverName);  // left behind by a crashed first instance
    if (!m_server->listen(m_serverName))
        LogWrite("Cannot listen on %s: %s\n", qUtf8Printable(m_serverName), qUtf8Printable(m_server->errorString()));
    connect(m_server.get(), &QLocalServer::newConnection, this, &CSingleInstance::OnConnection);
    return true;
}

void CSingleInstance::OnConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // The whole list arrives before the sender disconnects; read it once.
            if (socket->property("read").toBool()) return;
            QDataStream in(socket);
            in.startTransaction();
            QStringList paths;
            in >> paths;
            if (!in.commitTransaction()) return;
            socket->setProperty("read", true);
            emit activated(paths);
        });
    }
}
