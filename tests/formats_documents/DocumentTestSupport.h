// Shared helpers of the document provider tests: little-endian byte
// builders, a raw volume over built bytes, the type set of a scan, running
// one detect function, and FAT32 and NTFS images holding deleted copies of
// files.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fat/FatVolume.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/ProviderRegistry.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/surfacescan/RawVolume.h"
#include "tests/common/TestUtil.h"
#include "tests/surfacescan/ScanTestSupport.h"

namespace doctest {

using Bytes = std::vector<uint8_t>;

using scantest::Le16;
using scantest::Le32;
void Le64(Bytes& b, uint64_t v);
using scantest::Text;
void Put16(Bytes& b, size_t at, uint16_t v);
void Put32(Bytes& b, size_t at, uint32_t v);
void Put64(Bytes& b, size_t at, uint64_t v);
void PadTo(Bytes& b, size_t size, uint8_t fill = 0);

// The enabled type keys of a scan (what IsTypeEnabled answers from).
ScanTypeSet TypesOf(std::initializer_list<const char16_t*> keys);
// Every document type key.
ScanTypeSet AllDocumentTypes();
// Every document type key enabled in the full provider registry (the
// detectors a whole scan asks).
ScanTypeSet RegisteredDocumentTypes();

using scantest::Hit;

// A raw volume of 512-byte units over the bytes followed by filler
// (pseudo-random, or zeros when zeroFiller), so that reads past the file's
// end find bytes as on a disk.
class ByteVolume {
public:
    explicit ByteVolume(const Bytes& bytes, size_t filler = 16384, bool zeroFiller = false);
    CRawVolume& volume() { return *m_volume; }
    const std::string& path() const { return m_path; }

private:
    testutil::TempDir m_dir;
    std::string m_path;
    std::unique_ptr<CRawVolume> m_volume;
};

using scantest::DetectOn;
Hit Detect(DetectFn detect, const Bytes& file, const ScanTypeSet* types = nullptr, size_t filler = 16384);

std::string Utf8(const std::u16string& s);
std::string DocumentsDir();

// A FAT32 image (mkfs.fat) with the given files copied in by mtools, each
// followed by a small live spacer file; the files are then deleted (mdel).
// FirstCluster gives the cluster each file started at.
class DeletedFilesImage {
public:
    DeletedFilesImage(const std::vector<std::string>& paths, int sectorsPerCluster);
    bool ok() const { return m_volume != nullptr; }
    CFatVolume& volume() { return *m_volume; }
    uint64_t FirstCluster(const std::string& path) const { return m_first.at(path); }
    const std::string& image() const { return m_image; }

private:
    testutil::TempDir m_dir;
    std::string m_image;
    std::map<std::string, uint64_t> m_first;
    std::unique_ptr<CFatVolume> m_volume;
};

bool HaveFatTools();

// An NTFS image (mkntfs, clusterSize bytes per cluster) into which
// ntfs-fixture copies the given files, each followed by a small live spacer;
// the files are then deleted. FirstCluster gives the first cluster of each
// file as Sleuth Kit's istat lists the deleted record's runs; Contiguous
// whether each run starts where the one before ended. ok() only when every file's
// clusters are known and the engine opened the image.
class DeletedFilesNtfsImage {
public:
    DeletedFilesNtfsImage(const std::vector<std::string>& paths, int clusterSize);
    bool ok() const { return m_volume != nullptr; }
    CNtfsVolume& volume() { return *m_volume; }
    uint64_t FirstCluster(const std::string& path) const { return m_runs.at(path).front().first; }
    bool Contiguous(const std::string& path) const;
    const std::string& image() const { return m_image; }

private:
    testutil::TempDir m_dir;
    std::string m_image;
    std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> m_runs;  // first cluster, count
    std::unique_ptr<CNtfsVolume> m_volume;
};

bool HaveNtfsTools();

}  // namespace doctest
