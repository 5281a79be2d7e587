// The EFS raw import stream of an encrypted NTFS file.
//
// An encrypted file is never decrypted: its $EFS metadata and the clusters
// of its unnamed $DATA, still encrypted, are packed into the byte stream
// that Windows' raw import (WriteEncryptedFileRaw) takes, so that the file
// can be recreated encrypted as it was. Linux has no raw import; the stream
// is written as it is to "name.efsraw" (see NtfsRecovery.cpp).
//
// Stream layout (little-endian; texts UTF-16, each followed by a zero unit
// unless the next field starts there):
//   stream header, 66 bytes: u32 0x100 @0, "ROBS" @4, u32 0x1E @20, "NTFS" @24,
//     u32 2 @44, u32 0x03901910 @48, "GURE" @54
//   the $EFS value as stored (it starts with its own length as a u32)
//   data stream header, 42 bytes: u32 0x2A @0, "NTFS" @4, u32 0x0E @24 (name
//     bytes), "::$DATA" @28 (its zero unit would lie past the header)
//   per 64 KiB of the unnamed $DATA (the last block shorter): a 512-byte
//     block header — u32 padded+0x200 @0, "GURE" @4, u32 block number @0x12,
//     u32 0x01F00000 @0x16, u32 n @0x1C, u32 n @0x20, u32 0x0D0D0000 @0x24,
//     u32 0x0001010C @0x28, u32 padded @0x2C — then the block's bytes as
//     stored, n rounded up to whole 512-byte sectors (padded). EFS encrypts
//     in 512-byte units, so the sector tail past the real size is the rest
//     of the last unit's ciphertext and is taken from the disk as it is.
//
// Ownership: a producer borrows the volume and the file for one import and
// must not outlive them; one thread at a time. Each import has its own
// producer, so several files may be imported at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ntfs/NtfsRecovery.h"
#include "engine/volume/Volume.h"


class CEfsRawProducer : public IItemReader {
public:
    static constexpr uint32_t kStreamHeaderSize = 66;
    static constexpr uint32_t kDataStreamHeaderSize = 42;
    static constexpr uint32_t kBlockHeaderSize = 512;
    static constexpr uint32_t kBlockSize = 65536;
    static constexpr uint32_t kPieceSize = 512;
    // An $EFS value larger than this is taken as corrupt.
    static constexpr uint64_t kMaxEfsValue = 16u << 20;

    CEfsRawProducer(CNtfsVolume& volume, CNtfsFile& file, const StopFlag* stop);
    ~CEfsRawProducer();
    CEfsRawProducer(const CEfsRawProducer&) = delete;
    CEfsRawProducer& operator=(const CEfsRawProducer&) = delete;

    // Fills up to length bytes with the next part of the stream and returns
    // how many it gave; 0 once the stream has ended. Bytes of a piece that do
    // not fit are held back and given first on the next call.
    uint32_t Produce(uint8_t* buffer, uint32_t length);
    // True when no part of the data lay in reused clusters.
    bool Complete() const { return m_complete; }

    // As an item reader: the stream is data throughout, announced as the
    // file's data size, whole when Complete, progress counted in data bytes,
    // and worth nothing unless whole.
    uint64_t End() const override { return m_announced; }
    uint64_t Span(bool& hole) override;
    void SkipHole(uint64_t) override {}
    bool Read(uint8_t* buffer, uint32_t length, uint32_t& got) override {
        got = Produce(buffer, length);
        return true;
    }
    bool Whole(uint64_t) const override { return m_complete && !m_failed; }
    uint64_t ItemBytes(uint64_t) const override { return m_sent; }
    // True when the stream could not be made whole: the stop flag ended it,
    // or the file lacks $DATA or $EFS, or its data could not be read.
    bool Broken() const override { return m_failed; }
    bool KeepsPartial() const override { return false; }

    // The fixed headers (exposed for tests).
    static std::vector<uint8_t> StreamHeader();
    static std::vector<uint8_t> DataStreamHeader();
    static std::vector<uint8_t> BlockHeader(uint32_t block, uint32_t length, uint32_t padded);

private:
    enum class State { Header, Efs, StreamHeader, BlockHeader, BlockData, End };

    void Step();
    void Fail();

    CNtfsVolume& m_volume;
    CNtfsFile& m_file;
    uint64_t m_announced = 0;
    const StopFlag* m_stop;
    State m_state = State::Header;
    bool m_failed = false;
    bool m_complete = true;

    CNtfsFileAttr* m_data = nullptr;
    CNtfsFileAttr* m_efs = nullptr;
    std::unique_ptr<CNtfsStreamReader> m_reader;
    std::vector<uint8_t> m_pending;  // produced, not yet handed out
    size_t m_pendingPos = 0;
    uint64_t m_sent = 0;        // bytes of the real size sent so far
    uint32_t m_block = 0;       // block number
    uint32_t m_inBlock = 0;     // bytes of the current block sent
    uint32_t m_blockLength = 0; // n of the current block
    uint32_t m_blockPadded = 0;
};
