// Outlook stores built from the published layout: ANSI and Unicode headers,
// node and block B-trees of one or two levels, the message store's property
// context with its display name, the three encodings; B-trees that loop.
// pffinfo (pff-tools), when installed, reads the same stores independently.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>

#include "DocumentTestSupport.h"
#include "common/TestUtil.h"
#include "platform/Text.h"

using namespace doctest;

namespace {

struct PstOptions {
    bool unicode = false;
    uint16_t client = 19;
    uint8_t crypt = 0;
    std::u16string name = u"Personal Folders";
    bool twoLevels = false;    // a branch page above each leaf
    uint64_t eofExtra = 0;     // added to the end-of-file offset (beyond the built bytes)
};

struct Pst {
    Bytes bytes;
    uint64_t nodeRoot = 0, blockRoot = 0, nodeLeaf = 0, blockLeaf = 0;  // page offsets
    uint64_t nodeRootBid = 0, blockRootBid = 0;
    uint64_t block = 0;  // the message store's data block
    bool unicode = false;
    // Recomputes a page's CRC after a test changed it.
    void Reseal(uint64_t page);
};

// [MS-PST] CRC: CRC-32 without the initial and final inversion.
uint32_t PstCrc(const uint8_t* p, size_t n) { return ~static_cast<uint32_t>(crc32(0xFFFFFFFFu, p, static_cast<uInt>(n))); }
uint16_t Sig(uint64_t ib, uint64_t bid) {
    const uint64_t v = ib ^ bid;
    return static_cast<uint16_t>(static_cast<uint16_t>(v >> 16) ^ static_cast<uint16_t>(v));
}

constexpr uint64_t kPageBids[] = {0x100, 0x104, 0x108, 0x10C};
constexpr uint64_t kDataBid = 4;

void PutId(Bytes& b, size_t at, uint64_t v, bool unicode) {
    if (unicode) Put64(b, at, v);
    else Put32(b, at, static_cast<uint32_t>(v));
}

// One B-tree page at `offset` with raw entries.
void WritePage(Bytes& b, uint64_t offset, uint64_t bid, uint8_t type, uint8_t level, uint8_t entrySize,
               const std::vector<Bytes>& entries, bool unicode) {
    PadTo(b, offset + 512);
    size_t at = offset;
    for (const Bytes& e : entries) {
        std::copy(e.begin(), e.end(), b.begin() + static_cast<ptrdiff_t>(at));
        at += entrySize;
    }
    const size_t counts = offset + (unicode ? 488 : 496);  // after rgentries
    b[counts] = static_cast<uint8_t>(entries.size());
    b[counts + 1] = static_cast<uint8_t>((unicode ? 488 : 496) / entrySize);
    b[counts + 2] = entrySize;
    b[counts + 3] = level;
    const size_t t = offset + (unicode ? 496 : 500);
    b[t] = type;
    b[t + 1] = type;
    Put16(b, t + 2, Sig(offset, bid));
    if (unicode) {
        Put64(b, offset + 504, bid);
        Put32(b, offset + 500, PstCrc(&b[offset], 496));
    } else {
        Put32(b, offset + 504, static_cast<uint32_t>(bid));
        Put32(b, offset + 508, PstCrc(&b[offset], 500));
    }
}

void Pst::Reseal(uint64_t page) {
    if (unicode) Put32(bytes, page + 500, PstCrc(&bytes[page], 496));
    else Put32(bytes, page + 508, PstCrc(&bytes[page], 500));
}

Bytes Id(uint64_t v, bool unicode) {
    Bytes b;
    if (unicode) Le64(b, v);
    else Le32(b, static_cast<uint32_t>(v));
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The message store's heap-on-node: header, BTH header, one property
// record (PR_DISPLAY_NAME), the name, and the page map.
Bytes MessageStoreHeap(const std::u16string& name, bool unicode) {
    Bytes h(12, 0);
    h[2] = 0xEC;
    h[3] = 0xBC;
    Put32(h, 4, 0x20);  // hidUserRoot: item 1
    std::vector<uint16_t> starts;
    starts.push_back(static_cast<uint16_t>(h.size()));  // item 1: BTH header
    h.push_back(0xB5);
    h.push_back(2);
    h.push_back(6);
    h.push_back(0);
    Le32(h, 0x40);  // hidRoot: item 2
    starts.push_back(static_cast<uint16_t>(h.size()));  // item 2: records
    Le16(h, 0x3001);
    Le16(h, unicode ? 0x001F : 0x001E);
    Le32(h, 0x60);  // item 3
    starts.push_back(static_cast<uint16_t>(h.size()));  // item 3: the name
    if (unicode) {
        for (char16_t u : name) Le16(h, u);
    } else {
        Text(h, Utf16ToCodePage(name, "CP1252"));
    }
    starts.push_back(static_cast<uint16_t>(h.size()));
    if (h.size() % 2) h.push_back(0);
    Put16(h, 0, static_cast<uint16_t>(h.size()));  // ibHnpm
    Le16(h, 3);                                      // cAlloc
    Le16(h, 0);                                      // cFree
    for (uint16_t s : starts) Le16(h, s);
    return h;
}

Pst BuildPst(const PstOptions& o) {
    Pst p;
    p.unicode = o.unicode;
    const bool u = o.unicode;
    Bytes& b = p.bytes;
    b.assign(u ? 564 : 512, 0);
    std::copy_n("!BDN", 4, b.begin());
    Put16(b, 8, 0x4D53);
    Put16(b, 10, u ? 23 : 14);
    Put16(b, 12, o.client);
    b[14] = 1;
    b[15] = 1;
    const size_t fm = u ? 256 : 204;
    std::fill(b.begin() + static_cast<ptrdiff_t>(fm), b.begin() + static_cast<ptrdiff_t>(fm + 256), 0xFF);
    b[u ? 512 : 460] = 0x80;
    b[u ? 513 : 461] = o.crypt;
    b[u ? 248 : 200] = 0x02;

    // Pages from 1,024 on, then the data block.
    uint64_t next = 1024;
    auto take = [&]() {
        const uint64_t at = next;
        next += 512;
        return at;
    };
    p.nodeLeaf = take();
    p.blockLeaf = take();
    p.nodeRoot = o.twoLevels ? take() : p.nodeLeaf;
    p.blockRoot = o.twoLevels ? take() : p.blockLeaf;
    const uint64_t blockAt = next;
    p.block = blockAt;

    Bytes data = MessageStoreHeap(o.name, u);
    const uint16_t cb = static_cast<uint16_t>(data.size());
    if (o.crypt == 1)
        for (uint8_t& x : data) x = PstPermuteEncode(x);
    // (Cyclic encoding is not written: the provider does not decode it.)
    const size_t trailer = u ? 16 : 12;
    const size_t total = (data.size() + trailer + 63) / 64 * 64;
    PadTo(b, blockAt + total);
    std::copy(data.begin(), data.end(), b.begin() + static_cast<ptrdiff_t>(blockAt));
    const size_t t = blockAt + total - trailer;
    Put16(b, t, cb);
    Put16(b, t + 2, Sig(blockAt, kDataBid));
    if (u) {
        Put32(b, t + 4, PstCrc(data.data(), data.size()));
        Put64(b, t + 8, kDataBid);
    } else {
        Put32(b, t + 4, static_cast<uint32_t>(kDataBid));
        Put32(b, t + 8, PstCrc(data.data(), data.size()));
    }

    const uint8_t nodeEntry = u ? 32 : 16, blockEntry = u ? 24 : 12, branchEntry = u ? 24 : 12;
    // Node leaf: the message store (0x21) and a second node after it.
    Bytes store = Cat({Id(0x21, u), Id(kDataBid, u), Id(0, u), Bytes(u ? 8 : 4, 0)});
    Bytes other = Cat({Id(0x2223, u), Id(kDataBid, u), Id(0, u), Bytes(u ? 8 : 4, 0)});
    WritePage(b, p.nodeLeaf, kPageBids[0], 0x81, 0, nodeEntry, {store, other}, u);
    // Block leaf: one block before ours, ours, one after.
    auto blockRow = [&](uint64_t bid, uint64_t ib, uint16_t size) {
        Bytes r = Cat({Id(bid, u), Id(ib, u)});
        Le16(r, size);
        Le16(r, 2);
        if (u) Le32(r, 0);
        return r;
    };
    WritePage(b, p.blockLeaf, kPageBids[1], 0x80, 0, blockEntry,
              {blockRow(kDataBid - 4 + 2, 0, 0), blockRow(kDataBid, blockAt, cb), blockRow(kDataBid + 8, 0, 0)}, u);
    p.nodeRootBid = kPageBids[0];
    p.blockRootBid = kPageBids[1];
    if (o.twoLevels) {
        WritePage(b, p.nodeRoot, kPageBids[2], 0x81, 1, branchEntry,
                  {Cat({Id(0x21, u), Id(kPageBids[0], u), Id(p.nodeLeaf, u)})}, u);
        // Two children: the wanted block lies in the first (key 2 <= 4 < 12).
        WritePage(b, p.blockRoot, kPageBids[3], 0x80, 1, branchEntry,
                  {Cat({Id(2, u), Id(kPageBids[1], u), Id(p.blockLeaf, u)}),
                   Cat({Id(12, u), Id(0x999, u), Id(0x7777, u)})},
                  u);
        p.nodeRootBid = kPageBids[2];
        p.blockRootBid = kPageBids[3];
    }
    const uint64_t eof = b.size() + o.eofExtra;
    if (u) {
        Put64(b, 32, 0x200);           // bidNextP
        Put64(b, 184, eof);
        Put64(b, 192, 0);
        Put64(b, 216, p.nodeRootBid);
        Put64(b, 224, p.nodeRoot);
        Put64(b, 232, p.blockRootBid);
        Put64(b, 240, p.blockRoot);
        Put64(b, 516, 0x20);           // bidNextB
        Put32(b, 4, PstCrc(&b[8], 471));
        Put32(b, 524, PstCrc(&b[8], 516));
    } else {
        Put32(b, 24, 0x20);            // bidNextB
        Put32(b, 28, 0x200);           // bidNextP
        Put32(b, 168, static_cast<uint32_t>(eof));
        Put32(b, 184, static_cast<uint32_t>(p.nodeRootBid));
        Put32(b, 188, static_cast<uint32_t>(p.nodeRoot));
        Put32(b, 192, static_cast<uint32_t>(p.blockRootBid));
        Put32(b, 196, static_cast<uint32_t>(p.blockRoot));
        Put32(b, 4, PstCrc(&b[8], 471));
    }
    return p;
}

Hit DetectPst(const Pst& p) { return Detect(PSTProviderDetect, p.bytes); }

}  // namespace

TEST(PstProvider, PermutationTable) {
    // The first entries of the published decoding table (mpbbI).
    const uint8_t decode[] = {71, 241, 180, 230, 11, 106, 114, 72};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(PstPermuteDecode(static_cast<uint8_t>(i)), decode[i]) << i;
    for (int i = 0; i < 256; ++i) EXPECT_EQ(PstPermuteDecode(PstPermuteEncode(static_cast<uint8_t>(i))), i);
    EXPECT_EQ(PstPermuteEncode(0), 65);
}

TEST(PstProvider, AnsiAndUnicodeStoresWithEachEncoding) {
    for (bool unicode : {false, true}) {
        for (bool twoLevels : {false, true}) {
            for (uint8_t crypt : {0, 1, 2}) {
                PstOptions o;
                o.unicode = unicode;
                o.twoLevels = twoLevels;
                o.crypt = crypt;
                o.name = u"Mailbox \u00e9t\u00e9";
                const Pst p = BuildPst(o);
                const Hit h = DetectPst(p);
                SCOPED_TRACE(testing::Message() << "unicode " << unicode << " two levels " << twoLevels << " crypt "
                                                << int(crypt));
                ASSERT_TRUE(h.found);
                EXPECT_EQ(h.type, u"pst");
                EXPECT_EQ(h.size, p.bytes.size());
                // Cyclic encoding is not decoded: the store is kept untitled.
                EXPECT_EQ(h.title, crypt == 2 ? u"" : o.name);
            }
        }
    }
}

TEST(PstProvider, KindSizeAndHeaderChecks) {
    PstOptions o;
    o.client = 12;
    EXPECT_EQ(DetectPst(BuildPst(o)).type, u"ost");
    o.client = 20;
    EXPECT_FALSE(DetectPst(BuildPst(o)).found);

    // Unicode stores carry a 64-bit end-of-file offset.
    PstOptions big;
    big.unicode = true;
    big.eofExtra = 5ull << 30;
    const Pst large = BuildPst(big);
    const Hit h = DetectPst(large);
    ASSERT_TRUE(h.found);
    EXPECT_EQ(h.size, large.bytes.size() + (5ull << 30));

    Pst version = BuildPst({});
    Put16(version.bytes, 10, 36);  // 4 KiB pages: not read
    EXPECT_FALSE(DetectPst(version).found);
    Pst magic = BuildPst({});
    magic.bytes[0] = '?';
    EXPECT_FALSE(DetectPst(magic).found);
    // An end of file before the B-tree pages.
    Pst shortFile = BuildPst({});
    Put32(shortFile.bytes, 168, 1024);
    EXPECT_FALSE(DetectPst(shortFile).found);
}

// The walk takes a store up to its type's cap when its last byte is on the
// source: sparse sources of a store's claimed length, just under and past the
// cap. A header claiming more would make the walk skip the volume as one file.
TEST(PstProvider, TheWalkRefusesAStorePastItsCap) {
    const ScanTypeSet types = RegisteredDocumentTypes();
    for (const uint64_t eof : {uint64_t(5) << 30, kCarvedMailStoreCap, kCarvedMailStoreCap + 512}) {
        SCOPED_TRACE(eof);
        PstOptions o;
        o.unicode = true;
        o.eofExtra = eof - BuildPst(o).bytes.size();
        const Pst p = BuildPst(o);
        testutil::TempDir dir;
        const std::string path = dir.file("sparse.img");
        testutil::WriteFileBytes(path, p.bytes);
        std::filesystem::resize_file(path, eof + 4096);
        CRawVolume volume(512);
        ASSERT_TRUE(volume.Initialize(path)) << volume.InitError();
        CarveContext c;
        ASSERT_TRUE(c.Init(&volume, 0, nullptr, &types));
        c.Reset(0);
        const bool hit = DetectAt(types, c);
        EXPECT_EQ(hit, eof <= kCarvedMailStoreCap);
        if (hit) {
            EXPECT_EQ(c.size, eof);
        }
    }
}

TEST(PstProvider, DamagedOrLoopingBTreesAreRejected) {
    for (bool unicode : {false, true}) {
        SCOPED_TRACE(unicode ? "unicode" : "ansi");
        PstOptions o;
        o.unicode = unicode;
        o.twoLevels = true;
        const size_t typeAt = unicode ? 496 : 500;
        const size_t counts = unicode ? 488 : 496;
        const size_t entrySize = unicode ? 24 : 12;
        const size_t idSize = unicode ? 8 : 4;

        // A branch page whose child is the page itself.
        Pst self = BuildPst(o);
        PutId(self.bytes, self.nodeRoot + idSize, self.nodeRootBid, unicode);
        PutId(self.bytes, self.nodeRoot + 2 * idSize, self.nodeRoot, unicode);
        self.Reseal(self.nodeRoot);
        EXPECT_FALSE(DetectPst(self).found);

        // Two branch pages of level 1 that point at each other (block tree).
        Pst pair = BuildPst(o);
        pair.bytes[pair.blockLeaf + counts + 3] = 1;
        PutId(pair.bytes, pair.blockLeaf, 0, unicode);
        PutId(pair.bytes, pair.blockLeaf + idSize, pair.blockRootBid, unicode);
        PutId(pair.bytes, pair.blockLeaf + 2 * idSize, pair.blockRoot, unicode);
        pair.bytes[pair.blockLeaf + counts + 2] = static_cast<uint8_t>(entrySize);
        pair.Reseal(pair.blockLeaf);
        EXPECT_FALSE(DetectPst(pair).found);

        // Wrong page type, a type without its repeat, a wrong page id.
        Pst type = BuildPst(o);
        type.bytes[type.nodeLeaf + typeAt] = 0x80;
        type.bytes[type.nodeLeaf + typeAt + 1] = 0x80;
        EXPECT_FALSE(DetectPst(type).found);
        Pst repeat = BuildPst(o);
        repeat.bytes[repeat.blockLeaf + typeAt + 1] = 0x00;
        EXPECT_FALSE(DetectPst(repeat).found);
        Pst id = BuildPst(o);
        id.bytes[id.nodeLeaf + 504] ^= 0x40;
        EXPECT_FALSE(DetectPst(id).found);

        // Entries that overflow the page, an empty leaf, entries too small.
        Pst overflow = BuildPst(o);
        overflow.bytes[overflow.blockLeaf + counts] = 42;
        EXPECT_FALSE(DetectPst(overflow).found);
        Pst empty = BuildPst(o);
        empty.bytes[empty.nodeLeaf + counts] = 0;
        EXPECT_FALSE(DetectPst(empty).found);
        Pst small = BuildPst(o);
        small.bytes[small.nodeLeaf + counts + 2] = static_cast<uint8_t>(unicode ? 24 : 12);
        EXPECT_FALSE(DetectPst(small).found);

        // The message store's block missing from the block tree.
        Pst missing = BuildPst(o);
        PutId(missing.bytes, missing.blockLeaf + entrySize, 0x400, unicode);
        EXPECT_FALSE(DetectPst(missing).found);

        // A damaged heap only costs the title.
        Pst heap = BuildPst(o);
        heap.bytes[heap.block + 2] = 0xEB;  // the heap signature
        const Hit h = DetectPst(heap);
        EXPECT_TRUE(h.found);
        EXPECT_EQ(h.title, u"");
    }
}

TEST(PstProvider, PffToolsReadTheBuiltStores) {
    QUARLIX_REQUIRE(testutil::HaveTool("pffinfo") && testutil::HaveTool("pffexport"),
                    "pffinfo and pffexport (pff-tools) are not installed");
    for (bool unicode : {false, true}) {
        for (uint8_t crypt : {0, 1}) {
            testutil::TempDir dir;
            PstOptions o;
            o.unicode = unicode;
            o.crypt = crypt;
            o.name = u"Checked Store";
            const Pst p = BuildPst(o);  // found with its name: AnsiAndUnicodeStoresWithEachEncoding
            const std::string path = dir.file("store.pst");
            testutil::WriteFileBytes(path, p.bytes);
            // pffinfo: the header's layout and encoding, and the message
            // store found through the node and block B-trees.
            const testutil::CommandResult info = testutil::Run("pffinfo " + testutil::Quote(path));
            SCOPED_TRACE(info.out);
            EXPECT_EQ(info.exitCode, 0);
            EXPECT_NE(info.out.find(unicode ? "File type:\t\t64-bit" : "File type:\t\t32-bit"), std::string::npos);
            EXPECT_NE(info.out.find(crypt ? "Encryption type:\tcompressible" : "Encryption type:\tnone"),
                      std::string::npos);
            EXPECT_NE(info.out.find("Message store:"), std::string::npos);
            // pffexport (debug mode) names the message store's folder after
            // its display name.
            const testutil::CommandResult exported = testutil::Run("pffexport -q -m debug -t " +
                                                                   testutil::Quote(dir.file("x")) + " " +
                                                                   testutil::Quote(path));
            EXPECT_EQ(exported.exitCode, 0) << exported.out;
            EXPECT_TRUE(std::filesystem::is_directory(dir.file("x.export/Checked Store"))) << exported.out;
        }
    }
}
