// The image control of the preview: shows one decoded picture scaled into
// its client area keeping the aspect ratio, optionally fading it in. The
// bytes are decoded with the format taken from the content (ImageDecode).
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstddef>
#include <cstdint>

class CImageControl : public QWidget {
    Q_OBJECT
public:
    explicit CImageControl(QWidget* parent);

    // Discards the current picture, then decodes data (when given and clear
    // is not set) and shows it: true when it decoded. clear shows no picture
    // (not the empty state); no data and no clear is the empty state. fade
    // fades the picture in (20 ms steps); fit resamples it to the shown size.
    // A call while another is running returns false.
    bool ShowImage(const uint8_t* data, size_t size, bool clear = false, bool fade = false, bool fit = false);
    // The same for a picture decoded elsewhere (a worker thread); a null
    // image is a decoding failure.
    bool ShowDecoded(const QImage& image, bool fade = false, bool fit = false);

    // The picture's pixel size, -1 when none.
    int ImageWidth() const { return m_width; }
    int ImageHeight() const { return m_height; }
    bool IsEmpty() const { return m_empty; }
    bool Fading() const { return m_fadeTimer.isActive(); }
    // Where the picture is drawn in the control (empty when none).
    QRect DisplayRect() const;

    static constexpr int kFadeSteps = 20;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool Take(const QImage& image, bool fade, bool fit);
    void Rescale();

    QImage m_image;   // as decoded, with an alpha channel
    QImage m_shown;   // resampled to the display size when fit is set
    int m_width = -1;
    int m_height = -1;
    bool m_empty = true;
    bool m_fit = false;
    int m_fadeStep = kFadeSteps - 1;
    QTimer m_fadeTimer;
    bool m_busy = false;
};
