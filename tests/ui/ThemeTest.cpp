// The window on a dark desktop palette: what it draws of its own (the data
// status bar, the rescue map) and its texts (list rows, placeholders, the
// status line) stand out from their backgrounds, measured on the pixels
// drawn.
#include <QApplication>
#include <QHash>
#include <QLabel>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <memory>

#include "UiTestSupport.h"
#include "app/Profile.h"
#include "ui/BrowsePage.h"
#include "ui/EmbedQuickView.h"
#include "ui/FileListModel.h"
#include "ui/MainFrame.h"
#include "ui/RescueMapView.h"
#include "ui/StartUp.h"
#include "ui/Theme.h"

namespace {

struct Pair {
    QColor ink, background;
    QString where;
};

// The most frequent colour of the area (its background) and the pixel of
// the most contrast with it (the core of the text's strokes).
Pair Text(const QImage& shot, const QRect& area, const QString& where) {
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[shot.pixel(x, y)];
    QRgb background = 0;  // with its alpha: a background not drawn fails
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > most) most = it.value(), background = it.key();
    const QColor back = QColor::fromRgba(background);
    QColor ink = back;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (theme::Contrast(QColor::fromRgb(it.key()), back) > theme::Contrast(ink, back)) ink = QColor::fromRgb(it.key());
    return {ink, back, where};
}

// A widget as its window shows it (its parents' background under it).
Pair Text(QWidget& widget, const QString& where) {
    QWidget* window = widget.window();
    const QImage shot = window->grab(QRect(widget.mapTo(window, QPoint(0, 0)), widget.size())).toImage();
    return Text(shot, shot.rect(), where);
}

}  // namespace

class ThemeTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::unique_ptr<CMainFrame> m_window;

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        QApplication::setPalette(theme::DarkPalette());
        PrepareSettings();
        m_window = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        m_window->resize(1100, 700);
        m_window->show();
        m_window->OpenImages({QString::fromStdString(uitest::SampleImage(m_dir, "ntfs-sample"))}, true);
    }

    // /Docs of the sample in the list (after the placeholder's row).
    bool Docs() {
        CBrowsePage& page = *m_window->BrowsePage();
        if (page.CurrentDrive()) return true;
        return page.OpenDrive(0) && page.SelectFolder(QStringLiteral("/Docs"));
    }

    void cleanupTestCase() { m_window.reset(); }

    void readableOnADarkPalette_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<double>("least");  // text 4.5:1, marks and greyed placeholders 3:1
        QTest::newRow("list placeholder") << QStringLiteral("listPlaceholder") << 3.0;
        QTest::newRow("list rows") << QStringLiteral("rows") << 4.5;
        QTest::newRow("status line") << QStringLiteral("status") << 4.5;
        QTest::newRow("preview placeholder") << QStringLiteral("previewPlaceholder") << 3.0;
        QTest::newRow("data status bar on selected rows") << QStringLiteral("dataStatus") << 3.0;
        QTest::newRow("rescue map") << QStringLiteral("rescueMap") << 3.0;
    }

    void readableOnADarkPalette() {
        QFETCH(QString, what);
        QFETCH(double, least);
        CBrowsePage& page = *m_window->BrowsePage();
        std::vector<Pair> pairs;
        if (what == QLatin1String("listPlaceholder")) {
            auto* label = page.findChild<QLabel*>(QStringLiteral("listPlaceholder"));
            QVERIFY(label && label->isVisible() && !label->isEnabled());
            pairs.push_back(Text(*label, label->text()));
        }
        if (what != QLatin1String("listPlaceholder")) QVERIFY(Docs());
        QTreeView& list = *page.List();
        const CFileListModel& model = page.ListModel();
        auto* proxy = qobject_cast<QSortFilterProxyModel*>(list.model());
        QVERIFY(proxy);
        if (what == QLatin1String("rows")) {
            list.clearSelection();
            QTest::qWait(50);
            const QImage shot = list.viewport()->grab().toImage();
            for (int r = 0; r < model.rowCount(); ++r) {
                const QModelIndex size = proxy->mapFromSource(model.index(r, kColSize));
                if (!model.index(r, kColSize).data().toString().trimmed().isEmpty())
                    pairs.push_back(Text(shot, list.visualRect(size).intersected(shot.rect()), model.Name(r)));
            }
        } else if (what == QLatin1String("status")) {
            auto* status = m_window->findChild<QLabel*>(QStringLiteral("statusText"));
            QVERIFY(status && !status->text().isEmpty());
            pairs.push_back(Text(*status, status->text()));
        } else if (what == QLatin1String("previewPlaceholder")) {
            list.clearSelection();
            list.setCurrentIndex({});
            QVERIFY(uitest::WaitFor([&] { return page.PreviewPane()->ShowingPlaceholder(); }, 10000));
            for (QLabel* label : page.PreviewPane()->findChildren<QLabel*>())
                if (label->isVisible() && !label->isEnabled()) pairs.push_back(Text(*label, label->text()));
        } else if (what == QLatin1String("dataStatus")) {
            // Every row selected: the bar's marks against its unfilled part
            // (a share) or its inside (the green frame of nothing overwritten).
            list.selectAll();
            QTest::qWait(50);
            const QImage shot = list.viewport()->grab().toImage();
            const int textWidth = list.fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 6;
            for (int r = 0; r < model.rowCount(); ++r) {
                const int percent = model.index(r, kColDataStatus).data(kOverwrittenRole).toInt();
                if (percent < 0 || percent >= 100) continue;
                const QModelIndex cell = proxy->mapFromSource(model.index(r, kColDataStatus));
                const QRect bar = DataStatusBar(list.visualRect(cell).adjusted(4, 0, -4, 0), textWidth);
                const int y = bar.center().y();
                const QColor inside = shot.pixelColor(bar.right() - 2, y);
                const QColor mark = percent == 0 ? shot.pixelColor(bar.left(), y)
                                                 : shot.pixelColor(DataStatusFill(bar, percent).center().x(), y);
                pairs.push_back({mark, inside, model.Name(r)});
            }
            list.clearSelection();
        } else if (what == QLatin1String("rescueMap")) {
            CRescueMapView map;
            map.resize(400, 120);
            const uint64_t quarter = 1 << 20;
            map.SetMap({{0, quarter, RescueState::Rescued},
                        {quarter, quarter, RescueState::Untried},
                        {2 * quarter, quarter, RescueState::Unscraped},
                        {3 * quarter, quarter, RescueState::Bad}},
                       4 * quarter);
            map.show();
            QVERIFY(QTest::qWaitForWindowExposed(&map));
            const QImage shot = map.grab().toImage();
            const QColor background = shot.pixelColor(0, 0);  // the gap above and left of the first cell
            const int side = std::max(6, map.fontMetrics().height() / 2);
            const int columns = std::max(1, (map.width() - 1) / side);
            const int left = std::max(0, (map.width() - 1 - columns * side) / 2);
            const size_t cells = map.Cells().size();
            for (size_t i : {size_t(0), cells / 4 + 1, cells / 2 + 1, cells - 1}) {
                const int x = left + int(i % size_t(columns)) * side + side / 2;
                const int y = int(i / size_t(columns)) * side + side / 2;
                pairs.push_back({shot.pixelColor(x, y), background, QStringLiteral("cell %1").arg(i)});
            }
            QCOMPARE(pairs.size(), size_t(4));
        }
        QVERIFY2(!pairs.empty(), qPrintable(what));
        for (const Pair& p : pairs) {
            QCOMPARE(p.background.alpha(), 255);
            const double ratio = theme::Contrast(p.ink, p.background);
            QVERIFY2(ratio >= least, qPrintable(QStringLiteral("%1: %2 on %3 is %4:1")
                                                    .arg(p.where, p.ink.name(), p.background.name())
                                                    .arg(ratio, 0, 'f', 2)));
        }
    }
};

QTEST_MAIN(ThemeTest)
#include "ThemeTest.moc"
