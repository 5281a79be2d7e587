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
