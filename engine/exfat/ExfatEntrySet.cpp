#include "ExfatEntrySet.h"

#include <algorithm>
#include <vector>

#include "platform/Calendar.h"
#include "platform/LeBytes.h"

namespace {

constexpr size_t kEntry = 32;
constexpr uint8_t kInUse = 0x80;
// Entry type codes without the in-use bit.
constexpr uint8_t kBitmap = 0x01;
constexpr uint8_t kUpcase = 0x02;
constexpr uint8_t kLabel = 0x03;
constexpr uint8_t kFile = 0x05;
constexpr uint8_t kGuid = 0x20;
constexpr uint8_t kStream = 0x40;
constexpr uint8_t kName = 0x41;
constexpr uint32_t kNameUnits = 15;  // UTF-16 units per file name entry

ExfatTime TimeAt(const LeBytes& e, size_t stamp, size_t tenMs, size_t offset) {
    ExfatTime t;
    t.stamp = e.u32(stamp);
    t.tenMs = tenMs ? e.u8(tenMs) : 0;
    t.utcOffset = e.u8(offset);
    return t;
}

// The root's own entries (in use only: a freed one describes nothing).
void NoteRootEntry(const uint8_t* p, ExfatRootFacts& root) {
    const LeBytes e(p, kEntry);
    switch (p[0] & 0x7F) {
        case kBitmap:
            // The first bitmap (a second one exists only on TexFAT volumes).
            if ((e.u8(1) & 1) == 0 && !root.haveBitmap) {
                root.haveBitmap = true;
                root.bitmapCluster = e.u32(20);
                root.bitmapSize = e.u64(24);
            }
            break;
        case kUpcase:
            if (!root.haveUpcase) {
                root.haveUpcase = true;
                root.upcaseChecksum = e.u32(4);
                root.upcaseCluster = e.u32(20);
                root.upcaseSize = e.u64(24);
            }
            break;
        case kLabel: {
            const uint32_t count = std::min<uint32_t>(e.u8(1), 11);
            root.label = e.utf16(2, count);
            break;
        }
        case kGuid:
            root.haveGuid = true;
            std::copy(p + 6, p + 22, root.guid);
            break;
        default: break;
    }
}

}  // namespace

