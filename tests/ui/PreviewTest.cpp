// The preview in the window, offscreen: every image format of the preview's
// list decodes from a sample a real tool made; the quick view and the pane
// show the deleted pictures and text of tools/make-preview-fixture.sh.
#include <QPushButton>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <filesystem>

#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/CarvedPreview.h"
#include "ui/EmbedQuickView.h"
#include "ui/ImageControl.h"
#include "ui/ImageDecode.h"
#include "ui/MainFrame.h"
#include "ui/PreviewText.h"
#include "ui/QuickViewDlg.h"
#include "ui/StartUp.h"
#include "ui/Texts.h"

using testutil::Quote;

namespace {

// Runs a fixture command; a missing tool fails under CI and skips elsewhere.
#define NEED_TOOLS(...)                                                                            \
    for (const char* tool : {__VA_ARGS__})                                                         \
        if (!testutil::HaveTool(tool)) {                                                           \
            if (testutil::InCi()) QFAIL(qPrintable(QStringLiteral("missing tool: %1").arg(tool))); \
            QSKIP(qPrintable(QStringLiteral("missing tool: %1").arg(tool)));                       \
        }

int RowEndingWith(const CBrowsePage& page, const QString& suffix) {
    const CFileListModel& m = page.ListModel();
    for (int r = 0; r < m.rowCount(); ++r)
        if (m.Name(r).endsWith(suffix)) return r;
    return -1;
}

// Makes the list's current row the model row (the pane follows it).
void SelectRow(CBrowsePage& page, int row) {
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.List()->model());
    page.List()->setCurrentIndex(proxy->mapFromSource(page.ListModel().index(row, 0)));
}

}  // namespace

class PreviewTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_image;
    UsageStatistics m_statistics;

    std::unique_ptr<CMainFrame> Window(const char* folder) {
        PrepareSettings();
        auto w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        w->show();
        w->OpenImages({QString::fromStdString(m_image)}, true);
        CBrowsePage& page = *w->BrowsePage();
        if (!page.OpenDrive(0) || !page.SelectFolder(QString::fromLatin1(folder))) return nullptr;
        return w;
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        NEED_TOOLS("mkfs.fat", "mcopy", "gm");
        m_image = m_dir.file("preview.img");
        testutil::MustRun(Quote(testutil::SourceDir() + "/tools/make-preview-fixture.sh") + " " + Quote(m_image) +
                          " >/dev/null");
    }

    void everyImageFormatDecodes() {
        NEED_TOOLS("gm", "icotool", "opj_compress", "opj_decompress");
        const std::string d = m_dir.file("formats");
        std::filesystem::create_directories(d);
        const std::string base = Quote(d + "/base.png");
        testutil::MustRun("gm convert -size 40x30 gradient:red-blue -depth 8 " + base);
        testutil::MustRun("gm convert " + base + " -colorspace gray -depth 8 " + Quote(d + "/grey.png"));
        const struct {
            const char* extension;
            std::string make;  // writes d/s.<extension>
            const char* decoder;
            int width, height;
        } formats[] = {
            {"BMP", "gm convert " + base + " BMP:" + d + "/s.bmp", "qt:bmp", 40, 30},
            {"GIF", "gm convert " + base + " " + d + "/s.gif", "qt:gif", 40, 30},
            {"JPG", "gm convert " + base + " " + d + "/s.jpg", "qt:jpeg", 40, 30},
            {"PNG", "cp " + base + " " + d + "/s.png", "qt:png", 40, 30},
            {"ICO", "icotool -c -o " + d + "/s.ico " + base, "qt:ico", 40, 30},
            {"TIF", "gm convert " + base + " " + d + "/s.tif", "qt:tiff", 40, 30},
            {"TGA", "gm convert " + base + " " + d + "/s.tga", "gm:TGA", 40, 30},  // colour-mapped
            {"PCX", "gm convert " + base + " " + d + "/s.pcx", "gm:PCX", 40, 30},
            {"WBMP", "gm convert " + base + " " + d + "/s.wbmp", "qt:wbmp", 40, 30},
            {"WMF", Quote(testutil::BinDir() + "/wmf-sample") + " " + d + "/s.wmf", "gm:WMF", 144, 108},
            {"JP2", "opj_compress -n 3 -i " + base + " -o " + d + "/s.jp2 >/dev/null", "openjpeg", 40, 30},
            {"J2K", "opj_compress -n 3 -i " + base + " -o " + d + "/s.j2k >/dev/null", "openjpeg", 40, 30},
            {"JBG", "gm convert " + base + " " + d + "/s.jbg", "gm:JBIG", 40, 30},
            // A JPC file is the bare codestream, as J2K.
            {"JPC", "opj_compress -n 3 -i " + base + " -o " + d + "/c.j2k >/dev/null && mv " + d + "/c.j2k " + d +
                        "/s.jpc", "openjpeg", 40, 30},
            {"PGX", "opj_compress -n 3 -i " + d + "/grey.png -o " + d + "/g.j2k >/dev/null && opj_decompress -i " +
                        d + "/g.j2k -o " + d + "/s.pgx >/dev/null && mv " + d + "/s_0.pgx " + d + "/s.pgx", "pgx",
             40, 30},
            {"PNM", "gm convert " + base + " " + d + "/s.pnm", "qt:ppm", 40, 30},
            {"RAS", "gm convert " + base + " " + d + "/s.ras", "gm:SUN", 40, 30},
            {"CUR", "icotool -c --cursor -X 1 -Y 1 -o " + d + "/s.cur " + base, "qt:ico", 40, 30},  // the icon reader takes cursors
        };
        QCOMPARE(std::size(formats), preview::kImageExtensions.size());
        for (size_t i = 0; i < std::size(formats); ++i) {
            const auto& f = formats[i];
            QCOMPARE(QString::fromLatin1(f.extension).prepend(QLatin1Char('.')),
                     QString::fromLatin1(preview::kImageExtensions[i].data(), preview::kImageExtensions[i].size()));
            testutil::MustRun(f.make);
            const std::vector<uint8_t> bytes = testutil::ReadFileBytes(d + "/s." + QString::fromLatin1(f.extension).toLower().toStdString());
            QString decoder;
            const QImage image = DecodeImage(bytes.data(), bytes.size(), &decoder);
            QVERIFY2(!image.isNull(), f.extension);
            QCOMPARE(decoder, QString::fromLatin1(f.decoder));
            QCOMPARE(image.size(), QSize(f.width, f.height));
            // Cut in half, the file never crashes a decoder (a picture or none).
            DecodeImage(bytes.data(), bytes.size() / 2);
        }
        const std::vector<uint8_t> noise = testutil::PatternBytes(100, 7);
        QVERIFY(DecodeImage(noise.data(), noise.size()).isNull());
    }

    void quickViewShowsDeletedPicturesAndText() {
        auto w = Window("/Photos");
        QVERIFY(w);
        CBrowsePage& page = *w->BrowsePage();
        const struct {
            const char* name;
            int width, height;
        } pictures[] = {{"MG_2041.JPG", 640, 480}, {"Beach.png", 320, 200}, {"can.tif", 120, 90}};
        for (const auto& p : pictures) {
            const int row = RowEndingWith(page, QString::fromLatin1(p.name));
            QVERIFY2(row >= 0, p.name);
            SelectRow(page, row);
            QVERIFY(page.CanPreview());
            size_t current = 0;
            std::vector<preview::PreviewItem> items = page.PreviewItems(current);
            CQuickViewDlg dialog(*page.CurrentVolume(), m_image, std::move(items), current, m_statistics, w.get());
            QVERIFY2(dialog.ShowingImage(), p.name);
            QCOMPARE(dialog.Image().ImageWidth(), p.width);
            QCOMPARE(dialog.Image().ImageHeight(), p.height);
            QVERIFY(dialog.windowTitle().endsWith(UiText(texts::kQuickViewTitle)));
            // Next and previous walk the previewable rows and come back.
            QVERIFY(dialog.NextButton()->isEnabled());
            dialog.Next();
            QVERIFY(dialog.Current() != current);
            dialog.Previous();
            QCOMPARE(dialog.Current(), current);
            // A picture viewed as text is its bytes.
            dialog.ViewAsText();
            QVERIFY(dialog.ShowingText() && !dialog.Text().isEmpty());
        }
        // The partly overwritten photo: a picture (its head survived) or the
        // no-preview message, never a crash.
        auto quickView = [&] {
            size_t current = 0;
            std::vector<preview::PreviewItem> items = page.PreviewItems(current);
            return std::make_unique<CQuickViewDlg>(*page.CurrentVolume(), m_image, std::move(items), current,
                                                   m_statistics, w.get());
        };
        SelectRow(page, RowEndingWith(page, QStringLiteral("amaged.jpg")));
        {
            auto dialog = quickView();
            QVERIFY(dialog->windowTitle().startsWith(QStringLiteral("?amaged.jpg")));
            QVERIFY((dialog->ShowingImage() && dialog->Image().ImageWidth() == 400) ||
                    dialog->Message() == DamagedPictureText());
        }
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        SelectRow(page, RowEndingWith(page, QStringLiteral("otes.txt")));
        auto dialog = quickView();
        QVERIFY(dialog->ShowingText());
        QVERIFY(dialog->Text().startsWith(QStringLiteral("Shopping list\nline 1: milk")));
        QCOMPARE(dialog->size(), QSize(640, 480));
        QVERIFY(dialog->RecoverButton()->isEnabled());
        // A live file shows too, and is not offered for recovery.
        SelectRow(page, RowEndingWith(page, QStringLiteral("report.txt")));
        dialog = quickView();
        QCOMPARE(dialog->Text(), QStringLiteral("A live report.\n"));
        QVERIFY(!dialog->RecoverButton()->isEnabled());
    }

    void carvedPhotoInTheQuickViewAndTheScanPane() {
        auto w = Window("/Photos");
        QVERIFY(w);
        CBrowsePage& page = *w->BrowsePage();
        CVolume& volume = *page.CurrentVolume();
        size_t current = 0;
        const int row = RowEndingWith(page, QStringLiteral("MG_2041.JPG"));
        QVERIFY(row >= 0);
        SelectRow(page, row);
        const preview::PreviewItem photo = page.PreviewItems(current)[current];
        // Its first cluster, found by its first bytes: what a surface scan reports.
        std::unique_ptr<IGenericFile> file;
        std::vector<uint8_t> bytes;
        QVERIFY(preview::OpenIndexItem(volume, photo.id, photo.path, file) &&
                preview::ReadWhole(*file, preview::kImageLimit, bytes));
        preview::PreviewItem carved;
        carved.carved = true;
        carved.name = u"carved 1.jpg";
        carved.size = bytes.size();
        std::vector<uint8_t> cluster(volume.ClusterSize());
        for (uint64_t c = 2; c < 20000 && carved.firstCluster == 0; ++c) {
            uint32_t length = volume.ClusterSize();
            if (volume.ReadRaw(c, 0, cluster.data(), length) && length >= 64 &&
                std::equal(cluster.begin(), cluster.begin() + 64, bytes.begin()))
                carved.firstCluster = c;
        }
        QVERIFY(carved.firstCluster != 0);
        CarvedPreview shown = PrepareCarvedPreview(volume, carved);
        QCOMPARE(shown.caption, QStringLiteral("carved 1.jpg (640 x 480)"));
        CImageControl control(nullptr);
        control.resize(320, 240);
        ShowCarvedPreview(control, shown);
        QCOMPARE(control.ImageWidth(), 640);
        QVERIFY(control.Fading());
        QCOMPARE(control.DisplayRect().size(), QSize(319, 240));  // 641 x 481 fitted, the aspect kept
        CQuickViewDlg dialog(volume, m_image, {carved}, 0, m_statistics, w.get());
        QVERIFY(dialog.ShowingImage());
        // Past the carved limit nothing is read: the caption is the name.
        carved.size = 25 * 1000 * 1000;
        shown = PrepareCarvedPreview(volume, carved);
        QVERIFY(shown.tooLarge && shown.image.isNull());
        QCOMPARE(shown.caption, QStringLiteral("carved 1.jpg"));
        ShowCarvedPreview(control, shown);
        QVERIFY(control.ImageWidth() == -1 && !control.IsEmpty());
        QVERIFY(!shown.message.isEmpty());
        // A find whose bytes do not decode says why no picture is shown: a
        // damaged picture when its name is a picture's, else no preview.
        const struct {
            const char16_t* name;
            QString message;
        } undecodable[] = {{u"carved 2.jpg", DamagedPictureText()}, {u"carved 3.doc", NoPreviewForKindText()}};
        for (const auto& u : undecodable) {
            preview::PreviewItem other = carved;
            other.name = u.name;
            other.size = 3 * volume.ClusterSize();
            other.firstCluster = carved.firstCluster + 3;  // the middle of the photo: no picture starts there
            shown = PrepareCarvedPreview(volume, other);
            QVERIFY(shown.image.isNull());
            QCOMPARE(shown.message, u.message);
            CQuickViewDlg view(volume, m_image, {other}, 0, m_statistics, w.get());
            QVERIFY(!view.ShowingImage());
            QCOMPARE(view.Message(), other.name == u"carved 2.jpg" ? DamagedPictureText()
                                                                  : UiText(texts::kPreviewNothing));
        }
    }

    // What the previews say in the place of content they cannot show: the
    // pane and the quick view on the same files, and which bytes read as text.
    void previewsSayWhatTheyCannotShow() {
        using namespace std::literals;
        const struct {
            std::string_view bytes;
            bool binary;
        } samples[] = {
            {"plain words\r\n\tindented\n"sv, false},
            {"caf\xE9 cr\xE8me br\xFBl\xE9" "e, a dessert for the whole family to share"sv, false},  // Windows-1252
            {"\xFF\xFEt\0e\0x\0t\0"sv, false},  // UTF-16 with its byte-order mark
            {"utf-8 cut at the end \xC3"sv, false},
            {"a NUL\0 inside"sv, true},
            {"\x01\x02\x03\x04 controls \x05\x06"sv, true},
            {"\x8B\x9C\xF7\xE1\xA0\xC0\xFE\x80 random"sv, true},
        };
        for (const auto& t : samples)
            QVERIFY2(preview::LooksBinary(t.bytes) == t.binary, std::string(t.bytes).c_str());

        auto w = Window("/Other");
        QVERIFY(w);
        CBrowsePage& page = *w->BrowsePage();
        CEmbedQuickView& pane = *page.PreviewPane();
        const struct {
            const char* folder;
            const char* name;
            QString pane;       // the pane's message, "" for text
            QString quickView;  // the quick view's message, "" for text
        } files[] = {
            {"/Other", "setup.exe", NoPreviewForKindText(), UiText(texts::kPreviewNothing)},
            {"/Other", "garbled.txt", NoPreviewForKindText(), NoPreviewForKindText()},
            {"/Other", "broken.png", DamagedPictureText(), DamagedPictureText()},
            {"/Docs", "otes.txt", QString(), QString()},
        };
        for (const auto& f : files) {
            QVERIFY(page.SelectFolder(QString::fromLatin1(f.folder)));
            const int row = RowEndingWith(page, QString::fromLatin1(f.name));
            QVERIFY2(row >= 0, f.name);
            const uint64_t before = pane.ResultsShown();
            SelectRow(page, row);
            QVERIFY(uitest::WaitFor([&] { return pane.ResultsShown() > before && !pane.ShowingPlaceholder(); }));
            QCOMPARE(pane.ShowingMessage(), !f.pane.isEmpty());
            QCOMPARE(pane.ShowingText(), f.pane.isEmpty());
            if (!f.pane.isEmpty()) QCOMPARE(pane.Message(), f.pane);
            QVERIFY(pane.Caption().endsWith(QString::fromLatin1(f.name)));
            size_t current = 0;
            std::vector<preview::PreviewItem> items = page.PreviewItems(current);
            CQuickViewDlg dialog(*page.CurrentVolume(), m_image, std::move(items), current, m_statistics, w.get());
            QCOMPARE(dialog.ShowingText(), f.quickView.isEmpty());
            if (!f.quickView.isEmpty()) QCOMPARE(dialog.Message(), f.quickView);
            // View as text shows the bytes whatever they are.
            dialog.ViewAsText();
            QVERIFY2(dialog.ShowingText(), f.name);
        }
        // A selected item that cannot be opened says so, not "select a file".
        const uint64_t before = pane.ResultsShown();
        pane.SetItem(page.CurrentVolume(), 0, u"/Other/no such file.png", QStringLiteral("no such file.png"));
        QVERIFY(uitest::WaitFor([&] { return pane.ResultsShown() > before; }));
        QVERIFY(pane.ShowingMessage() && !pane.ShowingPlaceholder());
        QCOMPARE(pane.Message(), PreviewUnreadableText());
    }

    void paneFollowsTheSelection() {
        auto w = Window("/Photos");
        QVERIFY(w);
        CBrowsePage& page = *w->BrowsePage();
        CEmbedQuickView& pane = *page.PreviewPane();
        QVERIFY(pane.isVisible());
        QSignalSpy shown(&pane, &CEmbedQuickView::shown);
        SelectRow(page, RowEndingWith(page, QStringLiteral("MG_2041.JPG")));
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingImage() && pane.Image().ImageWidth() == 640; }));
        QVERIFY(shown.last().at(0).toString().endsWith(QStringLiteral("MG_2041.JPG")));
        // A run of selections without a pause shows the last one only.
        shown.clear();
        const uint64_t before = pane.ResultsShown();
        for (const char* name : {"can.tif", "amaged.jpg", "MG_2041.JPG", "can.tif", "Beach.png"})
            SelectRow(page, RowEndingWith(page, QString::fromLatin1(name)));
        QVERIFY(uitest::WaitFor([&] { return pane.ResultsShown() > before; }));
        pane.Release();
        QTest::qWait(50);
        QCOMPARE(pane.ResultsShown(), before + 1);
        QCOMPARE(shown.count(), 1);
        QCOMPARE(shown.last().at(0).toString(), QStringLiteral("Beach.png"));
        QCOMPARE(pane.Image().ImageWidth(), 320);
        // Another folder: the pane lets go of the picture at once.
        QVERIFY(page.SelectFolder(QStringLiteral("/Docs")));
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingPlaceholder(); }));
        // A text file, then a folder: the text, then the placeholder.
        SelectRow(page, RowEndingWith(page, QStringLiteral("otes.txt")));
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingText(); }));
        QVERIFY(pane.Text().startsWith(QStringLiteral("Shopping list")));
        QVERIFY(page.SelectFolder(QStringLiteral("/")));
        SelectRow(page, RowEndingWith(page, QStringLiteral("Photos")));
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingPlaceholder(); }));
    }
};

QTEST_MAIN(PreviewTest)
#include "PreviewTest.moc"
