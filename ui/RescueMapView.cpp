#include "ui/RescueMapView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <algorithm>

#include "ui/Theme.h"

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

QColor CRescueMapView::ShadeColor(const QPalette& palette, Shade shade) {
    switch (shade) {
        case Shade::Rescued: return theme::StateColor(palette, theme::State::Intact, QPalette::Window);
        case Shade::Untried: return theme::StateColor(palette, theme::State::Untried, QPalette::Window);
        case Shade::Pending: return theme::StateColor(palette, theme::State::Part, QPalette::Window);
        case Shade::Bad: return theme::StateColor(palette, theme::State::Lost, QPalette::Window);
        case Shade::Empty: break;
    }
    return QColor(0, 0, 0, 0);
}

namespace {

// A legend's square in a shade, drawn from the palette at each paint (a
// change of the desktop's theme recolours it).
class CSwatch : public QWidget {
public:
    CSwatch(CRescueMapView::Shade shade, int side, QWidget* parent) : QWidget(parent), m_shade(shade) {
        setFixedSize(side, side);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), CRescueMapView::ShadeColor(palette(), m_shade));
    }

private:
    CRescueMapView::Shade m_shade;
};

}  // namespace

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
        row->addWidget(new CSwatch(shade, side, legend));
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
        painter.fillRect(x + 1, y + 1, side - 1, side - 1, ShadeColor(palette(), m_cells[i]));
    }
}
