// quarlix-screenshots IMAGE OUTDIR: opens IMAGE in the real window (with a
// settings folder of its own under OUTDIR) and writes PNGs of the pages and
// dialogs at 1280x800: the browse page on the root and on a deleted folder,
// the properties dialog, the indexing dialog, the recovery destination
// dialog and the progress dialog mid-way, the browse page with the preview
// pane on a deleted picture, the quick view on it and on a deleted text,
// the pane on a file it cannot show, the search page with results and one
// selected, the surface-scan page during, after and stopped in a scan, each
// page of the scan wizard, the options dialog's pages, the update dialog,
// and the disk-image dialog before and after a copy. With --dark, all of
// them on a dark palette (NAME-dark.png; scratch folders under OUTDIR/dark).
#include <QApplication>
#include <chrono>
#include <filesystem>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QToolTip>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <QTreeView>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "app/RecentDestinations.h"
#include "platform/RescueMap.h"
#include "ui/BrowsePage.h"
#include "ui/DiskImageDlg.h"
#include "ui/EmbedQuickView.h"
#include "ui/FileListModel.h"
#include "ui/HexViewDlg.h"
#include "ui/ItemIconView.h"
#include "ui/ImageControl.h"
#include "ui/OptionsDlg.h"
#include "ui/QuickViewDlg.h"
#include "ui/SearchDlg.h"
#include "ui/SurfaceScanWnd.h"
#include "ui/UpdateCheck.h"
#include "ui/WizardDlg.h"
#include "platform/DriveList.h"
#include "ui/IndexDlg.h"
#include "ui/MainFrame.h"
#include "ui/PropDlg.h"
#include "ui/RecoverDlg.h"
#include "ui/RecoverProgressDlg.h"
#include "ui/StartUp.h"
#include "ui/Theme.h"

namespace {

QString g_out;
QString g_suffix;  // "-dark" on the dark palette
int g_written = 0;

QString ShotPath(const char* name) {
    return g_out + QLatin1Char('/') + QLatin1String(name) + g_suffix + QStringLiteral(".png");
}

void Settle(int ms = 150) {
    QTimer t;
    t.setSingleShot(true);
    QEventLoop loop;
    QObject::connect(&t, &QTimer::timeout, &loop, &QEventLoop::quit);
    t.start(ms);
    loop.exec();
}

void Save(QWidget* w, const char* name) {
    Settle();
    const QString path = ShotPath(name);
    if (w->grab().save(path)) {
        std::printf("%s\n", path.toUtf8().constData());
        ++g_written;
    } else {
        std::fprintf(stderr, "quarlix-screenshots: cannot write %s\n", path.toUtf8().constData());
    }
}

// The window with a popup (a menu) drawn over it where it stands.
void SaveWithPopup(QWidget* window, QWidget* popup, const char* name) {
    Settle();
    QPixmap shot = window->grab();
    {
        QPainter painter(&shot);
        painter.drawPixmap(window->mapFromGlobal(popup->mapToGlobal(QPoint(0, 0))), popup->grab());
    }
    const QString path = ShotPath(name);
    if (shot.save(path)) {
        std::printf("%s\n", path.toUtf8().constData());
        ++g_written;
    } else {
        std::fprintf(stderr, "quarlix-screenshots: cannot write %s\n", path.toUtf8().constData());
    }
}

// A context menu a widget opens at `at` (its own loop), drawn over the window, then closed.
void SaveContextMenu(QWidget* window, QWidget* widget, QWidget* viewport, QPoint at, const char* name) {
    QTimer::singleShot(300, window, [window, name] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            SaveWithPopup(window, popup, name);
            popup->close();
        }
    });
    (void)viewport;
    emit widget->customContextMenuRequested(at);
}

// The first deleted folder below the root, else the first folder with a deleted item.
QString DeletedFolder(CBrowsePage& page) {
    const CFileListModel& m = page.ListModel();
    for (int r = 0; r < m.rowCount(); ++r)
        if (m.Item(r).deleted && m.Item(r).IsFolder()) return QLatin1Char('/') + m.Name(r);
    for (int r = 0; r < m.rowCount(); ++r)
        if (m.Item(r).IsFolder() && !m.Item(r).virtualFolder) return QLatin1Char('/') + m.Name(r);
    return QStringLiteral("/");
}

