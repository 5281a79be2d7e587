#include "ui/HexViewDlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include "ui/Format.h"
#include "ui/ItemPlacementView.h"

namespace {

constexpr int kRowChars = CHexModel::kRowBytes;

bool Touches(const std::vector<DataRange>& ranges, uint64_t begin, uint64_t end) {
    for (const DataRange& r : ranges)
        if (r.begin < end && begin < r.end) return true;
    return false;
}

}  // namespace

CHexModel::CHexModel(std::unique_ptr<preview::CItemBytes> bytes, QObject* parent)
    : QAbstractTableModel(parent), m_bytes(std::move(bytes)) {
    m_size = m_bytes->Size();
    m_overwritten = m_bytes->Overwritten();
    m_thread = std::thread([this] { Work(); });
}

CHexModel::~CHexModel() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_exit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int CHexModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    const uint64_t rows = (m_size + kRowBytes - 1) / kRowBytes;
    return static_cast<int>(std::min<uint64_t>(rows, INT32_MAX));
}

void CHexModel::Work() {
    for (;;) {
        uint64_t index = 0;
        {
            std::unique_lock<std::mutex> l(m_lock);
            m_wake.wait(l, [this] { return m_exit || !m_wanted.empty(); });
            if (m_exit) return;
            index = m_wanted.front();
            m_wanted.pop_front();
        }
        std::vector<uint8_t> bytes;
        m_bytes->Read(index * kChunk, kChunk, bytes);
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_ready[index] = std::move(bytes);
            m_readOverwritten = m_bytes->Overwritten();
            m_readUnreadable = m_bytes->Unreadable();
            ++m_chunksRead;
        }
        m_read.notify_all();
        QMetaObject::invokeMethod(const_cast<CHexModel*>(this), [this] { Collect(true); }, Qt::QueuedConnection);
    }
}

void CHexModel::Collect(bool tell) const {
    std::map<uint64_t, std::vector<uint8_t>> ready;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_ready.empty()) return;
        ready.swap(m_ready);
        m_overwritten = m_readOverwritten;
        m_unreadable = m_readUnreadable;
        for (const auto& r : ready) m_asked.erase(r.first);
    }
    for (auto& [index, bytes] : ready) {
        if (m_chunks.size() >= kCachedChunks && !m_chunks.count(index)) {
            // Let go of the chunk farthest from this one.
            auto far = m_chunks.begin();
            if (index - far->first < std::prev(m_chunks.end())->first - index) far = std::prev(m_chunks.end());
            m_chunks.erase(far);
        }
        m_chunks[index] = std::move(bytes);
        if (!tell) continue;
        const uint64_t first = index * kChunk / kRowBytes;
        const uint64_t last = std::min<uint64_t>((index + 1) * kChunk / kRowBytes, uint64_t(rowCount())) - 1;
        if (first < uint64_t(rowCount()))
            emit const_cast<CHexModel*>(this)->dataChanged(createIndex(static_cast<int>(first), 0), createIndex(static_cast<int>(last), 2));
    }
}

const std::vector<uint8_t>* CHexModel::Have(uint64_t index) const {
    auto found = m_chunks.find(index);
    if (found != m_chunks.end()) return &found->second;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_asked.insert(index).second) {
            m_wanted.push_front(index);
            while (m_wanted.size() > kWaitingChunks) {
                m_asked.erase(m_wanted.back());
                m_wanted.pop_back();
            }
        }
    }
    m_wake.notify_one();
    return nullptr;
}

std::vector<uint8_t> CHexModel::RowBytes(int row) const {
    const uint64_t at = uint64_t(row) * kRowBytes;
    const uint64_t index = at / kChunk;
    const std::vector<uint8_t>* chunk = Have(index);
    while (!chunk) {
        {
            std::unique_lock<std::mutex> l(m_lock);
            m_read.wait(l, [&] { return m_ready.count(index) != 0 || !m_asked.count(index); });
        }
        Collect(true);
        chunk = Have(index);  // asked again when a newer request pushed it out
    }
    const size_t from = static_cast<size_t>(at % kChunk);
    if (from >= chunk->size()) return {};
    return {chunk->begin() + from, chunk->begin() + std::min<size_t>(chunk->size(), from + kRowBytes)};
}

CHexModel::Mark CHexModel::MarkOf(int row, size_t got) const {
    const uint64_t begin = uint64_t(row) * kRowBytes;
    const uint64_t end = std::min(begin + kRowBytes, m_size);
    if (Touches(m_unreadable, begin, end)) return Mark::Unreadable;
    if (Touches(m_overwritten, begin, end)) return Mark::Overwritten;
    if (begin + got < end) return Mark::Unreadable;  // what the reader could not give
    return Mark::None;
}

CHexModel::Mark CHexModel::RowMark(int row) const { return MarkOf(row, RowBytes(row).size()); }

QColor CHexModel::MarkColor(Mark mark) {
    switch (mark) {
        case Mark::Overwritten: return QColor(255, 214, 153);
        case Mark::Unreadable: return QColor(240, 160, 160);
        default: return QColor();
    }
}

