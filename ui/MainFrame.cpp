#include "ui/MainFrame.h"

#include <libudev.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QActionGroup>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWindow>

#include "app/Log.h"
#include "app/Profile.h"
#include "app/update/UpdateService.h"
#include "platform/DriveList.h"
#include "ui/BrowsePage.h"
#include "ui/Busy.h"
#include "ui/DiskImageDlg.h"
#include "ui/Help.h"
#include "ui/ItemDrag.h"
#include "ui/OptionsDlg.h"
#include "ui/SearchDlg.h"
#include "ui/SurfaceScanWnd.h"
#include "ui/UpdateCheck.h"
#include "ui/WizardDlg.h"
#include "ui/Texts.h"
#include "ui/WindowPos.h"

namespace {

constexpr const char* kLayout = "LayoutMain";

}  // namespace

CMainFrame::CMainFrame(MainFrameOptions options, QWidget* parent) : QMainWindow(parent), m_options(options) {
    InitUiResources();
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(UiText(texts::kCaption));
    setWindowIcon(QIcon(QStringLiteral(":/icons/browse.svg")));
    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 0, 0);
    m_nav = new QListWidget(central);
    m_nav->setObjectName(QStringLiteral("navigation"));
    m_nav->setViewMode(QListView::IconMode);
    m_nav->setFlow(QListView::TopToBottom);
    m_nav->setMovement(QListView::Static);
    m_nav->setIconSize(QSize(32, 32));
    m_nav->setFixedWidth(104);
    m_nav->setWordWrap(true);
    m_nav->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_nav->setGridSize(QSize(96, 64));
    m_nav->setSpacing(6);
    m_nav->addItem(new QListWidgetItem(QIcon(QStringLiteral(":/icons/browse.svg")), UiText(texts::kBrowsePage)));
    m_nav->addItem(new QListWidgetItem(QIcon(QStringLiteral(":/icons/search.svg")), UiText(texts::kSearchPage)));
    m_nav->addItem(new QListWidgetItem(QIcon(QStringLiteral(":/icons/scan.svg")), UiText(texts::kScanPage)));
    m_nav->setAccessibleName(tr("Pages"));
    for (int i = 0; i < m_nav->count(); ++i)
        m_nav->item(i)->setData(Qt::AccessibleTextRole, m_nav->item(i)->text());
    m_nav->item(0)->setData(Qt::AccessibleDescriptionRole, tr("Folders of a drive with their deleted files"));
    m_nav->item(1)->setData(Qt::AccessibleDescriptionRole, tr("Find deleted files by name, size and date"));
    m_nav->item(2)->setData(Qt::AccessibleDescriptionRole, tr("Look in the free space for files of known kinds"));
    row->addWidget(m_nav);
    m_pages = new QStackedWidget(central);
    m_browse = new CBrowsePage(m_registry, m_statistics, m_pages);
    m_pages->addWidget(m_browse);
    m_search = new CSearchDlg(*m_browse, m_statistics, m_pages);
    m_pages->addWidget(m_search);
    m_scan = new CSurfaceScanWnd(*m_browse, m_statistics, m_pages);
    m_pages->addWidget(m_scan);
    row->addWidget(m_pages, 1);
    setCentralWidget(central);
    connect(m_nav, &QListWidget::currentRowChanged, m_pages, &QStackedWidget::setCurrentIndex);
    m_nav->setCurrentRow(0);

    m_status = new QLabel(tr("Ready"), this);
    m_status->setObjectName(QStringLiteral("statusText"));
    m_status->setAccessibleName(tr("Status"));
    statusBar()->setAccessibleName(tr("Status bar"));
    statusBar()->addWidget(m_status, 1);
    // The status line tells what the page shown says.
    connect(m_browse, &CBrowsePage::statusChanged, this, [this](const QString& text) {
        m_browseStatus = text;
        if (CurrentPage() == 0) m_status->setText(text);
    });
    connect(m_search, &CSearchDlg::statusChanged, this, [this](const QString& text) {
        if (CurrentPage() == 1) m_status->setText(text);
    });
    connect(m_scan, &CSurfaceScanWnd::statusChanged, this, [this](const QString& text) {
        if (CurrentPage() == 2) m_status->setText(text);
    });
    connect(m_pages, &QStackedWidget::currentChanged, this, [this](int page) {
        m_status->setText(page == 0 ? m_browseStatus : page == 1 ? m_search->StatusLine() : m_scan->StatusLine());
    });
    connect(m_browse, &CBrowsePage::selectionChanged, this, &CMainFrame::UpdateActions);
    connect(m_search, &CSearchDlg::selectionChanged, this, &CMainFrame::UpdateActions);
    connect(m_scan, &CSurfaceScanWnd::selectionChanged, this, &CMainFrame::UpdateActions);
    connect(m_pages, &QStackedWidget::currentChanged, this, &CMainFrame::UpdateActions);
    connect(m_search, &CSearchDlg::showBrowsePage, this, [this] { ShowPage(0); });
    m_search->Results()->setAccessibleName(tr("Files found"));
    m_scan->ResultView()->setAccessibleName(tr("Files found in the free space"));
    m_update = new CUpdateChecker(this);
    BuildActions();
    if (CXMLProfile::Instance().ReadInt(kLayout, "Thumbnails", 0) != 0) SetIconMode(true);
    setAcceptDrops(true);  // image files dropped on the window open as drives
    // Items dragged out onto a file manager's folder are recovered there.
    CDragExport::Instance().SetRecovery([this](const QMimeData& data, const QString& folder) {
        BringToFront();
        RecoverDroppedItems(data, folder);
    });
    UpdateActions();
    if (m_options.updateCheck) m_update->Start(true);
    resize(1100, 700);
}

