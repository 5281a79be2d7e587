// Checks of a recovery destination on this machine.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Status.h"

struct DestinationCheck {
    Status status;              // not ok: refused, its message says why
    std::string folder;         // the destination made absolute, without a trailing "/"
    uint64_t freeBytes = 0;     // free space of the destination's file system (0 when unknown)
    bool tooSmall = false;      // the selection is larger than the free space (a warning)
};

// Refuses a destination that is empty, or whose file system lives on the
// device being read: for a block-device source that device, any of its
// partitions, or the disk it is a partition of. For an image-file source the
// image itself is protected by the output writer, and its own file system is
// a fine place to write. A destination that does not exist yet is judged by
// its nearest existing parent.
DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize);

// Makes a checked destination folder ready before any work starts: creates
// it with its parents and proves that a file can be created in it (a
// read-only file system, a missing permission).
Status PrepareDestination(const std::string& folder);
