#include "ui/DiskImageDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>

#include "engine/index/IndexJob.h"
#include "engine/recovery/Destination.h"
#include "engine/recovery/DiskImager.h"
#include "platform/DriveList.h"
#include "ui/BrowsePage.h"
#include "ui/Busy.h"
#include "ui/Format.h"
#include "ui/MainFrame.h"
#include "ui/RescueMapView.h"
#include "ui/Texts.h"

namespace {

constexpr int kTickMs = 100;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A message of the engine as a sentence: capital first letter, full stop.
QString Sentence(const std::string& text) {
    QString s = Q(text);
    if (!s.isEmpty()) s[0] = s[0].toUpper();
    if (!s.isEmpty() && !s.endsWith(u'.')) s += u'.';
    return s;
}

QString Bytes(uint64_t n) { return QLocale().toString(static_cast<qulonglong>(n)); }

QString Areas(uint64_t n) {
    return n == 1 ? CDiskImageDlg::tr("1 area")
                  : CDiskImageDlg::tr("%1 areas").arg(QLocale().toString(static_cast<qulonglong>(n)));
}

QString PhaseText(char phase) {
    switch (phase) {
        case '?':
            return CDiskImageDlg::tr("Copying the readable areas");
        case '*':
            return CDiskImageDlg::tr("Trimming the edges of the bad areas");
        case '/':
            return CDiskImageDlg::tr("Scraping the bad areas block by block");
        case '-':
            return CDiskImageDlg::tr("Trying the bad areas once more");
        case '+':
            return CDiskImageDlg::tr("Done");
        default:
            return CDiskImageDlg::tr("Reading");
    }
}

}  // namespace

std::vector<DiskImageSource> DiskImageSources(const std::vector<GuiDrive>& drives) {
    std::vector<DiskImageSource> sources;
    for (const GuiDrive& d : drives)
        if (!d.source.isEmpty()) sources.push_back({DriveCaption(d), d.source});
    return sources;
}

QString CDiskImageDlg::DefaultImagePath(const QString& source) {
    const QFileInfo info(source);
    QString stem = info.completeBaseName();
    if (stem.isEmpty()) stem = QStringLiteral("disk");
    const QDir home = QDir::home();
    QString path = home.filePath(stem + QStringLiteral(".img"));
    if (QFileInfo(path).absoluteFilePath() == info.absoluteFilePath())
        path = home.filePath(stem + QStringLiteral("-copy.img"));
    return path;
}

