#include "ProviderRegistry.h"

#include <algorithm>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"

namespace {

// Registration order: a provider's place here is its provider index, and the
// order in which a scan with every type enabled asks the providers.
const ProviderDescriptor* const kRegistrationOrder[] = {
    &kZIPContainerProvider,
    &kMPEGProvider,
    &kJPEGProvider,
    &kPNGProvider,
    &kBMPProvider,
    &kGIFProvider,
    &kMSCompoundDocumentProvider,
    &kPDFProvider,
    &kPSDProvider,
    &kPSTProvider,
    &kTIFFProvider,
    &kQTFFProvider,
    &kCameraRawProvider,
    &kRAFProvider,
    &kIsoMediaProvider,
    &kWebPProvider,
    &kWAVProvider,
    &kAVIProvider,
    &kSQLiteProvider,
    &kSevenZipProvider,
    &kFLACProvider,
    &kOggProvider,
    &kMatroskaProvider,
    &kRARProvider,
};

void Register(ProviderRegistry& registry, const ProviderDescriptor& descriptor) {
    registry.providers.push_back(ProviderEntry {std::u16string(descriptor.name), descriptor.detect});
    const auto index = static_cast<int32_t>(registry.providers.size() - 1);
    for (std::u16string_view key : descriptor.typeKeys) registry.types.push_back(TypeEntry {index, std::u16string(key)});
}

}  // namespace

std::span<const ProviderDescriptor* const> ProviderDescriptors() { return kRegistrationOrder; }

bool RegisterProviders(ProviderRegistry& registry) {
    registry.registrationList.assign(std::begin(kRegistrationOrder), std::end(kRegistrationOrder));
    for (const ProviderDescriptor* d : registry.registrationList) Register(registry, *d);
    return true;
}

void ResetTypes(ScanTypeSet& scanner) {
    scanner.enabledKeys.clear();
    scanner.detectors.fill(nullptr);
    scanner.detectorCount = 0;
}

void EnableType(ScanTypeSet& scanner, std::u16string_view typeKey) {
    if (!scanner.registry) return;
    const auto& types = scanner.registry->types;
    auto it = std::find_if(types.begin(), types.end(), [&](const TypeEntry& t) { return t.typeKey == typeKey; });
    if (it == types.end()) return;
    if (it->providerIndex < 0 || static_cast<size_t>(it->providerIndex) >= scanner.registry->providers.size()) return;
    DetectFn detect = scanner.registry->providers[static_cast<size_t>(it->providerIndex)].detect;
    scanner.enabledKeys.insert(std::u16string(typeKey));
    auto end = scanner.detectors.begin() + scanner.detectorCount;
    if (std::find(scanner.detectors.begin(), end, detect) != end) return;
    if (scanner.detectorCount < kMaxActiveDetectors) scanner.detectors[scanner.detectorCount++] = detect;
}

bool IsTypeEnabled(const ScanTypeSet& scanner, std::u16string_view typeKey) {
    return scanner.enabledKeys.find(std::u16string(typeKey)) != scanner.enabledKeys.end();
}

uint64_t CarvedSizeCap(std::u16string_view typeKey) {
    return typeKey == u"pst" || typeKey == u"ost" ? kCarvedMailStoreCap : kCarvedSizeCap;
}

bool DetectAt(const ScanTypeSet& scanner, CarveContext& context) {
    context.title.clear();
    context.author.clear();
    context.typeKey.clear();
    context.size = 0;
    for (uint32_t i = 0; i < scanner.detectorCount && i < kMaxActiveDetectors; ++i) {
        context.offset = 0;
        context.unit = context.source ? context.source->ClusterSize() : 0;
        // A hit must end on the source: a file whose last byte cannot be read
        // (cut off by the end of the source) would be recovered short.
        if (scanner.detectors[i](context) && context.size != 0 && context.size <= CarvedSizeCap(context.typeKey) &&
            context.ByteReadable(context.size - 1))
            return true;
        context.title.clear();
        context.author.clear();
        context.typeKey.clear();
        context.size = 0;
    }
    return false;
}
