// Dragging deleted items out of the window's lists. The drag carries
// application/x-quarlix-items: the drive (its source and engine key) and,
// per row, what the recovery plan needs of it (ItemsMimeData). A drop on a
// folder recovers them there (RecoverDroppedItems) through the destination
// dialog's checks and the progress dialog; nothing is written for a drag
// that is not dropped on a folder.
#pragma once

#include <QString>
#include <vector>

#include "ui/RecoverDlg.h"

class QMimeData;
struct GuiDrive;

inline constexpr const char* kItemsMimeType = "application/x-quarlix-items";

// The rows of a listing of the drive (source, key) as a drag's data.
QMimeData* ItemsMimeData(const QString& source, char16_t letter, const std::vector<SelectedRow>& rows);

// What a drag's data names: false when it carries no items, or what it
// carries cannot be read.
struct DraggedItems {
    QString source;
    char16_t letter = 0;
    std::vector<ListedItem> items;
    std::vector<QString> names;
};
bool DecodeDraggedItems(const QMimeData& data, DraggedItems& out);

// Recovers the dragged items into folder: the drive they came from must be
// open still (drives: the browse page's); the destination dialog's checks
// (never the source's own device or mount, the free space) come first, then
// the progress dialog. False when nothing was recovered: no items of an open
// drive, nothing deleted among them (said in a message box), a refused or
// declined destination.
bool RecoverDroppedItems(QWidget* parent, const QMimeData& data, const QString& folder,
                         const std::vector<GuiDrive>& drives, UsageStatistics& statistics);