CDiskImageDlg::CDiskImageDlg(QWidget* parent, const std::vector<DiskImageSource>& sources, const QString& preselect)
    : QDialog(parent) {
    setWindowTitle(tr("Create disk image"));
    setObjectName(QStringLiteral("diskImageDlg"));
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(tr("Copies a drive or an image into a raw image file, the readable areas first. The map "
                                "beside the image names what could not be read; a stopped copy goes on from it."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    m_fields = new QWidget(this);
    auto* form = new QGridLayout(m_fields);
    form->setContentsMargins(0, 0, 0, 0);
    m_source = new QComboBox(m_fields);
    m_source->setObjectName(QStringLiteral("source"));
    m_source->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_source->setMinimumContentsLength(40);
    for (const DiskImageSource& s : sources) {
        if (m_source->findData(s.path) >= 0) continue;
        m_source->addItem(s.caption.isEmpty() ? s.path : tr("%1 — %2").arg(s.caption, s.path), s.path);
        m_source->setItemData(m_source->count() - 1, s.path, Qt::ToolTipRole);
    }
    auto* sourceBrowse = new QPushButton(tr("Image file…"), m_fields);
    sourceBrowse->setObjectName(QStringLiteral("sourceBrowse"));
    m_image = new QLineEdit(m_fields);
    m_image->setObjectName(QStringLiteral("image"));
    auto* imageBrowse = new QPushButton(tr("Browse…"), m_fields);
    imageBrowse->setObjectName(QStringLiteral("imageBrowse"));
    m_map = new QLineEdit(m_fields);
    m_map->setObjectName(QStringLiteral("map"));
    auto* mapBrowse = new QPushButton(tr("Browse…"), m_fields);
    mapBrowse->setObjectName(QStringLiteral("mapBrowse"));
    m_retryBad =
        new QCheckBox(tr("&Retry bad areas (what an earlier run could not read is tried once more)"), m_fields);
    m_retryBad->setObjectName(QStringLiteral("retryBad"));
    auto addRow = [&](int row, const QString& caption, QWidget* field, QWidget* button) {
        auto* label = new QLabel(caption, m_fields);
        label->setBuddy(field);
        form->addWidget(label, row, 0);
        form->addWidget(field, row, 1);
        form->addWidget(button, row, 2);
    };
    addRow(0, tr("&Source:"), m_source, sourceBrowse);
    addRow(1, tr("&Image file:"), m_image, imageBrowse);
    addRow(2, tr("&Map file:"), m_map, mapBrowse);
    form->addWidget(m_retryBad, 3, 1, 1, 2);
    form->setColumnStretch(1, 1);
    layout->addWidget(m_fields);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_message);

    m_progressBox = new QGroupBox(tr("Progress"), this);
    m_progressBox->setObjectName(QStringLiteral("progress"));
    auto* progress = new QVBoxLayout(m_progressBox);
    m_phase = new QLabel(m_progressBox);
    m_phase->setObjectName(QStringLiteral("phase"));
    progress->addWidget(m_phase);
    m_bar = new QProgressBar(m_progressBox);
    m_bar->setObjectName(QStringLiteral("bar"));
    m_bar->setRange(0, 100);
    progress->addWidget(m_bar);
    auto* numbers = new QGridLayout;
    auto addNumber = [&](int row, int column, const QString& caption, QLabel*& value, const char* name) {
        value = new QLabel(m_progressBox);
        value->setObjectName(QLatin1String(name));
        numbers->addWidget(new QLabel(caption, m_progressBox), row, column * 2);
        numbers->addWidget(value, row, column * 2 + 1);
    };
    addNumber(0, 0, tr("Rescued:"), m_rescued, "rescued");
    addNumber(0, 1, tr("Could not be read:"), m_bad, "bad");
    addNumber(1, 0, tr("Rate:"), m_rate, "rate");
    addNumber(1, 1, tr("Time left:"), m_remaining, "remaining");
    numbers->setColumnStretch(1, 1);
    numbers->setColumnStretch(3, 1);
    progress->addLayout(numbers);
    m_mapView = new CRescueMapView(m_progressBox);
    progress->addWidget(m_mapView, 1);
    progress->addWidget(CRescueMapView::MakeLegend(m_progressBox));
    m_progressBox->hide();
    layout->addWidget(m_progressBox, 1);

    auto* buttons = new QDialogButtonBox(this);
    m_buttons = buttons;
    m_startButton = buttons->addButton(tr("&Start"), QDialogButtonBox::ActionRole);
    m_startButton->setObjectName(QStringLiteral("startButton"));
    m_startButton->setDefault(true);
    m_stopButton = buttons->addButton(tr("S&top"), QDialogButtonBox::ActionRole);
    m_stopButton->setObjectName(QStringLiteral("stopButton"));
    m_stopButton->setEnabled(false);
    m_closeButton = buttons->addButton(QDialogButtonBox::Close);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    layout->addWidget(buttons);

    connect(m_source, &QComboBox::currentIndexChanged, this, &CDiskImageDlg::SourceChanged);
    connect(sourceBrowse, &QPushButton::clicked, this, &CDiskImageDlg::BrowseSource);
    connect(imageBrowse, &QPushButton::clicked, this, &CDiskImageDlg::BrowseImage);
    connect(mapBrowse, &QPushButton::clicked, this, &CDiskImageDlg::BrowseMap);
    connect(m_image, &QLineEdit::textEdited, this, [this] {
        m_imageEdited = true;
        ImageChanged();
    });
    connect(m_map, &QLineEdit::textEdited, this, [this] { m_mapEdited = true; });
    connect(m_startButton, &QPushButton::clicked, this, &CDiskImageDlg::StartImaging);
    connect(m_stopButton, &QPushButton::clicked, this, &CDiskImageDlg::StopImaging);
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::reject);
    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &CDiskImageDlg::Tick);

    if (!preselect.isEmpty())
        SetSource(preselect);
    else if (m_source->count() == 0)
        m_message->setText(tr("Choose an image file to copy, or connect the drive."));
    SourceChanged();
    setMinimumWidth(fontMetrics().averageCharWidth() * 90);
}

CDiskImageDlg::~CDiskImageDlg() {
    if (m_job && m_job->IsRunning()) {
        m_job->RequestStop();
        m_job->Wait();
    }
    if (m_started && !m_finished) BusyEnd(this);
}

void CDiskImageDlg::SetSource(const QString& path) {
    int i = m_source->findData(path);
    if (i < 0) {
        m_source->addItem(path, path);
        i = m_source->count() - 1;
        m_source->setItemData(i, path, Qt::ToolTipRole);
    }
    m_source->setCurrentIndex(i);
    SourceChanged();
}

void CDiskImageDlg::SetImagePath(const QString& path) {
    m_image->setText(path);
    m_imageEdited = true;
    ImageChanged();
}

void CDiskImageDlg::SetMapPath(const QString& path) {
    m_map->setText(path);
    m_mapEdited = true;
}

