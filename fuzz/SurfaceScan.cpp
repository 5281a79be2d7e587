// The surface scan's format providers: the input is a raw source of
// 512-byte units. Every provider is asked at unit 0 through a CarveContext
// (no crash, no read past its buffer, no hang), then the registry's
// DetectAt, whose hits must lie whole on the source, at units 0 and 1; each
// hit's bytes then go through the whole-file check of its type (checksums,
// entropy coding, a picture against its thumbnail).
#include <string>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/formats/CarveContext.h"
#include "engine/formats/ContentVerify.h"
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
    return 0;
}
