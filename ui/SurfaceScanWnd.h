// The surface-scan page: the drive, the types to look for (the type tree of
// CPageSurfaceScanDlg, SurfaceScanTypes in the profile), Start and Stop with
// the progress, the found files as the scan reports them, and the result
// pane (CFilePreviewDlg) that shows the selected find as a picture, read on
// a preview thread of its own. Finds are recovered with RECOVER_CARVED.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/SurfaceScanJob.h"
#include "ui/CarvedPreview.h"
#include "ui/FileListModel.h"
#include "ui/UsageStatistics.h"

class CBrowsePage;
class CImageControl;
class CItemIconPane;
class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QStackedWidget;
class QPushButton;
class QSortFilterProxyModel;
class QTreeView;
class QTreeWidget;

// The type tree: every carvable type with a check box, under one root,
// grouped by type group (OrderTypesBy 1) or in one list (0).
class CPageSurfaceScanDlg : public QWidget {
    Q_OBJECT
public:
    explicit CPageSurfaceScanDlg(QWidget* parent);
    // Writes every type's checked state and OrderTypesBy.
    void Save() const;
    std::map<std::string, bool> Checked() const;
    int OrderTypesBy() const { return m_orderTypesBy; }
    void SetChecked(const std::string& key, bool on);
    void ToggleGrouping();
    QTreeWidget* Tree() const { return m_tree; }

private:
    void Build(const std::map<std::string, bool>& checked);

    QTreeWidget* m_tree = nullptr;
    QCheckBox* m_grouped = nullptr;
    int m_orderTypesBy = 1;
};

// The scan's progress step: what it does, how far it is, and Stop (which
// disables itself and raises the stop flag).
class CPageScanProgressDlg : public QWidget {
    Q_OBJECT
public:
    explicit CPageScanProgressDlg(QWidget* parent);
    QLabel* status = nullptr;
    QProgressBar* progress = nullptr;
    QPushButton* stop = nullptr;
};

// After the scan: how many files were found, what to do with them, and a new scan.
class CPageAfterScanDlg : public QWidget {
    Q_OBJECT
public:
    explicit CPageAfterScanDlg(QWidget* parent);
    QLabel* summary = nullptr;
    QPushButton* again = nullptr;
};

// The found files: name, size, type.
class CCarvedListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void Clear();
    void Append(std::vector<CarvedItem> items);
    const CarvedItem& Item(int row) const { return m_items[static_cast<size_t>(row)]; }
    // The scanned volume's, for the cluster ranges of a find in pieces.
    void SetClusterSize(uint32_t size) { m_clusterSize = size; }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<CarvedItem> m_items;
    uint32_t m_clusterSize = 0;
    mutable CFileTypes m_types;
};

// The result pane: the selected find as a picture, with its caption.
class CFilePreviewDlg : public QWidget {
    Q_OBJECT
public:
    explicit CFilePreviewDlg(QWidget* parent);
    CImageControl& Image() const { return *m_image; }
    QString Caption() const;
    // What is said in the place of the picture ("" when a picture is shown).
    QString Message() const;
    void Show(const CarvedPreview& preview);
    // Back to the first state (a new scan's finds replace the old ones).
    void Clear();
    QPushButton* QuickViewButton() const { return m_quickView; }
    QPushButton* RecoverButton() const { return m_recover; }

private:
    QLabel* m_caption = nullptr;
    QLabel* m_message = nullptr;
    CImageControl* m_image = nullptr;
    QPushButton* m_quickView = nullptr;
    QPushButton* m_recover = nullptr;
};

class CSurfaceScanWnd : public QWidget {
    Q_OBJECT
public:
    CSurfaceScanWnd(CBrowsePage& browse, UsageStatistics& statistics, QWidget* parent);
    ~CSurfaceScanWnd() override;

