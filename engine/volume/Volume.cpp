#include "Volume.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/Log.h"
#include "platform/DriveTable.h"
#include "platform/ProtectedSources.h"

CVolume::CVolume() = default;

CVolume::~CVolume() {
    if (m_stream) {
        if (m_stream->IsOpen()) ReleaseSourceFiles(*m_stream->Source());
        m_stream->Close();
    }
}

bool CVolume::OpenDrive(char16_t letter) {
    m_driveLetter = letter;
    auto source = CDriveTable::Instance().Lookup(letter);
    if (!source) {
        LogWrite("Cannot open drive %c:, it is not in the drive table\n", static_cast<char>(letter));
        return false;
    }
    SetSourceWindow(source->offset, source->length);
    m_devicePath = source->path;
    UseSource(source->source);
    if (!Initialize(source->path)) return false;
    FindOtherFileSystem();
    return true;
}

bool CVolume::OpenDevice() {
    if (m_stream && m_stream->IsOpen()) return true;
    auto stream = std::make_unique<CDeviceStream>();
    const bool opened = m_openedSource ? stream->Open(m_openedSource, m_sourceOffset, m_sourceLength)
                                       : stream->Open(m_devicePath, m_sourceOffset, m_sourceLength);
    if (!opened) {
        LogWrite("Cannot open %s, error = %d\n", m_devicePath.c_str(), errno);
        return false;
    }
    ProtectSourceFiles(*stream->Source());
    m_stream = std::move(stream);
    return true;
}

int64_t CVolume::ReadDeviceAt(uint64_t offset, void* buffer, size_t size) {
    if (!m_stream) {
        errno = EBADF;
        return -1;
    }
    return m_stream->ReadAt(offset, buffer, size);
}

BootSource CVolume::DeviceBootSource() {
    return {[this](uint64_t offset, void* buffer, size_t size) { return ReadDeviceAt(offset, buffer, size); },
            DeviceLength()};
}

bool CVolume::ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) {
    std::lock_guard<std::mutex> g(m_cacheLock);
    if (m_cacheState == 0) {
        if (m_clusterSize == 0 || !m_cacheBuffer.Allocate(m_clusterSize)) return false;
        // Computed once with the buffer, so the cached read does no division per call.
        m_maxCluster = UINT64_MAX / m_clusterSize;
    }
    if (offset >= m_clusterSize) {
        m_cacheState = 2;
        return false;
    }
    if (cluster > m_maxCluster) {
        m_cacheState = 2;
        return false;
    }
    uint64_t base = ClusterToOffset(cluster);
    const uint32_t want = length;
    uint32_t copied = 0;
    auto* out = static_cast<uint8_t*>(buffer);

    if (m_cacheState == 1 && base + offset >= m_cachedPosition && base + offset < m_cachedPosition + m_clusterSize) {
        uint64_t avail = m_cachedPosition + m_clusterSize - (base + offset);
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, avail));
        std::memcpy(out, m_cacheBuffer.Data() + (base + offset - m_cachedPosition), n);
        copied = n;
        base += m_clusterSize;
        offset = 0;
    }
    while (copied < want) {
        ++m_cacheMisses;
        int64_t r = ReadDeviceAt(base, m_cacheBuffer.Data(), m_clusterSize);
        if (r != static_cast<int64_t>(m_clusterSize)) {
            // Part of the cluster cannot be read: the wanted bytes are read
            // straight, so that what lies before the unreadable block is the
            // caller's (length says how much), also past its start.
            m_cacheState = 2;
            const uint32_t n = std::min(m_clusterSize - offset, want - copied);
            const int64_t direct = ReadDeviceAt(base + offset, out + copied, n);
            if (direct == static_cast<int64_t>(n)) {
                copied += n;
                base += m_clusterSize;
                offset = 0;
                continue;
            }
            length = copied + static_cast<uint32_t>(std::max<int64_t>(direct, 0));
            return false;
        }
        m_cachedPosition = base;
        m_streamPosition = base + m_clusterSize;
        uint32_t n = std::min(m_clusterSize - offset, want - copied);
        std::memcpy(out + copied, m_cacheBuffer.Data() + offset, n);
        copied += n;
        base += m_clusterSize;
        offset = 0;
        // A cluster boundary was crossed: the next cluster starts at offset 0.
    }
    m_cacheState = 1;
    length = copied;
    return true;
}

void CFingerprintHasher::Add(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    m_length += size;
    auto mix = [this](uint64_t w) {
        m_h ^= w;
        m_h *= 0x9E3779B97F4A7C15ULL;
        m_h ^= m_h >> 29;
    };
    while (size >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        mix(w);
        p += 8;
        size -= 8;
    }
    if (size > 0) {
        uint64_t w = 0;
        std::memcpy(&w, p, size);
        mix(w ^ (static_cast<uint64_t>(size) << 56));
    }
}

