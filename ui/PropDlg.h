// CPropDlg: the properties of one listed item (name, type, size, times,
// data status, attributes). A folder's total size is counted on a worker
// thread started when the dialog opens and stopped when it closes: a deleted
// folder through the volume's GetFolderSize, an existing one by walking the
// live folder tree.
#pragma once

#include <QDialog>
#include <QTimer>
#include <atomic>
#include <thread>

#include "engine/index/FolderBrowse.h"

class QLabel;

class CPropDlg : public QDialog {
    Q_OBJECT
public:
    // name: the item as the list shows it (a lost folder's Folder<id>).
    CPropDlg(CVolume& volume, const Container& folder, const ListedItem& item, const QString& name, QWidget* parent);
    ~CPropDlg() override;
    // True once the folder size is known (or for a file).
    bool SizeReady() const { return m_ready.load(); }

private:
    void StopWorker();

    QLabel* m_size = nullptr;
    QTimer m_timer;
    std::thread m_worker;
    StopFlag m_stop {0};
    std::atomic<bool> m_ready {false};
    std::atomic<uint64_t> m_total {0};
};
