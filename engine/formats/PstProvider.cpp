// Outlook personal stores and offline stores (pst, ost), ANSI and Unicode.
//
// The header gives the layout (version 14/15 ANSI, 23 Unicode), the kind
// (client version 19 pst, 12 ost), the end-of-file offset (the size) and the
// roots of the node and block B-trees. The node B-tree leads to the message
// store's node (NID 0x21), the block B-tree to its data block, which holds a
// heap-on-node with the store's property context; its display name is the
// title. Blocks of stores with permutation encoding are decoded; the cyclic
// encoding is not, and such a store keeps an empty title.
//
// Bounds: every B-tree page lies inside the file, a child page's level is
// below its parent's and a descent has at most kPstMaxTreeDepth pages, so a
// tree whose pages point back at each other ends; a block is at most
// kPstMaxBlockSize bytes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kPstKeys[] = {u"pst", u"ost"};

// The [MS-PST] permutation table (mpbbR): stored = table[plain].
constexpr uint8_t kPermute[256] = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,  30,  242, 203, 42,  116, 197,
    94,  53,  210, 149, 71,  158, 150, 45,  154, 136, 76,  125, 132, 63,  219, 172, 49,  182, 72,  95,  246, 196,
    216, 57,  139, 231, 35,  59,  56,  142, 200, 193, 223, 37,  177, 32,  165, 70,  96,  78,  156, 251, 170, 211,
    86,  81,  69,  124, 85,  0,   7,   201, 43,  157, 133, 155, 9,   160, 143, 173, 179, 15,  99,  171, 137, 75,
    215, 167, 21,  90,  113, 102, 66,  191, 38,  74,  107, 152, 250, 234, 119, 83,  178, 112, 5,   44,  253, 89,
    58,  134, 126, 206, 6,   235, 130, 120, 87,  199, 141, 67,  175, 180, 28,  212, 91,  205, 226, 233, 39,  79,
    195, 8,   114, 128, 207, 176, 239, 245, 40,  109, 190, 48,  77,  52,  146, 213, 14,  60,  34,  50,  229, 228,
    249, 159, 194, 209, 10,  129, 18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138, 23,  121, 164, 183, 220,
    144, 122, 92,  140, 2,   166, 202, 105, 222, 80,  26,  17,  147, 185, 82,  135, 88,  252, 237, 29,  55,  73,
    27,  106, 224, 41,  51,  153, 189, 108, 217, 148, 243, 64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,
    68,  31,  221, 103, 16,  241, 12,  25,  236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192, 162, 1,
    247, 46,  188, 36,  104, 117, 13,  254, 186, 47,  181, 208, 218, 61,
};

struct InversePermutation {
    uint8_t table[256] {};
    constexpr InversePermutation() {
        for (int i = 0; i < 256; ++i) table[kPermute[i]] = static_cast<uint8_t>(i);
    }
};
constexpr InversePermutation kUnpermute;

constexpr uint8_t kPageTypeBlockTree = 0x80;
constexpr uint8_t kPageTypeNodeTree = 0x81;
constexpr uint64_t kNidMessageStore = 0x21;
constexpr uint16_t kPropDisplayName = 0x3001;
constexpr uint16_t kPtString8 = 0x001E;
constexpr uint16_t kPtUnicode = 0x001F;
constexpr uint32_t kMaxHeapLevels = 8;

// The two on-disk layouts.
struct Layout {
    bool unicode;
    uint32_t headerSize;
    uint32_t entryBytes;     // rgentries; the entry count, maximum, entry size and level follow
    size_t trailerType;      // page type byte; the repeat follows it
    size_t trailerBid;       // block id of the page
    uint32_t idSize;         // block ids, keys and offsets: 4 or 8 bytes
    uint32_t minBranchEntry; // key, bid, offset
    uint32_t minNodeEntry;   // nid, data bid, subnode bid, parent nid
    uint32_t minBlockEntry;  // bid, offset, byte count, reference count
};
constexpr Layout kAnsi {false, 462, 496, 500, 504, 4, 12, 16, 12};
constexpr Layout kUnicode {true, 528, 488, 496, 504, 8, 24, 32, 24};

uint64_t Id(const LeBytes& b, size_t off, const Layout& l) { return l.unicode ? b.u64(off) : b.u32(off); }

class PstFile {
public:
    PstFile(CarveContext& c, const Layout& l, uint64_t eof) : m_c(c), m_l(l), m_eof(eof) {}

