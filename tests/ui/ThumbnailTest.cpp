// The lists as thumbnails, offscreen, on the deleted pictures of
// tools/make-thumbnail-fixture.sh and on the same pictures carved from the
// free space: every picture's thumbnail is the picture (its pixels against
// the file as written, decoded by Qt) on the browse, search and scan pages,
// a camera JPEG shows its Exif
// thumbnail unless part of it was overwritten, the grid draws it, the
// selection is the detail list's, and the filter hides the small pictures.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QLabel>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <filesystem>

#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/ItemIconView.h"
#include "ui/MainFrame.h"
#include "ui/SearchDlg.h"
#include "ui/StartUp.h"
#include "ui/SurfaceScanWnd.h"

using testutil::Quote;

namespace {

// The mean difference of the two images' colour channels (0..255) over the
// top `share` of their rows, b scaled to a's size first.
double MeanDifference(const QImage& a, const QImage& b, double share = 1.0) {
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.scaled(a.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB32);
    const int rows = std::max(1, static_cast<int>(x.height() * share));
    double sum = 0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < x.width(); ++c) {
            const QRgb p = x.pixel(c, r), q = y.pixel(c, r);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * rows * x.width());
}

struct Picture {
    const char* name;      // as written; deleted FAT names lose their first letter
    const char* reference;  // the file whose decode the thumbnail must show
    int width, height;      // the picture's own size
    bool embedded;          // the Exif thumbnail stands for it
    double share;           // the rows that must match (the rest was overwritten)
};
const Picture kPictures[] = {
    {"DSC_0001.JPG", "DSC_0001.JPG.thumb.jpg", 1600, 1200, true, 1.0},
    {"DSC_0002.JPG", "DSC_0002.JPG", 1200, 900, false, 0.4},
    {"holiday.png", "holiday.png", 800, 600, false, 1.0},
    {"banner.gif", "banner.gif", 400, 300, false, 1.0},
    {"scan.tif", "scan.tif", 640, 480, false, 1.0},
    {"icon.png", "icon.png", 32, 32, false, 1.0},
    {"dot.gif", "dot.gif", 16, 16, false, 1.0},
};

// Every picture row's thumbnail made (or given up on).
bool AllMade(CItemIconView& view) {
    if (view.Loader().Busy() > 0) return false;
    for (int r = 0; r < view.model()->rowCount(); ++r) {
        ThumbnailRequest request;
        if (!view.RequestOf(view.model()->index(r, 0), request)) continue;
        const auto state = view.Loader().StateOf(request.key);
        if (state != CThumbnailLoader::State::Ready && state != CThumbnailLoader::State::Failed) return false;
    }
    return true;
}

}  // namespace

class ThumbnailTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_image, m_host;

    std::unique_ptr<CMainFrame> Window() {
        PrepareSettings();
        auto w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        w->resize(1400, 900);
        w->show();
        w->OpenImages({QString::fromStdString(m_image)}, true);
        return w;
    }
    // Checks the thumbnail of a row showing `p`.
    void CheckThumbnail(CItemIconView& view, const QModelIndex& index, const Picture& p) {
        ThumbnailRequest request;
        QVERIFY2(view.RequestOf(index, request), p.name);
        const QImage* thumbnail = view.Loader().Find(request.key);
        QVERIFY2(thumbnail, p.name);
        QVERIFY2(std::max(thumbnail->width(), thumbnail->height()) <= kThumbnailSide, p.name);
        QCOMPARE(view.Loader().FromEmbedded(request.key), p.embedded);
        QCOMPARE(view.Loader().FullSize(request.key), QSize(p.width, p.height));
        const QImage reference(QString::fromStdString(m_host + "/" + p.reference));
        QVERIFY2(!reference.isNull(), p.reference);
        const double difference = MeanDifference(*thumbnail, reference, p.share);
        QVERIFY2(difference < 12, qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(p.name)).arg(difference)));
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        for (const char* tool : {"mkfs.fat", "mcopy", "gm", "exiftool"})
            if (!testutil::HaveTool(tool)) {
                if (testutil::InCi()) QFAIL(tool);
                QSKIP(tool);
            }
        m_image = m_dir.file("thumbs.img");
        m_host = m_dir.file("written");
        testutil::MustRun(Quote(testutil::SourceDir() + "/tools/make-thumbnail-fixture.sh") + " " + Quote(m_image) +
                          " " + Quote(m_host));
    }

    void deletedPicturesShowThemselves() {
        auto w = Window();
        CBrowsePage& page = *w->BrowsePage();
        QVERIFY(page.OpenDrive(0));
        QVERIFY(page.SelectFolder(QStringLiteral("/Camera")));
        auto* thumbnails = w->findChild<QAction*>(QStringLiteral("thumbnailsView"));
        QVERIFY(thumbnails);
        QCOMPARE(thumbnails->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_2));
        thumbnails->trigger();
        QVERIFY(page.IconMode());
        CItemIconView& view = *page.IconPane()->View();
        QVERIFY(view.isVisible());
        QVERIFY(uitest::WaitFor([&] { return AllMade(view); }));
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(view.model());
        for (const Picture& p : kPictures) {
            QModelIndex at;
            for (int r = 0; r < proxy->rowCount(); ++r)
                if (proxy->index(r, 0).data().toString().endsWith(QLatin1String(p.name + 1))) at = proxy->index(r, 0);
            QVERIFY2(at.isValid(), p.name);
            CheckThumbnail(view, at, p);
        }
        // The grid draws the thumbnail: the middle of the first picture's cell is its middle.
        ThumbnailRequest first;
        QVERIFY(view.RequestOf(proxy->index(0, 0), first));
        const QImage drawn = view.viewport()->grab().toImage();
        const QPoint middle = CItemIconView::ThumbnailArea(view.visualRect(proxy->index(0, 0))).center();
        const QImage& own = *view.Loader().Find(first.key);
        const QRgb shown = drawn.pixel(middle * drawn.devicePixelRatio()), made = own.pixel(own.width() / 2, own.height() / 2);
        QVERIFY(std::abs(qRed(shown) - qRed(made)) + std::abs(qGreen(shown) - qGreen(made)) +
                    std::abs(qBlue(shown) - qBlue(made)) <= 9);
        // One selection for both faces: picked here, the page's commands take it.
        view.setCurrentIndex(proxy->index(2, 0));
        QCOMPARE(page.SelectedRows(), std::vector<int> {proxy->mapToSource(proxy->index(2, 0)).row()});
        QCOMPARE(page.List()->currentIndex().row(), 2);

        // The filter: by width and height once the headers are read, by file
        // size at once; the detail list shows everything again.
        const int all = proxy->rowCount();
        const struct {
            int width, height;
            qint64 bytes;
            int hidden;
        } filters[] = {{100, 0, 0, 2}, {0, 40, 0, 2}, {0, 0, 1000, 2}, {500, 0, 0, 3}, {0, 0, 0, 0}};
        for (const auto& f : filters) {
            page.IconPane()->SetPictureFilter(f.width, f.height, f.bytes);
            QVERIFY(uitest::WaitFor([&] { return view.Loader().Busy() == 0 && proxy->rowCount() == all - f.hidden; }, 10000));
            for (int r = 0; r < proxy->rowCount(); ++r)
                QVERIFY(!proxy->index(r, 0).data().toString().endsWith(QLatin1String("ot.gif")) || f.hidden == 0);
        }
        page.IconPane()->SetPictureFilter(0, 0, 1000);
        QCOMPARE(proxy->rowCount(), all - 2);
        QCOMPARE(page.IconPane()->findChild<QLabel*>(QStringLiteral("hiddenPictures"))->text(),
                 QStringLiteral("2 pictures hidden"));
        w->findChild<QAction*>(QStringLiteral("detailsView"))->trigger();
        QVERIFY(!page.IconMode() && page.List()->isVisible());
        QCOMPARE(proxy->rowCount(), all);
    }

    void foundPicturesShowThemselves() {
        auto w = Window();
        w->ShowPage(1);
        CSearchDlg& search = *w->SearchPage();
        search.UseName()->setChecked(false);
        search.UseDate()->setChecked(false);
        search.UseSize()->setChecked(true);
        search.SizeFrom()->setText(QStringLiteral("0"));
        search.SizeTo()->setText(QStringLiteral("100000"));
        QVERIFY(search.StartSearch());
        QVERIFY(uitest::WaitFor([&] { return !search.Searching(); }));
        w->SetIconMode(true);
        CItemIconView& view = *search.IconPane()->View();
        QVERIFY(view.isVisible());
        QVERIFY(uitest::WaitFor([&] { return AllMade(view); }));
        int checked = 0;
        for (int r = 0; r < view.model()->rowCount(); ++r) {
            const QString name = view.model()->index(r, 0).data().toString();
            for (const Picture& p : kPictures)
                if (name.endsWith(QLatin1String(p.name + 1))) {
                    CheckThumbnail(view, view.model()->index(r, 0), p);
                    ++checked;
                }
        }
        QCOMPARE(checked, int(std::size(kPictures)));
    }

    void carvedPicturesShowThemselves() {
        auto w = Window();
        w->ShowPage(2);
        CSurfaceScanWnd& page = *w->ScanPage();
        QVERIFY(page.StartScan());
        QVERIFY(uitest::WaitFor([&] { return !page.Scanning(); }, 300000));
        w->SetIconMode(true);
        CItemIconView& view = *page.IconPane()->View();
        QVERIFY(view.isVisible());
        QVERIFY(uitest::WaitFor([&] { return AllMade(view); }));
        // Each whole picture is found as it was written (the damaged one aside).
        std::set<std::string> seen;
        for (int r = 0; r < view.model()->rowCount(); ++r) {
            const QModelIndex index = view.model()->index(r, 0);
            const CarvedItem& find = page.Results().Item(qobject_cast<QSortFilterProxyModel*>(view.model())->mapToSource(index).row());
            for (const Picture& p : kPictures) {
                if (p.share < 1.0 || std::filesystem::file_size(m_host + "/" + p.name) != find.size) continue;
                CheckThumbnail(view, index, p);
                seen.insert(p.name);
            }
        }
        for (const char* name : {"DSC_0001.JPG", "holiday.png", "banner.gif", "scan.tif"})
            QVERIFY2(seen.count(name), name);
    }
};

QTEST_MAIN(ThumbnailTest)
#include "ThumbnailTest.moc"
