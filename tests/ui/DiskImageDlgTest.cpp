// File > Create disk image…: the dialog images a real failing device (nbdkit
// behind nbdfuse) through the window, draws the bad area red, says what could
// not be read and opens the image in the browse page; it refuses what the
// command refuses, before anything is written.
#include <QAction>
#include <QLocale>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <deque>
#include <filesystem>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "platform/RescueMap.h"
#include "tests/common/FailingDevice.h"
#include "ui/BrowsePage.h"
#include "ui/DiskImageDlg.h"
#include "ui/MainFrame.h"
#include "ui/RescueMapView.h"
#include "ui/StartUp.h"

namespace {

constexpr uint64_t kBadOffset = 0x13000, kBadLength = 0x1000;  // in the data area of the FAT sample

// The first offset where the image is not the source with the bad range
// zeroed, within [0, limit); -1 when none.
int64_t FirstDifference(const std::vector<uint8_t>& source, const std::vector<uint8_t>& image, uint64_t limit) {
    if (image.size() != source.size()) return 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(limit, source.size()); ++i) {
        const bool bad = i >= kBadOffset && i < kBadOffset + kBadLength;
        if (image[i] != (bad ? 0 : source[i])) return static_cast<int64_t>(i);
    }
    return -1;
}

// Why the failing device cannot be made here ("" when it can).
std::string DeviceMissing() {
    std::string why;
    return testutil::FailingDevice::Available(why) ? std::string() : why;
}

}  // namespace

class DiskImageDlgTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_fat;

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        m_fat = uitest::SampleImage(m_dir, "fat-sample");
    }

    void imagesAFailingDeviceAndOpensTheImage() {
        if (const std::string why = DeviceMissing(); !why.empty()) {
            if (testutil::InCi()) QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        const uint64_t badOffset = kBadOffset, badLength = kBadLength;
        testutil::FailingDevice device(m_dir, m_fat, {{badOffset, badLength}});
        QVERIFY(device.Ready());
        const std::string image = m_dir.file("rescued.img");
        PrepareSettings();
        CMainFrame w(MainFrameOptions::ImagesOnly());
        w.show();
        // The device is the drive in front: the dialog starts on it.
        const QString devicePath = QString::fromStdString(std::filesystem::canonical(device.Path()).string());
        w.OpenImages({devicePath}, true);
        QVERIFY(w.BrowsePage()->OpenDrive(0));

        QString preselected, mapField, message;
        int badCells = -1, rescuedCells = -1;
        uitest::ModalDriver driver({
            [&](QWidget* modal) {
                auto* dialog = qobject_cast<CDiskImageDlg*>(modal);
                if (!dialog) return false;
                preselected = dialog->Source();
                dialog->SetImagePath(QString::fromStdString(image));
                mapField = dialog->MapPath();
                uitest::Click(dialog->findChild<QPushButton*>(QStringLiteral("startButton")));
                return true;
            },
            [&](QWidget* modal) {
                auto* dialog = qobject_cast<CDiskImageDlg*>(modal);
                if (!dialog || !dialog->Finished()) return false;
                message = dialog->Message();
                badCells = dialog->MapView().CellCount(CRescueMapView::Shade::Bad);
                rescuedCells = dialog->MapView().CellCount(CRescueMapView::Shade::Rescued);
                uitest::Click(dialog->findChild<QPushButton*>(QStringLiteral("openImageButton")));
                return true;
            },
        });
        w.findChild<QAction*>(QStringLiteral("createImage"))->trigger();
        QVERIFY(driver.AllDone());
        QCOMPARE(preselected, devicePath);
        QCOMPARE(mapField, QString::fromStdString(image + ".map"));
        QVERIFY2(message.contains(QStringLiteral("bytes in 1 area could not be read; the map %1 names them")
                                      .arg(QString::fromStdString(image + ".map"))),
                 qPrintable(message));
        QVERIFY(badCells > 0);
        QVERIFY(rescuedCells > badCells);

        // The image holds every byte the device gave, nothing where it failed.
        const std::vector<uint8_t> source = testutil::ReadFileBytes(m_fat), copy = testutil::ReadFileBytes(image);
        QCOMPARE(FirstDifference(source, copy, source.size()), int64_t(-1));
        CRescueMap map(source.size());
        std::string error;
        QVERIFY2(map.Load(image + ".map", error), error.c_str());
        QCOMPARE(map.Bytes(RescueState::Bad), badLength);
        QCOMPARE(map.Next(0, RescueState::Bad).offset, badOffset);
        QCOMPARE(map.Bytes(RescueState::Rescued), source.size() - badLength);

        // "Open the image": the image is the drive in front of the browse page, its map known.
        const CBrowsePage& page = *w.BrowsePage();
        QVERIFY(page.CurrentDriveIndex() >= 0);
        const GuiDrive& drive = page.Drives()[static_cast<size_t>(page.CurrentDriveIndex())];
        QCOMPARE(drive.source, QString::fromStdString(std::filesystem::canonical(image).string()));
        QCOMPARE(drive.mapUnreadableBytes, badLength);
    }

    // Stop leaves the map whole and the image true to it; a second run goes
    // on from the map and ends with the whole image.
    void aStoppedCopyGoesOnFromItsMap() {
        if (const std::string why = DeviceMissing(); !why.empty()) {
            if (testutil::InCi()) QFAIL(why.c_str());
            QSKIP(why.c_str());
        }
        testutil::FailingDevice device(m_dir, m_fat, {{kBadOffset, kBadLength}}, "50ms", "slow");
        QVERIFY(device.Ready());
        const std::string image = m_dir.file("resumed.img");
        const std::vector<uint8_t> source = testutil::ReadFileBytes(m_fat);
        for (const bool second : {false, true}) {
            CDiskImageDlg dialog(nullptr, {});
            dialog.SetSource(QString::fromStdString(device.Path()));
            dialog.SetImagePath(QString::fromStdString(image));
            dialog.show();
            QVERIFY2(dialog.StartImaging(), qPrintable(dialog.Message()));
            if (second)
                QVERIFY2(dialog.Message().startsWith(QStringLiteral("Continuing from the map")),
                         qPrintable(dialog.Message()));
            if (!second) {
                QVERIFY(uitest::WaitFor([&] {
                    return dialog.Finished() || dialog.MapView().CellCount(CRescueMapView::Shade::Rescued) > 0;
                }));
                dialog.findChild<QPushButton*>(QStringLiteral("stopButton"))->click();
            }
            QVERIFY(uitest::WaitFor([&] { return dialog.Finished(); }));
            CRescueMap map(source.size());
            std::string error;
            QVERIFY2(map.Load(image + ".map", error), error.c_str());
            const std::vector<uint8_t> copy = testutil::ReadFileBytes(image);
            QCOMPARE(copy.size(), source.size());
            for (const RescueBlock& b : map.Blocks())
                if (b.state == RescueState::Rescued)
                    QVERIFY(std::equal(copy.begin() + b.offset, copy.begin() + b.offset + b.length,
                                       source.begin() + b.offset));
            if (!second && map.Bytes(RescueState::Rescued) + kBadLength < source.size())
                QVERIFY2(dialog.Message().startsWith(QStringLiteral("Stopped.")), qPrintable(dialog.Message()));
            if (second) {
                QVERIFY2(dialog.Message().startsWith(QLocale().toString(4096) +
                                                     QStringLiteral(" bytes in 1 area could not be read")),
                         qPrintable(dialog.Message()));
                QCOMPARE(FirstDifference(source, copy, source.size()), int64_t(-1));
            }
        }
    }

    // "~/x" and relative image and map paths are taken from the home folder:
    // the fields show the files used, and a relative one waits for a second Start.
    void typedPathsAreUnderTheHomeFolder() {
        const QByteArray realHome = qgetenv("HOME");
        const QString home = QString::fromStdString(m_dir.file("home"));
        std::filesystem::create_directories(home.toStdString());
        qputenv("HOME", home.toUtf8());
        const std::vector<uint8_t> source = testutil::ReadFileBytes(m_fat);
        const struct {
            const char* image;
            const char* map;  // nullptr: the map follows the image
            QString imageUsed, mapUsed;
            bool relative;
        } cases[] = {
            {"~/tilde.img", nullptr, home + "/tilde.img", home + "/tilde.img.map", false},
            {"~/maps/../own.img", "~/own.map", home + "/own.img", home + "/own.map", false},
            {"relative.img", nullptr, home + "/relative.img", home + "/relative.img.map", true},
            {"~/mapped.img", "plain.map", home + "/mapped.img", home + "/plain.map", true},
        };
        for (const auto& c : cases) {
            CDiskImageDlg dialog(nullptr, {{QStringLiteral("FAT sample"), QString::fromStdString(m_fat)}});
            dialog.SetImagePath(QString::fromLatin1(c.image));
            if (c.map) dialog.SetMapPath(QString::fromLatin1(c.map));
            if (c.relative) {
                QVERIFY(!dialog.StartImaging());
                QVERIFY2(dialog.Message().contains(QStringLiteral("taken from your home folder")), qPrintable(dialog.Message()));
                QVERIFY(!std::filesystem::exists(c.imageUsed.toStdString()));
            }
            QVERIFY2(dialog.StartImaging(), qPrintable(dialog.Message()));
            QCOMPARE(dialog.ImagePath(), c.imageUsed);
            QCOMPARE(dialog.MapPath(), c.mapUsed);
            QVERIFY(uitest::WaitFor([&] { return dialog.Finished(); }));
            QVERIFY(testutil::ReadFileBytes(c.imageUsed.toStdString()) == source);
            QVERIFY(std::filesystem::exists(c.mapUsed.toStdString()));
        }
        QVERIFY(!std::filesystem::exists("~"));
        qputenv("HOME", realHome);
    }

    // Each refusal is shown in the dialog and nothing is written.
    void refusesBeforeWriting() {
        const std::string other = m_dir.file("other.img");
        testutil::WriteFileBytes(other, std::vector<uint8_t>(4096, 0x5a));
        const std::vector<uint8_t> before = testutil::ReadFileBytes(m_fat);
        const struct {
            std::string image, map;
            QString refusal;
        } cases[] = {
            {m_fat, "",
             QStringLiteral("%1 is the source itself: it is never written").arg(QString::fromStdString(m_fat))},
            {other, "", QStringLiteral("exists and has no map %1").arg(QString::fromStdString(other + ".map"))},
            {m_dir.file("new.img"), m_dir.file("new.img"), QStringLiteral("The image and its map cannot be one file")},
        };
        for (const auto& c : cases) {
            CDiskImageDlg dialog(nullptr, {{QStringLiteral("FAT sample"), QString::fromStdString(m_fat)}});
            QCOMPARE(dialog.Source(), QString::fromStdString(m_fat));
            dialog.SetImagePath(QString::fromStdString(c.image));
            QCOMPARE(dialog.MapPath(), QString::fromStdString(c.image + ".map"));  // the map follows the image
            if (!c.map.empty()) dialog.SetMapPath(QString::fromStdString(c.map));
            QVERIFY(!dialog.StartImaging());
            QVERIFY(!dialog.Running());
            QVERIFY2(dialog.Message().contains(c.refusal), qPrintable(dialog.Message()));
            QVERIFY(!std::filesystem::exists(c.image + ".map"));
        }
        QVERIFY(testutil::ReadFileBytes(m_fat) == before);
        QCOMPARE(testutil::ReadFileBytes(other).size(), size_t(4096));
        QVERIFY(!std::filesystem::exists(m_dir.file("new.img")));

        // A folder on a mount of the source (ntfs-3g names the image it serves): the checker's refusal.
        const std::string tools =
            testutil::HaveTool("ntfs-3g") && testutil::HaveTool("mkntfs") && std::filesystem::exists("/dev/fuse")
                ? ""
                : "ntfs-3g, mkntfs or FUSE is missing";
        if (!tools.empty()) {
            if (testutil::InCi()) QFAIL(tools.c_str());
            QSKIP(tools.c_str());
        }
        const std::string ntfs = m_dir.file("ntfs.img"), mnt = m_dir.file("mnt");
        testutil::MustRun("truncate -s 8M " + testutil::Quote(ntfs) + " && mkntfs -F -f -q " + testutil::Quote(ntfs) +
                          " >/dev/null 2>&1");
        std::filesystem::create_directories(mnt);
        QCOMPARE(testutil::Run("ntfs-3g -o noatime " + testutil::Quote(ntfs) + " " + testutil::Quote(mnt) + " 2>&1")
                     .exitCode,
                 0);
        struct Unmount {
            std::string mnt;
            ~Unmount() { testutil::Run("umount " + testutil::Quote(mnt) + " 2>&1"); }
        } unmount{mnt};
        CDiskImageDlg dialog(nullptr, {{QStringLiteral("NTFS"), QString::fromStdString(ntfs)}});
        dialog.SetImagePath(QString::fromStdString(mnt + "/copy.img"));
        QVERIFY(!dialog.StartImaging());
        QVERIFY2(dialog.Message().contains(QStringLiteral("choose a folder on another drive")),
                 qPrintable(dialog.Message()));
        QVERIFY(!std::filesystem::exists(mnt + "/copy.img"));
        QVERIFY(!std::filesystem::exists(mnt + "/copy.img.map"));
    }
};

QTEST_MAIN(DiskImageDlgTest)
#include "DiskImageDlgTest.moc"
