// Byte-level tests of the NTFS parsers: LZNT1, data runs, attribute
// headers, the attribute factory and the FILE record parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "NtfsTestSupport.h"
#include "engine/ntfs/Lznt1.h"
#include "engine/ntfs/NtfsAttr.h"
#include "engine/ntfs/NtfsFile.h"

using namespace ntfstest;

namespace {

std::vector<uint8_t> Str(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

// A non-resident attribute of the given runs, decoded without a volume.
std::unique_ptr<CNtfsFileAttr> NonResidentAttr(const std::vector<uint8_t>& runs, uint64_t size = 1 << 20) {
    RecordBuilder rb;
    size_t at = rb.NonResident(0x80, 1, runs, size, size);
    auto& rec = rb.Bytes();
    uint32_t len = rec[at + 4] | rec[at + 5] << 8;
    auto attr = std::make_unique<CNtfsFileAttr>();
    EXPECT_TRUE(attr->Initialize(nullptr, rec.data() + at, len));
    return attr;
}

}  // namespace

TEST(Lznt1Test, DecodesLiteralsAndBackReferencesWithPositionDependentSplit) {
    // "abc" then a back-reference at position 3 (4 offset bits): offset 3, length 9.
    std::vector<uint8_t> a = {0x08, 'a', 'b', 'c', 0x06, 0x20};
    uint8_t out[4096];
    size_t n = 0;
    ASSERT_EQ(lznt1::DecodeChunk(a.data(), a.size(), out, sizeof out, n), lznt1::Status::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), "abcabcabcabc");

    // 17 literals, then at position 17 the offset takes 5 bits: offset 17, length 5.
    std::vector<uint8_t> b = {0x00, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0x00, 'I', 'J', 'K', 'L', 'M', 'N',
                              'O', 'P', 0x02, 'Q'};
    uint16_t token = static_cast<uint16_t>((16u << 11) | (5 - 3));
    b.push_back(token & 0xFF);
    b.push_back(token >> 8);
    ASSERT_EQ(lznt1::DecodeChunk(b.data(), b.size(), out, sizeof out, n), lznt1::Status::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), "ABCDEFGHIJKLMNOPQABCDE");
}

TEST(Lznt1Test, HostileChunksEndWithoutLeavingTheChunk) {
    uint8_t out[4096];
    size_t n = 0;
    // A back-reference as the first token, and one reaching before the chunk start.
    std::vector<uint8_t> first = {0x01, 0x00, 0x00};
    EXPECT_EQ(lznt1::DecodeChunk(first.data(), first.size(), out, sizeof out, n), lznt1::Status::BadBackRef);
    std::vector<uint8_t> before = {0x08, 'a', 'b', 'c', 0x00, 0x30};  // offset 4 at position 3
    EXPECT_EQ(lznt1::DecodeChunk(before.data(), before.size(), out, sizeof out, n), lznt1::Status::BadBackRef);
    EXPECT_EQ(n, 3u);
    // A length that would run past the output stops at its end.
    std::vector<uint8_t> longRef = {0x02, 'x', 0xFF, 0x0F};  // offset 1, length 4098
    EXPECT_EQ(lznt1::DecodeChunk(longRef.data(), longRef.size(), out, sizeof out, n), lznt1::Status::Overflow);
    EXPECT_EQ(n, 4096u);
    // A token cut in half.
    std::vector<uint8_t> cut = {0x02, 'x', 0x01};
    EXPECT_EQ(lznt1::DecodeChunk(cut.data(), cut.size(), out, sizeof out, n), lznt1::Status::Truncated);

    // A unit whose chunk header claims more bytes than the unit holds.
    std::vector<uint8_t> unit = {0x10, 0xB0, 0x00, 'a'};
    std::vector<uint8_t> big(65536, 0x55);
    bool ok = true;
    lznt1::DecompressUnit(unit.data(), unit.size(), big.data(), big.size(), ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(big[0], 0x55);
}

TEST(Lznt1Test, UnitPlacesEachChunkAtItsOwnFourKilobytes) {
    // Chunk 1 stored (4096 bytes of 'S'), chunk 2 compressed "abcabc...".
    std::vector<uint8_t> unit;
    unit.push_back(0xFF);
    unit.push_back(0x3F);  // stored, 4096 bytes
    unit.insert(unit.end(), 4096, 'S');
    std::vector<uint8_t> c = {0x08, 'a', 'b', 'c', 0x06, 0x20};
    uint16_t h = static_cast<uint16_t>(0xB000 | (c.size() + 2 - 3));
    unit.push_back(h & 0xFF);
    unit.push_back(h >> 8);
    unit.insert(unit.end(), c.begin(), c.end());
    unit.push_back(0);
    unit.push_back(0);
    std::vector<uint8_t> out(16384, 0);
    bool ok = false;
    size_t end = lznt1::DecompressUnit(unit.data(), unit.size(), out.data(), out.size(), ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(end, 4096u + 12);
    EXPECT_EQ(out[4095], 'S');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data() + 4096), 12), "abcabcabcabc");
    EXPECT_EQ(out[4096 + 12], 0);
}

