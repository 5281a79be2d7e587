#include "ui/RecoverProgressDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "app/Profile.h"
#include "engine/index/IndexJob.h"
#include "ui/Busy.h"
#include "ui/Format.h"
#include "ui/Texts.h"

namespace {

constexpr int kTickMs = 100;
constexpr int kShortPathLength = 50;

QString Duration(double seconds) { return QString::fromStdString(FormatDuration(seconds)); }

// The answer a question gets when nobody may be asked any more (the job is
// being stopped): never overwrite, never go on.
PromptAnswer SafeAnswer(PromptKind kind) {
    switch (kind) {
        case PromptKind::OverwriteFile:
        case PromptKind::MergeFolder:
        case PromptKind::CreateParents: return PromptAnswer::No;
        case PromptKind::Warning: return PromptAnswer::Cancel;
        default: return PromptAnswer::Abort;
    }
}

}  // namespace

QString ShortenRecoverPath(const QString& path) {
    if (path.size() <= kShortPathLength) return path;
    const int nameStart = path.lastIndexOf('/') + 1;
    const int firstLevel = path.indexOf('/', path.startsWith('/') ? 1 : 0);
    if (firstLevel < 0 || firstLevel + 1 >= nameStart) return path;
    return path.left(firstLevel + 1) + "..." + path.mid(nameStart - 1);
}

CRecoverProgressDlg::CRecoverProgressDlg(QWidget* parent, CVolume& volume, RecoverItemSource items,
                                         RecoverJobSettings settings)
    : QDialog(parent), m_destination(settings.destination) {
    setWindowTitle(tr("Recovering"));
    setObjectName("recoverProgressDlg");
    settings.prompts = this;
    m_job = std::make_unique<CRecoverJob>(volume, std::move(items), std::move(settings), &m_events);

    auto* layout = new QVBoxLayout(this);
    m_progressBox = new QWidget(this);
    auto* grid = new QGridLayout(m_progressBox);
    grid->setContentsMargins(0, 0, 0, 0);
    m_status = new QLabel(m_progressBox);
    m_status->setObjectName("status");
    m_currentPath = new QLabel(m_progressBox);
    m_currentPath->setObjectName("currentPath");
    m_currentPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_fileBar = new QProgressBar(m_progressBox);
    m_fileBar->setObjectName("fileProgress");
    m_totalBar = new QProgressBar(m_progressBox);
    m_totalBar->setObjectName("totalProgress");
    m_remaining = new QLabel(m_progressBox);
    m_remaining->setObjectName("remaining");
    m_counters = new QLabel(m_progressBox);
    m_counters->setObjectName("counters");
    grid->addWidget(m_status, 0, 0, 1, 2);
    grid->addWidget(new QLabel(tr("File:"), m_progressBox), 1, 0);
    grid->addWidget(m_currentPath, 1, 1);
    grid->addWidget(m_fileBar, 2, 1);
    grid->addWidget(new QLabel(tr("Total:"), m_progressBox), 3, 0);
    grid->addWidget(m_totalBar, 3, 1);
    grid->addWidget(m_remaining, 4, 1);
    grid->addWidget(m_counters, 5, 1);
    grid->setColumnStretch(1, 1);
    layout->addWidget(m_progressBox);

    m_results = new QTreeWidget(this);
    m_results->setObjectName("resultList");
    m_results->setColumnCount(2);
    m_results->setHeaderLabels({tr("Status"), tr("Item")});
    m_results->setRootIsDecorated(false);
    m_results->setUniformRowHeights(true);
    m_results->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_results->setMinimumWidth(fontMetrics().averageCharWidth() * 70);
    layout->addWidget(m_results, 1);

    m_openDestination = new QCheckBox(tr("&Open the destination folder when this window closes"), this);
    m_openDestination->setObjectName("openDestination");
    m_openDestination->setChecked(CXMLProfile::Instance().ReadInt("Recover", "ShowInExplorerOnClose", 1) != 0);
    layout->addWidget(m_openDestination);

    auto* buttons = new QDialogButtonBox(this);
    m_cancelButton = buttons->addButton(QDialogButtonBox::Cancel);
    m_cancelButton->setObjectName("cancelButton");
    m_closeButton = buttons->addButton(QDialogButtonBox::Close);
    m_closeButton->setObjectName("closeButton");
    m_closeButton->setEnabled(false);
    layout->addWidget(buttons);
    connect(m_cancelButton, &QPushButton::clicked, this, &CRecoverProgressDlg::CancelJob);
    connect(m_closeButton, &QPushButton::clicked, this, &CRecoverProgressDlg::accept);

    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &CRecoverProgressDlg::Tick);
}

