// FAT: the input as a whole volume image (boot sector, FATs, folders),
// opened (its probe checked against the open), indexed and walked; and the
// same bytes fed to the directory-slot decoder as a folder's 32-byte slots
// (deleted entries and long names).
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "VolumeWalk.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"

namespace {

void DecodeSlots(const uint8_t* data, size_t size, bool fat32) {
    CFatEntryDecoder decoder(fat32);
    for (size_t at = 0; at + 32 <= size && at < kFatMaxFolderBytes; at += 32) {
        if (data[at] == 0) {
            decoder.Reset();
            continue;
        }
        FatFileInfo info;
        bool deleted = false;
        if (decoder.Feed(data + at, info, deleted) == CFatEntryDecoder::Result::Entry)
            FUZZ_CHECK(decoder.PieceCount() <= kFatMaxLongNamePieces);
    }
}

}  // namespace

int FuzzFatVolume(const uint8_t* data, size_t size) {
    DecodeSlots(data, size, (size & 1) != 0);
    static CFuzzFile file("fat_volume");
    file.Write(data, size);
    CFatVolume volume;
    const auto source = file.Source();
    volume.UseSource(source);
    const bool opened = volume.Initialize(file.Path());
    CheckProbeAgreesWithOpen(&CFatVolume::Probe, source, opened, volume.InitError());
    if (!opened) return 0;
    volume.DumpVolume();
    if (volume.BuildIndex(nullptr)) WalkVolume(volume);
    return 0;
}
