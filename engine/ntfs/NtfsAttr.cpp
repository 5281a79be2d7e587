#include "NtfsAttr.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "app/Log.h"
#include "engine/ntfs/Lznt1.h"
#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

// Attribute header (offsets from the attribute's start).
constexpr size_t kHdrType = 0x00;         // u32
constexpr size_t kHdrLength = 0x04;       // u32, total attribute length
constexpr size_t kHdrNonResident = 0x08;  // u8
constexpr size_t kHdrNameLength = 0x09;   // u8, UTF-16 characters
constexpr size_t kHdrNameOffset = 0x0A;   // u16
constexpr size_t kHdrFlags = 0x0C;        // u16: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
constexpr size_t kHdrId = 0x0E;           // u16
constexpr size_t kResValueLength = 0x10;  // u32
constexpr size_t kResValueOffset = 0x14;  // u16
constexpr size_t kResHeaderSize = 0x18;
constexpr size_t kNrStartVcn = 0x10;      // u64
constexpr size_t kNrRunsOffset = 0x20;    // u16
constexpr size_t kNrCompUnit = 0x22;      // u16, log2 of clusters per compression unit
constexpr size_t kNrRealSize = 0x30;      // u64
constexpr size_t kNrInitSize = 0x38;      // u64
constexpr size_t kNrHeaderSize = 0x40;

// No stream is longer than 2^42 clusters: with clusters of up to 2 MiB every
// byte position then fits a signed 64-bit value.
constexpr uint64_t kMaxVcn = uint64_t(1) << 42;
// Compressed units beyond this size are refused (real volumes use 64 KiB).
constexpr uint64_t kMaxUnitBytes = 4u << 20;

struct AttrTypeName {
    uint32_t type;
    const char* name;
};
constexpr AttrTypeName kTypeNames[] = {
    {0x10, "$STANDARD_INFORMATION"}, {0x20, "$ATTRIBUTE_LIST"},   {0x30, "$FILE_NAME"},
    {0x40, "$OBJECT_ID"},            {0x50, "$SECURITY_DESCRIPTOR"}, {0x60, "$VOLUME_NAME"},
    {0x70, "$VOLUME_INFORMATION"},   {0x80, "$DATA"},             {0x90, "$INDEX_ROOT"},
    {0xA0, "$INDEX_ALLOCATION"},     {0xB0, "$BITMAP"},           {0xC0, "$SYMBOLIC_LINK"},
    {0xD0, "$REPARSE_POINT"},        {0xE0, "$EA_INFORMATION"},   {0xF0, "$EA"},
    {0x100, "$EFS"},                 {0x110, "$AT_LOGGED_UTILITY_STREAM"},
};

struct AttrBitName {
    uint32_t bit;
    const char* longName;
    const char* shortName;
};
constexpr AttrBitName kBitNames[] = {
    {0x1, " Read-only", " R-O"},          {0x2, " Hidden", " Hid"},
    {0x4, " System", " Sys"},             {0x20, " Archive", " Arc"},
    {0x40, " Device", " Dev"},            {0x80, " Normal", " Nor"},
    {0x100, " Temporary", " Tmp"},        {0x200, " Sparce", " Spc"},
    {0x400, " Reparce_point ", " Rep"},   {0x800, " Compressed", " Com"},
    {0x1000, " Offline", " Off"},         {0x2000, " Not_content_indexed", " Nci"},
    {0x4000, " Encrypted", " Enc"},       {0x10, " Directory", " Dir"},
};

// NTFS keeps the folder bit of file names and standard information at 0x10000000.
uint32_t FoldDirectoryBit(uint32_t a) {
    if (a & 0x10000000) a = (a & ~0x10000000u) | 0x10;
    return a;
}

}  // namespace

const char* NtfsAttrTypeName(uint32_t type) {
    for (const auto& t : kTypeNames)
        if (t.type == type) return t.name;
    return "UNKNOWN_TYPE";
}

std::string NtfsFileAttributeNames(uint32_t attributes, bool longForm) {
    std::string s;
    for (const auto& b : kBitNames)
        if (attributes & b.bit) s += longForm ? b.longName : b.shortName;
    return s;
}

