#include "ui/FileListModel.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>

#include "platform/Text.h"
#include "ui/ItemDrag.h"
#include "ui/Texts.h"
#include "ui/Theme.h"

namespace {

QString Extension(const QString& name) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1).toLower() : QString();
}

QIcon Themed(const char* themeName, const char* fallback) {
    return QIcon::fromTheme(QLatin1String(themeName), QIcon(QLatin1String(fallback)));
}

}  // namespace

QString CFileTypes::TypeName(const QString& name, bool folder) {
    if (folder) return UiText(texts::kFolderType);
    const QString ext = Extension(name);
    auto it = m_names.find(ext);
    if (it != m_names.end()) return *it;
    QString type;
    if (!ext.isEmpty()) {
        const QMimeType mime = m_mime.mimeTypeForFile(QStringLiteral("x.") + ext, QMimeDatabase::MatchExtension);
        if (mime.isValid() && !mime.isDefault()) type = mime.comment();
    }
    if (type.isEmpty()) type = UiText(texts::kFileOfType).arg(ext.toUpper()).trimmed();
    m_names.insert(ext, type);
    return type;
}

QIcon CFileTypes::Icon(const QString& name, bool folder) {
    const QString key = folder ? QStringLiteral("/") : Extension(name);
    auto it = m_icons.find(key);
    if (it != m_icons.end()) return *it;
    QIcon icon;
    if (folder) {
        icon = Themed("folder", ":/icons/folder.svg");
    } else {
        const QMimeType mime = m_mime.mimeTypeForFile(QStringLiteral("x.") + key, QMimeDatabase::MatchExtension);
        icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
        if (icon.isNull()) icon = Themed("text-x-generic", ":/icons/file.svg");
    }
    m_icons.insert(key, icon);
    return icon;
}

QIcon CFileTypes::DeletedIcon(const QString& name, bool folder) {
    const QString key = folder ? QStringLiteral("/") : Extension(name);
    auto it = m_deletedIcons.find(key);
    if (it != m_deletedIcons.end()) return *it;
    QIcon out;
    const QIcon base = Icon(name, folder);
    const QIcon emblem(QStringLiteral(":/icons/deleted.svg"));
    for (int size : {16, 22, 32, 48}) {
        QPixmap pixmap = base.pixmap(size, size);
        if (pixmap.isNull()) pixmap = QPixmap(size, size), pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        const int e = std::max(8, size / 2);
        emblem.paint(&p, size - e, size - e, e, e);
        out.addPixmap(pixmap);
    }
    m_deletedIcons.insert(key, out);
    return out;
}

QIcon CFileTypes::LostFolderIcon() { return QIcon(QStringLiteral(":/icons/lostfolder.svg")); }
QIcon CFileTypes::RecycleBinIcon() { return Themed("user-trash", ":/icons/recyclebin.svg"); }
QIcon CFileTypes::DriveIcon() { return Themed("drive-harddisk", ":/icons/drive.svg"); }

CFileListModel::CFileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void CFileListModel::SetListing(const Container& folder, FolderListing listing, bool utcTimes) {
    beginResetModel();
    m_folder = folder;
    m_listing = std::move(listing);
    m_utc = utcTimes;
    m_names.clear();
    m_sortNames.clear();
    m_folders.clear();
    m_names.reserve(m_listing.items.size());
    m_sortNames.reserve(m_listing.items.size());
    for (const ListedItem& item : m_listing.items) AddName(item);
    m_folders.resize(m_listing.items.size());
    endResetModel();
}

void CFileListModel::AddName(const ListedItem& item) {
    QString name = item.deleted && item.lost && item.info.name.empty()
                       ? UiText(texts::kLostFolderName).arg(item.info.id)
                       : QString::fromUtf16(item.info.name.data(), static_cast<qsizetype>(item.info.name.size()));
    m_sortNames.push_back(name.toLower());
    m_names.push_back(std::move(name));
}

void CFileListModel::SetFolderColumn(bool on, bool utcTimes) {
    beginResetModel();
    m_folderColumn = on;
    m_utc = utcTimes;
    endResetModel();
}

void CFileListModel::Append(std::vector<ListedItem> items, std::vector<QString> folders) {
    if (items.empty()) return;
    folders.resize(items.size());
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(items.size()) - 1);
    for (size_t i = 0; i < items.size(); ++i) {
        AddName(items[i]);
        m_folders.push_back(std::move(folders[i]));
        m_listing.items.push_back(std::move(items[i]));
    }
    endInsertRows();
}

void CFileListModel::Clear() { SetListing(Container {}, FolderListing {}, true); }

