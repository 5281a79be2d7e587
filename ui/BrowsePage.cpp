#include "ui/BrowsePage.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QDateTime>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "app/Log.h"
#include "app/Profile.h"
#include "engine/index/Source.h"
#include "platform/DriveList.h"
#include "platform/DriveTable.h"
#include "platform/Text.h"
#include "ui/ColumnLayout.h"
#include "ui/Format.h"
#include "ui/EmbedQuickView.h"
#include "ui/HexViewDlg.h"
#include "ui/ItemIconView.h"
#include "ui/UDisksAccess.h"
#include "ui/IndexDlg.h"
#include "ui/PropDlg.h"
#include "ui/QuickViewDlg.h"
#include "ui/RecoverDlg.h"
#include "ui/Texts.h"

namespace {

constexpr int kDriveRole = Qt::UserRole + 10;      // index into the drives
constexpr int kContainerRole = Qt::UserRole + 11;  // index into the containers
constexpr int kPopulatedRole = Qt::UserRole + 12;
constexpr const char* kLayout = "LayoutMain";
constexpr std::array<int32_t, kFileListColumns> kDefaultWidths {180, 75, 100, 135, 135, 95};

QString PickDriveText() { return CBrowsePage::tr("Pick a drive on the left, or open a disk image with Ctrl+O."); }

QString LastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return QString::fromStdString(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

CBrowsePage::CBrowsePage(CVolumeRegistry& registry, UsageStatistics& statistics, QWidget* parent)
    : QWidget(parent), m_registry(registry), m_statistics(statistics) {
    setObjectName(QStringLiteral("browsePage"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    layout->addWidget(m_splitter);

    m_tree = new QTreeView(m_splitter);
    m_tree->setObjectName(QStringLiteral("folderTree"));
    m_tree->setModel(&m_treeModel);
    m_tree->setHeaderHidden(true);
    m_tree->setUniformRowHeights(true);
    m_tree->setExpandsOnDoubleClick(true);

    m_rightSplitter = new QSplitter(Qt::Horizontal, m_splitter);
    m_rightSplitter->setObjectName(QStringLiteral("rightSplitter"));
    m_listStack = new QStackedWidget(m_rightSplitter);
    m_placeholder = new QLabel(PickDriveText(), m_listStack);
    m_placeholder->setObjectName(QStringLiteral("listPlaceholder"));
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setWordWrap(true);
    m_placeholder->setEnabled(false);
    m_listStack->addWidget(m_placeholder);
    m_list = new QTreeView(m_listStack);
    m_list->setObjectName(QStringLiteral("fileList"));
    m_proxy.setSourceModel(&m_model);
    m_proxy.setSortRole(kSortRole);
    SetUpItemList(*m_list, m_proxy);
    EnableItemDrag(*m_list);
    m_list->setItemDelegateForColumn(kColDataStatus, new CDataStatusDelegate(m_list));
    m_list->header()->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->header()->setStretchLastSection(false);  // the slack goes to Name (FitColumns), not to the last column
    m_list->viewport()->installEventFilter(this);
    connect(m_list->header(), &QHeaderView::sectionResized, this, [this] {
        if (!m_fitting) m_autoColumns = false;  // the user sized a column: from now on the user's widths
    });
    m_listStack->addWidget(m_list);
    m_iconPane = new CItemIconPane(*m_list, m_proxy, m_thumbnails, [this](int row, ThumbnailRequest& out) {
        CVolume* volume = CurrentVolume();
        if (!volume || row < 0 || row >= m_model.rowCount()) return false;
        const ListedItem& item = m_model.Item(row);
        if (item.IsFolder() || (item.info.attributes & FILE_ATTRIBUTE_ENCRYPTED) || !IsThumbnailName(m_model.Name(row)))
            return false;
        out.volume = volume;
        out.item = PreviewItemOf(row);
        out.key = ThumbnailKey(volume, out.item);
        out.useEmbedded = !item.deleted || item.info.dataStatus == 0;
        return true;
    }, m_listStack);
    m_iconPane->setObjectName(QStringLiteral("fileIcons"));
    m_iconPane->View()->setAccessibleName(tr("Files of the folder as thumbnails"));
    m_listStack->addWidget(m_iconPane);
    m_preview = new CEmbedQuickView(m_rightSplitter);
    connect(m_preview, &CEmbedQuickView::hexViewRequested, this, &CBrowsePage::HexView);
    m_splitter->setStretchFactor(1, 1);
    m_rightSplitter->setStretchFactor(0, 1);

    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this, &CBrowsePage::OnTreeSelection);
    connect(m_tree, &QTreeView::expanded, this, &CBrowsePage::OnExpanded);
    connect(m_list, &QTreeView::activated, this, &CBrowsePage::OnActivated);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CBrowsePage::selectionChanged);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &CBrowsePage::selectionChanged);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &CBrowsePage::UpdatePreview);
    auto* space = new QAction(m_list);
    space->setShortcut(QKeySequence(Qt::Key_Space));
    space->setShortcutContext(Qt::WidgetShortcut);
    connect(space, &QAction::triggered, this, &CBrowsePage::QuickView);
    m_list->addAction(space);
    connect(m_list->header(), &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu;
        for (int c = 0; c < kFileListColumns; ++c) {
            QAction* a = menu.addAction(m_model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
            a->setCheckable(true);
            a->setChecked(!m_list->header()->isSectionHidden(c));
            a->setEnabled(c != kColName);
            connect(a, &QAction::toggled, this, [this, c](bool on) {
                m_fitting = true;  // showing or hiding a column is no width the user chose
                m_list->header()->setSectionHidden(c, !on);
                m_fitting = false;
                FitColumns();
            });
        }
        menu.exec(m_list->header()->mapToGlobal(at));
    });
    connect(m_list, &QWidget::customContextMenuRequested, this, &CBrowsePage::ShowListMenu);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_tree, &QWidget::customContextMenuRequested, this, &CBrowsePage::ShowTreeMenu);
    // A click or Enter on an unreadable drive is the user's pick: only then is UDisks2 asked.
    connect(m_tree, &QTreeView::clicked, this,
            [this](const QModelIndex& index) { PickDrive(index, QDBusConnection::systemBus()); });
    connect(m_tree, &QTreeView::activated, this, [this](const QModelIndex& index) {
        if (QGuiApplication::mouseButtons() == Qt::NoButton) PickDrive(index, QDBusConnection::systemBus());
    });
    m_tree->setAccessibleName(tr("Drives and folders"));
    m_list->setAccessibleName(tr("Files of the folder"));
    m_placeholder->setAccessibleName(tr("File list"));
    m_hintRetry.setInterval(400);
    connect(&m_hintRetry, &QTimer::timeout, this, [this] {
        const PendingHintState hint = m_pendingHint;
        if (!*hint.key || !hint.anchor || HintSpent(hint.key)) {
            m_pendingHint = {};
            m_hintRetry.stop();
        } else if (TryHint(hint.key, hint.text, hint.anchor)) {
            m_pendingHint = {};
            m_hintRetry.stop();
        }
    });
    RestoreLayout();
}