DataRun DecodeDataRun(uint8_t h, const uint8_t* bytes) {
    const unsigned L = h & 0x0F;
    const unsigned O = h >> 4;
    DataRun run;
    uint64_t length = 0;
    for (unsigned i = 0; i < L && i < 8; ++i) length |= uint64_t(bytes[i]) << (8 * i);
    run.length = length;
    run.sparse = O == 0;
    if (O > 0) {
        uint64_t off = 0;
        for (unsigned i = 0; i < O && i < 8; ++i) off |= uint64_t(bytes[L + i]) << (8 * i);
        if (O < 8 && (bytes[L + O - 1] & 0x80)) off |= ~uint64_t(0) << (8 * O);
        run.offset = static_cast<int64_t>(off);
    }
    return run;
}

// ---------------------------------------------------------------------------

CNtfsFileAttr::CNtfsFileAttr() = default;
CNtfsFileAttr::~CNtfsFileAttr() = default;

CNtfsVolume* CNtfsFileAttr::Volume() const { return m_owner ? m_owner->Volume() : nullptr; }

uint32_t CNtfsFileAttr::ClusterSize() const {
    CNtfsVolume* v = Volume();
    return v ? v->ClusterSize() : 0;
}

bool CNtfsFileAttr::Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) {
    m_valid = 0;
    m_owner = owner;
    LeBytes a(attr, length);
    if (!a.has(0, kResHeaderSize)) return false;
    m_id = a.u16(kHdrId);
    const uint32_t nameLength = a.u8(kHdrNameLength);
    const uint32_t nameOffset = a.u16(kHdrNameOffset);
    if (nameLength > 0 && static_cast<uint64_t>(length) < uint64_t(nameOffset) + 2u * nameLength) {
        LogWrite("Invalid attribute name length.\n");
        return false;
    }
    m_name = nameLength ? a.utf16(nameOffset, nameLength) : std::u16string();
    m_type = a.u32(kHdrType);
    m_nonResident = a.u8(kHdrNonResident) ? 1 : 0;
    m_value.Free();
    m_unitBuffer.Free();
    m_packedBuffer.Free();
    m_cachedUnit = UINT64_MAX;
    m_runs.clear();
    m_extents.clear();
    m_realSize = m_initializedSize = 0;
    m_compressionUnit = 0;
    m_startingVcn = 0;

    if (m_nonResident) {
        if (!a.has(0, kNrHeaderSize)) return false;
        m_startingVcn = a.u64(kNrStartVcn);
        m_realSize = a.u64(kNrRealSize);
        m_initializedSize = a.u64(kNrInitSize);
        // Sparse attributes may carry a compression unit too (libntfs-3g
        // writes 4); only the compressed flag makes the units LZNT1 data.
        m_compressionUnit = (a.u16(kHdrFlags) & 0x0001) ? a.u16(kNrCompUnit) : 0;
        if (m_initializedSize > m_realSize) m_initializedSize = m_realSize;
        // Cluster runs are relative LCN deltas; decode until the 0 header,
        // a malformed header or the attribute's end.
        size_t p = a.u16(kNrRunsOffset);
        uint64_t vcn = 0;
        int64_t lcn = 0;
        while (p < length) {
            const uint8_t h = attr[p];
            if (h == 0) break;
            const unsigned L = h & 0x0F;
            const unsigned O = h >> 4;
            if (L >= 9 || O >= 9) break;
            if (length - p < 1 + L + O) break;
            DataRun run = DecodeDataRun(h, attr + p + 1);
            if (run.length > kMaxVcn - vcn) break;  // length overflow
            if (O > 0) {
                int64_t next;
                if (__builtin_add_overflow(lcn, run.offset, &next) || next < 0) break;
                lcn = next;
            }
            vcn += run.length;
            m_runs.push_back(run);
            p += 1 + L + O;
        }
        BuildExtents();
        if (!SetPosition(0)) return false;
    } else {
        const uint32_t valueLength = a.u32(kResValueLength);
        const uint32_t valueOffset = a.u16(kResValueOffset);
        if (uint64_t(valueOffset) + valueLength > length) return false;
        if (!m_value.Allocate(valueLength)) return false;
        if (valueLength) std::memcpy(m_value.Data(), attr + valueOffset, valueLength);
        m_realSize = valueLength;
        m_initializedSize = valueLength;
        m_residentCursor = 0;
        m_position = 0;
    }
    m_valid = 1;
    return true;
}

