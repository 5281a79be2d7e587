// CSearchDlg: the search page. The deleted items of one drive by name (whole
// or part, with the pattern language of the search), size in KiB and
// creation or modification date, found by the search job on its worker
// while the list fills; recover, preview, and show the containing folder in
// the browse page. The columns persist in LayoutSearch.
#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

#include "engine/search/SearchJob.h"
#include "ui/FileListModel.h"
#include "ui/UsageStatistics.h"

class CBrowsePage;
class CItemIconPane;
class QStackedWidget;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

class CSearchDlg : public QWidget {
    Q_OBJECT
public:
    CSearchDlg(CBrowsePage& browse, UsageStatistics& statistics, QWidget* parent);
    ~CSearchDlg() override;

    // The drives of the browse page, by their captions (DriveCaption).
    void RefreshDrives();
    // Chooses the browse page's drive of that index in the drive box.
    void SelectDrive(int driveIndex);
    // Starts a search with the controls' criteria; false when the drive's
    // index could not be made ready.
    bool StartSearch();
    void StopSearch();
    // Stops a running search and waits for its end (the volumes are about to go).
    void Cancel();
    bool Searching() const { return m_job != nullptr; }

    // The commands on the selected results, and whether each has something to act on.
    void RecoverSelection();
    void QuickView();
    // The current file in the hex view, modal.
    void HexView();
    void ShowProperties();
    bool CanRecover() const;
    bool CanPreview() const;
    bool CanShowProperties() const;
    // Shows the folder of the current result in the browse page; false when
    // it cannot be found there.
    bool ShowContainingFolder();

    // The controls and results (tests and screenshots).
    QComboBox* DriveBox() const { return m_drive; }
    QCheckBox* UseName() const { return m_useName; }
    QLineEdit* NameText() const { return m_name; }
    QComboBox* NameMode() const { return m_nameMode; }
    QCheckBox* UseSize() const { return m_useSize; }
    QLineEdit* SizeFrom() const { return m_sizeFrom; }
    QLineEdit* SizeTo() const { return m_sizeTo; }
    QCheckBox* UseDate() const { return m_useDate; }
    QComboBox* DateKind() const { return m_dateKind; }
    QDateTimeEdit* DateFrom() const { return m_dateFrom; }
    QDateTimeEdit* DateTo() const { return m_dateTo; }
    QPushButton* SearchButton() const { return m_search; }
    QPushButton* StopButton() const { return m_stop; }
    QTreeView* Results() const { return m_list; }
    // The results as thumbnails (true) or as the detail list.
    void SetIconMode(bool on);
    CItemIconPane* IconPane() const { return m_iconPane; }
    const CFileListModel& ResultModel() const { return m_model; }
    QString CountersText() const;
    // The main window's status line for this page: what the search does, how
    // many items it found, and what is selected.
    QString StatusLine() const;
    void SaveLayout();

signals:
    // The browse page was asked to show a folder.
    void showBrowsePage();
    // The selected results, or whether the commands can act on them, changed.
    void selectionChanged();
    // The page's status line changed (StatusLine).
    void statusChanged(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void TakeResults();
    void Finish();
    void ShowCounters();
    void UpdateStatusLine();
    void SetIdle(bool idle);
    std::vector<int> SelectedRows() const;
    void RestoreLayout();

    CBrowsePage& m_browse;
    UsageStatistics& m_statistics;
    QComboBox* m_drive = nullptr;
    QCheckBox* m_useName = nullptr;
    QLineEdit* m_name = nullptr;
    QComboBox* m_nameMode = nullptr;
    QCheckBox* m_useSize = nullptr;
    QLineEdit* m_sizeFrom = nullptr;
    QLineEdit* m_sizeTo = nullptr;
    QCheckBox* m_useDate = nullptr;
    QComboBox* m_dateKind = nullptr;
    QDateTimeEdit* m_dateFrom = nullptr;
    QDateTimeEdit* m_dateTo = nullptr;
    QPushButton* m_search = nullptr;
    QPushButton* m_stop = nullptr;
    QLabel* m_counters = nullptr;
    QTreeView* m_list = nullptr;
    QStackedWidget* m_listStack = nullptr;
    CItemIconPane* m_iconPane = nullptr;
    CFileListModel m_model;
    CFileSortProxy m_proxy;
    QTimer m_refresh;   // takes the new matches into the list
    QTimer m_seconds;   // the counters, once a second
    int m_searchDrive = -1;
    CVolume* m_volume = nullptr;
    CJobEventQueue<FileItemInfo> m_matches;
    std::unique_ptr<CSearchJob> m_job;
    bool m_searchStopped = false;
    QString m_statusLine;
};
