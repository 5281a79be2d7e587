// Driving the window's modal dialogs from a test: a queue of steps, each
// offered the active modal widget until it is done, and the steps of a
// recovery (the destination dialog, the progress dialog to its end).
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <deque>
#include <functional>
#include <string>

#include "ui/RecoverDlg.h"
#include "ui/RecoverProgressDlg.h"

namespace uitest {

// Answers the modal dialogs one step after the other: each step is offered
// the active modal widget until it says it is done. Buttons are clicked from
// the event loop, never from inside the step, so that a dialog they open
// runs its own loop. After two minutes whatever is open is rejected, so a
// test that went wrong fails instead of hanging.
class ModalDriver : public QObject {
public:
    using Step = std::function<bool(QWidget* modal)>;
    explicit ModalDriver(std::deque<Step> steps) : m_steps(std::move(steps)) {
        m_clock.start();
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (m_steps.empty() || !modal) return;
            if (m_clock.elapsed() > 120000) {
                if (auto* dialog = qobject_cast<QDialog*>(modal)) QTimer::singleShot(0, dialog, &QDialog::reject);
                return;
            }
            if (m_steps.front()(modal)) m_steps.pop_front();
        });
        m_timer.start(20);
    }
    bool AllDone() const { return m_steps.empty(); }

private:
    std::deque<Step> m_steps;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

inline void Click(QAbstractButton* button) {
    QVERIFY(button);
    QTimer::singleShot(0, button, &QAbstractButton::click);
}

inline QPushButton* ButtonOf(QWidget* w, const char* name) { return w->findChild<QPushButton*>(name); }

// A message box: its text noted, the button clicked.
inline ModalDriver::Step Answer(QMessageBox::StandardButton button, QString* text = nullptr) {
    return [=](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) return false;
        if (text) *text = box->text();
        Click(box->button(button));
        return true;
    };
}

// Any dialog: its title noted, then closed.
inline ModalDriver::Step CloseNotingTitle(QString* title) {
    return [=](QWidget* modal) {
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (!dialog) return false;
        *title = dialog->windowTitle();
        QTimer::singleShot(0, dialog, &QDialog::reject);
        return true;
    };
}

// What the destination dialog showed when it was filled in.
struct DestinationSeen {
    bool streamsShown = true, attributesShown = false, attributesTicked = false;
    QString sizeStatus;
    QString leftOut;  // what the selection left out, when the dialog says so
    uint64_t counted = 0;
    bool stillOpen = false;  // seen again after a refusal
};

// Waits for the size count, notes what the dialog shows, types the
// destination and presses OK (or Cancel).
inline ModalDriver::Step FillDestination(const std::string& folder, DestinationSeen* seen, const char* button = "okButton") {
    return [=](QWidget* modal) {
        auto* dlg = qobject_cast<CRecoverDlg*>(modal);
        if (!dlg || dlg->Counting()) return false;
        auto* status = dlg->findChild<QLabel*>("sizeStatus");
        if (!status || status->text().contains("Counting")) return false;
        if (seen) {
            seen->streamsShown = !dlg->findChild<QCheckBox*>("streams")->isHidden();
            seen->attributesShown = !dlg->findChild<QCheckBox*>("attributes")->isHidden();
            seen->attributesTicked = dlg->findChild<QCheckBox*>("attributes")->isChecked();
            seen->sizeStatus = status->text();
            auto* leftOut = dlg->findChild<QLabel*>("leftOut");
            seen->leftOut = leftOut && !leftOut->isHidden() ? leftOut->text() : QString();
            seen->counted = dlg->CountedSize();
        }
        dlg->findChild<QLineEdit*>("destination")->setText(QString::fromStdString(folder));
        Click(ButtonOf(dlg, button));
        return true;
    };
}

// The destination dialog is up again (after a refusal): press Cancel.
inline ModalDriver::Step CancelDestination(DestinationSeen* seen) {
    return [=](QWidget* modal) {
        auto* dlg = qobject_cast<CRecoverDlg*>(modal);
        if (!dlg) return false;
        seen->stillOpen = dlg->isVisible();
        Click(ButtonOf(dlg, "cancelButton"));
        return true;
    };
}

// What the progress dialog showed at its end.
struct ProgressSeen {
    QStringList rows;  // "status\tpath"
    int prompts = 0;
};

// Answers the job's questions with `answer` until the job ended, then notes
// the result list, unticks "open the destination" and closes.
inline ModalDriver::Step RunProgress(ProgressSeen* seen, QMessageBox::StandardButton answer = QMessageBox::NoToAll) {
    return [=](QWidget* modal) {
        if (auto* box = qobject_cast<QMessageBox*>(modal); box && box->objectName() == "recoverPrompt") {
            ++seen->prompts;
            Click(box->button(answer));
            return false;
        }
        auto* dlg = qobject_cast<CRecoverProgressDlg*>(modal);
        if (!dlg || !ButtonOf(dlg, "closeButton")->isEnabled()) return false;
        auto* list = dlg->findChild<QTreeWidget*>("resultList");
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            seen->rows << list->topLevelItem(i)->text(0) + "\t" + list->topLevelItem(i)->text(1);
        dlg->findChild<QCheckBox*>("openDestination")->setChecked(false);
        Click(ButtonOf(dlg, "closeButton"));
        return true;
    };
}

}  // namespace uitest
