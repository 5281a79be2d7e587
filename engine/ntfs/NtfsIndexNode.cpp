#include "NtfsIndexNode.h"

#include <algorithm>

namespace {

constexpr size_t kHeaderEntriesOffset = 0x00;  // u32
constexpr size_t kHeaderIndexLength = 0x04;    // u32
constexpr size_t kEntryLength = 0x08;          // u16
constexpr size_t kEntryKeyLength = 0x0A;       // u16
constexpr size_t kEntryFlags = 0x0C;           // u16
constexpr size_t kEntryKey = 0x10;
constexpr size_t kSubNodeVcnSize = 8;

}  // namespace

CNtfsIndexNodeReader::CNtfsIndexNodeReader(const LeBytes& node, size_t header) : m_node(node) {
    if (!node.has(header, kHeaderIndexLength + 4)) {
        m_done = true;
        return;
    }
    m_headerOk = true;
    const uint64_t start = header + uint64_t(node.u32(header + kHeaderEntriesOffset));
    const uint64_t end = header + uint64_t(node.u32(header + kHeaderIndexLength));
    m_pos = static_cast<size_t>(std::min<uint64_t>(start, node.size()));
    m_end = static_cast<size_t>(std::min<uint64_t>(end, node.size()));
}

bool CNtfsIndexNodeReader::Next(NtfsIndexNodeEntry& entry) {
    if (m_done || m_pos >= m_end || m_end - m_pos < kEntryKey) {
        m_done = true;
        return false;
    }
    const size_t p = m_pos;
    const uint32_t length = m_node.u16(p + kEntryLength);
    if (length < kEntryKey || length > m_end - p) {
        m_done = true;
        return false;
    }
    entry = NtfsIndexNodeEntry{};
    entry.record = m_node.u32(p);
    entry.flags = m_node.u16(p + kEntryFlags);
    entry.keyLength = m_node.u16(p + kEntryKeyLength);
    entry.key = p + kEntryKey;
    if (entry.keyLength >= NtfsIndexNodeEntry::kKeyName && kEntryKey + entry.keyLength <= length) {
        const uint32_t nameLength = m_node.u8(entry.key + NtfsIndexNodeEntry::kKeyNameLength);
        if (NtfsIndexNodeEntry::kKeyName + 2u * nameLength <= entry.keyLength) {
            entry.hasName = true;
            entry.nameLength = nameLength;
        }
    }
    if ((entry.flags & NtfsIndexNodeEntry::kSubNode) && length >= kEntryKey + kSubNodeVcnSize) {
        entry.hasSubNode = true;
        entry.subNodeVcn = m_node.u64(p + length - kSubNodeVcnSize);
    }
    m_pos = p + length;
    if (entry.IsLast()) m_done = true;
    return true;
}

std::u16string CNtfsIndexNodeReader::Name(const NtfsIndexNodeEntry& entry) const {
    if (!entry.hasName) return {};
    return m_node.utf16(entry.key + NtfsIndexNodeEntry::kKeyName, entry.nameLength);
}
