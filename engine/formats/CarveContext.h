// The detection context handed to the format providers for one candidate
// cluster, and ReadAt, the single read primitive of every provider.
//
// A context is made fresh (Reset) for every cluster the walk examines. Every
// provider read lands in the context's 5,120-byte buffer; a read that would
// not fit, fails or comes back short is a rejection of the candidate.
// Positions are byte offsets from the first byte of the candidate cluster;
// reads may run past the cluster into the following ones.
//
// Threads: one context belongs to one scan thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/volume/ByteBuffer.h"
#include "engine/volume/Volume.h"
#include "platform/LeBytes.h"

struct ScanTypeSet;

// What a context reads: a row of clusters of one size, numbered from 0.
// ReadRaw reads as CVolume::ReadRaw does: length bytes from offset inside
// cluster on into the following ones, length in/out (a short count is a
// failed read to the providers). A volume is read as one (Init with a
// CVolume); the content check reads a recovered file as one.
class ICarveSource {
public:
    virtual ~ICarveSource() = default;
    virtual uint32_t ClusterSize() const = 0;
    virtual bool ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) = 0;
};

// Size of the buffer every provider read lands in.
inline constexpr uint32_t kCarveBufferSize = 5120;
// The candidate's first bytes (its cluster, up to this many), read from the
// source once per candidate: every provider looks at them, most only at them.
inline constexpr uint32_t kCarveHeadSize = 8192;

struct CarveContext {
    CarveContext() = default;
    CarveContext(const CarveContext&) = delete;  // source may point into the context
    CarveContext& operator=(const CarveContext&) = delete;

    ICarveSource* source = nullptr;
    uint64_t startCluster = 0;          // the candidate (cluster numbering of the source's ReadRaw)
    const StopFlag* stop = nullptr;     // the scan's stop flag (nonzero = stop)
    const ScanTypeSet* scanner = nullptr;
    uint64_t size = 0;                  // the recognised file's length in bytes
    std::u16string title;               // empty unless the provider found one
    std::u16string author;              // empty unless the provider found an author or artist
    std::u16string typeKey;             // the recognised type (also the result's extension)
    uint32_t offset = 0;                // position of the last read, relative to the candidate's first byte
    uint32_t unit = 0;                  // the source's cluster size in bytes
    uint32_t length = 0;                // in/out count of the last read
    ByteBuffer buffer;                  // kCarveBufferSize bytes
    ByteBuffer head;                    // kCarveHeadSize bytes: the candidate's first cluster
    uint32_t headLength = 0;            // how many of them the source gave (0: not read, or refused)
    bool headRead = false;              // the head was asked for this candidate

    // Allocates the buffer and makes the context fresh for cluster; false when
    // the buffer cannot be allocated.
    bool Init(ICarveSource* from, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet);
    // The same with the volume's clusters as the source.
    bool Init(CVolume* vol, uint64_t cluster, const StopFlag* stopFlag, const ScanTypeSet* scanSet);
    // A fresh context for another candidate, keeping the buffer (its old bytes
    // are never visible: only the bytes of a successful read are looked at).
    void Reset(uint64_t cluster);

    // Copies the candidate's first n bytes to out: from the head when it was
    // read, else straight from the source without reading the head (most
    // candidates are ruled out by a few bytes). How many were got (0: none);
    // offset, the buffer and the last read stay as they are.
    uint32_t Peek(uint8_t* out, uint32_t n);
    // Reads n bytes at offset. True only when ReadRaw succeeded and delivered n.
    bool ReadAt(uint32_t n);
    // Sets offset = position and reads n bytes there; false for a position
    // beyond 32 bits.
    bool ReadAt(uint64_t position, uint32_t n);
    // True when the byte at a 64-bit position from the candidate's first
    // byte can be read (a found file's last byte); offset, the buffer and the
    // last read stay as they are.
    bool ByteReadable(uint64_t position);
    // The bytes of the last successful read.
    LeBytes Bytes() const { return LeBytes(buffer.Data(), length); }
    const uint8_t* Data() const { return buffer.Data(); }
    bool Stopped() const { return IsStopped(stop); }

private:
    class VolumeSource final : public ICarveSource {
    public:
        CVolume* volume = nullptr;
        uint32_t ClusterSize() const override { return volume->ClusterSize(); }
        bool ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) override {
            return volume->ReadRaw(cluster, offset, buffer, length);
        }
    };
    VolumeSource m_volume;
};