CRecoverProgressDlg::~CRecoverProgressDlg() {
    if (m_job->IsRunning()) {
        m_stopping = true;
        m_job->RequestStop();
        WaitForWorker();
    }
    if (m_started && !m_finished) BusyEnd(this);
}

RecoverCounters CRecoverProgressDlg::Counters() const { return m_job->Counters(); }

void CRecoverProgressDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        QTimer::singleShot(0, this, &CRecoverProgressDlg::Start);
    }
}

void CRecoverProgressDlg::Start() {
    if (m_finished) return;  // closed before it could start
    BusyBegin(this);
    m_status->setText(tr("Counting the size of the selection…"));
    if (!m_job->Start()) {
        AddRow(tr("Failed"), QString::fromStdString(m_job->Outcome().status.message()), true);
        Finish();
        return;
    }
    m_timer->start();
}

void CRecoverProgressDlg::AddRow(const QString& status, const QString& path, bool problem) {
    auto* item = new QTreeWidgetItem(m_results, {status, path});
    item->setIcon(0, style()->standardIcon(problem ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxInformation));
    item->setToolTip(1, path);
    if (!problem && path.isEmpty()) item->setFirstColumnSpanned(true);
    m_results->scrollToItem(item);
}

void CRecoverProgressDlg::Tick() {
    for (const RecoverJobEvent& e : m_events.Take()) {
        if (e.kind != RecoverJobEvent::Kind::ItemEnded) continue;
        const RecoverItemRecord& r = e.record;
        const std::string status = RecoverStatusName(r);
        if (status == "ok") {
            // Written whole, under a name the destination could take.
            if (!r.originalName.empty())
                AddRow(tr("Written under another name; on the volume: %1").arg(QString::fromStdString(r.originalName)),
                       QString::fromStdString(r.path), false);
            continue;
        }
        QString text = r.status.empty() ? QString::fromStdString(status) : QString::fromStdString(r.status);
        if (r.unverified) text = tr("Unverified: %1").arg(text);
        AddRow(text, QString::fromStdString(r.path), true);
    }
    if (m_finished) return;
    const JobProgress p = m_job->Progress();
    const RecoverCounters c = m_job->Counters();
    if (p.phase == JobPhase::Counting) {
        m_status->setText(UiText(676).arg(p.itemsDone));
        m_totalBar->setRange(0, 0);
    } else if (p.phase == JobPhase::Recovering) {
        m_totalBar->setRange(0, 100);
        m_fileBar->setValue(std::clamp(c.filePercent, 0, 100));
        m_totalBar->setValue(std::clamp(c.totalPercent, 0, 100));
        if (!m_stopping) m_status->setText(UiText(597).arg(std::clamp(c.totalPercent, 0, 100)));
        const QString path = QString::fromStdString(c.currentPath);
        m_currentPath->setText(ShortenRecoverPath(path));
        m_currentPath->setToolTip(path);
        const double remaining = c.processedBytes == 0 || p.remaining < 0 ? 0 : p.remaining;
        m_remaining->setText(tr("Time left: %1").arg(remaining > 4096 ? UiText(535) : Duration(remaining)));
        m_counters->setText(tr("Files: %1 of %2   Folders: %3 of %4   Written: %5")
                                .arg(c.filesDone)
                                .arg(c.filesStarted)
                                .arg(c.foldersDone)
                                .arg(c.foldersStarted)
                                .arg(HumanSize(c.recoveredBytes)));
    }
    if (!m_job->IsRunning()) Finish();
}

