#include "ui/RecoverDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "app/RecentDestinations.h"
#include "engine/recovery/Destination.h"
#include "platform/Text.h"
#include "ui/RecoverProgressDlg.h"
#include "ui/Format.h"
#include "ui/Texts.h"

namespace {

// Walks carved runs in order; after the end it starts over (each walk of
// the job's contract gets the same sequence). Index items walk through
// their plan, which sizes folder trees.
RecoverItemSource CarvedItemsOf(const std::vector<RecoverItem>& items) {
    auto next = std::make_shared<size_t>(0);
    return [&items, next](bool, RecoverItem& out) {
        if (*next >= items.size()) {
            *next = 0;
            return false;
        }
        out = items[(*next)++];
        return true;
    };
}

}  // namespace

CRecoverDlg::CRecoverDlg(QWidget* parent, RecoverJob& job, std::string sourcePath)
    : QDialog(parent), m_job(job), m_sourcePath(std::move(sourcePath)) {
    setWindowTitle(tr("Recover"));
    setObjectName("recoverDlg");
    const bool carved = (m_job.flags & RECOVER_CARVED) != 0;

    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(tr("Write the recovered items into this folder:"), this);
    layout->addWidget(intro);

    auto* row = new QHBoxLayout;
    m_destination = new QLineEdit(this);
    m_destination->setObjectName("destination");
    m_destination->setMinimumWidth(fontMetrics().averageCharWidth() * 50);
    intro->setBuddy(m_destination);
    auto* browse = new QPushButton(tr("&Browse…"), this);
    browse->setObjectName("browseButton");
    row->addWidget(m_destination, 1);
    row->addWidget(browse);
    layout->addLayout(row);

    m_freeSpace = new QLabel(this);
    m_freeSpace->setObjectName("freeSpace");
    m_freeSpace->setWordWrap(true);
    layout->addWidget(m_freeSpace);

    auto* warning = new QLabel(tr("Choose a folder on another drive than the one you recover from: anything "
                                  "written there could overwrite the deleted data you want back."),
                               this);
    warning->setWordWrap(true);
    layout->addWidget(warning);

    const std::vector<std::string> recent = LoadRecentDestinations();
    auto* recentLabel = new QLabel(tr("Recently used folders:"), this);
    m_recent = new QListWidget(this);
    m_recent->setObjectName("recentList");
    for (const std::string& folder : recent) m_recent->addItem(QString::fromStdString(folder));
    if (!recent.empty()) m_recent->setMaximumHeight(m_recent->sizeHintForRow(0) * 6 + 2 * m_recent->frameWidth());
    recentLabel->setBuddy(m_recent);
    recentLabel->setVisible(!recent.empty());
    m_recent->setVisible(!recent.empty());
    layout->addWidget(recentLabel);
    layout->addWidget(m_recent);
    if (!recent.empty()) {
        m_recent->setCurrentRow(0);
        m_destination->setText(QString::fromStdString(recent.front()));
    }

    // Named streams exist where the file system keeps them; folder attributes belong to index items.
    m_streams = new QCheckBox(tr("Also recover named data &streams"), this);
    m_streams->setObjectName("streams");
    m_streams->setChecked((m_job.flags & RECOVER_STREAMS) != 0);
    const bool streams = m_job.volume && m_job.volume->Traits().namedStreams;
    m_streams->setVisible(!carved && streams);
    m_streams->setEnabled(!carved && streams);
    m_attributes = new QCheckBox(tr("Give recreated folders their former &attributes"), this);
    m_attributes->setObjectName("attributes");
    m_attributes->setChecked((m_job.flags & RECOVER_ATTRIBUTES) != 0);
    m_attributes->setVisible(!carved);
    m_attributes->setEnabled(!carved);
    layout->addWidget(m_streams);
    layout->addWidget(m_attributes);

    m_leftOut = new QLabel(this);
    m_leftOut->setObjectName("leftOut");
    m_leftOut->setWordWrap(true);
    m_leftOut->setTextFormat(Qt::PlainText);
    m_leftOut->hide();
    layout->addWidget(m_leftOut);

    m_sizeStatus = new QLabel(this);
    m_sizeStatus->setObjectName("sizeStatus");
    layout->addWidget(m_sizeStatus);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("&Recover"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName("okButton");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancelButton");
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &CRecoverDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CRecoverDlg::reject);
    connect(browse, &QPushButton::clicked, this, &CRecoverDlg::Browse);
    connect(m_destination, &QLineEdit::textChanged, this, &CRecoverDlg::UpdateFreeSpace);
    connect(m_recent, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { m_destination->setText(item->text()); });
    UpdateFreeSpace();

    // The size count, on its own thread; the status line is read by a timer.
    const QString first = UiText(675), counted = UiText(676);
    m_status = UiText(676).arg(0);
    m_counting = true;
    m_job.stop = &m_stop;
    m_countThread = std::thread([this, first, counted] {
        CountRecoverySize(m_job, [&](uint32_t count, const std::u16string& name) {
            std::lock_guard<std::mutex> g(m_lock);
            m_countedItems = count;
            m_status = count == 1 ? first.arg(QString::fromStdU16String(name)) : counted.arg(count);
        });
        m_counting = false;
    });
    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(100);
    connect(m_statusTimer, &QTimer::timeout, this, &CRecoverDlg::ShowCountStatus);
    m_statusTimer->start();
    ShowCountStatus();
}

