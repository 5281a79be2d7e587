// The progress dialog of a recovery: runs the engine's recovery job while it
// is open, shows its progress every 100 ms, lists the items that failed, came
// out incomplete or were skipped, and ends with a summary. The job's
// questions (name conflicts, write errors) arrive on the worker and are asked
// here, on the window's thread, as message boxes owned by this dialog.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <atomic>
#include <memory>
#include <string>

#include "engine/recovery/RecoverJob.h"
#include "engine/recovery/RecoverProgress.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;

class CRecoverProgressDlg : public QDialog, private IRecoverPrompts {
    Q_OBJECT
public:
    // settings.prompts is set to this dialog; the volume and the item source
    // must outlive it.
    CRecoverProgressDlg(QWidget* parent, CVolume& volume, RecoverItemSource items, RecoverJobSettings settings);
    ~CRecoverProgressDlg() override;

    // The job's counters (final once Finished()).
    RecoverCounters Counters() const;
    bool Finished() const { return m_finished; }
    bool Cancelled() const { return m_cancelled; }

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    PromptAnswer Ask(PromptKind kind, const std::string& message, const std::string& path,
                     std::string& newPath) override;
    PromptAnswer AskHere(PromptKind kind, const QString& message);
    void Start();
    void Tick();
    void Finish();
    void CancelJob();
    // Waits for the worker, answering its questions meanwhile.
    void WaitForWorker();
    void AddRow(const QString& status, const QString& path, bool problem);

    std::string m_destination;
    CJobEventQueue<RecoverJobEvent> m_events;
    std::unique_ptr<CRecoverJob> m_job;
    bool m_started = false;
    bool m_finished = false;
    bool m_cancelled = false;
    std::atomic<bool> m_stopping {false};
    bool m_closeWhenFinished = false;  // closed while the worker ran: close when it has ended
    int m_closeResult = 0;
    QPointer<QMessageBox> m_prompt;    // the worker's question on screen

    QLabel* m_status = nullptr;
    QLabel* m_currentPath = nullptr;
    QLabel* m_remaining = nullptr;
    QLabel* m_counters = nullptr;
    QProgressBar* m_fileBar = nullptr;
    QProgressBar* m_totalBar = nullptr;
    QWidget* m_progressBox = nullptr;
    QTreeWidget* m_results = nullptr;
    QCheckBox* m_openDestination = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QTimer* m_timer = nullptr;
};

// "/home/me/Recovered/Docs/Old/letter.doc" -> "/home/me/.../letter.doc" when
// longer than 50 characters.
QString ShortenRecoverPath(const QString& path);