void CDiskImageDlg::SetRetryBad(bool retry) { m_retryBad->setChecked(retry); }
QString CDiskImageDlg::Source() const { return m_source->currentData().toString(); }
QString CDiskImageDlg::ImagePath() const { return m_image->text().trimmed(); }
QString CDiskImageDlg::MapPath() const { return m_map->text().trimmed(); }
QString CDiskImageDlg::Message() const { return m_message->text(); }
bool CDiskImageDlg::Running() const { return m_job && m_job->IsRunning(); }

void CDiskImageDlg::SourceChanged() {
    m_source->setToolTip(Source());
    if (!m_imageEdited && !Source().isEmpty()) {
        m_image->setText(DefaultImagePath(Source()));
        ImageChanged();
    }
}

void CDiskImageDlg::ImageChanged() {
    if (!m_mapEdited) m_map->setText(ImagePath().isEmpty() ? QString() : ImagePath() + QStringLiteral(".map"));
}

void CDiskImageDlg::BrowseSource() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Image to copy"), QString(),
                                                      DiskImageFilters().join(QStringLiteral(";;")));
    if (!path.isEmpty()) SetSource(path);
}

void CDiskImageDlg::BrowseImage() {
    const QString path = QFileDialog::getSaveFileName(this, tr("Write the image to"), ImagePath(),
                                                      tr("Raw images (*.img *.dd *.raw);;All files (*)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty()) SetImagePath(path);
}

void CDiskImageDlg::BrowseMap() {
    const QString path = QFileDialog::getSaveFileName(this, tr("Keep the rescue map in"), MapPath(),
                                                      tr("Rescue maps (*.map *.mapfile);;All files (*)"), nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty()) SetMapPath(path);
}

bool CDiskImageDlg::Refuse(const QString& message) {
    m_message->setText(message);
    return false;
}

bool CDiskImageDlg::StartImaging() {
    if (m_started) return false;
    const QString chosen = Source();
    if (chosen.isEmpty()) return Refuse(tr("Choose the drive or the image file to copy."));
    if (ImagePath().isEmpty()) return Refuse(tr("Choose the file to write the image to."));
    // "~/x" and relative paths name files under the home folder; the fields
    // show the files used, and a relative path waits for a second Start.
    bool imageRelative = false, mapRelative = false;
    const QString imagePath = ResolveTypedPath(m_image->text(), &imageRelative);
    if (imagePath != m_image->text()) {
        m_image->setText(imagePath);
        ImageChanged();  // a map that follows the image follows it here too
    }
    const QString mapPath = ResolveTypedPath(m_map->text(), &mapRelative);
    if (mapPath != m_map->text()) m_map->setText(mapPath);
    if (imageRelative || mapRelative)
        return Refuse(tr("A file without a full path is taken from your home folder: %1. Choose Start again to "
                         "copy there.")
                          .arg(imageRelative ? imagePath : mapPath));
    const std::string image = imagePath.toStdString();
    const std::string map = mapPath.toStdString();
    const DiskImagePlan plan = PlanDiskImage(chosen.toStdString(), image, map, m_retryBad->isChecked());
    if (!plan.refusal.ok()) return Refuse(Sentence(plan.refusal.message()));

    // A FUSE folder that names nothing behind it, or one too small, is the user's call.
    QStringList doubts;
    const QString needed = HumanSize(plan.settings.source->Size());
    for (const DestinationCheck& check : plan.checks) {
        if (check.backingUnknown) doubts.push_back(Sentence(check.backingMessage));
        if (check.tooSmall)
            doubts.push_back(tr("%1 has %2 free; the image may need up to %3.")
                                 .arg(Q(check.folder), HumanSize(check.freeBytes), needed));
    }
    doubts.removeDuplicates();
    if (!doubts.isEmpty()) {
        QMessageBox question(
            QMessageBox::Warning, UiText(texts::kCaption),
            doubts.join(QStringLiteral("\n\n")) + QStringLiteral("\n\n") + tr("Write the image there?"),
            QMessageBox::Yes | QMessageBox::No, this);
        question.setObjectName(QStringLiteral("destinationQuestion"));
        question.setDefaultButton(QMessageBox::No);
        if (question.exec() != QMessageBox::Yes) return Refuse(doubts.join(u' '));
    }

    auto job = std::make_unique<CDiskImager>(plan.settings);
    if (!job->Start()) return Refuse(Sentence(job->Outcome().status.message()));
    m_job = std::move(job);
    m_started = true;
    m_sourcePath = Q(plan.sourcePath);
    m_imagePath = Q(image);
    m_mapPath = Q(plan.settings.mapPath);
    BusyBegin(this);

    const DiskImageCounts initial = m_job->Initial();
    if (m_job->Resumed()) {
        QString text = tr("Continuing from the map %1: %2 rescued, %3 still to read.")
                           .arg(m_mapPath, HumanSize(initial.rescued),
                                HumanSize(initial.untried + initial.untrimmed + initial.unscraped));
        if (initial.bad > 0 && !plan.settings.retryBad)
            text += QLatin1Char(' ') +
                    tr("The %1 the map marks bad are not read again (Retry bad areas tries them once more).")
                        .arg(HumanSize(initial.bad));
        m_message->setText(text);
    } else {
        m_message->setText(
            tr("The map of the image is %1: keep it beside the image; a stopped copy goes on from it.").arg(m_mapPath));
    }
    m_fields->setEnabled(false);
    m_startButton->setEnabled(false);
    m_stopButton->setEnabled(true);
    m_progressBox->show();
    Tick();
    m_timer->start();
    return true;
}

void CDiskImageDlg::StopImaging() {
    if (!Running() || m_stopping) return;
    m_stopping = true;
    m_job->RequestStop();
    m_stopButton->setEnabled(false);
    m_phase->setText(tr("Stopping; the map is being written…"));
}

void CDiskImageDlg::Tick() {
    if (!m_job) return;
    const DiskImageCounts c = m_job->Counts();
    const JobProgress p = m_job->Progress();
    if (!m_stopping) m_phase->setText(PhaseText(c.phase));
    m_bar->setValue(std::clamp(p.percent, 0, 100));
    const int percent = c.size ? static_cast<int>(c.rescued * 100 / c.size) : 0;
    m_rescued->setText(tr("%1 of %2 (%3 %)").arg(HumanSize(c.rescued), HumanSize(c.size)).arg(percent));
    m_bad->setText(tr("%1 in %2").arg(HumanSize(c.bad), Areas(c.badAreas)));
    m_rate->setText(tr("%1/s").arg(HumanSize(static_cast<uint64_t>(std::max(p.rate, 0.0)))));
    m_remaining->setText(p.remaining < 0 ? tr("unknown") : Q(FormatDuration(p.remaining)));
    m_mapView->SetMap(m_job->MapBlocks(), c.size);
    if (!m_finished && !m_job->IsRunning()) Finish();
}

void CDiskImageDlg::Finish() {
    if (m_finished) return;
    m_finished = true;
    m_timer->stop();
    Tick();
    const JobOutcome outcome = m_job->Outcome();
    const DiskImageCounts c = m_job->Counts();
    QString text;
    if (outcome.failed()) {
        text =
            Sentence(outcome.status.message()) + QLatin1Char(' ') +
            tr("The map %1 names what was rescued: start again with the same image and map to go on.").arg(m_mapPath);
    } else if (outcome.stopped()) {
        text = tr("Stopped. The map %1 names what was rescued: start again with the same image and map to go on.")
                   .arg(m_mapPath);
    } else if (c.bad > 0) {
        text = tr("%1 bytes in %2 could not be read; the map %3 names them.")
                   .arg(Bytes(c.bad), Areas(c.badAreas), m_mapPath);
    } else {
        text = tr("All %1 bytes of %2 were rescued into %3.").arg(Bytes(c.rescued), m_sourcePath, m_imagePath);
    }
    m_message->setText(text);
    m_phase->setText(outcome.completed() ? PhaseText('+') : tr("Stopped"));
    m_stopButton->setEnabled(false);
    // Offered only now: a hidden button of a button box shows again when it lays itself out.
    m_openButton = m_buttons->addButton(tr("&Open the image"), QDialogButtonBox::ActionRole);
    m_openButton->setObjectName(QStringLiteral("openImageButton"));
    connect(m_openButton, &QPushButton::clicked, this, [this] {
        m_openImage = true;
        accept();
    });
    m_openButton->setEnabled(c.rescued > 0);
    m_openButton->setDefault(true);
    m_openButton->setFocus();
    BusyEnd(this);
    if (m_closeWhenFinished) QTimer::singleShot(0, this, [this] { done(m_closeResult); });
}

void CDiskImageDlg::done(int result) {
    if (m_started && !m_finished) {
        if (m_closeWhenFinished) return;
        QMessageBox question(QMessageBox::Question, UiText(texts::kCaption),
                             tr("The image is still being written. Stop it? The map keeps what was rescued, and "
                                "a later run goes on from it."),
                             QMessageBox::Yes | QMessageBox::No, this);
        question.setObjectName(QStringLiteral("closeQuestion"));
        question.setDefaultButton(QMessageBox::No);
        if (question.exec() != QMessageBox::Yes) return;
        if (!m_finished) {
            StopImaging();
            m_closeWhenFinished = true;
            m_closeResult = result;
            return;
        }
    }
    QDialog::done(result);
}