QString DrivePlace(const GuiDrive& drive) {
    if (!drive.letter) return drive.source;
    const QString name = QFileInfo(drive.source).fileName();
    return drive.partition ? CBrowsePage::tr("%1, partition %2").arg(name).arg(drive.partition) : name;
}

QString DriveErrorText(const GuiDrive& drive) {
    QString text = drive.error;
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    if (drive.permissionDenied)
        text += CBrowsePage::tr("\n\nClick the drive to ask for access: UDisks2 opens it read-only once you "
                                "confirm with your password.");
    return text;
}

QString DriveCaption(const GuiDrive& drive, bool withSize) {
    const QString place = DrivePlace(drive);
    const QString size = drive.size && withSize ? HumanSize(drive.size) : QString();
    if (drive.label.isEmpty()) return size.isEmpty() ? place : CBrowsePage::tr("%1 — %2").arg(place, size);
    return size.isEmpty() ? CBrowsePage::tr("%1 — %2").arg(drive.label, place)
                          : CBrowsePage::tr("%1 — %2, %3").arg(drive.label, place, size);
}

int FillDriveBox(QComboBox& box, const std::vector<GuiDrive>& drives) {
    const int before = box.currentIndex() >= 0 ? box.currentData().toInt() : INT_MIN;
    box.clear();
    for (size_t i = 0; i < drives.size(); ++i) {
        const GuiDrive& d = drives[i];
        if (!d.error.isEmpty()) continue;
        box.addItem(CFileTypes::DriveIcon(), DriveCaption(d), static_cast<int>(i));
    }
    return before;
}

void ChooseInDriveBox(QComboBox& box, int data, int fallback) {
    int at = box.findData(data);
    if (at < 0) at = box.findData(fallback);
    if (at >= 0) box.setCurrentIndex(at);
}

CBrowsePage::~CBrowsePage() { ReleasePreview(true); }

void CBrowsePage::ReleasePreview(bool forGood) {
    if (forGood) m_previewClosed = true;
    m_preview->Release();
    m_thumbnails.Release();
}

void CBrowsePage::SetIconMode(bool on) {
    m_iconMode = on;
    m_iconPane->SetFilterActive(on);
    if (m_listStack->currentWidget() == m_list || m_listStack->currentWidget() == m_iconPane) {
        const bool focused = m_list->hasFocus() || m_iconPane->View()->hasFocus();
        m_listStack->setCurrentWidget(on ? static_cast<QWidget*>(m_iconPane) : m_list);
        if (focused) (on ? static_cast<QWidget*>(m_iconPane->View()) : m_list)->setFocus();
    }
    if (m_list->currentIndex().isValid()) (on ? static_cast<QAbstractItemView*>(m_iconPane->View()) : m_list)->scrollTo(m_list->currentIndex());
}

void CBrowsePage::RestoreLayout() {
    CXMLProfile& p = CXMLProfile::Instance();
    // The panes' defaults leave the list room for its six columns at 1100x700.
    const int treeWidth = p.ReadInt(kLayout, "SplitterPos", 170);
    const int previewWidth = p.ReadInt(kLayout, "RightSplitterPos", 180);
    m_splitter->setSizes({treeWidth, 900});
    m_rightSplitter->setSizes({700, previewWidth});
    m_tree->setVisible(p.ReadInt(kLayout, "ShowFoldersPane", 1) != 0);
    m_preview->setVisible(p.ReadInt(kLayout, "ShowPreviewPane", 1) != 0);
    m_preview->SetPaneEnabled(!m_preview->isHidden());
    RestoreColumnLayout(*m_list->header(), kLayout, 63,
                        std::vector<int32_t>(kDefaultWidths.begin(), kDefaultWidths.end()));
    // Widths the user chose are kept; none stored (or the fixed ones of
    // earlier versions): the columns fit the list.
    std::array<int32_t, kFileListColumns> stored {};
    size_t got = 0;
    m_autoColumns = !p.ReadBinary(kLayout, "ColumnWidths", stored.data(), sizeof stored, &got) ||
                    got != sizeof stored || stored == kDefaultWidths;
    FitColumns();
    const int sorting = p.ReadInt(kLayout, "SortingColumn", 0);
    m_list->sortByColumn(sorting >= 0 && sorting < kFileListColumns ? sorting : 0, Qt::AscendingOrder);
}

bool CBrowsePage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list->viewport() && event->type() == QEvent::Resize) FitColumns();
    return QWidget::eventFilter(watched, event);
}

