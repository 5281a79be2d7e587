// CIndexDlg: the modal window of the indexing job. It starts the engine's
// CIndexJob, reads its progress on a 300 ms timer (phase title, percentage,
// elapsed and remaining time) and closes when the job ends; Cancel stops the
// job, which keeps a partial index.
#pragma once

#include <QDialog>
#include <QTimer>
#include <memory>

#include "engine/index/IndexJob.h"

class QLabel;
class QProgressBar;
class QPushButton;

class CIndexDlg : public QDialog {
    Q_OBJECT
public:
    CIndexDlg(CVolumeRegistry& registry, char16_t letter, IndexJobSettings settings, QWidget* parent);
    ~CIndexDlg() override;

    // After exec(): the volume whose index is ready (the caller takes over
    // the registry reference), or null when indexing failed.
    CVolume* Volume() const { return m_volume; }
    bool Failed() const { return m_failed; }
    bool Cancelled() const { return m_cancelled; }
    // Tears the job down (its drive went away): stop, wait, fail.
    void CloseJob();
    // Shows one progress snapshot (the timer's tick does this with the job's).
    void Display(const IndexProgressView& view);

protected:
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void Tick();

    std::unique_ptr<CIndexJob> m_job;
    QTimer m_timer;
    QLabel* m_phase = nullptr;
    QLabel* m_elapsed = nullptr;
    QLabel* m_remaining = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
    CVolume* m_volume = nullptr;
    bool m_started = false;
    bool m_failed = false;
    bool m_cancelled = false;
};
