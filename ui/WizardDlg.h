// CWizardDlg: the scan wizard. It asks what happened, lets the user pick a
// drive, and tells the main window which page to open on it: browse, search
// or surface scan. Pages by index: 0 welcome, 3 first step, 1 drive, 2 what
// next, 4 the surface scan's page (Congr). The start-up box is
// Wizard/ShowOnStartUp; Finish and Cancel both store it.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTreeWidget;

// One row of the drive page.
struct WizardDrive {
    char16_t letter = 0;
    QString label;
    QString caption;     // the row's text: DriveCaption, or the label of a device that cannot be chosen
    QString type;        // "Disk image", "Block device", ...
    QString fileSystem;  // "NTFS", "FAT32", "FAT" (FAT12/16), or another ("CDFS", "")
    uint64_t size = 0;
};

struct GuiDrive;
struct DriveListEntry;
// The drive page's rows: the window's drives (FAT12 and FAT16 read "FAT", as
// the drive page compares), then the machine's readable devices that hold
// no supported file system (an optical disc), which cannot be chosen.
std::vector<WizardDrive> WizardDrives(const std::vector<GuiDrive>& drives, const std::vector<DriveListEntry>& devices);

// The wizard's choice.
enum class WizardAction { None, Browse, Search, SurfaceScan };

class CWizardDlg : public QDialog {
    Q_OBJECT
public:
    // The control ids of the choices.
    static constexpr int kFirstStepFormatted = 1147;  // page 3: formatted / no folder shows the files
    static constexpr int kFirstStepDeleted = 1146;
    static constexpr int kWhatNextBrowse = 1114;      // page 2
    static constexpr int kWhatNextSearch = 1115;
    static constexpr int kWhatNextScan = 1116;

    CWizardDlg(std::vector<WizardDrive> drives, QWidget* parent);

    // The page shown (0..4) and the moves a user makes.
    int Page() const { return m_page; }
    void Next();
    void Back();
    void Finish();
    void reject() override;  // Cancel: the start-up box is stored too
    void ChooseFirstStep(int id);
    void ChooseWhatNext(int id);
    bool SelectDrive(char16_t letter);

    WizardAction Action() const { return m_action; }
    char16_t Drive() const { return m_drive; }
    // Page 4's box: the main window is asked to close.
    bool CloseRequested() const { return m_closeRequested; }
    QCheckBox* StartUpBox() const { return m_startUp; }
    QCheckBox* CloseBox() const { return m_closeBox; }
    QPushButton* NextButton() const { return m_next; }
    QPushButton* BackButton() const { return m_back; }
    QPushButton* FinishButton() const { return m_finish; }
    QString Header() const;

protected:
    // Centred on the main window, kept on its screen with the banner (the
    // top) in sight.
    void showEvent(QShowEvent* event) override;

private:
    void Show(int page);
    void StoreStartUp();
    void DriveSelected();

    std::vector<WizardDrive> m_drives;
    int m_page = 0;
    char16_t m_drive = 0;
    WizardAction m_action = WizardAction::None;
    bool m_closeRequested = false;
    QLabel* m_header = nullptr;
    QStackedWidget* m_pages = nullptr;
    std::vector<QWidget*> m_byIndex;  // the five pages by their index
    QButtonGroup* m_firstStep = nullptr;
    QButtonGroup* m_whatNext = nullptr;
    QTreeWidget* m_driveList = nullptr;
    QCheckBox* m_startUp = nullptr;
    QCheckBox* m_closeBox = nullptr;
    QPushButton* m_back = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_finish = nullptr;
};