void CNtfsFileAttr::BuildExtents() {
    m_extents.clear();
    m_extents.reserve(m_runs.size());
    uint64_t vcn = 0;
    int64_t lcn = 0;
    for (const DataRun& r : m_runs) {
        Extent e;
        e.vcn = vcn;
        e.length = r.length;
        if (!r.sparse) {
            lcn += r.offset;
            e.lcn = lcn;
        }
        vcn += r.length;
        if (e.length) m_extents.push_back(e);
    }
    m_extentCursor = 0;
}

bool CNtfsFileAttr::FindExtent(uint64_t vcn, size_t& index) {
    if (m_extents.empty()) return false;
    auto in = [&](size_t i) { return vcn >= m_extents[i].vcn && vcn - m_extents[i].vcn < m_extents[i].length; };
    if (m_extentCursor < m_extents.size() && in(m_extentCursor)) {
        index = m_extentCursor;
        return true;
    }
    if (m_extentCursor + 1 < m_extents.size() && in(m_extentCursor + 1)) {
        index = ++m_extentCursor;
        return true;
    }
    auto it = std::upper_bound(m_extents.begin(), m_extents.end(), vcn,
                               [](uint64_t v, const Extent& e) { return v < e.vcn; });
    if (it == m_extents.begin()) return false;
    size_t i = static_cast<size_t>(it - m_extents.begin()) - 1;
    if (!in(i)) return false;
    index = m_extentCursor = i;
    return true;
}

bool CNtfsFileAttr::SetPosition(uint64_t pos) {
    if (!m_nonResident) {
        if (pos >= m_realSize) return false;
        m_residentCursor = static_cast<uint32_t>(pos);
        m_position = pos;
        return true;
    }
    if (pos == 0) {
        m_position = 0;
        m_extentCursor = 0;
        return true;
    }
    const uint32_t cs = ClusterSize();
    if (cs == 0) return false;
    uint64_t covered = m_extents.empty() ? 0 : m_extents.back().vcn + m_extents.back().length;
    // A position beyond the last run fails.
    if (pos / cs >= covered) return false;
    size_t idx;
    if (!FindExtent(pos / cs, idx)) return false;
    m_position = pos;
    return true;
}

bool CNtfsFileAttr::Read(void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    if (!buffer || length == 0) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    if (!m_nonResident) {
        if (!m_value.Data() && m_realSize) return false;
        if (m_residentCursor >= m_realSize) return true;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, m_realSize - m_residentCursor));
        std::memcpy(out, m_value.Data() + m_residentCursor, n);
        m_residentCursor += n;
        m_position = m_residentCursor;
        bytesRead = n;
        return true;
    }
    return ReadNonResident(out, length, bytesRead);
}

