// What recovery reads of deleted NTFS files and folder trees.
//
// A file's content is every $DATA stream of its record: the unnamed one and
// (when asked for) each named one, which the writer puts in the sibling file
// "destination:name". An encrypted file is not decrypted: its content is the
// EFS raw import stream (NtfsEfs.h), written to "destination.efsraw".
// Streams are read in pieces of up to 1 MiB; clusters that are allocated
// again since the deletion come out as zeros and the file is reported
// incomplete (NtfsRecovery.h). A folder's content is its children and its
// former attributes.
//
// Hostile input: folder trees come from the index (or a cache file); a child
// is taken only under the folder its own entry names as parent and only
// once, so duplicated pairs are not written twice.
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <set>
#include <vector>

#include "NtfsVolume.h"
#include "app/Log.h"
#include "engine/ntfs/NtfsEfs.h"
#include "engine/ntfs/NtfsRecovery.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

constexpr int kMaxFolderSizeDepth = 20;
// Bytes copied per step.
constexpr uint32_t kCopyStep = 1u << 20;
// Bitmap bytes examined per read when looking for reused clusters.
constexpr uint32_t kBitmapWindow = 4096;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

// ---------------------------------------------------------------------------
// Reused clusters

std::vector<DataRange> ReusedByteRanges(CNtfsVolume& volume, const CNtfsFileAttr& attr, uint64_t limit,
                                            const StopFlag* stop) {
    std::vector<DataRange> out;
    const uint32_t cs = volume.ClusterSize();
    if (attr.IsResident() || cs == 0 || limit == 0 || !volume.HasBitmapData()) return out;
    const uint64_t totalClusters = volume.TotalClusters();
    const uint64_t limitVcn = CeilDiv(limit, cs);
    // A compression unit is lost as a whole; the attribute refuses units above 2^16 clusters.
    const uint64_t unit = attr.CompressionUnit() ? (uint64_t(1) << std::min<uint16_t>(attr.CompressionUnit(), 16)) : 1;
    bool full = false;

    auto lose = [&](uint64_t vcn, uint64_t count) {
        if (full || count == 0) return;
        const uint64_t firstVcn = vcn / unit * unit;
        const uint64_t endVcn = std::min(CeilDiv(vcn + count, unit) * unit, limitVcn);
        // Extents end below 2^42 clusters and clusters are at most 2 MiB: no overflow.
        DataRange r {firstVcn * cs, std::min(endVcn * cs, limit)};
        if (r.begin >= r.end) return;
        if (!out.empty() && r.begin <= out.back().end) {
            out.back().end = std::max(out.back().end, r.end);
            return;
        }
        if (out.size() + 1 >= kMaxReusedRanges) {
            r.end = limit;
            full = true;
        }
        out.push_back(r);
    };

    std::vector<uint8_t> window(kBitmapWindow);
    uint64_t windowFirst = UINT64_MAX;  // first cluster the window covers
    uint64_t windowBits = 0;            // clusters it covers (0: unreadable)
    for (const auto& e : attr.Extents()) {
        if (full || IsStopped(stop)) break;
        if (e.lcn < 0 || e.vcn >= limitVcn) continue;
        const uint64_t count = std::min(e.length, limitVcn - e.vcn);
        uint64_t runStart = 0, runLength = 0;  // reused clusters in a row, by VCN
        for (uint64_t i = 0; i < count;) {
            const uint64_t cluster = static_cast<uint64_t>(e.lcn) + i;
            if (cluster >= totalClusters) {
                // Beyond the volume: nothing of the file can be there.
                if (runLength && runStart + runLength != e.vcn + i) {
                    lose(runStart, runLength);
                    runLength = 0;
                }
                if (!runLength) runStart = e.vcn + i;
                runLength += count - i;
                break;
            }
            if (cluster < windowFirst || cluster >= windowFirst + std::max<uint64_t>(windowBits, 1)) {
                if (IsStopped(stop)) break;
                windowFirst = cluster / 8 * 8;
                uint32_t got = 0;
                if (!volume.ReadBitmapBytes(windowFirst / 8, window.data(), kBitmapWindow, got)) got = 0;
                windowBits = uint64_t(got) * 8;
                if (windowBits == 0) {
                    // Unreadable bitmap here: the clusters cannot be judged; take them as free.
                    windowBits = 8ull * kBitmapWindow;
                    std::fill(window.begin(), window.end(), 0);
                }
            }
            const uint64_t bit = cluster - windowFirst;
            const bool used = (window[bit / 8] >> (bit % 8)) & 1;
            if (used) {
                if (runLength && runStart + runLength != e.vcn + i) {
                    lose(runStart, runLength);
                    runLength = 0;
                }
                if (!runLength) runStart = e.vcn + i;
                ++runLength;
            }
            ++i;
        }
        if (runLength) lose(runStart, runLength);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Stream bounds

NtfsStreamEnd SaneStreamEnd(const CNtfsFileAttr& attr, uint64_t totalClusters, uint32_t clusterSize) {
    const uint64_t real = attr.RealSize();
    if (attr.IsResident()) return {std::min<uint64_t>(real, attr.ValueSize()), real > attr.ValueSize()};
    if (clusterSize == 0) return {0, real > 0};
    uint64_t mappedEnd = 0;  // VCN up to which the runs are sane
    uint64_t used = 0;       // real clusters mapped so far
    for (const auto& e : attr.Extents()) {
        if (e.lcn < 0) {
            mappedEnd = e.vcn + e.length;
            continue;
        }
        const uint64_t lcn = static_cast<uint64_t>(e.lcn);
        if (lcn >= totalClusters) break;
        const uint64_t length = std::min({e.length, totalClusters - lcn, totalClusters - used});
        used += length;
        mappedEnd = e.vcn + length;
        if (length < e.length) break;
    }
    // Extents end below 2^42 clusters and clusters are at most 2 MiB: no overflow.
    const uint64_t end = std::min(real, mappedEnd * clusterSize);
    return {end, end < real};
}

// ---------------------------------------------------------------------------
// Stream reader

CNtfsStreamReader::CNtfsStreamReader(CNtfsVolume& volume, CNtfsFileAttr& attr, Mode mode, const StopFlag* stop)
    : m_volume(volume), m_attr(attr), m_mode(mode) {
    const NtfsStreamEnd sane = SaneStreamEnd(attr, volume.TotalClusters(), volume.ClusterSize());
    const uint64_t real = sane.end;
    m_cut = sane.cut;
    uint64_t judged = real;
    if (mode == Mode::Stored) {
        m_end = real > UINT64_MAX - (kSectorUnit - 1) ? real : CeilDiv(real, kSectorUnit) * kSectorUnit;
        m_direct = !attr.IsResident();
        judged = m_end;
    } else {
        m_end = real;
        m_direct = !attr.IsResident() && attr.CompressionUnit() == 0;
        // Past the initialized size the stream reads as zeros whatever the clusters hold.
        if (m_direct) judged = std::min(real, attr.InitializedSize());
    }
    m_reused = ReusedByteRanges(volume, attr, judged, stop);
    m_sector.resize(std::max<uint32_t>(volume.SectorSize(), kSectorUnit));
    if (!m_direct && !attr.IsResident()) attr.SetPosition(0);
    if (attr.IsResident() && attr.RealSize() > 0) attr.SetPosition(0);
}

bool CNtfsStreamReader::Seek(uint64_t position) {
    if (m_mode != Mode::Stored) return position == m_position;
    if (position < m_position) m_reusedCursor = 0;
    m_position = position;
    return true;
}

uint64_t CNtfsStreamReader::Span(bool& zeros) {
    zeros = false;
    if (m_position >= m_end) return 0;
    const uint64_t left = m_end - m_position;
    if (m_mode != Mode::Content || m_attr.IsResident()) return left;
    const uint64_t initialized = std::min(m_attr.InitializedSize(), m_end);
    if (m_position >= initialized) {
        zeros = true;
        return left;
    }
    // Inside the data region found last time: no need to look again.
    if (m_position < m_dataUntil) return std::min(m_dataUntil, initialized) - m_position;
    const uint32_t cs = m_volume.ClusterSize();
    if (cs == 0) return left;
    // Zeros are whole sparse runs; in a compressed stream only the whole
    // compression units inside one (a unit's tail of sparse clusters belongs
    // to its compressed data).
    const uint64_t unit = m_attr.CompressionUnit() ? (uint64_t(1) << std::min<uint16_t>(m_attr.CompressionUnit(), 16)) : 1;
    const uint64_t vcn = m_position / cs;
    uint64_t dataEnd = initialized;  // where the data from the position ends
    const auto& extents = m_attr.Extents();
    // From the extent holding the position on (those before it end at or before it).
    auto it = std::upper_bound(extents.begin(), extents.end(), vcn,
                               [](uint64_t v, const CNtfsFileAttr::Extent& e) { return v < e.vcn; });
    if (it != extents.begin()) --it;
    for (; it != extents.end(); ++it) {
        const auto& e = *it;
        if (e.lcn >= 0) continue;
        const uint64_t first = (e.vcn + unit - 1) / unit * unit;
        const uint64_t last = (e.vcn + e.length) / unit * unit;
        if (first >= last) continue;
        // Extents end below 2^42 clusters and clusters are at most 2 MiB: no overflow.
        const uint64_t begin = first * cs, end = last * cs;
        if (end <= m_position) continue;
        if (m_position >= begin) {
            zeros = true;
            return std::min(end, initialized) - m_position;
        }
        dataEnd = std::min(dataEnd, begin);
        break;
    }
    // Past the last extent the runs map nothing: zeros as well.
    const uint64_t mapped = extents.empty() ? 0 : (extents.back().vcn + extents.back().length) * cs;
    if (m_position >= mapped) {
        zeros = true;
        return initialized - m_position;
    }
    m_dataUntil = std::min(dataEnd, mapped);
    return m_dataUntil - m_position;
}

void CNtfsStreamReader::SkipHole(uint64_t n) {
    if (m_mode != Mode::Content || m_position >= m_end) return;
    m_position += std::min(n, m_end - m_position);
    if (!m_direct && !m_attr.IsResident()) m_attr.SetPosition(m_position);
}

uint64_t CNtfsStreamReader::NextReused(uint64_t position, bool& inside) {
    // A read again from an earlier position (after a read error, sector by
    // sector) goes back over the ranges it passed.
    while (m_reusedCursor > 0 && m_reused[m_reusedCursor - 1].end > position) --m_reusedCursor;
    while (m_reusedCursor < m_reused.size() && m_reused[m_reusedCursor].end <= position) ++m_reusedCursor;
    inside = false;
    if (m_reusedCursor >= m_reused.size()) return UINT64_MAX;
    const DataRange& r = m_reused[m_reusedCursor];
    if (r.begin <= position) {
        inside = true;
        return r.end;
    }
    return r.begin;
}

void CNtfsStreamReader::BlankReused(uint64_t position, uint8_t* out, uint64_t length) {
    for (const auto& r : m_reused) {
        if (r.end <= position) continue;
        if (r.begin >= position + length) break;
        const uint64_t b = std::max(r.begin, position);
        const uint64_t e = std::min(r.end, position + length);
        std::memset(out + (b - position), 0, e - b);
    }
}

bool CNtfsStreamReader::ReadDevice(uint64_t offset, uint8_t* out, uint64_t length) {
    const uint32_t ss = m_volume.SectorSize();
    if (ss == 0 || ss > m_sector.size()) return false;
    while (length > 0) {
        const uint64_t sector = offset / ss;
        const uint32_t skip = static_cast<uint32_t>(offset % ss);
        uint32_t got = 0;
        if (skip == 0 && length >= ss) {
            // Whole sectors go straight into the caller's buffer.
            const uint64_t count = std::min<uint64_t>(length / ss, UINT32_MAX / ss);
            if (!m_volume.ReadRawUnbuffered(sector, static_cast<uint32_t>(count), out, &got) || got != count * ss)
                return false;
            out += got;
            offset += got;
            length -= got;
            continue;
        }
        if (!m_volume.ReadRawUnbuffered(sector, 1, m_sector.data(), &got) || got != ss) return false;
        const uint64_t take = std::min<uint64_t>(ss - skip, length);
        std::memcpy(out, m_sector.data() + skip, take);
        out += take;
        offset += take;
        length -= take;
    }
    return true;
}

bool CNtfsStreamReader::ReadExtents(uint64_t position, uint8_t* out, uint64_t length) {
    const uint32_t cs = m_volume.ClusterSize();
    if (cs == 0) return false;
    const auto& extents = m_attr.Extents();
    while (length > 0) {
        bool inside = false;
        const uint64_t mark = NextReused(position, inside);
        uint64_t take = std::min(length, mark - position);
        if (inside) {
            std::memset(out, 0, take);
        } else if (m_mode == Mode::Content && position >= m_attr.InitializedSize()) {
            std::memset(out, 0, take);
        } else {
            if (m_mode == Mode::Content) take = std::min(take, m_attr.InitializedSize() - position);
            const uint64_t vcn = position / cs;
            // The extent holding vcn: the cursor's, the next one, or a search.
            size_t idx = extents.size();
            auto holds = [&](size_t i) { return vcn >= extents[i].vcn && vcn - extents[i].vcn < extents[i].length; };
            if (m_extentCursor < extents.size() && holds(m_extentCursor)) {
                idx = m_extentCursor;
            } else if (m_extentCursor + 1 < extents.size() && holds(m_extentCursor + 1)) {
                idx = m_extentCursor + 1;
            } else {
                auto it = std::upper_bound(extents.begin(), extents.end(), vcn,
                                           [](uint64_t v, const CNtfsFileAttr::Extent& e) { return v < e.vcn; });
                if (it != extents.begin() && holds(static_cast<size_t>(it - extents.begin()) - 1))
                    idx = static_cast<size_t>(it - extents.begin()) - 1;
                else if (it != extents.end())
                    take = std::min(take, it->vcn * cs - position);  // a hole up to the next run
            }
            if (idx == extents.size()) {
                std::memset(out, 0, take);
            } else {
                m_extentCursor = idx;
                const auto& e = extents[idx];
                take = std::min(take, (e.vcn + e.length) * cs - position);
                if (e.lcn < 0) {
                    std::memset(out, 0, take);
                } else {
                    const uint64_t cluster = static_cast<uint64_t>(e.lcn) + (vcn - e.vcn);
                    if (cluster >= m_volume.TotalClusters()) return false;
                    if (!ReadDevice(cluster * cs + position % cs, out, take)) return false;
                }
            }
        }
        out += take;
        position += take;
        length -= take;
    }
    return true;
}

bool CNtfsStreamReader::Read(uint8_t* buffer, uint32_t length, uint32_t& got) {
    got = 0;
    if (!buffer || m_position >= m_end || length == 0) return buffer != nullptr;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, m_end - m_position));
    if (m_direct) {
        if (!ReadExtents(m_position, buffer, n)) {
            // Sector by sector up to the one the source refuses: what came
            // before it is read.
            const uint32_t piece = std::max<uint32_t>(m_volume.SectorSize(), kSectorUnit);
            while (got < n) {
                const uint32_t take = std::min(piece, n - got);
                if (!ReadExtents(m_position + got, buffer + got, take)) break;
                got += take;
            }
            m_position += got;
            m_readError = got < n;
            return !m_readError;
        }
        got = n;
    } else if (m_mode == Mode::Stored) {
        // A resident value as stored, then zeros to the sector end.
        const uint64_t size = m_attr.ValueSize();
        const uint64_t have = m_position < size ? std::min<uint64_t>(n, size - m_position) : 0;
        if (have) std::memcpy(buffer, m_attr.Value() + m_position, have);
        std::memset(buffer + have, 0, n - have);
        got = n;
    } else {
        const bool ok = m_attr.Read(buffer, n, got);
        BlankReused(m_position, buffer, got);
        m_position += got;
        return ok;
    }
    m_position += got;
    return true;
}

