// The factory that picks the file-system reader for a source: NTFS is tried
// first, then FAT. A source that neither reader accepts has no volume.
#pragma once

#include <memory>
#include <string>

#include "engine/volume/Volume.h"

// Makes the volume for a drive letter of the drive table; null when neither
// reader accepts the source.
std::unique_ptr<CVolume> CreateVolume(char16_t letter);

// Why the last CreateVolume on this thread failed: "" when the source holds
// no NTFS or FAT file system at all, else the reader's reason (a FAT or NTFS
// boot sector with impossible geometry, a truncated image, ...) or the open
// error.
const std::string& CreateVolumeError();
// errno of the failed open, 0 when the source could be opened.
int CreateVolumeOpenErrno();