CMainFrame::~CMainFrame() {
    CDragExport::Instance().SetRecovery(nullptr);
    StopDeviceMonitor();
    m_browse->ReleasePreview(true);  // before the registry's volumes go
    m_search->Cancel();
    m_scan->Cancel();
}

void CMainFrame::BuildActions() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open = file->addAction(QIcon::fromTheme(QStringLiteral("document-open")), tr("Open disk image…"), this,
                                    &CMainFrame::OpenDiskImage);
    open->setShortcut(QKeySequence::Open);
    open->setObjectName(QStringLiteral("openImage"));
    QAction* createImage = file->addAction(QIcon::fromTheme(QStringLiteral("drive-harddisk")),
                                           tr("Create disk image…"), this, &CMainFrame::CreateDiskImage);
    createImage->setObjectName(QStringLiteral("createImage"));
    QAction* refresh = file->addAction(QIcon::fromTheme(QStringLiteral("view-refresh")), tr("Refresh drive list"),
                                       this, &CMainFrame::RefreshDrives);
    refresh->setShortcut(QKeySequence(Qt::Key_F5));
    file->addSeparator();
    QAction* options = file->addAction(QIcon::fromTheme(QStringLiteral("configure")), tr("Options…"), this,
                                       &CMainFrame::OpenOptions);
    options->setObjectName(QStringLiteral("options"));
    file->addSeparator();
    QAction* quit = file->addAction(QIcon::fromTheme(QStringLiteral("application-exit")), tr("Quit"), this,
                                    &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* actions = menuBar()->addMenu(tr("&Actions"));
    actions->setObjectName(QStringLiteral("actionsMenu"));
    // The commands act on the selection of the page in front.
    m_recover = actions->addAction(QIcon(QStringLiteral(":/icons/recover.svg")), tr("Recover…"), this,
                                   &CMainFrame::RecoverSelection);
    m_recover->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    m_recover->setObjectName(QStringLiteral("recover"));
    m_recoverAll = actions->addAction(tr("Recover everything deleted here…"), this, [this] {
        ShowPage(0);
        m_browse->RecoverAllHere();
    });
    m_recoverAll->setObjectName(QStringLiteral("recoverAllHere"));
    m_preview = actions->addAction(QIcon::fromTheme(QStringLiteral("document-preview")), tr("Preview"), this,
                                   &CMainFrame::QuickView);
    m_preview->setObjectName(QStringLiteral("preview"));
    m_preview->setToolTip(tr("Show the selected file as a picture or as text (Enter or Space in the list)."));
    m_hexView = actions->addAction(tr("Hex view"), this, &CMainFrame::HexView);
    m_hexView->setObjectName(QStringLiteral("hexView"));
    m_hexView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    m_hexView->setToolTip(tr("Show the selected file byte by byte, with where it lies on the disk."));
    m_properties = actions->addAction(QIcon::fromTheme(QStringLiteral("document-properties")), tr("Properties"),
                                      this, &CMainFrame::ShowProperties);
    m_properties->setObjectName(QStringLiteral("properties"));
    m_properties->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    m_showFolder = actions->addAction(QIcon::fromTheme(QStringLiteral("folder-open")), tr("Show containing folder"),
                                      this, &CMainFrame::ShowContainingFolder);
    m_showFolder->setObjectName(QStringLiteral("showContainingFolder"));
    actions->addSeparator();
    m_stop = actions->addAction(QIcon::fromTheme(QStringLiteral("process-stop")), tr("Stop"), this, [this] {
        if (CurrentPage() == 1) m_search->StopSearch();
        else if (CurrentPage() == 2) m_scan->StopScan();
        UpdateActions();
    });
    m_stop->setObjectName(QStringLiteral("stop"));
    m_newScan = actions->addAction(QIcon::fromTheme(QStringLiteral("view-refresh")), tr("New scan"), this, [this] {
        m_scan->NewScan();
        UpdateActions();
    });
    m_newScan->setObjectName(QStringLiteral("newScan"));
    m_rescan = actions->addAction(QIcon::fromTheme(QStringLiteral("view-refresh")), tr("Rescan drive"), this, [this] {
        if (BusyCount() == 0) m_browse->RescanDrive();
        UpdateActions();
    });
    m_rescan->setObjectName(QStringLiteral("rescan"));
    m_rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F5));
    m_rescan->setToolTip(tr("Read the drive's file system again instead of the saved index."));
    actions->addSeparator();
    m_wizard = actions->addAction(QIcon::fromTheme(QStringLiteral("tools-wizard")), tr("Scan wizard…"), this,
                                  &CMainFrame::OpenWizard);
    m_wizard->setObjectName(QStringLiteral("wizard"));

    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    m_deletedOnly = view->addAction(QIcon(QStringLiteral(":/icons/deleted.svg")), tr("Show deleted items only"));
    m_deletedOnly->setCheckable(true);
    m_deletedOnly->setObjectName(QStringLiteral("deletedOnly"));
    connect(m_deletedOnly, &QAction::toggled, m_browse, &CBrowsePage::SetDeletedOnly);
    view->addSeparator();
    m_foldersPane = view->addAction(tr("Folders pane"));
    m_foldersPane->setObjectName(QStringLiteral("foldersPane"));
    m_foldersPane->setCheckable(true);
    m_foldersPane->setChecked(m_browse->FoldersPaneShown());
    connect(m_foldersPane, &QAction::toggled, m_browse, &CBrowsePage::SetFoldersPaneShown);
    m_previewPane = view->addAction(tr("Preview pane"));
    m_previewPane->setObjectName(QStringLiteral("previewPane"));
    m_previewPane->setCheckable(true);
    m_previewPane->setChecked(m_browse->PreviewPaneShown());
    connect(m_previewPane, &QAction::toggled, m_browse, &CBrowsePage::SetPreviewPaneShown);
    view->addSeparator();
    // The lists as details or thumbnails, on every page at once.
    auto* listFaces = new QActionGroup(this);
    m_detailsView = view->addAction(tr("Details"));
    m_detailsView->setObjectName(QStringLiteral("detailsView"));
    m_detailsView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    m_thumbnailsView = view->addAction(QIcon(QStringLiteral(":/icons/thumbnails.svg")), tr("Thumbnails"));
    m_thumbnailsView->setObjectName(QStringLiteral("thumbnailsView"));
    m_thumbnailsView->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_2));
    m_thumbnailsView->setToolTip(tr("Show the lists as thumbnails of the pictures (Ctrl+1 for details)"));
    for (QAction* a : {m_detailsView, m_thumbnailsView}) {
        a->setCheckable(true);
        listFaces->addAction(a);
    }
    m_detailsView->setChecked(true);
    connect(m_thumbnailsView, &QAction::toggled, this, &CMainFrame::SetIconMode);
    view->addSeparator();
    const char* pageNames[] = {"Browse", "Search", "Surface scan"};
    for (int i = 0; i < 3; ++i) {
        QAction* a = view->addAction(tr(pageNames[i]), this, [this, i] { ShowPage(i); });
        if (i == 1) a->setShortcut(QKeySequence::Find);
    }

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction* contents = help->addAction(QIcon::fromTheme(QStringLiteral("help-contents")), tr("Help"), this,
                                        [this] { OpenHelpTopic(this, QStringLiteral("Overview")); });
    contents->setShortcut(QKeySequence::HelpContents);
    m_checkUpdates = help->addAction(tr("Check for updates"), this, [this] { m_update->Start(false); });
    m_checkUpdates->setObjectName(QStringLiteral("checkUpdates"));
    m_checkUpdates->setVisible(update::CheckAvailable());  // a build without a service never asks
    m_checkUpdates->setEnabled(!m_update->Busy());
    connect(m_update, &CUpdateChecker::busyChanged, m_checkUpdates, [this](bool busy) { m_checkUpdates->setEnabled(!busy); });
    connect(help, &QMenu::aboutToShow, this, [this] { m_checkUpdates->setVisible(update::CheckAvailable()); });
    help->addSeparator();
    QAction* about = help->addAction(QIcon::fromTheme(QStringLiteral("help-about")), tr("About %1").arg(UiText(texts::kCaption)),
                                     this, [this] { ShowAboutBox(this); });
    about->setObjectName(QStringLiteral("about"));

    // The state of Stop, New scan and Rescan follows jobs, not the selection.
    for (QMenu* menu : {actions, view})
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateActions);

    QToolBar* bar = addToolBar(tr("Main"));
    m_toolBar = bar;
    bar->setObjectName(QStringLiteral("mainToolBar"));
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->addAction(open);
    bar->addAction(m_wizard);
    bar->addSeparator();
    bar->addAction(m_recover);
    bar->addAction(m_preview);
    bar->addAction(m_deletedOnly);
    bar->addAction(m_thumbnailsView);
}