TEST(DataRunTest, DecodesLengthsAndSignExtendedOffsets) {
    const uint8_t r1[] = {0x10, 0x00, 0xFF};
    DataRun run = DecodeDataRun(0x21, r1);
    EXPECT_EQ(run.length, 16u);
    EXPECT_EQ(run.offset, -256);
    const uint8_t r2[] = {0x30, 0x60};
    run = DecodeDataRun(0x11, r2);
    EXPECT_EQ(run.length, 0x30u);
    EXPECT_EQ(run.offset, 0x60);
    const uint8_t r3[] = {0x05};
    run = DecodeDataRun(0x01, r3);  // O = 0: sparse
    EXPECT_EQ(run.length, 5u);
    EXPECT_EQ(run.offset, 0);
    EXPECT_TRUE(run.sparse);
    const uint8_t boot[] = {0x08, 0x00};  // a real run at LCN 0, as $Boot has
    run = DecodeDataRun(0x11, boot);
    EXPECT_FALSE(run.sparse);
    EXPECT_EQ(run.offset, 0);
    const uint8_t r4[] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};  // 8 offset bytes, no extension
    run = DecodeDataRun(0x81, r4);
    EXPECT_EQ(run.offset, INT64_MIN);
}

TEST(DataRunTest, RunListKeepsSparseRunsAndLcnDeltas) {
    // 16 clusters at 0x100, 5 sparse, 16 clusters at 0x100 - 0x80 = 0x80.
    auto a = NonResidentAttr({0x21, 0x10, 0x00, 0x01, 0x01, 0x05, 0x11, 0x10, 0x80});
    ASSERT_EQ(a->Runs().size(), 3u);
    DataRun run;
    int64_t lcn = 0;
    ASSERT_TRUE(a->RunAt(2, run, lcn));
    EXPECT_EQ(run.offset, -0x80);
    EXPECT_EQ(lcn, 0x80);
    const auto& ext = a->Extents();
    ASSERT_EQ(ext.size(), 3u);
    EXPECT_EQ(ext[1].lcn, -1);  // sparse does not move the LCN
    EXPECT_EQ(ext[1].vcn, 16u);
    EXPECT_EQ(ext[2].lcn, 0x80);
    EXPECT_EQ(ext[2].vcn, 21u);
}

TEST(DataRunTest, MalformedRunsEndTheListAndKeepWhatCameBefore) {
    // A nibble of 9.
    EXPECT_EQ(NonResidentAttr({0x11, 0x04, 0x10, 0x91, 0x01})->Runs().size(), 1u);
    // A run whose offset bytes would cross the attribute's end: the header
    // is the last byte before the terminator the builder adds.
    EXPECT_EQ(NonResidentAttr({0x11, 0x04, 0x10, 0x44, 0x01})->Runs().size(), 1u);
    // A length that would overflow the stream's byte positions.
    EXPECT_EQ(NonResidentAttr({0x11, 0x04, 0x10, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x01})
                  ->Runs()
                  .size(),
              1u);
    // An LCN delta that takes the LCN below 0.
    EXPECT_EQ(NonResidentAttr({0x11, 0x04, 0x10, 0x11, 0x04, 0x80})->Runs().size(), 1u);
}

