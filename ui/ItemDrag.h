// Dragging deleted items out of the window's lists. The drag carries
// application/x-quarlix-items: the drive (its source and engine key) and,
// per row, what the recovery plan needs of it (ItemsMimeData). A drop on a
// folder recovers them there (RecoverDroppedItems) through the destination
// dialog's checks and the progress dialog; nothing is written for a drag
// that is not dropped on a folder.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
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

// A drag's way out to a file manager. The drag also carries
// application/x-kde-ark-dndextract-service and -path: the window's name on
// the session bus and an object there. A file manager that knows that pair
// (Dolphin, the Plasma desktop, KDE's file dialogs) answers a drop on one of
// its folders by calling extractSelectedFilesTo(folder) on interface
// org.kde.ark.DndExtract; the window then recovers the dragged items there
// as a drop on its own would (the destination checks, the progress dialog).
// Nothing is offered without a session bus.
inline constexpr const char* kDndServiceMimeType = "application/x-kde-ark-dndextract-service";
inline constexpr const char* kDndPathMimeType = "application/x-kde-ark-dndextract-path";

class CDragExport : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.ark.DndExtract")
public:
    static CDragExport& Instance();
    // What a drop does (the window sets it): recover the drag's data into folder.
    using Recovery = std::function<void(const QMimeData& data, const QString& folder)>;
    void SetRecovery(Recovery recover) { m_recover = std::move(recover); }
    // Adds the bus's service and path to a drag's data and keeps the items
    // it names for a drop outside the window.
    void Offer(QMimeData& data);

public slots:
    // The file manager's call: folder is a local path or a file: URL.
    Q_SCRIPTABLE void extractSelectedFilesTo(const QString& folder);

private:
    bool m_registered = false;
    QByteArray m_items;  // the last drag's items (kItemsMimeType)
    Recovery m_recover;
};
