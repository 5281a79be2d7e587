#include "ui/ItemDrag.h"

#include <QDBusConnection>
#include <QDataStream>
#include <QTimer>
#include <QUrl>
#include <QIODevice>
#include <QMessageBox>
#include <QMimeData>

#include "ui/BrowsePage.h"
#include "ui/Texts.h"

namespace {
constexpr quint32 kFormat = 1;
constexpr quint32 kMaxItems = 10000000;  // bound of what a drag's data may claim
}  // namespace

QMimeData* ItemsMimeData(const QString& source, char16_t letter, const std::vector<SelectedRow>& rows) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << kFormat << source << quint16(letter) << quint32(rows.size());
    for (const SelectedRow& row : rows) {
        const ListedItem& item = *row.item;
        out << quint32(item.info.id) << quint32(item.info.attributes) << quint64(item.info.size)
            << QString::fromStdU16String(item.info.name) << row.name << item.deleted << item.lost << item.lostFolder
            << item.virtualFolder;
    }
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kItemsMimeType), bytes);
    CDragExport::Instance().Offer(*data);
    return data;
}

namespace {
constexpr const char* kDragObjectPath = "/org/quarlix/DraggedItems";
}  // namespace

CDragExport& CDragExport::Instance() {
    static CDragExport* instance = new CDragExport;  // lives as long as the bus connection may call it
    return *instance;
}

void CDragExport::Offer(QMimeData& data) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    if (!m_registered)
        m_registered = bus.registerObject(QString::fromLatin1(kDragObjectPath), this, QDBusConnection::ExportScriptableSlots);
    if (!m_registered) return;
    m_items = data.data(QString::fromLatin1(kItemsMimeType));
    data.setData(QString::fromLatin1(kDndServiceMimeType), bus.baseService().toUtf8());
    data.setData(QString::fromLatin1(kDndPathMimeType), QByteArray(kDragObjectPath));
}

void CDragExport::extractSelectedFilesTo(const QString& folder) {
    const QUrl url(folder);
    const QString path = url.isLocalFile() ? url.toLocalFile() : folder;
    if (m_items.isEmpty() || !m_recover || path.isEmpty() || !path.startsWith(QLatin1Char('/'))) return;
    // After the call has returned: the recovery asks and shows its progress in dialogs of its own.
    QTimer::singleShot(0, this, [this, items = m_items, path] {
        QMimeData data;
        data.setData(QString::fromLatin1(kItemsMimeType), items);
        if (m_recover) m_recover(data, path);
    });
}

bool DecodeDraggedItems(const QMimeData& data, DraggedItems& out) {
    if (!data.hasFormat(QString::fromLatin1(kItemsMimeType))) return false;
    QDataStream in(data.data(QString::fromLatin1(kItemsMimeType)));
    quint32 format = 0, count = 0;
    quint16 letter = 0;
    in >> format >> out.source >> letter >> count;
    if (in.status() != QDataStream::Ok || format != kFormat || count > kMaxItems) return false;
    out.letter = letter;
    for (quint32 i = 0; i < count; ++i) {
        ListedItem item;
        quint32 id = 0, attributes = 0;
        quint64 size = 0;
        QString infoName, name;
        in >> id >> attributes >> size >> infoName >> name >> item.deleted >> item.lost >> item.lostFolder >>
            item.virtualFolder;
        if (in.status() != QDataStream::Ok) return false;
        item.info.id = id;
        item.info.attributes = attributes;
        item.info.size = size;
        item.info.name = infoName.toStdU16String();
        out.items.push_back(std::move(item));
        out.names.push_back(name);
    }
    return true;
}

bool RecoverDroppedItems(QWidget* parent, const QMimeData& data, const QString& folder,
                         const std::vector<GuiDrive>& drives, UsageStatistics& statistics) {
    DraggedItems dragged;
    if (!DecodeDraggedItems(data, dragged)) return false;
    const GuiDrive* drive = nullptr;
    for (const GuiDrive& d : drives)
        if (d.letter == dragged.letter && d.source == dragged.source && d.volume) drive = &d;
    if (!drive) return false;  // the drive was closed since
    RecoverSelection selection;
    selection.volume = drive->volume;
    selection.sourcePath = drive->source.toStdString();
    std::vector<SelectedRow> rows;
    for (size_t i = 0; i < dragged.items.size(); ++i) rows.push_back({&dragged.items[i], dragged.names[i]});
    AddSelectedRows(selection, rows);
    if (selection.items.empty()) {
        QMessageBox::information(parent, UiText(texts::kCaption),
                                 selection.leftOut.isEmpty() ? QObject::tr("Nothing deleted was dropped.")
                                                             : selection.leftOut);
        return false;
    }
    return RecoverDroppedSelection(parent, selection, folder, statistics);
}