CRecoverDlg::~CRecoverDlg() {
    StopCount();
    m_job.stop = nullptr;  // the flag goes with the dialog
}

void CRecoverDlg::StopCount() {
    m_stop.store(1);
    if (m_countThread.joinable()) m_countThread.join();
}

uint32_t CRecoverDlg::Flags() const {
    uint32_t flags = m_job.flags & ~(RECOVER_STREAMS | RECOVER_ATTRIBUTES);
    if (m_streams->isEnabled() && m_streams->isChecked()) flags |= RECOVER_STREAMS;
    if (m_attributes->isEnabled() && m_attributes->isChecked()) flags |= RECOVER_ATTRIBUTES;
    return flags;
}

uint64_t CRecoverDlg::CountedSize() const {
    std::lock_guard<std::mutex> g(m_job.lock);
    return m_job.totalSize;
}

void CRecoverDlg::ShowLeftOut(const QString& text) {
    m_leftOut->setText(text);
    m_leftOut->setVisible(!text.isEmpty());
}

void CRecoverDlg::ShowCountStatus() {
    QString text;
    uint32_t count = 0;
    {
        std::lock_guard<std::mutex> g(m_lock);
        text = m_status;
        count = m_countedItems;
    }
    if (!m_counting.load()) {
        m_statusTimer->stop();
        text = count == 0   ? tr("The selection is empty.")
               : count == 1 ? tr("1 item selected, %1 in total.").arg(HumanSize(CountedSize()))
                            : tr("%1 items selected, %2 in total.").arg(count).arg(HumanSize(CountedSize()));
    }
    m_sizeStatus->setText(text);
}

void CRecoverDlg::UpdateFreeSpace() {
    const std::string destination = ResolveTypedPath(m_destination->text()).toStdString();
    if (destination.empty()) {
        m_freeSpace->clear();
        return;
    }
    const DestinationCheck check = CheckDestination(destination, m_sourcePath, 0);
    if (!check.status.ok())
        m_freeSpace->setText(QString::fromStdString(check.status.message()));
    else if (check.freeBytes)
        m_freeSpace->setText(tr("Free space there: %1").arg(HumanSize(check.freeBytes)));
    else
        m_freeSpace->setText(tr("The free space there is not known."));
}

void CRecoverDlg::Browse() {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Destination folder"), m_destination->text());
    if (!folder.isEmpty()) m_destination->setText(folder);
}

void CRecoverDlg::accept() {
    // "~/x" and relative paths name folders under the home folder; the field
    // shows the folder used, and a relative path waits for a second OK.
    bool relative = false;
    const QString resolved = ResolveTypedPath(m_destination->text(), &relative);
    if (resolved != m_destination->text()) m_destination->setText(resolved);
    if (relative) {
        m_freeSpace->setText(
            tr("A folder without a full path is taken from your home folder: %1. Choose OK again to recover there.")
                .arg(resolved));
        m_destination->setFocus();
        return;
    }
    std::string folder;
    switch (ConfirmDestination(this, resolved.toStdString(), m_sourcePath, CountedSize(), folder)) {
        case DestinationAnswer::Refused: m_destination->selectAll(); [[fallthrough]];
        case DestinationAnswer::Declined: m_destination->setFocus(); return;
        case DestinationAnswer::Ready: break;
    }
    m_folder = folder;
    QDialog::accept();
}

