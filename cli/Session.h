// A source opened for an index-based command: the drive letter, the volume
// registry that owns its volume, and the index made ready by the indexing job
// (cache first unless --no-cache or --rescan).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/Common.h"
#include "cli/Source.h"
#include "engine/index/FolderBrowse.h"
#include "engine/index/VolumeRegistry.h"

struct IndexedSource {
    OpenedSource source;
    std::unique_ptr<CVolumeRegistry> registry;
    CVolume* volume = nullptr;
    bool fromCache = false;
    bool interrupted = false;  // Ctrl-C during indexing: the index is partial
    double seconds = 0;
    std::vector<ReadLoss> readLosses;  // what the index could not read (a warning line each)
    // The exit code of a command that listed from this index: partial when
    // the index could not read everything.
    int ListedExit() const { return interrupted ? kExitInterrupted : !readLosses.empty() ? kExitPartial : kExitOk; }
};

// Opens the source and indexes it. Returns 0 on success, else the exit code
// (the error has been printed).
int OpenIndexedSource(const GlobalOptions& options, const std::string& source, int partition, bool rescan,
                      IndexedSource& out);
// Indexes a source OpenSource opened (its volume is indexed, not opened again).
int IndexOpenedSource(const GlobalOptions& options, OpenedSource opened, bool rescan, IndexedSource& out);

// One stderr line "quarlix: warning: the source is shorter than its volume
// says ..." when it is (an image cut short, a partition entry shorter than its
// file system); at most once per run. OpenIndexedSource calls it; info and
// scan call it for the volume they open themselves.
void WarnIfShortSource(const CVolume& volume);

// The deleted item ITEM names (an id as list prints it, or a path); on
// failure the error is printed and the exit code returned, else 0.
int FindCliItem(IndexedSource& source, const std::string& sourceArg, const std::string& itemArg, FoundItem& out);
