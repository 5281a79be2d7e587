// The browse page's file list: a table model over one listed folder (no
// widget item per row), six columns: name, size, type, created, modified,
// data status. Display texts are formatted; the sort role holds the raw
// values (bytes, FILETIMEs, percentages), so that sizes and dates sort by
// value.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QHash>
#include <QIcon>
#include <QMimeDatabase>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/FolderBrowse.h"
#include "engine/recovery/Preview.h"
#include "ui/Format.h"

enum FileListColumn { kColName, kColSize, kColType, kColCreated, kColModified, kColDataStatus, kFileListColumns };
// The search results' seventh column: the folder that held the item.
inline constexpr int kColFolder = kFileListColumns;

inline constexpr int kSortRole = Qt::UserRole + 1;
inline constexpr int kDeletedRole = Qt::UserRole + 2;    // bool
inline constexpr int kOverwrittenRole = Qt::UserRole + 3; // int percent, -1 when none is shown

// Type names and icons: the folder type, else the system's name for the
// extension (QMimeDatabase), else "<EXT> File". Cached per extension.
class CFileTypes {
public:
    QString TypeName(const QString& name, bool folder);
    QIcon Icon(const QString& name, bool folder);
    // The icon with the deleted emblem in its corner.
    QIcon DeletedIcon(const QString& name, bool folder);
    static QIcon LostFolderIcon();
    static QIcon RecycleBinIcon();
    static QIcon DriveIcon();

private:
    QMimeDatabase m_mime;
    QHash<QString, QString> m_names;
    QHash<QString, QIcon> m_icons;
    QHash<QString, QIcon> m_deletedIcons;
};

class CFileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CFileListModel(QObject* parent = nullptr);

    // Shows a listed folder (the rows are taken over); utcTimes as FileTimeToDateTime.
    void SetListing(const Container& folder, FolderListing listing, bool utcTimes);
    void Clear();
    // Search results: rows from many folders, appended as they come, with a
    // seventh column for the folder of each (utcTimes as in SetListing).
    void SetFolderColumn(bool on, bool utcTimes);
    void Append(std::vector<ListedItem> items, std::vector<QString> folders);
    const QString& FolderOf(int row) const { return m_folders[static_cast<size_t>(row)]; }
    const Container& Folder() const { return m_folder; }
    const FolderListing& Listing() const { return m_listing; }
    const ListedItem& Item(int row) const { return m_listing.items[static_cast<size_t>(row)]; }
    // The shown name of a row (lost folders: Folder<id>), and the same in
    // lower case as the name column sorts it; both made once per listing.
    const QString& Name(int row) const { return m_names[static_cast<size_t>(row)]; }
    const QString& SortName(int row) const { return m_sortNames[static_cast<size_t>(row)]; }

    // The drive the rows are of, for a drag of them (ItemDrag.h): its deleted
    // rows and virtual folders can be dragged.
    void SetDragSource(const QString& source, char16_t letter) {
        m_dragSource = source;
        m_dragLetter = letter;
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void AddName(const ListedItem& item);

    Container m_folder;
    FolderListing m_listing;
    std::vector<QString> m_names, m_sortNames;
    std::vector<QString> m_folders;  // with the folder column
    bool m_folderColumn = false;
    bool m_utc = true;
    QString m_dragSource;
    char16_t m_dragLetter = 0;
    mutable CFileTypes m_types;
};

// The window's item lists (browse, search results, scan finds): flat rows
// over the model, sorted by a header click, extended selection, movable
// columns, a context menu of the caller's.
void SetUpItemList(QTreeView& view, QAbstractItemModel& model);
// The list's selected deleted items can be dragged out (a copy).
void EnableItemDrag(QTreeView& view);
// A listed item as the preview takes it (name as shown; no path: the
// caller adds one when the item may have no id).
preview::PreviewItem ListedPreviewItem(const ListedItem& item, const QString& name);
// The source-model rows of a list's selection, in ascending order.
std::vector<int> SelectedSourceRows(const QTreeView& view, const QSortFilterProxyModel& proxy);

// A list's proxy with a filter of the caller's: a row it names is hidden.
class CRowFilterProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    using RowFilter = std::function<bool(int sourceRow)>;  // true: hidden
    void SetRowFilter(RowFilter hides) {
        m_hides = std::move(hides);
        invalidateFilter();
    }
    // The filter's answers may have changed.
    void RefreshFilter() {
        if (m_hides) invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& parent) const override {
        return !m_hides || parent.isValid() || !m_hides(sourceRow);
    }

private:
    RowFilter m_hides;
};

// Sorts by the raw values of the sort role, folders first.
class CFileSortProxy : public CRowFilterProxy {
    Q_OBJECT
public:
    using CRowFilterProxy::CRowFilterProxy;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

// The data status column: a thin bar whose length is the overwritten share
// (empty in a green frame at 0 %, amber fill for a part, red at 100 %) with
// the number beside it; the header's tooltip says so. The bar lies on a track
// of the list's base colour, also in a selected row, and its colours are
// brought to a contrast with that base (theme::StateColor).
// A time as the lists show it: the locale's short date and time, without
// seconds (the cell's tooltip has the full time).
QString FormatListTime(const QDateTime& time);
// The bar in a cell (textWidth kept for the number) and its filled part.
QRect DataStatusBar(const QRect& cell, int textWidth);
QRect DataStatusFill(const QRect& bar, int percent);
// Draws the bar itself (track, frame, fill) in the palette's state colours.
void PaintDataStatusBar(QPainter& painter, const QPalette& palette, const QRect& bar, int percent);
class CDataStatusDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