void CFingerprintHasher::AddU64(uint64_t v) { Add(&v, sizeof v); }

uint64_t CFingerprintHasher::Value() const {
    uint64_t h = m_h ^ m_length;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    return h == 0 ? 1 : h;
}

uint64_t CVolume::ClusterEndOnSource() const {
    if (m_clusterSize == 0) return 0;
    return DeviceLength() / m_clusterSize;
}

std::string CVolume::ShortSourceText() const {
    const uint64_t volume = VolumeLength();
    const uint64_t source = DeviceLength();
    if (volume == 0 || source >= volume) return {};
    return "the source is shorter than its volume says (truncated): it holds " + std::to_string(source) +
           " of the volume's " + std::to_string(volume) +
           " bytes; clusters past its end count as unreadable";
}

bool CVolume::HashSourceRange(CFingerprintHasher& hasher, uint64_t offset, uint64_t length) {
    if (!m_stream) return false;
    constexpr size_t kPiece = 256 << 10;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(length, kPiece)));
    while (length > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kPiece));
        const int64_t r = m_stream->ReadFresh(offset, piece.data(), n);
        if (r != static_cast<int64_t>(n)) return false;
        hasher.Add(piece.data(), n);
        hasher.bytesRead += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool CVolume::RefreshCacheFingerprint() {
    CFingerprintHasher hasher;
    m_fingerprint = 0;
    m_fingerprintRead = true;
    bool ok = m_stream != nullptr;
    uint64_t size = 0;
    int64_t modified = 0;
    if (ok && m_stream->FileStamp(size, modified)) {
        hasher.AddU64(size);
        hasher.AddU64(static_cast<uint64_t>(modified));
    }
    hasher.AddU64(DeviceLength());
    ok = ok && HashFingerprintRegions(hasher);
    m_fingerprintBytes = hasher.bytesRead;
    if (ok) m_fingerprint = hasher.Value();
    LogWriteLevel(1, "Cache fingerprint: %016llx (%llu bytes read)\n", static_cast<unsigned long long>(m_fingerprint),
                  static_cast<unsigned long long>(m_fingerprintBytes));
    return ok;
}

bool CVolume::ReadRawUnbuffered(uint64_t sector, uint32_t count, void* buffer, uint32_t* bytesRead) {
    if (!bytesRead) return false;
    *bytesRead = 0;
    if (m_sectorSize == 0 || sector > UINT64_MAX / m_sectorSize) {
        LogWrite("Error in CVolume::ReadRawUnbuffered fseek, errno = %d\n", EINVAL);
        return false;
    }
    uint64_t bytes = static_cast<uint64_t>(count) * m_sectorSize;
    if (bytes > UINT32_MAX) {
        LogWrite("Error in CVolume::ReadRawUnbuffered fread, errno = %d\n", EINVAL);
        return false;
    }
    int64_t r = ReadDeviceAt(sector * m_sectorSize, buffer, static_cast<size_t>(bytes));
    if (r < 0) {
        LogWrite("Error in CVolume::ReadRawUnbuffered fread, errno = %d\n", errno);
        return false;
    }
    *bytesRead = static_cast<uint32_t>(r);
    return true;
}

bool CVolume::SourceRefused(uint64_t offset) const {
    const std::shared_ptr<CByteSource> source = Source();
    return source && source->Refused(m_sourceOffset + offset);
}

bool CVolume::SourceHasUnreadable() const {
    const std::shared_ptr<CByteSource> source = Source();
    return source && source->UnreadableBytes() > 0;
}

