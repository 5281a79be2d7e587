// The index cache file of both file systems: the input is the cache file of
// a sample volume, restored with the volume's own reader. The header fields
// that tie a file to its volume (tag, completeness, letter, type, save time,
// fingerprint) are set to match, so that every input reaches the records;
// the record count stays the input's. The header target takes the input's
// header as it stands, to test what the reader accepts.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "VolumeWalk.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/volume/IndexCache.h"

namespace {

constexpr int64_t kNow = 1700000000;
int64_t FixedClock() { return kNow; }

template <class Volume>
Volume& Sample(const char* name) {
    static Volume* volume = [name] {
        setenv("XDG_CACHE_HOME", FuzzScratchFolder().c_str(), 1);
        auto* v = new Volume();
        if (!v->Initialize(SampleImagePath(name))) FuzzFail(__FILE__, __LINE__, "sample volume does not open");
        v->SetCacheClock(FixedClock);
        if (!v->RefreshCacheFingerprint()) FuzzFail(__FILE__, __LINE__, "no fingerprint");
        return v;
    }();
    return *volume;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

int Restore(CVolume& volume, const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    if (bytes.size() < kCacheHeaderSize) bytes.resize(kCacheHeaderSize, 0);
    CacheHeader h = CacheHeader::Decode(bytes.data());
    h.tag = kCacheFormatTag;
    h.incomplete = 0;
    h.driveLetter = volume.DriveLetter();
    h.fileSystem = static_cast<uint8_t>(volume.GetPartitionType());
    h.savedAt = kNow;
    h.fingerprint = volume.CacheFingerprint();
    h.Encode(bytes.data());
    WriteFile(CacheFilePath(volume), bytes.data(), bytes.size());
    if (volume.RestoreIndexFromCache(nullptr)) WalkVolume(volume);
    volume.ClearIndex();
    return 0;
}

// The input as the cache file of both sample volumes, its header as it
// stands but for one field: the fingerprint of a volume differs from process
// to process (it covers the source file), so the seeds carry a stand-in that
// is replaced by the volume's own; any other value is left for the reader to
// refuse. A restore that succeeds must have had a header the volume
// accepts.
constexpr uint64_t kFingerprintStandIn = 0x4650584c52415551ull;  // "QUARLXPF"

template <class Volume>
void RestoreUntouched(Volume& volume, const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    CacheHeader h;
    if (bytes.size() >= kCacheHeaderSize) {
        h = CacheHeader::Decode(bytes.data());
        if (h.fingerprint == kFingerprintStandIn) {
            CacheHeader patched = h;
            patched.fingerprint = volume.CacheFingerprint();
            patched.Encode(bytes.data());
            h.fingerprint = patched.fingerprint;
        }
    }
    WriteFile(CacheFilePath(volume), bytes.data(), bytes.size());
    if (volume.RestoreIndexFromCache(nullptr)) {
        FUZZ_CHECK(size >= kCacheHeaderSize);
        FUZZ_CHECK(h.tag == kCacheFormatTag && h.incomplete == 0);
        FUZZ_CHECK(h.driveLetter == volume.DriveLetter());
        FUZZ_CHECK(h.fileSystem == static_cast<uint8_t>(volume.GetPartitionType()));
        FUZZ_CHECK(h.savedAt >= kNow - kCacheMaxAgeSeconds);
        FUZZ_CHECK(h.fingerprint != 0 && h.fingerprint == volume.CacheFingerprint());
        WalkVolume(volume);
    }
    volume.ClearIndex();
}

template <class Volume>
bool WriteSeed(const char* name, const std::string& out, bool standIn) {
    Volume& v = Sample<Volume>(name);
    if (!v.BuildIndex(nullptr) || !v.DumpIndexToCache(nullptr)) return false;
    v.ClearIndex();
    std::ifstream in(CacheFilePath(v), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < kCacheHeaderSize) return false;
    if (standIn) {
        CacheHeader h = CacheHeader::Decode(bytes.data());
        h.fingerprint = kFingerprintStandIn;
        h.Encode(bytes.data());
    }
    WriteFile(out, bytes.data(), bytes.size());
    return true;
}

}  // namespace

int FuzzFatCache(const uint8_t* data, size_t size) { return Restore(Sample<CFatVolume>("fat-sample"), data, size); }
int FuzzNtfsCache(const uint8_t* data, size_t size) { return Restore(Sample<CNtfsVolume>("ntfs-sample"), data, size); }
int FuzzCacheHeader(const uint8_t* data, size_t size) {
    RestoreUntouched(Sample<CFatVolume>("fat-sample"), data, size);
    RestoreUntouched(Sample<CNtfsVolume>("ntfs-sample"), data, size);
    return 0;
}

bool WriteCacheSeed(const std::string& fileSystem, const std::string& out, bool standIn) {
    if (fileSystem == "fat") return WriteSeed<CFatVolume>("fat-sample", out, standIn);
    if (fileSystem == "ntfs") return WriteSeed<CNtfsVolume>("ntfs-sample", out, standIn);
    return false;
}
