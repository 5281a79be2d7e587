#include "ui/CarvedPreview.h"

#include <QCoreApplication>
#include <vector>

#include "ui/ImageControl.h"
#include "ui/ImageDecode.h"
#include "ui/PreviewText.h"

CarvedPreview PrepareCarvedPreview(CVolume& volume, const preview::PreviewItem& item) {
    CarvedPreview p;
    const QString name = QString::fromStdU16String(item.name);
    p.caption = name;
    if (item.size > preview::kCarvedLimit) {
        p.tooLarge = true;
        p.message = QCoreApplication::translate("Preview", "This file is too large for a preview. It can still be recovered.");
        return p;
    }
    std::vector<uint8_t> data;
    const bool read = preview::ReadCarved(volume, item, data);
    if (read) p.image = DecodeImage(data.data(), data.size());
    if (!p.image.isNull()) p.caption = QStringLiteral("%1 (%2 x %3)").arg(name).arg(p.image.width()).arg(p.image.height());
    else if (!read) p.message = PreviewUnreadableText();
    else p.message = preview::HasImageExtension(item.name) ? DamagedPictureText() : NoPreviewForKindText();
    return p;
}

void ShowCarvedPreview(CImageControl& control, const CarvedPreview& preview) {
    if (preview.tooLarge) {
        control.ShowImage(nullptr, 0, true, true);
        return;
    }
    control.ShowDecoded(preview.image, true, true);
}