bool CNtfsFileAttr::ReadNonResident(uint8_t* out, uint32_t length, uint32_t& bytesRead) {
    if (m_position >= m_realSize) return true;
    const uint32_t cs = ClusterSize();
    CNtfsVolume* vol = Volume();
    if (cs == 0) return false;
    const bool compressed = m_compressionUnit != 0;
    uint64_t unitBytes = 0;
    if (compressed) {
        if (m_compressionUnit > 16 || (uint64_t(cs) << m_compressionUnit) > kMaxUnitBytes) return false;
        unitBytes = uint64_t(cs) << m_compressionUnit;
    }
    while (bytesRead < length && m_position < m_realSize) {
        const uint64_t want = std::min<uint64_t>(length - bytesRead, m_realSize - m_position);
        if (m_position >= m_initializedSize) {
            // Past the initialized size the stream reads as zeros.
            std::memset(out + bytesRead, 0, want);
            bytesRead += static_cast<uint32_t>(want);
            m_position += want;
            continue;
        }
        size_t idx = 0;
        if (!FindExtent(m_position / cs, idx)) {
            // No run describes this position: zeros up to the next run, or to the end.
            uint64_t n = want;
            const uint64_t vcnHere = m_position / cs;
            auto it = std::upper_bound(m_extents.begin(), m_extents.end(), vcnHere,
                                       [](uint64_t v, const Extent& e) { return v < e.vcn; });
            if (it != m_extents.end()) n = std::min<uint64_t>(n, it->vcn * cs - m_position);
            if (n == 0) return false;
            std::memset(out + bytesRead, 0, n);
            bytesRead += static_cast<uint32_t>(n);
            m_position += n;
            continue;
        }
        const Extent& e = m_extents[idx];
        const uint64_t vcn = m_position / cs;
        const uint32_t inCluster = static_cast<uint32_t>(m_position % cs);
        uint64_t extentEnd = (e.vcn + e.length) * cs;
        uint64_t n = std::min<uint64_t>(want, extentEnd - m_position);
        n = std::min<uint64_t>(n, m_initializedSize - m_position);

        if (compressed) {
            const uint64_t unit = m_position / unitBytes;
            const uint64_t unitEnd = (unit + 1) * unitBytes;
            n = std::min<uint64_t>(n, unitEnd - m_position);
            // Classify the unit: all real clusters (stored raw), or fewer real
            // clusters followed by sparse ones (LZNT1 data).
            const uint64_t unitVcn = unit << m_compressionUnit;
            const uint64_t unitClusters = uint64_t(1) << m_compressionUnit;
            uint64_t real = 0;
            bool sparseSeen = false;
            for (uint64_t v = unitVcn; v < unitVcn + unitClusters;) {
                size_t j;
                if (!FindExtent(v, j)) {
                    sparseSeen = true;
                    break;
                }
                const Extent& x = m_extents[j];
                uint64_t take = std::min(x.vcn + x.length - v, unitVcn + unitClusters - v);
                if (x.lcn < 0) {
                    sparseSeen = true;
                    break;
                }
                real += take;
                v += take;
            }
            FindExtent(vcn, idx);  // restore the cursor hint
            if (real < unitClusters && sparseSeen && real > 0) {
                if (!ReadCompressedUnit(unit)) return false;
                uint64_t offInUnit = m_position - unit * unitBytes;
                uint64_t m = std::min<uint64_t>({want, unitEnd - m_position, m_initializedSize - m_position});
                std::memcpy(out + bytesRead, m_unitBuffer.Data() + offInUnit, m);
                bytesRead += static_cast<uint32_t>(m);
                m_position += m;
                continue;
            }
        }
        if (e.lcn < 0) {
            std::memset(out + bytesRead, 0, n);
        } else {
            if (!vol) return false;
            uint32_t got = static_cast<uint32_t>(n);
            if (!vol->ReadRaw(static_cast<uint64_t>(e.lcn) + (vcn - e.vcn), inCluster, out + bytesRead, got) ||
                got != n) {
                // A read error: what came before it counts as read.
                got = std::min<uint32_t>(got, static_cast<uint32_t>(n));
                bytesRead += got;
                m_position += got;
                return false;
            }
        }
        bytesRead += static_cast<uint32_t>(n);
        m_position += n;
    }
    return true;
}

bool CNtfsFileAttr::ReadCompressedUnit(uint64_t unit) {
    if (m_cachedUnit == unit) return true;
    CNtfsVolume* vol = Volume();
    const uint32_t cs = ClusterSize();
    if (!vol || cs == 0) return false;
    const uint64_t unitClusters = uint64_t(1) << m_compressionUnit;
    const uint32_t unitBytes = static_cast<uint32_t>(unitClusters * cs);
    if (m_unitBuffer.Size() != unitBytes && !m_unitBuffer.Allocate(unitBytes)) return false;
    if (m_packedBuffer.Size() != unitBytes && !m_packedBuffer.Allocate(unitBytes)) return false;
    m_cachedUnit = UINT64_MAX;
    // Gather the unit's real clusters (they come first), then decompress.
    uint32_t packed = 0;
    const uint64_t unitVcn = unit * unitClusters;
    for (uint64_t v = unitVcn; v < unitVcn + unitClusters;) {
        size_t j;
        if (!FindExtent(v, j)) break;
        const Extent& x = m_extents[j];
        if (x.lcn < 0) break;
        uint64_t take = std::min(x.vcn + x.length - v, unitVcn + unitClusters - v);
        uint32_t bytes = static_cast<uint32_t>(take * cs);
        uint32_t got = bytes;
        if (!vol->ReadRaw(static_cast<uint64_t>(x.lcn) + (v - x.vcn), 0, m_packedBuffer.Data() + packed, got) ||
            got != bytes)
            return false;
        packed += bytes;
        v += take;
    }
    std::memset(m_unitBuffer.Data(), 0, unitBytes);
    bool ok = true;
    lznt1::DecompressUnit(m_packedBuffer.Data(), packed, m_unitBuffer.Data(), unitBytes, ok);
    if (!ok) LogWriteLevel(1, "LZNT1 data error in compression unit %" PRIu64 "\n", unit);
    m_cachedUnit = unit;
    return true;
}

