// What the targets share: the input as a file, the sample volumes, the check.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/volume/VolumeProbe.h"

class CByteSource;

// Prints the failed property and aborts (the fuzzer keeps the input).
[[noreturn]] void FuzzFail(const char* file, int line, const char* what);
#define FUZZ_CHECK(cond)                                 \
    do {                                                 \
        if (!(cond)) FuzzFail(__FILE__, __LINE__, #cond); \
    } while (0)

// An in-memory file (memfd) that holds the current input; its path
// (/proc/self/fd/N) opens like an image file. One per target, reused.
class CFuzzFile {
public:
    explicit CFuzzFile(const char* name);
    ~CFuzzFile();
    CFuzzFile(const CFuzzFile&) = delete;
    CFuzzFile& operator=(const CFuzzFile&) = delete;
    // Replaces the content with the bytes (the file is exactly size bytes long).
    void Write(const uint8_t* data, size_t size);
    const std::string& Path() const { return m_path; }
    // The current content opened as a byte source (as a command opens its
    // source: once, then shared by the table, the volume and the scan).
    std::shared_ptr<CByteSource> Source() const;

private:
    int m_fd = -1;
    std::string m_path;
};

// A sample image of the repository (samples/<name>.img.gz), decompressed once
// into its own in-memory file; the path of that file.
const std::string& SampleImagePath(const char* name);

// The probe of a file system run on the whole of source, checked against
// what its volume's open said of the same bytes: every source the open
// accepts is a Yes, a Damaged gives the open's own reason, a No leaves the
// open without one.
void CheckProbeAgreesWithOpen(ProbeResult (*probe)(const BootSource&), const std::shared_ptr<CByteSource>& source,
                              bool opened, const std::string& initError);

// A folder private to this process for files a target writes (cache files):
// under /dev/shm when it exists, removed at exit.
const std::string& FuzzScratchFolder();

// The cache file of a sample volume's index ("fat" or "ntfs") written to
// out: a seed of the cache targets (fuzz-seed, tools/fuzz-seeds.sh).
bool WriteCacheSeed(const std::string& fileSystem, const std::string& out, bool fingerprintStandIn = false);
