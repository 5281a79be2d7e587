#include "ui/SurfaceScanWnd.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStackedWidget>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <array>

#include "app/Profile.h"
#include "engine/surfacescan/RawVolume.h"
#include "engine/surfacescan/ScanTypes.h"
#include "platform/Text.h"
#include "ui/BrowsePage.h"
#include "ui/Busy.h"
#include "ui/ColumnLayout.h"
#include "ui/Format.h"
#include "ui/ImageControl.h"
#include "ui/HexViewDlg.h"
#include "ui/ItemIconView.h"
#include "ui/QuickViewDlg.h"
#include "ui/RecoverDlg.h"
#include "ui/StartUp.h"
#include "ui/Texts.h"

namespace {

constexpr int kKeyRole = Qt::UserRole + 20;  // a type item's key

QString Q(std::u16string_view s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }

// A find as the preview takes it: its extent from its first cluster.
preview::PreviewItem CarvedPreviewItem(const CarvedItem& item) {
    preview::PreviewItem p;
    p.carved = true;
    p.name = item.name;
    p.size = item.size;
    p.firstCluster = item.startCluster;
    p.fragments = item.fragments;
    return p;
}

}  // namespace

// ---- the type tree -----------------------------------------------------------

CPageSurfaceScanDlg::CPageSurfaceScanDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("scanTypes"));
    m_tree->setHeaderHidden(true);
    m_grouped = new QCheckBox(tr("&Group by kind"), this);
    layout->addWidget(m_tree, 1);
    layout->addWidget(m_grouped);
    CXMLProfile& p = CXMLProfile::Instance();
    m_orderTypesBy = p.ReadInt(scansettings::kTypesSection, scansettings::kOrderTypesBy,
                               scansettings::kOrderTypesByDefault) != 0 ? 1 : 0;
    std::map<std::string, bool> checked;
    for (const ScanTypeInfo& t : ScanTypes()) {
        const std::string key = Utf16ToUtf8(t.key);
        checked[key] = p.ReadInt(scansettings::kTypesSection, key.c_str(), scansettings::kTypeEnabledDefault) != 0;
    }
    m_grouped->setChecked(m_orderTypesBy == 1);
    connect(m_grouped, &QCheckBox::toggled, this, [this](bool on) {
        if ((m_orderTypesBy == 1) != on) ToggleGrouping();
    });
    Build(checked);
}

void CPageSurfaceScanDlg::Build(const std::map<std::string, bool>& checked) {
    m_tree->clear();
    auto* root = new QTreeWidgetItem(m_tree, {UiText(texts::kScanAllTypes)});
    root->setFlags(root->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
    auto addType = [&](QTreeWidgetItem* parent, std::u16string_view key) {
        const ScanTypeInfo* t = FindScanType(key);
        if (!t) return;
        auto* item = new QTreeWidgetItem(parent, {Q(t->displayName)});
        item->setToolTip(0, Q(t->description));
        item->setData(0, kKeyRole, Q(t->key));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        auto it = checked.find(Utf16ToUtf8(t->key));
        item->setCheckState(0, it == checked.end() || it->second ? Qt::Checked : Qt::Unchecked);
    };
    const std::vector<std::u16string> order = TypesInDisplayOrder(m_orderTypesBy);
    if (m_orderTypesBy == 1) {
        // The groups in display order: the order their first types come in.
        std::vector<const ScanTypeGroup*> groups;
        for (const std::u16string& key : order)
            for (const ScanTypeGroup& g : ScanTypeGroups())
                if (std::find(g.typeKeys.begin(), g.typeKeys.end(), key) != g.typeKeys.end() &&
                    std::find(groups.begin(), groups.end(), &g) == groups.end())
                    groups.push_back(&g);
        for (const ScanTypeGroup* g : groups) {
            auto* group = new QTreeWidgetItem(root, {Q(g->displayName)});
            group->setToolTip(0, Q(g->description));
            group->setFlags(group->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate);
            for (const std::u16string& key : order)
                if (std::find(g->typeKeys.begin(), g->typeKeys.end(), key) != g->typeKeys.end()) addType(group, key);
        }
    } else {
        for (const std::u16string& key : order) addType(root, key);
    }
    m_tree->expandAll();
}

std::map<std::string, bool> CPageSurfaceScanDlg::Checked() const {
    std::map<std::string, bool> out;
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it) {
        const QString key = (*it)->data(0, kKeyRole).toString();
        if (!key.isEmpty()) out[key.toStdString()] = (*it)->checkState(0) == Qt::Checked;
    }
    return out;
}

