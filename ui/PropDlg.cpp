#include "ui/PropDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/Log.h"
#include "platform/Text.h"
#include "ui/FileListModel.h"
#include "ui/ItemPlacementView.h"
#include "ui/Texts.h"

namespace {

constexpr int kMaxDepth = 256;

// With the offset from UTC the volume recorded with the time (exFAT), that offset after it.
QString LongTime(uint64_t fileTime, bool utc, int16_t offset) {
    const QDateTime t = FileTimeToDateTime(fileTime, utc);
    if (!t.isValid()) return QString();
    QString text = QLocale().toString(t, QStringLiteral("MMMM dd, yyyy hh:mm AP"));
    if (!utc && offset != kNoTimeOffset && offset > -24 * 60 && offset < 24 * 60) {
        const int a = offset < 0 ? -offset : offset;
        text += QStringLiteral(" (UTC%1%2:%3)")
                    .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                    .arg(a / 60, 2, 10, QLatin1Char('0'))
                    .arg(a % 60, 2, 10, QLatin1Char('0'));
    }
    return text;
}

// The live folder tree below path: the sum of its file sizes.
uint64_t LiveFolderSize(CVolume& volume, char16_t letter, const std::string& path, int depth, const StopFlag& stop) {
    std::vector<FileItemInfo> items;
    if (!volume.ListLiveFolder(VolumePath(letter, path), items)) {
        LogWriteLevel(1, "FindFirstFile failed for '%s'\n", path.c_str());
        return 0;
    }
    uint64_t total = 0;
    for (const FileItemInfo& item : items) {
        if (IsStopped(&stop)) break;
        if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth < kMaxDepth)
                total += LiveFolderSize(volume, letter, JoinFolderName(path, item.name), depth + 1, stop);
        } else {
            total += volume.BoundedFileSize(item.size);
        }
    }
    return total;
}

// "4.2 MB (4,404,019 bytes)"; below 1000 bytes the bytes once.
QString SizeText(uint64_t bytes) {
    const QString human = HumanSize(bytes);
    if (bytes < 1000) return human;
    return QCoreApplication::translate("CPropDlg", "%1 (%2 bytes)").arg(human, QLocale().toString(qulonglong(bytes)));
}

}  // namespace

