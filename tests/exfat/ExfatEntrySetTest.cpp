// The entry-set walk on folder bytes built entry by entry: what a set must
// be to count (its stream extension and names in place, one state of use,
// its checksum), what a failed set leaves to be read again, and where the
// walk ends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/exfat/ExfatEntrySet.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The entries of one set of a file named name (in use), checksum filled in.
Bytes Set(const std::u16string& name, uint64_t size, uint32_t firstCluster, uint16_t attributes = 0x20) {
    const uint32_t names = static_cast<uint32_t>((name.size() + 14) / 15);
    Bytes e(32 * (2 + names), 0);
    e[0] = 0x85;
    e[1] = static_cast<uint8_t>(1 + names);
    e[4] = static_cast<uint8_t>(attributes);
    e[32] = 0xC0;
    e[33] = 0x03;  // allocation possible, no FAT chain
    e[35] = static_cast<uint8_t>(name.size());
    std::memcpy(&e[32 + 8], &size, 8);  // valid data length
    std::memcpy(&e[32 + 20], &firstCluster, 4);
    std::memcpy(&e[32 + 24], &size, 8);
    for (uint32_t k = 0; k < names; ++k) {
        e[64 + 32 * k] = 0xC1;
        for (size_t u = 0; u < 15 && 15 * k + u < name.size(); ++u) {
            const char16_t c = name[15 * k + u];
            e[64 + 32 * k + 2 + 2 * u] = static_cast<uint8_t>(c);
            e[64 + 32 * k + 3 + 2 * u] = static_cast<uint8_t>(c >> 8);
        }
    }
    const uint16_t sum = ExfatSetChecksum(e.data(), static_cast<uint32_t>(e.size() / 32));
    std::memcpy(&e[2], &sum, 2);
    return e;
}

Bytes Deleted(Bytes set) {
    for (size_t at = 0; at < set.size(); at += 32) set[at] &= 0x7F;
    return set;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Seen {
    std::u16string name;
    uint32_t slot;
    bool inUse;
};

std::vector<Seen> Walk(const Bytes& b, ExfatWalkCounts* counts = nullptr, ExfatRootFacts* root = nullptr) {
    std::vector<Seen> out;
    const ExfatWalkCounts c = WalkExfatEntries(b.data(), b.size(), 0, [&](const ExfatEntrySet& s) {
        EXPECT_LE(s.slot + s.entries, b.size() / 32);
        out.push_back({s.name, s.slot, s.inUse});
        return true;
    }, root);
    if (counts) *counts = c;
    return out;
}

const std::u16string kLong = u"a name of forty characters, three pieces";  // 40 units

}  // namespace

TEST(ExfatEntrySet, WhatCountsAsASet) {
    const Bytes a = Set(u"photo.jpg", 5000, 10), b = Set(kLong, 1 << 20, 20, 0x10);
    Bytes badSum = a;
    badSum[64 + 2] ^= 1;  // a name byte changed, the checksum kept
    Bytes tooMany = a;
    tooMany[1] = 18;  // more secondaries than the bytes hold
    Bytes noName = a;
    noName[35] = 0;
    Bytes mixed = Deleted(a);
    mixed[32] |= 0x80;  // a stream extension in use under a deleted file entry: another set's now
    // A new set written over the second half of a deleted one: the old one
    // fails and its slots are read again, which finds the new one.
    Bytes overwritten = Deleted(Set(kLong, 1, 30));
    const Bytes over = Set(u"new.txt", 7, 40);
    std::copy(over.begin(), over.end(), overwritten.begin() + 64);
    // A name of 255 units and a vendor extension after it: 19 secondaries.
    const std::u16string longest(255, u'x');
    Bytes vendor = Set(longest, 1, 50);
    vendor.resize(vendor.size() + 32, 0);
    vendor[vendor.size() - 32] = 0xE0;
    vendor[1] = 19;
    const uint16_t sum = ExfatSetChecksum(vendor.data(), 20);
    std::memcpy(&vendor[2], &sum, 2);

    const struct {
        const char* what;
        Bytes bytes;
        std::vector<Seen> seen;
        uint32_t badChecksum, malformed;
    } cases[] = {
        {"in use and deleted", Cat({a, Deleted(b)}), {{u"photo.jpg", 0, true}, {kLong, 3, false}}, 0, 0},
        {"checksum fails", Cat({badSum, b}), {{kLong, 3, true}}, 1, 0},
        {"secondary count past the end", tooMany, {}, 0, 1},
        {"no name", Cat({noName, a}), {{u"photo.jpg", 3, true}}, 0, 1},
        {"states mixed", mixed, {}, 0, 1},
        {"overwritten half", overwritten, {{u"new.txt", 2, true}}, 0, 1},
        {"19 secondaries", vendor, {{longest, 0, true}}, 0, 0},
        {"the end entry ends the walk", Cat({a, Bytes(32, 0), b}), {{u"photo.jpg", 0, true}}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExfatWalkCounts counts;
        const std::vector<Seen> seen = Walk(c.bytes, &counts);
        ASSERT_EQ(seen.size(), c.seen.size());
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].name, c.seen[i].name);
            EXPECT_EQ(seen[i].slot, c.seen[i].slot);
            EXPECT_EQ(seen[i].inUse, c.seen[i].inUse);
        }
        EXPECT_EQ(counts.badChecksum, c.badChecksum);
        EXPECT_EQ(counts.malformed, c.malformed);
    }
}

TEST(ExfatEntrySet, RootFactsAndTimes) {
    Bytes root(32 * 3, 0);
    root[0] = 0x83;  // label "CAM"
    root[1] = 3;
    root[2] = 'C', root[4] = 'A', root[6] = 'M';
    root[32] = 0x81;  // the bitmap at cluster 2, 4 bytes
    root[32 + 20] = 2;
    root[32 + 24] = 4;
    root[64] = 0x03;  // a label entry no longer in use says nothing
    ExfatRootFacts facts;
    Walk(root, nullptr, &facts);
    EXPECT_EQ(facts.label, u"CAM");
    EXPECT_TRUE(facts.haveBitmap);
    EXPECT_EQ(facts.bitmapCluster, 2u);
    EXPECT_EQ(facts.bitmapSize, 4u);

    // 2024-05-01 14:03:10.50 written at UTC+02:00; 15-minute steps west of UTC are negative.
    const uint32_t stamp = (44u << 25) | (5u << 21) | (1u << 16) | (14u << 11) | (3u << 5) | 5u;
    ExfatTime t {stamp, 50, 0x80 | 8};
    EXPECT_EQ(ExfatTimeToFileTime(t), (uint64_t(1714572190) + 11644473600ull) * 10000000ull + 5000000ull);
    int minutes = 0;
    ASSERT_TRUE(ExfatUtcOffsetMinutes(t, minutes));
    EXPECT_EQ(minutes, 120);
    t.utcOffset = 0x80 | 0x7C;  // -4 quarters
    ASSERT_TRUE(ExfatUtcOffsetMinutes(t, minutes));
    EXPECT_EQ(minutes, -60);
    t.utcOffset = 8;  // not valid
    EXPECT_FALSE(ExfatUtcOffsetMinutes(t, minutes));
    EXPECT_EQ(ExfatTimeToFileTime({(44u << 25) | (13u << 21) | (1u << 16), 0, 0}), 0u);  // month 13
}
