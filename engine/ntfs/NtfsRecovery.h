// Reading the streams of a deleted NTFS file for recovery.
//
// A deletion frees the file's clusters in the volume bitmap but leaves its
// record with the run lists. Clusters the bitmap marks in use again belong
// to another file now: their bytes are never handed out as this file's data.
// ReusedByteRanges finds them; CNtfsStreamReader reads a stream with those
// ranges as zeros (whole compression units for compressed streams, whose
// other clusters cannot be decompressed without them), so a partly reused
// file comes out at its full size with the reused parts blank, and the
// caller reports it as incomplete.
//
// A record's sizes are not trusted: a stream delivers no more than its runs
// can supply. Runs that map outside the volume, or whose real clusters add up
// past the volume's cluster count, are corrupt; the stream ends where they
// begin (SaneStreamEnd), so a size field claiming petabytes yields what the
// sane runs map and the file is incomplete. Sparse runs, gaps between runs
// and the region past the initialized size are zeros that the reader can
// step over (Span / SkipHole) so that the copy leaves them as holes.
//
// Plain non-resident streams are read straight from the device along their
// extents in large pieces (positioned reads, outside the one-cluster cache);
// compressed and resident ones through the attribute's own reader, which
// decompresses LZNT1 units.
//
// Ownership: a reader borrows its volume and attribute and must not outlive
// them. One thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/ntfs/NtfsAttr.h"
#include "engine/volume/ItemReader.h"
#include "engine/volume/Volume.h"


// Byte ranges of attr's value, below limit, whose clusters the volume bitmap
// marks in use or that lie beyond the volume. Sorted and merged; a
// compressed stream loses whole compression units. More ranges than
// kMaxReusedRanges end in one range up to limit (the rest counts as lost).
// Without a readable bitmap nothing can be judged and the result is empty.
std::vector<DataRange> ReusedByteRanges(CNtfsVolume& volume, const CNtfsFileAttr& attr, uint64_t limit,
                                            const StopFlag* stop);

// How far attr's value can be read: its real size, cut at the first run that
// starts outside the volume, at the volume's end for a run that crosses it,
// and where the real clusters mapped so far reach the volume's cluster
// count. A resident value is whole. cut: shorter than the real size.
struct NtfsStreamEnd {
    uint64_t end = 0;
    bool cut = false;
};
NtfsStreamEnd SaneStreamEnd(const CNtfsFileAttr& attr, uint64_t totalClusters, uint32_t clusterSize);

class CNtfsStreamReader : public IItemReader {
public:
    enum class Mode {
        Content,  // the stream's content: real size, zeros past the initialized size, LZNT1 decompressed
        Stored,   // the clusters as stored, in whole 512-byte sectors (encrypted data)
    };
    static constexpr uint32_t kSectorUnit = 512;

    CNtfsStreamReader(CNtfsVolume& volume, CNtfsFileAttr& attr, Mode mode, const StopFlag* stop = nullptr);

    // Reads up to length bytes at the position and advances it; got = 0 at
    // the end. False on a device read error (got tells what came before it).
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override;
    // After a read error along the runs: steps over the sectors the source
    // refuses (compressed streams and resident values cannot: 0).
    uint64_t SkipUnreadable() override;
    // Positions the reader (Stored mode only; Content mode reads sequentially).
    bool Seek(uint64_t position);
    uint64_t Position() const { return m_position; }
    // Bytes the reader delivers in all: the sane end of the stream
    // (SaneStreamEnd), rounded up to whole sectors in Stored mode.
    uint64_t End() const override { return m_end; }
    // True when the runs cannot supply the stream's real size.
    bool IsCut() const { return m_cut; }
    // Content mode: the bytes from the position on that are alike: zeros
    // that need no read (a sparse run or whole sparse compression units, a
    // gap between runs, past the initialized size) when zeros is set, else
    // data up to the next such region. 0 at the end.
    uint64_t Span(bool& zeros) override;
    // Content mode: moves the position over n bytes of a zero span.
    void SkipHole(uint64_t n) override;
    // Whole when the real size was delivered, with nothing reused.
    bool Whole(uint64_t delivered) const override { return delivered == m_attr.RealSize() && m_reused.empty(); }
    // True when part of the stream lies in reused clusters (read as zeros).
    bool HasReusedData() const { return !m_reused.empty(); }
    std::vector<DataRange> OverwrittenRanges() const override { return m_reused; }
    const std::vector<DataRange>& ReusedRanges() const { return m_reused; }

private:
    bool ReadExtents(uint64_t position, uint8_t* out, uint64_t length);
    // Where the stream's byte at position lies, from the volume's start; false in no run.
    bool VolumeOffsetOf(uint64_t position, uint64_t& offset) const;
    bool ReadDevice(uint64_t offset, uint8_t* out, uint64_t length);
    void BlankReused(uint64_t position, uint8_t* out, uint64_t length);
    // Start of the next reused range at or after position (End() when none); sets inside when position is in one.
    uint64_t NextReused(uint64_t position, bool& inside);

    CNtfsVolume& m_volume;
    CNtfsFileAttr& m_attr;
    Mode m_mode;
    bool m_direct = false;  // read along the extents, not through the attribute
    bool m_cut = false;
    bool m_readError = false;  // the last Read ended at a sector the source refused
    uint64_t m_dataUntil = 0;  // end of the data region Span found last (Content mode)
    uint64_t m_position = 0;
    uint64_t m_end = 0;
    std::vector<DataRange> m_reused;
    size_t m_reusedCursor = 0;
    size_t m_extentCursor = 0;
    std::vector<uint8_t> m_sector;
};