void CMainFrame::SetIconMode(bool on) {
    if (m_thumbnailsView->isChecked() != on) (on ? m_thumbnailsView : m_detailsView)->setChecked(true);
    m_browse->SetIconMode(on);
    m_search->SetIconMode(on);
    m_scan->SetIconMode(on);
    CXMLProfile::Instance().WriteInt(kLayout, "Thumbnails", on ? 1 : 0);
}

void CMainFrame::UpdateActions() {
    if (!m_recover) return;  // before the actions are made
    const int page = CurrentPage();
    m_deletedOnly->setEnabled(page == 0);  // the other pages list deleted items or finds only
    m_foldersPane->setChecked(m_browse->FoldersPaneShown());
    m_previewPane->setChecked(m_browse->PreviewPaneShown());
    m_stop->setEnabled((page == 1 && m_search->Searching()) || (page == 2 && m_scan->Scanning()));
    m_newScan->setEnabled(page == 2 && m_scan->CanStartNewScan());
    m_rescan->setEnabled(page == 0 && m_browse->CurrentVolume() && BusyCount() == 0);
    m_hexView->setEnabled(page == 1 ? m_search->CanPreview() : page == 2 ? m_scan->CanPreview() : m_browse->CanPreview());
    m_recoverAll->setEnabled(page == 0 && m_browse->CurrentVolume());
    switch (page) {
        case 1:
            m_recover->setEnabled(m_search->CanRecover());
            m_preview->setEnabled(m_search->CanPreview());
            m_properties->setEnabled(m_search->CanShowProperties());
            m_showFolder->setEnabled(m_search->CanShowProperties());
            break;
        case 2:  // a find has no properties beyond its row, and no folder
            m_recover->setEnabled(m_scan->CanRecover());
            m_preview->setEnabled(m_scan->CanPreview());
            m_properties->setEnabled(false);
            m_showFolder->setEnabled(false);
            break;
        default:
            m_recover->setEnabled(m_browse->CanRecover());
            m_preview->setEnabled(m_browse->CanPreview());
            m_properties->setEnabled(m_browse->CanRecover());
            m_showFolder->setEnabled(m_browse->CanRecover());
            break;
    }
}

