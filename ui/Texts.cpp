#include "ui/Texts.h"

#include <QCoreApplication>

namespace {

struct Entry {
    int id;
    const char* text;
};

// Kept in number order.
constexpr Entry kTexts[] = {
    {2, "Lost folders"},
    {13, "Recycle Bin"},
    {500, "Quarlix Recovery"},
    {513, "Folder%1"},
    {538, "Indexing the drive"},
    {539, "Reading the saved index"},
    {541, "Saving the index"},
    {559, "A search or a surface scan is running. Stop it before you close the program."},
    {618, "Deleted items are shown with a red mark. Select them and choose Recover to get them back."},
    {620, "Some deleted files in this folder are partly overwritten: the Data status column shows how much of "
          "each is lost. Files at 0% can come back whole."},
    {621, "Not sure where to start?"},
    {622, "The scan wizard leads you from the choice of a drive to your deleted files."},
    {623, "Lost folders are deleted folders whose place in the folder tree is no longer known. Their files can "
          "still be recovered."},
    {625, "Tip: arrange the view"},
    {626, "Drag the column headers to reorder them, or right-click a header to show and hide columns."},
    {637, "Browse"},
    {652, "Search"},
    {653, "Surface scan"},
    {671, "%1 File"},
    {704, "File folder"},
    {738, "Data status"},
    {739, "Not overwritten"},
    {787, "The drive could not be indexed. It may be damaged, or it was removed."},
};

}  // namespace

QString UiText(int id) {
    for (const Entry& e : kTexts)
        if (e.id == id) return QCoreApplication::translate("UiText", e.text);
    return QString();
}

static void InitIconResources() { Q_INIT_RESOURCE(icons); }

void InitUiResources() {
    static const bool done = (InitIconResources(), true);
    (void)done;
}
