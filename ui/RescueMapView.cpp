#include "ui/RescueMapView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace {

CRescueMapView::Shade ShadeOf(RescueState state) {
    switch (state) {
        case RescueState::Rescued:
            return CRescueMapView::Shade::Rescued;
        case RescueState::Untried:
            return CRescueMapView::Shade::Untried;
        case RescueState::Untrimmed:
        case RescueState::Unscraped:
            return CRescueMapView::Shade::Pending;
        case RescueState::Bad:
            return CRescueMapView::Shade::Bad;
    }
    return CRescueMapView::Shade::Untried;
}

}  // namespace

CRescueMapView::CRescueMapView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("rescueMap"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

int CRescueMapView::CellSide() const { return std::max(6, fontMetrics().height() / 2); }

QSize CRescueMapView::sizeHint() const { return {CellSide() * 64 + 1, CellSide() * 16 + 1}; }
QSize CRescueMapView::minimumSizeHint() const { return {CellSide() * 16 + 1, CellSide() * 4 + 1}; }

QColor CRescueMapView::ShadeColor(Shade shade) {
    switch (shade) {
        case Shade::Rescued:
            return QColor(0x3c, 0xb3, 0x4a);
        case Shade::Untried:
            return QColor(0x9a, 0x9a, 0x9a);
        case Shade::Pending:
            return QColor(0xf0, 0xa0, 0x1c);
        case Shade::Bad:
            return QColor(0xd9, 0x2b, 0x2b);
        case Shade::Empty:
            break;
    }
    return QColor(0, 0, 0, 0);
}

QWidget* CRescueMapView::MakeLegend(QWidget* parent) {
    auto* legend = new QWidget(parent);
    legend->setObjectName(QStringLiteral("rescueMapLegend"));
    auto* row = new QHBoxLayout(legend);
    row->setContentsMargins(0, 0, 0, 0);
    const std::pair<Shade, QString> keys[] = {
        {Shade::Rescued, tr("Rescued")},
        {Shade::Untried, tr("Not read yet")},
        {Shade::Pending, tr("Around a bad area, still to read")},
        {Shade::Bad, tr("Could not be read")},
    };
    const int side = std::max(8, legend->fontMetrics().height() * 2 / 3);
    for (const auto& [shade, caption] : keys) {
        QPixmap swatch(side, side);
        swatch.fill(ShadeColor(shade));
        auto* icon = new QLabel(legend);
        icon->setPixmap(swatch);
        row->addWidget(icon);
        row->addWidget(new QLabel(caption, legend));
        row->addSpacing(side);
    }
    row->addStretch(1);
    return legend;
}

void CRescueMapView::SetMap(std::vector<RescueBlock> blocks, uint64_t size) {
    m_blocks = std::move(blocks);
    m_size = size;
    Layout();
    update();
}

int CRescueMapView::CellCount(Shade shade) const {
    return static_cast<int>(std::count(m_cells.begin(), m_cells.end(), shade));
}

void CRescueMapView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

// Splits the extent into as many cells as the widget holds and shades each
// with the worst state of the blocks that touch it.
void CRescueMapView::Layout() {
    m_cells.clear();
    m_cellBytes = 0;
    const int side = CellSide();
    m_columns = std::max(1, (width() - 1) / side);
    const int rows = std::max(1, (height() - 1) / side);
    if (m_size == 0) return;
    const uint64_t room = static_cast<uint64_t>(m_columns) * static_cast<uint64_t>(rows);
    m_cellBytes = std::max<uint64_t>(1, m_size / room + (m_size % room ? 1 : 0));
    const uint64_t cells = m_size / m_cellBytes + (m_size % m_cellBytes ? 1 : 0);
    m_cells.assign(static_cast<size_t>(cells), Shade::Empty);
    for (const RescueBlock& b : m_blocks) {
        if (b.length == 0 || b.offset >= m_size) continue;
        const uint64_t end = std::min(m_size, b.offset + std::min(b.length, m_size - b.offset));
        const Shade shade = ShadeOf(b.state);
        for (uint64_t c = b.offset / m_cellBytes; c <= (end - 1) / m_cellBytes && c < cells; ++c)
            m_cells[static_cast<size_t>(c)] = std::max(m_cells[static_cast<size_t>(c)], shade);
    }
}

void CRescueMapView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int side = CellSide();
    const int left = std::max(0, (width() - 1 - m_columns * side) / 2);  // the grid centred
    for (size_t i = 0; i < m_cells.size(); ++i) {
        const int x = left + static_cast<int>(i % static_cast<size_t>(m_columns)) * side;
        const int y = static_cast<int>(i / static_cast<size_t>(m_columns)) * side;
        painter.fillRect(x + 1, y + 1, side - 1, side - 1, ShadeColor(m_cells[i]));
    }
}
