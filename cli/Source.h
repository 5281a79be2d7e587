// Opening a SOURCE for a command: the engine's OpenVolumeSource, then the
// volume clock of the file system found (SetVolumeClock).
#pragma once

#include <string>

#include "engine/index/Source.h"

bool OpenSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error);