bool CNtfsFileAttr::ReadAll(std::vector<uint8_t>& out, uint64_t maxBytes) {
    out.clear();
    if (m_realSize > maxBytes) return false;
    out.resize(static_cast<size_t>(m_realSize));
    if (out.empty()) return true;
    if (!SetPosition(0)) return false;
    uint32_t got = 0;
    if (!Read(out.data(), static_cast<uint32_t>(out.size()), got) || got != out.size()) return false;
    return true;
}

bool CNtfsFileAttr::ConcatenateRuns(CNtfsFileAttr& first, CNtfsFileAttr& continuation) {
    if (!first.m_nonResident || !continuation.m_nonResident) return false;
    int64_t s = 0;
    uint64_t firstClusters = 0;
    for (const DataRun& r : first.m_runs) {
        s += r.offset;
        firstClusters += r.length;
    }
    // A missing middle piece leaves a hole: keep the continuation at its own VCN.
    if (continuation.m_startingVcn > firstClusters) {
        uint64_t gap = continuation.m_startingVcn - firstClusters;
        if (gap > kMaxVcn - firstClusters) return false;
        first.m_runs.push_back(DataRun{0, gap, true});
        firstClusters += gap;
    }
    bool rebased = false;
    for (DataRun r : continuation.m_runs) {
        if (!rebased && !r.sparse) {
            r.offset -= s;
            rebased = true;
        }
        if (r.length > kMaxVcn - firstClusters) break;
        firstClusters += r.length;
        first.m_runs.push_back(r);
    }
    continuation.m_runs.clear();
    continuation.m_extents.clear();
    first.BuildExtents();
    first.m_cachedUnit = UINT64_MAX;
    return true;
}

bool CNtfsFileAttr::RunAt(uint32_t index, DataRun& run, int64_t& lcn) const {
    if (index >= m_runs.size()) return false;
    int64_t sum = 0;
    for (uint32_t i = 0; i <= index; ++i) sum += m_runs[i].offset;
    run = m_runs[index];
    lcn = sum;
    return true;
}

uint32_t CNtfsFileAttr::InUsePercentage() {
    CNtfsVolume* vol = Volume();
    if (!m_nonResident || !vol || !vol->HasBitmapData()) return 0;
    uint8_t window[512];
    uint64_t windowStart = 0;
    bool haveWindow = false;  // read where the first cluster lies
    uint32_t got = 0;
    const uint64_t volumeClusters = vol->TotalClusters();
    // Clusters past the end of a short source cannot be read: they count as
    // unavailable, like clusters in use again.
    const uint64_t onSource = vol->ClusterEndOnSource();
    uint64_t used = 0;
    uint64_t total = 0;
    int64_t lcn = 0;
    for (const DataRun& r : m_runs) {
        if (r.sparse || r.length == 0) continue;
        lcn += r.offset;
        total += r.length;
        uint64_t first = static_cast<uint64_t>(lcn);
        const uint64_t end = r.length > UINT64_MAX - first ? UINT64_MAX : first + r.length;
        if (end > onSource) used += end - std::max(first, onSource);
        if (first >= volumeClusters || first >= onSource) continue;
        uint64_t last = std::min({end, volumeClusters, onSource});
        for (uint64_t k = first; k < last; ++k) {
            if (!haveWindow || k < windowStart || k >= windowStart + 8 * sizeof window) {
                haveWindow = true;
                windowStart = k & ~uint64_t(0xFFF);
                if (!vol->ReadBitmapBytes(windowStart / 8, window, sizeof window, got)) got = 0;
                if (got < sizeof window) std::memset(window + got, 0, sizeof window - got);
            }
            uint64_t bit = k - windowStart;
            if (window[bit / 8] & (1u << (bit % 8))) ++used;
        }
    }
    if (total == 0) return 0;
    return static_cast<uint32_t>(static_cast<double>(used) * 100.0 / static_cast<double>(total));
}

