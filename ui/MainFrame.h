// CMainFrame: the program's one top-level window. A navigation column
// (browse, search, surface scan), the pages, the menu and tool bar, the
// status bar; device changes refresh the drive list; closing is refused
// while a long job runs.
#pragma once

#include <QMainWindow>
#include <QSocketNotifier>
#include <QStringList>
#include <memory>

#include "engine/index/VolumeRegistry.h"
#include "ui/UsageStatistics.h"

class CBrowsePage;
class CSearchDlg;
class CUpdateChecker;
class CSurfaceScanWnd;
class QAction;
class QDragEnterEvent;
class QDropEvent;
class QMimeData;
class QLabel;
class QListWidget;
class QStackedWidget;
class QToolBar;
struct udev;
struct udev_monitor;

struct MainFrameOptions {
    bool listDevices = true;  // the machine's block devices in the drive tree
    bool watchDevices = true; // the udev monitor
    bool wizardAtStartUp = true;  // the scan wizard at the first show, while Wizard/ShowOnStartUp is set
    bool updateCheck = true;      // the automatic update check when the window is created
    // Only the images it is given; no wizard, no update check (tests, benchmarks, screenshots).
    static MainFrameOptions ImagesOnly() { return {false, false, false, false}; }
};

// The name filters of "Open disk image": every image format first, then
// one per kind, then all files.
QStringList DiskImageFilters();

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(MainFrameOptions options = {}, QWidget* parent = nullptr);
    ~CMainFrame() override;

    CBrowsePage* BrowsePage() const { return m_browse; }
    CSearchDlg* SearchPage() const { return m_search; }
    CSurfaceScanWnd* ScanPage() const { return m_scan; }
    // The machine's devices: NTFS/FAT ones into the drive tree, the others to the surface scan.
    void AddDevices();
    CUpdateChecker& UpdateChecker() const { return *m_update; }
    // The options dialog, modal.
    void OpenOptions();
    // Runs the scan wizard and opens the page it chose on its drive.
    void OpenWizard();
    // Opens images given on the command line or by a second start; a
    // failure is reported in a message box unless quiet.
    void OpenImages(const QStringList& paths, bool quiet = false);
    void OpenDiskImage();  // the file dialog
    // File > Create disk image…: the disk-image dialog on the drive in front;
    // opens the image in the browse page when it asks to.
    void CreateDiskImage();
    void ShowPage(int index);
    // The lists of every page as thumbnails (true) or details; kept in the profile.
    void SetIconMode(bool on);
    int CurrentPage() const;
    const UsageStatistics& Statistics() const { return m_statistics; }
    // The text of the last close refusal (empty when none).
    const QString& CloseRefusal() const { return m_closeRefusal; }
    void BringToFront();
    // Items dragged out of the browse or search list and dropped on a folder
    // of this machine: recovered there (ItemDrag.h); false when not.
    bool RecoverDroppedItems(const QMimeData& data, const QString& folder);

protected:
    // Image files dropped on the window open as drives (as Open disk image
    // does), the first of them shown.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildActions();
    void OpenWizardWhenPlaced(int triesLeft);
    void StartDeviceMonitor();
    void StopDeviceMonitor();
    void OnDeviceEvent();
    void RefreshDrives();
    // Recover…, Preview and Properties: on the page in front, enabled as its selection allows.
    void UpdateActions();
    void RecoverSelection();
    void QuickView();
    void HexView();
    void ShowProperties();
    void ShowContainingFolder();
    void OpenDroppedImages(const QStringList& paths);

    MainFrameOptions m_options;
    CVolumeRegistry m_registry;
    UsageStatistics m_statistics;
    QListWidget* m_nav = nullptr;
    QStackedWidget* m_pages = nullptr;
    CBrowsePage* m_browse = nullptr;
    CSearchDlg* m_search = nullptr;
    CSurfaceScanWnd* m_scan = nullptr;
    QString m_browseStatus;
    CUpdateChecker* m_update = nullptr;
    QLabel* m_status = nullptr;
    QAction* m_recover = nullptr;
    QAction* m_recoverAll = nullptr;
    QAction* m_properties = nullptr;
    QAction* m_preview = nullptr;
    QAction* m_hexView = nullptr;
    QAction* m_deletedOnly = nullptr;
    QAction* m_wizard = nullptr;
    QAction* m_showFolder = nullptr;
    QAction* m_stop = nullptr;
    QAction* m_newScan = nullptr;
    QAction* m_rescan = nullptr;
    QAction* m_foldersPane = nullptr;
    QAction* m_previewPane = nullptr;
    QAction* m_detailsView = nullptr;
    QAction* m_thumbnailsView = nullptr;
    QAction* m_checkUpdates = nullptr;
    QToolBar* m_toolBar = nullptr;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_shown = false;
    QString m_closeRefusal;
};
