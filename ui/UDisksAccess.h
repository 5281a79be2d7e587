// Reading a block device without the right to open it: UDisks2, over the
// system bus, hands a read-only descriptor of it (Block.OpenDevice with mode
// "r"; polkit asks the user). The descriptor is registered for the device's
// path, so that the ordinary source opening reads through it.
#pragma once

#include <QDBusConnection>
#include <QString>

enum class BrokerResult { Opened, NoService, Declined, Failed };

struct BrokerAnswer {
    BrokerResult result = BrokerResult::Failed;
    QString message;  // for the user: what happened and what to do
};

// Waits for the answer (the password dialog may take a while) while the
// window's events go on.
BrokerAnswer OpenThroughUDisks(const QString& device, const QDBusConnection& bus);