QVariant CHexModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const int row = index.row();
    const uint64_t at = uint64_t(row) * kRowBytes;
    if (role == Qt::DisplayRole && index.column() == 0) return QStringLiteral("%1").arg(at, 8, 16, QLatin1Char('0')).toUpper();
    if (role != Qt::DisplayRole && role != Qt::BackgroundRole && role != Qt::ToolTipRole) return {};
    const std::vector<uint8_t>* chunk = Have(at / kChunk);
    if (!chunk) return role == Qt::DisplayRole && index.column() == 1 ? QVariant(QStringLiteral("…")) : QVariant();
    const size_t from = static_cast<size_t>(at % kChunk);
    const size_t got = from >= chunk->size() ? 0 : std::min<size_t>(chunk->size() - from, kRowBytes);
    if (role == Qt::BackgroundRole) {
        const Mark mark = MarkOf(row, got);
        return mark == Mark::None ? QVariant() : QVariant(MarkColor(mark));
    }
    if (role == Qt::ToolTipRole) {
        switch (MarkOf(row, got)) {
            case Mark::Overwritten: return tr("Taken by another file since: recovered as zeros");
            case Mark::Unreadable: return tr("The source cannot give these bytes: recovered as zeros");
            default: return {};
        }
    }
    QString text;
    for (size_t i = 0; i < got; ++i) {
        const uint8_t b = (*chunk)[from + i];
        if (index.column() == 1) {
            if (i > 0) text += i == 8 ? QStringLiteral("  ") : QStringLiteral(" ");
            text += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
        } else {
            text += b >= 0x20 && b < 0x7F ? QLatin1Char(char(b)) : QLatin1Char('.');
        }
    }
    return text;
}

QVariant CHexModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case 0: return tr("Offset");
        case 1: return tr("Hex");
        default: return tr("Text");
    }
}

CHexViewDlg::CHexViewDlg(CVolume& volume, const preview::PreviewItem& item, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("hexViewDialog"));
    const QString name = QString::fromStdU16String(item.name);
    setWindowTitle(tr("Hex view of %1").arg(name));
    auto* layout = new QVBoxLayout(this);
    auto bytes = std::make_unique<preview::CItemBytes>();
    std::string why;
    const bool opened = bytes->Open(volume, item, why);
    auto* caption = new QLabel(opened ? tr("%1 — %2").arg(name, HumanSize(bytes->Size()))
                                      : tr("%1 cannot be shown: %2").arg(name, QString::fromStdString(why)),
                               this);
    caption->setObjectName(QStringLiteral("hexCaption"));
    caption->setTextFormat(Qt::PlainText);
    layout->addWidget(caption);

    auto* splitter = new QSplitter(this);
    m_model = new CHexModel(opened ? std::move(bytes) : std::make_unique<preview::CItemBytes>(), this);
    m_view = new QTableView(splitter);
    m_view->setObjectName(QStringLiteral("hexView"));
    m_view->setModel(m_model);
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_view->setShowGrid(false);
    m_view->setWordWrap(false);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->verticalHeader()->hide();
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(QFontMetrics(m_view->font()).height() + 4);
    const QFontMetrics metrics(m_view->font());
    m_view->setColumnWidth(0, metrics.horizontalAdvance(QStringLiteral("00000000")) + 16);
    m_view->setColumnWidth(1, metrics.horizontalAdvance(QString(50, QLatin1Char('0'))) + 16);
    m_view->setColumnWidth(2, metrics.horizontalAdvance(QString(kRowChars, QLatin1Char('M'))) + 16);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->setMinimumWidth(m_view->columnWidth(0) + m_view->columnWidth(1) + m_view->columnWidth(2) +
                            m_view->verticalScrollBar()->sizeHint().width() + 2 * m_view->frameWidth());

    // Where it lies: the runs of a deleted file, the extent of a carved find.
    auto* side = new QWidget(splitter);
    side->setObjectName(QStringLiteral("hexSide"));
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    if (item.carved) {
        const uint32_t clusterSize = std::max<uint32_t>(volume.ClusterSize(), 1);
        const uint64_t clusters = (item.size + clusterSize - 1) / clusterSize;
        auto* extent = new QLabel(
            item.fragments.empty()
                ? tr("Found by the scan in %n cluster(s) from cluster %1 on.", nullptr,
                     static_cast<int>(std::min<uint64_t>(clusters, INT32_MAX)))
                      .arg(item.firstCluster)
                : tr("Found by the scan: %1.").arg(QString::fromStdString(FragmentsText(item.fragments, clusterSize))),
            side);
        extent->setWordWrap(true);
        sideLayout->addWidget(extent);
        sideLayout->addStretch(1);
    } else {
        ItemPlacement placement;
        std::string describeWhy;
        if (item.existing || !volume.DescribeItem(item.id, placement, describeWhy)) placement = ItemPlacement();
        sideLayout->addWidget(NewPlacementView(placement, volume.SectorSize(), side), 1);
    }
    auto* legend = new QLabel(side);
    legend->setObjectName(QStringLiteral("hexLegend"));
    legend->setTextFormat(Qt::RichText);
    legend->setWordWrap(true);
    legend->setText(QStringLiteral("<table cellspacing=4><tr><td bgcolor='%1'>&nbsp;&nbsp;&nbsp;&nbsp;</td><td>%2</td></tr>"
                                   "<tr><td bgcolor='%3'>&nbsp;&nbsp;&nbsp;&nbsp;</td><td>%4</td></tr></table>")
                        .arg(CHexModel::MarkColor(CHexModel::Mark::Overwritten).name(),
                             tr("Overwritten: other files took these clusters since (recovered as zeros)"),
                             CHexModel::MarkColor(CHexModel::Mark::Unreadable).name(),
                             tr("Unreadable: the source cannot give these bytes (recovered as zeros)")));
    sideLayout->addWidget(legend);
    splitter->addWidget(m_view);
    splitter->addWidget(side);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setCollapsible(0, false);
    layout->addWidget(splitter, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(1120, 600);
}
