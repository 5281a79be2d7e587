// The search page on the sample images, offscreen: the criteria find what
// `quarlix search` finds with the same criteria, Stop keeps what was found,
// and "show containing folder" opens the hit's folder in the browse page,
// also a lost folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <nlohmann/json.hpp>
#include <set>

#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
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
            }
        }
    }
};

QTEST_MAIN(SearchTest)
#include "SearchTest.moc"