void CMainFrame::ShowContainingFolder() {
    switch (CurrentPage()) {
        case 1: m_search->ShowContainingFolder(); break;
        case 2: break;
        default: m_browse->ShowSelectionInFolder(); break;
    }
}

void CMainFrame::RecoverSelection() {
    switch (CurrentPage()) {
        case 1: m_search->RecoverSelection(); break;
        case 2: m_scan->RecoverSelection(); break;
        default: m_browse->RecoverSelection(); break;
    }
}

void CMainFrame::QuickView() {
    switch (CurrentPage()) {
        case 1: m_search->QuickView(); break;
        case 2: m_scan->QuickView(); break;
        default: m_browse->QuickView(); break;
    }
}

void CMainFrame::HexView() {
    switch (CurrentPage()) {
        case 1: m_search->HexView(); break;
        case 2: m_scan->HexView(); break;
        default: m_browse->HexView(); break;
    }
}

void CMainFrame::ShowProperties() {
    switch (CurrentPage()) {
        case 1: m_search->ShowProperties(); break;
        case 2: break;
        default: m_browse->ShowProperties(); break;
    }
}

void CMainFrame::ShowPage(int index) { m_nav->setCurrentRow(index); }
int CMainFrame::CurrentPage() const { return m_pages->currentIndex(); }

