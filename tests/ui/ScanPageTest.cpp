// The surface-scan page on the carving samples deleted on a FAT32 image:
// the finds are those of `quarlix scan`, the result pane shows a found
// photo with its size, the type tree keeps its choice and grouping, and the
// finds the window's commands recover from the page are the samples byte
// for byte.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "app/Profile.h"
#include "engine/surfacescan/ScanTypes.h"
#include "platform/ByteSource.h"
#include "tests/common/FailingDevice.h"
#include "tests/surfacescan/SampleImages.h"
#include "tests/surfacescan/ScanTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/ImageControl.h"
#include "ui/HexViewDlg.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"
#include "ui/SurfaceScanWnd.h"
#include "ui/Texts.h"

using namespace uitest;

namespace {

// (cluster, size, name) of each find.
using Finds = std::set<std::tuple<uint64_t, uint64_t, std::string>>;

Finds PageFinds(const CSurfaceScanWnd& page) {
    Finds f;
    for (int r = 0; r < page.Results().rowCount(); ++r) {
        const CarvedItem& i = page.Results().Item(r);
        f.insert({i.startCluster, i.size, scantest::Utf8(i.name)});
    }
    return f;
}

}  // namespace

class ScanPageTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    scantest::SampleImage m_image;
    UsageStatistics m_statistics;

    std::unique_ptr<CMainFrame> Window() {
        PrepareSettings();
        auto w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        w->show();
        w->OpenImages({QString::fromStdString(m_image.path)}, true);
        w->ShowPage(2);
        return w;
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        if (!scantest::HaveFatSampleTools()) {
            if (testutil::InCi()) QFAIL("mkfs.fat/mtools missing");
            QSKIP("mkfs.fat/mtools missing");
        }
        m_image = scantest::MakeFat32SampleImage(m_dir, 8, 280000);
        QVERIFY2(m_image.ok(), m_image.error.c_str());
    }

    void findsAreTheCommandLinesAndRecoverWhole() {
        auto w = Window();
        CSurfaceScanWnd& page = *w->ScanPage();
        QCOMPARE(page.DriveBox()->count(), 1);
        QCOMPARE(page.Step(), 0);
        auto* statusLine = w->findChild<QLabel*>(QStringLiteral("statusText"));
        QVERIFY2(statusLine->text().contains(QStringLiteral("then Start")), qPrintable(statusLine->text()));
        QVERIFY(page.StartScan());
        QCOMPARE(page.Step(), 1);  // the progress step
        QVERIFY(uitest::WaitFor([&] { return !page.Scanning(); }, 300000));
        QCOMPARE(page.Step(), 2);  // after the scan
        Finds cli;
        std::istringstream lines(uitest::Quarlix("--json --progress never scan " + testutil::Quote(m_image.path)));
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] != '{') continue;
            const auto j = nlohmann::json::parse(line);
            if (!j.contains("cluster")) continue;  // the summary line
            cli.insert({j["cluster"].get<uint64_t>(), j["size"].get<uint64_t>(), j["name"].get<std::string>()});
        }
        QVERIFY(cli.size() >= scantest::Samples().size());
        QCOMPARE(PageFinds(page), cli);
        QVERIFY(page.StatusText().contains(QString::number(cli.size())));
        QCOMPARE(statusLine->text(), page.StatusLine());
        QVERIFY2(statusLine->text().startsWith(QStringLiteral("%1 files found").arg(cli.size())),
                 qPrintable(statusLine->text()));

        // The pane shows the selected photo after its 300 ms, fitted.
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.ResultView()->model());
        int jpeg = -1;
        for (int r = 0; r < page.Results().rowCount(); ++r)
            if (page.Results().Item(r).typeKey == u"jpg") jpeg = r;
        QVERIFY(jpeg >= 0);
        page.ResultView()->setCurrentIndex(proxy->mapFromSource(page.Results().index(jpeg, 0)));
        QVERIFY(uitest::WaitFor([&] { return page.PreviewsShown() > 0; }));
        QVERIFY(page.Pane().Image().ImageWidth() > 0);
        QVERIFY(page.Pane().Message().isEmpty());
        QVERIFY2(statusLine->text().contains(
                     QStringLiteral("Selected: %1").arg(QString::fromStdU16String(page.Results().Item(jpeg).name))),
                 qPrintable(statusLine->text()));
        QVERIFY(page.Pane().Caption().endsWith(QStringLiteral(" (%1 x %2)")
                                                   .arg(page.Pane().Image().ImageWidth())
                                                   .arg(page.Pane().Image().ImageHeight())));

        // The window's commands take the page's finds while the browse page
        // holds rows of the same drive: Preview shows the current find,
        // Properties has no meaning here, Recover… writes exactly the
        // selected finds, each its sample byte for byte.
        CBrowsePage& browse = *w->BrowsePage();
        QVERIFY(browse.OpenDrive(0));
        browse.List()->setCurrentIndex(browse.List()->model()->index(0, 0));
        browse.List()->selectAll();
        QCOMPARE(w->CurrentPage(), 2);
        const auto action = [&](const char* name) { return w->findChild<QAction*>(QLatin1String(name)); };
        page.ResultView()->clearSelection();
        QVERIFY(action("properties") && !action("properties")->isEnabled());
        QVERIFY(!action("recover")->isEnabled());
        QString title;
        {
            ModalDriver driver({CloseNotingTitle(&title)});
            QVERIFY(action("preview")->isEnabled());
            action("preview")->trigger();
            QVERIFY(driver.AllDone());
        }
        QVERIFY2(title.startsWith(QString::fromStdU16String(page.Results().Item(jpeg).name)), qPrintable(title));
        page.ResultView()->selectAll();
        QVERIFY(action("recover")->isEnabled() && !action("properties")->isEnabled());
        const std::string out = m_dir.file("carved");
        std::filesystem::create_directories(out);
        ProgressSeen seen;
        ModalDriver driver({FillDestination(out, nullptr), RunProgress(&seen)});
        action("recover")->trigger();
        QVERIFY(driver.AllDone());
        std::set<std::string> written, finds;
        for (const auto& f : std::filesystem::directory_iterator(out)) written.insert(f.path().filename().string());
        for (const auto& f : PageFinds(page)) finds.insert(std::get<2>(f));
        QCOMPARE(written, finds);
        for (const scantest::Sample& s : scantest::Samples()) {
            const std::vector<uint8_t> sample = testutil::ReadFileBytes(scantest::DataDir() + "/" + s.file);
            bool found = false;
            for (const auto& f : std::filesystem::directory_iterator(out))
                found = found || testutil::ReadFileBytes(f.path().string()) == sample;
            QVERIFY2(found, s.file.c_str());
        }

        // The hex view of a find shows the bytes Recover… wrote for it, from its clusters.
        {
            page.ResultView()->setCurrentIndex(proxy->mapFromSource(page.Results().index(jpeg, 0)));
            std::vector<uint8_t> shown;
            ModalDriver hex({[&](QWidget* modal) {
                auto* d = qobject_cast<CHexViewDlg*>(modal);
                if (!d) return false;
                for (int r = 0; r < d->Model()->rowCount(); ++r) {
                    const std::vector<uint8_t> row = d->Model()->RowBytes(r);
                    shown.insert(shown.end(), row.begin(), row.end());
                }
                QTimer::singleShot(0, d, &QDialog::reject);
                return true;
            }});
            QVERIFY(action("hexView")->isEnabled());
            action("hexView")->trigger();
            QVERIFY(hex.AllDone());
            const std::string name = QString::fromStdU16String(page.Results().Item(jpeg).name).toStdString();
            QVERIFY(!shown.empty());
            QVERIFY(shown == testutil::ReadFileBytes(out + "/" + name));
        }

        // Stop ends a new scan where it was: the page says stopped, with how
        // far it came and what it found, never that the scan is over; the
        // pane no longer shows a find of the last scan.
        QVERIFY(page.Pane().Image().ImageWidth() > 0);
        QVERIFY(page.StartScan());
        QCOMPARE(page.Pane().Image().ImageWidth(), -1);
        page.StopScan();
        QVERIFY(uitest::WaitFor([&] { return !page.Scanning(); }, 60000));
        QCOMPARE(page.Step(), 2);
        const QRegularExpression stopped(QStringLiteral("^Scan stopped at (\\d+) % — (\\d+) files found"));
        const QRegularExpressionMatch match = stopped.match(page.StatusText());
        QVERIFY2(match.hasMatch(), qPrintable(page.StatusText()));
        QVERIFY(match.captured(1).toInt() < 100);
        QCOMPARE(match.captured(2).toInt(), page.Results().rowCount());
        QVERIFY(!page.StatusText().contains(QStringLiteral("is over")));
        QCOMPARE(page.findChild<QLabel*>(QStringLiteral("scanSummary"))->text(), page.StatusText());
        QCOMPARE(statusLine->text(), page.StatusLine());
    }

    void rawSourceIsScannedAsUnits() {
        // No file system: zeros with the sample JPEG at 64 KiB (unit 16 of 4,096 bytes).
        const std::vector<uint8_t> jpeg = testutil::ReadFileBytes(scantest::DataDir() + "/sample.jpg");
        std::vector<uint8_t> raw(2 << 20, 0);
        std::copy(jpeg.begin(), jpeg.end(), raw.begin() + (64 << 10));
        const std::string path = m_dir.file("raw.img");
        testutil::WriteFileBytes(path, raw);
        // Zeros to 256 MiB (a hole): the scan still runs when the window is asked to close.
        std::filesystem::resize_file(path, 256ull << 20);
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        const uint64_t opens = ByteSourceOpenCount();
        w.OpenImages({QString::fromStdString(path)}, true);
        QVERIFY(w.BrowsePage()->Drives().empty());
        CSurfaceScanWnd& page = *w.ScanPage();
        w.ShowPage(2);
        QCOMPARE(page.DriveBox()->currentData().toInt(), -1);
        QVERIFY(page.StartScan());
        QCOMPARE(ByteSourceOpenCount() - opens, uint64_t(1));  // the scan reads the source the open found empty
        // A running scan keeps the window open (text 559).
        w.close();
        QVERIFY(w.isVisible());
        QCOMPARE(w.CloseRefusal(), UiText(texts::kCloseWhileRunning));
        for (QMessageBox* box : w.findChildren<QMessageBox*>()) box->close();
        QVERIFY(uitest::WaitFor([&] { return !page.Scanning(); }, 60000));
        QCOMPARE(PageFinds(page), (Finds {{16, jpeg.size(), "JPEG image (16).jpg"}}));
    }

    // A block of free space the drive refuses: the scan ends saying so.
    void refusedFreeSpaceIsSaid() {
        std::string why;
        if (!testutil::FailingDevice::Available(why)) {
            if (testutil::InCi()) QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        const uint64_t last = m_image.ClusterOffset(m_image.firstCluster + m_image.clusterCount - 1);
        testutil::FailingDevice device(m_dir, m_image.path, {{last & ~0xFFFull, 0x1000}});
        QVERIFY(device.Ready());
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(device.Path())}, true);
        w.ShowPage(2);
        CSurfaceScanWnd& page = *w.ScanPage();
        QVERIFY(page.StartScan());
        QVERIFY(uitest::WaitFor([&] { return !page.Scanning(); }, 300000));
        QVERIFY2(page.StatusText().contains(QStringLiteral("4.1 kB could not be read from the drive")),
                 qPrintable(page.StatusText()));
    }

    void typeTreeKeepsItsChoice() {
        {
            auto w = Window();
            CPageSurfaceScanDlg& types = w->ScanPage()->Types();
            QCOMPARE(types.OrderTypesBy(), 1);
            QCOMPARE(types.Tree()->topLevelItem(0)->childCount(), int(ScanTypeGroups().size()));
            types.SetChecked("pdf", false);
            types.ToggleGrouping();
            QCOMPARE(types.Tree()->topLevelItem(0)->childCount(), int(ScanTypes().size()));
            w->close();
        }
        auto w = Window();
        CPageSurfaceScanDlg& types = w->ScanPage()->Types();
        QCOMPARE(types.OrderTypesBy(), 0);
        QCOMPARE(types.Checked().at("pdf"), false);
        QCOMPARE(types.Checked().at("jpg"), true);
        types.SetChecked("pdf", true);
        types.ToggleGrouping();
    }
};

QTEST_MAIN(ScanPageTest)
#include "ScanPageTest.moc"