Qt::ItemFlags CFileListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.row() < rowCount() && m_dragLetter) {
        const ListedItem& item = Item(index.row());
        if (item.deleted || item.virtualFolder) f |= Qt::ItemIsDragEnabled;
    }
    return f;
}

QStringList CFileListModel::mimeTypes() const { return {QString::fromLatin1(kItemsMimeType)}; }

QMimeData* CFileListModel::mimeData(const QModelIndexList& indexes) const {
    std::vector<int> rows;
    for (const QModelIndex& index : indexes)
        if (index.isValid() && index.row() < rowCount()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<SelectedRow> selected;
    for (int row : rows) selected.push_back({&Item(row), Name(row)});
    if (selected.empty() || !m_dragLetter) return nullptr;
    return ItemsMimeData(m_dragSource, m_dragLetter, selected);
}

int CFileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(m_listing.items.size(), INT32_MAX));
}

int CFileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kFileListColumns + (m_folderColumn ? 1 : 0);
}

QVariant CFileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ListedItem& item = Item(index.row());
    const bool folder = item.IsFolder();
    const int column = index.column();
    const bool unknown = item.deleted && !folder && item.info.dataStatus == kDataStatusUnknown;
    const bool hasStatus = item.deleted && !folder && !unknown;
    switch (role) {
        case Qt::DisplayRole:
            switch (column) {
                case kColName:
                    if (item.virtualFolder)
                        return UiText(item.info.name == u"$LostFolders" ? texts::kLostFolders : texts::kRecycleBin);
                    return Name(index.row());
                case kColSize: return folder ? QString() : HumanSize(item.info.size);
                case kColType: return m_types.TypeName(Name(index.row()), folder);
                case kColCreated: return FormatListTime(FileTimeToDateTime(item.info.creationTime, m_utc));
                case kColModified: return FormatListTime(FileTimeToDateTime(item.info.modificationTime, m_utc));
                case kColDataStatus:
                    if (unknown) return QStringLiteral(" ?");
                    return hasStatus && item.info.dataStatus != 0 ? QStringLiteral(" %1%").arg(item.info.dataStatus)
                                                                  : QString();
                case kColFolder: return FolderOf(index.row());
            }
            return {};
        case kSortRole:
            switch (column) {
                case kColName: return SortName(index.row());
                case kColSize: return QVariant::fromValue<qulonglong>(item.info.size);
                case kColType: return m_types.TypeName(Name(index.row()), folder).toLower();
                case kColCreated: return QVariant::fromValue<qulonglong>(item.info.creationTime);
                case kColModified: return QVariant::fromValue<qulonglong>(item.info.modificationTime);
                case kColDataStatus: return hasStatus ? item.info.dataStatus : -1;
                case kColFolder: return FolderOf(index.row()).toLower();
            }
            return {};
        case Qt::DecorationRole:
            if (column != kColName) return {};
            if (item.virtualFolder)
                return item.info.name == u"$LostFolders" ? CFileTypes::LostFolderIcon() : CFileTypes::RecycleBinIcon();
            if (item.lostFolder) return CFileTypes::LostFolderIcon();
            return item.deleted ? m_types.DeletedIcon(Name(index.row()), folder) : m_types.Icon(Name(index.row()), folder);
        case Qt::TextAlignmentRole:
            if (column == kColSize) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        case Qt::ToolTipRole:
            // The list's times leave the seconds out; the tooltip has them.
            if (column == kColCreated) return FormatFileTime(item.info.creationTime, m_utc);
            if (column == kColModified) return FormatFileTime(item.info.modificationTime, m_utc);
            if (column == kColType) return m_types.TypeName(Name(index.row()), folder);
            if (column == kColName && item.deleted)
                return folder    ? tr("Deleted folder")
                       : unknown ? tr("Deleted file; how much of it is overwritten is not known: the drive could "
                                      "not give its FAT entries")
                                 : tr("Deleted file, %1% overwritten").arg(item.info.dataStatus);
            return {};
        case kDeletedRole: return item.deleted;
        case kOverwrittenRole: return hasStatus ? item.info.dataStatus : -1;
    }
    return {};
}

QVariant CFileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole && section == kColDataStatus)
        return tr("How much of a deleted file other files have overwritten. The bar's length is the overwritten "
                  "share: empty (0%) means the file's data is all there; a full red bar (100%) means none of it "
                  "is left. \"?\": not known.");
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case kColName: return tr("Name");
        case kColSize: return tr("Size");
        case kColType: return tr("Type");
        case kColCreated: return tr("Created");
        case kColModified: return tr("Modified");
        case kColDataStatus: return tr("Data status");
        case kColFolder: return tr("Folder");
    }
    return {};
}

