#include "ui/CarvedPreview.h"

#include <vector>

#include "ui/ImageControl.h"
#include "ui/ImageDecode.h"

CarvedPreview PrepareCarvedPreview(CVolume& volume, const preview::PreviewItem& item) {
    CarvedPreview p;
    const QString name = QString::fromStdU16String(item.name);
    p.caption = name;
    if (item.size > preview::kCarvedLimit) {
        p.tooLarge = true;
        return p;
    }
    std::vector<uint8_t> data;
    if (preview::ReadCarved(volume, item.firstCluster, item.size, data)) p.image = DecodeImage(data.data(), data.size());
    if (!p.image.isNull()) p.caption = QStringLiteral("%1 (%2 x %3)").arg(name).arg(p.image.width()).arg(p.image.height());
    return p;
}

void ShowCarvedPreview(CImageControl& control, const CarvedPreview& preview) {
    if (preview.tooLarge) {
        control.ShowImage(nullptr, 0, true, true);
        return;
    }
    control.ShowDecoded(preview.image, true, true);
}
