#include "ui/OptionsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/Log.h"
#include "app/Profile.h"
#include "engine/volume/IndexCache.h"
#include "platform/Paths.h"
#include "ui/UpdateCheck.h"

namespace {

constexpr int64_t kLogUnit = 102400;  // MaxLogSize counts units of 100 KiB

}  // namespace

COptionsGeneralDlg::COptionsGeneralDlg(QWidget* parent) : QWidget(parent) {
    CXMLProfile& p = CXMLProfile::Instance();
    auto* form = new QFormLayout(this);
    m_logType = new QComboBox(this);
    m_logType->addItems({tr("Off"), tr("Normal"), tr("Verbose")});
    m_logType->setCurrentIndex(std::clamp(p.ReadInt("Logging", "Type", settings::kLoggingTypeDefault), 0, 2));
    form->addRow(tr("&Log:"), m_logType);
    m_limited = new QCheckBox(tr("Limit the log file to"), this);
    m_limited->setChecked(p.ReadInt("Logging", "LogSizeIsLimited", settings::kLogSizeIsLimitedDefault) != 0);
    m_maxSize = new QSpinBox(this);
    m_maxSize->setRange(1, 51);
    m_maxSize->setSuffix(tr(" × 100 KiB"));
    m_maxSize->setValue(std::clamp(p.ReadInt("Logging", "MaxLogSize", settings::kMaxLogSizeDefault), 1, 51));
    m_maxSize->setEnabled(m_limited->isChecked());
    connect(m_limited, &QCheckBox::toggled, m_maxSize, &QWidget::setEnabled);
    form->addRow(m_limited, m_maxSize);
    form->addRow(new QLabel(tr("A change of the log on or off takes effect at the next start."), this));
    m_wizard = new QCheckBox(tr("Show the scan &wizard when the program starts"), this);
    m_wizard->setChecked(p.ReadInt("Wizard", "ShowOnStartUp", 1) != 0);
    form->addRow(m_wizard);
    m_cacheStatus = new QLabel(tr("Saved indexes: %1").arg(QString::fromStdString(CacheFolder())), this);
    m_cacheStatus->setWordWrap(true);
    m_cacheStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_clean = new QPushButton(tr("&Clean the saved indexes"), this);
    connect(m_clean, &QPushButton::clicked, this, [this] {
        const bool ok = CleanUpCache("", 0);
        m_cacheStatus->setText(ok ? tr("The saved indexes were deleted.")
                                  : tr("Some saved indexes could not be deleted (%1).")
                                        .arg(QString::fromStdString(CacheFolder())));
    });
    form->addRow(m_cacheStatus);
    form->addRow(m_clean);
}

QString COptionsGeneralDlg::CacheStatus() const { return m_cacheStatus->text(); }

void COptionsGeneralDlg::OnApplyChanges() {
    CScopeTrace trace(1, "COptionsGeneralDlg::OnApplyChanges");
    CXMLProfile& p = CXMLProfile::Instance();
    const int type = m_logType->currentIndex();
    p.WriteInt("Logging", "Type", type);
    p.WriteInt("Logging", "LogSizeIsLimited", m_limited->isChecked() ? 1 : 0);
    p.WriteInt("Logging", "MaxLogSize", m_maxSize->value());
    p.WriteInt("Wizard", "ShowOnStartUp", m_wizard->isChecked() ? 1 : 0);
    // The running log: its level and cap now; being opened or not waits for the next start.
    CLogFile& log = CLogFile::Instance();
    log.SetLevel(type - 1);
    log.SetMaxSize(m_limited->isChecked() ? m_maxSize->value() * kLogUnit : CLogFile::kDefaultMaxSize);
}

COptionsUpdateDlg::COptionsUpdateDlg(CUpdateChecker& checker, QWidget* parent) : QWidget(parent), m_checker(checker) {
    auto* layout = new QVBoxLayout(this);
    m_automatic = new QRadioButton(tr("Check for a newer version when the program starts"), this);
    m_manual = new QRadioButton(tr("Only when I ask"), this);
    (CXMLProfile::Instance().ReadInt("Update", "Type", 1) == 2 ? m_manual : m_automatic)->setChecked(true);
    auto* note = new QLabel(tr("The check sends the version number of this program and nothing else."), this);
    note->setWordWrap(true);
    m_check = new QPushButton(tr("Check &now"), this);
    m_check->setObjectName(QStringLiteral("checkNow"));
    layout->addWidget(m_automatic);
    layout->addWidget(m_manual);
    layout->addWidget(note);
    layout->addWidget(m_check, 0, Qt::AlignLeft);
    if (!update::CheckAvailable()) {
        // Built without an update service (distribution packages): nothing to offer.
        m_off = new QLabel(tr("The update check is off in this build."), this);
        m_off->setWordWrap(true);
        layout->insertWidget(0, m_off);
        for (QWidget* offered : std::initializer_list<QWidget*> {m_automatic, m_manual, note, m_check}) offered->hide();
    }
    layout->addStretch(1);
    m_check->setEnabled(!m_checker.Busy());
    connect(m_check, &QPushButton::clicked, this, [this] {
        if (m_checker.Start(false)) m_check->setEnabled(false);
    });
    m_poll.setInterval(100);
    connect(&m_poll, &QTimer::timeout, this, [this] { m_check->setEnabled(!m_checker.Busy()); });
    m_poll.start();
}

void COptionsUpdateDlg::OnApplyChanges() {
    CXMLProfile::Instance().WriteInt("Update", "Type", m_manual->isChecked() ? 2 : 1);
}

COptionsDlg::COptionsDlg(CUpdateChecker& checker, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(tr("Options"));
    auto* layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    m_general = new COptionsGeneralDlg(m_tabs);
    m_update = new COptionsUpdateDlg(checker, m_tabs);
    m_tabs->addTab(m_general, tr("General"));
    m_tabs->addTab(m_update, tr("Update"));
    layout->addWidget(m_tabs);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &COptionsDlg::Apply);
    layout->addWidget(buttons);
    resize(520, 360);
}

void COptionsDlg::ShowPage(int page) { m_tabs->setCurrentIndex(page); }

void COptionsDlg::Apply() {
    m_general->OnApplyChanges();
    m_update->OnApplyChanges();
    CXMLProfile::Instance().Save();
}

void COptionsDlg::accept() {
    Apply();
    QDialog::accept();
}
