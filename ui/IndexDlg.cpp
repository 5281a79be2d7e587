#include "ui/IndexDlg.h"

#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/Busy.h"
#include "ui/Texts.h"

CIndexDlg::CIndexDlg(CVolumeRegistry& registry, char16_t letter, IndexJobSettings settings, QWidget* parent)
    : QDialog(parent), m_job(std::make_unique<CIndexJob>(registry, letter, settings)) {
    setObjectName(QStringLiteral("indexDialog"));
    setWindowTitle(UiText(texts::kIndexEnumerating));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_phase = new QLabel(UiText(texts::kIndexEnumerating), this);
    m_phase->setObjectName(QStringLiteral("phase"));
    QFont bold = m_phase->font();
    bold.setBold(true);
    m_phase->setFont(bold);
    layout->addWidget(m_phase);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("progress"));
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    m_bar->setMinimumWidth(360);
    layout->addWidget(m_bar);
    auto* form = new QFormLayout;
    m_elapsed = new QLabel(QStringLiteral("0:00"), this);
    m_remaining = new QLabel(tr("estimating…"), this);
    m_elapsed->setObjectName(QStringLiteral("elapsed"));
    m_remaining->setObjectName(QStringLiteral("remaining"));
    form->addRow(tr("Elapsed time:"), m_elapsed);
    form->addRow(tr("Remaining time:"), m_remaining);
    layout->addLayout(form);
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(m_cancel);
    layout->addLayout(row);
    connect(m_cancel, &QPushButton::clicked, this, &CIndexDlg::reject);
    // 300 ms ticks; the first second at 20 ms, so that a quick job (a cache
    // restore, a small volume) does not keep its window open for a tick.
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &CIndexDlg::Tick);
}

CIndexDlg::~CIndexDlg() {
    if (m_job && m_job->IsRunning()) CloseJob();
}

void CIndexDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_started) return;
    m_started = true;
    if (parentWidget()) move(parentWidget()->window()->geometry().center() - rect().center());
    BusyBegin(this);
    m_job->Start();
    m_timer.start();
    // The first tick is queued, never run here: a job that is over already
    // (a quick cache restore) would close the dialog inside show(), before
    // exec() has its event loop, and exec() would then wait for ever.
    QTimer::singleShot(0, this, &CIndexDlg::Tick);
}

void CIndexDlg::reject() {
    // Cancel: the job stops at its next check; the next tick closes the window.
    if (m_job && m_job->IsRunning()) {
        m_cancelled = true;
        m_job->RequestStop();
        m_cancel->setEnabled(false);
        return;
    }
    QDialog::reject();
}

void CIndexDlg::CloseJob() {
    m_timer.stop();
    m_job->Close();
    m_failed = true;
    m_volume = nullptr;
    if (m_started) BusyEnd(this);
    m_started = false;
}

void CIndexDlg::Tick() {
    if (!m_started) return;  // over already, or torn down
    if (!m_job->IsRunning()) {
        m_timer.stop();
        BusyEnd(this);
        m_started = false;
        m_failed = m_job->Failed() || !m_job->Volume();
        m_volume = m_failed ? nullptr : m_job->Volume();
        if (m_failed && !m_cancelled)
            QMessageBox::critical(this, UiText(texts::kCaption), UiText(texts::kIndexFailed));
        if (m_failed) QDialog::reject();
        else accept();
        return;
    }
    const IndexProgressView view = m_job->View();
    if (view.elapsed > 1.0) m_timer.setInterval(300);
    Display(view);
}

void CIndexDlg::Display(const IndexProgressView& v) {
    int title = 0;
    switch (v.phase) {
        case 1: title = texts::kIndexEnumerating; break;
        case 2: title = texts::kIndexSavingCache; break;
        case 3: title = texts::kIndexReadingCache; break;
    }
    if (title) {
        setWindowTitle(UiText(title));
        m_phase->setText(UiText(title));
    }
    m_bar->setValue(v.percent);
    m_elapsed->setText(QString::fromStdString(FormatDuration(v.elapsed)));
    m_remaining->setText(v.showRemaining ? QString::fromStdString(FormatDuration(v.remaining))
                                         : v.phase == 1 ? tr("estimating…") : QString());
}
