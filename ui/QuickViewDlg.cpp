#include "ui/QuickViewDlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "ui/FileListModel.h"
#include "ui/Format.h"
#include "ui/ImageControl.h"
#include "ui/PreviewText.h"
#include "ui/RecoverDlg.h"
#include "ui/Texts.h"
#include "ui/WindowPos.h"

namespace {

constexpr const char* kLayout = "LayoutQuickView";

QString NameOf(const preview::PreviewItem& item) {
    return QString::fromUtf16(item.name.data(), static_cast<qsizetype>(item.name.size()));
}

}  // namespace

CQuickViewDlg::CQuickViewDlg(CVolume& volume, std::string sourcePath, std::vector<preview::PreviewItem> items,
                             size_t current, UsageStatistics& statistics, QWidget* parent)
    : QDialog(parent),
      m_volume(volume),
      m_sourcePath(std::move(sourcePath)),
      m_items(std::move(items)),
      m_current(current < m_items.size() ? current : 0),
      m_statistics(statistics) {
    setObjectName(QStringLiteral("quickView"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    m_stack = new QStackedWidget(this);
    m_loading = new QLabel(this);
    m_loading->setObjectName(QStringLiteral("quickViewMessage"));
    m_loading->setAlignment(Qt::AlignCenter);
    m_loading->setWordWrap(true);
    m_image = new CImageControl(this);
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    m_stack->addWidget(m_loading);
    m_stack->addWidget(m_image);
    m_stack->addWidget(m_text);
    layout->addWidget(m_stack, 1);

    auto* buttons = new QHBoxLayout;
    m_previous = new QPushButton(QIcon::fromTheme(QStringLiteral("go-previous")), tr("&Previous"), this);
    m_next = new QPushButton(QIcon::fromTheme(QStringLiteral("go-next")), tr("&Next"), this);
    m_asText = new QPushButton(tr("View as &text"), this);
    m_recover = new QPushButton(QIcon::fromTheme(QStringLiteral("document-save")), tr("&Recover…"), this);
    auto* close = new QPushButton(tr("Close"), this);
    for (QPushButton* b : {m_previous, m_next, m_asText, m_recover}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    m_info = new QLabel(this);
    m_info->setObjectName(QStringLiteral("quickViewInfo"));
    buttons->addStretch(1);
    buttons->addWidget(m_info);
    buttons->addSpacing(12);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(m_previous, &QPushButton::clicked, this, &CQuickViewDlg::Previous);
    connect(m_next, &QPushButton::clicked, this, &CQuickViewDlg::Next);
    connect(m_asText, &QPushButton::clicked, this, &CQuickViewDlg::ViewAsText);
    connect(m_recover, &QPushButton::clicked, this, &CQuickViewDlg::Recover);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    m_previous->setShortcut(QKeySequence(Qt::Key_PageUp));
    m_next->setShortcut(QKeySequence(Qt::Key_PageDown));

    // 640 x 480 centred on the window, unless a placement was stored.
    resize(640, 480);
    const QWidget* over = parent ? parent->window() : nullptr;
    const QRect area = over ? over->geometry() : screen()->availableGeometry();
    move(area.center() - rect().center());
    RestoreWindowPos(*this, kLayout);
    if (!m_items.empty()) ShowItem(false);
}

CQuickViewDlg::~CQuickViewDlg() = default;

bool CQuickViewDlg::ShowItem(bool asText) {
    if (m_items.empty()) return false;
    const preview::PreviewItem& item = m_items[m_current];
    m_neighbours = preview::FindNeighbours(m_items, m_current);
    m_previous->setEnabled(m_neighbours.previous != preview::kNoPosition);
    m_next->setEnabled(m_neighbours.next != preview::kNoPosition);
    m_recover->setEnabled(!item.existing);
    m_asText->setEnabled(!item.carved);

    m_loading->setText(UiText(texts::kPreviewLoading));
    m_stack->setCurrentWidget(m_loading);
    setWindowTitle(NameOf(item) + UiText(texts::kQuickViewTitle));
    CFileTypes types;
    setWindowIcon(types.Icon(NameOf(item), false));
    m_loading->repaint();

    KeptImageDecoder decoder;
    const preview::QuickViewContent content =
        preview::PrepareQuickView(m_volume, item, asText, decoder.Decoder(), [this](int percent) {
            m_loading->setText(UiText(texts::kPreviewLoadingPercent).arg(percent));
            m_loading->repaint();
        });
    m_image->ShowImage(nullptr, 0);
    m_text->clear();
    m_info->setText(HumanSize(item.size));
    switch (content.shown) {
        case preview::ShownAs::Image:
            m_image->ShowDecoded(decoder.image);
            m_info->setText(tr("%1 × %2 pixels, %3")
                                .arg(decoder.image.width())
                                .arg(decoder.image.height())
                                .arg(HumanSize(item.size)));
            m_stack->setCurrentWidget(m_image);
            return true;
        case preview::ShownAs::PlainText:
        case preview::ShownAs::RichText:
            // Bytes that are no text show only when asked for (View as text).
            if (!asText && preview::LooksBinary(content.text)) {
                m_loading->setText(NoPreviewForKindText());
                return false;
            }
            m_text->setPlainText(ShownText(content.text));
            m_stack->setCurrentWidget(m_text);
            return true;
        case preview::ShownAs::Nothing:
            break;
    }
    // A picture within the size the preview reads that did not decode is damaged.
    const uint64_t limit = item.carved ? preview::kCarvedLimit : preview::kImageLimit;
    const bool damagedPicture = !asText && preview::HasImageExtension(item.name) && item.size <= limit;
    m_loading->setText(damagedPicture ? DamagedPictureText() : UiText(texts::kPreviewNothing));
    return false;
}

void CQuickViewDlg::Step(size_t position) {
    if (position == preview::kNoPosition) return;
    m_current = position;
    ShowItem(false);
}

void CQuickViewDlg::Previous() { Step(m_neighbours.previous); }
void CQuickViewDlg::Next() { Step(m_neighbours.next); }
void CQuickViewDlg::ViewAsText() { ShowItem(true); }

void CQuickViewDlg::Recover() {
    if (m_items.empty()) return;
    const preview::PreviewItem& item = m_items[m_current];
    if (item.existing) return;
    RecoverSelection selection;
    selection.volume = &m_volume;
    selection.sourcePath = m_sourcePath;
    selection.carved = item.carved;
    if (item.carved) {
        RecoverItem r;
        r.id = item.firstCluster;
        r.name = item.name;
        r.size = item.size;
        r.extents = item.fragments;
        selection.items.push_back(std::move(r));
    } else {
        // As a listed row: an item of the recycle bin goes under its former name.
        ListedItem row;
        row.info.id = item.id;
        row.info.attributes = item.attributes;
        row.info.name = item.name;
        row.info.size = item.size;
        row.deleted = true;
        AddSelectedRows(selection, {{&row, QString::fromStdU16String(item.name)}});
    }
    RecoverFileGroup(this, selection, m_statistics);
}

bool CQuickViewDlg::ShowingImage() const { return m_stack->currentWidget() == m_image; }
bool CQuickViewDlg::ShowingText() const { return m_stack->currentWidget() == m_text; }
QString CQuickViewDlg::Text() const { return m_text->toPlainText(); }
QString CQuickViewDlg::Message() const { return m_loading->text(); }

void CQuickViewDlg::done(int result) {
    StoreWindowPos(*this, kLayout);
    QDialog::done(result);
}