void CRecoverProgressDlg::Finish() {
    if (m_finished) return;
    m_finished = true;
    m_timer->stop();
    Tick();  // the last records
    m_cancelButton->setEnabled(false);
    m_progressBox->hide();
    layout()->activate();
    const RecoverCounters c = m_job->Counters();
    if (m_cancelled || m_job->Outcome().stopped()) {
        m_cancelled = true;
        AddRow(UiText(613), QString(), false);
    } else if (m_job->Outcome().failed()) {
        // The device stopped answering: what was written stays, the rest is counted.
        AddRow(tr("Stopped"), QString::fromStdString(m_job->Outcome().status.message()), true);
        if (c.notAttempted) AddRow(tr("%n item(s) not attempted", nullptr, c.notAttempted), QString(), false);
    }
    if (c.filesStarted == 0 && c.foldersStarted == 0) {
        AddRow(UiText(549), QString(), false);
    } else {
        if (c.filesStarted)
            AddRow(c.filesDone == c.filesStarted ? UiText(601).arg(c.filesDone)
                   : c.filesDone == 0            ? UiText(602).arg(c.filesStarted)
                                                 : UiText(603).arg(c.filesDone).arg(c.filesStarted),
                   QString(), false);
        if (c.foldersStarted)
            AddRow(c.foldersDone == c.foldersStarted ? UiText(604).arg(c.foldersDone)
                   : c.foldersDone == 0              ? UiText(605).arg(c.foldersStarted)
                                                     : UiText(606).arg(c.foldersDone).arg(c.foldersStarted),
                   QString(), false);
        AddRow(c.recoveredBytes ? UiText(607).arg(HumanSize(c.recoveredBytes), Duration(m_job->Progress().elapsed))
                                : UiText(612),
               QString(), false);
        if (c.failed) AddRow(UiText(608).arg(c.failed), QString(), false);
        if (c.incomplete) AddRow(UiText(609).arg(c.incomplete), QString(), false);
        if (c.skipped) AddRow(UiText(610).arg(c.skipped), QString(), false);
        if (c.namesOnly) AddRow(UiText(614).arg(c.namesOnly), QString(), false);
        AddRow(UiText(611).arg(QString::fromStdString(m_destination)), QString(), false);
    }
    m_closeButton->setEnabled(true);
    m_closeButton->setDefault(true);
    m_closeButton->setFocus();
    BusyEnd(this);
    if (m_closeWhenFinished) QTimer::singleShot(0, this, [this] { done(m_closeResult); });
}

void CRecoverProgressDlg::CancelJob() {
    if (m_finished || m_stopping) return;
    m_cancelled = true;
    m_stopping = true;
    m_job->RequestStop();
    m_cancelButton->setEnabled(false);
    m_status->setText(UiText(562));
}