void CBrowsePage::FitColumns() {
    QHeaderView& header = *m_list->header();
    const int available = m_list->viewport()->width();
    if (!m_autoColumns || available <= 0) return;
    const QFontMetrics text(m_list->font()), head(header.font());
    // Cell margins and the header's sort arrow.
    const int pad = 2 * (m_list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_list) + 1) + 8;
    const int arrow = m_list->style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, &header) + 6;
    const auto widest = [&](int column, const QStringList& samples) {
        const QString title = m_model.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        // Room for the sort arrow beside a short title; a long one (Data
        // status) may be cut while the list is sorted by it.
        int w = head.horizontalAdvance(title) + pad + (column == kColDataStatus ? 0 : arrow);
        for (const QString& s : samples) w = std::max(w, text.horizontalAdvance(s) + pad);
        return w;
    };
    // The widest dates of the locale's short form: two-digit months, days and hours.
    QStringList dates;
    for (int month : {9, 12})
        for (int hour : {10, 22})
            dates << FormatListTime(QDateTime(QDate(2026, month, 28), QTime(hour, 58, 58)));
    std::array<int, kFileListColumns> widths {};
    widths[kColSize] = widest(kColSize, {HumanSize(1023ull << 20), HumanSize(999ull << 10)});
    widths[kColType] = widest(kColType, {tr("Text file")});  // longer type names are cut, their tooltip whole
    widths[kColCreated] = widest(kColCreated, dates);
    widths[kColModified] = widths[kColCreated];
    // The bar wants at least 10 pixels beside its number.
    widths[kColDataStatus] = widest(kColDataStatus, {QStringLiteral("100%") + QStringLiteral("      ")});
    int others = 0, widestOther = 0;
    for (int c = 0; c < kFileListColumns; ++c) {
        if (c == kColName || header.isSectionHidden(c)) continue;
        others += widths[c];
        widestOther = std::max(widestOther, widths[c]);
    }
    widths[kColName] = std::max(available - others - 2, widestOther + 1);  // 2: no scroll bar for a rounding
    m_fitting = true;
    for (int c = 0; c < kFileListColumns; ++c)
        if (!header.isSectionHidden(c)) header.resizeSection(c, widths[c]);
    m_fitting = false;
}

void CBrowsePage::SetFoldersPaneShown(bool on) { m_tree->setVisible(on); }
bool CBrowsePage::FoldersPaneShown() const { return !m_tree->isHidden(); }

void CBrowsePage::SetPreviewPaneShown(bool on) {
    m_preview->setVisible(on);
    m_preview->SetPaneEnabled(on);  // a hidden pane reads nothing
    if (on) UpdatePreview();
}

bool CBrowsePage::PreviewPaneShown() const { return !m_preview->isHidden(); }

void CBrowsePage::SaveLayout() {
    CXMLProfile& p = CXMLProfile::Instance();
    const QList<int> sizes = m_splitter->sizes();
    const QList<int> right = m_rightSplitter->sizes();
    if (!sizes.isEmpty() && sizes[0] > 0) p.WriteInt(kLayout, "SplitterPos", sizes[0]);
    if (right.size() > 1 && right[1] > 0) p.WriteInt(kLayout, "RightSplitterPos", right[1]);
    p.WriteInt(kLayout, "ShowFoldersPane", FoldersPaneShown() ? 1 : 0);
    p.WriteInt(kLayout, "ShowPreviewPane", PreviewPaneShown() ? 1 : 0);
    SaveColumnLayout(*m_list->header(), kLayout, std::vector<int32_t>(kDefaultWidths.begin(), kDefaultWidths.end()));
    // Widths the user never chose are stored as the fixed defaults, which
    // the next start reads as "fit the list" again.
    if (m_autoColumns) p.WriteBinary(kLayout, "ColumnWidths", kDefaultWidths.data(), sizeof kDefaultWidths);
    p.WriteInt(kLayout, "SortingColumn", m_list->header()->sortIndicatorSection());
    p.Save();
}

void CBrowsePage::AddDrive(GuiDrive drive) {
    for (const GuiDrive& d : m_drives)
        if (d.letter == drive.letter && d.source == drive.source) return;  // opened before
    m_drives.push_back(drive);
    const int index = static_cast<int>(m_drives.size() - 1);
    auto* item = new QStandardItem(CFileTypes::DriveIcon(), DriveCaption(drive));
    if (!drive.error.isEmpty()) {
        // Greyed, with why beside its name and in full in its tooltip and,
        // once selected, the status line; never a message box of its own.
        item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
        // The device's name first, the narrow tree cuts the end; why in short.
        const QString device = QFileInfo(drive.source).fileName();
        const QString name = drive.label.isEmpty() ? device : tr("%1, %2").arg(drive.label, device);
        const bool refused = drive.errorNumber == EACCES || drive.errorNumber == EPERM;
        item->setText(drive.permissionDenied ? tr("%1 (no access)").arg(name)
                      : refused              ? tr("%1 (access refused)").arg(name)
                                             : tr("%1 (cannot be read)").arg(name));
        item->setToolTip(DriveErrorText(drive));
        item->setData(DriveErrorText(drive), Qt::AccessibleDescriptionRole);
        item->setData(index, kDriveRole);
        item->setData(-1, kContainerRole);
        item->setEditable(false);
        m_treeModel.appendRow(item);
        return;
    }
    const QString where = drive.container.isEmpty() ? drive.source : tr("%1 — %2").arg(drive.source, drive.container);
    item->setToolTip(drive.partition ? tr("%1, partition %2 (%3)").arg(where).arg(drive.partition).arg(drive.fileSystem)
                                     : tr("%1 (%2)").arg(where, drive.fileSystem));
    item->setData(index, kDriveRole);
    item->setData(-1, kContainerRole);
    item->setEditable(false);
    item->appendRow(new QStandardItem(tr("…")));  // expandable before indexing
    m_treeModel.appendRow(item);
}

