// NTFS: the input as a volume image (boot sector, the first MFT records,
// what lies behind them; a short image is a short source), opened (its
// probe checked against the open), indexed (odd-sized inputs keeping the
// live items, as a recursive listing does) and walked.
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "VolumeWalk.h"
#include "engine/ntfs/NtfsVolume.h"

int FuzzNtfsVolume(const uint8_t* data, size_t size) {
    static CFuzzFile file("ntfs_volume");
    file.Write(data, size);
    CNtfsVolume volume;
    const auto source = file.Source();
    volume.UseSource(source);
    const bool opened = volume.Initialize(file.Path());
    CheckProbeAgreesWithOpen(&CNtfsVolume::Probe, source, opened, volume.InitError());
    if (!opened) return 0;
    volume.DumpVolume();
    uint64_t freeClusters = 0;
    volume.CountFreeClusters(freeClusters);
    volume.VolumeLabel();
    // Half of the inputs are built as a recursive listing builds them: the
    // live items kept from the records' bytes, then listed from what was kept.
    volume.KeepLiveItems(size % 2 == 1);
    if (!volume.BuildIndex(nullptr)) return 0;
    WalkVolume(volume);
    std::vector<FileItemInfo> items;
    volume.ListFolderRecord(CNtfsVolume::kRootRecord, items);
    volume.ResolvePath(u"C:\\$Recycle.Bin\\x");
    return 0;
}
