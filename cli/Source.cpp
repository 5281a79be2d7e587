#include "cli/Source.h"

#include <iostream>

#include "cli/Common.h"

namespace {

std::string g_badMap;

}  // namespace

void UseRescueMapOption(const GlobalOptions& options) {
    g_badMap = options.badMap;
}

bool OpenSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error) {
    if (!OpenVolumeSource(path, partition, requireVolume, out, error, g_badMap)) {
        if (!out.rescueMap.empty()) error.message += " (with the rescue map " + out.rescueMap + ")";
        if (error.rescueMap && g_badMap.empty()) error.message += "; --bad-map none reads the image without it";
        return false;
    }
    if (!out.rescueMap.empty())
        std::cerr << "quarlix: using the rescue map " << out.rescueMap << ": "
                  << (out.mapUnreadableAreas == 0
                          ? std::string("every byte was rescued")
                          : std::to_string(out.mapUnreadableBytes) + " bytes in " +
                                std::to_string(out.mapUnreadableAreas) +
                                (out.mapUnreadableAreas == 1 ? " area" : " areas") +
                                " were not rescued and are taken as unreadable")
                  << "\n";
    if (out.volume)
        SetVolumeClock(out.volume->Traits().timesUtc ? VolumeClock::Utc : VolumeClock::WallClock);
    return true;
}