void CPageSurfaceScanDlg::SetChecked(const std::string& key, bool on) {
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it)
        if ((*it)->data(0, kKeyRole).toString().toStdString() == key)
            (*it)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
}

void CPageSurfaceScanDlg::ToggleGrouping() {
    const std::map<std::string, bool> checked = Checked();
    m_orderTypesBy = m_orderTypesBy == 1 ? 0 : 1;
    Save();
    Build(checked);
    const QSignalBlocker block(m_grouped);
    m_grouped->setChecked(m_orderTypesBy == 1);
}

void CPageSurfaceScanDlg::Save() const {
    CXMLProfile& p = CXMLProfile::Instance();
    for (const auto& [key, on] : Checked()) p.WriteInt(scansettings::kTypesSection, key.c_str(), on ? 1 : 0);
    p.WriteInt(scansettings::kTypesSection, scansettings::kOrderTypesBy, m_orderTypesBy);
}

// ---- the found files ---------------------------------------------------------

void CCarvedListModel::Clear() {
    beginResetModel();
    m_items.clear();
    endResetModel();
}

void CCarvedListModel::Append(std::vector<CarvedItem> items) {
    if (items.empty()) return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount() + static_cast<int>(items.size()) - 1);
    for (CarvedItem& i : items) m_items.push_back(std::move(i));
    endInsertRows();
}

int CCarvedListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(std::min<size_t>(m_items.size(), INT32_MAX));
}
int CCarvedListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant CCarvedListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const CarvedItem& item = Item(index.row());
    const QString name = Q(item.name);
    switch (role) {
        case Qt::DisplayRole:
            if (index.column() == 0) return name;
            if (index.column() == 1) return HumanSize(item.size);
            return m_types.TypeName(name, false);
        case kSortRole:
            if (index.column() == 0) return name.toLower();
            if (index.column() == 1) return QVariant::fromValue<qulonglong>(item.size);
            return m_types.TypeName(name, false).toLower();
        case Qt::DecorationRole: return index.column() == 0 ? m_types.Icon(name, false) : QVariant();
        case Qt::TextAlignmentRole:
            return index.column() == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
        case Qt::ToolTipRole:
            if (!item.fragments.empty())
                return tr("%1 bytes, %2")
                    .arg(item.size)
                    .arg(QString::fromStdString(FragmentsText(item.fragments, m_clusterSize)));
            return tr("From cluster %1, %2 bytes").arg(item.startCluster).arg(item.size);
    }
    return {};
}

QVariant CCarvedListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    const char* names[] = {"Name", "Size", "Type"};
    return section >= 0 && section < 3 ? tr(names[section]) : QVariant();
}

// ---- the result pane ---------------------------------------------------------

