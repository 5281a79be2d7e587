#include "cli/Source.h"

#include "cli/Common.h"

bool OpenSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error) {
    if (!OpenVolumeSource(path, partition, requireVolume, out, error)) return false;
    if (out.volume)
        SetVolumeClock(out.volume->Traits().timesUtc ? VolumeClock::Utc : VolumeClock::WallClock);
    return true;
}
