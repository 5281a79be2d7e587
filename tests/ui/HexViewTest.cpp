// The hex view and the properties' placement tab, offscreen on the NTFS
// sample: the bytes the hex view shows are those `quarlix cat` writes (the
// overwritten start of /Docs/budget.xls marked, reading lazy), and the runs
// both list are those of `quarlix --json stat`; the same from the search
// page's hits and on a copy with a rescue map (unreadable rows marked).
#include <QAction>
#include <QComboBox>
#include <filesystem>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/EmbedQuickView.h"
#include "ui/FileListModel.h"
#include "ui/HexViewDlg.h"
#include "ui/MainFrame.h"
#include "ui/PropDlg.h"
#include "ui/SearchDlg.h"
#include "ui/StartUp.h"

using testutil::Quote;

namespace {

// Drive 1 is a copy of the sample with a rescue map beside it that marks
// cluster 1445 (bytes 8192-9215 of budget.xls) not rescued.
constexpr uint64_t kBadOffset = 2890 * 512, kBadLength = 1024;
struct Sample {
    int drive;
    const char* folder;
    const char* name;
    bool deleted;
    int overwrittenRows;  // leading rows marked overwritten
    int unreadableFrom = -1, unreadableTo = -1;  // rows marked unreadable
    bool search = false;                         // taken from the search page's hits
};
// Resident, sparse and compressed, partly overwritten with a named stream, existing, partly unreadable.
const Sample kSamples[] = {{0, "/Docs", "budget.xls", true, 3072 / 16},
                           {0, "/Docs", "old-notes.txt", true, 0},
                           {0, "/Archive", "log.txt", true, 0},
                           {0, "/Docs", "report.txt", false, 0},
                           {1, "/Docs", "budget.xls", true, 3072 / 16, 8192 / 16, 9215 / 16},
                           {0, "/Docs", "budget.xls", true, 3072 / 16, -1, -1, true}};

QString Path(const Sample& s) { return QString::fromLatin1(s.folder) + QLatin1Char('/') + QLatin1String(s.name); }

}  // namespace

class HexViewTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_ntfs, m_mapped;
    const std::string& Image(const Sample& s) const { return s.drive == 0 ? m_ntfs : m_mapped; }
    std::unique_ptr<CMainFrame> m_w;

    // Makes the sample's row current in the browse list, or in the search
    // page's hits of 19-21 kB (the page then in front).
    bool Select(const Sample& s) {
        m_w->ShowPage(s.search ? 1 : 0);
        if (s.search) {
            CSearchDlg& search = *m_w->SearchPage();
            search.DriveBox()->setCurrentIndex(search.DriveBox()->findData(s.drive));
            search.UseName()->setChecked(false);
            search.UseDate()->setChecked(false);
            search.UseSize()->setChecked(true);
            search.SizeFrom()->setText(QStringLiteral("19"));
            search.SizeTo()->setText(QStringLiteral("21"));
            if (!search.StartSearch() || !uitest::WaitFor([&] { return !search.Searching(); })) return false;
            const CFileListModel& m = search.ResultModel();
            for (int r = 0; r < m.rowCount(); ++r)
                if (m.Name(r) == QLatin1String(s.name)) {
                    auto* proxy = qobject_cast<QSortFilterProxyModel*>(search.Results()->model());
                    search.Results()->setCurrentIndex(proxy->mapFromSource(m.index(r, 0)));
                    return true;
                }
            return false;
        }
        CBrowsePage& page = *m_w->BrowsePage();
        if (!page.OpenDrive(s.drive) || !page.SelectFolder(QString::fromLatin1(s.folder))) return false;
        const CFileListModel& m = page.ListModel();
        for (int r = 0; r < m.rowCount(); ++r)
            if (m.Name(r) == QLatin1String(s.name) && m.Item(r).deleted == s.deleted) {
                auto* proxy = qobject_cast<QSortFilterProxyModel*>(page.List()->model());
                page.List()->setCurrentIndex(proxy->mapFromSource(m.index(r, 0)));
                return true;
            }
        return false;
    }

    // Triggers the Actions menu command and hands its modal dialog to check.
    template <typename Dialog>
    void WithDialog(const char* action, const std::function<void(Dialog&)>& check) {
        bool seen = false;
        uitest::ModalDriver driver({[&](QWidget* modal) {
            auto* d = qobject_cast<Dialog*>(modal);
            if (!d) return false;
            seen = true;
            check(*d);
            QTimer::singleShot(0, d, &QDialog::reject);
            return true;
        }});
        auto* a = m_w->findChild<QAction*>(QLatin1String(action));
        QVERIFY(a && a->isEnabled());
        a->trigger();
        QVERIFY(seen);
    }

    // The runs `quarlix --json stat` gives: cluster (or "sparse"), count, sector per row.
    QList<QStringList> StatRuns(const Sample& s, int* streams) {
        const std::string out = uitest::Quarlix("--json stat " + Quote(Image(s)) + " " + Quote(Path(s).toStdString()));
        // The JSON line (a note on the rescue map comes on its own line before it).
        const size_t line = out.find("\n{");
        const QJsonObject o =
            QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(out[0] == '{' || line == std::string::npos ? 0 : line + 1)))
                .object();
        *streams = static_cast<int>(o.value(QLatin1String("streams")).toArray().size());
        QList<QStringList> rows;
        for (const QJsonValue& v : o.value(QLatin1String("runs")).toArray()) {
            const QJsonObject r = v.toObject();
            const bool sparse = r.value(QLatin1String("lcn")).isNull();
            rows.push_back({sparse ? QStringLiteral("sparse") : QLocale().toString(r.value(QLatin1String("lcn")).toInteger()),
                            QLocale().toString(r.value(QLatin1String("length")).toInteger()),
                            sparse ? QString() : QLocale().toString(r.value(QLatin1String("sector")).toInteger())});
        }
        return rows;
    }

    static QList<QStringList> TreeRuns(QWidget& dialog) {
        QList<QStringList> rows;
        auto* tree = dialog.findChild<QTreeWidget*>(QStringLiteral("runs"));
        if (!tree) return rows;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* it = tree->topLevelItem(i);
            rows.push_back({it->text(1), it->text(2), it->text(4)});
        }
        return rows;
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        m_ntfs = uitest::SampleImage(m_dir, "ntfs-sample");
        m_mapped = m_dir.file("mapped.img");
        std::filesystem::copy_file(m_ntfs, m_mapped);
        const uint64_t size = std::filesystem::file_size(m_mapped);
        const std::string map = "# Mapfile\n0 +\n0 " + std::to_string(kBadOffset) + " +\n" + std::to_string(kBadOffset) +
                                " " + std::to_string(kBadLength) + " -\n" + std::to_string(kBadOffset + kBadLength) +
                                " " + std::to_string(size - kBadOffset - kBadLength) + " +\n";
        testutil::WriteFileBytes(m_mapped + ".map", std::vector<uint8_t>(map.begin(), map.end()));
        PrepareSettings();
        m_w = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        m_w->show();
        m_w->OpenImages({QString::fromStdString(m_ntfs), QString::fromStdString(m_mapped)}, true);
        QVERIFY(m_w->BrowsePage()->OpenDrive(0));
    }

    void cleanupTestCase() { m_w.reset(); }

    void hexViewShowsWhatCatWrites() {
        for (const Sample& s : kSamples) {
            QVERIFY2(Select(s), s.name);
            const std::string catFile = m_dir.file(std::string("cat-") + s.name);
            uitest::Quarlix("cat --force " + Quote(Image(s)) + " " + Quote(Path(s).toStdString()) + " > " +
                            Quote(catFile) + " 2>/dev/null; true");
            const std::vector<uint8_t> expected = testutil::ReadFileBytes(catFile);
            QVERIFY2(!expected.empty(), s.name);
            int statStreams = 0;
            const QList<QStringList> statRuns = s.deleted ? StatRuns(s, &statStreams) : QList<QStringList>();
            WithDialog<CHexViewDlg>("hexView", [&](CHexViewDlg& d) {
                const CHexModel& m = *d.Model();
                // Only what is in view was read: one chunk of the 60000 bytes of log.txt.
                QVERIFY2(m.ChunksRead() <= 1, s.name);
                QCOMPARE(m.rowCount(), int((expected.size() + 15) / 16));
                // The window never waits for a read: a row not read yet shows "…" until its chunk comes.
                const QModelIndex last = m.index(m.rowCount() - 1, 1);
                if (expected.size() > 16 * 1024) {
                    QCOMPARE(last.data().toString(), QStringLiteral("…"));
                    QVERIFY(uitest::WaitFor([&] { return last.data().toString() != QStringLiteral("…"); }));
                }
                std::vector<uint8_t> shown;
                for (int r = 0; r < m.rowCount(); ++r) {
                    m.RowBytes(r);  // read on the model's thread: waits for the row's chunk
                    for (const QString& hex : m.index(r, 1).data().toString().split(QLatin1Char(' '), Qt::SkipEmptyParts))
                        shown.push_back(static_cast<uint8_t>(hex.toUInt(nullptr, 16)));
                    const auto mark = r >= s.unreadableFrom && r <= s.unreadableTo ? CHexModel::Mark::Unreadable
                                      : r < s.overwrittenRows                              ? CHexModel::Mark::Overwritten
                                                                                           : CHexModel::Mark::None;
                    if (m.RowMark(r) != mark) QFAIL(qPrintable(QStringLiteral("%1: row %2 marked wrongly").arg(QLatin1String(s.name)).arg(r)));
                    QCOMPARE(m.index(r, 0).data(Qt::BackgroundRole).isValid(), mark != CHexModel::Mark::None);
                }
                QVERIFY2(shown == expected, s.name);
                // Reading it back from the start opens the file again and gives the same bytes.
                QCOMPARE(m.RowBytes(0), std::vector<uint8_t>(expected.begin(), expected.begin() + std::min<size_t>(16, expected.size())));
                QCOMPARE(TreeRuns(d), statRuns);
            });
        }
    }

    void propertiesPlacementTabListsStatRuns() {
        for (const Sample& s : kSamples) {
            if (!s.deleted || s.search) continue;
            QVERIFY2(Select(s), s.name);
            int statStreams = 0;
            const QList<QStringList> statRuns = StatRuns(s, &statStreams);
            WithDialog<CPropDlg>("properties", [&](CPropDlg& d) {
                auto* tabs = d.findChild<QTabWidget*>(QStringLiteral("propertyTabs"));
                QVERIFY(tabs && tabs->count() == 2);
                QCOMPARE(TreeRuns(d), statRuns);
                auto* streams = d.findChild<QTreeWidget*>(QStringLiteral("streams"));
                QVERIFY2(streams, s.name);
                QCOMPARE(streams->topLevelItemCount(), statStreams);
            });
        }
    }

    // A file without a preview of its kind offers the hex view from the pane.
    void paneOffersTheHexViewForBinaryContent() {
        QVERIFY(Select(kSamples[0]));
        CEmbedQuickView& pane = *m_w->findChild<CEmbedQuickView*>(QStringLiteral("previewPane"));
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingMessage(); }));
        QVERIFY(pane.HexViewButton()->isVisible());
        bool seen = false;
        uitest::ModalDriver driver({[&](QWidget* modal) {
            auto* d = qobject_cast<CHexViewDlg*>(modal);
            if (!d) return false;
            seen = d->windowTitle().contains(QLatin1String("budget.xls"));
            QTimer::singleShot(0, d, &QDialog::reject);
            return true;
        }});
        pane.HexViewButton()->click();
        QVERIFY(seen);
        QVERIFY(Select(kSamples[1]));  // text: no button
        QVERIFY(uitest::WaitFor([&] { return pane.ShowingText(); }));
    }
};

QTEST_MAIN(HexViewTest)
#include "HexViewTest.moc"
