// The window on the sample images, offscreen: the drive tree and the file
// list against `quarlix list` (also on an exFAT card), the deleted-only filter, the virtual folders
// and what Recover… makes of a selection holding them, more sources than
// drive letters, a VHDX container, hints once per profile, the persisted
// layout, the single instance and the close refusal while a job runs.
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
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
