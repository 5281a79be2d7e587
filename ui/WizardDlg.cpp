#include "ui/WizardDlg.h"

#include <QButtonGroup>
#include <QFileInfo>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/Profile.h"
#include "platform/DriveList.h"
#include "ui/BrowsePage.h"
#include "ui/FileListModel.h"
#include "ui/Format.h"
#include "ui/Texts.h"

namespace {

constexpr int kLetterRole = Qt::UserRole + 30;

QWidget* TextPage(const QString& title, const QString& text, QWidget* parent) {
    auto* page = new QWidget(parent);
    page->setWindowTitle(title);
    auto* layout = new QVBoxLayout(page);
    auto* body = new QLabel(text, page);
    body->setWordWrap(true);
    layout->addWidget(body);
    return page;
}

// A page with a question and its options; the group carries the control ids.
QWidget* ChoicePage(const QString& title, const QString& question,
                    std::initializer_list<std::pair<int, QString>> options, QButtonGroup*& group, QWidget* parent) {
    auto* page = TextPage(title, question, parent);
    group = new QButtonGroup(page);
    bool first = true;
    for (const auto& [id, caption] : options) {
        auto* b = new QRadioButton(caption, page);
        b->setObjectName(QStringLiteral("choice%1").arg(id));
        b->setChecked(first);
        first = false;
        group->addButton(b, id);
        page->layout()->addWidget(b);
    }
    static_cast<QVBoxLayout*>(page->layout())->addStretch(1);
    return page;
}

}  // namespace

std::vector<WizardDrive> WizardDrives(const std::vector<GuiDrive>& drives, const std::vector<DriveListEntry>& devices) {
    std::vector<WizardDrive> out;
    for (const GuiDrive& d : drives) {
        if (!d.error.isEmpty() || !d.letter) continue;
        WizardDrive w;
        w.letter = d.letter;
        w.label = d.label;
        w.caption = DriveCaption(d, false);  // the size has its column
        w.type = d.source.startsWith(QLatin1String("/dev/")) ? CWizardDlg::tr("Device") : CWizardDlg::tr("Disk image");
        w.fileSystem = d.fileSystem.startsWith(QLatin1String("FAT1")) ? QStringLiteral("FAT") : d.fileSystem;
        w.size = d.size;
        out.push_back(std::move(w));
    }
    for (const DriveListEntry& e : devices) {
        if (e.supported || !e.readable) continue;
        WizardDrive w;
        w.label = QString::fromStdString(e.label.empty() ? e.device : e.label + " (" + e.device + ")");
        w.caption = w.label;
        w.type = e.kind == "cdrom" ? CWizardDlg::tr("Optical disc") : QString::fromStdString(e.kind);
        w.fileSystem = QString::fromStdString(e.fsDisplay);
        w.size = e.size;
        out.push_back(std::move(w));
    }
    return out;
}

CWizardDlg::CWizardDlg(std::vector<WizardDrive> drives, QWidget* parent) : QDialog(parent), m_drives(std::move(drives)) {
    setObjectName(QStringLiteral("scanWizard"));
    setWindowTitle(tr("Scan wizard"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* banner = new QLabel(this);
    banner->setObjectName(QStringLiteral("wizardBanner"));
    banner->setPixmap(QIcon(QStringLiteral(":/icons/scan.svg")).pixmap(48, 48));
    m_header = new QLabel(this);
    QFont f = m_header->font();
    f.setPointSizeF(f.pointSizeF() * 1.3);
    f.setBold(true);
    m_header->setFont(f);
    top->addWidget(banner);
    top->addWidget(m_header, 1);
    layout->addLayout(top);
    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages, 1);

    m_byIndex.resize(5);
    m_byIndex[0] = TextPage(tr("Welcome"),
                            tr("This wizard helps you get deleted files back. It asks what happened, lets you pick "
                               "the drive, and opens the best way to find your files.\n\nNothing is ever written to "
                               "the drive you recover from: recover onto another drive."),
                            this);
    static_cast<QVBoxLayout*>(m_byIndex[0]->layout())->addStretch(1);
    m_byIndex[3] = ChoicePage(tr("What happened?"), tr("Which describes your loss best?"),
                              {{kFirstStepDeleted, tr("I deleted files or folders, or emptied the recycle bin")},
                               {kFirstStepFormatted, tr("The drive was formatted, or my files are in no folder any more")}},
                              m_firstStep, this);
    auto* drivePage = TextPage(tr("Choose the drive"),
                               tr("Choose the drive that held the files. Only NTFS, FAT and exFAT drives can be searched "
                                  "this way."),
                               this);
    m_driveList = new QTreeWidget(drivePage);
    m_driveList->setObjectName(QStringLiteral("wizardDrives"));
    m_driveList->setRootIsDecorated(false);
    m_driveList->setHeaderLabels({tr("Drive"), tr("Type"), tr("File system"), tr("Size")});
    for (const WizardDrive& d : m_drives) {
        auto* row = new QTreeWidgetItem(
            m_driveList, {d.caption, d.type, d.fileSystem, d.size ? HumanSize(d.size) : QString()});
        row->setIcon(0, CFileTypes::DriveIcon());
        row->setData(0, kLetterRole, static_cast<int>(d.letter));
    }
    m_driveList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    drivePage->layout()->addWidget(m_driveList);
    connect(m_driveList, &QTreeWidget::currentItemChanged, this, &CWizardDlg::DriveSelected);
    m_byIndex[1] = drivePage;
    m_byIndex[2] = ChoicePage(tr("How to look"), tr("How would you like to look for your files?"),
                              {{kWhatNextBrowse, tr("Browse the drive's folders, deleted items beside the others")},
                               {kWhatNextSearch, tr("Search the deleted items by name, size and date")},
                               {kWhatNextScan, tr("Scan the free space for files of known kinds")}},
                              m_whatNext, this);
    auto* congr = TextPage(tr("The surface scan"),
                           tr("When the file system remembers nothing, the surface scan finds pictures, documents, "
                              "music and videos by their content in the free space. Choose Finish to open it."),
                           this);
    m_closeBox = new QCheckBox(tr("Close the main window when the wizard ends"), congr);
    congr->layout()->addWidget(m_closeBox);
    static_cast<QVBoxLayout*>(congr->layout())->addStretch(1);
    m_byIndex[4] = congr;
    for (QWidget* page : m_byIndex) m_pages->addWidget(page);

    auto* bottom = new QHBoxLayout;
    m_startUp = new QCheckBox(tr("Show this wizard when the program starts"), this);
    m_startUp->setObjectName(QStringLiteral("wizardOnStartUp"));
    m_startUp->setChecked(CXMLProfile::Instance().ReadInt("Wizard", "ShowOnStartUp", 1) != 0);
    m_back = new QPushButton(tr("< &Back"), this);
    m_next = new QPushButton(tr("&Next >"), this);
    m_finish = new QPushButton(tr("&Finish"), this);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    bottom->addWidget(m_startUp, 1);
    for (QPushButton* b : {m_back, m_next, m_finish, cancel}) {
        b->setAutoDefault(false);
        bottom->addWidget(b);
    }
    layout->addLayout(bottom);
    connect(m_back, &QPushButton::clicked, this, &CWizardDlg::Back);
    connect(m_next, &QPushButton::clicked, this, &CWizardDlg::Next);
    connect(m_finish, &QPushButton::clicked, this, &CWizardDlg::Finish);
    connect(cancel, &QPushButton::clicked, this, &CWizardDlg::reject);
    resize(620, 420);
    Show(0);
}

QString CWizardDlg::Header() const { return m_header->text(); }

void CWizardDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner || !owner->isVisible()) return;
    QRect frame = frameGeometry();
    frame.moveCenter(owner->frameGeometry().center());
    if (QScreen* screen = owner->screen()) {
        const QRect room = screen->availableGeometry();
        // The top last, so that the banner stays in sight when the wizard is taller than the room.
        if (frame.right() > room.right()) frame.moveRight(room.right());
        if (frame.left() < room.left()) frame.moveLeft(room.left());
        if (frame.bottom() > room.bottom()) frame.moveBottom(room.bottom());
        if (frame.top() < room.top()) frame.moveTop(room.top());
    }
    move(frame.topLeft());
}

