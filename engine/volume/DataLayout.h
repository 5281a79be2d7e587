// What a recovery knows of where a file's data lay, and what a check of the
// recovered bytes' own structure says about them.
//
// A deleted FAT file keeps its first cluster and its size; the chain that
// linked its clusters is gone, so its later clusters are taken as the ones
// that follow the first. Such a guess is Assumed; one whose clusters run
// into the first cluster of another deleted item is Contradicted (a cluster
// holds the data of one file only). Everything whose runs are on record
// (NTFS, a single-cluster FAT file, a live file) is Recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class DataLayout { Recorded, Assumed, Contradicted };

enum class ContentVerdict {
    NoCheck,  // nothing is known of this type's structure
    Passed,   // the bytes parse as a whole file of their type
    Failed,   // they do not: the file is not what it was
};

// Checks the file at path by the structure its name's extension promises;
// slack: how many bytes may follow the structure's end (the rest of its
// last cluster).
using ContentCheckFn = std::function<ContentVerdict(const std::string& path, uint32_t slack)>;
