// Recovering a selection from the window: the destination dialog
// (CRecoverDlg), then the progress dialog (CRecoverProgressDlg) over the
// engine's recovery job, then the usage statistics.
#pragma once

#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/FolderBrowse.h"
#include "engine/recovery/RecoverJob.h"
#include "engine/recovery/RecoveryPlan.h"
#include "ui/UsageStatistics.h"

class QWidget;

struct RecoverSelection {
    CVolume* volume = nullptr;
    std::string sourcePath;          // the device or image the volume is read from
    std::vector<RecoverItem> items;  // deleted files and folders (the plan's), or carved runs
    bool carved = false;             // surface-scan results (RECOVER_CARVED)
    // What the chosen rows mean (AddSelectedRows); items is its list. Null
    // for carved runs and items chosen otherwise.
    std::shared_ptr<CRecoveryPlan> plan;
    QString leftOut;                 // what was selected but is not among the items, and why
};

// One selected row of a listing (the browse page's folder, the search
// results), with the name the list shows.
struct SelectedRow {
    const ListedItem* item = nullptr;
    QString name;
};
// Adds the rows to the selection (its volume set) the way `recover --all`
// lays them out: a deleted file or folder under its name; a lost folder as
// Folder<id>; $LostFolders as every lost folder's tree
// ($LostFolders/Folder<id>/...); $RecycleBin as each of its deleted items;
// an item of the recycle bin, wherever it was selected, under $RecycleBin
// with its former name. Each item goes once. Existing items (the recycle
// bin's present ones included) cannot be recovered: leftOut names them.
void AddSelectedRows(RecoverSelection& selection, const std::vector<SelectedRow>& rows);

// Runs the whole recovery; false when the user cancelled the destination
// dialog. The statistics grow by what was written.
bool RecoverFileGroup(QWidget* parent, const RecoverSelection& selection, UsageStatistics& statistics);
// Recovers a selection of index items (its plan set) into a folder the user
// dropped it on, after the checks the destination dialog makes on OK, with
// both options on; false when a check refused it or the user declined.
bool RecoverDroppedSelection(QWidget* parent, const RecoverSelection& selection, const QString& folder,
                             UsageStatistics& statistics);

// The destination dialog's checks of a chosen folder, with their questions
// and refusals in message boxes over parent: the engine's refusal (the
// source's own device or mount, no folder, ...), a FUSE destination that
// names nothing behind it, a selection larger than the free space; then the
// folder made ready and remembered. folder: the checked folder when Ready.
enum class DestinationAnswer { Ready, Refused, Declined };
DestinationAnswer ConfirmDestination(QWidget* parent, const std::string& destination, const std::string& sourcePath,
                                     uint64_t total, std::string& folder);
// The progress dialog over a recovery job; the statistics grow by what was written.
void RunRecovery(QWidget* parent, CVolume& volume, RecoverItemSource items, const RecoverJobSettings& settings,
                 UsageStatistics& statistics);

#include <QDialog>
#include <atomic>
#include <mutex>
#include <thread>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QTimer;

// The destination dialog: the folder to write into (typed, picked with the
// folder browser or taken from the recent list), the two options, the
// selection's size counted on a thread of its own, and the destination's
// free space. OK checks the destination with the engine and keeps the
// dialog open on a refusal.
class CRecoverDlg : public QDialog {
    Q_OBJECT
public:
    // job: its item source is walked by the size count, its totalSize filled
    // and its flags preset (RECOVER_CARVED, or the two option bits).
    CRecoverDlg(QWidget* parent, RecoverJob& job, std::string sourcePath);
    ~CRecoverDlg() override;

    // After OK: the checked destination folder (absolute, made ready) and the
    // job's flags with the option bits as the boxes say.
    const std::string& Folder() const { return m_folder; }
    uint32_t Flags() const;
    // The size counted so far, and whether the count is still running.
    uint64_t CountedSize() const;
    bool Counting() const { return m_counting.load(); }
    // What the selection left out, and why: shown above the size line.
    void ShowLeftOut(const QString& text);

public slots:
    void accept() override;
    void done(int result) override;

private:
    void Browse();
    void UpdateFreeSpace();
    void ShowCountStatus();
    void StopCount();

    RecoverJob& m_job;
    std::string m_sourcePath;
    std::string m_folder;

    QLineEdit* m_destination = nullptr;
    QListWidget* m_recent = nullptr;
    QCheckBox* m_streams = nullptr;
    QCheckBox* m_attributes = nullptr;
    QLabel* m_freeSpace = nullptr;
    QLabel* m_sizeStatus = nullptr;
    QLabel* m_leftOut = nullptr;
    QTimer* m_statusTimer = nullptr;

    // The size count: its own stop flag, the status line it writes (under m_lock).
    StopFlag m_stop {0};
    std::atomic<bool> m_counting {false};
    mutable std::mutex m_lock;
    QString m_status;
    uint32_t m_countedItems = 0;
    std::thread m_countThread;
};
