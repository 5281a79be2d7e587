// Whole folders and drag and drop on the real window, offscreen, on the
// sample images: "Recover everything deleted here" writes what
// `quarlix recover --all` writes for that folder, from each of its three
// places; an image dropped on the window opens as a drive; items dragged
// out of the lists are recovered into the folder a file manager drops them
// on (its call over a session bus of the test's own) after the recovery
// dialog's checks.
#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <filesystem>
#include <map>
#include <memory>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "ui/BrowsePage.h"
#include "ui/ItemDrag.h"
#include "ui/MainFrame.h"
#include "ui/StartUp.h"

namespace {

// relative path -> bytes ("/" for a folder) of what lies under root, kept to
// `folder` ("" for all of it), the folders that lead to it and what lies below it.
using FileTree = std::map<std::string, std::string>;
FileTree TreeOf(const std::string& root, const std::string& folder = {}) {
    FileTree tree;
    if (!std::filesystem::exists(root)) return tree;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string path = std::filesystem::relative(e.path(), root).string();
        if (!folder.empty() && path != folder && path.rfind(folder + "/", 0) != 0 && folder.rfind(path + "/", 0) != 0)
            continue;
        if (e.is_directory()) {
            tree[path] = "/";
        } else {
            const std::vector<uint8_t> bytes = testutil::ReadFileBytes(e.path().string());
            tree[path] = std::string(bytes.begin(), bytes.end());
        }
    }
    return tree;
}

// Triggers the entry of the context menu a widget opens at `at`; false
// when the menu had no such enabled entry.
bool ChooseInContextMenu(QWidget* widget, QPoint at, const QString& text) {
    bool found = false;
    QTimer::singleShot(100, widget, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        for (QAction* a : menu->actions())
            if (a->text() == text && a->isEnabled()) {
                found = true;
                menu->hide();
                a->trigger();
                return;
            }
        menu->close();
    });
    emit widget->customContextMenuRequested(at);
    QApplication::processEvents();
    return found;
}

const QString kRecoverHere = QStringLiteral("Recover everything deleted here…");

}  // namespace

class FolderRecoveryTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    QProcess m_bus;
    QDBusConnection m_fileManager {QStringLiteral("none")};
    std::string m_images[2];
    std::string m_all[2];  // what `recover --all` wrote for each image

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        // A session bus of the test's own, for the file manager's drop.
        if (!testutil::HaveTool("dbus-daemon")) {
            if (testutil::InCi()) QFAIL("dbus-daemon missing");
            QSKIP("dbus-daemon missing");
        }
        const QString address = uitest::StartSessionBus(m_bus);
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        m_fileManager = QDBusConnection::connectToBus(address, QStringLiteral("file-manager"));
        QVERIFY(m_fileManager.isConnected());
        const char* names[] = {"fat-sample", "ntfs-sample"};
        for (int i = 0; i < 2; ++i) {
            m_images[i] = uitest::SampleImage(m_dir, names[i]);
            m_all[i] = m_dir.file(std::string("all-") + names[i]);
            // The NTFS sample's overwritten file makes the run partial (exit 1), not failed.
            const auto run = testutil::Run(testutil::Quote(testutil::BinDir() + "/quarlix") + " --progress never recover " +
                                           testutil::Quote(m_images[i]) + " --all --to " + testutil::Quote(m_all[i]) +
                                           " >/dev/null 2>&1");
            QVERIFY2(run.exitCode == 0 || run.exitCode == 1, names[i]);
            QVERIFY(!TreeOf(m_all[i]).empty());
        }
    }

    void cleanupTestCase() {
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void everythingDeletedHereIsWhatRecoverAllWrites() {
        enum class Via { ActionsMenu, TreeMenu, ListMenu };
        const struct {
            int image;
            const char* folder;  // as the tree shows it
            Via via;             // ListMenu: the folder selected in its parent's list
            const char* written;  // the part of `recover --all`'s output ("" for all of it)
        } cases[] = {
            {0, "/", Via::ActionsMenu, ""},  // the root: every deleted item
            {0, "/Docs", Via::TreeMenu, "Docs"},
            {0, "/Trash", Via::ListMenu, "Trash"},  // a deleted folder: its tree
            {1, "/", Via::TreeMenu, ""},            // with the lost folders
            {1, "/Docs", Via::ActionsMenu, "Docs"},  // with a named stream
            {1, "/$LostFolders/Folder64", Via::ListMenu, "$LostFolders/Folder64"},
        };
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(m_images[0]), QString::fromStdString(m_images[1])}, true);
        CBrowsePage& page = *w.BrowsePage();
        int run = 0;
        for (const auto& c : cases) {
            QVERIFY(page.OpenDrive(c.image));
            QVERIFY2(page.SelectFolder(QString::fromLatin1(c.folder)), c.folder);
            const std::string out = m_dir.file("here" + std::to_string(run++));
            uitest::ProgressSeen progress;
            uitest::ModalDriver driver({uitest::FillDestination(out, nullptr), uitest::RunProgress(&progress)});
            switch (c.via) {
                case Via::ActionsMenu: w.findChild<QAction*>(QStringLiteral("recoverAllHere"))->trigger(); break;
                case Via::TreeMenu: {
                    const QRect item = page.Tree()->visualRect(page.Tree()->currentIndex());
                    QVERIFY2(ChooseInContextMenu(page.Tree(), item.center(), kRecoverHere), c.folder);
                    break;
                }
                case Via::ListMenu: {
                    QVERIFY(page.ShowTreeFolderInParent());
                    const QRect row = page.List()->visualRect(page.List()->currentIndex());
                    QVERIFY2(ChooseInContextMenu(page.List(), row.center(), kRecoverHere), c.folder);
                    break;
                }
            }
            QVERIFY2(driver.AllDone(), c.folder);
            const FileTree written = TreeOf(out);
            QVERIFY2(!written.empty(), c.folder);
            QCOMPARE(written, TreeOf(m_all[c.image], c.written));
        }
    }

    // Image files dropped on the window open as drives, the first one shown;
    // anything else dropped there is not taken.
    void droppedImagesOpenAsDrives() {
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        CBrowsePage& page = *w.BrowsePage();
        QMimeData ours;  // items dragged out of the window's own lists
        ours.setData(QStringLiteral("application/x-quarlix-items"), QByteArray("x"));
        ours.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_images[0]))});
        QMimeData folder, images;
        folder.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_dir.file("")))});
        images.setUrls({QUrl::fromLocalFile(QString::fromStdString(m_images[1])),
                        QUrl::fromLocalFile(QString::fromStdString(m_images[0])), QUrl(QStringLiteral("https://example.org/a.img"))});
        const struct {
            const QMimeData* data;
            bool taken;
            size_t drives;  // then in the tree
        } cases[] = {{&ours, false, 0}, {&folder, false, 0}, {&images, true, 2}, {&images, true, 2}};
        for (const auto& c : cases) {
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, c.data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            QCOMPARE(enter.isAccepted(), c.taken);
            QDropEvent drop(QPointF(20, 20), Qt::CopyAction, c.data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &drop);
            QCOMPARE(drop.isAccepted(), c.taken);
            QVERIFY(uitest::WaitFor([&] { return page.Drives().size() == c.drives && (!c.taken || page.CurrentVolume()); }));
            if (!c.taken) continue;
            // The first image dropped is the drive shown, its root listed (a second drop shows it again).
            QCOMPARE(page.CurrentDrive()->source, QString::fromStdString(m_images[1]));
            QCOMPARE(page.ListModel().Folder().path, std::string("/"));
            QVERIFY(page.ListModel().rowCount() > 0);
        }
    }

    // Deleted items dragged out of the browse list onto a folder are
    // recovered there as `recover --all` writes them; the drag's data
    // carries only what can be recovered, and a folder on a mount of the
    // source, or no folder at all, is refused with nothing written.
    void draggedItemsAreRecoveredWhereDropped() {
        const std::string mnt = m_dir.file("mnt");
        std::filesystem::create_directories(mnt);
        const bool mounted = testutil::HaveTool("ntfs-3g") && std::filesystem::exists("/dev/fuse") &&
                             testutil::Run("ntfs-3g -o ro,noatime " + testutil::Quote(m_images[1]) + " " +
                                           testutil::Quote(mnt) + " 2>&1")
                                     .exitCode == 0;
        struct Unmount {
            std::string mnt;
            bool mounted;
            ~Unmount() {
                if (mounted) testutil::Run("umount " + testutil::Quote(mnt) + " 2>&1");
            }
        } unmount {mnt, mounted};
        if (!mounted && testutil::InCi()) QFAIL("ntfs-3g or FUSE is missing");
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        w.OpenImages({QString::fromStdString(m_images[0]), QString::fromStdString(m_images[1])}, true);
        CBrowsePage& page = *w.BrowsePage();
        const struct {
            int image;
            const char* folder;     // every row of it selected and dragged
            std::string dropOn;
            std::vector<std::string> written;  // of `recover --all`'s output for the folder; none: refused
            const char* refusal;
        } cases[] = {
            {0, "/", m_dir.file("dropped-fat"), {"Trash", "_eadme.txt"}, ""},
            {1, "/Docs", m_dir.file("dropped-ntfs"), {"budget.xls", "budget.xls:summary", "old-notes.txt"}, ""},
            {1, "/Docs", mnt + "/out", {}, "another drive"},
            {0, "/", m_images[0], {}, "not a folder"},
        };
        for (const auto& c : cases) {
            if (!mounted && c.dropOn.rfind(mnt, 0) == 0) continue;
            QVERIFY(page.OpenDrive(c.image));
            QVERIFY(page.SelectFolder(QString::fromLatin1(c.folder)));
            page.List()->selectAll();
            // What the view's drag carries: the selected rows it may drag.
            QModelIndexList dragged;
            for (const QModelIndex& index : page.List()->selectionModel()->selectedRows())
                if (index.flags() & Qt::ItemIsDragEnabled) dragged << index;
            QVERIFY(!dragged.isEmpty() && dragged.size() < page.List()->model()->rowCount());  // live rows stay
            std::unique_ptr<QMimeData> data(page.List()->model()->mimeData(dragged));
            QVERIFY(data && data->hasFormat(QStringLiteral("application/x-quarlix-items")));
            page.SelectFolder(QStringLiteral("/"));  // the list may show another folder by the drop
            QString refusal;
            uitest::ProgressSeen progress;
            std::deque<uitest::ModalDriver::Step> steps;
            if (*c.refusal) steps.push_back(uitest::Answer(QMessageBox::Ok, &refusal));
            else steps.push_back(uitest::RunProgress(&progress));
            uitest::ModalDriver driver(std::move(steps));
            // Dropped as a file manager drops it: a call to the window over the session bus.
            QVERIFY(data->hasFormat(QLatin1String(kDndServiceMimeType)) && data->hasFormat(QLatin1String(kDndPathMimeType)));
            QDBusMessage drop = QDBusMessage::createMethodCall(
                QString::fromUtf8(data->data(QLatin1String(kDndServiceMimeType))),
                QString::fromUtf8(data->data(QLatin1String(kDndPathMimeType))), QStringLiteral("org.kde.ark.DndExtract"),
                QStringLiteral("extractSelectedFilesTo"));
            drop.setArguments({QUrl::fromLocalFile(QString::fromStdString(c.dropOn)).toString()});
            QVERIFY(m_fileManager.send(drop));
            QVERIFY2(uitest::WaitFor([&] { return driver.AllDone(); }, 120000), c.dropOn.c_str());
            if (*c.refusal) {
                QVERIFY2(refusal.contains(QLatin1String(c.refusal)), qPrintable(refusal));
                QVERIFY(!std::filesystem::exists(c.dropOn) || std::filesystem::is_regular_file(c.dropOn));
                continue;
            }
            FileTree expected;
            for (const std::string& part : c.written) expected.merge(TreeOf(m_all[c.image] + c.folder, part));
            QCOMPARE(TreeOf(c.dropOn), expected);
        }
    }
};

QTEST_MAIN(FolderRecoveryTest)
#include "FolderRecoveryTest.moc"