bool CBrowsePage::AddSource(const QString& path, QString* why, std::shared_ptr<CByteSource>* bytesOut) {
    OpenedSource opened;
    SourceError error;
    if (!ReadSourceTable(path.toStdString(), opened, error)) {
        if (why) *why = QString::fromStdString(error.Summary());
        return false;
    }
    // Each partition a drive of its own; all of them read the source opened here.
    std::vector<int> partitions;
    for (const auto& part : opened.table.partitions) partitions.push_back(part.number);
    if (partitions.empty()) partitions.push_back(0);  // the whole source (or the engine's word on an empty table)
    const CByteSource& bytes = *opened.bytes;
    const size_t files = bytes.Files().size();
    const QString container = files > 1 ? tr("%1, %2 files").arg(QString::fromStdString(bytes.Kind())).arg(files)
                                        : QString::fromStdString(bytes.Kind());
    bool any = false;
    QStringList errors;
    for (int partition : partitions) {
        OpenedSource s;
        s.path = opened.path;
        s.bytes = opened.bytes;
        s.table = opened.table;
        SourceError e;
        if (!PickSourceVolume(s, partition, true, e) || !s.volume) {
            // A window without a volume keeps no key (unless a drive opened before holds it).
            const bool held = std::any_of(m_drives.begin(), m_drives.end(),
                                          [&](const GuiDrive& g) { return g.letter == s.letter; });
            if (s.letter && !held) CDriveTable::Instance().Remove(s.letter);
            const QString message = QString::fromStdString(e.Summary());
            if (!message.isEmpty() && !errors.contains(message)) errors.push_back(message);
            continue;
        }
        GuiDrive d;
        d.letter = s.letter;
        d.source = QString::fromStdString(s.path);
        d.container = container;
        d.partition = s.partition;
        d.size = s.length ? s.length : bytes.Size();
        d.label = QString::fromStdString(s.volume->Label()).trimmed();
        d.fileSystem = QString::fromLatin1(s.volume->Traits().name);
        d.rescueMap = QString::fromStdString(opened.rescueMap);
        d.mapUnreadableBytes = opened.mapUnreadableBytes;
        // The registry keeps the volume opened here for the drive's indexing.
        m_registry.Adopt(s.letter, std::move(s.volume));
        AddDrive(d);
        any = true;
    }
    if (!any && bytesOut) *bytesOut = opened.bytes;
    if (!any && why)
        *why = errors.isEmpty() ? tr("No NTFS, FAT or exFAT file system was found on %1.").arg(path) : errors.join(u'\n');
    return any;
}

void CBrowsePage::AddDevices(const std::vector<DriveListEntry>& devices) {
    for (const DriveListEntry& d : devices) {
        if (!d.readable) {
            // Shown, so that the user learns why it cannot be opened.
            if (d.kind == "cdrom") continue;
            GuiDrive drive;
            drive.source = QString::fromStdString(d.device);
            drive.label = QString::fromStdString(d.label);
            drive.size = d.size;
            drive.error = QString::fromStdString(d.error);
            drive.permissionDenied = d.permissionDenied;
            drive.errorNumber = d.errorNumber;
            AddDrive(drive);
            continue;
        }
        if (d.supported) AddSource(QString::fromStdString(d.device));
    }
}

void CBrowsePage::RemoveMissingDevices() {
    for (int i = m_treeModel.rowCount() - 1; i >= 0; --i) {
        const int drive = m_treeModel.item(i)->data(kDriveRole).toInt();
        const GuiDrive& d = m_drives[static_cast<size_t>(drive)];
        if (!d.source.startsWith(QLatin1String("/dev/")) || QFileInfo::exists(d.source)) continue;
        if (m_currentDrive == drive) {
            ReleasePreview();
            m_model.Clear();
            m_listStack->setCurrentWidget(m_placeholder);
            m_currentDrive = -1;
        }
        if (m_currentDrive < 0) m_placeholder->setText(PickDriveText());
        m_registry.DriveRemoved(d.letter);
        CDriveTable::Instance().Remove(d.letter);
        m_drives[static_cast<size_t>(drive)].volume = nullptr;
        m_treeModel.removeRow(i);
    }
}

int CBrowsePage::DriveOf(const QStandardItem* item) const {
    while (item && item->parent()) item = item->parent();
    return item ? item->data(kDriveRole).toInt() : -1;
}

CVolume* CBrowsePage::CurrentVolume() const {
    return m_currentDrive >= 0 ? m_drives[static_cast<size_t>(m_currentDrive)].volume : nullptr;
}

const GuiDrive* CBrowsePage::CurrentDrive() const {
    return m_currentDrive >= 0 ? &m_drives[static_cast<size_t>(m_currentDrive)] : nullptr;
}

CVolume* CBrowsePage::ReadyDrive(int driveIndex) {
    if (driveIndex < 0 || static_cast<size_t>(driveIndex) >= m_drives.size()) return nullptr;
    GuiDrive& d = m_drives[static_cast<size_t>(driveIndex)];
    if (!d.error.isEmpty()) {
        ShowDriveError(driveIndex);
        return nullptr;
    }
    if (!d.volume) {
        emit statusChanged(tr("Indexing %1…").arg(DriveCaption(d)));
        IndexJobSettings settings;
        settings.saveCache =
            CXMLProfile::Instance().ReadInt("Cache", "SaveToDisk", settings::kCacheSaveToDiskDefault) != 0;
        CIndexDlg dialog(m_registry, d.letter, settings, window());
        dialog.exec();
        if (!dialog.Volume()) {
            emit statusChanged(tr("The drive could not be indexed."));
            return nullptr;
        }
        d.volume = dialog.Volume();
    }
    return d.volume;
}

void CBrowsePage::ShowDriveError(int driveIndex) {
    const GuiDrive& d = m_drives[static_cast<size_t>(driveIndex)];
    if (m_currentDrive >= 0) {
        ReleasePreview();
        m_model.Clear();
        m_currentDrive = -1;
        emit selectionChanged();
    }
    m_placeholder->setText(DriveErrorText(d));
    m_listStack->setCurrentWidget(m_placeholder);
    emit statusChanged(DriveErrorText(d).replace(QStringLiteral("\n\n"), QStringLiteral(" ")));
}

