// CBrowsePage: the drive and folder tree, the file list of the selected
// folder (existing and deleted items side by side, by the shared folder
// listing rules) and the preview pane, in splitters whose sizes, the list's
// columns and the sorting persist in the profile section LayoutMain.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <QStandardItemModel>
#include <QWidget>
#include <memory>
#include <vector>

#include "engine/index/FolderBrowse.h"
#include "engine/index/VolumeRegistry.h"
#include "engine/recovery/Preview.h"
#include "ui/FileListModel.h"
#include "ui/Thumbnails.h"
#include "ui/UsageStatistics.h"

class CEmbedQuickView;
class CItemIconPane;
struct DriveListEntry;
class QComboBox;
class QDBusConnection;
class QLabel;
class QSplitter;
class QStackedWidget;
class QTreeView;

// One drive of the tree: a source the drive table gave a key (a letter
// C..Z, or a key past them that is never shown).
struct GuiDrive {
    char16_t letter = 0;
    QString source;      // device path or image file (the tooltip)
    QString container;   // what the source is for the tooltip: "VHDX", "E01, 3 files"
    QString label;
    QString fileSystem;
    int partition = 0;
    uint64_t size = 0;   // the volume's (or the whole source's) bytes; 0 when not known
    CVolume* volume = nullptr;  // the registry's volume once its index is ready
    QString error;              // a device that cannot be read: why, and how to get access
    int errorNumber = 0;            // the errno of the failed open
    bool permissionDenied = false;  // refused to this user (not root): UDisks2 may open it
    QString rescueMap;              // the rescue map found beside the image ("" for none)
    uint64_t mapUnreadableBytes = 0;  // what it marks not rescued
};

// Where a drive is, for people: the source's file name ("sdb1") with the
// partition ("disk.vhdx, partition 1"); the full path for an entry without a
// key (a device that cannot be read). Never the engine's drive letter.
QString DrivePlace(const GuiDrive& drive);
// The drive's caption: "sdb1 — 14.9 GB" without a label, "label — sdb1, 14.9 GB"
// with one (the size left out when it is not known, or not wanted: a list
// with a size column of its own).
QString DriveCaption(const GuiDrive& drive, bool withSize = true);
// Why an unreadable drive cannot be read, as a sentence, with how to get
// access when UDisks2 may open it.
QString DriveErrorText(const GuiDrive& drive);

// Fills a drive box (search, surface scan) with the drives that can be read,
// by their captions (DriveCaption), each carrying its index in drives; returns the data of
// the entry that was chosen before (INT_MIN when none). ChooseInDriveBox
// then picks that entry again, else the fallback's.
int FillDriveBox(QComboBox& box, const std::vector<GuiDrive>& drives);
void ChooseInDriveBox(QComboBox& box, int data, int fallback);

class CBrowsePage : public QWidget {
    Q_OBJECT
public:
    CBrowsePage(CVolumeRegistry& registry, UsageStatistics& statistics, QWidget* parent);
    ~CBrowsePage() override;

    // Adds the NTFS/FAT volumes of a device or image (each partition of a
    // disk its own drive); false with why when there is none, and then the
    // source opened here in bytes (null when it could not be read) so that
    // the surface scan reads it without opening it again.
    bool AddSource(const QString& path, QString* why = nullptr, std::shared_ptr<CByteSource>* bytes = nullptr);
    // The block devices of this machine (ListDrives) that hold NTFS or FAT,
    // and the unreadable ones with why.
    void AddDevices(const std::vector<DriveListEntry>& devices);
    // Drops the drives of sources that are gone (device removal).
    void RemoveMissingDevices();
    const std::vector<GuiDrive>& Drives() const { return m_drives; }

    // Makes the drive's index ready (CIndexDlg) and shows its root; false
    // when the index could not be made.
    bool OpenDrive(int driveIndex);
    // A drive this user may not read: asks UDisks2 for a read-only
    // descriptor (polkit asks the user), then adds the device's volumes in
    // its place; false, with the message shown, when that is not possible.
    bool OpenThroughBroker(int driveIndex, const QDBusConnection& bus);
    // The user picked a drive in the tree (a click, Enter): an unreadable
    // one this user may not open is asked for through UDisks2 on bus; the
    // others say why in the status line. Selecting an unreadable drive
    // (also by the keyboard or at start-up) only says why.
    void PickDrive(const QModelIndex& treeIndex, const QDBusConnection& bus);
    // Makes the drive's index ready without showing it (the search page).
    CVolume* ReadyDrive(int driveIndex);
    int CurrentDriveIndex() const { return m_currentDrive; }
    // Selects a folder of the current drive by its path ("/Docs"); false when
    // the tree has no such folder.
    bool SelectFolder(const QString& path);
    // Opens the folder in the tree and selects the item with this record
    // number (and name, when ids are shared) in the list, scrolled into view.
    bool ShowItem(const QString& folder, uint64_t id, const QString& name);
    // The folder of the tree's current item in its parent, selected in the
    // parent's list (the tree's "Show containing folder"); false at a root.
    bool ShowTreeFolderInParent();
    // Indexes the current drive again, without the cache file; false when
    // it could not be indexed.
    bool RescanDrive();
    void SetDeletedOnly(bool on);
    bool DeletedOnly() const { return m_deletedOnly; }