CFilePreviewDlg::CFilePreviewDlg(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("scanPreviewPane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    m_caption = new QLabel(this);
    m_caption->setWordWrap(true);
    m_caption->setTextFormat(Qt::PlainText);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("scanPreviewMessage"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignCenter);
    m_message->hide();
    m_image = new CImageControl(this);
    auto* buttons = new QHBoxLayout;
    m_quickView = new QPushButton(tr("&Quick view"), this);
    m_recover = new QPushButton(tr("&Recover…"), this);
    buttons->addWidget(m_quickView);
    buttons->addWidget(m_recover);
    buttons->addStretch(1);
    layout->addWidget(m_caption);
    layout->addWidget(m_message);
    layout->addWidget(m_image, 1);
    layout->addLayout(buttons);
    setMinimumWidth(160);
    Clear();
}

void CFilePreviewDlg::Clear() {
    m_caption->setText(tr("Select a found file to see it here."));
    m_message->clear();
    m_message->hide();
    m_image->ShowImage(nullptr, 0);
}

QString CFilePreviewDlg::Caption() const { return m_caption->text(); }
QString CFilePreviewDlg::Message() const { return m_message->isHidden() ? QString() : m_message->text(); }

void CFilePreviewDlg::Show(const CarvedPreview& preview) {
    m_caption->setText(preview.caption);
    m_message->setText(preview.message);
    m_message->setVisible(!preview.message.isEmpty());
    ShowCarvedPreview(*m_image, preview);
}

// ---- the progress and after-scan steps ---------------------------------------

CPageScanProgressDlg::CPageScanProgressDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    status = new QLabel(UiText(texts::kScanPreparing), this);
    status->setObjectName(QStringLiteral("scanStatus"));
    status->setWordWrap(true);
    progress = new QProgressBar(this);
    progress->setRange(0, 100);
    stop = new QPushButton(QIcon::fromTheme(QStringLiteral("process-stop")), tr("S&top"), this);
    layout->addWidget(status);
    layout->addWidget(progress);
    layout->addWidget(stop);
    layout->addStretch(1);
}

CPageAfterScanDlg::CPageAfterScanDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    summary = new QLabel(this);
    summary->setObjectName(QStringLiteral("scanSummary"));
    summary->setWordWrap(true);
    auto* next = new QLabel(tr("Select a find to see it in the pane; Quick view shows it larger. Recover writes "
                               "the selected finds into a folder on another drive."),
                            this);
    next->setWordWrap(true);
    again = new QPushButton(QIcon::fromTheme(QStringLiteral("view-refresh")), tr("&New scan"), this);
    layout->addWidget(summary);
    layout->addWidget(next);
    layout->addWidget(again);
    layout->addStretch(1);
}

// ---- the page ----------------------------------------------------------------