CPropDlg::CPropDlg(CVolume& volume, const Container& folder, const ListedItem& item, const QString& name,
                   QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("propertiesDialog"));
    const bool isFolder = item.IsFolder();
    const bool utc = volume.Traits().timesUtc;
    setWindowTitle(tr("Properties of %1").arg(name));
    auto* outer = new QVBoxLayout(this);
    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("propertyTabs"));
    auto* general = new QWidget(tabs);
    auto* layout = new QVBoxLayout(general);
    tabs->addTab(general, tr("General"));
    outer->addWidget(tabs);
    auto* form = new QFormLayout;
    auto* nameLabel = new QLabel(name, this);
    nameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow(tr("Name:"), nameLabel);
    CFileTypes types;
    form->addRow(tr("Type:"), new QLabel(types.TypeName(name, isFolder), this));
    m_size = new QLabel(isFolder ? tr("counting…") : SizeText(item.info.size), this);
    m_size->setObjectName(QStringLiteral("size"));
    form->addRow(tr("Size:"), m_size);
    form->addRow(tr("Created:"), new QLabel(LongTime(item.info.creationTime, utc, item.info.creationOffset), this));
    form->addRow(tr("Modified:"),
                 new QLabel(LongTime(item.info.modificationTime, utc, item.info.modificationOffset), this));
    if (item.deleted && !isFolder) {
        const QString status =
            item.info.dataStatus == kDataStatusUnknown
                ? tr("Not known: the drive could not give what records whether its clusters are in use")
            : item.info.dataStatus == 0 ? UiText(texts::kDataStatusIntact)
                                        : tr("%1% overwritten").arg(item.info.dataStatus);
        auto* label = new QLabel(status, this);
        label->setObjectName(QStringLiteral("dataStatus"));
        form->addRow(UiText(texts::kDataStatusTitle) + QLatin1Char(':'), label);        // What the source cannot give of it (a read error, a rescue map's bad areas).
        if (volume.SourceHasUnreadable()) {
            ItemPlacement placement;
            std::string why;
            uint64_t lost = 0;
            if (volume.DescribeItem(item.info.id, placement, why) && placement.runs)
                for (const ByteRange& r : volume.UnreadableOf(*placement.runs, item.info.size)) lost += r.length;
            if (lost > 0) {
                auto* unreadable = new QLabel(tr("%1 the drive cannot give: recovered as zeros").arg(SizeText(lost)), this);
                unreadable->setObjectName(QStringLiteral("unreadable"));
                form->addRow(tr("Unreadable:"), unreadable);
            }
        }
    }
    layout->addLayout(form);
    auto* box = new QGroupBox(tr("Attributes"), this);
    auto* grid = new QGridLayout(box);
    const struct {
        uint32_t bit;
        const char* text;
    } attributes[] = {{FILE_ATTRIBUTE_READONLY, "Read-only"}, {FILE_ATTRIBUTE_HIDDEN, "Hidden"},
                      {FILE_ATTRIBUTE_SYSTEM, "System"},     {FILE_ATTRIBUTE_ARCHIVE, "Archive"},
                      {FILE_ATTRIBUTE_COMPRESSED, "Compressed"}, {FILE_ATTRIBUTE_ENCRYPTED, "Encrypted"}};
    int i = 0;
    for (const auto& a : attributes) {
        auto* check = new QCheckBox(tr(a.text), box);
        check->setChecked((item.info.attributes & a.bit) != 0);
        check->setEnabled(false);
        grid->addWidget(check, i / 3, i % 3);
        ++i;
    }
    layout->addWidget(box);
    layout->addStretch(1);
    // Where it lies: its record or entry, its runs of clusters, its streams.
    ItemPlacement placement;
    QString unknown;
    if (!item.deleted || item.virtualFolder) {
        unknown = tr("Only deleted items are placed here: an existing file is where the file system says.");
    } else if (item.lostFolder) {
        placement.record = static_cast<uint32_t>(item.info.id);
    } else if (item.info.nameState == NameState::IndexSlack) {
        unknown = tr("Only its name was found, in its folder's index: its record and data are gone.");
    } else {
        std::string why;
        if (!volume.DescribeItem(item.info.id, placement, why)) unknown = QString::fromStdString(why);
    }
    if (unknown.isEmpty()) {
        tabs->addTab(NewPlacementView(placement, volume.SectorSize(), tabs), tr("Placement"));
    } else {
        auto* label = new QLabel(unknown, tabs);
        label->setObjectName(QStringLiteral("placement"));
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignCenter);
        tabs->addTab(label, tr("Placement"));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    outer->addWidget(buttons);

    if (!isFolder) {
        m_ready = true;
        return;
    }
    const char16_t letter = volume.DriveLetter();
    const std::string path = item.virtualFolder ? std::string() : JoinFolderPath(folder.path, PathPart(name.toStdString()));
    const bool existing = !item.deleted && !item.virtualFolder;
    const int32_t id = item.virtualFolder ? (item.info.name == u"$LostFolders" ? kLostFoldersId : kRecycleBinId)
                                          : static_cast<int32_t>(item.info.id);
    CVolume* v = &volume;
    m_worker = std::thread([this, v, letter, path, existing, id] {
        uint64_t total = 0;
        if (existing) total = LiveFolderSize(*v, letter, path, 0, m_stop);
        else if (!v->GetFolderSize(id, total, &m_stop, 0)) total = 0;
        m_total = total;
        m_ready = true;
    });
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (!m_ready) return;
        m_timer.stop();
        const uint64_t total = m_total;
        m_size->setText(SizeText(total));
    });
    m_timer.start();
}

CPropDlg::~CPropDlg() { StopWorker(); }

void CPropDlg::StopWorker() {
    m_stop.store(1);
    if (m_worker.joinable()) m_worker.join();
}
