// The window's numbered texts (the string table every page and dialog
// draws from), by number, translated through tr().
#pragma once

#include <QString>

QString UiText(int id);

// The texts by name, for reading.
namespace texts {
inline constexpr int kLostFolders = 2;
inline constexpr int kRecycleBin = 13;
inline constexpr int kCaption = 500;
inline constexpr int kLostFolderName = 513;     // "Folder%1"
inline constexpr int kCloseWhileRunning = 559;
inline constexpr int kUpdateFailed = 560;
inline constexpr int kUpdateNone = 590;
inline constexpr int kPreviewLoading = 585;
inline constexpr int kPreviewNothing = 586;
inline constexpr int kQuickViewTitle = 587;    // after the item's name
inline constexpr int kPreviewLoadingPercent = 589;
inline constexpr int kTipDeletedFiles = 618;
inline constexpr int kTipOverwrittenFiles = 620;
inline constexpr int kTipLaunchWizard = 622;
inline constexpr int kTipLaunchWizardTitle = 621;
inline constexpr int kTipCustomizeView = 625;
inline constexpr int kTipCustomizeViewTitle = 626;
inline constexpr int kTipLostFolders = 623;
inline constexpr int kBrowsePage = 637;
inline constexpr int kSearchPage = 652;
inline constexpr int kScanPage = 653;
inline constexpr int kFileOfType = 671;        // "%1 File"
inline constexpr int kScanNoType = 655;
inline constexpr int kScanCaption = 656;
inline constexpr int kScanScanning = 713;      // drive letter
inline constexpr int kScanCounting = 714;      // drive letter
inline constexpr int kScanPreparing = 715;
inline constexpr int kScanCannotRead = 716;
inline constexpr int kScanAllTypes = 728;
inline constexpr int kScanDone = 749;          // drive letter, files found
inline constexpr int kFolderType = 704;
inline constexpr int kIndexEnumerating = 538;
inline constexpr int kIndexReadingCache = 539;
inline constexpr int kIndexSavingCache = 541;
inline constexpr int kIndexFailed = 787;
inline constexpr int kDataStatusTitle = 738;
inline constexpr int kDataStatusIntact = 739;
}  // namespace texts

// Registers the bundled icons (the resources of a static library are not
// registered by themselves); the main window calls it, so may anyone.
void InitUiResources();
