// Opening a SOURCE for a command: the engine's OpenVolumeSource, then the
// volume clock of the file system found (SetVolumeClock).
#pragma once

#include <string>

#include "engine/index/Source.h"

struct GlobalOptions;

// Takes --bad-map for every later OpenSource (once, before any).
void UseRescueMapOption(const GlobalOptions& options);

// Opens the source with the rescue map of --bad-map, and says on stderr which
// map it takes and what it marks unreadable.
bool OpenSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error);

// OpenSource in steps: the source and its partition table (with the rescue
// map of --bad-map), then the volume of one partition (0: the only NTFS/FAT
// one; the one before is closed), and the note on stderr of the map taken.
bool OpenSourceTable(const std::string& path, OpenedSource& out, SourceError& error);
bool OpenSourceVolume(OpenedSource& out, int partition, bool requireVolume, SourceError& error);
void SayRescueMap(const OpenedSource& out);