CSurfaceScanWnd::CSurfaceScanWnd(CBrowsePage& browse, UsageStatistics& statistics, QWidget* parent)
    : QWidget(parent), m_browse(browse), m_statistics(statistics) {
    setObjectName(QStringLiteral("scanPage"));
    RegisterProviders(m_registry);
    m_scanner.registry = &m_registry;
    auto* layout = new QHBoxLayout(this);
    m_steps = new QStackedWidget(this);
    m_steps->setMaximumWidth(300);
    m_typesStep = new QWidget(m_steps);
    auto* left = new QVBoxLayout(m_typesStep);
    left->setContentsMargins(0, 0, 0, 0);
    m_drive = new QComboBox(m_typesStep);
    auto* driveLabel = new QLabel(tr("&Drive:"), m_typesStep);
    driveLabel->setBuddy(m_drive);
    left->addWidget(driveLabel);
    left->addWidget(m_drive);
    left->addWidget(new QLabel(tr("Look for:"), m_typesStep));
    m_types = new CPageSurfaceScanDlg(m_typesStep);
    left->addWidget(m_types, 1);
    m_start = new QPushButton(QIcon::fromTheme(QStringLiteral("media-playback-start")), tr("&Start"), m_typesStep);
    m_start->setObjectName(QStringLiteral("scanStart"));
    left->addWidget(m_start);
    m_progressStep = new CPageScanProgressDlg(m_steps);
    m_status = m_progressStep->status;
    m_progress = m_progressStep->progress;
    m_stop = m_progressStep->stop;
    m_afterStep = new CPageAfterScanDlg(m_steps);
    m_steps->addWidget(m_typesStep);
    m_steps->addWidget(m_progressStep);
    m_steps->addWidget(m_afterStep);
    connect(m_afterStep->again, &QPushButton::clicked, this, &CSurfaceScanWnd::NewScan);

    auto* right = new QVBoxLayout;
    auto* hint = new QLabel(tr("The surface scan looks at the free space for files whose folder entries are gone. "
                               "Choose a drive and the kinds of file to look for, then Start."),
                            this);
    hint->setWordWrap(true);
    right->addWidget(hint);
    auto* split = new QSplitter(this);
    m_proxy = new CRowFilterProxy(this);
    m_proxy->setSourceModel(&m_model);
    m_proxy->setSortRole(kSortRole);
    m_listStack = new QStackedWidget(split);
    m_list = new QTreeView(m_listStack);
    m_list->setObjectName(QStringLiteral("scanResults"));
    SetUpItemList(*m_list, *m_proxy);
    m_list->sortByColumn(-1, Qt::AscendingOrder);  // found order until a header is clicked
    m_listStack->addWidget(m_list);
    // Thumbnails once the scan has ended, read as the preview reads a find.
    m_iconPane = new CItemIconPane(*m_list, *m_proxy, browse.Thumbnails(), [this](int row, ThumbnailRequest& out) {
        if (!m_volume || m_job || row < 0 || row >= m_model.rowCount()) return false;
        const CarvedItem& item = m_model.Item(row);
        if (!IsThumbnailName(Q(item.name))) return false;
        out.volume = m_volume;
        out.item = CarvedPreviewItem(item);
        out.key = ThumbnailKey(m_volume, out.item);
        out.useEmbedded = true;
        return true;
    }, m_listStack);
    m_iconPane->setObjectName(QStringLiteral("scanIcons"));
    m_iconPane->View()->setAccessibleName(tr("Files found in the free space, as thumbnails"));
    m_listStack->addWidget(m_iconPane);
    m_pane = new CFilePreviewDlg(split);
    split->setStretchFactor(0, 1);
    split->setSizes({600, 260});
    right->addWidget(split, 1);
    layout->addWidget(m_steps);
    layout->addLayout(right, 1);

    connect(m_start, &QPushButton::clicked, this, &CSurfaceScanWnd::StartScan);
    connect(m_stop, &QPushButton::clicked, this, &CSurfaceScanWnd::StopScan);
    connect(m_pane->QuickViewButton(), &QPushButton::clicked, this, &CSurfaceScanWnd::QuickView);
    connect(m_pane->RecoverButton(), &QPushButton::clicked, this, &CSurfaceScanWnd::RecoverSelection);
    connect(m_list, &QTreeView::activated, this, &CSurfaceScanWnd::QuickView);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (SelectedRows().empty()) return;
        QMenu menu;
        menu.addAction(tr("Preview"), this, &CSurfaceScanWnd::QuickView);
        menu.addAction(tr("Hex view"), this, &CSurfaceScanWnd::HexView)->setEnabled(CanPreview());
        menu.addAction(tr("Recover…"), this, &CSurfaceScanWnd::RecoverSelection);
        // A find has no folder and no properties beyond its row.
        menu.addAction(tr("Show containing folder"))->setEnabled(false);
        menu.addAction(tr("Properties"))->setEnabled(false);
        menu.exec(m_list->viewport()->mapToGlobal(at));
    });
    m_timer.setInterval(500);
    connect(&m_timer, &QTimer::timeout, this, &CSurfaceScanWnd::Tick);
    m_endWatch.setInterval(50);
    connect(&m_endWatch, &QTimer::timeout, this, [this] {
        if (m_job && !m_job->IsRunning()) Tick();
    });
    m_selection.setSingleShot(true);
    m_selection.setInterval(300);
    connect(&m_selection, &QTimer::timeout, this, &CSurfaceScanWnd::StartPreview);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, [this] { m_selection.start(); });
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CSurfaceScanWnd::selectionChanged);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &CSurfaceScanWnd::selectionChanged);
    connect(this, &CSurfaceScanWnd::selectionChanged, this, &CSurfaceScanWnd::UpdateStatusLine);

    RestoreColumnLayout(*m_list->header(), scansettings::kLayoutSection, scansettings::kColumnMapDefault,
                        std::vector<int32_t>(scansettings::kColumnWidthsDefault.begin(),
                                             scansettings::kColumnWidthsDefault.end()));
    UpdateStatusLine();
}

