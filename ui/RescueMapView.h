// CRescueMapView: a picture of a rescue map. The source's extent is drawn as
// a grid of cells, row by row from its start; each cell covers an equal share
// of the bytes and takes the colour of the worst state in it (bad red, not
// yet trimmed or scraped amber, untried grey, rescued green). The grid
// follows the widget's size; MakeLegend gives the key to put below it.
#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

#include "platform/RescueMap.h"

class CRescueMapView : public QWidget {
    Q_OBJECT
public:
    // The cell shades from best to worst.
    enum class Shade : uint8_t { Empty, Rescued, Untried, Pending, Bad };

    explicit CRescueMapView(QWidget* parent = nullptr);

    // The map of a source of size bytes (its blocks in order).
    void SetMap(std::vector<RescueBlock> blocks, uint64_t size);
    // The cells as drawn now, row by row, and how many have the shade.
    const std::vector<Shade>& Cells() const { return m_cells; }
    int CellCount(Shade shade) const;
    // Bytes per cell (0 without a map).
    uint64_t CellBytes() const { return m_cellBytes; }

    // The shade's colour on the palette's window, a dark one too.
    static QColor ShadeColor(const QPalette& palette, Shade shade);
    // A row of swatches with their captions.
    static QWidget* MakeLegend(QWidget* parent);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int CellSide() const;
    void Layout();

    std::vector<RescueBlock> m_blocks;
    uint64_t m_size = 0;
    int m_columns = 0;
    uint64_t m_cellBytes = 0;
    std::vector<Shade> m_cells;
};
