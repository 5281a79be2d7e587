#include "ui/SearchDlg.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>
#include <array>

#include "app/Log.h"
#include "app/Profile.h"
#include "engine/index/FolderBrowse.h"
#include "platform/Calendar.h"
#include "platform/Text.h"
#include "ui/BrowsePage.h"
#include "ui/Busy.h"
#include "ui/ColumnLayout.h"
#include "ui/PropDlg.h"
#include "ui/HexViewDlg.h"
#include "ui/ItemIconView.h"
#include "ui/QuickViewDlg.h"
#include "ui/RecoverDlg.h"
#include "ui/Texts.h"

namespace {

constexpr const char* kLayout = "LayoutSearch";
constexpr int kColumns = kFileListColumns + 1;
constexpr std::array<int32_t, kColumns> kDefaultWidths {220, 80, 120, 140, 140, 110, 260};

// A size field as decimal KiB; text that is no number reads as 0.
uint32_t KiB(const QLineEdit* field) {
    bool ok = false;
    const qulonglong v = field->text().trimmed().toULongLong(&ok);
    return ok ? static_cast<uint32_t>(std::min<qulonglong>(v, UINT32_MAX)) : 0;
}

// A picker's date and time of day as seconds on the volume's clock: UTC
// seconds of that local time on NTFS, the wall-clock fields counted as UTC
// on FAT (which stores no zone).
int64_t PickerSeconds(const QDateTimeEdit* picker, bool utcClock) {
    const QDate d = picker->date();
    const QTime h = picker->time();
    int64_t seconds = 0;
    if (utcClock) LocalCalendarSeconds(d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second(), seconds);
    else CalendarSeconds(d.year(), d.month(), d.day(), h.hour(), h.minute(), h.second(), seconds);
    return seconds;
}

}  // namespace

