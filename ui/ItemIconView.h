// The lists' second face: the same rows as thumbnails in a grid. The icon
// view sits over the detail list's model and shares its selection and current
// row, so that every command of the page works on what is selected in either.
// Pictures show a thumbnail (CThumbnailLoader) made only for the rows in
// view; other rows show their type icon. A deleted row carries the deleted
// mark and the data status bar (green frame intact, amber part, red all
// overwritten). A bar above the grid hides pictures below a minimum width,
// height or file size.
#pragma once

#include <QListView>
#include <QSet>
#include <QStyledItemDelegate>
#include <QTimer>
#include <functional>

#include "ui/FileListModel.h"
#include "ui/Thumbnails.h"

class QLabel;
class QSpinBox;
class QTreeView;

// A source row's thumbnail request; false when the row is no picture.
using ThumbnailItemFn = std::function<bool(int sourceRow, ThumbnailRequest& out)>;

class CItemIconView : public QListView {
    Q_OBJECT
public:
    CItemIconView(QTreeView& details, CRowFilterProxy& proxy, CThumbnailLoader& loader, ThumbnailItemFn item,
                  QWidget* parent);
    // The request of a view row; false when it is no picture.
    bool RequestOf(const QModelIndex& index, ThumbnailRequest& out) const;
    bool RequestOfSource(int sourceRow, ThumbnailRequest& out) const { return m_item && m_item(sourceRow, out); }
    CThumbnailLoader& Loader() const { return m_loader; }
    CRowFilterProxy& Proxy() const { return m_proxy; }
    // The rows in view at the last paint (view rows).
    const std::vector<int>& RowsInView() const { return m_rowsInView; }
    // The rect of a view row's thumbnail within its cell.
    static QRect ThumbnailArea(const QRect& cell);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void FindRowsInView();

    CRowFilterProxy& m_proxy;
    CThumbnailLoader& m_loader;
    ThumbnailItemFn m_item;
    std::vector<int> m_rowsInView;
    QSet<QString> m_keysInView;
};

class CThumbnailDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit CThumbnailDelegate(CItemIconView* view) : QStyledItemDelegate(view), m_view(view) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    CItemIconView* m_view;
};

// The icon view with its picture filter above it.
class CItemIconPane : public QWidget {
    Q_OBJECT
public:
    CItemIconPane(QTreeView& details, CRowFilterProxy& proxy, CThumbnailLoader& loader, ThumbnailItemFn item,
                  QWidget* parent);
    CItemIconView* View() const { return m_view; }
    // Pictures narrower than minWidth, lower than minHeight or smaller than
    // minBytes are hidden (0: no limit). A picture whose size is not read yet
    // stays until its header tells it.
    void SetPictureFilter(int minWidth, int minHeight, qint64 minBytes);
    // The filter holds only while the icon view is shown.
    void SetFilterActive(bool on);
    // Whether the filter hides a source row now.
    bool Hides(int sourceRow) const;
    // The rows' sizes are read for the filter (the list changed).
    void ProbeSizes();

private:
    void ApplyFilter();

    CItemIconView* m_view = nullptr;
    QSpinBox* m_minWidth = nullptr;
    QSpinBox* m_minHeight = nullptr;
    QSpinBox* m_minKb = nullptr;
    QLabel* m_hiddenCount = nullptr;
    int m_width = 0, m_height = 0;
    qint64 m_bytes = 0;
    bool m_active = false;
    bool m_filtering = false;
    QTimer m_refilter;
    QTimer m_reprobe;
};