    // The selected rows of the list (model rows), the current folder.
    std::vector<int> SelectedRows() const;
    const CFileListModel& ListModel() const { return m_model; }
    CVolume* CurrentVolume() const;
    const GuiDrive* CurrentDrive() const;

    // Commands of the window.
    void RecoverSelection();
    bool CanRecover() const { return CurrentVolume() && !SelectedRows().empty(); }
    // "Recover everything deleted here": the folder's deleted items and
    // trees, and those of the existing folders below it, laid out as
    // `recover --all` lays them out (CRecoveryPlan::AddAllBelow), through the
    // recovery dialog. RecoverAllHere takes the folder listed, or the one
    // folder selected in the list.
    void RecoverAllBelow(const Container& folder);
    void RecoverAllHere();
    // The folder the list's selection names when it is one folder, else the folder listed.
    Container FolderHere() const;
    // The quick view on the list (in its order) at the current row.
    void QuickView();
    // The current file in the hex view, modal.
    void HexView();
    bool CanPreview() const;
    void ShowProperties();

    // Hints: a balloon shown once per profile (Wizard/<key> reads 1 until
    // shown), only where the user sees it: while its anchor (and so its
    // page) is visible and no modal dialog or wizard is up. A hint that
    // cannot be shown yet waits (the latest one) and is tried again until it
    // is; it is marked seen only once it was shown. True when it was shown now.
    bool ShowHint(const char* key, const QString& text, QWidget* anchor);
    static bool HintSpent(const char* key);
    // The hint waiting for its anchor to be seen ("" when none).
    const char* PendingHint() const { return m_pendingHint.key; }
    const QString& LastHint() const { return m_lastHint; }

    // The folders pane (the tree) and the preview pane, shown or hidden by
    // the View menu; SaveLayout keeps the choice.
    void SetFoldersPaneShown(bool on);
    bool FoldersPaneShown() const;
    void SetPreviewPaneShown(bool on);
    bool PreviewPaneShown() const;

    // LayoutMain: read at creation, written by SaveLayout (the window's close).
    void SaveLayout();
    QTreeView* Tree() const { return m_tree; }
    QTreeView* List() const { return m_list; }
    CEmbedQuickView* PreviewPane() const { return m_preview; }
    // The pane lets go of its file (a volume is about to go away); forGood:
    // the window closes and the pane takes no item any more.
    void ReleasePreview(bool forGood = false);
    // The list's rows in the order shown, with the position of the current one.
    std::vector<preview::PreviewItem> PreviewItems(size_t& current) const;

    // "Show containing folder" in the list's menu: the folder of the
    // selection is the one shown; the list scrolls to it.
    void ShowSelectionInFolder();

    // The list as thumbnails (true) or as the detail list.
    void SetIconMode(bool on);
    bool IconMode() const { return m_iconMode; }
    CItemIconPane* IconPane() const { return m_iconPane; }
    // The window's thumbnails, shared by its pages (the memory cap holds for all).
    CThumbnailLoader& Thumbnails() { return m_thumbnails; }

signals:
    void statusChanged(const QString& text);
    // The selected rows or the current row changed (also when the list is reset).
    void selectionChanged();

private:
    void RestoreLayout();
    void OnTreeSelection();
    void OnExpanded(const QModelIndex& index);
    void OnActivated(const QModelIndex& index);
    void ShowDriveError(int driveIndex);
    void ShowListMenu(const QPoint& at);
    void ShowTreeMenu(const QPoint& at);
    void Populate(QStandardItem* item);
    // The tree children of a folder's item from its subfolders.
    void FillChildren(QStandardItem* item, const Container& folder, const std::vector<Container>& subfolders);
    QStandardItem* AddFolderItem(QStandardItem* parent, const Container& c, const QString& text, const QIcon& icon);
    void ListContainer(int driveIndex, const Container& c);
    void ChooseHint(const FolderListing& listing);
    void UpdatePreview();
    preview::PreviewItem PreviewItemOf(int row) const;
    void AddDrive(GuiDrive drive);
    int DriveOf(const QStandardItem* item) const;

    CVolumeRegistry& m_registry;
    UsageStatistics& m_statistics;
    std::vector<GuiDrive> m_drives;
    std::vector<Container> m_containers;  // a tree item's folder: index in its data
    QStandardItemModel m_treeModel;
    CFileListModel m_model;
    CFileSortProxy m_proxy;
    CThumbnailLoader m_thumbnails;
    CItemIconPane* m_iconPane = nullptr;
    bool m_iconMode = false;
    QTreeView* m_tree = nullptr;
    QTreeView* m_list = nullptr;
    QSplitter* m_splitter = nullptr;
    QSplitter* m_rightSplitter = nullptr;
    QStackedWidget* m_listStack = nullptr;
    QLabel* m_placeholder = nullptr;
    CEmbedQuickView* m_preview = nullptr;
    int m_currentDrive = -1;
    bool m_deletedOnly = false;
    bool m_previewClosed = false;
    QString m_lastHint;
    struct PendingHintState {
        const char* key = "";
        QString text;
        QPointer<QWidget> anchor;
    } m_pendingHint;
    QTimer m_hintRetry;
    bool TryHint(const char* key, const QString& text, QWidget* anchor);
    // Until the user sizes a column, the columns fit the list's width: each
    // but Name as wide as its widest usual text, Name the rest.
    void FitColumns();
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool m_autoColumns = true;
    bool m_fitting = false;
};
