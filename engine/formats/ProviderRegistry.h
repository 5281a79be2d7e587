// The provider registry, the set of enabled types and DetectAt.
//
// A provider recognises one family of formats: it is one detect function
// plus a descriptor (name, description, the type keys it reports). The
// providers are listed explicitly, in registration order, in one place
// (ProviderRegistry.cpp); there are no self-registering objects. A
// provider's position in the registry is its provider index; each type key
// remembers the index of the provider that registered it.
//
// A ScanTypeSet is what one scan looks for: the enabled type keys and the
// detect functions to ask, in the order of the first enabled type of each
// provider. The registry is built once by a front end and outlives every
// ScanTypeSet that points to it.
//
// Most candidates are random data or zeros. A provider whose files show what
// they are at a fixed place of their first bytes declares it (a signature:
// the values the byte at one offset can take), and DetectAt asks it only
// where the candidate's byte there is one of them. A provider that declares
// nothing is asked at every candidate.
//
// Threads: the registry and a ScanTypeSet are filled before a scan starts and
// only read by the scan thread afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct CarveContext;

// The provider contract. On entry the context's offset and size are 0 and
// title, author and type key are empty. True when a file of one of the
// provider's formats starts at offset 0 of the start cluster; the provider
// then has set size (the whole file's length), the type key and possibly
// title and author. False for anything else, every failed read and a raised
// stop flag.
using DetectFn = bool (*)(CarveContext&);

// The values the byte at offset (from a file's first byte) takes in every
// file the provider finds; no values: any file. The offset must be below
// kMaxSignatureOffset, so that it lies in the smallest cluster.
struct ProviderSignature {
    uint32_t offset = 0;
    std::string_view bytes;
};
inline constexpr uint32_t kMaxSignatureOffset = 512;

struct ProviderDescriptor {
    std::u16string_view name;
    std::u16string_view description;
    DetectFn detect;
    std::span<const std::u16string_view> typeKeys;  // lower case, in registration order
    ProviderSignature signature;
};

struct ProviderEntry {
    std::u16string name;
    DetectFn detect = nullptr;
    ProviderSignature signature;
};

struct TypeEntry {
    int32_t providerIndex = -1;
    std::u16string typeKey;
};

struct ProviderRegistry {
    std::vector<const ProviderDescriptor*> registrationList;
    std::vector<ProviderEntry> providers;
    std::vector<TypeEntry> types;
};

// The providers in registration order.
std::span<const ProviderDescriptor* const> ProviderDescriptors();

// Fills the registration list, then registers each provider in that order:
// its ProviderEntry, then one TypeEntry per type key. Always true.
bool RegisterProviders(ProviderRegistry& registry);

inline constexpr uint32_t kMaxActiveDetectors = 48;
// Distinct signature offsets a type set sorts candidates by; a provider
// whose offset finds no room is asked at every candidate.
inline constexpr uint32_t kMaxSignatureTables = 4;

// For one signature offset: per value of the candidate's byte there, the
// active detectors it rules out (bit i: detectors[i]). A detector without a
// signature at this offset is never ruled out by it.
struct SignatureTable {
    uint32_t offset = 0;
    std::array<uint64_t, 256> ruledOut {};
};

struct ScanTypeSet {
    const ProviderRegistry* registry = nullptr;
    std::array<DetectFn, kMaxActiveDetectors> detectors {};
    uint32_t detectorCount = 0;
    // Filled by EnableType along with the detectors.
    std::array<SignatureTable, kMaxSignatureTables> signatureTables {};
    uint32_t signatureTableCount = 0;
    std::set<std::u16string> enabledKeys;
    // Every cluster is a candidate, not only the free ones (--all-clusters).
    bool allClusters = false;
};

// Empties the enabled keys and the active detectors (the registry stays).
void ResetTypes(ScanTypeSet& scanner);
// Enables the first registered type with exactly this key and appends its
// provider's detect function unless it is already active, entering its
// signature in the signature tables. Unknown keys are ignored.
void EnableType(ScanTypeSet& scanner, std::u16string_view typeKey);
bool IsTypeEnabled(const ScanTypeSet& scanner, std::u16string_view typeKey);
// The largest find of a type that the walk takes: the ceiling of the format's
// own offsets (4 GiB for the 32-bit formats), or, for the 64-bit mail stores,
// a size beyond any store a mail client keeps. A larger size comes from a
// damaged header, and taking it would make the walk skip the rest of the
// volume as that one file.
inline constexpr uint64_t kCarvedSizeCap = UINT32_MAX;
inline constexpr uint64_t kCarvedMailStoreCap = 100ull << 30;  // 100 GiB
uint64_t CarvedSizeCap(std::u16string_view typeKey);

// Clears the context's result fields, then asks each active detector in order
// (offset 0, unit = the source's cluster size) whose signature the
// candidate's first bytes match (every one when the candidate's first
// cluster cannot be read); the first that answers true wins. A hit with size
// 0, past its type's cap, or whose last byte cannot be read (the source ends
// inside the file), is no hit: it could not be recovered whole, or it is not
// what it claims to be.
bool DetectAt(const ScanTypeSet& scanner, CarveContext& context);
