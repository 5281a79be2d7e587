// The window on the sample images, offscreen: the drive tree and the file
// list against `quarlix list` (also on an exFAT card), the deleted-only filter, the virtual folders
// and what Recover… makes of a selection holding them, more sources than
// drive letters, a VHDX container, hints once per profile, the persisted
// layout, the single instance and the close refusal while a job runs.
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QSortFilterProxyModel>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolTip>
#include <cerrno>
#include <QCloseEvent>
#include <QDir>
#include <csignal>
#include <filesystem>
#include <QHeaderView>
#include <QProcess>
#include <QRegularExpression>
#include <QLabel>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QTreeView>
#include <nlohmann/json.hpp>
#include <set>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "app/Log.h"
#include "app/Profile.h"
#include "platform/DriveTable.h"
#include "platform/Paths.h"
#include "ui/BrowsePage.h"
#include "ui/IndexDlg.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"
#include "tests/common/FailingDevice.h"
#include "ui/Format.h"
#include "ui/Help.h"
#include "ui/Texts.h"
#include "ui/Theme.h"
#include "ui/SearchDlg.h"
#include "ui/SurfaceScanWnd.h"
#include "platform/DriveList.h"
#include "ui/PropDlg.h"
#include "tests/index/IndexTestSupport.h"

namespace {

// name -> (deleted, size) of a listing.
using Rows = std::map<std::string, std::pair<bool, uint64_t>>;

Rows WindowRows(const CBrowsePage& page) {
    Rows rows;
    const CFileListModel& m = page.ListModel();
    for (int r = 0; r < m.rowCount(); ++r) {
        const ListedItem& item = m.Item(r);
        if (item.virtualFolder) continue;
        rows[m.Name(r).toStdString()] = {item.deleted, item.info.size};
    }
    return rows;
}

Rows CliRows(const std::string& image, const std::string& folder) {
    Rows rows;
    std::istringstream lines(uitest::Quarlix("--json --progress never list " + testutil::Quote(image) + " " +
                                             testutil::Quote(folder)));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const auto j = nlohmann::json::parse(line);
        if (j["id"].is_null() && j["name"].get<std::string>().rfind('$', 0) == 0) continue;  // virtual folders
        rows[j["name"].get<std::string>()] = {j["deleted"].get<bool>(), j["size"].get<uint64_t>()};
    }
    return rows;
}

// The texts of the context menu a widget opens at `at` (closed again at once).
QStringList ContextMenu(QWidget* widget, QPoint at, QStringList* disabled = nullptr) {
    QStringList texts;
    QTimer::singleShot(100, widget, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions()) {
            if (a->isSeparator()) continue;
            texts << a->text();
            if (disabled && !a->isEnabled()) *disabled << a->text();
        }
        menu->close();
    });
    emit widget->customContextMenuRequested(at);
    QApplication::processEvents();
    return texts;
}

// The data status bar drawn in a list cell: how many pixels inside its frame,
// on its middle line, carry a fill colour (green, amber or red).
int FilledPixels(QTreeView& list, const QModelIndex& index) {
    const QImage shot = list.viewport()->grab().toImage();
    const int textWidth = list.fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 6;
    const QRect bar = DataStatusBar(list.visualRect(index).adjusted(4, 0, -4, 0), textWidth);
    int filled = 0;
    for (int x = bar.left() + 1; x < bar.right(); ++x) {
        const QColor c = shot.pixelColor(x, bar.center().y());
        for (const theme::State state : {theme::State::Intact, theme::State::Part, theme::State::Lost})
            if (const QColor fill = theme::StateColor(list.palette(), state);
                std::abs(c.red() - fill.red()) + std::abs(c.green() - fill.green()) + std::abs(c.blue() - fill.blue()) < 30)
                ++filled;
    }
    return filled;
}