CSearchDlg::CSearchDlg(CBrowsePage& browse, UsageStatistics& statistics, QWidget* parent)
    : QWidget(parent), m_browse(browse), m_statistics(statistics) {
    setObjectName(QStringLiteral("searchPage"));
    auto* layout = new QVBoxLayout(this);
    auto* criteria = new QGridLayout;
    m_drive = new QComboBox(this);
    auto* driveLabel = new QLabel(tr("&Drive:"), this);
    driveLabel->setBuddy(m_drive);
    criteria->addWidget(driveLabel, 0, 0);
    criteria->addWidget(m_drive, 0, 1, 1, 3);
    m_useName = new QCheckBox(tr("&Name"), this);
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(tr("a name, or a pattern with * and ?"));
    m_nameMode = new QComboBox(this);
    m_nameMode->addItems({tr("Whole name"), tr("Part of the name")});
    m_nameMode->setCurrentIndex(1);
    criteria->addWidget(m_useName, 1, 0);
    criteria->addWidget(m_name, 1, 1, 1, 2);
    criteria->addWidget(m_nameMode, 1, 3);
    m_useSize = new QCheckBox(tr("&Size (KiB)"), this);
    m_sizeFrom = new QLineEdit(QStringLiteral("0"), this);
    m_sizeTo = new QLineEdit(QStringLiteral("1024"), this);
    criteria->addWidget(m_useSize, 2, 0);
    criteria->addWidget(m_sizeFrom, 2, 1);
    criteria->addWidget(new QLabel(tr("to"), this), 2, 2, Qt::AlignCenter);
    criteria->addWidget(m_sizeTo, 2, 3);
    m_useDate = new QCheckBox(tr("D&ate"), this);
    m_dateKind = new QComboBox(this);
    m_dateKind->addItems({tr("Created"), tr("Modified")});
    m_dateFrom = new QDateTimeEdit(QDateTime(QDate::currentDate().addMonths(-1), QTime(0, 0)), this);
    m_dateTo = new QDateTimeEdit(QDateTime(QDate::currentDate(), QTime(23, 59, 59)), this);
    for (QDateTimeEdit* e : {m_dateFrom, m_dateTo}) {
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    auto* dates = new QHBoxLayout;
    dates->addWidget(m_dateKind);
    dates->addWidget(m_dateFrom, 1);
    dates->addWidget(new QLabel(tr("to"), this));
    dates->addWidget(m_dateTo, 1);
    criteria->addWidget(m_useDate, 3, 0);
    criteria->addLayout(dates, 3, 1, 1, 3);
    criteria->setColumnStretch(1, 1);
    criteria->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    m_search = new QPushButton(QIcon::fromTheme(QStringLiteral("edit-find")), tr("Searc&h"), this);
    m_search->setObjectName(QStringLiteral("searchButton"));
    m_stop = new QPushButton(QIcon::fromTheme(QStringLiteral("process-stop")), tr("S&top"), this);
    m_stop->setEnabled(false);
    m_counters = new QLabel(this);
    m_counters->setObjectName(QStringLiteral("searchCounters"));
    buttons->addWidget(m_search);
    buttons->addWidget(m_stop);
    buttons->addSpacing(12);
    buttons->addWidget(m_counters, 1);
    layout->addLayout(criteria);
    layout->addLayout(buttons);

    m_model.SetFolderColumn(true, true);
    m_proxy.setSourceModel(&m_model);
    m_proxy.setSortRole(kSortRole);
    m_list = new QTreeView(this);
    m_list->setObjectName(QStringLiteral("searchResults"));
    SetUpItemList(*m_list, m_proxy);
    EnableItemDrag(*m_list);
    m_list->setItemDelegateForColumn(kColDataStatus, new CDataStatusDelegate(m_list));
    m_listStack = new QStackedWidget(this);
    m_listStack->addWidget(m_list);
    // Thumbnails once the search has ended (its walk and the reads never share the volume).
    m_iconPane = new CItemIconPane(*m_list, m_proxy, m_browse.Thumbnails(), [this](int row, ThumbnailRequest& out) {
        if (!m_volume || m_job || row < 0 || row >= m_model.rowCount()) return false;
        const ListedItem& item = m_model.Item(row);
        if (item.IsFolder() || (item.info.attributes & FILE_ATTRIBUTE_ENCRYPTED) || !IsThumbnailName(m_model.Name(row)))
            return false;
        out.volume = m_volume;
        out.item = ListedPreviewItem(item, m_model.Name(row));
        out.key = ThumbnailKey(m_volume, out.item);
        out.useEmbedded = !item.deleted || item.info.dataStatus == 0;
        return true;
    }, m_listStack);
    m_iconPane->setObjectName(QStringLiteral("searchIcons"));
    m_iconPane->View()->setAccessibleName(tr("Files found, as thumbnails"));
    m_listStack->addWidget(m_iconPane);
    layout->addWidget(m_listStack, 1);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CSearchDlg::selectionChanged);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &CSearchDlg::selectionChanged);

    connect(m_search, &QPushButton::clicked, this, &CSearchDlg::StartSearch);
    // Return in any criterion field searches; Space on a result previews it, as in the browse page.
    for (QLineEdit* field : {m_name, m_sizeFrom, m_sizeTo})
        connect(field, &QLineEdit::returnPressed, this, &CSearchDlg::StartSearch);
    auto* space = new QAction(m_list);
    space->setShortcut(QKeySequence(Qt::Key_Space));
    space->setShortcutContext(Qt::WidgetShortcut);
    connect(space, &QAction::triggered, this, &CSearchDlg::QuickView);
    m_list->addAction(space);
    connect(this, &CSearchDlg::selectionChanged, this, &CSearchDlg::UpdateStatusLine);
    connect(m_stop, &QPushButton::clicked, this, &CSearchDlg::StopSearch);
    connect(m_list, &QTreeView::activated, this, &CSearchDlg::QuickView);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (SelectedRows().empty()) return;
        QMenu menu;
        menu.addAction(tr("Preview"), this, &CSearchDlg::QuickView);
        menu.addAction(tr("Hex view"), this, &CSearchDlg::HexView)->setEnabled(CanPreview());
        menu.addAction(tr("Recover…"), this, &CSearchDlg::RecoverSelection);
        menu.addAction(tr("Show containing folder"), this, &CSearchDlg::ShowContainingFolder);
        menu.addAction(tr("Properties"), this, &CSearchDlg::ShowProperties);
        menu.exec(m_list->viewport()->mapToGlobal(at));
    });
    m_refresh.setInterval(200);
    connect(&m_refresh, &QTimer::timeout, this, &CSearchDlg::TakeResults);
    m_seconds.setInterval(1000);
    connect(&m_seconds, &QTimer::timeout, this, &CSearchDlg::ShowCounters);
    RestoreLayout();
    UpdateStatusLine();
}

CSearchDlg::~CSearchDlg() { Cancel(); }

void CSearchDlg::Cancel() {
    if (!m_job) return;
    m_job->RequestStop();
    m_job->Wait();
    Finish();
}

void CSearchDlg::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    RefreshDrives();
}

void CSearchDlg::SelectDrive(int driveIndex) {
    RefreshDrives();
    ChooseInDriveBox(*m_drive, driveIndex, driveIndex);
}

void CSearchDlg::RefreshDrives() {
    const int keep = FillDriveBox(*m_drive, m_browse.Drives());
    ChooseInDriveBox(*m_drive, keep, m_browse.CurrentDriveIndex());
}

