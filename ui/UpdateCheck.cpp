#include "ui/UpdateCheck.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/Log.h"
#include "app/Profile.h"
#include "ui/Help.h"
#include "ui/Texts.h"

namespace {

int UpdateMode() { return CXMLProfile::Instance().ReadInt("Update", "Type", 1); }

}  // namespace

CUpdateDlg::CUpdateDlg(uint32_t newerVersion, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("updateDialog"));
    setWindowTitle(UiText(texts::kCaption));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_headline = UiText(texts::kCaption) + QLatin1Char(' ') + QString::fromStdString(update::VersionText(newerVersion));
    auto* headline = new QLabel(m_headline, this);
    headline->setFont(QFont(QStringLiteral("Tahoma"), 15));
    auto* body = new QLabel(tr("A newer version is available. Download opens its page in your web browser."), this);
    body->setWordWrap(true);
    m_noAutomatic = new QCheckBox(tr("Do not check for updates when the program starts"), this);
    m_noAutomatic->setChecked(UpdateMode() == 2);
    m_download = new QPushButton(tr("&Download"), this);
    m_download->setDefault(true);
    m_download->setEnabled(!m_noAutomatic->isChecked());
    auto* cancel = new QPushButton(tr("Cancel"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_download);
    buttons->addWidget(cancel);
    layout->addWidget(headline);
    layout->addWidget(body);
    layout->addWidget(m_noAutomatic);
    layout->addLayout(buttons);
    connect(m_noAutomatic, &QCheckBox::toggled, m_download, [this](bool on) { m_download->setEnabled(!on); });
    connect(m_download, &QPushButton::clicked, this, [this] { done(1); });
    connect(cancel, &QPushButton::clicked, this, &CUpdateDlg::reject);
}

QString CUpdateDlg::Headline() const { return m_headline; }

void CUpdateDlg::reject() {
    if (m_noAutomatic->isChecked()) {
        CXMLProfile::Instance().WriteInt("Update", "Type", 2);
        CXMLProfile::Instance().Save();
    }
    done(2);
}

CUpdateChecker::CUpdateChecker(QWidget* owner) : QObject(owner), m_owner(owner) {
    m_opener = [](const QString& url) { return QDesktopServices::openUrl(QUrl(url)); };
}

CUpdateChecker::~CUpdateChecker() {
    if (m_manualRunning) QApplication::restoreOverrideCursor();
    if (m_thread.joinable()) m_thread.join();
}

bool CUpdateChecker::Start(bool automatic) {
    if (m_busy.load()) return false;
    if (automatic && UpdateMode() == 2) return false;
    if (!update::CheckAvailable()) return false;  // off in this build: nothing is sent
    m_busy = true;
    m_manualRunning = !automatic;
    // A check the user asked for shows that it runs until its answer.
    if (m_manualRunning) QApplication::setOverrideCursor(Qt::BusyCursor);
    emit busyChanged(true);
    m_lastMessage.clear();
    if (m_thread.joinable()) m_thread.join();  // the last check's thread has ended
    const uint32_t current = update::VersionNumber(
        CXMLProfile::Instance().ReadString("Application", "Version", "", 64));
    const std::string base = update::ServiceBaseUrl();
    const long timeout = m_timeout;
    m_thread = std::thread([this, automatic, current, base, timeout] {
        const update::Answer answer = update::Query(base, current, timeout);
        QMetaObject::invokeMethod(this, [this, answer, automatic] { Finish(answer, automatic); },
                                  Qt::QueuedConnection);
    });
    return true;
}

void CUpdateChecker::Say(bool warning, const QString& text) {
    m_lastMessage = text;
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::Information, UiText(texts::kCaption), text,
                    QMessageBox::Ok, m_owner);
    box.setObjectName(QStringLiteral("updateMessage"));
    // A failed check: Help opens the topic on why it may fail and what to do
    // (a window of its own, readable once the box is gone).
    QPushButton* help = warning ? box.addButton(QMessageBox::Help) : nullptr;
    if (help) help->setObjectName(QStringLiteral("helpButton"));
    box.exec();
    if (help && box.clickedButton() == help) OpenHelpTopic(m_owner, QStringLiteral("AutoUpdate"));
}

void CUpdateChecker::Finish(const update::Answer& answer, bool automatic) {
    if (m_manualRunning) QApplication::restoreOverrideCursor();
    m_manualRunning = false;
    if (!answer.ok) LogWrite("Update check failed: %s\n", answer.error.c_str());
    if (answer.ok && answer.newerVersion != 0) {
        LogWrite("Update available\n");
        const int mode = UpdateMode();
        bool open = true;
        if (mode == 1 || !automatic) {
            CUpdateDlg dialog(answer.newerVersion, m_owner);
            open = dialog.exec() == 1;
        }
        if (open) {
            // From the network: only a web address is handed on, never a path or a command.
            if (update::IsWebUrl(answer.download)) {
                m_opener(QString::fromStdString(answer.download));
            } else {
                LogWrite("Update check failed: the download page is no http or https address\n");
                if (!automatic) Say(true, UiText(texts::kUpdateFailed));
            }
        }
    } else if (!automatic) {
        Say(!answer.ok, UiText(answer.ok ? texts::kUpdateNone : texts::kUpdateFailed));
    }
    m_busy = false;
    emit busyChanged(false);
    emit finished();
}