void CRecoverProgressDlg::WaitForWorker() {
    while (m_job->IsRunning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void CRecoverProgressDlg::done(int result) {
    if (m_started && !m_finished) {
        if (m_job->IsRunning()) {
            QMessageBox question(QMessageBox::Question, UiText(500), tr("The recovery is still running. Cancel it?"),
                                 QMessageBox::Yes | QMessageBox::No, this);
            question.setObjectName("closeQuestion");
            question.setDefaultButton(QMessageBox::No);
            if (question.exec() != QMessageBox::Yes) return;
        }
        if (!m_finished && m_job->IsRunning()) {
            // The worker may wait on a question of its own, further down this
            // thread's stack: stop it, drop that question and close once it
            // has ended.
            CancelJob();
            if (m_prompt) m_prompt->reject();
            m_closeWhenFinished = true;
            m_closeResult = result;
            return;
        }
        Finish();
    }
    CXMLProfile& profile = CXMLProfile::Instance();
    profile.WriteInt("Recover", "ShowInExplorerOnClose", m_openDestination->isChecked() ? 1 : 0);
    profile.Save();
    if (m_finished && m_openDestination->isChecked()) {
        const QString folder = QString::fromStdString(m_destination);
        // Without a file manager (or a desktop to ask) nothing opens: say where the items are.
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
            QMessageBox box(QMessageBox::Information, UiText(509),
                            tr("The destination folder could not be opened: no file manager answered. The "
                               "recovered items are in this folder; open it by hand:\n\n%1")
                                .arg(folder),
                            QMessageBox::Ok, this);
            box.setObjectName("openFolderFailed");
            box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            box.exec();
        }
    }
    QDialog::done(result);
}

PromptAnswer CRecoverProgressDlg::Ask(PromptKind kind, const std::string& message, const std::string& path,
                                      std::string& /*newPath*/) {
    if (m_stopping.load()) return SafeAnswer(kind);
    QString text = QString::fromStdString(message);
    if (text.isEmpty()) text = tr("%1 could not be recovered.").arg(QString::fromStdString(path));
    PromptAnswer answer = SafeAnswer(kind);
    QMetaObject::invokeMethod(
        this, [&] { answer = AskHere(kind, text); }, Qt::BlockingQueuedConnection);
    return answer;
}

PromptAnswer CRecoverProgressDlg::AskHere(PromptKind kind, const QString& message) {
    if (m_stopping.load()) return SafeAnswer(kind);
    Tick();  // the dialog behind the question shows the item it is about
    QMessageBox box(QMessageBox::Question, UiText(500), message, QMessageBox::NoButton, this);
    box.setObjectName("recoverPrompt");
    m_prompt = &box;
    switch (kind) {
        case PromptKind::OverwriteFile:
        case PromptKind::MergeFolder:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::NoToAll);
            box.setDefaultButton(QMessageBox::No);
            break;
        case PromptKind::CreateParents:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            break;
        case PromptKind::CreateFileFailed:
        case PromptKind::CreateFolderFailed:
        case PromptKind::WriteFailed:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
            box.setDefaultButton(QMessageBox::Retry);
            break;
        case PromptKind::Warning:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Cancel | QMessageBox::NoToAll | QMessageBox::Ignore);
            box.button(QMessageBox::Cancel)->setText(tr("Cancel the recovery"));
            box.button(QMessageBox::NoToAll)->setText(tr("Skip all"));
            box.button(QMessageBox::Ignore)->setText(tr("Skip"));
            box.setDefaultButton(QMessageBox::Ignore);
            break;
    }
    const int clicked = box.exec();
    // Cancelled while the question was open: the answer no longer counts
    // (an overwrite now would only cut the existing file short).
    if (m_stopping.load()) return SafeAnswer(kind);
    switch (clicked) {
        case QMessageBox::Yes: return PromptAnswer::Yes;
        case QMessageBox::YesToAll: return PromptAnswer::YesToAll;
        case QMessageBox::No: return PromptAnswer::No;
        case QMessageBox::NoToAll: return kind == PromptKind::Warning ? PromptAnswer::SkipAll : PromptAnswer::NoToAll;
        case QMessageBox::Abort: return PromptAnswer::Abort;
        case QMessageBox::Retry: return PromptAnswer::Retry;
        case QMessageBox::Ignore: return kind == PromptKind::Warning ? PromptAnswer::Skip : PromptAnswer::Ignore;
        case QMessageBox::Cancel: return PromptAnswer::Cancel;
        default: return SafeAnswer(kind);  // closed without an answer
    }
}