void CBrowsePage::PickDrive(const QModelIndex& treeIndex, const QDBusConnection& bus) {
    QStandardItem* item = m_treeModel.itemFromIndex(treeIndex);
    if (!item || item->parent()) return;
    const int drive = item->data(kDriveRole).toInt();
    if (drive < 0 || static_cast<size_t>(drive) >= m_drives.size()) return;
    const GuiDrive& d = m_drives[static_cast<size_t>(drive)];
    if (d.error.isEmpty()) return;
    ShowDriveError(drive);
    if (!d.permissionDenied) return;
    const size_t before = m_drives.size();
    if (OpenThroughBroker(drive, bus) && m_drives.size() > before) OpenDrive(static_cast<int>(before));
}

bool CBrowsePage::OpenThroughBroker(int driveIndex, const QDBusConnection& bus) {
    const QString source = m_drives[static_cast<size_t>(driveIndex)].source;
    const BrokerAnswer answer = OpenThroughUDisks(source, bus);
    if (answer.result != BrokerResult::Opened) {
        QMessageBox::warning(window(), UiText(texts::kCaption), answer.message);
        return false;
    }
    // The unreadable entry gives way to the device's volumes.
    for (int i = m_treeModel.rowCount() - 1; i >= 0; --i)
        if (m_treeModel.item(i)->data(kDriveRole).toInt() == driveIndex) m_treeModel.removeRow(i);
    m_drives[static_cast<size_t>(driveIndex)].error = tr("Opened again through UDisks2");
    m_drives[static_cast<size_t>(driveIndex)].permissionDenied = false;
    m_drives[static_cast<size_t>(driveIndex)].source.clear();
    const size_t before = m_drives.size();
    QString why;
    if (!AddSource(source, &why)) {
        QMessageBox::warning(window(), UiText(texts::kCaption), why);
        return false;
    }
    return m_drives.size() > before;
}

bool CBrowsePage::OpenDrive(int driveIndex) {
    if (!ReadyDrive(driveIndex)) return false;
    for (int i = 0; i < m_treeModel.rowCount(); ++i) {
        QStandardItem* item = m_treeModel.item(i);
        if (item->data(kDriveRole).toInt() != driveIndex) continue;
        if (!item->data(kPopulatedRole).toBool()) Populate(item);
        m_tree->expand(item->index());
        if (m_tree->currentIndex() != item->index()) m_tree->setCurrentIndex(item->index());
        else ListContainer(driveIndex, Container {"/", true, 0, false});
    }
    return true;
}

QStandardItem* CBrowsePage::AddFolderItem(QStandardItem* parent, const Container& c, const QString& text,
                                          const QIcon& icon) {
    m_containers.push_back(c);
    auto* item = new QStandardItem(icon, text);
    item->setEditable(false);
    item->setData(static_cast<int>(m_containers.size() - 1), kContainerRole);
    item->appendRow(new QStandardItem(tr("…")));
    parent->appendRow(item);
    return item;
}

void CBrowsePage::Populate(QStandardItem* item) {
    const int drive = DriveOf(item);
    if (drive < 0) return;
    CVolume* volume = m_drives[static_cast<size_t>(drive)].volume;
    if (!volume) return;
    const int ci = item->data(kContainerRole).toInt();
    const Container c = ci < 0 ? Container {"/", true, 0, false} : m_containers[static_cast<size_t>(ci)];
    FillChildren(item, c, ListFolder(*volume, m_drives[static_cast<size_t>(drive)].letter, c, false).subfolders);
}

void CBrowsePage::FillChildren(QStandardItem* item, const Container& c, const std::vector<Container>& subfolders) {
    item->removeRows(0, item->rowCount());
    item->setData(true, kPopulatedRole);
    CFileTypes types;
    for (const Container& sub : subfolders) {
        const bool virtualFolder = sub.id == kLostFoldersId || sub.id == kRecycleBinId;
        QString text = LastComponent(sub.path);
        QIcon icon = types.Icon(text, true);
        if (sub.id == kLostFoldersId) {
            text = UiText(texts::kLostFolders);
            icon = CFileTypes::LostFolderIcon();
        } else if (sub.id == kRecycleBinId) {
            text = UiText(texts::kRecycleBin);
            icon = CFileTypes::RecycleBinIcon();
        } else if (!sub.existing) {
            icon = c.id == kLostFoldersId ? CFileTypes::LostFolderIcon() : types.DeletedIcon(text, true);
        }
        QStandardItem* child = AddFolderItem(item, sub, text, icon);
        if (!virtualFolder && !sub.existing) child->setToolTip(tr("Deleted folder"));
    }
}

void CBrowsePage::OnExpanded(const QModelIndex& index) {
    QStandardItem* item = m_treeModel.itemFromIndex(index);
    if (!item || item->data(kPopulatedRole).toBool()) return;
    const int drive = DriveOf(item);
    if (drive >= 0 && !m_drives[static_cast<size_t>(drive)].volume) {
        m_tree->collapse(index);
        OpenDrive(drive);
        return;
    }
    Populate(item);
}

void CBrowsePage::OnTreeSelection() {
    QStandardItem* item = m_treeModel.itemFromIndex(m_tree->currentIndex());
    if (!item) return;
    const int drive = DriveOf(item);
    if (drive < 0) return;
    if (!m_drives[static_cast<size_t>(drive)].error.isEmpty()) {
        ShowDriveError(drive);  // UDisks2 is asked only when the user picks it
        return;
    }
    if (!m_drives[static_cast<size_t>(drive)].volume) {
        OpenDrive(drive);
        return;
    }
    const int ci = item->data(kContainerRole).toInt();
    const Container c = ci < 0 ? Container {"/", true, 0, false} : m_containers[static_cast<size_t>(ci)];
    ListContainer(drive, c);
    // Unfiltered, the listing holds the folder's subfolders: the tree takes
    // them without listing the folder again.
    if (!m_deletedOnly && !item->data(kPopulatedRole).toBool()) FillChildren(item, c, m_model.Listing().subfolders);
}

