// The exFAT entry-set walk over the input as a folder's 32-byte entries:
// every set it reports lies inside the bytes, after the one before it, and
// is a set as the checksum of its own entries vouches for, with a name of
// at most 255 units and no NUL. The root's facts and the number of entries
// before the data change nothing of which sets are found. Cut in two, a set
// joined across the cut is a whole set.
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/exfat/ExfatEntrySet.h"

namespace {

constexpr size_t kEntry = 32;

using Found = std::vector<std::pair<uint32_t, uint32_t>>;  // slot, entries

Found Walk(const uint8_t* data, size_t size, uint32_t firstSlot, ExfatRootFacts* root, size_t stopAfter) {
    const size_t n = size / kEntry;
    Found found;
    uint64_t next = firstSlot;  // sets come in slot order and do not overlap
    const ExfatWalkCounts counts = WalkExfatEntries(data, size, firstSlot, [&](const ExfatEntrySet& set) {
        FUZZ_CHECK(set.slot >= next);
        const size_t at = set.slot - firstSlot;
        FUZZ_CHECK(set.entries >= 3);
        FUZZ_CHECK(at + set.entries <= n);
        const uint8_t* p = data + at * kEntry;
        FUZZ_CHECK((p[0] & 0x7F) == 0x05 && p[1] + 1u == set.entries);
        FUZZ_CHECK(set.inUse == ((p[0] & 0x80) != 0));
        FUZZ_CHECK(ExfatSetChecksum(p, set.entries) == uint16_t(p[2] | p[3] << 8));
        FUZZ_CHECK((p[kEntry] & 0x7F) == 0x40);  // the stream extension comes first
        FUZZ_CHECK(!set.name.empty() && set.name.size() <= 255);
        FUZZ_CHECK(set.name.size() <= size_t(set.entries - 2) * 15);
        FUZZ_CHECK(set.name.find(u'\0') == std::u16string::npos);
        next = uint64_t(set.slot) + set.entries;
        found.emplace_back(set.slot - firstSlot, set.entries);
        return found.size() < stopAfter;
    }, root);
    FUZZ_CHECK(found.size() <= stopAfter);
    FUZZ_CHECK(counts.badChecksum + counts.malformed <= n);
    if (root) FUZZ_CHECK(root->label.size() <= 11);
    if (counts.ended) {
        // The walk ends at an end-of-folder entry that lies after every set.
        bool zero = false;
        for (size_t i = next - firstSlot; i < n && !zero; ++i) zero = data[i * kEntry] == 0;
        FUZZ_CHECK(zero);
    }
    return found;
}

}  // namespace

int FuzzExfatEntrySet(const uint8_t* data, size_t size) {
    const Found plain = Walk(data, size, 0, nullptr, SIZE_MAX);
    // The same bytes as the root folder's, and as entries further on in a
    // folder (their slots counted from there).
    ExfatRootFacts root;
    const uint32_t firstSlot = size > 0 ? uint32_t(data[0]) * 1024 + 1 : 7;
    FUZZ_CHECK(Walk(data, size, firstSlot, &root, SIZE_MAX) == plain);
    // A handler that returns false ends the walk there.
    const Found first = Walk(data, size, 0, nullptr, 1);
    FUZZ_CHECK(first.size() == (plain.empty() ? 0u : 1u));
    if (!plain.empty()) FUZZ_CHECK(first[0] == plain[0]);
    // The bytes cut in two at an entry: a set the first part cuts short and
    // the second finishes is a whole set, checksum and all.
    const size_t n = size / kEntry;
    if (n >= 2) {
        const size_t cut = 1 + data[size - 1] % (n - 1);
        const ExfatJoin join = ExfatJoinCutSet(data, cut * kEntry, data + cut * kEntry, size - cut * kEntry);
        if (join.need) {
            FUZZ_CHECK(join.back >= 1 && join.back <= cut && join.need <= n - cut);
            FUZZ_CHECK(join.back + join.need <= kExfatMostJoinedEntries);
            FUZZ_CHECK(ExfatEndsInSet(data, cut * kEntry));
            const uint8_t* p = data + (cut - join.back) * kEntry;
            FUZZ_CHECK((p[0] & 0x7F) == 0x05 && p[1] + 1u == join.back + join.need);
            FUZZ_CHECK(ExfatSetChecksum(p, join.back + join.need) == uint16_t(p[2] | p[3] << 8));
        }
    }
    return 0;
}