void CNtfsFileAttr::Dump() {
    std::string name = Utf16ToUtf8(m_name);
    LogWrite("  ATTRIBUTE id=%u\tname=%s\ttype=%s\t\tresident=%d\treal_sz=%" PRIu64 "\tstream_sz=%" PRIu64 "\n",
             static_cast<unsigned>(m_id), name.c_str(), NtfsAttrTypeName(m_type), m_nonResident ? 0 : 1, m_realSize,
             m_nonResident ? m_initializedSize : m_realSize);
    if (m_nonResident) {
        LogWrite("  DATARUNS sz=%d\n", static_cast<int>(m_runs.size()));
        for (size_t i = 0; i < m_runs.size(); ++i) {
            LogWrite("  %d ", static_cast<int>(i));
            LogWrite("    DATARUN offset=%" PRId64 "\tlength=%" PRIu64 "\n", m_runs[i].offset, m_runs[i].length);
        }
    }
}

// ---------------------------------------------------------------------------

bool CAttr_$STANDARD_INFORMATION::Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) {
    if (!CNtfsFileAttr::Initialize(owner, attr, length)) return false;
    LeBytes v(m_value.Data(), m_value.Size());
    if (m_nonResident || !v.has(0, 0x24)) {
        m_valid = 0;
        return false;
    }
    m_creationTime = v.u64(0x00);
    m_modificationTime = v.u64(0x08);
    m_lastAccessTime = v.u64(0x18);
    m_fileAttributes = FoldDirectoryBit(v.u32(0x20));
    return true;
}

void CAttr_$STANDARD_INFORMATION::Dump() {
    CNtfsFileAttr::Dump();
    LogWrite("  {%s}\n", NtfsFileAttributeNames(m_fileAttributes, true).c_str());
}

bool CAttr_$FILE_NAME::Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) {
    if (!CNtfsFileAttr::Initialize(owner, attr, length)) return false;
    LeBytes v(m_value.Data(), m_value.Size());
    const uint32_t nameLength = v.u8(0x40);
    if (m_nonResident || !v.ok() || !v.has(0x42, 2u * nameLength)) {
        m_valid = 0;
        return false;
    }
    m_parent = v.u32(0x00);
    m_creationTime = v.u64(0x08);
    m_modificationTime = v.u64(0x10);
    m_size = v.u64(0x30);
    m_flags = FoldDirectoryBit(v.u32(0x38));
    m_namespace = v.u8(0x41);
    m_fileName = v.utf16(0x42, nameLength);
    return true;
}

void CAttr_$FILE_NAME::Dump() {
    CNtfsFileAttr::Dump();
    LogWrite("  Name=%s\n", Utf16ToUtf8(m_fileName).c_str());
    LogWrite("  {%s}\n", NtfsFileAttributeNames(m_flags, false).c_str());
}

std::vector<AttrListEntry> CAttr_$ATTRIBUTE_LIST::ParseEntries(const uint8_t* data, size_t size) {
    std::vector<AttrListEntry> entries;
    LeBytes b(data, size);
    size_t p = 0;
    while (b.has(p, 0x1A)) {
        const uint32_t entryLength = b.u16(p + 0x04);
        if (entryLength == 0) break;
        if (entryLength < 0x1A || !b.has(p, entryLength)) break;
        AttrListEntry e;
        e.type = b.u32(p + 0x00);
        const uint32_t nameLength = b.u8(p + 0x06);
        const uint32_t nameOffset = b.u8(p + 0x07);
        e.startingVcn = b.i64(p + 0x08);
        e.record = b.u32(p + 0x10);
        e.id = b.u16(p + 0x18);
        if (nameLength && uint64_t(nameOffset) + 2u * nameLength <= entryLength)
            e.name = b.utf16(p + nameOffset, nameLength);
        entries.push_back(std::move(e));
        p += entryLength;
    }
    return entries;
}

bool CAttr_$ATTRIBUTE_LIST::Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) {
    if (!CNtfsFileAttr::Initialize(owner, attr, length)) return false;
    m_entries.clear();
    if (!m_nonResident) m_entries = ParseEntries(m_value.Data(), m_value.Size());
    return true;
}

