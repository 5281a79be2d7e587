// CHexViewDlg: one file's bytes as offset, hex and text columns, read
// lazily (the rows in view, a chunk at a time) through the engine's reading
// path: a deleted file as recovery reads it, an existing file through its
// file object, a carved find from its clusters. Rows with bytes that other
// files took since, or that the source refused, have their own background
// (a legend says which). A side panel lists the runs of clusters it lies in.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "engine/recovery/Preview.h"

class QTableView;

// The rows of the hex view: 16 bytes each, columns offset, hex, text. The
// bytes are read on a thread of the model's own, a chunk at a time, the
// chunk asked for last first: a slow or failing source never stops the
// window, and a jump to the end of a large file (which a deleted file's
// reader reaches by reading on from the start) shows "…" until it is read.
class CHexModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kRowBytes = 16;
    enum class Mark { None, Overwritten, Unreadable };
    explicit CHexModel(std::unique_ptr<preview::CItemBytes> bytes, QObject* parent = nullptr);
    ~CHexModel() override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 3; }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // A row's bytes (fewer past the end of what can be had) and its mark,
    // waiting for the row's chunk when it is not read yet.
    std::vector<uint8_t> RowBytes(int row) const;
    Mark RowMark(int row) const;
    // Chunks read from the item so far (tests: reading is lazy).
    int ChunksRead() const { return m_chunksRead.load(); }
    static QColor MarkColor(Mark mark);

private:
    static constexpr uint32_t kChunk = 16 * 1024;
    static constexpr size_t kCachedChunks = 64;
    static constexpr size_t kWaitingChunks = 16;  // requests kept: the rows in view and a little more
    // The chunk when it is read, else nullptr (and it is asked for).
    const std::vector<uint8_t>* Have(uint64_t index) const;
    // Takes over what the reader thread read; tells the views when asked.
    void Collect(bool tell) const;
    Mark MarkOf(int row, size_t got) const;
    void Work();

    std::unique_ptr<preview::CItemBytes> m_bytes;  // the reader thread's only
    uint64_t m_size = 0;
    mutable std::map<uint64_t, std::vector<uint8_t>> m_chunks;
    mutable std::vector<DataRange> m_overwritten, m_unreadable;
    // Shared with the reader thread.
    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake, m_read;
    mutable std::deque<uint64_t> m_wanted;
    mutable std::set<uint64_t> m_asked;
    mutable std::map<uint64_t, std::vector<uint8_t>> m_ready;
    mutable std::vector<DataRange> m_readOverwritten, m_readUnreadable;
    bool m_exit = false;
    std::atomic<int> m_chunksRead {0};
    std::thread m_thread;
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