bool CNtfsStreamReader::VolumeOffsetOf(uint64_t position, uint64_t& offset) const {
    const uint32_t cs = m_volume.ClusterSize();
    if (cs == 0) return false;
    const uint64_t vcn = position / cs;
    const auto& extents = m_attr.Extents();
    auto it = std::upper_bound(extents.begin(), extents.end(), vcn,
                               [](uint64_t v, const CNtfsFileAttr::Extent& e) { return v < e.vcn; });
    if (it == extents.begin()) return false;
    --it;
    if (it->lcn < 0 || vcn - it->vcn >= it->length) return false;
    offset = (static_cast<uint64_t>(it->lcn) + (vcn - it->vcn)) * cs + position % cs;
    return true;
}

uint64_t CNtfsStreamReader::SkipUnreadable() {
    if (!m_readError) return 0;
    m_readError = false;
    // The sectors the source refuses, up to the first it gives again (at
    // most 1 MiB at a time: the copy reports progress in between).
    const uint32_t piece = std::max<uint32_t>(m_volume.SectorSize(), kSectorUnit);
    const uint64_t limit = std::min<uint64_t>(m_end - m_position, uint64_t(1) << 20);
    uint64_t skipped = 0;
    while (skipped < limit) {
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(piece, limit - skipped));
        // Only what the source refused: past its end or the volume's, the copy ends.
        uint64_t at = 0;
        if (!VolumeOffsetOf(m_position + skipped, at) || !m_volume.SourceRefused(at)) break;
        if (ReadExtents(m_position + skipped, m_sector.data(), take)) break;
        skipped += take;
    }
    m_position += skipped;
    return skipped;
}

