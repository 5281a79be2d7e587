#include "ProviderRegistry.h"

#include <algorithm>
#include <bit>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "engine/formats/Providers.h"

static_assert(kMaxActiveDetectors <= 64, "DetectAt keeps the detectors to ask in 64 bits");

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
    registry.providers.push_back(
        ProviderEntry {std::u16string(descriptor.name), descriptor.detect, descriptor.signature});
    const auto index = static_cast<int32_t>(registry.providers.size() - 1);
    for (std::u16string_view key : descriptor.typeKeys) registry.types.push_back(TypeEntry {index, std::u16string(key)});
}

// Enters detector `index`'s signature: at its offset, every other byte value
// rules the detector out. No room for another offset: it stays asked everywhere.
void EnterSignature(ScanTypeSet& scanner, uint32_t index, const ProviderSignature& signature) {
    if (signature.bytes.empty() || signature.offset >= kMaxSignatureOffset) return;
    const auto used = scanner.signatureTables.begin() + scanner.signatureTableCount;
    auto table = std::find_if(scanner.signatureTables.begin(), used,
                              [&](const SignatureTable& t) { return t.offset == signature.offset; });
    if (table == used) {
        if (scanner.signatureTableCount == kMaxSignatureTables) return;
        ++scanner.signatureTableCount;
        *table = SignatureTable {signature.offset, {}};
    }
    std::array<bool, 256> possible {};
    for (char b : signature.bytes) possible[static_cast<uint8_t>(b)] = true;
    for (size_t value = 0; value < possible.size(); ++value)
        if (!possible[value]) table->ruledOut[value] |= uint64_t(1) << index;
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
    scanner.signatureTables.fill(SignatureTable {});
    scanner.signatureTableCount = 0;
}

void EnableType(ScanTypeSet& scanner, std::u16string_view typeKey) {
    if (!scanner.registry) return;
    const auto& types = scanner.registry->types;
    auto it = std::find_if(types.begin(), types.end(), [&](const TypeEntry& t) { return t.typeKey == typeKey; });
    if (it == types.end()) return;
    if (it->providerIndex < 0 || static_cast<size_t>(it->providerIndex) >= scanner.registry->providers.size()) return;
    const ProviderEntry& provider = scanner.registry->providers[static_cast<size_t>(it->providerIndex)];
    scanner.enabledKeys.insert(std::u16string(typeKey));
    auto end = scanner.detectors.begin() + scanner.detectorCount;
    if (std::find(scanner.detectors.begin(), end, provider.detect) != end) return;
    if (scanner.detectorCount == kMaxActiveDetectors) return;
    EnterSignature(scanner, scanner.detectorCount, provider.signature);
    scanner.detectors[scanner.detectorCount++] = provider.detect;
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
    const uint32_t count = std::min(scanner.detectorCount, kMaxActiveDetectors);
    uint64_t ask = count == 64 ? ~uint64_t(0) : (uint64_t(1) << count) - 1;
    const uint32_t tables = std::min(scanner.signatureTableCount, kMaxSignatureTables);
    if (tables > 0) {
        uint32_t span = 0;
        for (uint32_t t = 0; t < tables; ++t) span = std::max(span, scanner.signatureTables[t].offset + 1);
        context.unit = context.source ? context.source->ClusterSize() : 0;
        // An offset past the bytes got (all of them when none could be read)
        // rules nothing out: the detectors read for themselves.
        uint8_t lead[kMaxSignatureOffset];
        const uint32_t known = context.Peek(lead, std::min(span, kMaxSignatureOffset));
        for (uint32_t t = 0; t < tables; ++t) {
            const SignatureTable& table = scanner.signatureTables[t];
            if (table.offset < known) ask &= ~table.ruledOut[lead[table.offset]];
        }
    }
    for (; ask != 0; ask &= ask - 1) {
        const auto i = static_cast<uint32_t>(std::countr_zero(ask));
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
