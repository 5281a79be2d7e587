// Opening a device the user may not read: a private D-Bus bus started by the
// test, with a stand-in UDisks2 service of the test's own that hands out a
// read-only descriptor of a fixture image (or declines). The window's source
// then reads the fixture through that descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTest>
#include <QTreeView>

#include "UiTestSupport.h"
#include "platform/DeviceAccess.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"
#include "ui/UDisksAccess.h"

namespace {

// The device node: an empty file, so that what is read can only come through
// the descriptor the service hands over.
std::string g_device;

class Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Manager")
public slots:
    QList<QDBusObjectPath> ResolveDevice(const QVariantMap& spec, const QVariantMap&) {
        if (spec.value(QStringLiteral("path")).toString().toStdString() != g_device) return {};
        return {QDBusObjectPath(QStringLiteral("/org/freedesktop/UDisks2/block_devices/quarlix0"))};
    }
};

class Block : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")
public:
    std::string image;
    bool decline = false;
    QString mode;
public slots:
    QDBusUnixFileDescriptor OpenDevice(const QString& m, const QVariantMap&) {
        mode = m;
        if (decline) {
            sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"),
                           QStringLiteral("The user dismissed the authentication dialog"));
            return {};
        }
        const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
        QDBusUnixFileDescriptor out(fd);  // duplicates it
        ::close(fd);
        return out;
    }
};

}  // namespace

class UDisksTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    QProcess m_bus;
    QString m_address;
    Manager m_manager;
    Block m_block;

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        if (!testutil::HaveTool("dbus-daemon")) {
            if (testutil::InCi()) QFAIL("dbus-daemon missing");
            QSKIP("dbus-daemon missing");
        }
        m_block.image = uitest::SampleImage(m_dir, "fat-sample");
        g_device = m_dir.file("sdz1");
        testutil::WriteFileBytes(g_device, {});
        m_address = uitest::StartSessionBus(m_bus);
        QVERIFY(!m_address.isEmpty());
        QDBusConnection server = QDBusConnection::connectToBus(m_address, QStringLiteral("udisks-service"));
        QVERIFY(server.isConnected());
        QVERIFY(server.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        QVERIFY(server.registerObject(QStringLiteral("/org/freedesktop/UDisks2/Manager"), &m_manager,
                                      QDBusConnection::ExportAllSlots));
        QVERIFY(server.registerObject(QStringLiteral("/org/freedesktop/UDisks2/block_devices/quarlix0"), &m_block,
                                      QDBusConnection::ExportAllSlots));
        PrepareSettings();
    }

    void cleanupTestCase() {
        ForgetDeviceDescriptor(g_device);
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void onlyReadOnlyDescriptorsAreKept() {
        const int rw = ::open(m_block.image.c_str(), O_RDWR | O_CLOEXEC);
        QVERIFY(rw >= 0);
        QVERIFY(!RegisterDeviceDescriptor("/dev/quarlix-rw", rw));  // closed, not kept
        QCOMPARE(DuplicateDeviceDescriptor("/dev/quarlix-rw"), -1);
    }

    void aDeviceOpensThroughTheDescriptorUDisksHandsOver() {
        QDBusConnection client = QDBusConnection::connectToBus(m_address, QStringLiteral("udisks-client"));
        // Declined: nothing registered, and the message says how to get access.
        m_block.decline = true;
        BrokerAnswer a = OpenThroughUDisks(QString::fromStdString(g_device), client);
        QCOMPARE(int(a.result), int(BrokerResult::Declined));
        QVERIFY(a.message.contains(QLatin1String("sudo")) && a.message.contains(QLatin1String("'disk'")));
        QCOMPARE(DuplicateDeviceDescriptor(g_device), -1);
        // A device UDisks2 does not know.
        a = OpenThroughUDisks(QStringLiteral("/dev/quarlix-unknown"), client);
        QCOMPARE(int(a.result), int(BrokerResult::Failed));
        // Granted: read-only, and the window reads the fixture through it.
        m_block.decline = false;
        a = OpenThroughUDisks(QString::fromStdString(g_device), client);
        QCOMPARE(int(a.result), int(BrokerResult::Opened));
        QCOMPARE(m_block.mode, QStringLiteral("r"));
        const int fd = DuplicateDeviceDescriptor(g_device);
        QVERIFY(fd >= 0);
        QCOMPARE(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
        ::close(fd);
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.AddSource(QString::fromStdString(g_device)));
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        bool budget = false;
        for (int r = 0; r < page.ListModel().rowCount(); ++r)
            budget = budget || page.ListModel().Name(r) == QLatin1String("Budget 2026.xls");
        QVERIFY(budget);
        // No UDisks2 on a bus: the same advice.
        QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"), QStringLiteral("none"));
        a = OpenThroughUDisks(QString::fromStdString(g_device), none);
        QCOMPARE(int(a.result), int(BrokerResult::NoService));
    }
};

QTEST_MAIN(UDisksTest)
#include "UDisksTest.moc"
