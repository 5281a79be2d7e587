// The factory that picks the file-system reader for a source: the probe of
// every line of the table of file systems (VolumeFactory.cpp, one line each)
// looks at its boot sectors (VolumeProbe.h), and only a file system whose
// probe says yes opens its volume. A source that no probe recognises has no
// volume; one that two file systems open has none either: its boot sector
// is ambiguous and no reader is guessed.
#pragma once

#include <memory>
#include <span>

#include "engine/volume/Volume.h"
#include "engine/volume/VolumeProbe.h"
#include "platform/Status.h"

class CDeviceStream;
struct SourceSpec;

// One line of the table of file systems: its name, its probe, and a volume
// of it, not opened yet.
struct FileSystemEntry {
    const char* name;
    ProbeResult (*probe)(const BootSource& source);
    std::unique_ptr<CVolume> (*make)();
};
// The table, in the order the file systems look at a source.
std::span<const FileSystemEntry> FileSystems();
// Opens stream on the window of spec (its opened source, else its path) and
// points boot at it, as CreateVolume's probes read it; false with errno set
// when the source cannot be opened. boot reads through stream, which must
// outlive it.
bool OpenProbeSource(const SourceSpec& spec, CDeviceStream& stream, BootSource& boot);

// Why CreateVolume made no volume (Ok when it made one):
//   NotFound, message ""  no probe recognises the source (no NTFS or FAT at all)
//   NotFound              no source is assigned to the drive letter
//   ReadError             the source cannot be opened; openErrno is why
//   Corrupt               a probe recognised its boot sector but found it
//                         unusable (impossible geometry, a truncated image,
//                         ...), or the volume its probe chose failed to open
//   Ambiguous             more than one probe recognises the source
struct VolumeStatus {
    Status status;
    int openErrno = 0;  // errno of the failed open, 0 when the source could be opened
};

// Makes the volume for a drive letter of the drive table; null when no
// reader (or more than one) accepts the source, with why saying which.
std::unique_ptr<CVolume> CreateVolume(char16_t letter, VolumeStatus& why);
