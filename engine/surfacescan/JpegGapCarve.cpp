#include "JpegGapCarve.h"

#include <algorithm>

#include "engine/formats/JpegScanCheck.h"
#include "engine/formats/Providers.h"

namespace {

// The headers are looked for in the first 256 KiB (an Exif segment with its
// thumbnail is at most 64 KiB).
constexpr uint64_t kHeaderRead = 256 * 1024;
constexpr uint32_t kLargestRead = 1u << 20;

// A file's bytes on the volume as a row of extents, read in pieces that
// start at one cluster and double up to 1 MiB (a wrong continuation fails
// within its first bytes). Clusters of the last extent are taken only while
// allow says so.
class ExtentBytes final : public IJpegBytes {
public:
    ExtentBytes(CVolume& volume, ClusterExtents extents, std::function<bool(uint64_t)> allow = {})
        : m_volume(volume), m_extents(std::move(extents)), m_allow(std::move(allow)),
          m_cluster(volume.ClusterSize()), m_next(volume.ClusterSize()) {}

    bool Bytes(uint64_t offset, const uint8_t*& data, size_t& n) override {
        if (m_cluster == 0) return false;
        uint64_t base = 0;
        for (size_t i = 0; i < m_extents.size(); ++i) {
            const ClusterExtent& e = m_extents[i];
            if (offset - base >= e.bytes) {
                base += e.bytes;
                continue;
            }
            const uint64_t inside = offset - base;
            const uint64_t cluster = e.cluster + inside / m_cluster;
            const uint32_t within = static_cast<uint32_t>(inside % m_cluster);
            uint64_t want = std::min<uint64_t>(e.bytes - inside, m_next);
            if (m_allow && i + 1 == m_extents.size()) {
                // Up to the first cluster not allowed.
                uint64_t allowed = 0;
                for (uint64_t c = cluster; allowed < want; ++c) {
                    if (!m_allow(c)) break;
                    allowed += c == cluster ? m_cluster - within : m_cluster;
                }
                want = std::min(want, allowed);
            }
            if (want == 0) return false;
            m_buffer.resize(static_cast<size_t>(want));
            uint32_t length = static_cast<uint32_t>(want);
            if (!m_volume.ReadRaw(cluster, within, m_buffer.data(), length) || length == 0) return false;
            data = m_buffer.data();
            n = std::min<size_t>(length, m_buffer.size());
            m_next = std::min<uint64_t>(m_next * 2, kLargestRead);
            return true;
        }
        return false;
    }

private:
    CVolume& m_volume;
    ClusterExtents m_extents;
    std::function<bool(uint64_t)> m_allow;
    uint32_t m_cluster;
    uint64_t m_next;
    std::vector<uint8_t> m_buffer;
};

uint64_t ClustersOf(uint64_t bytes, uint32_t cluster) { return bytes / cluster + (bytes % cluster != 0 ? 1 : 0); }

}  // namespace

bool CJpegGapCarver::ReadHeader(uint64_t cluster, uint64_t size, std::vector<uint8_t>& out) {
    const uint64_t n = std::min(size, kHeaderRead);
    out.resize(static_cast<size_t>(n));
    uint32_t length = static_cast<uint32_t>(n);
    if (n == 0 || !m_volume.ReadRaw(cluster, 0, out.data(), length) || length == 0) return false;
    out.resize(std::min<size_t>(length, out.size()));
    return true;
}

bool CJpegGapCarver::Hold(const CarveContext& find, uint64_t cluster, uint64_t& skip) {
    const uint32_t cs = m_volume.ClusterSize();
    if (cs == 0 || find.typeKey != u"jpg" || find.size > kJpegEndSearchCap) return false;
    std::vector<uint8_t> header;
    CJpegScanCheck check;
    if (!ReadHeader(cluster, find.size, header) || !check.Parse(header.data(), header.size())) return false;
    ExtentBytes bytes(m_volume, {ClusterExtent {cluster, find.size}});
    CJpegScanCheck::State state = check.Start();
    const CJpegScanCheck::Result r = check.Run(state, bytes);
    if (r.outcome == CJpegScanCheck::Outcome::Ok) return false;
    Held held;
    // The decode stops at the byte it cannot take; a stuffed FF there pairs
    // with the byte after it, which may be the first foreign one.
    const uint64_t boundary = (r.at + 1) / cs * cs;
    for (uint32_t j = 0; j < kJpegSplitTries && boundary >= uint64_t(j) * cs; ++j) {
        const uint64_t cut = boundary - uint64_t(j) * cs;
        if (cut == 0 || cut < check.EntropyStart()) break;
        held.cuts.push_back(cut);
    }
    if (held.cuts.empty()) return false;  // broken inside its first cluster: kept as found
    held.cluster = cluster;
    held.size = find.size;
    held.typeKey = find.typeKey;
    held.title = find.title;
    held.author = find.author;
    skip = held.cuts.back() / cs;
    AddClaim({cluster, cluster + skip});
    m_windowEnd = std::max(m_windowEnd, cluster + held.cuts.front() / cs + kJpegGapMaxClusters + 1 +
                                            ClustersOf(kJpegEndSearchCap, cs));
    m_held.push_back(std::move(held));
    return true;
}