void CBrowsePage::ListContainer(int driveIndex, const Container& c) {
    const GuiDrive& d = m_drives[static_cast<size_t>(driveIndex)];
    if (!d.volume) return;
    m_currentDrive = driveIndex;
    FolderListing listing = ListFolder(*d.volume, d.letter, c, m_deletedOnly);
    size_t deleted = 0;
    for (const ListedItem& row : listing.items) deleted += row.deleted ? 1 : 0;
    m_model.SetListing(c, std::move(listing), d.volume->Traits().timesUtc);
    m_model.SetDragSource(d.source, d.letter);
    UpdatePreview();  // a reset list has no current row: the pane lets go of the last folder's file
    emit selectionChanged();  // a reset selects nothing, and says nothing
    const FolderListing& shown = m_model.Listing();
    m_listStack->setCurrentWidget(m_iconMode ? static_cast<QWidget*>(m_iconPane) : m_list);
    const QString count = deleted == 1 ? tr("1 deleted item in this folder")
                                       : tr("%1 deleted items in this folder").arg(QLocale().toString(qulonglong(deleted)));
    QString status = count + QStringLiteral(" · ") +
                     (shown.items.size() == 1 ? tr("1 item in all")
                                              : tr("%1 items in all").arg(QLocale().toString(qulonglong(shown.items.size()))));
    // What the index could not read from the drive stays in sight.
    for (const ReadLoss& loss : d.volume->IndexReadLosses())
        status += QStringLiteral(" · ") + QString::fromStdString(loss.Text());
    if (!d.rescueMap.isEmpty())
        status += QStringLiteral(" · ") +
                  (d.mapUnreadableBytes == 0
                       ? tr("Rescue map %1: every byte was rescued").arg(QFileInfo(d.rescueMap).fileName())
                       : tr("Rescue map %1: %2 not rescued, taken as unreadable")
                             .arg(QFileInfo(d.rescueMap).fileName(), HumanSize(d.mapUnreadableBytes)));
    emit statusChanged(status);
    if (deleted > 0) ChooseHint(shown);
}

void CBrowsePage::ChooseHint(const FolderListing& listing) {
    switch (listing.hint) {
        case FolderHint::LostFolders: ShowHint("TipUnallocatedFolder", UiText(texts::kTipLostFolders), m_list); break;
        case FolderHint::OverwrittenFiles:
            ShowHint("TipOverwrittenFiles", UiText(texts::kTipOverwrittenFiles), m_list);
            break;
        case FolderHint::DeletedFiles: ShowHint("TipDeletedFiles", UiText(texts::kTipDeletedFiles), m_list); break;
    }
}

bool CBrowsePage::HintSpent(const char* key) { return CXMLProfile::Instance().ReadInt("Wizard", key, 1) == 0; }

bool CBrowsePage::TryHint(const char* key, const QString& text, QWidget* anchor) {
    // Behind a dialog, on a page in the back or in a minimized window nobody sees it.
    if (!anchor || !anchor->isVisible() || QApplication::activeModalWidget() || anchor->window()->isMinimized())
        return false;
    QToolTip::showText(anchor->mapToGlobal(QPoint(anchor->width() / 3, anchor->height() / 3)), text, anchor,
                       QRect(), 8000);
    if (!QToolTip::isVisible() || QToolTip::text() != text) return false;
    CXMLProfile& p = CXMLProfile::Instance();
    p.WriteInt("Wizard", key, 0);
    p.Save();
    m_lastHint = text;
    return true;
}

bool CBrowsePage::ShowHint(const char* key, const QString& text, QWidget* anchor) {
    if (HintSpent(key)) return false;
    if (TryHint(key, text, anchor)) {
        if (std::strcmp(m_pendingHint.key, key) == 0) m_pendingHint = {};
        m_hintRetry.stop();
        return true;
    }
    m_pendingHint = {key, text, anchor};  // the latest waits
    if (!m_hintRetry.isActive()) m_hintRetry.start();
    return false;
}

void CBrowsePage::SetDeletedOnly(bool on) {
    m_deletedOnly = on;
    if (m_currentDrive >= 0 && CurrentVolume()) ListContainer(m_currentDrive, m_model.Folder());
}

bool CBrowsePage::SelectFolder(const QString& path) {
    if (m_currentDrive < 0) return false;
    QStandardItem* item = nullptr;
    for (int i = 0; i < m_treeModel.rowCount(); ++i)
        if (m_treeModel.item(i)->data(kDriveRole).toInt() == m_currentDrive) item = m_treeModel.item(i);
    if (!item) return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (!item->data(kPopulatedRole).toBool()) Populate(item);
        QStandardItem* next = nullptr;
        for (int r = 0; r < item->rowCount() && !next; ++r) {
            QStandardItem* child = item->child(r);
            const int ci = child->data(kContainerRole).toInt();
            if (ci >= 0 && LastComponent(m_containers[static_cast<size_t>(ci)].path) == part) next = child;
        }
        if (!next) return false;
        m_tree->expand(item->index());
        item = next;
    }
    m_tree->setCurrentIndex(item->index());
    return true;
}

void CBrowsePage::OnActivated(const QModelIndex& index) {
    const int row = m_proxy.mapToSource(index).row();
    if (row < 0) return;
    if (!m_model.Item(row).IsFolder()) {
        QuickView();
        return;
    }
    const ListedItem& item = m_model.Item(row);
    const std::string name = item.virtualFolder ? Utf16ToUtf8(item.info.name) : m_model.Name(row).toStdString();
    const std::string target = JoinFolderPath(m_model.Folder().path, PathPart(name));
    QStandardItem* current = m_treeModel.itemFromIndex(m_tree->currentIndex());
    if (!current) return;
    if (!current->data(kPopulatedRole).toBool()) Populate(current);
    for (int r = 0; r < current->rowCount(); ++r) {
        QStandardItem* child = current->child(r);
        const int ci = child->data(kContainerRole).toInt();
        if (ci < 0) continue;
        const Container& c = m_containers[static_cast<size_t>(ci)];
        if (c.path == target && (c.existing || static_cast<uint32_t>(c.id) == item.info.id || item.virtualFolder)) {
            m_tree->expand(current->index());
            m_tree->setCurrentIndex(child->index());
            return;
        }
    }
}