    // Reads the page at offset and checks its type and its id. The page's
    // bytes stay in m_page.
    bool ReadPage(uint64_t offset, uint64_t bid, uint8_t type) {
        if (offset > m_eof || kPstPageSize > m_eof - offset) return false;
        if (!m_c.ReadAt(offset, kPstPageSize)) return false;
        std::memcpy(m_page, m_c.Data(), kPstPageSize);
        const LeBytes p(m_page, kPstPageSize);
        return p.u8(m_l.trailerType) == type && p.u8(m_l.trailerType + 1) == type && Id(p, m_l.trailerBid, m_l) == bid;
    }

    // Descends from the root to the leaf entry for `wanted` (a NID in the
    // node tree, a block id in the block tree): in each branch page the
    // last entry whose key is <= wanted; keys are compared without the two
    // flag bits of block ids. Gives the leaf entry's bytes. nullopt when a
    // page fails its checks (the candidate is rejected); found = false when
    // the pages are sound but hold no entry for wanted.
    std::optional<bool> Find(uint64_t rootOffset, uint64_t rootBid, uint8_t type, uint64_t wanted, uint64_t mask,
                             uint8_t* entry) {
        uint64_t offset = rootOffset, bid = rootBid;
        int parentLevel = 256;
        for (uint32_t depth = 0; depth < kPstMaxTreeDepth; ++depth) {
            if (m_c.Stopped()) return std::nullopt;
            if (!ReadPage(offset, bid, type)) return std::nullopt;
            const LeBytes p(m_page, kPstPageSize);
            const uint32_t count = p.u8(m_l.entryBytes);
            const uint32_t entrySize = p.u8(m_l.entryBytes + 2);
            const int level = p.u8(m_l.entryBytes + 3);
            if (level >= parentLevel) return std::nullopt;  // the tree must narrow at every step
            parentLevel = level;
            if (count == 0 || count * entrySize > m_l.entryBytes) return std::nullopt;
            if (level != 0) {
                if (entrySize < m_l.minBranchEntry) return std::nullopt;
                uint32_t chosen = 0;
                for (uint32_t i = 0; i < count; ++i)
                    if ((Id(p, i * entrySize, m_l) & mask) <= (wanted & mask)) chosen = i;
                bid = Id(p, chosen * entrySize + m_l.idSize, m_l);
                offset = Id(p, chosen * entrySize + 2 * m_l.idSize, m_l);
                continue;
            }
            const uint32_t minimum = type == kPageTypeNodeTree ? m_l.minNodeEntry : m_l.minBlockEntry;
            if (entrySize < minimum) return std::nullopt;
            for (uint32_t i = 0; i < count; ++i) {
                if ((Id(p, i * entrySize, m_l) & mask) == (wanted & mask)) {
                    std::memcpy(entry, m_page + i * entrySize, minimum);
                    return true;
                }
            }
            return false;
        }
        return std::nullopt;
    }

    bool ReadBlock(uint64_t offset, uint32_t size, std::vector<uint8_t>& out) {
        if (offset > m_eof || size > m_eof - offset || size > kPstMaxBlockSize) return false;
        out.resize(size);
        uint32_t done = 0;
        while (done < size) {
            const uint32_t piece = std::min(size - done, kCarveBufferSize);
            if (!m_c.ReadAt(offset + done, piece)) return false;
            std::memcpy(out.data() + done, m_c.Data(), piece);
            done += piece;
        }
        return true;
    }

private:
    CarveContext& m_c;
    const Layout& m_l;
    uint64_t m_eof;
    uint8_t m_page[kPstPageSize] {};
};

// The bytes of heap item `hid` of a one-block heap-on-node.
std::optional<LeBytes> HeapItem(const LeBytes& heap, uint32_t hid) {
    if ((hid & 0x1F) != 0 || (hid >> 16) != 0) return std::nullopt;  // not an item of this block
    const uint32_t index = (hid >> 5) & 0x7FF;
    const size_t map = heap.u16(0);
    const uint32_t allocations = heap.u16(map);
    if (!heap.ok() || index == 0 || index > allocations) return std::nullopt;
    const size_t from = heap.u16(map + 4 + 2 * (index - 1));
    const size_t to = heap.u16(map + 4 + 2 * index);
    if (!heap.ok() || from > to || !heap.has(from, to - from)) return std::nullopt;
    return heap.slice(from, to - from);
}