void CJpegGapCarver::Claim(uint64_t first, uint64_t count) {
    if (count == 0 || first > UINT64_MAX - count) return;
    AddClaim({first, first + count});
}

void CJpegGapCarver::AddClaim(Span s) {
    auto at = std::lower_bound(m_claims.begin(), m_claims.end(), s.first,
                               [](const Span& a, uint64_t v) { return a.first < v; });
    if (at != m_claims.end() && at->first == s.first) {
        at->end = std::max(at->end, s.end);  // a held find's first piece grown to its cut
        return;
    }
    m_claims.insert(at, s);
}

bool CJpegGapCarver::FreeUnclaimed(uint64_t cluster) const {
    auto f = std::upper_bound(m_free.begin(), m_free.end(), cluster,
                              [](uint64_t v, const Span& a) { return v < a.first; });
    if (f == m_free.begin() || (f - 1)->end <= cluster) return false;
    auto c = std::upper_bound(m_claims.begin(), m_claims.end(), cluster,
                              [](uint64_t v, const Span& a) { return v < a.first; });
    return c == m_claims.begin() || (c - 1)->end <= cluster;
}

uint64_t CJpegGapCarver::FirstClaimed(uint64_t first, uint64_t end, Span own) const {
    // The claims are disjoint and ascending: their ends ascend too.
    auto c = std::upper_bound(m_claims.begin(), m_claims.end(), first,
                              [](uint64_t v, const Span& a) { return v < a.end; });
    for (; c != m_claims.end() && c->first < end; ++c) {
        if (c->first == own.first) continue;
        return std::max(c->first, first);
    }
    return end;
}

bool CJpegGapCarver::Finish(const Deliver& deliver) {
    const uint32_t cs = m_volume.ClusterSize();
    for (const Held& held : m_held) {
        const Span own {held.cluster, held.cluster + held.cuts.back() / cs};
        bool joined = false;
        std::vector<uint8_t> header;
        CJpegScanCheck check;
        if (!IsStopped(m_stop) && ReadHeader(held.cluster, held.size, header) &&
            check.Parse(header.data(), header.size())) {
            // The decode's state at the last block that starts before each cut.
            std::vector<CJpegScanCheck::State> at(held.cuts.size());
            std::vector<bool> seen(held.cuts.size(), false);
            ExtentBytes first(m_volume, {ClusterExtent {held.cluster, held.cuts.front()}});
            CJpegScanCheck::State state = check.Start();
            check.Run(state, first, [&](const CJpegScanCheck::State& s) {
                for (size_t j = 0; j < held.cuts.size(); ++j) {
                    if (s.pos <= held.cuts[j]) {
                        at[j] = s;
                        seen[j] = true;
                    }
                }
            });
            for (size_t j = 0; j < held.cuts.size() && !joined && !IsStopped(m_stop); ++j) {
                const uint64_t cut = held.cuts[j];
                const uint64_t end = held.cluster + cut / cs;
                if (!seen[j] || FirstClaimed(held.cluster, end, own) != end) continue;
                for (uint64_t gap = 1; gap <= kJpegGapMaxClusters && !IsStopped(m_stop); ++gap) {
                    const uint64_t c = end + gap;
                    if (!FreeUnclaimed(c)) continue;
                    ++probes;
                    ExtentBytes joint(m_volume, {ClusterExtent {held.cluster, cut}, ClusterExtent {c, kJpegEndSearchCap - cut}},
                                      [this](uint64_t k) { return FreeUnclaimed(k); });
                    CJpegScanCheck::State s = at[j];
                    const CJpegScanCheck::Result r = check.Run(s, joint);
                    if (r.outcome != CJpegScanCheck::Outcome::Ok || r.at <= cut) continue;
                    const uint64_t rest = r.at - cut;
                    AddClaim({held.cluster, end});
                    AddClaim({c, c + ClustersOf(rest, cs)});
                    ++reassembled;
                    joined = true;
                    if (!deliver(held, {ClusterExtent {held.cluster, cut}, ClusterExtent {c, rest}}, r.at)) return false;
                    break;
                }
            }
        }
        if (joined) continue;
        // No continuation: the find as the walk made it, one run from its
        // first cluster. Clusters inside it that another find holds (a file
        // between the pieces, found because the walk did not skip them) are
        // not given twice: the run is cut before the first of them, which
        // keeps at least the first piece.
        const uint64_t whole = held.cluster + ClustersOf(held.size, cs);
        const uint64_t stop = FirstClaimed(held.cluster, whole, own);
        const uint64_t size = stop == whole ? held.size : (stop - held.cluster) * cs;
        AddClaim({held.cluster, stop});
        if (!deliver(held, {}, size)) return false;
    }
    m_held.clear();
    return true;
}