CSurfaceScanWnd::~CSurfaceScanWnd() { Cancel(); }

void CSurfaceScanWnd::Cancel() {
    if (m_job) {
        m_job->RequestStop();
        m_job->Wait();
        Finish();
    }
    JoinPreview();
}

void CSurfaceScanWnd::SaveLayout() {
    m_types->Save();
    SaveColumnLayout(*m_list->header(), scansettings::kLayoutSection,
                     std::vector<int32_t>(scansettings::kColumnWidthsDefault.begin(),
                                          scansettings::kColumnWidthsDefault.end()));
}

void CSurfaceScanWnd::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    RefreshDrives();
}

void CSurfaceScanWnd::SelectDrive(int driveIndex) {
    RefreshDrives();
    ChooseInDriveBox(*m_drive, driveIndex, driveIndex);
}

void CSurfaceScanWnd::RefreshDrives() {
    const int keep = FillDriveBox(*m_drive, m_browse.Drives());
    // Raw sources carry -1 - their index.
    for (size_t i = 0; i < m_rawSources.size(); ++i)
        m_drive->addItem(CFileTypes::DriveIcon(), tr("%1 (no file system: scanned as raw units)").arg(m_rawSources[i].path),
                         -1 - static_cast<int>(i));
    ChooseInDriveBox(*m_drive, keep, m_browse.CurrentDriveIndex());
}

QStringList CSurfaceScanWnd::RawSourcePaths() const {
    QStringList paths;
    for (const RawSource& r : m_rawSources) paths.push_back(r.path);
    return paths;
}

void CSurfaceScanWnd::AddRawSource(const QString& path, std::shared_ptr<CByteSource> bytes) {
    if (std::any_of(m_rawSources.begin(), m_rawSources.end(), [&](const RawSource& r) { return r.path == path; }))
        return;
    m_rawSources.push_back({path, std::move(bytes)});
    if (!m_job) {
        RefreshDrives();
        m_drive->setCurrentIndex(m_drive->findData(-static_cast<int>(m_rawSources.size())));
    }
}

bool CSurfaceScanWnd::StartScan() {
    if (m_job || m_drive->currentIndex() < 0) return false;
    m_types->Save();
    const uint32_t types = EnableTypesFromSettings(m_scanner, m_types->Checked(), m_types->OrderTypesBy());
    if (types == 0) {
        QMessageBox::information(window(), UiText(texts::kScanCaption), UiText(texts::kScanNoType));
        return false;
    }
    m_scanner.allClusters = ScanAllClusters();
    const int drive = m_drive->currentData().toInt();
    m_status->setText(UiText(texts::kScanPreparing));
    JoinPreview();  // the pane may still read the last raw source
    CVolume* volume = nullptr;
    if (drive < 0) {
        const RawSource& source = m_rawSources[static_cast<size_t>(-1 - drive)];
        const QString& path = source.path;
        auto raw = std::make_unique<CRawVolume>();
        raw->UseSource(source.bytes);
        if (raw->Initialize(path.toStdString())) {
            m_rawVolume = std::move(raw);
            volume = m_rawVolume.get();
        }
        m_driveName = path;
        m_letter = 0;
    } else {
        volume = m_browse.ReadyDrive(drive);
        m_letter = m_browse.Drives()[static_cast<size_t>(drive)].letter;
        m_driveName = DrivePlace(m_browse.Drives()[static_cast<size_t>(drive)]);
    }
    if (!volume) {
        QMessageBox::warning(window(), UiText(texts::kCaption), UiText(texts::kScanCannotRead));
        return false;
    }
    m_scanDrive = drive;
    m_volume = volume;
    m_model.Clear();
    m_model.SetClusterSize(volume ? volume->ClusterSize() : 0);
    m_pane->Clear();
    m_found.Take();
    m_job = std::make_unique<CSurfaceScanJob>(*volume, m_scanner, &m_found);
    BusyBegin(this);
    if (!m_job->Start()) {
        m_job.reset();
        BusyEnd(this);
        QMessageBox::warning(window(), UiText(texts::kCaption), UiText(texts::kScanCannotRead));
        return false;
    }
    m_stop->setEnabled(true);
    m_progress->setValue(0);
    m_steps->setCurrentWidget(m_progressStep);
    m_timer.start();
    m_endWatch.start();
    emit selectionChanged();  // the commands wait for the scan's end
    Tick();
    return true;
}

