// The surface scan's format providers: the input is a raw source of
// 512-byte units. Every provider is asked at unit 0 through a CarveContext
// (no crash, no read past its buffer, no hang), then the registry's
// DetectAt, whose hits must lie whole on the source, at units 0 and 1; each
// hit's bytes then go through the whole-file check of its type (checksums,
// entropy coding, a picture against its thumbnail); the JPEG decode check
// over the input as a file, whose end or fault lies within it; and the walk
// over every unit with JPEG on, whose finds (rejoined from pieces or not) lie
// on the source.
#include <string>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/ContentVerify.h"
#include "engine/formats/JpegScanCheck.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/RawVolume.h"

namespace {

constexpr uint32_t kUnit = 512;

const ScanTypeSet& AllTypes() {
    static ProviderRegistry registry;
    static ScanTypeSet types = [] {
        RegisterProviders(registry);
        ScanTypeSet t;
        t.registry = &registry;
        for (const TypeEntry& e : registry.types) EnableType(t, e.typeKey);
        return t;
    }();
    return types;
}

class MemoryBytes final : public IJpegBytes {
public:
    MemoryBytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Bytes(uint64_t offset, const uint8_t*& data, size_t& n) override {
        if (offset >= m_size) return false;
        data = m_data + offset;
        n = m_size - static_cast<size_t>(offset);
        return true;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

class ExtentCheck final : public ISurfaceScanCallback {
public:
    explicit ExtentCheck(uint64_t bytes) : m_bytes(bytes) {}
    WalkResult OnCountProgress(uint64_t, uint64_t) override { return WalkResult::Continue; }
    WalkResult OnScanProgress(uint64_t) override { return WalkResult::Continue; }
    WalkResult OnFileFound(const std::u16string&, const std::u16string&, const std::u16string&, uint64_t cluster,
                           uint64_t size) override {
        FUZZ_CHECK(size > 0 && cluster * kUnit < m_bytes && size <= m_bytes - cluster * kUnit);
        return WalkResult::Continue;
    }
    WalkResult OnFragmentedFileFound(const std::u16string&, const std::u16string&, const std::u16string&,
                                     const ClusterExtents& extents, uint64_t size) override {
        uint64_t sum = 0;
        for (const ClusterExtent& e : extents) {
            FUZZ_CHECK(e.bytes > 0 && e.cluster * kUnit < m_bytes && e.bytes <= m_bytes - e.cluster * kUnit);
            sum += e.bytes;
        }
        FUZZ_CHECK(extents.size() == 2 && sum == size);
        return WalkResult::Continue;
    }

private:
    uint64_t m_bytes;
};

}  // namespace

int FuzzSurfaceScan(const uint8_t* data, size_t size) {
    static CFuzzFile file("surface_scan");
    if (size == 0) return 0;
    file.Write(data, size);
    CRawVolume volume(kUnit);
    volume.UseSource(file.Source());
    if (!volume.Initialize(file.Path())) return 0;
    const ScanTypeSet& types = AllTypes();
    CarveContext c;
    if (!c.Init(&volume, 0, nullptr, &types)) return 0;
    for (const ProviderDescriptor* p : ProviderDescriptors()) {
        c.Reset(0);
        p->detect(c);
    }
    for (uint64_t unit : {uint64_t(0), uint64_t(1)}) {
        if (unit * kUnit >= size) break;
        c.Reset(unit);
        if (DetectAt(types, c)) {
            FUZZ_CHECK(c.size > 0);
            FUZZ_CHECK(c.size <= size - unit * kUnit);
            FUZZ_CHECK(!c.typeKey.empty());
            VerifyContent(c.typeKey, data + unit * kUnit, static_cast<size_t>(c.size));
        }
    }
    CJpegScanCheck check;
    if (check.Parse(data, size)) {
        MemoryBytes bytes(data, size);
        CJpegScanCheck::State state = check.Start();
        FUZZ_CHECK(check.Run(state, bytes).at <= size);
    }
    static const ScanTypeSet jpeg = [] {
        ScanTypeSet t;
        t.registry = AllTypes().registry;
        EnableType(t, u"jpg");
        return t;
    }();
    ExtentCheck extents(size);
    ScanClusters(volume, jpeg, &extents, nullptr);
    return 0;
}