std::vector<int> CBrowsePage::SelectedRows() const {
    return SelectedSourceRows(*m_list, m_proxy);
}

void CBrowsePage::RecoverSelection() {
    CVolume* volume = CurrentVolume();
    if (!volume) return;
    ::RecoverSelection selection;
    selection.volume = volume;
    selection.sourcePath = CurrentDrive()->source.toStdString();
    std::vector<SelectedRow> rows;
    for (int row : SelectedRows()) rows.push_back({&m_model.Item(row), m_model.Name(row)});
    AddSelectedRows(selection, rows);
    if (selection.items.empty()) {
        QString text = tr("Select one or more deleted items (marked with a red cross) to recover.");
        if (!selection.leftOut.isEmpty()) text = selection.leftOut + QStringLiteral("\n\n") + text;
        QMessageBox::information(window(), UiText(texts::kCaption), text);
        return;
    }
    RecoverFileGroup(window(), selection, m_statistics);
}

Container CBrowsePage::FolderHere() const {
    const std::vector<int> rows = SelectedRows();
    if (rows.size() == 1 && m_model.Item(rows.front()).IsFolder()) {
        const ListedItem& item = m_model.Item(rows.front());
        const std::string name = item.virtualFolder ? Utf16ToUtf8(item.info.name) : m_model.Name(rows.front()).toStdString();
        const std::string target = JoinFolderPath(m_model.Folder().path, PathPart(name));
        for (const Container& c : m_model.Listing().subfolders)
            if (c.path == target && (c.existing || static_cast<uint32_t>(c.id) == item.info.id || item.virtualFolder))
                return c;
    }
    return m_model.Folder();
}

void CBrowsePage::RecoverAllHere() { RecoverAllBelow(FolderHere()); }

void CBrowsePage::RecoverAllBelow(const Container& folder) {
    CVolume* volume = CurrentVolume();
    if (!volume) return;
    ::RecoverSelection selection;
    selection.volume = volume;
    selection.sourcePath = CurrentDrive()->source.toStdString();
    selection.plan = std::make_shared<CRecoveryPlan>(*volume);
    selection.plan->AddAllBelow(CurrentDrive()->letter, folder);
    selection.items = selection.plan->Items();
    if (selection.items.empty()) {
        QMessageBox::information(window(), UiText(texts::kCaption), tr("Nothing deleted was found in this folder."));
        return;
    }
    RecoverFileGroup(window(), selection, m_statistics);
}

void CBrowsePage::ShowProperties() {
    CVolume* volume = CurrentVolume();
    const std::vector<int> rows = SelectedRows();
    if (!volume || rows.empty()) return;
    CPropDlg dialog(*volume, m_model.Folder(), m_model.Item(rows.front()), m_model.Name(rows.front()), window());
    dialog.exec();
}

preview::PreviewItem CBrowsePage::PreviewItemOf(int row) const {
    preview::PreviewItem p = ListedPreviewItem(m_model.Item(row), m_model.Name(row));
    if (const GuiDrive* drive = CurrentDrive())
        p.path = VolumeFilePath(drive->letter, JoinFolderPath(m_model.Folder().path, PathPart(m_model.Name(row).toStdString())));
    return p;
}

std::vector<preview::PreviewItem> CBrowsePage::PreviewItems(size_t& current) const {
    std::vector<preview::PreviewItem> items;
    const QModelIndex at = m_list->currentIndex();
    current = 0;
    for (int r = 0; r < m_proxy.rowCount(); ++r) {
        const int row = m_proxy.mapToSource(m_proxy.index(r, 0)).row();
        if (at.isValid() && r == at.row()) current = items.size();
        items.push_back(PreviewItemOf(row));
    }
    return items;
}

bool CBrowsePage::CanPreview() const {
    const QModelIndex at = m_list->currentIndex();
    if (!CurrentVolume() || !at.isValid()) return false;
    return !m_model.Item(m_proxy.mapToSource(at).row()).IsFolder();
}

void CBrowsePage::QuickView() {
    if (m_previewClosed || !CanPreview()) return;
    size_t current = 0;
    std::vector<preview::PreviewItem> items = PreviewItems(current);
    CQuickViewDlg dialog(*CurrentVolume(), CurrentDrive()->source.toStdString(), std::move(items), current,
                         m_statistics, window());
    dialog.exec();
}

void CBrowsePage::HexView() {
    if (!CanPreview()) return;
    CHexViewDlg dialog(*CurrentVolume(), PreviewItemOf(m_proxy.mapToSource(m_list->currentIndex()).row()), window());
    dialog.exec();
}

void CBrowsePage::UpdatePreview() {
    const QModelIndex at = m_list->currentIndex();
    CVolume* volume = m_previewClosed ? nullptr : CurrentVolume();
    if (!volume || !at.isValid() || m_model.Item(m_proxy.mapToSource(at).row()).IsFolder()) {
        m_preview->SetItem(nullptr, 0, std::u16string(), QString());
        return;
    }
    const int row = m_proxy.mapToSource(at).row();
    const preview::PreviewItem item = PreviewItemOf(row);
    m_preview->SetItem(volume, item.id, item.path, m_model.Name(row));
}

void CBrowsePage::ShowListMenu(const QPoint& at) {
    QMenu menu;
    menu.setObjectName(QStringLiteral("fileListMenu"));
    if (SelectedRows().empty()) {
        if (!CurrentVolume()) return;
        menu.addAction(tr("Recover everything deleted here…"), this, &CBrowsePage::RecoverAllHere);
        menu.exec(m_list->viewport()->mapToGlobal(at));
        return;
    }
    menu.addAction(tr("Preview"), this, &CBrowsePage::QuickView)->setEnabled(CanPreview());
    menu.addAction(tr("Hex view"), this, &CBrowsePage::HexView)->setEnabled(CanPreview());
    menu.addAction(tr("Recover…"), this, &CBrowsePage::RecoverSelection)->setEnabled(CanRecover());
    menu.addAction(tr("Recover everything deleted here…"), this, &CBrowsePage::RecoverAllHere);
    menu.addAction(tr("Show containing folder"), this, &CBrowsePage::ShowSelectionInFolder);
    menu.addAction(tr("Properties"), this, &CBrowsePage::ShowProperties);
    menu.exec(m_list->viewport()->mapToGlobal(at));
}