void CSearchDlg::SetIdle(bool idle) {
    for (QWidget* w : std::initializer_list<QWidget*>{m_drive, m_useName, m_name, m_nameMode, m_useSize, m_sizeFrom,
                                                      m_sizeTo, m_useDate, m_dateKind, m_dateFrom, m_dateTo, m_search})
        w->setEnabled(idle);
    m_stop->setEnabled(!idle);
    emit selectionChanged();  // the commands wait for the search's end
}

bool CSearchDlg::StartSearch() {
    if (m_job || m_drive->currentIndex() < 0) return false;
    const int drive = m_drive->currentData().toInt();
    SetIdle(false);
    CVolume* volume = m_browse.ReadyDrive(drive);
    if (!volume) {
        SetIdle(true);
        return false;
    }
    m_searchDrive = drive;
    m_volume = volume;
    const bool utc = volume->Traits().timesUtc;
    m_model.Clear();
    m_model.SetFolderColumn(true, utc);
    m_model.SetDragSource(m_browse.Drives()[static_cast<size_t>(drive)].source, m_browse.Drives()[static_cast<size_t>(drive)].letter);
    m_matches.Take();
    m_job = std::make_unique<CSearchJob>(*volume, &m_matches);
    SearchCriteria& c = m_job->Criteria();
    c.useName = m_useName->isChecked() ? 1 : 0;
    c.name = m_name->text().toStdU16String();
    c.nameMode = m_nameMode->currentIndex();
    c.useSize = m_useSize->isChecked() ? 1 : 0;
    c.sizeFrom = KiB(m_sizeFrom);
    c.sizeTo = KiB(m_sizeTo);
    c.useDate = m_useDate->isChecked() ? 1 : 0;
    c.dateKind = m_dateKind->currentIndex();
    c.dateFrom = PickerSeconds(m_dateFrom, utc);
    c.dateTo = PickerSeconds(m_dateTo, utc);
    BusyBegin(this);
    if (!m_job->Start()) {
        m_job.reset();
        BusyEnd(this);
        SetIdle(true);
        return false;
    }
    m_searchStopped = false;
    ShowCounters();
    m_refresh.start();
    m_seconds.start();
    UpdateStatusLine();
    return true;
}

void CSearchDlg::StopSearch() {
    if (!m_job) return;
    m_searchStopped = true;
    m_job->RequestStop();
    m_stop->setEnabled(false);
}

void CSearchDlg::TakeResults() {
    if (!m_job) return;
    const bool ended = !m_job->IsRunning();
    std::vector<FileItemInfo> fresh = m_matches.Take();
    if (!fresh.empty()) {
        std::vector<ListedItem> items;
        std::vector<QString> folders;
        items.reserve(fresh.size());
        folders.reserve(fresh.size());
        for (FileItemInfo& info : fresh) {
            bool lost = false;
            folders.push_back(QString::fromStdString(HitFolderPath(*m_volume, info.id, lost)));
            ListedItem item;
            item.info = std::move(info);
            item.deleted = true;
            item.lost = lost;
            items.push_back(std::move(item));
        }
        m_model.Append(std::move(items), std::move(folders));
    }
    if (ended) Finish();
    else UpdateStatusLine();
}

void CSearchDlg::Finish() {
    m_refresh.stop();
    m_seconds.stop();
    m_job->Wait();
    ShowCounters();
    m_job.reset();
    BusyEnd(this);
    SetIdle(true);
    UpdateStatusLine();
    m_iconPane->View()->viewport()->update();  // the thumbnails can be read now
    m_iconPane->ProbeSizes();
}

void CSearchDlg::SetIconMode(bool on) {
    m_iconPane->SetFilterActive(on);
    m_listStack->setCurrentWidget(on ? static_cast<QWidget*>(m_iconPane) : m_list);
}

void CSearchDlg::ShowCounters() {
    if (!m_job) return;
    const SearchCounters k = m_job->Counters();
    QString text = tr("Found %1: %2 folders; files: %3 intact, %4 partly and %5 wholly overwritten")
                       .arg(k.folders + k.intact + k.partial + k.overwritten + k.unknown)
                       .arg(k.folders)
                       .arg(k.intact)
                       .arg(k.partial)
                       .arg(k.overwritten);
    if (k.unknown) text += tr(", %1 not known (the drive could not give their FAT entries)").arg(k.unknown);
    m_counters->setText(text);
}

QString CSearchDlg::CountersText() const { return m_counters->text(); }

QString CSearchDlg::StatusLine() const { return m_statusLine; }

