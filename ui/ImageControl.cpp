#include "ui/ImageControl.h"

#include <QPainter>

#include "ui/ImageDecode.h"

CImageControl::CImageControl(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("imageControl"));
    m_fadeTimer.setInterval(20);
    connect(&m_fadeTimer, &QTimer::timeout, this, [this] {
        if (++m_fadeStep >= kFadeSteps - 1) {
            m_fadeStep = kFadeSteps - 1;
            m_fadeTimer.stop();
        }
        update();
    });
}

bool CImageControl::ShowImage(const uint8_t* data, size_t size, bool clear, bool fade, bool fit) {
    if (m_busy) return false;
    m_busy = true;
    m_image = QImage();
    m_shown = QImage();
    m_width = m_height = -1;
    m_fadeTimer.stop();
    bool shown = false;
    if (data && size && !clear) {
        shown = Take(DecodeImage(data, size), fade, fit);
    } else {
        m_empty = !clear;  // clear: no picture, but not the empty state
    }
    update();
    m_busy = false;
    return shown;
}

bool CImageControl::ShowDecoded(const QImage& image, bool fade, bool fit) {
    if (m_busy) return false;
    m_busy = true;
    m_fadeTimer.stop();
    const bool shown = Take(image, fade, fit);
    update();
    m_busy = false;
    return shown;
}

bool CImageControl::Take(const QImage& image, bool fade, bool fit) {
    m_image = QImage();
    m_shown = QImage();
    m_width = m_height = -1;
    if (image.isNull()) {
        m_empty = true;
        return false;
    }
    m_image = image.hasAlphaChannel() ? image : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_width = image.width();
    m_height = image.height();
    m_empty = false;
    m_fit = fit;
    Rescale();
    m_fadeStep = fade ? 0 : kFadeSteps - 1;
    if (fade) m_fadeTimer.start();
    return true;
}

QRect CImageControl::DisplayRect() const {
    if (m_image.isNull()) return QRect();
    // The picture plus one pixel each way, scaled down (never up) to the
    // client height first, then to its width.
    double w = m_width + 1, h = m_height + 1;
    const QRect client = rect();
    if (h > client.height() && client.height() > 0) {
        w = w * client.height() / h;
        h = client.height();
    }
    if (w > client.width() && client.width() > 0) {
        h = h * client.width() / w;
        w = client.width();
    }
    const QSize size(std::max(1, int(w)), std::max(1, int(h)));
    return QRect(QPoint((client.width() - size.width()) / 2, (client.height() - size.height()) / 2), size);
}

void CImageControl::Rescale() {
    m_shown = QImage();
    if (m_fit && !m_image.isNull())
        m_shown = m_image.scaled(DisplayRect().size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void CImageControl::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Rescale();
}

void CImageControl::paintEvent(QPaintEvent*) {
    if (m_image.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(double(m_fadeStep + 1) / kFadeSteps);
    painter.drawImage(DisplayRect(), m_shown.isNull() ? m_image : m_shown);
}
