// The factory that picks the file-system reader for a source: every reader
// of the table of file systems (VolumeFactory.cpp, one line each) looks at
// it, and the one that accepts it makes the volume. A source that none
// accepts has no volume; one that two accept has none either: its boot
// sector is ambiguous and no reader is guessed.
#pragma once

#include <memory>

#include "engine/volume/Volume.h"
#include "platform/Status.h"

// Why CreateVolume made no volume (Ok when it made one):
//   NotFound, message ""  the source holds no NTFS or FAT file system at all
//   NotFound              no source is assigned to the drive letter
//   ReadError             the source cannot be opened; openErrno is why
//   Corrupt               a reader recognised its boot sector but found it
//                         unusable (impossible geometry, a truncated image, ...)
//   Ambiguous             more than one reader accepts the source
struct VolumeStatus {
    Status status;
    int openErrno = 0;  // errno of the failed open, 0 when the source could be opened
};

// Makes the volume for a drive letter of the drive table; null when no
// reader (or more than one) accepts the source, with why saying which.
std::unique_ptr<CVolume> CreateVolume(char16_t letter, VolumeStatus& why);