void CSearchDlg::UpdateStatusLine() {
    QString line;
    const QString drive = m_searchDrive >= 0 && static_cast<size_t>(m_searchDrive) < m_browse.Drives().size()
                              ? DriveCaption(m_browse.Drives()[static_cast<size_t>(m_searchDrive)])
                              : QString();
    const int found = m_model.rowCount();
    const QString count = found == 1 ? tr("1 item found") : tr("%1 items found").arg(QLocale().toString(found));
    if (m_job) {
        line = tr("Searching %1 for deleted items… %2").arg(drive, count);
    } else if (!m_volume) {
        line = tr("Choose the drive and what to look for, then Search (or press Return).");
    } else {
        line = (m_searchStopped ? tr("Search of %1 stopped: %2").arg(drive, count) : tr("%1 on %2").arg(count, drive));
        const std::vector<int> rows = SelectedRows();
        if (rows.size() == 1) {
            const int row = rows.front();
            const QString folder = m_model.FolderOf(row);
            line += QStringLiteral(" · ") + tr("Selected: %1").arg(m_model.Name(row));
            if (!m_model.Item(row).IsFolder()) line += QStringLiteral(", ") + HumanSize(m_model.Item(row).info.size);
            if (!folder.isEmpty()) line += QStringLiteral(" ") + tr("in %1").arg(folder);
        } else if (rows.size() > 1) {
            line += QStringLiteral(" · ") + tr("%1 selected").arg(rows.size());
        }
    }
    if (line == m_statusLine) return;
    m_statusLine = line;
    emit statusChanged(line);
}

std::vector<int> CSearchDlg::SelectedRows() const {
    return SelectedSourceRows(*m_list, m_proxy);
}

void CSearchDlg::RecoverSelection() {
    if (!m_volume || m_job) return;
    ::RecoverSelection selection;
    selection.volume = m_volume;
    selection.sourcePath = m_browse.Drives()[static_cast<size_t>(m_searchDrive)].source.toStdString();
    std::vector<SelectedRow> rows;
    for (int row : SelectedRows()) rows.push_back({&m_model.Item(row), m_model.Name(row)});
    AddSelectedRows(selection, rows);
    if (!selection.items.empty()) RecoverFileGroup(window(), selection, m_statistics);
}

bool CSearchDlg::CanRecover() const { return m_volume && !m_job && !SelectedRows().empty(); }

bool CSearchDlg::CanPreview() const {
    const QModelIndex at = m_list->currentIndex();
    return m_volume && !m_job && at.isValid() && !m_model.Item(m_proxy.mapToSource(at).row()).IsFolder();
}

bool CSearchDlg::CanShowProperties() const {
    return m_volume && !m_job && m_list->currentIndex().isValid();
}

void CSearchDlg::ShowProperties() {
    if (!CanShowProperties()) return;
    const int row = m_proxy.mapToSource(m_list->currentIndex()).row();
    const Container folder {m_model.FolderOf(row).toStdString(), false, 0, m_model.Item(row).lost};
    CPropDlg dialog(*m_volume, folder, m_model.Item(row), m_model.Name(row), window());
    dialog.exec();
}

void CSearchDlg::QuickView() {
    if (!CanPreview()) return;
    const QModelIndex at = m_list->currentIndex();
    std::vector<preview::PreviewItem> items;
    size_t current = 0;
    for (int r = 0; r < m_proxy.rowCount(); ++r) {
        const int row = m_proxy.mapToSource(m_proxy.index(r, 0)).row();
        if (r == at.row()) current = items.size();
        items.push_back(ListedPreviewItem(m_model.Item(row), m_model.Name(row)));
    }
    CQuickViewDlg dialog(*m_volume, m_browse.Drives()[static_cast<size_t>(m_searchDrive)].source.toStdString(),
                         std::move(items), current, m_statistics, window());
    dialog.exec();
}

void CSearchDlg::HexView() {
    if (!CanPreview()) return;
    const int row = m_proxy.mapToSource(m_list->currentIndex()).row();
    CHexViewDlg dialog(*m_volume, ListedPreviewItem(m_model.Item(row), m_model.Name(row)), window());
    dialog.exec();
}

bool CSearchDlg::ShowContainingFolder() {
    const QModelIndex at = m_list->currentIndex();
    if (!m_volume || !at.isValid()) return false;
    const int row = m_proxy.mapToSource(at).row();
    std::string list;
    // The walk logs a parent it cannot determine; the page then shows no folder.
    const bool known = ContainingFolderList(*m_volume, m_model.Item(row).info.id, list);
    emit showBrowsePage();
    if (!known || !m_browse.OpenDrive(m_searchDrive)) return false;
    // The folder opens in the tree, and the file is selected in its list, in view.
    return m_browse.ShowItem(m_model.FolderOf(row), m_model.Item(row).info.id, m_model.Name(row));
}

void CSearchDlg::RestoreLayout() {
    RestoreColumnLayout(*m_list->header(), kLayout, 127, std::vector<int32_t>(kDefaultWidths.begin(), kDefaultWidths.end()));
}

void CSearchDlg::SaveLayout() {
    SaveColumnLayout(*m_list->header(), kLayout, std::vector<int32_t>(kDefaultWidths.begin(), kDefaultWidths.end()));
}
