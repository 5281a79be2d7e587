// Checks of a recovery destination on this machine, the recent destinations
// list and the usage statistics kept in the settings profile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DestinationCheck {
    bool ok = false;            // false: refused, error says why
    std::string error;
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
// read-only file system, a missing permission). False with error set.
bool PrepareDestination(const std::string& folder, std::string& error);

// The recent destinations as stored ("a|b|c|"), newest first.
std::vector<std::string> ParseRecentDestinations(const std::string& stored);
// Puts destination first, drops an equal entry (case ignored), keeps at most 5
// entries within 2048 characters, and returns the stored form.
std::string UpdateRecentDestinations(const std::string& stored, const std::string& destination);

// Reads and writes Recover/LastDestinationFolders in the profile (and saves it).
std::vector<std::string> LoadRecentDestinations();
void RememberDestination(const std::string& destination);
// Adds a finished job to UsageStatistics (files and bytes) and saves the profile.
void AddRecoveryStatistics(uint32_t filesDone, uint64_t processedBytes);