bool CAttr_$ATTRIBUTE_LIST::ReadEntries() {
    if (!m_nonResident) return m_valid != 0;
    std::vector<uint8_t> bytes;
    if (!ReadAll(bytes, kMaxListBytes)) {
        m_valid = 0;
        return false;
    }
    m_entries = ParseEntries(bytes.data(), bytes.size());
    return true;
}

void CAttr_$ATTRIBUTE_LIST::Dump() {
    CNtfsFileAttr::Dump();
    for (const auto& e : m_entries)
        LogWrite("\tLIST_ENTRY type=%s\tid=%d\tVCN=%" PRId64 "\trec=%lu\n", NtfsAttrTypeName(e.type),
                 static_cast<int>(e.id), e.startingVcn, static_cast<unsigned long>(e.record));
}

std::u16string CAttr_$VOLUME_NAME::VolumeName() const {
    LeBytes v(m_value.Data(), m_value.Size());
    return v.utf16(0, v.size() / 2);
}

bool CAttr_$INDEX_ROOT::Initialize(CNtfsFile* owner, const uint8_t* attr, uint32_t length) {
    if (!CNtfsFileAttr::Initialize(owner, attr, length)) return false;
    LeBytes v(m_value.Data(), m_value.Size());
    m_large = v.has(0x1C, 1) && v.u8(0x1C) == 1;
    return true;
}

void CAttr_$EFS::Dump() {
    CNtfsFileAttr::Dump();
    LogWrite("\nEFS STREAM DUMP\n\n");
    std::vector<uint8_t> bytes;
    if (ReadAll(bytes, 16u << 20)) LogHexDump(bytes.data(), bytes.size());
    LogWrite("\n\n");
}

// ---------------------------------------------------------------------------

std::unique_ptr<CNtfsFileAttr> CreateNtfsAttribute(CNtfsFile* owner, const uint8_t* record, uint32_t recordSize,
                                                   uint32_t pos, AttrFilter filter, uint32_t& advance) {
    advance = 0;
    LeBytes r(record, recordSize);
    if (!r.has(pos, 8)) return nullptr;
    const uint32_t type = r.u32(pos + kHdrType);
    if (type == kAttrEnd) return nullptr;
    const uint32_t length = r.u32(pos + kHdrLength);
    if (length < kResHeaderSize || !r.has(pos, length)) return nullptr;
    advance = length;

    const bool unnamedData = type == kAttrData && r.u8(pos + kHdrNameLength) == 0;
    switch (filter) {
        case AttrFilter::All: break;
        case AttrFilter::Quick:
            if (type != kAttrStandardInformation && type != kAttrAttributeList && type != kAttrFileName)
                return nullptr;
            break;
        case AttrFilter::Facts:
            if (type != kAttrStandardInformation && type != kAttrAttributeList && type != kAttrFileName &&
                type != kAttrData)
                return nullptr;
            break;
        case AttrFilter::MftBootstrap:
            if (type != kAttrAttributeList && !unnamedData) return nullptr;
            break;
        case AttrFilter::MftNormal:
            if (type != kAttrAttributeList && unnamedData) return nullptr;
            break;
    }

    std::unique_ptr<CNtfsFileAttr> attr;
    switch (type) {
        case kAttrStandardInformation: attr = std::make_unique<CAttr_$STANDARD_INFORMATION>(); break;
        case kAttrAttributeList: attr = std::make_unique<CAttr_$ATTRIBUTE_LIST>(); break;
        case kAttrFileName: attr = std::make_unique<CAttr_$FILE_NAME>(); break;
        case kAttrVolumeName: attr = std::make_unique<CAttr_$VOLUME_NAME>(); break;
        case kAttrData: attr = std::make_unique<CAttr_$DATA>(); break;
        case kAttrIndexRoot: attr = std::make_unique<CAttr_$INDEX_ROOT>(); break;
        case kAttrBitmap: attr = std::make_unique<CAttr_$BITMAP>(); break;
        case kAttrEfs: attr = std::make_unique<CAttr_$EFS>(); break;
        default: attr = std::make_unique<CNtfsFileAttr>(); break;
    }
    if (!attr->Initialize(owner, record + pos, length)) return nullptr;
    return attr;
}
