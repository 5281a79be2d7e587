// The surface-scan result pane's preview of one carved item: read on the
// pane's preview thread (one cluster read of the whole extent, at most the
// carved limit), then shown in its image control with fade and fit, under a
// caption with the picture's size.
#pragma once

#include <QImage>
#include <QString>

#include "engine/recovery/Preview.h"

class CImageControl;

struct CarvedPreview {
    QImage image;     // null when nothing decoded, or the item is too large
    QString caption;  // "name (width x height)" for a picture, else the name
    bool tooLarge = false;
    QString message;  // said in the place of the picture when none is shown
};

// Safe off the window's thread.
CarvedPreview PrepareCarvedPreview(CVolume& volume, const preview::PreviewItem& item);
// On the window's thread.
void ShowCarvedPreview(CImageControl& control, const CarvedPreview& preview);