// ---------------------------------------------------------------------------
// Files

void CNtfsVolume::OpenFileContent(uint32_t id, bool streams, FileContent& out, const StopFlag* stop) {
    // A name found in index slack: its record is gone, and its data with it.
    if (FindSlackName(id)) {
        out.problem = ItemProblem::NameOnly;
        return;
    }
    // A further link name of a record recovers that record's data.
    auto file = std::make_shared<CNtfsFile>();
    if (!file->OpenRecord(this, ItemRecord(id), false)) {
        out.problem = ItemProblem::CannotRead;
        return;
    }
    out.keep = file;
    out.sized = true;
    out.size = file->DataSize();
    out.copyStep = kCopyStep;
    if (!file->FindAttribute(kAttrFileName)) {
        LogWriteLevel(1, "Couldn't get $FILE_NAME attribute\n");
        out.problem = ItemProblem::NoFileName;
        return;
    }
    // Encrypted content never leaves as plain data: a record marked encrypted
    // takes the encrypted branch even when its $EFS is gone (and fails there).
    FileItemInfo info;
    uint32_t parent = 0;
    file->GetInfo(info, parent);
    if (file->FindAttribute(kAttrEfs) || (info.attributes & FILE_ATTRIBUTE_ENCRYPTED)) {
        // The $EFS value starts with its own length; anything else is not usable metadata.
        CNtfsFileAttr* efs = file->FindAttribute(kAttrEfs);
        uint8_t head[4] = {};
        uint32_t got = 0;
        bool consistent = false;
        if (efs && efs->RealSize() >= 4 && efs->RealSize() <= CEfsRawProducer::kMaxEfsValue && efs->SetPosition(0) &&
            efs->Read(head, 4, got) && got == 4)
            consistent = LeBytes(head, 4).u32(0) == efs->RealSize();
        if (!consistent) {
            LogWriteLevel(1, "$EFS attribute is corrupted.\n");
            out.problem = ItemProblem::EncryptionData;
            return;
        }
        out.encrypted = true;
        out.data = std::make_unique<CEfsRawProducer>(*this, *file, stop);
        out.copyStep = CEfsRawProducer::kBlockSize;
        return;
    }
    bool anyData = false;
    for (size_t i = 0; i < file->AttributeCount(); ++i) {
        CNtfsFileAttr* attr = file->AttributeAt(i);
        if (!attr || attr->Type() != kAttrData) continue;
        anyData = true;
        const bool named = !attr->Name().empty();
        if (named && !streams) continue;
        if (!named && out.data) continue;  // a second unnamed $DATA is not a stream of its own
        auto reader = std::make_unique<CNtfsStreamReader>(*this, *attr, CNtfsStreamReader::Mode::Content, stop);
        // What the runs can supply, not what the record claims, is announced and copied.
        if (reader->IsCut())
            LogWriteLevel(1, "The runs of the data stream map %" PRIu64 " of its %" PRIu64 " bytes.\n", reader->End(),
                          attr->RealSize());
        if (named)
            out.streams.push_back({attr->Name(), std::move(reader)});
        else
            out.data = std::move(reader);
    }
    if (!anyData) {
        LogWriteLevel(1, "File referenced by MFT record %u has no DATA attribute. The file possibly was overwritten.\n",
                      id);
        out.problem = ItemProblem::NoData;
    }
}