    void RefreshDrives();
    // A source with no NTFS, FAT or exFAT file system (an image, a device): offered
    // in the drive box and scanned as raw units of 4,096 bytes.
    void AddRawSource(const QString& path, std::shared_ptr<CByteSource> bytes);
    // The paths of the raw sources, in the order they were added.
    QStringList RawSourcePaths() const;
    // Chooses the browse page's drive of that index in the drive box.
    void SelectDrive(int driveIndex);
    // Starts a scan of the chosen drive for the checked types; false when
    // none is checked or the drive cannot be read.
    bool StartScan();
    void StopScan();
    // Stops a running scan and waits for it and the preview thread.
    void Cancel();
    bool Scanning() const { return m_job != nullptr; }
    // Back to the choice of types after a scan ("New scan").
    void NewScan();
    bool CanStartNewScan() const { return !m_job && Step() == 2; }

    // The commands on the selected finds, and whether each has something to act on.
    void RecoverSelection();
    void QuickView();
    // The current find in the hex view, modal.
    void HexView();
    bool CanRecover() const;
    bool CanPreview() const;

    // Tests and screenshots.
    QComboBox* DriveBox() const { return m_drive; }
    CPageSurfaceScanDlg& Types() const { return *m_types; }
    // The step shown on the left: 0 types, 1 progress, 2 after the scan.
    int Step() const;
    const CCarvedListModel& Results() const { return m_model; }
    QTreeView* ResultView() const { return m_list; }
    // The finds as thumbnails (true) or as the detail list.
    void SetIconMode(bool on);
    CItemIconPane* IconPane() const { return m_iconPane; }
    CFilePreviewDlg& Pane() const { return *m_pane; }
    QString StatusText() const;
    // The main window's status line for this page: the scan's progress, or
    // how many files were found and what is selected.
    QString StatusLine() const;
    // Previews shown in the pane (tests).
    uint64_t PreviewsShown() const { return m_previewsShown; }
    void SaveLayout();

signals:
    // The selected finds, or whether the commands can act on them, changed.
    void selectionChanged();
    void statusChanged(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Tick();
    void Finish();
    void UpdateStatusLine();
    void StartPreview();
    void JoinPreview();
    std::vector<int> SelectedRows() const;
    // The device or image of the last scan (the recovery's check).
    std::string SourcePath() const;

    CBrowsePage& m_browse;
    UsageStatistics& m_statistics;
    ProviderRegistry m_registry;
    QComboBox* m_drive = nullptr;
    CPageSurfaceScanDlg* m_types = nullptr;
    QStackedWidget* m_steps = nullptr;  // the types, the progress, the end of the scan
    QWidget* m_typesStep = nullptr;
    CPageScanProgressDlg* m_progressStep = nullptr;
    CPageAfterScanDlg* m_afterStep = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_status = nullptr;
    QTreeView* m_list = nullptr;
    CCarvedListModel m_model;
    CRowFilterProxy* m_proxy = nullptr;
    QStackedWidget* m_listStack = nullptr;
    CItemIconPane* m_iconPane = nullptr;
    CFilePreviewDlg* m_pane = nullptr;
    QTimer m_timer;         // 500 ms: progress and new finds
    QTimer m_endWatch;      // 50 ms: the scan's end is shown at once, not at the next tick
    QTimer m_selection;     // 300 ms after a selection: the pane's preview
    CJobEventQueue<CarvedItem> m_found;
    std::unique_ptr<CSurfaceScanJob> m_job;
    ScanTypeSet m_scanner;
    int m_scanDrive = -1;
    CVolume* m_volume = nullptr;
    char16_t m_letter = 0;
    QString m_driveName;      // DrivePlace ("C:", "disk.vhdx, partition 1") or a raw source's path, for the status line
    struct RawSource {
        QString path;
        std::shared_ptr<CByteSource> bytes;  // opened once, read by every scan of it
    };
    std::vector<RawSource> m_rawSources;
    std::unique_ptr<CVolume> m_rawVolume;  // the raw source being (or last) scanned
    std::thread m_preview;
    std::atomic<bool> m_previewRunning {false};
    uint64_t m_previewsShown = 0;
    QString m_statusLine;
};