std::set<QString> TreeChildren(const CBrowsePage& page, int drive) {
    std::set<QString> names;
    QAbstractItemModel* m = page.Tree()->model();
    const QModelIndex root = m->index(drive, 0);
    for (int r = 0; r < m->rowCount(root); ++r) names.insert(m->index(r, 0, root).data().toString());
    return names;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_fat, m_ntfs;

    std::unique_ptr<CMainFrame> Window() {
        PrepareSettings();  // a start: the profile as the last window saved it
        auto w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        w->show();
        w->OpenImages({QString::fromStdString(m_fat), QString::fromStdString(m_ntfs)}, true);
        return w;
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        m_fat = uitest::SampleImage(m_dir, "fat-sample");
        m_ntfs = uitest::SampleImage(m_dir, "ntfs-sample");
    }

    void foldersListLikeTheCommandLine() {
        auto w = Window();
        CBrowsePage& page = *w->BrowsePage();
        QCOMPARE(page.Drives().size(), size_t(2));
        QVERIFY(page.OpenDrive(0));
        for (const char* folder : {"/", "/Trash", "/Docs", "/Photos"}) {
            QVERIFY2(page.SelectFolder(QString::fromLatin1(folder)), folder);
            const Rows rows = WindowRows(page);
            QVERIFY(!rows.empty());
            QCOMPARE(rows, CliRows(m_fat, folder));
        }
        // The deleted folder /Trash is in the tree with its deleted mark.
        QVERIFY(TreeChildren(page, 0).count(QStringLiteral("Trash")));
        // No lost folders or recycle bin on the FAT sample; the NTFS sample has lost folders.
        QVERIFY(!TreeChildren(page, 0).count(QStringLiteral("Lost folders")));
        QVERIFY(!TreeChildren(page, 0).count(QStringLiteral("Recycle Bin")));
        QVERIFY(page.OpenDrive(1));
        QVERIFY(TreeChildren(page, 1).count(QStringLiteral("Lost folders")));
        QVERIFY(!TreeChildren(page, 1).count(QStringLiteral("Recycle Bin")));
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        QCOMPARE(WindowRows(page), CliRows(m_ntfs, "/Docs"));
        // The data status column shows the overwritten share of budget.xls.
        const CFileListModel& m = page.ListModel();
        bool overwritten = false;
        for (int r = 0; r < m.rowCount(); ++r)
            if (m.Name(r) == QLatin1String("budget.xls"))
                overwritten = m.index(r, kColDataStatus).data().toString() == QLatin1String(" 15%");
        QVERIFY(overwritten);
    }

    // An exFAT card as exfat-fuse left it: its folders, its deleted tree and
    // the lost folder of the sets in a folder cluster it freed list as the
    // command line lists them.
    void exfatFoldersListLikeTheCommandLine() {
        const std::string image = m_dir.file("exfat.img");
        const auto made = testutil::Run(testutil::Quote(testutil::SourceDir() + "/tools/make-exfat-fixture.sh") +
                                        " standard " + testutil::Quote(image) + " 2>&1");
        if (made.exitCode != 0) {
            const std::string why = "no exFAT fixture: " + made.out;
            if (testutil::InCi()) QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(image)}, true);
        CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.OpenDrive(0));
        QVERIFY(TreeChildren(page, 0).count(QStringLiteral("Lost folders")));
        for (const char* folder : {"/", "/docs", "/old", "/old/inner", "/many"}) {
            QVERIFY2(page.SelectFolder(QString::fromUtf8(folder)), folder);
            const Rows rows = WindowRows(page);
            QVERIFY2(!rows.empty(), folder);
            QCOMPARE(rows, CliRows(image, folder));
        }
    }

    void deletedOnlyKeepsFoldersWithDeletedItemsBelow() {
        auto w = Window();
        CBrowsePage& page = *w->BrowsePage();
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        QVERIFY(WindowRows(page).count("Old"));
        page.SetDeletedOnly(true);
        Rows rows = WindowRows(page);
        QVERIFY(!rows.count("Old"));          // live, nothing deleted below
        QVERIFY(!rows.count("report.txt"));   // a live file
        QVERIFY(rows.count("Budget 2026.xls"));
        QVERIFY(page.SelectFolder(QStringLiteral("/")));
        rows = WindowRows(page);
        QVERIFY(rows.count("Docs") && !rows["Docs"].first);  // live, with a deleted file below
        QVERIFY(rows.count("Photos") && rows.count("Trash"));
        page.SetDeletedOnly(false);
    }

    void recoverTakesTheVirtualFoldersAndNamesWhatItLeavesOut() {
        // The NTFS fixture: a lost folder (its record reused), a present and
        // an emptied file in the recycle bin, live items beside deleted ones.
        const std::string image = indextest::NtfsFixtureImage();
        if (image.empty()) {
            if (testutil::InCi()) QFAIL("mkntfs or ntfs-fixture missing");
            QSKIP("mkntfs or ntfs-fixture missing");
        }
        const std::string lost =
            uitest::Quarlix("--json --progress never list " + testutil::Quote(image) + " '/$LostFolders'");
        const std::string folder = "$LostFolders/" + nlohmann::json::parse(lost.substr(0, lost.find('\n')))["name"].get<std::string>();
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(image)}, true);
        CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.OpenDrive(0));
        const struct {
            const char* folder;
            const char* count;                // the dialog's
            std::set<std::string> written;    // under the destination
            QStringList leftOut;              // named by the dialog
        } cases[] = {
            // Lost folders as `recover --all` writes them; the recycle bin's
            // emptied file under its former name, its present one left out.
            {"/", "3 items selected",
             {"Gone/d.txt", "Gone/Inner/c.txt", folder + "/orphan.txt", "$RecycleBin/letter.doc"},
             {"4 existing items", "$Recycle.Bin", "Docs", "reuse.txt", "report.txt"}},
            // The emptied file in the folder that holds it: its former name still.
            {"/$Recycle.Bin/S-1-5-21-7-1001", "2 items selected", {"$IXYZ789.doc", "$RecycleBin/letter.doc"},
             {"2 existing items", "$IABC123.txt", "$RABC123.txt"}},
        };
        const std::map<std::string, std::string> texts = {{"Gone/d.txt", "deleted with its folder"},
                                                          {folder + "/orphan.txt", "its folder's record now holds a file"},
                                                          {"$RecycleBin/letter.doc", "emptied from the bin"}};
        int run = 0;
        for (const auto& c : cases) {
            QVERIFY2(page.SelectFolder(QString::fromLatin1(c.folder)), c.folder);
            page.List()->selectAll();
            const std::string out = m_dir.file("recovered" + std::to_string(run++));
            uitest::DestinationSeen seen;
            uitest::ProgressSeen progress;
            uitest::ModalDriver driver({uitest::FillDestination(out, &seen), uitest::RunProgress(&progress)});
            w.findChild<QAction*>(QStringLiteral("recover"))->trigger();
            QVERIFY2(driver.AllDone(), c.folder);
            QVERIFY2(seen.sizeStatus.startsWith(QLatin1String(c.count)), qPrintable(seen.sizeStatus));
            for (const QString& named : c.leftOut) QVERIFY2(seen.leftOut.contains(named), qPrintable(seen.leftOut));
            std::set<std::string> written;
            for (const auto& f : std::filesystem::recursive_directory_iterator(out))
                if (f.is_regular_file()) written.insert(std::filesystem::relative(f.path(), out).string());
            QCOMPARE(written, c.written);
            for (const auto& [file, text] : texts) {
                if (!written.count(file)) continue;
                const std::vector<uint8_t> bytes = testutil::ReadFileBytes(out + "/" + file);
                QCOMPARE(std::string(bytes.begin(), bytes.end()), text);
            }
        }
    }

    void everySourceOpensPastTheLettersOnce() {
        // 26 images: two more than there are letters C..Z.
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        CBrowsePage& page = *w.BrowsePage();
        for (int i = 1; i <= 26; ++i) {
            const std::string copy = m_dir.file("many/copy" + std::to_string(i) + ".img");
            std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
            std::filesystem::create_hard_link(m_fat, copy);
            QString why;
            QVERIFY2(page.AddSource(QString::fromStdString(copy), &why), qPrintable(why));
        }
        QCOMPARE(page.Drives().size(), size_t(26));
        for (const GuiDrive& d : page.Drives()) QVERIFY2(d.error.isEmpty(), qPrintable(d.error));
        for (int i : {24, 25}) {
            const GuiDrive& d = page.Drives()[i];
            QVERIFY(!CDriveTable::IsLetter(d.letter));
            QVERIFY(page.OpenDrive(i));
            QCOMPARE(WindowRows(page), CliRows(m_fat, "/"));
        }
        // Every caption names the image and its size, with or without a letter
        // behind it: "label — copy1.img, 1.4 MB", never "(G:)".
        const uint64_t bytes = std::filesystem::file_size(m_fat);
        for (int i : {0, 25}) {
            const GuiDrive& d = page.Drives()[i];
            QCOMPARE(d.size, bytes);
            QVERIFY(!d.label.isEmpty());
            QCOMPARE(page.Tree()->model()->index(i, 0).data().toString(),
                     QStringLiteral("%1 — copy%2.img, %3").arg(d.label).arg(i + 1).arg(HumanSize(bytes)));
        }
        // Nothing to open: the engine's word on what is there, no drive, no key taken.
        const std::string zeros = m_dir.file("many/zeros.img");
        testutil::MustRun("truncate -s 1M " + testutil::Quote(zeros));
        QString why;
        QVERIFY(!page.AddSource(QString::fromStdString(zeros), &why));
        QVERIFY2(why.contains(QLatin1String("empty")) && why.contains(QLatin1String("zeros.img")), qPrintable(why));
        QCOMPARE(page.Drives().size(), size_t(26));
        SourceSpec spec;
        spec.path = std::filesystem::canonical(zeros).string();
        QVERIFY(!CDriveTable::Instance().Find(spec));
    }

    void unreadableRecordsStayInTheStatusLine() {
        std::string why;
        if (!testutil::FailingDevice::Available(why)) {
            if (testutil::InCi()) QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        // One bad block over MFT records 64-67 of the NTFS sample.
        testutil::FailingDevice device(m_dir, m_ntfs, {{0x14000, 0x1000}});
        QVERIFY(device.Ready());
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(device.Path())}, true);
        CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/")));
        const QString status = w.findChild<QLabel*>(QStringLiteral("statusText"))->text();
        QVERIFY2(status.contains(QStringLiteral("MFT records could not be read: the files they held are not listed")),
                 qPrintable(status));
    }

    // A rescue map beside an image: the status line names it, and the
    // properties of a file in its bad area say how much cannot be had.
    void aRescueMapBesideAnImageIsShown() {
        const std::string image = m_dir.file("mapped.img");
        std::filesystem::copy_file(m_fat, image, std::filesystem::copy_options::overwrite_existing);
        const uint64_t size = std::filesystem::file_size(image), bad = 149 * 512 + 3584;  // in Holiday photo.jpg
        const std::string map = "# Mapfile\n0 +\n0 " + std::to_string(bad) + " +\n" + std::to_string(bad) +
                                " 4096 -\n" + std::to_string(bad + 4096) + " " + std::to_string(size - bad - 4096) +
                                " +\n";
        testutil::WriteFileBytes(image + ".map", std::vector<uint8_t>(map.begin(), map.end()));
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(image)}, true);
        CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/Photos")));
        const QString status = w.findChild<QLabel*>(QStringLiteral("statusText"))->text();
        QVERIFY2(status.contains(QStringLiteral("Rescue map mapped.img.map: %1 not rescued").arg(HumanSize(4096))),
                 qPrintable(status));
        const CFileListModel& m = page.ListModel();
        int row = -1;
        for (int r = 0; r < m.rowCount(); ++r)
            if (m.Name(r) == QStringLiteral("Holiday photo.jpg")) row = r;
        QVERIFY(row >= 0);
        CPropDlg dialog(*page.Drives()[0].volume, m.Folder(), m.Item(row), m.Name(row), &w);
        auto* unreadable = dialog.findChild<QLabel*>(QStringLiteral("unreadable"));
        QVERIFY(unreadable);
        QVERIFY2(unreadable->text().contains(QStringLiteral("(4,096 bytes) the drive cannot give")),
                 qPrintable(unreadable->text()));
    }

    void aVhdxOpensAndItsTooltipNamesTheContainer() {
        const QString every = DiskImageFilters().first();
        for (const char* name : {"d.img", "d.001", "d.aa", "d.E01", "d.e01", "d.vhd", "d.vhdx", "d.vmdk", "d.qcow2", "d.qcow"}) {
            bool matched = false;
            for (const QString& pattern : every.section(u'(', 1).chopped(1).split(u' '))
                matched = matched || QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern))
                                         .match(QLatin1String(name)).hasMatch();
            QVERIFY2(matched, name);
        }
        QCOMPARE(DiskImageFilters().last(), QStringLiteral("All files (*)"));
        if (!testutil::HaveTool("qemu-img")) {
            if (testutil::InCi()) QFAIL("qemu-img missing");
            QSKIP("qemu-img missing");
        }
        const std::string vhdx = m_dir.file("disk.vhdx");
        testutil::MustRun("qemu-img convert -f raw -O vhdx " + testutil::Quote(m_fat) + " " + testutil::Quote(vhdx));
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(vhdx)}, true);
        CBrowsePage& page = *w.BrowsePage();
        QCOMPARE(page.Drives().size(), size_t(1));
        const QString tip = page.Tree()->model()->index(0, 0).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.startsWith(QString::fromStdString(vhdx) + QStringLiteral(" — VHDX (FAT")), qPrintable(tip));
        QVERIFY(page.OpenDrive(0));
        QCOMPARE(WindowRows(page), CliRows(m_fat, "/"));
    }

    // Devices this user may not open: a start raises no box; the greyed item
    // and, once selected, the status line and the list's place say why, with
    // advice that fits the error; UDisks2 is asked only when the user picks
    // the device (and only for a refusal that more rights can change).
    void unreadableDevicesSayWhyWithoutABox() {
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        CBrowsePage& page = *w.BrowsePage();
        const struct {
            const char* device;
            int err;
            bool root;
            bool broker;
            const char* says;
            const char* never;
        } cases[] = {
            {"/dev/quarlix-locked", EPERM, false, false, "refused by the system", "join the group"},
            {"/dev/quarlix-as-root", EACCES, true, false, "refused even to root", "join the group"},
            {"/dev/quarlix-no-group", EACCES, false, true, "join the group 'disk'", "refused"},
            {"/dev/quarlix-gone", EIO, false, false, "Input/output error", "sudo"},
        };
        std::vector<DriveListEntry> devices;
        for (const auto& c : cases) {
            DriveListEntry e;
            e.device = c.device;
            e.kind = "disk";
            e.readable = false;
            e.errorNumber = c.err;
            e.error = OpenErrorMessage(c.device, c.err, c.root);
            e.permissionDenied = c.broker;
            devices.push_back(e);
        }
        // Any box that comes up is noted and closed.
        QStringList boxes;
        uitest::ModalDriver driver({[&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) return false;
            boxes << box->text();
            QTimer::singleShot(0, box, &QDialog::reject);
            return false;
        }});
        page.AddDevices(devices);
        page.Tree()->setFocus();  // as at a start: the tree takes the focus, and its first row
        QTest::qWait(200);
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(u'|')));
        auto* status = w.findChild<QLabel*>(QStringLiteral("statusText"));
        auto* placeholder = page.findChild<QLabel*>(QStringLiteral("listPlaceholder"));
        QAbstractItemModel* tree = page.Tree()->model();
        for (int i = 0; i < tree->rowCount(); ++i) {
            const auto& c = cases[i];
            const QModelIndex item = tree->index(i, 0);
            const QString tip = item.data(Qt::ToolTipRole).toString();
            QVERIFY2(tip.contains(QLatin1String(c.says)) && !tip.contains(QLatin1String(c.never)), qPrintable(tip));
            QVERIFY2(item.data().toString().startsWith(QFileInfo(QLatin1String(c.device)).fileName() + " ("),
                     qPrintable(item.data().toString()));
            page.Tree()->setCurrentIndex(item);  // selected, not picked: no question
            QTest::qWait(50);
            QVERIFY2(status->text().contains(QLatin1String(c.says)), qPrintable(status->text()));
            QVERIFY(placeholder->isVisible() && placeholder->text().contains(QLatin1String(c.says)));
            QVERIFY(page.CurrentDriveIndex() < 0 && !w.findChild<QAction*>(QStringLiteral("recover"))->isEnabled());
        }
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join(u'|')));
        // Picked by a click: only the device a broker may open asks UDisks2,
        // whose answer (no such device here) comes with the group advice.
        for (int i = 0; i < tree->rowCount(); ++i) {
            QTest::mouseClick(page.Tree()->viewport(), Qt::LeftButton, {},
                              page.Tree()->visualRect(tree->index(i, 0)).center());
            QTest::qWait(100);
            QVERIFY(uitest::WaitFor([&] { return !QApplication::activeModalWidget(); }, 20000));
            QCOMPARE(boxes.size(), cases[i].broker ? 1 : 0);
            if (cases[i].broker) QVERIFY2(boxes.first().contains(QLatin1String("'disk'")), qPrintable(boxes.first()));
            boxes.clear();
        }
    }

    // At the default 1100x700 every column is in view (also for a profile
    // holding the fixed widths of earlier versions) and Name is the widest;
    // sizes and dates are not cut. The data status bar's length is the
    // overwritten share (15 % of budget.xls, nothing for 0 %), and the
    // column's header says what it shows.
    void theColumnsFitAndTheBarShowsTheOverwrittenShare() {
        CXMLProfile& p = CXMLProfile::Instance();
        const int32_t earlier[] = {180, 75, 100, 135, 135, 95};
        p.WriteBinary("LayoutMain", "ColumnWidths", earlier, sizeof earlier);
        p.WriteInt("LayoutMain", "ColumnMap", 63);
        p.WriteInt("LayoutMain", "SplitterPos", 170);
        p.WriteInt("LayoutMain", "RightSplitterPos", 180);
        p.Save();
        auto w = Window();
        w->resize(1100, 700);
        CBrowsePage& page = *w->BrowsePage();
        QVERIFY(page.OpenDrive(1));
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        QTest::qWait(50);
        QTreeView& list = *page.List();
        const QHeaderView& header = *list.header();
        const int viewport = list.viewport()->width();
        for (int c = 0; c < kFileListColumns; ++c) {
            QVERIFY(!header.isSectionHidden(c));
            const int right = header.sectionViewportPosition(c) + header.sectionSize(c);
            QVERIFY2(right <= viewport, qPrintable(QStringLiteral("column %1 ends at %2 of %3").arg(c).arg(right).arg(viewport)));
            if (c != kColName) QVERIFY(header.sectionSize(kColName) > header.sectionSize(c));
        }
        const QFontMetrics metrics(list.font());
        const CFileListModel& m = page.ListModel();
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(list.model());
        int budget = -1, notes = -1;
        for (int r = 0; r < m.rowCount(); ++r) {
            for (int c : {int(kColSize), int(kColCreated), int(kColModified)}) {
                const QString text = m.index(r, c).data().toString();
                QVERIFY2(metrics.horizontalAdvance(text) + 6 <= header.sectionSize(c), qPrintable(text));
            }
            if (m.Name(r) == QLatin1String("budget.xls")) budget = r;
            if (m.Name(r) == QLatin1String("old-notes.txt")) notes = r;
        }
        QVERIFY(budget >= 0 && notes >= 0);
        QCOMPARE(m.Item(budget).info.dataStatus, 15);
        QCOMPARE(m.Item(notes).info.dataStatus, 0);
        const QModelIndex budgetCell = proxy->mapFromSource(m.index(budget, kColDataStatus));
        const int textWidth = list.fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 6;
        const QRect bar = DataStatusBar(list.visualRect(budgetCell).adjusted(4, 0, -4, 0), textWidth);
        const int expected = (bar.width() - 2) * 15 / 100;
        const int filled = FilledPixels(list, budgetCell);
        QVERIFY2(expected > 3 && std::abs(filled - expected) <= 1,
                 qPrintable(QStringLiteral("%1 of %2").arg(filled).arg(expected)));
        QCOMPARE(FilledPixels(list, proxy->mapFromSource(m.index(notes, kColDataStatus))), 0);
        QVERIFY(m.headerData(kColDataStatus, Qt::Horizontal, Qt::ToolTipRole).toString().contains(QLatin1String("overwritten share")));
        // The tooltip of a time has what the cell leaves out.
        QVERIFY(m.index(budget, kColModified).data(Qt::ToolTipRole).toString().startsWith(m.index(budget, kColModified).data().toString().left(6)));
        w->close();
    }

    // Every command is in a menu; the panes are shown and hidden from the
    // View menu (and stay so at the next start); the lists and the tree have
    // their context menus; Rescan builds the index again; the navigation,
    // the lists and the status line have accessible names; Help → About.
    void everyCommandIsReachable() {
        {
            auto w = Window();
            const QStringList commands = {QStringLiteral("recover"), QStringLiteral("preview"), QStringLiteral("properties"),
                                          QStringLiteral("showContainingFolder"), QStringLiteral("stop"),
                                          QStringLiteral("newScan"), QStringLiteral("rescan"), QStringLiteral("wizard"),
                                          QStringLiteral("foldersPane"), QStringLiteral("previewPane"),
                                          QStringLiteral("deletedOnly"), QStringLiteral("about"),
                                          QStringLiteral("checkUpdates")};
            for (const QString& name : commands) {
                auto* action = w->findChild<QAction*>(name);
                QVERIFY2(action, qPrintable(name));
                bool inMenu = false;
                for (QMenu* menu : w->menuBar()->findChildren<QMenu*>()) inMenu = inMenu || menu->actions().contains(action);
                QVERIFY2(inMenu, qPrintable(name));
            }
            CBrowsePage& page = *w->BrowsePage();
            auto* folders = w->findChild<QAction*>(QStringLiteral("foldersPane"));
            auto* preview = w->findChild<QAction*>(QStringLiteral("previewPane"));
            QVERIFY(folders->isCheckable() && folders->isChecked() && preview->isCheckable() && preview->isChecked());
            folders->trigger();
            preview->trigger();
            QVERIFY(!page.Tree()->isVisible() && !page.PreviewPaneShown());
            QVERIFY(!folders->isChecked() && !preview->isChecked());
            // Stop and New scan follow the page in front and its job.
            w->ShowPage(2);
            w->findChild<QMenu*>(QStringLiteral("actionsMenu"))->aboutToShow();
            QVERIFY(!w->findChild<QAction*>(QStringLiteral("stop"))->isEnabled());
            QVERIFY(!w->findChild<QAction*>(QStringLiteral("showContainingFolder"))->isEnabled());
            w->ShowPage(0);
            // Accessible names.
            auto* nav = w->findChild<QListWidget*>(QStringLiteral("navigation"));
            QVERIFY(!nav->accessibleName().isEmpty());
            for (int i = 0; i < nav->count(); ++i)
                QVERIFY(!nav->item(i)->data(Qt::AccessibleTextRole).toString().isEmpty());
            for (QWidget* widget : std::initializer_list<QWidget*> {page.Tree(), page.List(), w->SearchPage()->Results(),
                                                                   w->ScanPage()->ResultView(), w->statusBar(),
                                                                   w->findChild<QLabel*>(QStringLiteral("statusText"))})
                QVERIFY2(!widget->accessibleName().isEmpty(), widget->metaObject()->className());
            QVERIFY(w->close());
        }
        auto w = Window();
        CBrowsePage& page = *w->BrowsePage();
        auto* folders = w->findChild<QAction*>(QStringLiteral("foldersPane"));
        QVERIFY(!folders->isChecked() && !page.FoldersPaneShown() && !page.PreviewPaneShown());
        folders->trigger();
        w->findChild<QAction*>(QStringLiteral("previewPane"))->trigger();
        QVERIFY(page.Tree()->isVisible() && page.PreviewPaneShown());

        // The context menus: the file list, the folder tree, the search list.
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        const QStringList expected = {QStringLiteral("Preview"), QStringLiteral("Hex view"), QStringLiteral("Recover…"),
                                      QStringLiteral("Show containing folder"), QStringLiteral("Properties")};
        QStringList browseExpected = expected;
        browseExpected.insert(3, QStringLiteral("Recover everything deleted here…"));
        page.List()->setCurrentIndex(page.List()->model()->index(0, 0));
        QCOMPARE(ContextMenu(page.List(), page.List()->visualRect(page.List()->currentIndex()).center()), browseExpected);
        const QModelIndex docs = page.Tree()->currentIndex();
        QStringList disabled;
        QCOMPARE(ContextMenu(page.Tree(), page.Tree()->visualRect(docs).center(), &disabled), browseExpected);
        QCOMPARE(disabled, (QStringList {QStringLiteral("Preview"), QStringLiteral("Hex view")}));  // a folder has no preview
        // The tree's "Show containing folder": the parent listed, the folder selected in it.
        page.Tree()->setCurrentIndex(docs);
        QVERIFY(page.ShowTreeFolderInParent());
        QCOMPARE(QString::fromStdString(page.ListModel().Folder().path), QStringLiteral("/"));
        QCOMPARE(page.SelectedRows().size(), size_t(1));
        QCOMPARE(page.ListModel().Name(page.SelectedRows().front()), QStringLiteral("Docs"));
        CSearchDlg& search = *w->SearchPage();
        w->ShowPage(1);
        search.SelectDrive(0);
        search.UseName()->setChecked(false);
        search.UseSize()->setChecked(false);
        search.UseDate()->setChecked(false);
        QVERIFY(search.StartSearch());
        QVERIFY(uitest::WaitFor([&] { return !search.Searching(); }));
        QVERIFY(search.ResultModel().rowCount() > 0);
        search.Results()->setCurrentIndex(search.Results()->model()->index(0, 0));
        QCOMPARE(ContextMenu(search.Results(), search.Results()->visualRect(search.Results()->currentIndex()).center()),
                 expected);
        w->ShowPage(0);

        // Rescan: the index is built and saved again (an emptied cache file is written anew).
        QVERIFY(page.SelectFolder(QStringLiteral("/")));
        std::vector<std::filesystem::path> caches;
        for (const auto& e : std::filesystem::recursive_directory_iterator(CacheFolder()))
            if (e.is_regular_file()) caches.push_back(e.path());
        QVERIFY(!caches.empty());
        for (const auto& c : caches) std::filesystem::resize_file(c, 0);
        const Rows before = WindowRows(page);
        auto* rescan = w->findChild<QAction*>(QStringLiteral("rescan"));
        w->findChild<QMenu*>(QStringLiteral("actionsMenu"))->aboutToShow();
        QVERIFY(rescan->isEnabled());
        rescan->trigger();
        QVERIFY(page.CurrentVolume() != nullptr);
        QCOMPARE(WindowRows(page), before);
        uintmax_t written = 0;
        for (const auto& c : caches) written += std::filesystem::exists(c) ? std::filesystem::file_size(c) : 0;
        QVERIFY(written > 0);

        // Help → About.
        const QString about = AboutText();
        for (const QString& part : {UiText(texts::kCaption), QStringLiteral(QUARLIX_VERSION), QStringLiteral("MIT License"),
                                    QStringLiteral("deleted files")})
            QVERIFY2(about.contains(part), qPrintable(part));
        QString title;
        uitest::ModalDriver driver({uitest::CloseNotingTitle(&title)});
        w->findChild<QAction*>(QStringLiteral("about"))->trigger();
        QVERIFY(driver.AllDone());
        QVERIFY(title.startsWith(QLatin1String("About")));
    }

    // A hint waits until the user can see it: not behind a modal dialog,
    // not on a page in the back; it is marked seen only once it was shown.
    void aHintWaitsUntilItCanBeSeen() {
        const struct {
            const char* name;
            std::function<void(CMainFrame&, QDialog&)> hide, reveal;
        } cases[] = {
            {"behind a dialog", [](CMainFrame&, QDialog& d) { d.open(); }, [](CMainFrame&, QDialog& d) { d.close(); }},
            {"on a page in the back", [](CMainFrame& w, QDialog&) { w.ShowPage(1); },
             [](CMainFrame& w, QDialog&) { w.ShowPage(0); }},
        };
        for (const auto& c : cases) {
            CXMLProfile::Instance().WriteInt("Wizard", "TipDeletedFiles", 1);
            CXMLProfile::Instance().WriteInt("Wizard", "TipLaunchWizard", 0);
            CXMLProfile::Instance().WriteInt("Wizard", "TipCustomizeView", 0);
            CXMLProfile::Instance().Save();
            auto w = Window();
            QDialog dialog(w.get());
            c.hide(*w, dialog);
            QVERIFY(w->BrowsePage()->OpenDrive(0));
            QVERIFY(w->BrowsePage()->SelectFolder(QStringLiteral("/Trash")));
            QTest::qWait(500);
            QVERIFY2(w->BrowsePage()->LastHint().isEmpty(), c.name);
            QCOMPARE(CXMLProfile::Instance().ReadInt("Wizard", "TipDeletedFiles", 1), 1);
            c.reveal(*w, dialog);
            QVERIFY2(uitest::WaitFor([&] { return w->BrowsePage()->LastHint().contains(QLatin1String("red mark")); }, 5000),
                     c.name);
            QCOMPARE(CXMLProfile::Instance().ReadInt("Wizard", "TipDeletedFiles", 1), 0);
            QToolTip::hideText();
        }
    }

    void aHintShowsOncePerProfile() {
        CXMLProfile::Instance().WriteInt("Wizard", "TipDeletedFiles", 1);
        CXMLProfile::Instance().Save();
        {
            auto w = Window();
            QVERIFY(w->BrowsePage()->OpenDrive(0));
            QVERIFY(w->BrowsePage()->SelectFolder(QStringLiteral("/Trash")));
            QVERIFY(w->BrowsePage()->LastHint().contains(QLatin1String("red mark")));
            w->close();
        }
        auto again = Window();
        QVERIFY(again->BrowsePage()->OpenDrive(0));
        QVERIFY(again->BrowsePage()->SelectFolder(QStringLiteral("/Trash")));
        QVERIFY(!again->BrowsePage()->LastHint().contains(QLatin1String("red mark")));
    }

    void theLayoutSurvivesARestart() {
        QList<int> sizes;
        int movedTo = 0;
        {
            auto w = Window();
            CBrowsePage& page = *w->BrowsePage();
            auto* splitter = page.findChild<QSplitter*>(QStringLiteral("splitter"));
            splitter->setSizes({313, 700});
            sizes = splitter->sizes();
            QHeaderView* header = page.List()->header();
            header->setSectionHidden(kColCreated, true);
            header->moveSection(header->visualIndex(kColModified), 1);
            movedTo = header->visualIndex(kColModified);
            header->resizeSection(kColType, 177);
            page.List()->sortByColumn(kColSize, Qt::AscendingOrder);
            w->resize(1000, 640);
            QVERIFY(w->close());
        }
        QCOMPARE(CXMLProfile::Instance().ReadInt("LayoutMain", "ColumnMap", 63), 63 & ~(1 << kColCreated));
        auto w = Window();
        CBrowsePage& page = *w->BrowsePage();
        QCOMPARE(page.findChild<QSplitter*>(QStringLiteral("splitter"))->sizes().first(), sizes.first());
        QHeaderView* header = page.List()->header();
        QVERIFY(header->isSectionHidden(kColCreated));
        QCOMPARE(header->visualIndex(kColModified), movedTo);
        QCOMPARE(header->sectionSize(kColType), 177);
        QCOMPARE(header->sortIndicatorSection(), int(kColSize));
        QCOMPARE(w->size(), QSize(1000, 640));
    }

    void aSecondStartHandsOverItsImageAndExits1() {
        CSingleInstance first("");
        QVERIFY(first.Claim({}));
        // The lock and the socket are in the runtime folder, nothing in the settings folder.
        const QDir runtime(QString::fromStdString(m_dir.file("run/QuarlixRecovery")));
        QCOMPARE(runtime.entryList({QStringLiteral("quarlix-gui-*")}, QDir::Files | QDir::System).size(), 2);
        QVERIFY(QDir(QString::fromStdString(SettingsFolder())).entryList({QStringLiteral("*.lock")}).isEmpty());
        QSignalSpy spy(&first, &CSingleInstance::activated);
        QProcess second;
        second.start(QString::fromStdString(testutil::BinDir() + "/quarlix-gui"),
                     {QStringLiteral("--no-devices"), QString::fromStdString(m_fat)});
        QVERIFY(second.waitForStarted());
        QVERIFY(uitest::WaitFor([&] { return second.state() == QProcess::NotRunning && spy.count() > 0; }, 60000));
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(spy.first().first().toStringList(), QStringList {QString::fromStdString(m_fat)});
    }

    void closingWhileAJobRunsIsRefused() {
        auto w = Window();
        CVolumeRegistry registry;
        IndexJobSettings settings;
        settings.useCache = false;
        CIndexDlg dialog(registry, w->BrowsePage()->Drives().at(1).letter, settings, w.get());
        dialog.show();  // the job starts; its first tick needs the event loop
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        QVERIFY(!w->CloseRefusal().isEmpty());
        QVERIFY(uitest::WaitFor([&] { return !dialog.isVisible(); }));
        QVERIFY(dialog.Volume() != nullptr);  // the job went on to its end
        registry.Release(dialog.Volume());
        QVERIFY(w->close());
    }

    void theScanAllSwitchAndTheCrashHandler() {
        const struct {
            QStringList arguments;
            bool on;
        } cases[] = {{{QStringLiteral("quarlix-gui"), QStringLiteral("/SSDEBUG")}, true},
                     {{QStringLiteral("quarlix-gui"), QStringLiteral("/ssdebugger")}, true},
                     {{QStringLiteral("quarlix-gui"), QStringLiteral("--scan-all-clusters")}, true},
                     {{QStringLiteral("quarlix-gui"), QStringLiteral("ssdebug"), QStringLiteral("disk.img")}, false}};
        for (const auto& c : cases) QCOMPARE(HasScanAllSwitch(c.arguments), c.on);

        // A fatal signal: the log line, the backtrace beside the log, the signal's own end.
        const std::string folder = m_dir.file("crash");
        std::filesystem::create_directories(folder);
        const pid_t pid = fork();
        if (pid == 0) {
            CLogFile::Instance().Open(folder + "/QuarlixRecovery.log");
            InstallCrashHandler(folder);
            std::raise(SIGSEGV);
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(pid, &status, 0), pid);
        QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
        const auto log = testutil::ReadFileBytes(folder + "/QuarlixRecovery.log");
        QVERIFY(std::string(log.begin(), log.end()).find("Exception. Generating crash report...") != std::string::npos);
        const auto trace = testutil::ReadFileBytes(folder + "/QuarlixRecovery-crash.txt");
        QVERIFY(std::string(trace.begin(), trace.end()).find("signal 11") == 0);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