void CMainFrame::OpenImages(const QStringList& paths, bool quiet) {
    for (const QString& path : paths) {
        QString why;
        std::shared_ptr<CByteSource> bytes;
        if (m_browse->AddSource(path, &why, &bytes)) continue;
        LogWrite("Cannot open %s: %s\n", path.toUtf8().constData(), why.toUtf8().constData());
        // Readable but without NTFS or FAT: the surface scan can still look into it.
        if (bytes && bytes->Size() > 0) {
            m_scan->AddRawSource(path, std::move(bytes));
            if (!quiet)
                QMessageBox::information(this, UiText(texts::kCaption),
                                         tr("%1 holds no NTFS, FAT or exFAT file system (%2).\n\nThe Surface scan page can "
                                            "still look for pictures, documents and other files in it.")
                                             .arg(path, why));
            continue;
        }
        if (!quiet) QMessageBox::warning(this, UiText(texts::kCaption), tr("Cannot open %1.\n\n%2").arg(path, why));
    }
}

QStringList DiskImageFilters() {
    const std::pair<QString, QString> kinds[] = {
        {CMainFrame::tr("Raw images"), QStringLiteral("*.img *.dd *.raw *.bin *.iso *.001 *.aa")},
        {CMainFrame::tr("E01 images"), QStringLiteral("*.E01 *.e01")},
        {CMainFrame::tr("VHD and VHDX images"), QStringLiteral("*.vhd *.vhdx")},
        {CMainFrame::tr("VMDK images"), QStringLiteral("*.vmdk")},
        {CMainFrame::tr("QCOW2 images"), QStringLiteral("*.qcow2 *.qcow")},
    };
    QStringList every, filters;
    for (const auto& [name, patterns] : kinds) {
        every.push_back(patterns);
        filters.push_back(QStringLiteral("%1 (%2)").arg(name, patterns));
    }
    filters.prepend(CMainFrame::tr("Disk images (%1)").arg(every.join(u' ')));
    filters.push_back(CMainFrame::tr("All files (*)"));
    return filters;
}

void CMainFrame::OpenDiskImage() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Open disk image"), QString(),
                                                      DiskImageFilters().join(QStringLiteral(";;")));
    if (path.isEmpty()) return;
    const size_t before = m_browse->Drives().size();
    OpenImages({path});
    if (m_browse->Drives().size() > before) m_browse->OpenDrive(static_cast<int>(before));
}