// Selects the folder (the root or one of its folders) of the skip-th deleted
// file whose name has a picture's (or a text's) extension; its model row, or -1.
int SelectDeletedFile(CBrowsePage& page, bool picture, int skip) {
    page.SelectFolder(QStringLiteral("/"));
    QStringList folders {QStringLiteral("/")};
    for (int r = 0; r < page.ListModel().rowCount(); ++r)
        if (page.ListModel().Item(r).IsFolder() && !page.ListModel().Item(r).virtualFolder)
            folders << QLatin1Char('/') + page.ListModel().Name(r);
    for (const QString& folder : folders) {
        if (!page.SelectFolder(folder)) continue;
        const CFileListModel& m = page.ListModel();
        for (int r = 0; r < m.rowCount(); ++r) {
            const std::u16string name = m.Name(r).toStdU16String();
            if (m.Item(r).deleted && !m.Item(r).IsFolder() &&
                (picture ? preview::HasImageExtension(name) : preview::HasTextExtension(name)) && skip-- == 0)
                return r;
        }
    }
    return -1;
}

void SelectRow(CBrowsePage& page, int row) {
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.List()->model());
    page.List()->setCurrentIndex(proxy->mapFromSource(page.ListModel().index(row, 0)));
}

void SavePreviews(CMainFrame& window, CBrowsePage& page) {
    UsageStatistics statistics;
    const struct {
        bool picture;
        const char* name;
    } kinds[] = {{true, "quick-view-photo"}, {false, "quick-view-text"}};
    for (const auto& k : kinds) {
        // A picture the pane can show (a partly overwritten one may not decode).
        int row = -1;
        for (int skip = 0; skip < 20; ++skip) {
            row = SelectDeletedFile(page, k.picture, skip);
            if (row < 0 || !k.picture) break;
            SelectRow(page, row);
            for (int i = 0; i < 50 && page.PreviewPane()->Caption() != page.ListModel().Name(row); ++i) Settle(100);
            if (page.PreviewPane()->ShowingImage()) break;
        }
        if (row < 0) continue;
        SelectRow(page, row);
        if (k.picture) {
            Settle(600);  // the fade-in
            Save(&window, "browse-preview-pane");
        }
        size_t current = 0;
        std::vector<preview::PreviewItem> items = page.PreviewItems(current);
        CQuickViewDlg dialog(*page.CurrentVolume(), page.CurrentDrive()->source.toStdString(), std::move(items),
                             current, statistics, &window);
        dialog.show();
        Settle(400);
        Save(&dialog, k.name);
    }
    // The pane on a file it cannot show (binary bytes): its message.
    QStringList folders {QStringLiteral("/")};
    if (page.SelectFolder(folders.front()))
        for (int r = 0; r < page.ListModel().rowCount(); ++r)
            if (page.ListModel().Item(r).IsFolder() && !page.ListModel().Item(r).virtualFolder)
                folders << QLatin1Char('/') + page.ListModel().Name(r);
    for (const QString& folder : folders) {
        if (!page.SelectFolder(folder)) continue;
        bool found = false;
        for (int r = 0; r < page.ListModel().rowCount() && !found; ++r) {
            if (page.ListModel().Item(r).IsFolder()) continue;
            const uint64_t before = page.PreviewPane()->ResultsShown();
            SelectRow(page, r);
            for (int i = 0; i < 50 && page.PreviewPane()->ResultsShown() == before; ++i) Settle(100);
            found = page.PreviewPane()->ShowingMessage() &&
                    !preview::HasImageExtension(page.ListModel().Name(r).toStdU16String());
        }
        if (found) {
            Save(&window, "browse-preview-binary");
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool dark = argc == 4 && std::string_view(argv[3]) == "--dark";
    if (argc != 3 && !dark) {
        std::fprintf(stderr, "usage: quarlix-screenshots IMAGE OUTDIR [--dark]\n");
        return 2;
    }
    const QString image = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    g_out = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    // The settings, the recovered files and the disk image of a run of its own.
    const QString work = dark ? g_out + QStringLiteral("/dark") : g_out;
    if (dark) g_suffix = QStringLiteral("-dark");
    QDir().mkpath(work + QStringLiteral("/settings/config"));
    QDir().mkpath(work + QStringLiteral("/settings/cache"));
    setenv("XDG_CONFIG_HOME", (work + QStringLiteral("/settings/config")).toUtf8().constData(), 1);
    setenv("XDG_CACHE_HOME", (work + QStringLiteral("/settings/cache")).toUtf8().constData(), 1);
    QApplication app(argc, argv);
    if (dark) QApplication::setPalette(theme::DarkPalette());
    PrepareSettings();

    CMainFrame window(MainFrameOptions::ImagesOnly());
    window.resize(1280, 800);
    window.show();
    window.OpenImages({image});
    CBrowsePage& page = *window.BrowsePage();
    if (page.Drives().empty()) {
        std::fprintf(stderr, "quarlix-screenshots: %s holds no NTFS or FAT volume\n", argv[1]);
        return 1;
    }

    // The indexing dialog mid-way (a snapshot: a small image indexes faster than a frame).
    {
        CVolumeRegistry registry;
        CIndexDlg dialog(registry, page.Drives().front().letter, IndexJobSettings {}, &window);
        IndexProgressView view;
        view.phase = 1;
        view.percent = 43;
        view.elapsed = 9;
        view.remaining = 12;
        view.showRemaining = true;
        dialog.Display(view);
        dialog.adjustSize();
        Save(&dialog, "index-dialog");
    }

    if (!page.OpenDrive(0)) return 1;
    SavePreviews(window, page);
    // The options dialog's pages, and the update dialog on the answer of the
    // loopback server that tools/screenshots.sh starts (QUARLIX_UPDATE_URL).
    {
        COptionsDlg options(window.UpdateChecker(), &window);
        options.show();
        options.ShowPage(0);
        Save(&options, "options-general");
        options.ShowPage(1);
        Save(&options, "options-update");
        options.reject();
        if (std::getenv("QUARLIX_UPDATE_URL")) {
            CUpdateChecker& checker = window.UpdateChecker();
            checker.SetOpener([](const QString&) { return true; });  // no browser
            QTimer grab;
            QObject::connect(&grab, &QTimer::timeout, [&grab] {
                QWidget* modal = QApplication::activeModalWidget();
                if (auto* dialog = qobject_cast<CUpdateDlg*>(modal)) {
                    grab.stop();
                    Save(dialog, "update-dialog");
                    dialog->reject();
                } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    grab.stop();
                    std::fprintf(stderr, "quarlix-screenshots: the update check said: %s\n",
                                 box->text().toUtf8().constData());
                    box->reject();
                }
            });
            grab.start(100);
            if (checker.Start(false))
                for (int i = 0; i < 150 && checker.Busy(); ++i) Settle(100);
        }
    }
    // Each page of the scan wizard.
    {
        CWizardDlg wizard(WizardDrives(page.Drives(), {}), &window);
        wizard.show();
        Save(&wizard, "wizard-0-welcome");
        wizard.Next();
        Save(&wizard, "wizard-3-first-step");
        wizard.ChooseFirstStep(CWizardDlg::kFirstStepDeleted);
        wizard.Next();
        wizard.SelectDrive(page.Drives().front().letter);
        Save(&wizard, "wizard-1-drive");
        wizard.Next();
        Save(&wizard, "wizard-2-what-next");
        wizard.Back();
        wizard.Back();
        wizard.ChooseFirstStep(CWizardDlg::kFirstStepFormatted);
        wizard.Next();
        Save(&wizard, "wizard-4-surface-scan");
        wizard.done(QDialog::Rejected);
    }
    // The search page after a search with no criteria: every deleted item.
    {
        CSearchDlg& search = *window.SearchPage();
        window.ShowPage(1);
        Settle();
        if (search.StartSearch())
            for (int i = 0; i < 300 && search.Searching(); ++i) Settle(100);
        // The first file found selected: the status line names it.
        const CFileListModel& found = search.ResultModel();
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(search.Results()->model());
        for (int r = 0; r < found.rowCount(); ++r)
            if (!found.Item(r).IsFolder()) {
                search.Results()->setCurrentIndex(proxy->mapFromSource(found.index(r, 0)));
                break;
            }
        Save(&window, "search-page");
        window.ShowPage(0);
    }
    // The surface-scan page mid-scan (a snapshot of its first progress) and
    // after it, with the first picture found in the result pane.
    {
        CSurfaceScanWnd& scan = *window.ScanPage();
        window.ShowPage(2);
        Settle();
        if (scan.StartScan()) {
            Save(&window, "scan-page-running");
            for (int i = 0; i < 600 && scan.Scanning(); ++i) Settle(100);
            auto* proxy = qobject_cast<QSortFilterProxyModel*>(scan.ResultView()->model());
            for (int r = 0; r < scan.Results().rowCount(); ++r) {
                const std::u16string& key = scan.Results().Item(r).typeKey;
                if (key != u"jpg" && key != u"png" && key != u"bmp" && key != u"gif") continue;
                const uint64_t shown = scan.PreviewsShown();
                scan.ResultView()->setCurrentIndex(proxy->mapFromSource(scan.Results().index(r, 0)));
                for (int i = 0; i < 50 && scan.PreviewsShown() == shown; ++i) Settle(100);
                if (scan.Pane().Image().ImageWidth() <= 0) continue;  // a find that does not decode
                Settle(600);
                break;
            }
            Save(&window, "scan-page-done");
        }
        // A scan stopped at once: the page says how far it came.
        if (scan.StartScan()) {
            scan.StopScan();
            for (int i = 0; i < 600 && scan.Scanning(); ++i) Settle(100);
            Save(&window, "scan-page-stopped");
        }
        window.ShowPage(0);
    }
    page.List()->clearSelection();
    page.SelectFolder(QStringLiteral("/"));
    Save(&window, "browse-root");
    const QString folder = DeletedFolder(page);
    page.SelectFolder(folder);
    page.List()->selectAll();
    Save(&window, "browse-deleted-folder");

    if (page.ListModel().rowCount() > 0) {
        const ListedItem& item = page.ListModel().Item(0);
        CPropDlg dialog(*page.CurrentVolume(), page.ListModel().Folder(), item, page.ListModel().Name(0), &window);
        dialog.show();
        Settle(400);
        Save(&dialog, "properties-dialog");
        if (auto* tabs = dialog.findChild<QTabWidget*>(QStringLiteral("propertyTabs"))) {
            tabs->setCurrentIndex(1);
            Save(&dialog, "properties-placement");
        }
    }
    // The recovery of the folder's deleted items: the destination dialog,
    // then the progress dialog mid-way (the item source waits before its
    // second item, as a large file would keep the copy busy).
    std::vector<RecoverItem> items;
    for (int r = 0; r < page.ListModel().rowCount(); ++r) {
        const ListedItem& item = page.ListModel().Item(r);
        if (!item.deleted || item.IsFolder()) continue;
        items.push_back({item.info.attributes, item.info.id, item.info.name, item.info.size, {}, ""});
    }
    if (!items.empty()) {
        const std::string destination = (work + QStringLiteral("/recovered")).toStdString();
        std::filesystem::create_directories(destination);
        RememberDestination(destination);
        size_t next = 0;
        int pass = 0;  // the size count walks the items first, then the copy
        auto source = [&items, &next, &pass](bool, RecoverItem& out) {
            if (next >= items.size() * 2) {
                next = 0;
                ++pass;
                return false;
            }
            if (pass == 1 && next == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2000));
            out = items[next % items.size()];
            out.name += next >= items.size() ? u" (copy)" : u"";
            ++next;
            return true;
        };
        {
            RecoverJob job;
            job.volume = page.CurrentVolume();
            job.getNextItem = source;
            job.flags = RECOVER_STREAMS | RECOVER_ATTRIBUTES;
            CRecoverDlg dialog(&window, job, page.CurrentDrive()->source.toStdString());
            dialog.show();
            Settle(2500);
            Save(&dialog, "recover-destination-dialog");
        }
        next = 0;
        pass = 0;
        RecoverJobSettings settings;
        settings.destination = destination;
        settings.flags = RECOVER_STREAMS | RECOVER_ATTRIBUTES;
        settings.conflict = ConflictPolicy::Rename;
        // A question of the copy (a partly overwritten file, say) is answered
        // with its default button, as a user would.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                if (QAbstractButton* b = box->defaultButton() ? box->defaultButton() : box->buttons().value(0)) b->click();
        });
        answer.start(200);
        CRecoverProgressDlg progress(&window, *page.CurrentVolume(), source, settings);
        progress.show();
        Settle(1200);
        Save(&progress, "recover-progress-dialog");
        Settle(3000);
    }
    // File > Create disk image…: the dialog on the drive in front, then a
    // finished copy whose map marks two areas bad (as an earlier run on a
    // failing disk would have left them), with the map drawn.
    {
        const GuiDrive* current = page.CurrentDrive();
        CDiskImageDlg setup(&window, DiskImageSources(page.Drives()), current ? current->source : QString());
        setup.show();
        Save(&setup, "disk-image-dialog");
        setup.reject();
        if (current) {
            const QString folder = work + QStringLiteral("/disk-image");
            QDir().mkpath(folder);
            const QString image = folder + QStringLiteral("/copy.img");
            QFile::remove(image);
            const uint64_t size = QFileInfo(current->source).size();
            CRescueMap map(size);
            map.Set(size / 3 / 4096 * 4096, 64 * 1024, RescueState::Bad);
            map.Set(size * 2 / 3 / 4096 * 4096, 16 * 1024, RescueState::Bad);
            QFile mapFile(image + QStringLiteral(".map"));
            if (size > 0 && mapFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                mapFile.write(QByteArray::fromStdString(map.Format({"Rescue map of an earlier run"})));
                mapFile.close();
                CDiskImageDlg run(&window, DiskImageSources(page.Drives()), current->source);
                run.SetImagePath(image);
                run.resize(900, 640);
                run.show();
                if (run.StartImaging()) {
                    for (int i = 0; i < 300 && run.Running(); ++i) Settle(100);
                    Save(&run, "disk-image-finished");
                } else {
                    std::fprintf(stderr, "quarlix-screenshots: the disk image did not start: %s\n",
                                 run.Message().toUtf8().constData());
                }
            }
        }
    }
    // The hex view of the most overwritten deleted file of /Docs (its marked rows in view).
    if (page.SelectFolder(QStringLiteral("/Docs"))) {
        const CFileListModel& m = page.ListModel();
        int pick = -1;
        for (int r = 0; r < m.rowCount(); ++r) {
            const ListedItem& item = m.Item(r);
            if (!item.deleted || item.IsFolder()) continue;
            if (pick < 0 || (item.info.dataStatus != kDataStatusUnknown &&
                             item.info.dataStatus > m.Item(pick).info.dataStatus))
                pick = r;
        }
        if (pick >= 0) {
            CHexViewDlg hex(*page.CurrentVolume(), ListedPreviewItem(m.Item(pick), m.Name(pick)), &window);
            hex.show();
            // Where the mark changes (the end of an overwritten start) in view.
            const CHexModel& rows = *hex.Model();
            for (int r = 1; r < std::min(rows.rowCount(), 4096); ++r)
                if (rows.RowMark(r) != rows.RowMark(0)) {
                    hex.View()->scrollTo(rows.index(r, 0), QAbstractItemView::PositionAtCenter);
                    break;
                }
            Settle(400);
            Save(&hex, "hex-view");
            // Bytes the source refuses (a rescue map's bad area), when the file has some.
            for (int r = 0; r < std::min(rows.rowCount(), 4096); ++r)
                if (rows.RowMark(r) == CHexModel::Mark::Unreadable) {
                    hex.View()->scrollTo(rows.index(r, 0), QAbstractItemView::PositionAtCenter);
                    Save(&hex, "hex-view-unreadable");
                    break;
                }
        }
    }
    // The lists as thumbnails, on the pictures image tools/screenshots.sh makes
    // (QUARLIX_SCREENSHOT_PICTURES): the deleted photos of a camera card.
    if (const char* pictures = std::getenv("QUARLIX_SCREENSHOT_PICTURES"); pictures && *pictures) {
        const QString path = QFileInfo(QString::fromLocal8Bit(pictures)).absoluteFilePath();
        window.OpenImages({path});
        int drive = -1;
        for (size_t i = 0; i < page.Drives().size(); ++i)
            if (page.Drives()[i].source == path) drive = static_cast<int>(i);
        if (drive >= 0 && page.OpenDrive(drive) && page.SelectFolder(QStringLiteral("/Camera"))) {
            window.SetIconMode(true);
            for (int i = 0; i < 100 && page.Thumbnails().Busy() > 0; ++i) Settle(100);
            Settle(300);
            page.IconPane()->View()->setCurrentIndex(page.IconPane()->View()->model()->index(1, 0));
            Save(&window, "browse-thumbnails");
            page.IconPane()->SetPictureFilter(100, 100, 0);
            for (int i = 0; i < 100 && page.Thumbnails().Busy() > 0; ++i) Settle(100);
            Settle(400);
            Save(&window, "browse-thumbnails-filtered");
            page.IconPane()->SetPictureFilter(0, 0, 0);
            window.SetIconMode(false);
        }
        if (!page.OpenDrive(0)) return 1;
    }
    // The default window size: all six columns of the list in view.
    window.resize(1100, 700);
    page.SelectFolder(QStringLiteral("/Docs"));
    page.List()->clearSelection();
    Save(&window, "browse-default-1100x700");
    // The new menus: the View menu, the list's and the tree's context menus.
    if (auto* view = window.findChild<QMenu*>(QStringLiteral("viewMenu"))) {
        QAction* title = view->menuAction();
        QWidget* bar = window.menuBar();
        view->popup(bar->mapToGlobal(window.menuBar()->actionGeometry(title).bottomLeft()));
        SaveWithPopup(&window, view, "menu-view");
        view->close();
    }
    if (page.ListModel().rowCount() > 0) {
        SelectRow(page, 0);
        const QRect row = page.List()->visualRect(page.List()->currentIndex());
        SaveContextMenu(&window, page.List(), page.List()->viewport(), row.center(), "menu-file-list");
    }
    {
        const QModelIndex folder = page.Tree()->currentIndex();
        SaveContextMenu(&window, page.Tree(), page.Tree()->viewport(), page.Tree()->visualRect(folder).center(),
                        "menu-folder-tree");
    }
    // Devices this user may not read: greyed in the tree with why, never a
    // message box; the selected one says it in the status line too.
    {
        std::vector<DriveListEntry> devices(2);
        devices[0].device = "/dev/sdz";
        devices[0].label = "Backup";
        devices[0].errorNumber = EACCES;
        devices[0].error = OpenErrorMessage("/dev/sdz", EACCES, false);
        devices[0].permissionDenied = true;
        devices[1].device = "/dev/sdy";
        devices[1].errorNumber = EPERM;
        devices[1].error = OpenErrorMessage("/dev/sdy", EPERM, false);
        for (DriveListEntry& d : devices) {
            d.kind = "disk";
            d.readable = false;
        }
        page.AddDevices(devices);
        QAbstractItemModel* tree = page.Tree()->model();
        page.Tree()->setCurrentIndex(tree->index(tree->rowCount() - 1, 0));
        Save(&window, "browse-unreadable-device");
        const QModelIndex backup = tree->index(tree->rowCount() - 2, 0);
        QTimer::singleShot(300, &window, [&window, &page, backup] {
            QToolTip::showText(page.Tree()->viewport()->mapToGlobal(page.Tree()->visualRect(backup).center()),
                               backup.data(Qt::ToolTipRole).toString(), page.Tree());
        });
        Settle(600);
        if (QToolTip::isVisible())
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->inherits("QTipLabel") && w->isVisible()) SaveWithPopup(&window, w, "browse-unreadable-tooltip");
    }
    return g_written > 0 ? 0 : 1;
}
