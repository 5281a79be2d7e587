// exFAT: the input as a whole volume image (boot region, FAT, allocation
// bitmap, up-case table, folders; a short image is a short source), opened
// (its probe checked against the open), indexed (odd-sized inputs keeping
// the live files, as a recursive listing does) and walked; the index the
// build leaves (lost folders included) is checked for the shape every
// reader of it relies on.
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "VolumeWalk.h"
#include "engine/exfat/ExfatVolume.h"
#include "engine/volume/VolumeFacts.h"

namespace {

// Items looked at one by one (placement, layout, runs) at most.
constexpr size_t kMaxItemsChecked = 400;

void CheckIndex(CExfatVolume& volume) {
    const std::vector<ExfatItem>& items = volume.Items();
    const std::vector<ExfatFolder>& folders = volume.Folders();
    FUZZ_CHECK(!items.empty() && !folders.empty());
    FUZZ_CHECK(items[0].folder == 0 && folders[0].item == 0 && !items[0].deleted);
    const uint64_t heapEnd = uint64_t(volume.Geometry().clusterCount) + 2;
    for (size_t i = 1; i < items.size(); ++i) {
        const ExfatItem& item = items[i];
        // Parents come first (GetFullPath walks up on that), are folders,
        // and a deleted folder holds only deleted items.
        FUZZ_CHECK(item.parent < i);
        const ExfatItem& parent = items[item.parent];
        FUZZ_CHECK(parent.IsFolder() && parent.folder >= 0 && size_t(parent.folder) < folders.size());
        FUZZ_CHECK(!parent.deleted || item.deleted);
        FUZZ_CHECK(item.name.size() <= 255);
        // Only the node of the lost folders and the lost folders it holds
        // have no entry set, so no name.
        const uint32_t id = CExfatVolume::IdOf(static_cast<uint32_t>(i));
        if (item.name.empty())
            FUZZ_CHECK((item.IsFolder() && !item.deleted && item.parent == 0) || volume.IsLostFolder(id));
        FUZZ_CHECK(item.validSize <= item.size);
        if (item.IsFolder()) {
            FUZZ_CHECK(item.folder >= 0 && size_t(item.folder) < folders.size() && folders[item.folder].item == i);
            FUZZ_CHECK(folders[item.folder].depth <= CExfatVolume::kMaxFolderDepth + 1);
        } else {
            FUZZ_CHECK(item.deleted && item.folder < 0);  // live files are kept apart
        }
        if (i > kMaxItemsChecked) continue;
        for (const ExfatRun& run : volume.ItemRuns(item)) {
            FUZZ_CHECK(run.count > 0 && run.first >= 2 && run.first + run.count <= heapEnd);
        }
        volume.DataLayoutOf(id);
        ItemPlacement placement;
        std::string why;
        volume.DescribeItem(id, placement, why);
        if (item.IsFolder()) {
            uint64_t total = 0;
            volume.GetFolderSize(id, total, nullptr, 0);
        }
    }
}

}  // namespace

int FuzzExfatVolume(const uint8_t* data, size_t size) {
    static CFuzzFile file("exfat_volume");
    file.Write(data, size);
    CExfatVolume volume;
    const auto source = file.Source();
    volume.UseSource(source);
    const bool opened = volume.Initialize(file.Path());
    CheckProbeAgreesWithOpen(&CExfatVolume::Probe, source, opened, volume.InitError());
    if (!opened) return 0;
    volume.DumpVolume();
    volume.Label();
    VolumeFacts facts;
    volume.DescribeVolume(facts);
    volume.KeepLiveItems(size % 2 == 1);
    if (!volume.BuildIndex(nullptr)) return 0;
    volume.IndexReadLosses();
    CheckIndex(volume);
    WalkVolume(volume);
    return 0;
}