TEST(DataRunTest, ConcatenationRebasesTheContinuationsFirstRealRun) {
    auto first = NonResidentAttr({0x11, 0x04, 0x10, 0x11, 0x04, 0x10});  // LCN 0x10, 0x20
    RecordBuilder rb;
    size_t at = rb.NonResident(0x80, 1, {0x01, 0x02, 0x11, 0x04, 0x50}, 1 << 20, 1 << 20, 0, u"", 8);
    CNtfsFileAttr cont;
    ASSERT_TRUE(cont.Initialize(nullptr, rb.Bytes().data() + at, 0x60));
    ASSERT_TRUE(CNtfsFileAttr::ConcatenateRuns(*first, cont));
    EXPECT_TRUE(cont.Runs().empty());
    ASSERT_EQ(first->Extents().size(), 4u);
    EXPECT_EQ(first->Extents()[2].lcn, -1);
    EXPECT_EQ(first->Extents()[3].lcn, 0x50);  // absolute again after the sums
    EXPECT_EQ(first->Extents()[3].vcn, 10u);
}

TEST(AttrTest, HeaderFieldsAreCheckedAgainstTheAttributeLength) {
    RecordBuilder rb;
    size_t at = rb.Resident(0x80, 3, Str("hello"));
    auto& rec = rb.Bytes();
    CNtfsFileAttr ok;
    ASSERT_TRUE(ok.Initialize(nullptr, rec.data() + at, 0x20));
    EXPECT_EQ(ok.RealSize(), 5u);
    // Set position to exactly the real size fails on a resident value.
    EXPECT_FALSE(ok.SetPosition(5));
    EXPECT_TRUE(ok.SetPosition(4));
    char c[8];
    uint32_t got = 0;
    EXPECT_TRUE(ok.Read(c, 8, got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(c[0], 'o');

    // A resident value that runs beyond its attribute.
    Put32(rec, at + 0x10, 0x100);
    CNtfsFileAttr beyond;
    EXPECT_FALSE(beyond.Initialize(nullptr, rec.data() + at, 0x20));
    // A name beyond the attribute.
    Put32(rec, at + 0x10, 5);
    rec[at + 9] = 40;
    CNtfsFileAttr badName;
    EXPECT_FALSE(badName.Initialize(nullptr, rec.data() + at, 0x20));
}

TEST(AttrTest, TypeAndAttributeNames) {
    EXPECT_STREQ(NtfsAttrTypeName(0xC0), "$SYMBOLIC_LINK");
    EXPECT_STREQ(NtfsAttrTypeName(0x120), "UNKNOWN_TYPE");
    EXPECT_STREQ(NtfsAttrTypeName(0x80), "$DATA");
    EXPECT_EQ(NtfsFileAttributeNames(0x10 | 0x1 | 0x800, true), " Read-only Compressed Directory");
    EXPECT_EQ(NtfsFileAttributeNames(0x10 | 0x1 | 0x800, false), " R-O Com Dir");
}

TEST(AttrTest, FileNameAndStandardInformationFields) {
    RecordBuilder rb;
    std::vector<uint8_t> si(0x48, 0);
    Put32(si, 0x20, 0x10000000 | 0x20);
    size_t s = rb.Resident(0x10, 0, si);
    size_t f = rb.Resident(0x30, 1, FileNameValue(77, u"x\U0001F600.txt", 1, 0x10000001, 1234));
    auto& rec = rb.Bytes();
    uint32_t advance = 0;
    auto sa = CreateNtfsAttribute(nullptr, rec.data(), 1024, static_cast<uint32_t>(s), AttrFilter::All, advance);
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(static_cast<CAttr_$STANDARD_INFORMATION*>(sa.get())->FileAttributes(), 0x30u);
    auto fa = CreateNtfsAttribute(nullptr, rec.data(), 1024, static_cast<uint32_t>(f), AttrFilter::All, advance);
    ASSERT_NE(fa, nullptr);
    auto* fn = static_cast<CAttr_$FILE_NAME*>(fa.get());
    EXPECT_EQ(fn->FileName(), u"x\U0001F600.txt");
    EXPECT_EQ(fn->ParentRecord(), 77u);
    EXPECT_EQ(fn->Flags(), 0x11u);
    EXPECT_EQ(fn->Size(), 1234u);
    // A name length running past the value makes the attribute invalid.
    rec[f + 0x18 + 0x40] = 200;
    EXPECT_EQ(CreateNtfsAttribute(nullptr, rec.data(), 1024, static_cast<uint32_t>(f), AttrFilter::All, advance),
              nullptr);
}

TEST(AttrTest, AttributeListEntriesStopAtZeroOrOverlongLength) {
    std::vector<uint8_t> list;
    for (auto e : {ListEntry(0x10, 0, 70, 0), ListEntry(0x80, 0, 71, 2), ListEntry(0x80, 40, 72, 0)})
        list.insert(list.end(), e.begin(), e.end());
    auto entries = CAttr_$ATTRIBUTE_LIST::ParseEntries(list.data(), list.size());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].startingVcn, 40);
    EXPECT_EQ(entries[2].record, 72u);
    Put16(list, 0x20 + 4, 0x400);  // second entry runs past the value
    EXPECT_EQ(CAttr_$ATTRIBUTE_LIST::ParseEntries(list.data(), list.size()).size(), 1u);
    Put16(list, 0x20 + 4, 0);
    EXPECT_EQ(CAttr_$ATTRIBUTE_LIST::ParseEntries(list.data(), list.size()).size(), 1u);
}

