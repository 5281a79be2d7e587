// Shared helpers of the document provider tests: little-endian byte
// builders, a raw volume over built bytes, the type set of a scan and
// running one detect function.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/ProviderRegistry.h"
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

using scantest::Utf8;
std::string DocumentsDir();

}  // namespace doctest
