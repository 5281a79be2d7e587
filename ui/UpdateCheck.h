// The update check in the window: one check at a time on a thread of its
// own (busy), automatic once at the main window's creation unless
// Update/Type is 2, or manual from the options dialog; the update dialog
// (CUpdateDlg) when a newer version exists, and its download page opened in
// the user's browser, only when it is an http or https URL. A manual check
// shows the busy cursor until its answer; a failure's box has Help (the
// topic "AutoUpdate").
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <thread>

#include "app/update/UpdateService.h"

class QCheckBox;
class QPushButton;

class CUpdateDlg : public QDialog {
    Q_OBJECT
public:
    // Ends with 1 for the download command, 2 for Cancel (which writes
    // Update/Type = 2 when the box is ticked).
    CUpdateDlg(uint32_t newerVersion, QWidget* parent);
    QString Headline() const;
    QCheckBox* NoAutomaticBox() const { return m_noAutomatic; }
    QPushButton* DownloadButton() const { return m_download; }
    void reject() override;

private:
    QString m_headline;
    QCheckBox* m_noAutomatic = nullptr;
    QPushButton* m_download = nullptr;
};

class CUpdateChecker : public QObject {
    Q_OBJECT
public:
    // Opens a download page; the default hands it to the desktop (xdg-open).
    using Opener = std::function<bool(const QString& url)>;
    explicit CUpdateChecker(QWidget* owner);
    ~CUpdateChecker() override;

    // Starts a check; false (nothing sent) while one runs, for an
    // automatic check with Update/Type 2, or when the check is off in this
    // build (update::CheckAvailable).
    bool Start(bool automatic);
    bool Busy() const { return m_busy.load(); }
    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    void SetTimeout(long seconds) { m_timeout = seconds; }
    // The last check's message to the user ("" for none), for tests.
    const QString& LastMessage() const { return m_lastMessage; }

signals:
    void finished();
    // A check began (true) or ended (false): the window's commands follow it.
    void busyChanged(bool busy);

private:
    void Finish(const update::Answer& answer, bool automatic);
    void Say(bool warning, const QString& text);

    QWidget* m_owner;
    std::atomic<bool> m_busy {false};
    std::thread m_thread;
    Opener m_opener;
    long m_timeout = update::kDefaultTimeoutSeconds;
    QString m_lastMessage;
    bool m_manualRunning = false;  // the busy cursor is up
};
