#include "cli/Source.h"

#include <iostream>

#include "cli/Common.h"

namespace {

std::string g_badMap;

}  // namespace

void UseRescueMapOption(const GlobalOptions& options) {
    g_badMap = options.badMap;
}

namespace {

// The rescue map's part of a failure message.
void NoteMapInError(const OpenedSource& out, SourceError& error) {
    if (!out.rescueMap.empty()) error.message += " (with the rescue map " + out.rescueMap + ")";
    if (error.rescueMap && g_badMap.empty()) error.message += "; --bad-map none reads the image without it";
}

}  // namespace

void SayRescueMap(const OpenedSource& out) {
    if (out.rescueMap.empty()) return;
    std::cerr << "quarlix: using the rescue map " << out.rescueMap << ": "
              << (out.mapUnreadableAreas == 0
                      ? std::string("every byte was rescued")
                      : std::to_string(out.mapUnreadableBytes) + " bytes in " +
                            std::to_string(out.mapUnreadableAreas) +
                            (out.mapUnreadableAreas == 1 ? " area" : " areas") +
                            " were not rescued and are taken as unreadable")
              << "\n";
}

bool OpenSourceTable(const std::string& path, OpenedSource& out, SourceError& error) {
    if (ReadSourceTable(path, out, error, g_badMap)) return true;
    NoteMapInError(out, error);
    return false;
}

bool OpenSourceVolume(OpenedSource& out, int partition, bool requireVolume, SourceError& error) {
    if (!PickSourceVolume(out, partition, requireVolume, error)) {
        NoteMapInError(out, error);
        return false;
    }
    if (out.volume)
        SetVolumeClock(out.volume->Traits().timesUtc ? VolumeClock::Utc : VolumeClock::WallClock);
    return true;
}

bool OpenSource(const std::string& path, int partition, bool requireVolume, OpenedSource& out, SourceError& error) {
    if (!OpenSourceTable(path, out, error) || !OpenSourceVolume(out, partition, requireVolume, error)) return false;
    SayRescueMap(out);
    return true;
}
