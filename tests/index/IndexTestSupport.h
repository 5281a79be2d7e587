// Shared pieces of the index tests: sources opened through the drive table
// and the volume factory, a transcript of everything a volume's index
// answers, the log captured into a file, and the fixture images.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "engine/volume/Volume.h"

namespace indextest {

// A source under a drive letter of the drive table for the lifetime of the object.
class Drive {
public:
    Drive(const std::string& path, uint64_t offset = 0);
    ~Drive();
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;
    char16_t Letter() const { return m_letter; }
    // A new volume of the source (NTFS tried first, then FAT); null when none.
    std::unique_ptr<CVolume> Open() const;

private:
    char16_t m_letter = 0;
};

// Every answer of the volume's index operations, one line per answer: the
// live items of every existing folder, the deleted items under each of them,
// under every deleted folder, the lost folders and the recycle bin
// with their counts, file info, index entries, parents and lost flags, the
// data a recovery of each deleted file reads (its layout and a hash of its
// first MiB), and a search over everything with the full path and
// containing-folder list of each hit.
std::vector<std::string> Transcript(CVolume& volume);
// The first line where two transcripts differ ("" when they are equal).
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b);

// The log written into a file for the lifetime of the object (level 2).
class LogCapture {
public:
    explicit LogCapture(const std::string& path);
    ~LogCapture();
    std::string Text() const;

private:
    std::string m_path;
};

// The cache folder of the test process: a fresh folder set as XDG_CACHE_HOME.
void UsePrivateCacheFolder();

// Fixture images, made once per process under a temporary folder; "" when
// the tools or the shared data are missing (the caller skips).
std::string NtfsFixtureImage();
std::string FatRecycleBinImage();
std::string GunzipOnce(const std::string& gzPath, const std::string& name);

}  // namespace indextest
