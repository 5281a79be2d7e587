// What the preview's text controls show of a file's bytes, and the image
// decoder the preview core calls (it keeps the picture it decoded).
#pragma once

#include <QImage>
#include <QString>
#include <string>

#include "engine/recovery/Preview.h"

// UTF-8 (or UTF-16 with its byte-order mark) as it is, anything else as
// Windows-1252; control characters other than tab, line ends and form feed
// shown as middle dots, so that a binary file viewed as text stays readable.
QString ShownText(const std::string& bytes);

// What the previews say instead of showing an item.
QString NoPreviewForKindText();      // binary content
QString DamagedPictureText();        // a picture name whose data does not decode
QString PreviewUnreadableText();     // the item could not be opened or read

// A decoder for PrepareQuickView / PreparePane that keeps what it decoded.
struct KeptImageDecoder {
    QImage image;
    preview::ImageDecoder Decoder();
};