DestinationAnswer ConfirmDestination(QWidget* parent, const std::string& destination, const std::string& sourcePath,
                                     uint64_t total, std::string& folder) {
    const DestinationCheck check = CheckDestination(destination, sourcePath, total);
    const auto refuse = [parent](const Status& why) {
        QMessageBox::warning(parent, UiText(509), UiText(510).arg(QString::fromStdString(why.message())));
        return DestinationAnswer::Refused;
    };
    if (!check.status.ok()) return refuse(check.status);
    // A FUSE destination that names nothing behind it may be the source itself.
    if (check.backingUnknown &&
        QMessageBox::question(parent, UiText(509),
                              CRecoverDlg::tr("%1.\n\nRecover into this folder anyway?")
                                  .arg(QString::fromStdString(check.backingMessage)),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return DestinationAnswer::Refused;
    if (check.tooSmall &&
        QMessageBox::question(parent, UiText(509), UiText(528).arg(HumanSize(check.freeBytes), HumanSize(total)),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return DestinationAnswer::Declined;
    // Created and proved writable before the progress dialog opens.
    if (const Status prepared = PrepareDestination(check.folder); !prepared.ok()) return refuse(prepared);
    RememberDestination(check.folder);
    folder = check.folder;
    return DestinationAnswer::Ready;
}

void CRecoverDlg::done(int result) {
    StopCount();
    QDialog::done(result);
}

void AddSelectedRows(RecoverSelection& selection, const std::vector<SelectedRow>& rows) {
    CVolume* volume = selection.volume;
    if (!volume) return;
    if (!selection.plan) selection.plan = std::make_shared<CRecoveryPlan>(*volume);
    CRecoveryPlan& plan = *selection.plan;
    QStringList existing;
    for (const SelectedRow& row : rows) {
        const ListedItem& item = *row.item;
        if (item.virtualFolder && item.info.name == u"$LostFolders") {
            plan.AddLostFolders();
        } else if (item.virtualFolder) {
            plan.AddRecycleBin();
            std::unique_ptr<IEnumExistingFiles> present;
            FileItemInfo info;
            if (volume->EnumExistingFiles(present) && present)
                while (present->Next(info)) existing << QString::fromStdU16String(info.name);
        } else if (!item.deleted) {
            existing << row.name;
        } else if (item.lostFolder) {
            plan.AddLostFolder(item.info.id, {});
        } else {
            plan.AddDeleted(item.info.id, row.name.toStdU16String(), item.info.attributes, item.info.size, {});
        }
    }
    selection.items = plan.Items();
    if (existing.isEmpty()) return;
    constexpr qsizetype kNamed = 5;
    QString names = QStringList(existing.mid(0, kNamed)).join(QStringLiteral(", "));
    if (existing.size() > kNamed)
        names = QCoreApplication::translate("RecoverSelection", "%1 and %2 more").arg(names).arg(existing.size() - kNamed);
    selection.leftOut =
        existing.size() == 1
            ? QCoreApplication::translate("RecoverSelection",
                                          "1 existing item is not recovered: it is not deleted, so it is still "
                                          "on the drive (%1).")
                  .arg(names)
            : QCoreApplication::translate("RecoverSelection",
                                          "%1 existing items are not recovered: they are not deleted, so they are "
                                          "still on the drive (%2).")
                  .arg(existing.size())
                  .arg(names);
}

bool RecoverFileGroup(QWidget* parent, const RecoverSelection& selection, UsageStatistics& statistics) {
    if (!selection.volume) return false;
    const auto items = [&] {
        return selection.plan ? selection.plan->Source() : CarvedItemsOf(selection.items);
    };
    RecoverJob job;
    job.volume = selection.volume;
    job.flags = selection.carved ? RECOVER_CARVED : (RECOVER_STREAMS | RECOVER_ATTRIBUTES);
    job.getNextItem = items();
    RecoverJobSettings settings;
    {
        CRecoverDlg destination(parent, job, selection.sourcePath);
        destination.ShowLeftOut(selection.leftOut);
        if (destination.exec() != QDialog::Accepted) return false;
        settings.destination = destination.Folder();
        settings.flags = destination.Flags();
    }
    RunRecovery(parent, *selection.volume, items(), settings, statistics);
    return true;
}

void RunRecovery(QWidget* parent, CVolume& volume, RecoverItemSource items, const RecoverJobSettings& settings,
                 UsageStatistics& statistics) {
    CRecoverProgressDlg progress(parent, volume, std::move(items), settings);
    progress.exec();
    const RecoverCounters c = progress.Counters();
    statistics.filesRecovered += static_cast<uint64_t>(std::max(c.filesDone, 0));
    statistics.bytesRecovered += c.processedBytes;
}

bool RecoverDroppedSelection(QWidget* parent, const RecoverSelection& selection, const QString& folder,
                             UsageStatistics& statistics) {
    if (!selection.volume || !selection.plan || selection.items.empty()) return false;
    RecoverJobSettings settings;
    if (ConfirmDestination(parent, folder.toStdString(), selection.sourcePath, selection.plan->CountedSize(),
                           settings.destination) != DestinationAnswer::Ready)
        return false;
    settings.flags = RECOVER_ATTRIBUTES | (selection.volume->Traits().namedStreams ? RECOVER_STREAMS : 0u);
    RunRecovery(parent, *selection.volume, selection.plan->Source(), settings, statistics);
    return true;
}