// PR_DISPLAY_NAME of the property context in the heap.
std::u16string DisplayName(const LeBytes& heap) {
    if (heap.u8(2) != 0xEC || heap.u8(3) != 0xBC || !heap.ok()) return {};
    const std::optional<LeBytes> header = HeapItem(heap, heap.u32(4));
    if (!header || header->u8(0) != 0xB5) return {};
    const uint32_t keySize = header->u8(1);
    const uint32_t dataSize = header->u8(2);
    const uint32_t levels = header->u8(3);
    uint32_t hid = header->u32(4);
    if (!header->ok() || keySize != 2 || dataSize != 6 || levels > kMaxHeapLevels) return {};
    // Branch levels: records of key and child HID; take the last key <= the property.
    for (uint32_t level = levels; level > 0; --level) {
        const std::optional<LeBytes> records = HeapItem(heap, hid);
        if (!records) return {};
        uint32_t next = 0;
        for (size_t off = 0; off + 6 <= records->size(); off += 6)
            if (records->u16(off) <= kPropDisplayName) next = records->u32(off + 2);
        if (next == 0) return {};
        hid = next;
    }
    const std::optional<LeBytes> records = HeapItem(heap, hid);
    if (!records) return {};
    for (size_t off = 0; off + 8 <= records->size(); off += 8) {
        if (records->u16(off) != kPropDisplayName) continue;
        const uint16_t type = records->u16(off + 2);
        const uint32_t hnid = records->u32(off + 4);
        if (type != kPtString8 && type != kPtUnicode) return {};
        if (hnid == 0) return {};
        const std::optional<LeBytes> value = HeapItem(heap, hnid);  // a subnode NID (a long name) is not read
        if (!value) return {};
        if (type == kPtUnicode) {
            std::u16string s = value->utf16(0, value->size() / 2);
            s.resize(std::char_traits<char16_t>::length(s.c_str()));
            return s;
        }
        std::string bytes(reinterpret_cast<const char*>(value->data()), value->size());
        bytes.resize(std::strlen(bytes.c_str()));
        return CodePageToUtf16(bytes, "CP1252");
    }
    return {};
}

}  // namespace

uint8_t PstPermuteEncode(uint8_t plain) { return kPermute[plain]; }
uint8_t PstPermuteDecode(uint8_t stored) { return kUnpermute.table[stored]; }

bool PSTProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 24)) return false;
    const LeBytes start = c.Bytes();
    if (!start.equals(0, "!BDN", 4)) return false;
    const uint16_t version = start.u16(10);
    const Layout* layout = nullptr;
    if (version == 14 || version == 15) layout = &kAnsi;
    else if (version == 23) layout = &kUnicode;
    else return false;
    const Layout& l = *layout;
    if (!c.ReadAt(uint64_t(0), l.headerSize)) return false;
    const LeBytes h = c.Bytes();
    const uint16_t client = h.u16(12);
    const char16_t* key = client == 19 ? u"pst" : client == 12 ? u"ost" : nullptr;
    if (!key) return false;
    const uint64_t eof = l.unicode ? h.u64(184) : h.u32(168);
    const uint64_t nodeRootBid = l.unicode ? h.u64(216) : h.u32(184);
    const uint64_t nodeRootOffset = l.unicode ? h.u64(224) : h.u32(188);
    const uint64_t blockRootBid = l.unicode ? h.u64(232) : h.u32(192);
    const uint64_t blockRootOffset = l.unicode ? h.u64(240) : h.u32(196);
    const uint8_t encryption = h.u8(l.unicode ? 513 : 461);
    if (!h.ok() || eof < l.headerSize) return false;

    PstFile file(c, l, eof);
    uint8_t nodeEntry[32] {};
    const std::optional<bool> node =
        file.Find(nodeRootOffset, nodeRootBid, kPageTypeNodeTree, kNidMessageStore, UINT32_MAX, nodeEntry);
    if (!node) return false;
    std::u16string title;
    if (*node) {
        const LeBytes n(nodeEntry, l.minNodeEntry);
        const uint64_t dataBid = Id(n, l.idSize, l);
        uint8_t blockEntry[24] {};
        const std::optional<bool> block =
            file.Find(blockRootOffset, blockRootBid, kPageTypeBlockTree, dataBid, ~uint64_t(3), blockEntry);
        if (!block || !*block) return false;
        const LeBytes b(blockEntry, l.minBlockEntry);
        const uint64_t blockOffset = Id(b, l.idSize, l);
        const uint16_t blockSize = b.u16(2 * l.idSize);
        const bool internal = (dataBid & 2) != 0;
        if ((encryption == 0 || encryption == 1) && !internal) {
            std::vector<uint8_t> data;
            if (file.ReadBlock(blockOffset, blockSize, data)) {
                if (encryption == 1)
                    for (uint8_t& byte : data) byte = kUnpermute.table[byte];
                title = DisplayName(LeBytes(data.data(), data.size()));
            }
        }
    }
    if (c.Stopped()) return false;
    c.title = std::move(title);
    c.size = eof;
    c.typeKey = key;
    return true;
}

const ProviderDescriptor kPSTProvider {u"PSTProvider", u"Outlook personal and offline folders", PSTProviderDetect,
                                       kPstKeys, {0, "!"}};
