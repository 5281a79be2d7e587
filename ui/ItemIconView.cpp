#include "ui/ItemIconView.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QSpinBox>
#include <QTreeView>
#include <QVBoxLayout>

#include "ui/Theme.h"

namespace {

constexpr int kCellMargin = 6;
constexpr int kStatusBarHeight = 6;

}  // namespace

CItemIconView::CItemIconView(QTreeView& details, CRowFilterProxy& proxy, CThumbnailLoader& loader,
                             ThumbnailItemFn item, QWidget* parent)
    : QListView(parent), m_proxy(proxy), m_loader(loader), m_item(std::move(item)) {
    setModel(details.model());
    setSelectionModel(details.selectionModel());
    setViewMode(QListView::IconMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setMovement(QListView::Static);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setDragEnabled(details.dragEnabled());
    setDragDropMode(details.dragEnabled() ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
    setDefaultDropAction(Qt::CopyAction);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setItemDelegate(new CThumbnailDelegate(this));
    const int text = fontMetrics().height();
    setGridSize(QSize(kThumbnailSide + 2 * kCellMargin + 8, kThumbnailSide + 2 * kCellMargin + text + 6));
    verticalScrollBar()->setSingleStep(gridSize().height() / 4);
    connect(&m_loader, &CThumbnailLoader::ready, this, [this](const QString& key) {
        if (m_keysInView.contains(key)) viewport()->update();
    });
    // The detail list's commands answer here too: activation, its context
    // menu (at the same place on the screen), its shortcuts (Space).
    connect(this, &QAbstractItemView::activated, &details, &QAbstractItemView::activated);
    connect(this, &QWidget::customContextMenuRequested, &details, [this, &details](const QPoint& at) {
        emit details.customContextMenuRequested(details.viewport()->mapFromGlobal(viewport()->mapToGlobal(at)));
    });
    addActions(details.actions());
    // A row the page makes current (Show item, a search hit) comes into view.
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (isVisible() && current.isValid()) scrollTo(current);
    });
}

QRect CItemIconView::ThumbnailArea(const QRect& cell) {
    return QRect(cell.x() + (cell.width() - kThumbnailSide) / 2, cell.y() + kCellMargin, kThumbnailSide, kThumbnailSide);
}

bool CItemIconView::RequestOf(const QModelIndex& index, ThumbnailRequest& out) const {
    if (!index.isValid() || !m_item) return false;
    const QModelIndex source = m_proxy.mapToSource(index);
    return source.isValid() && m_item(source.row(), out);
}

void CItemIconView::FindRowsInView() {
    m_rowsInView.clear();
    m_keysInView.clear();
    const int rows = m_proxy.rowCount();
    if (rows == 0) return;
    const int height = viewport()->height();
    // The rows lie in order, line by line: the first whose cell reaches into
    // view, then on while the cells start above the view's bottom.
    int lo = 0, hi = rows;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (visualRect(m_proxy.index(mid, 0)).bottom() < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    for (int r = lo; r < rows; ++r) {
        const QRect cell = visualRect(m_proxy.index(r, 0));
        if (cell.top() >= height) break;
        m_rowsInView.push_back(r);
    }
}

void CItemIconView::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    FindRowsInView();
    std::vector<ThumbnailRequest> wanted;
    for (int r : m_rowsInView) {
        ThumbnailRequest request;
        if (!RequestOf(m_proxy.index(r, 0), request)) continue;
        m_keysInView.insert(request.key);
        // Queued ones too: Want replaces the queue, and a row left out of it
        // would wait for a paint that nothing brings (Want skips those
        // already on their way).
        const CThumbnailLoader::State state = m_loader.StateOf(request.key);
        if (state == CThumbnailLoader::State::None || state == CThumbnailLoader::State::Queued)
            wanted.push_back(std::move(request));
    }
    // Only what is in view now waits: rows scrolled past leave the queue.
    m_loader.Want(std::move(wanted));
}

QSize CThumbnailDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    return m_view->gridSize() - QSize(4, 4);
}

void CThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QString name = opt.text;
    opt.text.clear();
    opt.icon = QIcon();
    opt.features &= ~QStyleOptionViewItem::HasDecoration;
    opt.showDecorationSelected = true;  // the whole cell shows the selection
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, opt.widget);

    painter->save();
    const QRect area = CItemIconView::ThumbnailArea(option.rect);
    ThumbnailRequest request;
    const QImage* thumbnail = nullptr;
    if (m_view->RequestOf(index, request)) thumbnail = m_view->Loader().Find(request.key);
    QRect picture;
    if (thumbnail) {
        const QSize s = thumbnail->size().scaled(area.size(), Qt::KeepAspectRatio).boundedTo(thumbnail->size());
        picture = QRect(area.x() + (area.width() - s.width()) / 2, area.y() + (area.height() - s.height()) / 2,
                        s.width(), s.height());
        painter->drawImage(picture, *thumbnail);
        painter->setPen(theme::Mix(option.palette.color(QPalette::Base), option.palette.color(QPalette::Text), 0.3));
        painter->drawRect(picture.adjusted(0, 0, -1, -1));
    } else {
        const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
        const int side = kThumbnailSide / 2;
        picture = QRect(area.center().x() - side / 2, area.center().y() - side / 2, side, side);
        icon.paint(painter, picture);
    }

    // The data status: the deleted mark on the picture's corner, the
    // overwritten share's bar under it.
    if (index.data(kDeletedRole).toBool() && thumbnail) {
        static const QIcon deleted(QStringLiteral(":/icons/deleted.svg"));
        deleted.paint(painter, QRect(std::max(option.rect.left() + 1, picture.left() - 6),
                                     std::max(option.rect.top() + 1, picture.top() - 6), 16, 16));
    }
    const int percent = index.data(kDeletedRole).toBool() ? index.data(kOverwrittenRole).toInt() : -1;
    if (percent >= 0) {
        const int width = std::clamp(picture.width(), 48, kThumbnailSide * 2 / 3);
        const QRect bar(area.center().x() - width / 2, std::min(picture.bottom() + 4, area.bottom() - kStatusBarHeight),
                        width, kStatusBarHeight);
        PaintDataStatusBar(*painter, option.palette, bar, percent);
    }

    const QRect text(option.rect.left() + 2, area.bottom() + 4, option.rect.width() - 4,
                     option.rect.bottom() - area.bottom() - 4);
    painter->setPen(option.state & QStyle::State_Selected ? option.palette.color(QPalette::HighlightedText)
                                                          : option.palette.color(QPalette::Text));
    painter->setFont(option.font);
    painter->drawText(text, Qt::AlignHCenter | Qt::AlignTop,
                      option.fontMetrics.elidedText(name, Qt::ElideMiddle, text.width()));
    painter->restore();
}

