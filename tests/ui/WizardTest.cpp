// The scan wizard: every transition of its pages, the drive page holding an
// optical disc back, Finish opening the chosen page on the chosen drive, and
// the start-up box stopping the wizard at the next start.
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QPushButton>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <filesystem>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "app/Profile.h"
#include "platform/DriveList.h"
#include "ui/BrowsePage.h"
#include "ui/MainFrame.h"
#include "ui/SearchDlg.h"
#include "ui/StartUp.h"
#include "ui/SurfaceScanWnd.h"
#include "ui/WizardDlg.h"

using namespace uitest;

class WizardTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::string m_fat;

    std::unique_ptr<CMainFrame> Window(bool wizardAtStartUp = false) {
        PrepareSettings();
        MainFrameOptions options = MainFrameOptions::ImagesOnly();
        options.wizardAtStartUp = wizardAtStartUp;
        auto w = std::make_unique<CMainFrame>(options);
        w->OpenImages({QString::fromStdString(m_fat)}, true);
        w->show();
        return w;
    }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        m_fat = uitest::SampleImage(m_dir, "fat-sample");
    }

    void pagesFollowTheTable() {
        auto w = Window();
        DriveListEntry disc;
        disc.device = "/dev/sr0";
        disc.kind = "cdrom";
        disc.filesystem = "iso9660";
        disc.fsDisplay = "ISO9660";
        disc.label = "HOLIDAY_2026";
        const std::vector<WizardDrive> drives = WizardDrives(w->BrowsePage()->Drives(), {disc});
        QCOMPARE(drives.size(), size_t(2));
        QCOMPARE(drives[0].fileSystem, QStringLiteral("FAT"));  // FAT16 reads FAT
        // The row names the image, no letter; its size has its own column.
        const GuiDrive& fat = w->BrowsePage()->Drives()[0];
        QCOMPARE(drives[0].size, uint64_t(std::filesystem::file_size(m_fat)));
        QCOMPARE(drives[0].caption, QStringLiteral("%1 — %2").arg(fat.label, QFileInfo(fat.source).fileName()));
        CWizardDlg wizard(drives, w.get());
        const char16_t letter = drives[0].letter;
        // (move, choice, expected page); moves: n next, b back.
        const struct {
            char move;
            int choice;
            int page;
        } steps[] = {
            {'n', 0, 3},  {'b', 0, 0}, {'n', 0, 3},
            {'n', CWizardDlg::kFirstStepFormatted, 4}, {'b', 0, 3},
            {'n', CWizardDlg::kFirstStepDeleted, 1}, {'b', 0, 3}, {'n', CWizardDlg::kFirstStepDeleted, 1},
        };
        for (const auto& s : steps) {
            if (s.choice) wizard.ChooseFirstStep(s.choice);
            s.move == 'n' ? wizard.Next() : wizard.Back();
            QCOMPARE(wizard.Page(), s.page);
            QVERIFY(!wizard.Header().isEmpty());
        }
        // The optical disc cannot be taken past the drive page; the FAT drive can.
        QVERIFY(wizard.SelectDrive(0));
        QVERIFY(!wizard.NextButton()->isEnabled());
        wizard.Next();
        QCOMPARE(wizard.Page(), 1);
        QVERIFY(wizard.SelectDrive(letter));
        QVERIFY(wizard.NextButton()->isEnabled());
        wizard.Next();
        QCOMPARE(wizard.Page(), 2);
        QVERIFY(!wizard.FinishButton()->isHidden() && wizard.NextButton()->isHidden());
        wizard.Back();
        QCOMPARE(wizard.Page(), 1);
    }

    void finishOpensTheChosenPageOnTheDrive() {
        auto w = Window();
        const struct {
            int choice;  // page 2's option; 0: through page 4
            int page;
        } cases[] = {{CWizardDlg::kWhatNextBrowse, 0}, {CWizardDlg::kWhatNextSearch, 1},
                     {CWizardDlg::kWhatNextScan, 2}, {0, 2}};
        for (const auto& c : cases) {
            w->ShowPage(c.page == 0 ? 2 : 0);
            ModalDriver driver({[&](QWidget* modal) {
                auto* wizard = qobject_cast<CWizardDlg*>(modal);
                if (!wizard) return false;
                wizard->Next();
                wizard->ChooseFirstStep(c.choice ? CWizardDlg::kFirstStepDeleted : CWizardDlg::kFirstStepFormatted);
                wizard->Next();
                if (c.choice) {
                    wizard->SelectDrive(w->BrowsePage()->Drives()[0].letter);
                    wizard->Next();
                    wizard->ChooseWhatNext(c.choice);
                } else {
                    wizard->CloseBox()->setChecked(true);  // page 4: the main window is asked to close
                }
                QTimer::singleShot(0, wizard, &CWizardDlg::Finish);
                return true;
            }});
            w->OpenWizard();
            QVERIFY(driver.AllDone());
            QCOMPARE(w->CurrentPage(), c.page);
            if (c.page == 0) QCOMPARE(w->BrowsePage()->CurrentDriveIndex(), 0);
            if (c.page == 1) QCOMPARE(w->SearchPage()->DriveBox()->currentData().toInt(), 0);
            if (c.choice == CWizardDlg::kWhatNextScan) QCOMPARE(w->ScanPage()->DriveBox()->currentData().toInt(), 0);
            if (!c.choice) QVERIFY(uitest::WaitFor([&] { return !w->isVisible(); }, 5000));
        }
    }

    // Centred on the main window; where that would put its top off the
    // screen, moved down so that the banner stays in sight.
    void theWizardOpensOverTheWindowWithItsBannerInSight() {
        auto w = Window();
        const QRect room = w->screen()->availableGeometry();
        const struct {
            QPoint at;
            bool centred;
        } cases[] = {{room.topLeft() + QPoint(40, 40), true}, {room.topLeft() + QPoint(0, -420), false}};
        for (const auto& c : cases) {
            w->resize(700, 500);
            w->move(c.at);
            QRect wizardFrame, banner;
            ModalDriver driver({[&](QWidget* modal) {
                auto* wizard = qobject_cast<CWizardDlg*>(modal);
                if (!wizard || !wizard->isVisible()) return false;
                wizardFrame = wizard->frameGeometry();
                auto* label = wizard->findChild<QLabel*>(QStringLiteral("wizardBanner"));
                banner = QRect(label->mapToGlobal(QPoint(0, 0)), label->size());
                QTimer::singleShot(0, wizard, &CWizardDlg::reject);
                return true;
            }});
            w->OpenWizard();
            QVERIFY(driver.AllDone());
            if (c.centred) QVERIFY((wizardFrame.center() - w->frameGeometry().center()).manhattanLength() <= 2);
            QVERIFY2(room.contains(banner), qPrintable(QStringLiteral("banner at %1,%2").arg(banner.x()).arg(banner.y())));
        }
    }

    void startUpBoxStopsTheWizardAtTheNextStart() {
        CXMLProfile::Instance().WriteInt("Wizard", "ShowOnStartUp", 1);
        CXMLProfile::Instance().WriteInt("Wizard", "TipLaunchWizard", 1);
        CXMLProfile::Instance().Save();
        bool opened = false, ticked = false;
        {
            ModalDriver driver({[&](QWidget* modal) {
                auto* wizard = qobject_cast<CWizardDlg*>(modal);
                if (!wizard) return false;
                opened = true;
                ticked = wizard->StartUpBox()->isChecked();
                wizard->StartUpBox()->setChecked(false);
                QTimer::singleShot(0, wizard, &CWizardDlg::reject);
                return true;
            }});
            auto w = Window(true);
            QVERIFY(uitest::WaitFor([&] { return driver.AllDone(); }, 20000));
            QVERIFY(uitest::WaitFor([&] { return !QApplication::activeModalWidget(); }, 5000));
            QVERIFY(w->BrowsePage()->LastHint().isEmpty());  // the wizard, not its hint
        }
        QVERIFY(opened && ticked);
        QCOMPARE(CXMLProfile::Instance().ReadInt("Wizard", "ShowOnStartUp", 1), 0);
        auto w = Window(true);
        QTest::qWait(300);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(uitest::WaitFor([&] { return !w->BrowsePage()->LastHint().isEmpty(); }, 5000));
    }
};

QTEST_MAIN(WizardTest)
#include "WizardTest.moc"
