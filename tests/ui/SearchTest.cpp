// The search page on the sample images, offscreen: the criteria find what
// `quarlix search` finds with the same criteria, Stop keeps what was found,
// "show containing folder" opens the hit's folder in the browse page, also
// a lost folder, and the window's commands act on the selected hits.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/Format.h"
#include "ui/MainFrame.h"
#include "ui/SearchDlg.h"
#include "ui/StartUp.h"

namespace {

std::set<uint64_t> CliIds(const std::string& image, const std::string& criteria) {
    std::set<uint64_t> ids;
    std::istringstream lines(
        uitest::Quarlix("--json --progress never search " + testutil::Quote(image) + " " + criteria));
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) ids.insert(nlohmann::json::parse(line)["id"].get<uint64_t>());
    return ids;
}

std::set<uint64_t> PageIds(const CSearchDlg& page) {
    std::set<uint64_t> ids;
    for (int r = 0; r < page.ResultModel().rowCount(); ++r) ids.insert(page.ResultModel().Item(r).info.id);
    return ids;
}

}  // namespace

class SearchTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_fat, m_ntfs;

    std::unique_ptr<CMainFrame> Window() {
        PrepareSettings();
        auto w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        w->show();
        w->OpenImages({QString::fromStdString(m_fat), QString::fromStdString(m_ntfs)}, true);
        w->ShowPage(1);
        return w;
    }

    static bool Search(CSearchDlg& page, int drive) {
        page.DriveBox()->setCurrentIndex(page.DriveBox()->findData(drive));
        if (!page.StartSearch()) return false;
        return uitest::WaitFor([&] { return !page.Searching(); });
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        m_fat = uitest::SampleImage(m_dir, "fat-sample");
        m_ntfs = uitest::SampleImage(m_dir, "ntfs-sample");
    }

    void criteriaFindWhatTheCommandLineFinds() {
        auto w = Window();
        CSearchDlg& page = *w->SearchPage();
        QCOMPARE(page.DriveBox()->count(), 2);
        const QDateTime from(QDate(2000, 1, 1), QTime(0, 0)), to(QDate(2100, 1, 1), QTime(0, 0));
        const struct {
            int drive;
            bool name, size, date;
            const char* text;
            int mode;
            const char* sizeFrom;
            const char* sizeTo;
            std::string cli;
        } cases[] = {
            {0, true, false, false, "o", 1, "", "", "--name o"},
            {0, true, false, false, "?EADME.TXT", 0, "", "", "--name ?EADME.TXT --whole-name"},  // case ignored
            {0, false, true, false, "", 1, "1", "12", "--size 1-12"},
            {0, false, true, false, "", 1, "x", "0", "--size 0-0"},  // not a number: 0
            {1, true, false, false, "t", 1, "", "", "--name t"},
            {1, false, false, true, "", 1, "", "", "--modified 2000-01-01T00:00:00..2100-01-01T00:00:00"},
            {1, false, true, true, "", 1, "10", "100", "--size 10-100 --modified 2000-01-01..2100-01-01"},
        };
        for (const auto& c : cases) {
            page.UseName()->setChecked(c.name);
            page.NameText()->setText(QString::fromLatin1(c.text));
            page.NameMode()->setCurrentIndex(c.mode);
            page.UseSize()->setChecked(c.size);
            page.SizeFrom()->setText(QString::fromLatin1(c.sizeFrom));
            page.SizeTo()->setText(QString::fromLatin1(c.sizeTo));
            page.UseDate()->setChecked(c.date);
            page.DateKind()->setCurrentIndex(1);
            page.DateFrom()->setDateTime(from);
            page.DateTo()->setDateTime(c.cli.find("2100-01-01T") != std::string::npos ? to : to.addSecs(86399));
            QVERIFY2(Search(page, c.drive), c.cli.c_str());
            const std::set<uint64_t> found = PageIds(page);
            QCOMPARE(found, CliIds(c.drive == 0 ? m_fat : m_ntfs, c.cli));
            QVERIFY2(!found.empty(), c.cli.c_str());
            QVERIFY(page.SearchButton()->isEnabled() && !page.StopButton()->isEnabled());
        }
        QVERIFY(page.CountersText().startsWith(QStringLiteral("Found ")));
    }

    void stopKeepsWhatWasFound() {
        auto w = Window();
        CSearchDlg& page = *w->SearchPage();
        page.UseName()->setChecked(false);
        page.UseSize()->setChecked(false);
        page.UseDate()->setChecked(false);
        page.DriveBox()->setCurrentIndex(page.DriveBox()->findData(0));
        QVERIFY(page.StartSearch());
        page.StopSearch();
        QVERIFY(uitest::WaitFor([&] { return !page.Searching(); }));
        // Every match the job counted is in the list.
        const QStringList counted = page.CountersText().split(QLatin1Char(' '));
        QVERIFY(counted.size() > 1);
        QCOMPARE(QString::number(page.ResultModel().rowCount()) + QLatin1Char(':'), counted[1]);
    }

    // Return in any criterion field searches, Space on a hit previews it, and
    // the window's status line tells what the page does and what is selected.
    void keysAndTheStatusLine() {
        auto w = Window();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        CSearchDlg& page = *w->SearchPage();
        auto* status = w->findChild<QLabel*>(QStringLiteral("statusText"));
        QVERIFY(status->text().contains(QStringLiteral("then Search")));
        page.DriveBox()->setCurrentIndex(page.DriveBox()->findData(0));
        page.UseName()->setChecked(false);
        page.UseDate()->setChecked(false);
        page.UseSize()->setChecked(true);
        const struct {
            QLineEdit* field;
            const char* from;
            const char* to;
            std::string cli;
        } fields[] = {
            {page.SizeTo(), "1", "12", "--size 1-12"},
            {page.SizeFrom(), "0", "0", "--size 0-0"},
            {page.NameText(), "0", "1024", "--size 0-1024"},
        };
        for (const auto& f : fields) {
            page.SizeFrom()->setText(QString::fromLatin1(f.from));
            page.SizeTo()->setText(QString::fromLatin1(f.to));
            f.field->setFocus();
            QTest::keyClick(f.field, Qt::Key_Return);
            QVERIFY2(uitest::WaitFor([&] { return !page.Searching() && !page.StatusLine().contains("Searching"); }),
                     f.cli.c_str());
            QCOMPARE(PageIds(page), CliIds(m_fat, f.cli));
            QCOMPARE(status->text(), page.StatusLine());
            QVERIFY2(status->text().contains(QStringLiteral("%1 item").arg(page.ResultModel().rowCount())),
                     qPrintable(status->text()));
        }
        const CFileListModel& m = page.ResultModel();
        int budget = -1;
        for (int r = 0; r < m.rowCount(); ++r)
            if (m.Name(r) == QLatin1String("Budget 2026.xls")) budget = r;
        QVERIFY(budget >= 0);
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.Results()->model());
        page.Results()->setCurrentIndex(proxy->mapFromSource(m.index(budget, 0)));
        QVERIFY2(status->text().contains(QStringLiteral("Selected: Budget 2026.xls, %1").arg(HumanSize(12000))),
                 qPrintable(status->text()));
        QString title;
        uitest::ModalDriver driver({uitest::CloseNotingTitle(&title)});
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        page.Results()->setFocus();
        QTest::keyClick(page.Results(), Qt::Key_Space);
        QVERIFY(uitest::WaitFor([&] { return driver.AllDone(); }));
        QVERIFY2(title.startsWith(QStringLiteral("Budget 2026.xls")), qPrintable(title));
        // Another page, another status line; back here, this page's again.
        w->ShowPage(0);
        QVERIFY(status->text() != page.StatusLine());
        w->ShowPage(1);
        QCOMPARE(status->text(), page.StatusLine());
    }

    // One way to write sizes: powers of 1000 with SI units, in the list as anywhere.
    void sizesAreWrittenInPowersOf1000() {
        const struct {
            uint64_t bytes;
            const char* shown;
        } sizes[] = {{0, "0 bytes"},          {999, "999 bytes"},        {1000, "1.0 kB"},
                     {1024, "1.0 kB"},        {12000, "12.0 kB"},        {1500000, "1.5 MB"},
                     {14900000000, "14.9 GB"}, {2000000000000, "2.0 TB"}};
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        for (const auto& z : sizes) QCOMPARE(HumanSize(z.bytes), QString::fromLatin1(z.shown));
        QLocale::setDefault(before);
        auto w = Window();
        CSearchDlg& page = *w->SearchPage();
        page.UseName()->setChecked(false);
        page.UseSize()->setChecked(false);
        page.UseDate()->setChecked(false);
        QVERIFY(Search(page, 0));
        const CFileListModel& m = page.ResultModel();
        QVERIFY(m.rowCount() > 0);
        for (int r = 0; r < m.rowCount(); ++r)
            if (!m.Item(r).IsFolder())
                QCOMPARE(m.index(r, kColSize).data().toString(), HumanSize(m.Item(r).info.size));
    }

    void theWindowsCommandsActOnTheSelectedHits() {
        // The browse page holds every row of the NTFS drive's root; the
        // commands of the window take two hits of the FAT drive instead.
        auto w = Window();
        w->ShowPage(0);
        CBrowsePage& browse = *w->BrowsePage();
        QVERIFY(browse.OpenDrive(1));
        browse.List()->setCurrentIndex(browse.List()->model()->index(0, 0));
        browse.List()->selectAll();
        w->ShowPage(1);
        CSearchDlg& page = *w->SearchPage();
        page.UseName()->setChecked(false);
        page.UseSize()->setChecked(false);
        page.UseDate()->setChecked(false);
        QVERIFY(Search(page, 0));
        const auto action = [&](const char* name) { return w->findChild<QAction*>(QLatin1String(name)); };
        for (const char* name : {"recover", "preview", "properties"})
            QVERIFY2(action(name) && !action(name)->isEnabled(), name);  // no hit selected
        const CFileListModel& m = page.ResultModel();
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.Results()->model());
        QItemSelectionModel& selection = *page.Results()->selectionModel();
        for (int r = 0; r < m.rowCount(); ++r)
            if (m.Name(r) == QLatin1String("Trash") || m.Name(r) == QLatin1String("Budget 2026.xls"))
                selection.setCurrentIndex(proxy->mapFromSource(m.index(r, 0)),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCOMPARE(selection.selectedRows().size(), 2);
        QCOMPARE(selection.currentIndex().data().toString(), QStringLiteral("Budget 2026.xls"));

        const struct {
            const char* action;
            QString title;
        } views[] = {{"preview", QStringLiteral("Budget 2026.xls")},
                     {"properties", QStringLiteral("Properties of Budget 2026.xls")}};
        for (const auto& v : views) {
            QString title;
            uitest::ModalDriver driver({uitest::CloseNotingTitle(&title)});
            QVERIFY2(action(v.action)->isEnabled(), v.action);
            action(v.action)->trigger();
            QVERIFY2(driver.AllDone() && title.startsWith(v.title), qPrintable(title));
        }

        const std::string out = m_dir.file("hits");
        uitest::DestinationSeen seen;
        uitest::ProgressSeen progress;
        uitest::ModalDriver driver({uitest::FillDestination(out, &seen), uitest::RunProgress(&progress)});
        QVERIFY(action("recover")->isEnabled());
        action("recover")->trigger();
        QVERIFY(driver.AllDone());
        QVERIFY2(seen.sizeStatus.startsWith(QLatin1String("2 items selected")), qPrintable(seen.sizeStatus));
        std::set<std::string> written;
        for (const auto& f : std::filesystem::recursive_directory_iterator(out))
            if (f.is_regular_file()) written.insert(std::filesystem::relative(f.path(), out).string());
        QCOMPARE(written, (std::set<std::string> {"Budget 2026.xls", "Trash/_otes.txt"}));
        // As tools/make-fat-sample.sh wrote them.
        for (const auto& [file, content] : {std::pair {"Budget 2026.xls", uitest::SampleFileContent("budget.xls", 12000, 4)},
                                            std::pair {"Trash/_otes.txt", uitest::SampleFileContent("notes.txt", 500, 3)}}) {
            const std::vector<uint8_t> bytes = testutil::ReadFileBytes(out + "/" + file);
            QVERIFY2(std::string(bytes.begin(), bytes.end()) == content, file);
        }
    }

    void showContainingFolderOpensItInTheBrowsePage() {
        auto w = Window();
        CSearchDlg& page = *w->SearchPage();
        page.UseName()->setChecked(false);
        page.UseSize()->setChecked(false);
        page.UseDate()->setChecked(false);
        for (int drive : {0, 1}) {
            QVERIFY(Search(page, drive));
            const CFileListModel& m = page.ResultModel();
            QVERIFY(m.rowCount() > 0);
            auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.Results()->model());
            for (int r = 0; r < m.rowCount(); ++r) {
                w->ShowPage(1);
                page.Results()->setCurrentIndex(proxy->mapFromSource(m.index(r, 0)));
                QVERIFY2(page.ShowContainingFolder(), qPrintable(m.FolderOf(r)));
                QCOMPARE(w->CurrentPage(), 0);
                QCOMPARE(QString::fromStdString(w->BrowsePage()->ListModel().Folder().path), m.FolderOf(r));
                // The file itself is selected, current and in view in the browse list.
                const CBrowsePage& browse = *w->BrowsePage();
                const std::vector<int> selected = browse.SelectedRows();
                QCOMPARE(selected.size(), size_t(1));
                QCOMPARE(browse.ListModel().Name(selected.front()), m.Name(r));
                QCOMPARE(browse.ListModel().Item(selected.front()).info.id, m.Item(r).info.id);
                const QModelIndex current = browse.List()->currentIndex();
                QVERIFY(current.isValid() && browse.List()->viewport()->rect().intersects(browse.List()->visualRect(current)));
            }
        }
    }
};

QTEST_MAIN(SearchTest)
#include "SearchTest.moc"