void CWizardDlg::Show(int page) {
    m_page = page;
    m_pages->setCurrentWidget(m_byIndex[static_cast<size_t>(page)]);
    m_header->setText(m_byIndex[static_cast<size_t>(page)]->windowTitle());
    const bool last = page == 2 || page == 4;
    m_back->setEnabled(page != 0);
    m_next->setVisible(!last);
    m_finish->setVisible(last);
    m_next->setEnabled(true);
    if (page == 1) DriveSelected();
    if (last) m_finish->setDefault(true);
    else m_next->setDefault(true);
}

void CWizardDlg::Next() {
    switch (m_page) {
        case 0: Show(3); break;
        case 3: Show(m_firstStep->checkedId() == kFirstStepFormatted ? 4 : 1); break;
        case 1:
            if (m_next->isEnabled()) Show(2);
            break;
        default: break;
    }
}

void CWizardDlg::Back() {
    switch (m_page) {
        case 3: Show(0); break;
        case 1: Show(3); break;
        case 2: Show(1); break;
        case 4: Show(3); break;
        default: break;
    }
}

void CWizardDlg::ChooseFirstStep(int id) {
    if (QAbstractButton* b = m_firstStep->button(id)) b->setChecked(true);
}
void CWizardDlg::ChooseWhatNext(int id) {
    if (QAbstractButton* b = m_whatNext->button(id)) b->setChecked(true);
}

bool CWizardDlg::SelectDrive(char16_t letter) {
    for (int i = 0; i < m_driveList->topLevelItemCount(); ++i)
        if (m_driveList->topLevelItem(i)->data(0, kLetterRole).toInt() == letter) {
            m_driveList->setCurrentItem(m_driveList->topLevelItem(i));
            return true;
        }
    return false;
}

void CWizardDlg::DriveSelected() {
    QTreeWidgetItem* item = m_driveList->currentItem();
    m_drive = item ? static_cast<char16_t>(item->data(0, kLetterRole).toInt()) : 0;
    // A drive with a letter is a volume the engine opened; the devices listed
    // without one hold no file system it reads.
    const bool supported = m_drive != 0;
    if (m_page == 1) m_next->setEnabled(supported);
}

void CWizardDlg::StoreStartUp() {
    CXMLProfile& p = CXMLProfile::Instance();
    p.WriteInt("Wizard", "ShowOnStartUp", m_startUp->isChecked() ? 1 : 0);
    p.Save();
}

void CWizardDlg::Finish() {
    if (m_page != 2 && m_page != 4) return;
    StoreStartUp();
    if (m_page == 2) {
        const int id = m_whatNext->checkedId();
        m_action = id == kWhatNextBrowse ? WizardAction::Browse
                   : id == kWhatNextSearch ? WizardAction::Search
                                           : WizardAction::SurfaceScan;
    } else {
        m_action = WizardAction::SurfaceScan;
        m_closeRequested = m_closeBox->isChecked();
    }
    accept();
}

void CWizardDlg::reject() {
    StoreStartUp();
    m_action = WizardAction::None;
    QDialog::reject();
}
