#include "ui/Format.h"

#include <QDir>
#include <QLocale>
#include <QTimeZone>
#include <algorithm>

namespace {
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601
}

QDateTime FileTimeToDateTime(uint64_t fileTime, bool utc) {
    if (fileTime == 0 || fileTime < static_cast<uint64_t>(kFileTimeUnixEpoch) / 2) return {};
    const int64_t ms = (static_cast<int64_t>(fileTime) - kFileTimeUnixEpoch) / 10000;
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
    // A wall-clock time keeps its digits: there is no zone to convert from.
    return utc ? t.toLocalTime() : t;
}

QString FormatFileTime(uint64_t fileTime, bool utc) {
    const QDateTime t = FileTimeToDateTime(fileTime, utc);
    if (!t.isValid()) return QString();
    return QLocale().toString(t, QLocale::ShortFormat);
}

QString HumanSize(uint64_t bytes) {
    return QLocale().formattedDataSize(static_cast<qint64>(std::min<uint64_t>(bytes, INT64_MAX)), 1,
                                       QLocale::DataSizeSIFormat);
}

QString ResolveTypedPath(const QString& typed, bool* relative) {
    if (relative) *relative = false;
    const QString t = typed.trimmed();
    if (t.isEmpty()) return QString();
    const QDir home = QDir::home();
    if (t == QLatin1String("~")) return QDir::cleanPath(home.absolutePath());
    if (t.startsWith(QLatin1String("~/"))) return QDir::cleanPath(home.absoluteFilePath(t.mid(2)));
    if (relative) *relative = QDir::isRelativePath(t);
    return QDir::cleanPath(home.absoluteFilePath(t));  // an absolute path stays as it is
}
