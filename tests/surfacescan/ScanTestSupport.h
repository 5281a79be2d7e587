// Shared helpers of the surface-scan tests: byte builders for crafted files,
// raw volumes over built bytes, a recording scan callback, and FAT images
// holding deleted copies of the samples in tests/data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/TestUtil.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/RawVolume.h"

namespace scantest {

using Bytes = std::vector<uint8_t>;

void Be16(Bytes& b, uint16_t v);
void Be32(Bytes& b, uint32_t v);
void Le16(Bytes& b, uint16_t v);
void Le32(Bytes& b, uint32_t v);
void Text(Bytes& b, const std::string& s);
void Fill(Bytes& b, size_t n, uint8_t v);
Bytes Concat(std::initializer_list<Bytes> parts);

// A raw volume (unit bytes per cluster) over bytes written to a temporary
// file. window > 0 limits the source to its first window bytes.
class ByteVolume {
public:
    ByteVolume(const Bytes& bytes, uint32_t unit = 512, uint64_t window = 0);
    CRawVolume& volume() { return *m_volume; }
    const std::string& path() const { return m_path; }

private:
    testutil::TempDir m_dir;
    std::string m_path;
    std::unique_ptr<CRawVolume> m_volume;
};

struct Hit {
    bool found = false;
    uint64_t size = 0;
    std::u16string type, title, author;
};

// Runs one detect function on the first cluster of the bytes followed by
// trailing filler (so that reads past the file's end find bytes, as on a disk).
Hit Detect(DetectFn detect, const Bytes& file, size_t filler = 16384);
// The same on an open volume at a cluster, with the scan's type set and stop
// flag when the provider asks for them.
Hit DetectOn(DetectFn detect, CVolume& volume, uint64_t cluster, const ScanTypeSet* types = nullptr,
             const StopFlag* stop = nullptr);
// Every find of a registered provider must lie within its signature (the byte
// at the signature's offset one it names), or DetectAt would never ask the
// provider there. Both helpers above check each find with it.
void ExpectSignatureAdmits(DetectFn detect, CVolume& volume, uint64_t cluster);

// A full registry, built once.
const ProviderRegistry& Registry();
// A type set with the given keys enabled (in that order).
ScanTypeSet TypesOf(std::initializer_list<const char16_t*> keys);
// A type set with every registered type enabled.
ScanTypeSet AllTypes();

struct Found {
    std::u16string type, title, author;
    uint64_t cluster = 0;
    uint64_t size = 0;
};

// Records everything; can be told to answer false at a given call.
class RecordingCallback : public ISurfaceScanCallback {
public:
    WalkResult OnCountProgress(uint64_t current, uint64_t total) override;
    WalkResult OnScanProgress(uint64_t scanned) override;
    WalkResult OnFileFound(const std::u16string& typeKey, const std::u16string& title, const std::u16string& author,
                     uint64_t startCluster, uint64_t size) override;

    std::vector<Found> found;
    std::vector<uint64_t> scanProgress;
    uint64_t countCalls = 0, lastCountCurrent = 0, lastCountTotal = 0;
    int64_t failFoundAt = -1;     // answer Stop to the n-th OnFileFound (0-based)
    int64_t failCountAt = -1;     // answer Stop to the n-th OnCountProgress
    StopFlag* raiseStopOnFound = nullptr;  // raise this flag at the first hit (and answer true)
};

// The samples made by real tools (tests/data).
std::string DataDir();
struct Sample {
    std::string file;   // name in tests/data
    std::u16string type;
    std::u16string title, author;  // what the provider must report
};
const std::vector<Sample>& Samples();

std::string Utf8(const std::u16string& s);

}  // namespace scantest