// ---------------------------------------------------------------------------
// Folders

void CNtfsVolume::ReadFolderContent(uint32_t id, bool attributes, FolderContent& out) {
    if (attributes && !IsLostFolder(id)) {
        CNtfsFile folder;
        FileItemInfo info;
        uint32_t parent = 0;
        if (!folder.OpenRecord(this, id, true) || !folder.GetInfo(info, parent)) {
            out.attributesUnreadable = true;
        } else {
            out.attributesKnown = true;
            out.attributes = info.attributes;
        }
    }
    // A child is taken only under the folder its own entry names as parent, and only once.
    std::set<uint32_t> done;
    const auto [lo, hi] = ChildRange(id);
    for (size_t i = lo; i < hi && i < m_children.size(); ++i) {
        const uint32_t child = m_children[i].second;
        const NtfsIndexEntry* e = FindEntry(child);
        if (!e || e->parent != id || child == id || !done.insert(child).second) continue;
        out.children.push_back({child, EntryName(*e), (e->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    }
}

bool CNtfsVolume::GetFolderSize(uint32_t folderId, uint64_t& total, const StopFlag* stop, int depth) {
    if (static_cast<int32_t>(folderId) == kLostFoldersId) {
        for (uint32_t lost : m_lostFolders) {
            if (IsStopped(stop)) return false;
            if (lost == folderId) continue;
            if (!GetFolderSize(lost, total, stop, 0)) return false;
        }
        return true;
    }
    if (depth > kMaxFolderSizeDepth) return true;
    std::set<uint32_t> done;
    const auto [lo, hi] = ChildRange(folderId);
    for (size_t i = lo; i < hi && i < m_children.size(); ++i) {
        if (IsStopped(stop)) return false;
        const uint32_t child = m_children[i].second;
        const NtfsIndexEntry* e = FindEntry(child);
        if ((e && e->parent != folderId) || child == folderId || !done.insert(child).second) continue;
        if (e && (e->attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!GetFolderSize(child, total, stop, depth + 1)) return false;
        } else {
            CNtfsFile file;
            // What the runs can supply, not what a (possibly corrupt) size field claims.
            if (file.OpenRecord(this, ItemRecord(child), false)) total += file.SaneDataSize();
        }
    }
    return true;
}