QString FormatListTime(const QDateTime& time) {
    if (!time.isValid()) return QString();
    const QLocale locale;
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?"));
    QString format = locale.timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return locale.toString(time, locale.dateFormat(QLocale::ShortFormat) + QLatin1Char(' ') + format);
}

void SetUpItemList(QTreeView& view, QAbstractItemModel& model) {
    view.setModel(&model);
    view.setRootIsDecorated(false);
    view.setUniformRowHeights(true);
    view.setSortingEnabled(true);
    view.setAllColumnsShowFocus(true);
    view.setSelectionMode(QAbstractItemView::ExtendedSelection);
    view.header()->setSectionsMovable(true);
    view.setContextMenuPolicy(Qt::CustomContextMenu);
}

void EnableItemDrag(QTreeView& view) {
    view.setDragEnabled(true);
    view.setDragDropMode(QAbstractItemView::DragOnly);
    view.setDefaultDropAction(Qt::CopyAction);
}

preview::PreviewItem ListedPreviewItem(const ListedItem& item, const QString& name) {
    preview::PreviewItem p;
    p.name = name.toStdU16String();
    p.size = item.info.size;
    p.attributes = item.info.attributes;
    p.id = static_cast<uint32_t>(item.info.id);
    p.existing = !item.deleted;
    return p;
}

std::vector<int> SelectedSourceRows(const QTreeView& view, const QSortFilterProxyModel& proxy) {
    std::vector<int> rows;
    for (const QModelIndex& i : view.selectionModel()->selectedRows()) rows.push_back(proxy.mapToSource(i).row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool CFileSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    auto* model = qobject_cast<const CFileListModel*>(sourceModel());
    if (model) {
        const bool lf = model->Item(left.row()).IsFolder(), rf = model->Item(right.row()).IsFolder();
        if (lf != rf) return sortOrder() == Qt::AscendingOrder ? lf : rf;
        if (left.column() == kColName) return model->SortName(left.row()) < model->SortName(right.row());
    }
    const QVariant a = left.data(kSortRole), b = right.data(kSortRole);
    if (a.typeId() == QMetaType::QString) return QString::localeAwareCompare(a.toString(), b.toString()) < 0;
    if (a.typeId() == QMetaType::Int) return a.toInt() < b.toInt();
    return a.toULongLong() < b.toULongLong();
}

QRect DataStatusBar(const QRect& cell, int textWidth) {
    return QRect(cell.left(), cell.center().y() - 3, std::max(10, cell.width() - textWidth), 6);
}

QRect DataStatusFill(const QRect& bar, int percent) {
    const int inner = bar.width() - 2;
    const int length = inner * std::clamp(percent, 0, 100) / 100;
    return QRect(bar.left() + 1, bar.top() + 1, length, bar.height() - 2);
}

void PaintDataStatusBar(QPainter& painter, const QPalette& palette, const QRect& bar, int percent) {
    // Nothing overwritten: an empty bar in a green frame; else the bar fills
    // with the overwritten share, amber for a part, red for all of it. The
    // track has the base colour the state colours are made to stand out on.
    const QColor base = palette.color(QPalette::Base);
    painter.fillRect(bar, base);
    painter.setPen(percent == 0 ? theme::StateColor(palette, theme::State::Intact)
                                : theme::Mix(base, palette.color(QPalette::Text), 0.4));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(bar.adjusted(0, 0, -1, -1));
    const QRect filled = DataStatusFill(bar, percent);
    if (!filled.isEmpty())
        painter.fillRect(filled, theme::StateColor(palette, percent >= 100 ? theme::State::Lost : theme::State::Part));
}

void CDataStatusDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int percent = index.data(kOverwrittenRole).toInt();
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    if (percent < 0) return;
    const QRect r = option.rect.adjusted(4, 0, -4, 0);
    const int textWidth = option.fontMetrics.horizontalAdvance(QStringLiteral("100%")) + 6;
    const QRect bar = DataStatusBar(r, textWidth);
    painter->save();
    PaintDataStatusBar(*painter, option.palette, bar, percent);
    painter->setPen(option.state & QStyle::State_Selected ? option.palette.color(QPalette::HighlightedText)
                                                          : option.palette.color(QPalette::Text));
    painter->drawText(QRect(bar.right() + 4, r.top(), textWidth, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      QStringLiteral("%1%").arg(percent));
    painter->restore();
}
