#include "ui/MainFrame.h"

#include <libudev.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
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
#include <QToolBar>
#include <QVBoxLayout>

#include "app/Log.h"
#include "app/Profile.h"
#include "platform/DriveList.h"
#include "ui/BrowsePage.h"
#include "ui/Busy.h"
#include "ui/DiskImageDlg.h"
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
    m_update = new CUpdateChecker(this);
    BuildActions();
    UpdateActions();
    if (m_options.updateCheck) m_update->Start(true);
    resize(1100, 700);
}

CMainFrame::~CMainFrame() {
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
    // The commands act on the selection of the page in front.
    m_recover = actions->addAction(QIcon(QStringLiteral(":/icons/recover.svg")), tr("Recover…"), this,
                                   &CMainFrame::RecoverSelection);
    m_recover->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    m_recover->setObjectName(QStringLiteral("recover"));
    m_preview = actions->addAction(QIcon::fromTheme(QStringLiteral("document-preview")), tr("Preview"), this,
                                   &CMainFrame::QuickView);
    m_preview->setObjectName(QStringLiteral("preview"));
    m_preview->setToolTip(tr("Show the selected file as a picture or as text (Enter or Space in the list)."));
    m_properties = actions->addAction(QIcon::fromTheme(QStringLiteral("document-properties")), tr("Properties"),
                                      this, &CMainFrame::ShowProperties);
    m_properties->setObjectName(QStringLiteral("properties"));
    m_properties->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    actions->addSeparator();
    m_wizard = actions->addAction(QIcon::fromTheme(QStringLiteral("tools-wizard")), tr("Scan wizard…"), this,
                                  &CMainFrame::OpenWizard);
    m_wizard->setObjectName(QStringLiteral("wizard"));

    QMenu* view = menuBar()->addMenu(tr("&View"));
    m_deletedOnly = view->addAction(QIcon(QStringLiteral(":/icons/deleted.svg")), tr("Show deleted items only"));
    m_deletedOnly->setCheckable(true);
    m_deletedOnly->setObjectName(QStringLiteral("deletedOnly"));
    connect(m_deletedOnly, &QAction::toggled, m_browse, &CBrowsePage::SetDeletedOnly);
    view->addSeparator();
    const char* pageNames[] = {"Browse", "Search", "Surface scan"};
    for (int i = 0; i < 3; ++i) {
        QAction* a = view->addAction(tr(pageNames[i]), this, [this, i] { ShowPage(i); });
        if (i == 1) a->setShortcut(QKeySequence::Find);
    }

    QToolBar* bar = addToolBar(tr("Main"));
    bar->setObjectName(QStringLiteral("mainToolBar"));
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->addAction(open);
    bar->addAction(m_wizard);
    bar->addSeparator();
    bar->addAction(m_recover);
    bar->addAction(m_preview);
    bar->addAction(m_deletedOnly);
}

void CMainFrame::UpdateActions() {
    if (!m_recover) return;  // before the actions are made
    m_deletedOnly->setEnabled(CurrentPage() == 0);  // the other pages list deleted items or finds only
    switch (CurrentPage()) {
        case 1:
            m_recover->setEnabled(m_search->CanRecover());
            m_preview->setEnabled(m_search->CanPreview());
            m_properties->setEnabled(m_search->CanShowProperties());
            break;
        case 2:  // a find has no properties beyond its row
            m_recover->setEnabled(m_scan->CanRecover());
            m_preview->setEnabled(m_scan->CanPreview());
            m_properties->setEnabled(false);
            break;
        default:
            m_recover->setEnabled(m_browse->CanRecover());
            m_preview->setEnabled(m_browse->CanPreview());
            m_properties->setEnabled(m_browse->CanRecover());
            break;
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
            OpenWizard();
            return;
        }
        if (!m_browse->ShowHint("TipLaunchWizard", UiText(texts::kTipLaunchWizard), menuBar()))
            m_browse->ShowHint("TipCustomizeView", UiText(texts::kTipCustomizeView), menuBar());
    });
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