void CMainFrame::CreateDiskImage() {
    // The drives of the browse page, then the whole disks and other sources without NTFS or FAT.
    std::vector<DiskImageSource> sources = DiskImageSources(m_browse->Drives());
    for (const QString& path : m_scan->RawSourcePaths()) sources.push_back({tr("no NTFS, FAT or exFAT file system"), path});
    const GuiDrive* current = m_browse->CurrentDrive();
    CDiskImageDlg dialog(this, sources, current ? current->source : QString());
    if (dialog.exec() != QDialog::Accepted || !dialog.OpenImageRequested()) return;
    const QString image = QFileInfo(dialog.ImagePath()).absoluteFilePath();
    const QString canonical = QFileInfo(image).canonicalFilePath();
    for (size_t i = 0; i < m_browse->Drives().size(); ++i)
        if (QFileInfo(m_browse->Drives()[i].source).canonicalFilePath() == canonical) {
            m_browse->OpenDrive(static_cast<int>(i));
            ShowPage(0);
            return;
        }
    const size_t before = m_browse->Drives().size();
    OpenImages({image});
    if (m_browse->Drives().size() > before) {
        m_browse->OpenDrive(static_cast<int>(before));
        ShowPage(0);
    }
}

namespace {
// The local files a drop names (never our own items dragged back).
QStringList DroppedFiles(const QMimeData& data) {
    QStringList paths;
    if (data.hasFormat(QString::fromLatin1(kItemsMimeType))) return paths;
    for (const QUrl& url : data.urls())
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) paths << url.toLocalFile();
    return paths;
}
}  // namespace

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFiles(*event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
    const QStringList paths = DroppedFiles(*event->mimeData());
    if (paths.isEmpty()) return;
    event->acceptProposedAction();
    // Opened once the drop is over: indexing brings a dialog of its own.
    QTimer::singleShot(0, this, [this, paths] { OpenDroppedImages(paths); });
}

void CMainFrame::OpenDroppedImages(const QStringList& paths) {
    int first = -1;
    for (const QString& path : paths) {
        // An image open already is shown again, not opened twice.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        for (size_t i = 0; i < m_browse->Drives().size() && first < 0; ++i)
            if (QFileInfo(m_browse->Drives()[i].source).canonicalFilePath() == canonical) first = static_cast<int>(i);
        const size_t before = m_browse->Drives().size();
        OpenImages({path});
        if (first < 0 && m_browse->Drives().size() > before) first = static_cast<int>(before);
    }
    if (first < 0) return;
    ShowPage(0);
    m_browse->OpenDrive(first);
}

bool CMainFrame::RecoverDroppedItems(const QMimeData& data, const QString& folder) {
    return ::RecoverDroppedItems(this, data, folder, m_browse->Drives(), m_statistics);
}

void CMainFrame::BringToFront() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
    QApplication::alert(this);
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_shown) return;
    m_shown = true;
    bool maximized = false;
    if (RestoreWindowPos(*this, kLayout, &maximized) && maximized) showMaximized();
    if (m_options.listDevices) AddDevices();
    if (m_options.watchDevices) StartDeviceMonitor();
    // The wizard, while the profile asks for it at start-up; else its hint, then the view hint.
    const bool wizard =
        m_options.wizardAtStartUp && CXMLProfile::Instance().ReadInt("Wizard", "ShowOnStartUp", 1) != 0;
    QTimer::singleShot(0, this, [this, wizard] {
        if (wizard) {
            OpenWizardWhenPlaced(40);
            return;
        }
        // At the wizard's button; once that hint was seen, the one on the view's settings.
        QWidget* wizardButton = m_toolBar ? m_toolBar->widgetForAction(m_wizard) : nullptr;
        if (!CBrowsePage::HintSpent("TipLaunchWizard"))
            m_browse->ShowHint("TipLaunchWizard", UiText(texts::kTipLaunchWizard), wizardButton ? wizardButton : menuBar());
        else
            m_browse->ShowHint("TipCustomizeView", UiText(texts::kTipCustomizeView), menuBar());
    });
}