void CSurfaceScanWnd::StopScan() {
    if (!m_job) return;
    m_job->RequestStop();
    m_stop->setEnabled(false);
}

void CSurfaceScanWnd::Tick() {
    if (!m_job) return;
    const bool ended = !m_job->IsRunning();
    m_model.Append(m_found.Take());
    const JobProgress p = m_job->Progress();
    if (p.phase == JobPhase::Counting || p.phase == JobPhase::Idle) {
        m_status->setText(UiText(texts::kScanCounting).arg(m_driveName));
    } else {
        QString text = UiText(texts::kScanScanning).arg(m_driveName) + QLatin1Char(' ') +
                       tr("%1 found").arg(m_model.rowCount());
        if (p.rate > 0) text += tr(", %1 clusters a second").arg(QLocale().toString(qint64(p.rate)));
        if (p.remaining >= 0) text += tr(", about %1 s left").arg(qint64(p.remaining + 0.5));
        m_status->setText(text);
    }
    m_progress->setValue(std::clamp(p.percent, 0, 100));
    if (ended) Finish();
    else UpdateStatusLine();
}

void CSurfaceScanWnd::Finish() {
    m_timer.stop();
    m_endWatch.stop();
    m_job->Wait();
    m_model.Append(m_found.Take());
    const JobOutcome outcome = m_job->Outcome();
    const int percent = std::clamp(m_job->Progress().percent, 0, 100);
    m_job.reset();
    BusyEnd(this);
    m_iconPane->View()->viewport()->update();  // the thumbnails can be read now
    m_iconPane->ProbeSizes();
    m_stop->setEnabled(false);
    if (outcome.failed()) {
        m_progress->setValue(0);
        m_status->setText(UiText(texts::kScanCannotRead));
    } else if (outcome.stopped()) {
        // Stopped: what was looked at so far, not a finished scan.
        m_progress->setValue(percent);
        m_status->setText(tr("Scan stopped at %1 % — %2 files found on %3. Select them and choose Recover, or start "
                             "a new scan to look at the rest.")
                              .arg(percent)
                              .arg(m_model.rowCount())
                              .arg(m_driveName));
    } else {
        m_progress->setValue(100);
        m_status->setText(UiText(texts::kScanDone).arg(m_driveName).arg(m_model.rowCount()));
    }
    // Free space the drive refused was not looked at: the user must know the scan is not whole.
    const std::shared_ptr<CByteSource> source = m_volume && !outcome.failed() ? m_volume->Source() : nullptr;
    if (const uint64_t refused = source ? source->UnreadableBytes() : 0)
        m_status->setText(m_status->text() + QLatin1Char(' ') +
                          tr("%1 could not be read from the drive: no file there could be looked for.")
                              .arg(HumanSize(refused)));
    m_afterStep->summary->setText(m_status->text());
    m_steps->setCurrentWidget(m_afterStep);
    emit selectionChanged();
    UpdateStatusLine();
}

QString CSurfaceScanWnd::StatusText() const { return m_status->text(); }

QString CSurfaceScanWnd::StatusLine() const { return m_statusLine; }

void CSurfaceScanWnd::UpdateStatusLine() {
    QString line;
    if (m_job) {
        line = m_status->text();
    } else if (!m_volume) {
        line = tr("Choose a drive and the kinds of file to look for, then Start.");
    } else {
        line = m_model.rowCount() == 1 ? tr("1 file found") : tr("%1 files found").arg(QLocale().toString(m_model.rowCount()));
        const std::vector<int> rows = SelectedRows();
        if (rows.size() == 1) {
            const CarvedItem& item = m_model.Item(rows.front());
            line += QStringLiteral(" · ") + tr("Selected: %1, %2").arg(Q(item.name), HumanSize(item.size));
        } else if (rows.size() > 1) {
            uint64_t bytes = 0;
            for (int r : rows) bytes += m_model.Item(r).size;
            line += QStringLiteral(" · ") + tr("%1 selected, %2").arg(rows.size()).arg(HumanSize(bytes));
        }
    }
    if (line == m_statusLine) return;
    m_statusLine = line;
    emit statusChanged(line);
}
int CSurfaceScanWnd::Step() const { return m_steps->currentIndex(); }

