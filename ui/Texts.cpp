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
    {509, "Destination folder"},
    {510, "The recovered items cannot be written there.\n\n%1.\n\nChoose another folder, preferably on another "
          "drive than the one you recover from."},
    {513, "Folder%1"},
    {528, "The selection (%2) is larger than the free space of the destination (%1). Some files may not fit. "
          "Recover anyway?"},
    {535, "more than an hour"},
    {538, "Indexing the drive"},
    {539, "Reading the saved index"},
    {541, "Saving the index"},
    {549, "Nothing was recovered: the selection held no items."},
    {559, "A search or a surface scan is running. Stop it before you close the program."},
    {560, "The update check failed: the update service could not be reached or gave no usable answer. Check the "
          "Internet connection, or try again later."},
    {562, "Cancelled"},
    {585, "Loading the preview…"},
    {586, "No preview: this item cannot be shown as a picture or as text. Try View as text, or recover it."},
    {587, " – Quick view"},
    {589, "Loading the preview: %1%"},
    {590, "You have the latest version of Quarlix Recovery."},
    {597, "Recovering: %1% done"},
    {601, "Files: all %1 recovered."},
    {602, "Files: none of %1 could be recovered."},
    {603, "Files: %1 of %2 recovered."},
    {604, "Folders: all %1 recovered."},
    {605, "Folders: none of %1 could be recovered."},
    {606, "Folders: %1 of %2 recovered."},
    {607, "%1 written in %2."},
    {608, "Failed: %1 (the list above says why)."},
    {609, "Incomplete: %1 (part of their data could not be read)."},
    {610, "Skipped: %1 (a file or folder of that name was kept)."},
    {611, "The recovered items are in %1."},
    {612, "No data was written."},
    {613, "The recovery was cancelled."},
    {614, "Names without data: %1 (only the name of these files is left; there was nothing to write)."},
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
    {655, "Select at least one kind of file to look for."},
    {656, "Surface scan"},
    {671, "%1 File"},
    {675, "Counting the size of the selection: %1"},
    {676, "Counting the size of the selection: %1 items"},
    {704, "File folder"},
    {713, "Scanning %1"},
    {714, "Counting the free clusters of %1 …"},
    {715, "Preparing the surface scan…"},
    {716, "The drive cannot be read for a surface scan. It may be damaged, or it was removed."},
    {728, "All kinds of file"},
    {738, "Data status"},
    {739, "Not overwritten"},
    {749, "The scan of %1 is over: %2 files found. Select them and choose Recover."},
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
