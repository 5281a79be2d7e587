// Shared helpers of the FAT tests: fixture images made by
// tools/make-fat-fixture.sh, a walk of the engine's deleted items, and the
// parsed deleted listing of Sleuth Kit's fls.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fat/FatVolume.h"

namespace fattest {

// Builds a fixture (kind fat12 | fat16 | fat32 | bench) into path; empty
// string on success, else the script's output.
std::string MakeFixture(const std::string& kind, const std::string& path);
// Opens an image as a FAT volume (drive letter 0); null with a failed assertion otherwise.
std::unique_ptr<CFatVolume> OpenImage(const std::string& path);
// True when the fixture tools are installed.
bool HaveFixtureTools();

// One deleted item as a listing shows it: its full path with "/" separators
// (no leading "/"), its size and whether it is a folder.
struct Listed {
    std::string path;
    uint64_t size = 0;
    bool folder = false;
    uint32_t id = 0;      // engine id (engine listings)
    uint64_t inode = 0;   // Sleuth Kit address (fls listings)
};

// Every deleted item the engine shows, walking from the root: the deleted
// items of each existing folder (EnumDeletedFilesByPath), the existing
// subfolders (ListLiveFolder) and the content of each deleted folder
// (EnumDeletedFiles), recursively.
std::vector<Listed> WalkDeleted(CFatVolume& volume);

// "fls -r -d -p -l IMAGE" parsed; entries under $OrphanFiles are left out.
std::vector<Listed> FlsDeleted(const std::string& image);
// Parses the text of "fls -r -d -p" (ground-truth files; no sizes).
std::vector<Listed> ParseFls(const std::string& text, bool withSizes, bool keepOrphans = false);

// The path with the first letter of every component replaced by "_" when it
// is "?" (the engine's mark of a deleted short name; fls shows "_").
std::string FlsStyle(const std::string& enginePath);

std::string Utf8(const std::u16string& s);
// A fixture image of the given kind, built once per test process; "" when
// the tools are missing (callers skip).
const std::string& FixtureImage(const std::string& kind);
std::u16string U16(const std::string& s);

}  // namespace fattest
