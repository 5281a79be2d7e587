#include "ui/PreviewText.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include "ui/ImageDecode.h"

QString ShownText(const std::string& bytes) {
    QString text;
    const auto* d = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    if (n >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF))) {
        QStringDecoder utf16(d[0] == 0xFF ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        text = utf16(QByteArrayView(bytes.data() + 2, static_cast<qsizetype>(n - 2)));
    } else {
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(n)));
        if (utf8.hasError()) {
            // Windows-1252: Latin-1 with its own 0x80..0x9F block.
            static const char16_t k1252[32] = {
                0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
            text.resize(static_cast<qsizetype>(n));
            for (size_t i = 0; i < n; ++i)
                text[static_cast<qsizetype>(i)] = QChar(d[i] >= 0x80 && d[i] < 0xA0 ? k1252[d[i] - 0x80] : d[i]);
        }
    }
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f') || u == 0x7F) c = QChar(0x00B7);
    }
    return text;
}

QString NoPreviewForKindText() {
    return QCoreApplication::translate("Preview", "No preview for this kind of file.");
}

QString DamagedPictureText() {
    return QCoreApplication::translate("Preview", "This picture cannot be shown: its data is damaged or overwritten.");
}

QString PreviewUnreadableText() {
    return QCoreApplication::translate("Preview", "This item cannot be read for a preview. It may still be recovered.");
}

preview::ImageDecoder KeptImageDecoder::Decoder() {
    return [this](const uint8_t* data, size_t size) {
        image = DecodeImage(data, size);
        return !image.isNull();
    };
}
