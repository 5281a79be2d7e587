// What the front ends show and store about the carvable types: display
// names, the five type groups of the type tree, the settings keys with their
// defaults, the display order, and the name given to each found file.
//
// The settings profile itself belongs to the application; this module only
// says which section and key hold what, with which default, and turns a map
// of type key -> checked into EnableType calls in display order.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/formats/ProviderRegistry.h"

struct ScanTypeInfo {
    std::u16string_view key;          // type key, lower case (also the extension)
    std::u16string_view displayName;  // shown in the type tree; the title of an untitled result
    std::u16string_view description;
};

struct ScanTypeGroup {
    std::u16string_view key;
    std::u16string_view displayName;
    std::u16string_view description;
    std::span<const std::u16string_view> typeKeys;  // in table order
};

// Every type key the scan knows, with its display strings; each is
// registered by one provider (ProviderRegistry.cpp).
std::span<const ScanTypeInfo> ScanTypes();
// The type with exactly this key (case-sensitive), or null.
const ScanTypeInfo* FindScanType(std::u16string_view key);
// The five groups: archives, msoffice, audio, images, other.
std::span<const ScanTypeGroup> ScanTypeGroups();

// Settings: section SurfaceScanTypes holds one boolean per type key (default
// 1) and OrderTypesBy (default 1: grouped; 0: one flat list). Section
// LayoutSurfaceScan holds the result list's layout.
namespace scansettings {
inline constexpr const char* kTypesSection = "SurfaceScanTypes";
inline constexpr const char* kOrderTypesBy = "OrderTypesBy";
inline constexpr bool kTypeEnabledDefault = true;
inline constexpr int kOrderTypesByDefault = 1;
inline constexpr const char* kLayoutSection = "LayoutSurfaceScan";
inline constexpr const char* kColumnMap = "ColumnMap";            // integer bit mask, bit i = column i visible
inline constexpr uint32_t kColumnMapDefault = 7;                  // name, size, type
inline constexpr const char* kColumnOrder = "ColumnOrder";        // binary: three signed 32-bit values
inline constexpr std::array<int32_t, 3> kColumnOrderDefault {0, 1, 2};
inline constexpr const char* kColumnWidths = "ColumnWidths";      // binary: three signed 32-bit values
inline constexpr std::array<int32_t, 3> kColumnWidthsDefault {320, 100, 120};
}  // namespace scansettings

// The type keys in the order the type tree shows them: with orderTypesBy 1
// the groups sorted by display name and each group's types sorted by display
// name; with 0 all types sorted by display name.
std::vector<std::u16string> TypesInDisplayOrder(int orderTypesBy);

// Starting a scan from the settings: ResetTypes, then EnableType for every
// checked type in display order (a key missing from the map takes the default,
// checked). Returns the number of checked types; 0 means nothing to look for
// and the front end must not start the scan.
uint32_t EnableTypesFromSettings(ScanTypeSet& scanner, const std::map<std::string, bool>& checked, int orderTypesBy);

// The name of a found file: "author - title (cluster).key", or
// "title (cluster).key" without an author; an empty title is replaced by the
// type's display name. Characters below U+0020 and < > : " / \ | ? * become
// "_"; a name of 250 characters or more becomes its first 50 characters,
// " ... " and its last 50 (a surrogate pair is never cut in half). False,
// with name untouched, for an unknown type key: such an item is ignored.
bool MakeCarvedItemName(std::u16string_view typeKey, std::u16string_view title, std::u16string_view author,
                        uint64_t startCluster, std::u16string& name);