void CMainFrame::OpenWizardWhenPlaced(int triesLeft) {
    // The wizard centres on this window: only once the window is on the
    // screen where the window manager put it (a window not yet mapped has no
    // place of its own), within two seconds.
    if (triesLeft > 0 && !(windowHandle() && windowHandle()->isExposed())) {
        QTimer::singleShot(50, this, [this, triesLeft] { OpenWizardWhenPlaced(triesLeft - 1); });
        return;
    }
    OpenWizard();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (BusyCount() > 0) {
        m_closeRefusal = UiText(texts::kCloseWhileRunning);
        event->ignore();
        QMessageBox* box = new QMessageBox(QMessageBox::Warning, UiText(texts::kCaption), m_closeRefusal,
                                           QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    m_closeRefusal.clear();
    StopDeviceMonitor();
    CXMLProfile& p = CXMLProfile::Instance();
    StoreWindowPos(*this, kLayout);
    m_search->SaveLayout();
    m_scan->SaveLayout();
    p.WriteUInt64("UsageStatistics", "FilesRecoveredInTotal",
                  p.ReadUInt64("UsageStatistics", "FilesRecoveredInTotal") + m_statistics.filesRecovered);
    p.WriteUInt64("UsageStatistics", "AmountRecoveredInTotal",
                  p.ReadUInt64("UsageStatistics", "AmountRecoveredInTotal") + m_statistics.bytesRecovered);
    m_statistics = {};
    m_browse->SaveLayout();  // saves the profile
    event->accept();
}

void CMainFrame::StartDeviceMonitor() {
    if (m_monitor) return;
    m_udev = udev_new();
    if (!m_udev) return;
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        StopDeviceMonitor();
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &CMainFrame::OnDeviceEvent);
}

void CMainFrame::StopDeviceMonitor() {
    m_notifier.reset();
    if (m_monitor) udev_monitor_unref(m_monitor);
    if (m_udev) udev_unref(m_udev);
    m_monitor = nullptr;
    m_udev = nullptr;
}

void CMainFrame::OnDeviceEvent() {
    bool changed = false;
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const char* action = udev_device_get_action(device);
        if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 ||
                       std::strcmp(action, "change") == 0))
            changed = true;
        udev_device_unref(device);
    }
    if (changed) RefreshDrives();
}

void CMainFrame::RefreshDrives() {
    m_browse->RemoveMissingDevices();
    if (m_options.listDevices) AddDevices();
}

void CMainFrame::OpenWizard() {
    CWizardDlg wizard(WizardDrives(m_browse->Drives(), m_options.listDevices ? ListDrives() : std::vector<DriveListEntry>()),
                      this);
    if (wizard.exec() != QDialog::Accepted) return;
    int drive = -1;
    for (size_t i = 0; i < m_browse->Drives().size(); ++i)
        if (wizard.Drive() && m_browse->Drives()[i].letter == wizard.Drive()) drive = static_cast<int>(i);
    switch (wizard.Action()) {
        case WizardAction::Browse:
            ShowPage(0);
            if (drive >= 0) m_browse->OpenDrive(drive);
            break;
        case WizardAction::Search:
            ShowPage(1);
            if (drive >= 0) m_search->SelectDrive(drive);
            break;
        case WizardAction::SurfaceScan:
            ShowPage(2);
            if (drive >= 0) m_scan->SelectDrive(drive);
            break;
        case WizardAction::None: break;
    }
    if (wizard.CloseRequested()) QTimer::singleShot(0, this, &QWidget::close);
}

void CMainFrame::AddDevices() {
    // One probe of the devices serves both pages.
    const std::vector<DriveListEntry> devices = ListDrives();
    m_browse->AddDevices(devices);
    // Readable devices without NTFS or FAT (a reformatted card): the surface scan reads them as raw units.
    for (const DriveListEntry& d : devices)
        if (d.readable && !d.supported) m_scan->AddRawSource(QString::fromStdString(d.device), nullptr);  // opened when scanned
}

void CMainFrame::OpenOptions() {
    COptionsDlg dialog(*m_update, this);
    dialog.exec();
}