void CSurfaceScanWnd::NewScan() {
    if (!m_job) m_steps->setCurrentWidget(m_typesStep);
}

std::vector<int> CSurfaceScanWnd::SelectedRows() const {
    return SelectedSourceRows(*m_list, *m_proxy);
}

void CSurfaceScanWnd::JoinPreview() {
    if (m_preview.joinable()) m_preview.join();
}

void CSurfaceScanWnd::StartPreview() {
    const QModelIndex at = m_list->currentIndex();
    if (!m_volume || !at.isValid() || !m_pane->isVisible()) return;
    if (m_previewRunning.load()) {
        m_selection.start();  // the running one ends first; the newest selection follows
        return;
    }
    JoinPreview();  // an ended thread
    const preview::PreviewItem p = CarvedPreviewItem(m_model.Item(m_proxy->mapToSource(at).row()));
    m_previewRunning = true;
    m_preview = std::thread([this, p, volume = m_volume] {
        const CarvedPreview shown = PrepareCarvedPreview(*volume, p);
        QMetaObject::invokeMethod(this, [this, shown] {
            m_pane->Show(shown);
            ++m_previewsShown;
        }, Qt::QueuedConnection);
        m_previewRunning = false;
    });
}

std::string CSurfaceScanWnd::SourcePath() const {
    if (m_scanDrive < 0) return m_rawSources[static_cast<size_t>(-1 - m_scanDrive)].path.toStdString();
    return m_browse.Drives()[static_cast<size_t>(m_scanDrive)].source.toStdString();
}

void CSurfaceScanWnd::RecoverSelection() {
    if (!m_volume || m_job) return;
    ::RecoverSelection selection;
    selection.volume = m_volume;
    selection.sourcePath = SourcePath();
    selection.carved = true;
    for (int row : SelectedRows()) {
        const CarvedItem& item = m_model.Item(row);
        RecoverItem r;
        r.id = item.startCluster;
        r.name = item.name;
        r.size = item.size;
        r.extents = item.fragments;
        selection.items.push_back(std::move(r));
    }
    if (!selection.items.empty()) RecoverFileGroup(window(), selection, m_statistics);
}

bool CSurfaceScanWnd::CanRecover() const { return m_volume && !m_job && !SelectedRows().empty(); }

void CSurfaceScanWnd::SetIconMode(bool on) {
    m_iconPane->SetFilterActive(on);
    m_listStack->setCurrentWidget(on ? static_cast<QWidget*>(m_iconPane) : m_list);
}

bool CSurfaceScanWnd::CanPreview() const { return m_volume && !m_job && m_list->currentIndex().isValid(); }

void CSurfaceScanWnd::HexView() {
    if (!CanPreview()) return;
    CHexViewDlg dialog(*m_volume, CarvedPreviewItem(m_model.Item(m_proxy->mapToSource(m_list->currentIndex()).row())),
                       window());
    dialog.exec();
}

void CSurfaceScanWnd::QuickView() {
    if (!CanPreview()) return;
    const QModelIndex at = m_list->currentIndex();
    std::vector<preview::PreviewItem> items;
    size_t current = 0;
    for (int r = 0; r < m_proxy->rowCount(); ++r) {
        if (r == at.row()) current = items.size();
        items.push_back(CarvedPreviewItem(m_model.Item(m_proxy->mapToSource(m_proxy->index(r, 0)).row())));
    }
    CQuickViewDlg dialog(*m_volume, SourcePath(), std::move(items), current, m_statistics, window());
    dialog.exec();
}
