// CHexViewDlg: one file's bytes as offset, hex and text columns, read
// lazily (the rows in view, a chunk at a time) through the engine's reading
// path: a deleted file as recovery reads it, an existing file through its
// file object, a carved find from its clusters. Rows with bytes that other
// files took since, or that the source refused, have their own background
// (a legend says which). A side panel lists the runs of clusters it lies in.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <map>
#include <memory>

#include "engine/recovery/Preview.h"

class QTableView;

// The rows of the hex view: 16 bytes each, columns offset, hex, text.
class CHexModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kRowBytes = 16;
    enum class Mark { None, Overwritten, Unreadable };
    explicit CHexModel(std::unique_ptr<preview::CItemBytes> bytes, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 3; }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // A row's bytes (fewer past the end of what can be had) and its mark.
    std::vector<uint8_t> RowBytes(int row) const;
    Mark RowMark(int row) const;
    // Chunks read from the item so far (tests: reading is lazy).
    int ChunksRead() const { return m_chunksRead; }
    static QColor MarkColor(Mark mark);

private:
    static constexpr uint32_t kChunk = 16 * 1024;
    static constexpr size_t kCachedChunks = 64;
    const std::vector<uint8_t>& Chunk(uint64_t index) const;

    std::unique_ptr<preview::CItemBytes> m_bytes;
    mutable std::map<uint64_t, std::vector<uint8_t>> m_chunks;
    mutable std::vector<DataRange> m_overwritten, m_unreadable;
    mutable int m_chunksRead = 0;
};

class CHexViewDlg : public QDialog {
    Q_OBJECT
public:
    CHexViewDlg(CVolume& volume, const preview::PreviewItem& item, QWidget* parent);
    const CHexModel* Model() const { return m_model; }
    QTableView* View() const { return m_view; }

private:
    CHexModel* m_model = nullptr;
    QTableView* m_view = nullptr;
};
