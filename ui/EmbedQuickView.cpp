#include "ui/EmbedQuickView.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "engine/recovery/Preview.h"
#include "ui/ImageControl.h"
#include "ui/PreviewText.h"

CEmbedQuickView::CEmbedQuickView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("previewPane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    m_caption = new QLabel(this);
    m_caption->setObjectName(QStringLiteral("previewCaption"));
    m_caption->setTextFormat(Qt::PlainText);
    m_caption->setWordWrap(true);
    m_stack = new QStackedWidget(this);
    const QFont arial(QStringLiteral("Arial"));
    m_placeholder = new QLabel(tr("Preview\n\nSelect a file to see its content here."), this);
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setWordWrap(true);
    m_placeholder->setFont(arial);
    m_placeholder->setEnabled(false);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("previewMessage"));
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    // Content without a preview of its own can still be looked at byte by byte.
    m_messagePage = new QWidget(this);
    auto* messageLayout = new QVBoxLayout(m_messagePage);
    m_hexButton = new QPushButton(tr("Show in the hex view"), m_messagePage);
    m_hexButton->setObjectName(QStringLiteral("previewHexView"));
    m_hexButton->setShortcut(QKeySequence());
    connect(m_hexButton, &QPushButton::clicked, this, &CEmbedQuickView::hexViewRequested);
    messageLayout->addStretch(1);
    messageLayout->addWidget(m_message);
    messageLayout->addWidget(m_hexButton, 0, Qt::AlignHCenter);
    messageLayout->addStretch(1);
    m_image = new CImageControl(this);
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setFont(arial);
    m_stack->addWidget(m_placeholder);
    m_stack->addWidget(m_messagePage);
    m_stack->addWidget(m_image);
    m_stack->addWidget(m_text);
    layout->addWidget(m_caption);
    layout->addWidget(m_stack, 1);
    setMinimumWidth(120);
    Start();
}

CEmbedQuickView::~CEmbedQuickView() { Stop(); }

void CEmbedQuickView::Start() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_exit = false;
        m_event = false;
    }
    m_thread = std::thread([this] { Worker(); });
}

void CEmbedQuickView::Stop() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_exit = true;
        m_event = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> g(m_lock);
    m_pending.reset();
}

void CEmbedQuickView::SetItem(CVolume* volume, uint32_t id, const std::u16string& path, const QString& displayText) {
    // The file is opened here, on the window's thread; only reading and
    // decoding go to the worker.
    std::unique_ptr<IGenericFile> file;
    if (volume && !preview::OpenIndexItem(*volume, id, path, file)) file.reset();
    const size_t slash = path.find_last_of(u"\\/");
    const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_pending = std::move(file);  // releases a pending one
        m_pendingImage = preview::HasImageExtension(name);
        m_pendingSelected = volume != nullptr;
        m_pendingName = QString::fromStdU16String(name);
        m_pendingDisplay = displayText;
        ++m_generation;
        if (m_enabled) m_event = true;
    }
    m_wake.notify_all();
}

void CEmbedQuickView::Release() {
    std::unique_lock<std::mutex> l(m_lock);
    m_pending.reset();
    m_event = false;
    ++m_generation;  // what is on its way is stale
    m_idle.wait(l, [this] { return !m_working; });
}

void CEmbedQuickView::SetPaneEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_enabled = enabled;
        if (enabled && m_pending) m_event = true;
    }
    m_wake.notify_all();
}

void CEmbedQuickView::Worker() {
    for (;;) {
        std::unique_ptr<IGenericFile> file;
        Result r;
        {
            std::unique_lock<std::mutex> l(m_lock);
            m_wake.wait(l, [this] { return m_event || m_exit; });
            if (m_exit) return;
            file = std::move(m_pending);
            r.generation = m_generation;
            r.name = m_pendingName;
            r.display = m_pendingDisplay;
            r.image = m_pendingImage;
            r.selected = m_pendingSelected;
            m_event = false;
            m_working = true;
        }
        if (file) {
            r.any = true;
            KeptImageDecoder decoder;
            preview::QuickViewContent c = preview::PreparePane(*file, r.name.toStdU16String(), decoder.Decoder());
            const bool pictureName = r.image;
            r.image = c.shown == preview::ShownAs::Image;
            if (r.image) r.picture = decoder.image;
            // A picture name up to the decoding limit that did not decode is
            // damaged; other bytes that are no text have no preview here.
            if (!r.image && pictureName && file->GetSize() <= preview::kImageLimit)
                r.message = DamagedPictureText();
            else if (!r.image && c.readFailed && c.text.empty())
                r.message = PreviewUnreadableText();
            else if (!r.image && preview::LooksBinary(c.text))
                r.message = NoPreviewForKindText();
            if (r.message.isEmpty()) r.text = std::move(c.text);
            file.reset();
        }
        QMetaObject::invokeMethod(this, [this, r] { Present(r); }, Qt::QueuedConnection);
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_working = false;
        }
        m_idle.notify_all();
    }
}

void CEmbedQuickView::Present(const Result& r) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (r.generation != m_generation) return;  // a newer selection is on its way
    }
    ++m_resultsShown;
    m_caption->setText(r.any ? r.display : QString());
    m_image->ShowImage(nullptr, 0);
    m_text->clear();
    if (!r.any) {
        // A selected item that could not be opened says so; no item is the placeholder.
        if (r.selected) {
            m_caption->setText(r.display);
            m_message->setText(PreviewUnreadableText());
            m_hexButton->setVisible(false);
            m_stack->setCurrentWidget(m_messagePage);
        } else {
            m_stack->setCurrentWidget(m_placeholder);
        }
        emit shown(QString());
        return;
    }
    if (!r.message.isEmpty()) {
        m_message->setText(r.message);
        m_hexButton->setVisible(r.message == NoPreviewForKindText());
        m_stack->setCurrentWidget(m_messagePage);
    } else if (r.image) {
        m_image->ShowDecoded(r.picture, true, true);
        m_stack->setCurrentWidget(m_image);
    } else {
        m_text->setPlainText(ShownText(r.text));
        m_stack->setCurrentWidget(m_text);
    }
    emit shown(r.name);
}

bool CEmbedQuickView::ShowingImage() const { return m_stack->currentWidget() == m_image; }
bool CEmbedQuickView::ShowingText() const { return m_stack->currentWidget() == m_text; }
bool CEmbedQuickView::ShowingPlaceholder() const { return m_stack->currentWidget() == m_placeholder; }
bool CEmbedQuickView::ShowingMessage() const { return m_stack->currentWidget() == m_messagePage; }
QString CEmbedQuickView::Message() const { return m_message->text(); }
QString CEmbedQuickView::Text() const { return m_text->toPlainText(); }
QString CEmbedQuickView::Caption() const { return m_caption->text(); }