CItemIconPane::CItemIconPane(QTreeView& details, CRowFilterProxy& proxy, CThumbnailLoader& loader,
                             ThumbnailItemFn item, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    // The filter's row never widens the page: on a narrow window it is cut at the right.
    auto* filterRow = new QWidget(this);
    filterRow->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    auto* bar = new QHBoxLayout(filterRow);
    bar->setContentsMargins(4, 2, 4, 2);
    auto* label = new QLabel(tr("Hide pictures smaller than"), this);
    auto spin = [this](int maximum, const QString& suffix, const QString& accessible) {
        auto* s = new QSpinBox(this);
        s->setRange(0, maximum);
        s->setSpecialValueText(tr("any"));
        s->setSuffix(suffix);
        s->setAccessibleName(accessible);
        s->setKeyboardTracking(false);
        return s;
    };
    m_minWidth = spin(100000, tr(" px wide"), tr("Smallest picture width"));
    m_minWidth->setObjectName(QStringLiteral("minPictureWidth"));
    m_minHeight = spin(100000, tr(" px high"), tr("Smallest picture height"));
    m_minHeight->setObjectName(QStringLiteral("minPictureHeight"));
    m_minKb = spin(10000000, tr(" KB"), tr("Smallest picture file size"));
    m_minKb->setObjectName(QStringLiteral("minPictureSize"));
    label->setBuddy(m_minWidth);
    bar->addWidget(label);
    bar->addWidget(m_minWidth);
    bar->addWidget(new QLabel(tr("or"), this));
    bar->addWidget(m_minHeight);
    bar->addWidget(new QLabel(tr("or"), this));
    bar->addWidget(m_minKb);
    m_hiddenCount = new QLabel(this);
    m_hiddenCount->setObjectName(QStringLiteral("hiddenPictures"));
    bar->addSpacing(8);
    bar->addWidget(m_hiddenCount);
    bar->addStretch(1);
    layout->addWidget(filterRow);
    m_view = new CItemIconView(details, proxy, loader, std::move(item), this);
    layout->addWidget(m_view, 1);
    auto changed = [this] {
        SetPictureFilter(m_minWidth->value(), m_minHeight->value(), static_cast<qint64>(m_minKb->value()) * 1000);
    };
    for (QSpinBox* s : {m_minWidth, m_minHeight, m_minKb})
        connect(s, qOverload<int>(&QSpinBox::valueChanged), this, changed);
    m_refilter.setSingleShot(true);
    m_refilter.setInterval(250);
    connect(&m_refilter, &QTimer::timeout, this, [this] { m_view->Proxy().RefreshFilter(); });
    // How many the filter hides, said beside it.
    auto count = [this] {
        const QAbstractItemModel* source = m_view->Proxy().sourceModel();
        const int hidden = m_filtering && source ? source->rowCount() - m_view->Proxy().rowCount() : 0;
        m_hiddenCount->setText(hidden == 0   ? QString()
                               : hidden == 1 ? tr("1 picture hidden")
                                             : tr("%1 pictures hidden").arg(hidden));
    };
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&proxy, signal, this, count);
    connect(&proxy, &QAbstractItemModel::modelReset, this, count);
    connect(&proxy, &QAbstractItemModel::layoutChanged, this, count);
    // A new listing: its pictures' sizes are read when the filter needs them.
    m_reprobe.setSingleShot(true);
    m_reprobe.setInterval(0);
    connect(&m_reprobe, &QTimer::timeout, this, &CItemIconPane::ProbeSizes);
    if (QAbstractItemModel* source = proxy.sourceModel()) {
        connect(source, &QAbstractItemModel::modelReset, &m_reprobe, qOverload<>(&QTimer::start));
        connect(source, &QAbstractItemModel::rowsInserted, &m_reprobe, qOverload<>(&QTimer::start));
    }
    // A size read for the filter that hides its row takes the row away (a few at a time).
    connect(&loader, &CThumbnailLoader::ready, this, [this](const QString& key) {
        if (!m_filtering || (m_width == 0 && m_height == 0)) return;
        const QSize s = m_view->Loader().FullSize(key);
        if (s.isValid() && (s.width() < m_width || s.height() < m_height) && !m_refilter.isActive()) m_refilter.start();
    });
}

bool CItemIconPane::Hides(int sourceRow) const {
    ThumbnailRequest request;
    if (!m_view->RequestOfSource(sourceRow, request)) return false;
    if (m_bytes > 0 && request.item.size < static_cast<uint64_t>(m_bytes)) return true;
    if (m_width == 0 && m_height == 0) return false;
    const QSize s = m_view->Loader().FullSize(request.key);
    return s.isValid() && (s.width() < m_width || s.height() < m_height);
}

void CItemIconPane::SetPictureFilter(int minWidth, int minHeight, qint64 minBytes) {
    m_width = std::max(0, minWidth);
    m_height = std::max(0, minHeight);
    m_bytes = std::max<qint64>(0, minBytes);
    for (auto [box, value] : {std::pair {m_minWidth, m_width}, std::pair {m_minHeight, m_height}}) {
        const QSignalBlocker quiet(box);
        box->setValue(value);
    }
    {
        const QSignalBlocker quiet(m_minKb);
        m_minKb->setValue(static_cast<int>(std::min<qint64>(m_bytes / 1000, m_minKb->maximum())));
    }
    ApplyFilter();
}

void CItemIconPane::SetFilterActive(bool on) {
    m_active = on;
    ApplyFilter();
}

void CItemIconPane::ApplyFilter() {
    const bool filtering = m_active && (m_width > 0 || m_height > 0 || m_bytes > 0);
    if (!filtering && !m_filtering) return;
    m_filtering = filtering;
    if (filtering)
        m_view->Proxy().SetRowFilter([this](int row) { return Hides(row); });
    else
        m_view->Proxy().SetRowFilter(nullptr);
    ProbeSizes();
}

void CItemIconPane::ProbeSizes() {
    if (!m_filtering || (m_width == 0 && m_height == 0)) {
        m_view->Loader().Probe({});
        return;
    }
    std::vector<ThumbnailRequest> probes;
    const int rows = m_view->Proxy().sourceModel() ? m_view->Proxy().sourceModel()->rowCount() : 0;
    for (int r = 0; r < rows; ++r) {
        ThumbnailRequest request;
        if (m_view->RequestOfSource(r, request) && !m_view->Loader().FullSize(request.key).isValid())
            probes.push_back(std::move(request));
    }
    m_view->Loader().Probe(std::move(probes));
}