void CBrowsePage::ShowTreeMenu(const QPoint& at) {
    const QModelIndex index = m_tree->indexAt(at);
    if (!index.isValid()) return;
    if (m_tree->currentIndex() != index) m_tree->setCurrentIndex(index);
    QStandardItem* item = m_treeModel.itemFromIndex(index);
    const int drive = DriveOf(item);
    // A folder's commands act on its row in its parent's list; a drive's root has none.
    const bool folder = item && item->parent() && drive >= 0 && m_drives[static_cast<size_t>(drive)].volume;
    QMenu menu;
    menu.setObjectName(QStringLiteral("folderTreeMenu"));
    menu.addAction(tr("Preview"))->setEnabled(false);  // a folder has no preview
    menu.addAction(tr("Hex view"))->setEnabled(false);
    menu.addAction(tr("Recover…"), this, [this] {
        if (ShowTreeFolderInParent()) RecoverSelection();
    })->setEnabled(folder);
    const int ci = item ? item->data(kContainerRole).toInt() : -1;
    const Container here = ci < 0 ? Container {"/", true, 0, false} : m_containers[static_cast<size_t>(ci)];
    menu.addAction(tr("Recover everything deleted here…"), this, [this, here] { RecoverAllBelow(here); })
        ->setEnabled(drive >= 0 && m_drives[static_cast<size_t>(drive)].volume);
    menu.addAction(tr("Show containing folder"), this, &CBrowsePage::ShowTreeFolderInParent)->setEnabled(folder);
    menu.addAction(tr("Properties"), this, [this] {
        if (ShowTreeFolderInParent()) ShowProperties();
    })->setEnabled(folder);
    menu.exec(m_tree->viewport()->mapToGlobal(at));
}

void CBrowsePage::ShowSelectionInFolder() {
    const QModelIndex at = m_list->currentIndex();
    if (!at.isValid()) return;
    m_list->scrollTo(at, QAbstractItemView::PositionAtCenter);
    m_list->setFocus();
}

bool CBrowsePage::ShowItem(const QString& folder, uint64_t id, const QString& name) {
    if (!SelectFolder(folder)) return false;
    int found = -1;
    for (int r = 0; r < m_model.rowCount() && found < 0; ++r) {
        const ListedItem& item = m_model.Item(r);
        if (item.virtualFolder || item.info.id != id) continue;
        if (name.isEmpty() || m_model.Name(r) == name) found = r;
    }
    if (found < 0) return false;
    const QModelIndex at = m_proxy.mapFromSource(m_model.index(found, 0));
    m_list->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_list->scrollTo(at, QAbstractItemView::PositionAtCenter);
    m_list->setFocus();
    return true;
}

bool CBrowsePage::ShowTreeFolderInParent() {
    QStandardItem* item = m_treeModel.itemFromIndex(m_tree->currentIndex());
    if (!item || !item->parent()) return false;
    const int ci = item->data(kContainerRole).toInt();
    if (ci < 0) return false;
    const Container folder = m_containers[static_cast<size_t>(ci)];
    m_tree->setCurrentIndex(item->parent()->index());  // lists the parent
    for (int r = 0; r < m_model.rowCount(); ++r) {
        const ListedItem& row = m_model.Item(r);
        if (!row.IsFolder()) continue;
        const std::string name = row.virtualFolder ? Utf16ToUtf8(row.info.name) : m_model.Name(r).toStdString();
        if (JoinFolderPath(m_model.Folder().path, name) != folder.path) continue;
        if (!folder.existing && !row.virtualFolder && static_cast<uint32_t>(folder.id) != row.info.id) continue;
        const QModelIndex at = m_proxy.mapFromSource(m_model.index(r, 0));
        m_list->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        m_list->scrollTo(at, QAbstractItemView::PositionAtCenter);
        return true;
    }
    return false;
}

bool CBrowsePage::RescanDrive() {
    const int drive = m_currentDrive;
    if (drive < 0 || !CurrentVolume()) return false;
    // Nothing of the old index stays in sight while it is rebuilt.
    ReleasePreview();
    m_model.Clear();
    m_currentDrive = -1;
    emit selectionChanged();
    CVolume* old = m_drives[static_cast<size_t>(drive)].volume;
    m_drives[static_cast<size_t>(drive)].volume = nullptr;
    IndexJobSettings settings;
    settings.rescan = true;
    settings.saveCache = CXMLProfile::Instance().ReadInt("Cache", "SaveToDisk", settings::kCacheSaveToDiskDefault) != 0;
    emit statusChanged(tr("Indexing %1 again…").arg(DriveCaption(m_drives[static_cast<size_t>(drive)])));
    CIndexDlg dialog(m_registry, m_drives[static_cast<size_t>(drive)].letter, settings, window());
    dialog.exec();
    if (!dialog.Volume()) {
        m_drives[static_cast<size_t>(drive)].volume = old;  // the pages may still hold it
        OpenDrive(drive);
        emit statusChanged(tr("The drive could not be indexed again."));
        return false;
    }
    m_drives[static_cast<size_t>(drive)].volume = dialog.Volume();
    m_registry.Release(old);  // the job holds a reference of its own
    for (int i = 0; i < m_treeModel.rowCount(); ++i) {
        QStandardItem* item = m_treeModel.item(i);
        if (item->data(kDriveRole).toInt() != drive) continue;
        item->removeRows(0, item->rowCount());
        item->setData(false, kPopulatedRole);
        item->appendRow(new QStandardItem(tr("…")));
        m_tree->setCurrentIndex(QModelIndex());
    }
    return OpenDrive(drive);
}