TEST(RecordParseTest, EachRecordIsValidNoRecordOrDamagedAtItsByte) {
    using State = RecordParse::State;
    // A record of $STANDARD_INFORMATION, $FILE_NAME and a $DATA whose value
    // covers the first sector's end (where the update sequence number sits).
    std::vector<uint8_t> pattern(600);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i % 251);
    RecordBuilder rb;
    rb.Resident(0x10, 0, std::vector<uint8_t>(0x48, 0));
    rb.Resident(0x30, 1, FileNameValue(5, u"a.txt", 1));
    const size_t data = rb.Resident(0x80, 2, pattern);
    const size_t end = data + 0x18 + pattern.size();  // the end marker
    const auto good = rb.Finish();
    // The same with an attribute list (naming records 70 and 71) before the name.
    RecordBuilder lb;
    lb.Resident(0x10, 0, std::vector<uint8_t>(0x48, 0));
    std::vector<uint8_t> list = ListEntry(0x10, 0, 70, 0);
    const auto second = ListEntry(0x80, 0, 71, 3);
    list.insert(list.end(), second.begin(), second.end());
    const size_t listAt = lb.Resident(0x20, 4, list);
    lb.Resident(0x30, 1, FileNameValue(5, u"b.txt", 1));
    const auto withList = lb.Finish();

    using Edit = void (*)(std::vector<uint8_t>&, size_t data, size_t end);
    struct Case {
        const char* what;
        const std::vector<uint8_t>* base;
        Edit edit;
        uint32_t sectorSize;
        AttrFilter filter;
        State state;
        size_t offset;
        const char* reason;
        size_t attributes;  // kept
        bool usable = true;  // the attributes can stand for the record
    };
    const Case cases[] = {
        {"valid", &good, nullptr, 512, AttrFilter::All, State::Valid, 0, "", 3},
        {"quick filter skips $DATA", &good, nullptr, 512, AttrFilter::Quick, State::Valid, 0, "", 2},
        {"4096-byte sectors, 512-byte strides", &good, nullptr, 4096, AttrFilter::All, State::Valid, 0, "", 3},
        {"attribute list aside, not followed", &withList, nullptr, 512, AttrFilter::All, State::Valid, 0, "", 2},
        {"free slot", &good, [](auto& r, size_t, size_t) { std::fill(r.begin(), r.end(), 0); }, 512,
         AttrFilter::All, State::NotRecord, 0, "", 0, false},
        {"index block", &good, [](auto& r, size_t, size_t) { std::memcpy(r.data(), "INDX", 4); }, 512,
         AttrFilter::All, State::NotRecord, 0, "", 0, false},
        {"torn second sector", &good, [](auto& r, size_t, size_t) { r[1022] ^= 0xFF; }, 512, AttrFilter::All,
         State::Damaged, 1022, "sector end differs from the update sequence number", 0, false},
        {"update sequence count past the record", &good, [](auto& r, size_t, size_t) { Put16(r, 6, 40); }, 512,
         AttrFilter::All, State::Damaged, 4, "update sequence array does not fit the record", 0, false},
        {"update sequence array past the record", &good, [](auto& r, size_t, size_t) { Put16(r, 4, 1020); }, 512,
         AttrFilter::All, State::Damaged, 4, "update sequence array does not fit the record", 0, false},
        {"first attribute past the record", &good, [](auto& r, size_t, size_t) { Put16(r, 0x14, 1024); }, 512,
         AttrFilter::All, State::Damaged, 0x14, "first attribute offset out of bounds", 0},
        {"first attribute inside the header", &good, [](auto& r, size_t, size_t) { Put16(r, 0x14, 0x10); }, 512,
         AttrFilter::All, State::Damaged, 0x14, "first attribute offset out of bounds", 0},
        {"attribute running past the record", &good, [](auto& r, size_t d, size_t) { Put32(r, d + 4, 0x2000); },
         512, AttrFilter::All, State::Damaged, data, "attribute runs past the record end", 2},
        {"attribute of length 0", &good, [](auto& r, size_t d, size_t) { Put32(r, d + 4, 0); }, 512,
         AttrFilter::All, State::Damaged, data, "attribute shorter than its header", 2},
        {"attribute header cut by the record end", &good,
         [](auto& r, size_t d, size_t) { Put32(r, d + 4, static_cast<uint32_t>(1020 - d)); }, 512, AttrFilter::All,
         State::Damaged, 1020, "attribute header past the record end", 3},
        {"no end marker", &good,
         [](auto& r, size_t, size_t e) {
             // An empty $DATA up to the record's end where the end marker was.
             Put32(r, e, 0x80);
             Put32(r, e + 4, static_cast<uint32_t>(1024 - e));
             Put32(r, e + 0x10, 0);
             Put16(r, e + 0x14, 0x18);
         },
         512, AttrFilter::All, State::Damaged, 1024, "no end marker", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto rec = *c.base;
        if (c.edit) c.edit(rec, data, end);
        const auto before = rec;
        const RecordParse p = ParseFileRecord(nullptr, rec.data(), 1024, c.sectorSize, c.filter);
        EXPECT_EQ(rec, before);  // the bytes are not touched
        EXPECT_EQ(p.state, c.state);
        EXPECT_EQ(p.offset, c.offset);
        EXPECT_STREQ(p.reason, c.reason);
        EXPECT_EQ(p.attributes.size(), c.attributes);
        // Damage past the header keeps what came before it; a torn or foreign record has nothing.
        EXPECT_EQ(p.Usable(), c.usable);
        for (const auto& a : p.attributes) {
            if (a->Type() == kAttrData && a->ValueSize() == pattern.size()) {
                EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), a->Value()));  // sector end restored
            }
        }
        if (c.base == &withList && c.state == State::Valid) {
            ASSERT_NE(p.list, nullptr);
            EXPECT_EQ(p.listOffset, listAt);
            ASSERT_EQ(p.list->Entries().size(), 2u);
            EXPECT_EQ(p.list->Entries()[1].record, 71u);
        } else {
            EXPECT_EQ(p.list, nullptr);
        }
    }
}
