#include "ui/UDisksAccess.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>
#include <fcntl.h>
#include <unistd.h>

#include "app/Log.h"
#include "platform/DeviceAccess.h"

namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr int kAnswerTimeoutMs = 5 * 60 * 1000;  // a person types a password

QString HowToGetAccess(const QString& device) {
    return QObject::tr("Cannot read %1: permission denied.\n\nRun the program with sudo, or add yourself to the "
                       "group 'disk' (sudo adduser $USER disk, then log in again).")
        .arg(device);
}

}  // namespace

BrokerAnswer OpenThroughUDisks(const QString& device, const QDBusConnection& bus) {
    BrokerAnswer a;
    if (!bus.isConnected()) {
        a.result = BrokerResult::NoService;
        a.message = HowToGetAccess(device);
        return a;
    }
    // Plain method calls (no introspection), waited for with the window's events going on.
    QDBusMessage resolve = QDBusMessage::createMethodCall(QString::fromLatin1(kService),
                                                          QStringLiteral("/org/freedesktop/UDisks2/Manager"),
                                                          QStringLiteral("org.freedesktop.UDisks2.Manager"),
                                                          QStringLiteral("ResolveDevice"));
    resolve << QVariantMap {{QStringLiteral("path"), device}} << QVariantMap();
    const QDBusMessage resolved = bus.call(resolve, QDBus::BlockWithGui);
    QList<QDBusObjectPath> objects;
    if (resolved.type() == QDBusMessage::ReplyMessage && !resolved.arguments().isEmpty())
        objects = qdbus_cast<QList<QDBusObjectPath>>(resolved.arguments().front());
    if (resolved.type() == QDBusMessage::ErrorMessage || objects.isEmpty()) {
        const bool absent = resolved.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                            resolved.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
        a.result = absent ? BrokerResult::NoService : BrokerResult::Failed;
        a.message = HowToGetAccess(device);
        LogWrite("UDisks2 does not know %s: %s\n", device.toUtf8().constData(),
                 resolved.errorMessage().toUtf8().constData());
        return a;
    }
    QDBusMessage open = QDBusMessage::createMethodCall(QString::fromLatin1(kService), objects.front().path(),
                                                       QStringLiteral("org.freedesktop.UDisks2.Block"),
                                                       QStringLiteral("OpenDevice"));
    open << QStringLiteral("r") << QVariantMap();
    const QDBusMessage opened = bus.call(open, QDBus::BlockWithGui, kAnswerTimeoutMs);
    if (opened.type() != QDBusMessage::ReplyMessage || opened.arguments().isEmpty()) {
        const bool declined = opened.errorName().startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
                              opened.errorName() == QLatin1String("org.freedesktop.UDisks2.Error.Cancelled");
        a.result = declined ? BrokerResult::Declined : BrokerResult::Failed;
        a.message = HowToGetAccess(device);
        LogWrite("UDisks2 did not open %s: %s\n", device.toUtf8().constData(), opened.errorName().toUtf8().constData());
        return a;
    }
    const QDBusUnixFileDescriptor fd = qdbus_cast<QDBusUnixFileDescriptor>(opened.arguments().front());
    const int own = fd.isValid() ? fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0 || !RegisterDeviceDescriptor(device.toStdString(), own)) {
        a.result = BrokerResult::Failed;
        a.message = HowToGetAccess(device);
        LogWrite("UDisks2 gave no read-only descriptor of %s\n", device.toUtf8().constData());
        return a;
    }
    a.result = BrokerResult::Opened;
    return a;
}