std::vector<ByteRange> CVolume::UnreadableOf(const std::vector<RunFact>& runs, uint64_t size) const {
    std::vector<ByteRange> out;
    const std::shared_ptr<CByteSource> source = Source();
    if (!source || m_clusterSize == 0) return out;
    for (const RunFact& run : runs) {
        if (run.lcn < 0 || run.vcn > size / m_clusterSize) continue;  // sparse, or past the data
        const uint64_t fileStart = run.vcn * m_clusterSize;
        if (fileStart >= size || run.sector > (UINT64_MAX >> 20)) continue;  // a hostile run
        const uint64_t left = size - fileStart;
        const uint64_t bytes = std::min(left, std::min(run.length, left / m_clusterSize + 1) * m_clusterSize);
        const uint64_t at = m_sourceOffset + run.sector * m_sectorSize;  // the run's first byte in the source
        for (const ByteRange& u : source->UnreadableIn(at, bytes)) {
            const uint64_t from = u.offset, to = u.offset + u.length;
            const uint64_t inFile = fileStart + (from - at);
            if (!out.empty() && out.back().offset + out.back().length == inFile) out.back().length += to - from;
            else out.push_back({inFile, to - from});
        }
    }
    std::sort(out.begin(), out.end(), [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    return out;
}

uint64_t CVolume::UnreadableSpan(uint64_t cluster, uint32_t offset, uint64_t left) const {
    const uint32_t cs = m_clusterSize;
    if (cs == 0 || offset >= cs || left == 0 || !SourceRefused(ClusterToOffset(cluster) + offset)) return 0;
    const uint64_t at = m_sourceOffset + ClusterToOffset(cluster) + offset;  // in the source
    const std::shared_ptr<CByteSource> source = Source();
    return std::min<uint64_t>({source->UnreadableEnd(at) - at, cs - offset, left});
}

namespace {

// The bytes of a row of extents, each from the start of its cluster on, read
// through ReadRaw one cluster at a time; an unreadable block becomes zeros
// and the copy goes on.
class ClusterRunReader : public IItemReader {
public:
    ClusterRunReader(CVolume& volume, ClusterExtents extents)
        : m_volume(volume), m_extents(std::move(extents)), m_cluster(volume.ClusterSize()) {
        for (const ClusterExtent& e : m_extents) m_length += e.bytes;
    }
    uint64_t End() const override { return m_length; }
    uint64_t Span(bool& hole) override {
        hole = false;
        return m_ended ? 0 : m_length - m_position;
    }
    void SkipHole(uint64_t) override {}
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
        uint64_t cluster = 0, left = 0;
        const uint32_t offset = Locate(cluster, left);
        got = static_cast<uint32_t>(std::min<uint64_t>({length, m_cluster - offset, left}));
        if (got == 0) {
            m_ended = true;
            return false;
        }
        const uint32_t want = got;
        if (!m_volume.ReadRaw(cluster, offset, buffer, got)) {
            got = std::min(got, want);
            m_position += got;
            return false;
        }
        m_position += got;
        return true;
    }
    uint64_t SkipUnreadable() override {
        uint64_t cluster = 0, left = 0;
        const uint32_t offset = Locate(cluster, left);
        const uint64_t n = left ? m_volume.UnreadableSpan(cluster, offset, left) : 0;
        m_position += n;
        if (n == 0) m_ended = true;
        return n;
    }
    bool Whole(uint64_t delivered) const override { return delivered >= m_length; }

private:
    // The cluster and offset of the position, and the bytes of its extent
    // from there (0 past the end).
    uint32_t Locate(uint64_t& cluster, uint64_t& left) const {
        uint64_t base = 0;
        for (const ClusterExtent& e : m_extents) {
            if (m_position - base < e.bytes) {
                const uint64_t inside = m_position - base;
                cluster = e.cluster + inside / m_cluster;
                left = e.bytes - inside;
                return static_cast<uint32_t>(inside % m_cluster);
            }
            base += e.bytes;
        }
        left = 0;
        return 0;
    }

    CVolume& m_volume;
    ClusterExtents m_extents;
    uint64_t m_length = 0;
    uint32_t m_cluster;
    uint64_t m_position = 0;
    bool m_ended = false;
};

}  // namespace

std::unique_ptr<IItemReader> CVolume::OpenClusterRuns(const ClusterExtents& extents) {
    if (m_clusterSize == 0) return nullptr;
    return std::make_unique<ClusterRunReader>(*this, extents);
}

bool CVolume::ReadExtents(const ClusterExtents& extents, uint64_t offset, uint8_t* buffer, uint32_t& length) {
    const uint32_t cs = m_clusterSize;
    const uint32_t want = length;
    length = 0;
    if (cs == 0) return false;
    uint64_t base = 0;
    for (const ClusterExtent& e : extents) {
        if (length == want) break;
        const uint64_t at = offset + length;
        if (at - base >= e.bytes || at < base) {
            base += e.bytes;
            continue;
        }
        const uint64_t inside = at - base;
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want - length, e.bytes - inside));
        const uint32_t asked = n;
        if (!ReadRaw(e.cluster + inside / cs, static_cast<uint32_t>(inside % cs), buffer + length, n)) break;
        length += std::min(n, asked);
        if (n < asked) break;
        base += e.bytes;
    }
    return length != 0;
}

int64_t CVolume::CacheNow() const {
    return m_cacheClock ? m_cacheClock() : static_cast<int64_t>(std::time(nullptr));
}

const char* PartitionTypeName(int code) {
    switch (code) {
        case 0: return "Empty";
        case 1: return "FAT12";
        case 4: case 6: case 14: case 134: return "FAT16";
        case 5: case 15: return "Extended";
        case 7: case 135: return "NTFS";
        case 11: case 12: case 139: case 140: return "FAT32";
        case 18: return "EISA";
        case 66: return "DYNVOLUME";
        case 0x70: return "exFAT";
        case 175: return "HFS+";
        default: return "Unknown";
    }
}