uint16_t ExfatSetChecksum(const uint8_t* entries, uint32_t n) {
    uint16_t sum = 0;
    const size_t bytes = size_t(n) * kEntry;
    for (size_t i = 0; i < bytes; ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t b = entries[i];
        if (i % kEntry == 0) b |= kInUse;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

ExfatWalkCounts WalkExfatEntries(const uint8_t* data, size_t size, uint32_t firstSlot,
                                 const std::function<bool(const ExfatEntrySet&)>& onSet, ExfatRootFacts* root) {
    ExfatWalkCounts counts;
    const size_t n = size / kEntry;
    for (size_t i = 0; i < n;) {
        const uint8_t* p = data + i * kEntry;
        const uint8_t type = p[0];
        if (type == 0) {
            counts.ended = true;
            break;
        }
        const uint8_t code = type & 0x7F;
        const bool inUse = (type & kInUse) != 0;
        if (code != kFile) {
            if (root && inUse) NoteRootEntry(p, *root);
            ++i;
            continue;
        }
        // A file entry: its secondaries must follow, the stream extension
        // first, then enough name entries for the name's length, all in the
        // same state of use as the file entry.
        const uint32_t secondaries = p[1];
        auto malformed = [&] {
            ++counts.malformed;
            ++i;
        };
        // 2 to 18 secondaries as the format has them, more with vendor
        // extensions after a long name: the checksum decides.
        if (secondaries < 2 || i + 1 + secondaries > n) {
            malformed();
            continue;
        }
        bool consistent = true;
        for (uint32_t k = 1; k <= secondaries && consistent; ++k) {
            const uint8_t t = p[k * kEntry];
            consistent = (t & 0x40) != 0 && ((t & kInUse) != 0) == inUse;
        }
        const LeBytes stream(p + kEntry, kEntry);
        const uint32_t nameLength = stream.u8(3);
        const uint32_t nameEntries = (nameLength + kNameUnits - 1) / kNameUnits;
        if (!consistent || (p[kEntry] & 0x7F) != kStream || nameLength == 0 || 1 + nameEntries > secondaries) {
            malformed();
            continue;
        }
        for (uint32_t k = 0; k < nameEntries && consistent; ++k) consistent = (p[(2 + k) * kEntry] & 0x7F) == kName;
        if (!consistent) {
            malformed();
            continue;
        }
        const LeBytes file(p, kEntry);
        if (ExfatSetChecksum(p, 1 + secondaries) != file.u16(2)) {
            ++counts.badChecksum;
            ++i;
            continue;
        }
        ExfatEntrySet set;
        set.slot = firstSlot + static_cast<uint32_t>(i);
        set.entries = 1 + secondaries;
        set.inUse = inUse;
        set.attributes = file.u16(4);
        set.created = TimeAt(file, 8, 20, 22);
        set.modified = TimeAt(file, 12, 21, 23);
        set.accessed = TimeAt(file, 16, 0, 24);
        set.streamFlags = stream.u8(1);
        set.validSize = stream.u64(8);
        set.firstCluster = stream.u32(20);
        set.size = stream.u64(24);
        set.name.reserve(nameLength);
        for (uint32_t k = 0; k < nameEntries; ++k) {
            const LeBytes name(p + (2 + k) * kEntry, kEntry);
            const uint32_t units = std::min(kNameUnits, nameLength - k * kNameUnits);
            set.name += name.utf16(2, units);
        }
        // A NUL ends a name early (a writer that padded it).
        if (const size_t nul = set.name.find(u'\0'); nul != std::u16string::npos) set.name.resize(nul);
        i += set.entries;
        if (set.name.empty()) {
            ++counts.malformed;
            continue;
        }
        if (!onSet(set)) break;
    }
    return counts;
}

namespace {

// Calls onFile(back, entries) for each file entry among the last entries of
// tail whose set (of at most kExfatMostJoinedEntries) runs past the end,
// the last first, until it returns true.
template <typename F>
bool ForEachCutFileEntry(const uint8_t* tail, size_t tailSize, F&& onFile) {
    const size_t n = tailSize / kEntry;
    for (size_t back = 1; back < kExfatMostJoinedEntries && back <= n; ++back) {
        const uint8_t* p = tail + (n - back) * kEntry;
        const size_t entries = size_t(1) + p[1];
        if ((p[0] & 0x7F) == kFile && entries <= kExfatMostJoinedEntries && entries > back && onFile(back, entries))
            return true;
    }
    return false;
}

}  // namespace

ExfatJoin ExfatJoinCutSet(const uint8_t* tail, size_t tailSize, const uint8_t* head, size_t headSize) {
    const size_t n = tailSize / kEntry, m = headSize / kEntry;
    ExfatJoin join;
    std::vector<uint8_t> joined;
    ForEachCutFileEntry(tail, tailSize, [&](size_t back, size_t entries) {
        const size_t need = entries - back;
        if (need > m) return false;
        const uint8_t* p = tail + (n - back) * kEntry;
        joined.assign(p, p + back * kEntry);
        joined.insert(joined.end(), head, head + need * kEntry);
        bool whole = false;
        WalkExfatEntries(joined.data(), joined.size(), 0, [&](const ExfatEntrySet& set) {
            whole = set.slot == 0 && set.entries == entries;
            return false;
        });
        if (whole) join = {static_cast<uint32_t>(back), static_cast<uint32_t>(need)};
        return whole;
    });
    return join;
}

bool ExfatEndsInSet(const uint8_t* data, size_t size) {
    return ForEachCutFileEntry(data, size, [](size_t, size_t) { return true; });
}

bool ExfatMayContinueSet(const uint8_t* entry) {
    switch (entry[0] & 0x7F) {
        case kStream: return (entry[1] & 0xFC) == 0 && entry[2] == 0 && entry[3] != 0;
        case kName: return entry[1] == 0;
        default: return false;
    }
}

uint64_t ExfatTimeToFileTime(const ExfatTime& t) {
    const uint32_t s = t.stamp;
    const int sec = (s & 0x1F) * 2, min = (s >> 5) & 0x3F, hour = (s >> 11) & 0x1F;
    const int day = (s >> 16) & 0x1F, month = (s >> 21) & 0x0F, year = 1980 + static_cast<int>(s >> 25);
    if (s == 0 || day == 0 || month == 0 || month > 12 || hour > 23 || min > 59 || sec > 59) return 0;
    int64_t seconds = 0;
    if (!CalendarSeconds(year, month, day, hour, min, sec, seconds)) return 0;
    constexpr int64_t kEpochDelta = 11644473600;  // 1601-01-01 to 1970-01-01
    uint64_t ticks = static_cast<uint64_t>(seconds + kEpochDelta) * 10000000ull;
    if (t.tenMs <= 199) ticks += uint64_t(t.tenMs) * 100000ull;
    return ticks;
}

bool ExfatUtcOffsetMinutes(const ExfatTime& t, int& minutes) {
    if ((t.utcOffset & 0x80) == 0) return false;
    int quarters = t.utcOffset & 0x7F;
    if (quarters & 0x40) quarters -= 0x80;  // 7-bit two's complement
    minutes = quarters * 15;
    return true;
}
