#include "NtfsEfs.h"

#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "engine/ntfs/NtfsFile.h"
#include "engine/ntfs/NtfsVolume.h"

namespace {

void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// UTF-16 text with its zero unit, as far as the block reaches.
void PutText(std::vector<uint8_t>& b, size_t off, const char* text) {
    const size_t n = std::strlen(text);
    for (size_t i = 0; i <= n; ++i) {
        const size_t at = off + 2 * i;
        if (at + 2 > b.size()) break;
        b[at] = static_cast<uint8_t>(i < n ? text[i] : 0);
        b[at + 1] = 0;
    }
}

}  // namespace

std::vector<uint8_t> CEfsRawProducer::StreamHeader() {
    std::vector<uint8_t> b(kStreamHeaderSize, 0);
    Put32(b, 0, 0x100);
    PutText(b, 4, "ROBS");
    Put32(b, 20, 0x1E);
    PutText(b, 24, "NTFS");
    Put32(b, 44, 2);
    Put32(b, 48, 0x03901910);
    PutText(b, 54, "GURE");
    return b;
}

std::vector<uint8_t> CEfsRawProducer::DataStreamHeader() {
    std::vector<uint8_t> b(kDataStreamHeaderSize, 0);
    Put32(b, 0, 0x2A);
    PutText(b, 4, "NTFS");
    Put32(b, 24, 0x0E);
    PutText(b, 28, "::$DATA");
    return b;
}

std::vector<uint8_t> CEfsRawProducer::BlockHeader(uint32_t block, uint32_t length, uint32_t padded) {
    std::vector<uint8_t> b(kBlockHeaderSize, 0);
    Put32(b, 0, padded + 0x200);
    PutText(b, 4, "GURE");
    Put32(b, 0x12, block);
    Put32(b, 0x16, 0x01F00000);
    Put32(b, 0x1C, length);
    Put32(b, 0x20, length);
    Put32(b, 0x24, 0x0D0D0000);
    Put32(b, 0x28, 0x0001010C);
    Put32(b, 0x2C, padded);
    return b;
}

CEfsRawProducer::CEfsRawProducer(CNtfsVolume& volume, CNtfsFile& file, const StopFlag* stop)
    : m_volume(volume), m_file(file), m_announced(file.DataSize()), m_stop(stop) {}

uint64_t CEfsRawProducer::Span(bool& hole) {
    hole = false;
    // The stream's length is known once it is made: until its end, more data.
    return m_state == State::End && m_pendingPos >= m_pending.size() ? 0 : UINT64_MAX;
}

CEfsRawProducer::~CEfsRawProducer() = default;

void CEfsRawProducer::Fail() {
    m_failed = true;
    m_state = State::End;
    m_pending.clear();
    m_pendingPos = 0;
}

uint32_t CEfsRawProducer::Produce(uint8_t* buffer, uint32_t length) {
    uint32_t given = 0;
    while (given < length) {
        if (m_pendingPos < m_pending.size()) {
            const size_t n = std::min<size_t>(length - given, m_pending.size() - m_pendingPos);
            std::memcpy(buffer + given, m_pending.data() + m_pendingPos, n);
            m_pendingPos += n;
            given += static_cast<uint32_t>(n);
            continue;
        }
        if (m_state == State::End) break;
        m_pending.clear();
        m_pendingPos = 0;
        Step();
    }
    if (m_state == State::End && m_pendingPos >= m_pending.size()) {
        // The work buffers go with the end of the stream.
        m_pending = {};
        m_reader.reset();
    }
    return given;
}

void CEfsRawProducer::Step() {
    switch (m_state) {
        case State::Header:
            m_data = m_file.FindAttribute(kAttrData, u"");
            m_efs = m_file.FindAttribute(kAttrEfs);
            if (!m_data) {
                LogWriteLevel(1, "Encrypted file doesn't have $DATA attribute.\n");
                return Fail();
            }
            if (!m_efs) {
                LogWriteLevel(1, "Encrypted file doesn't have $EFS attribute.\n");
                return Fail();
            }
            m_reader = std::make_unique<CNtfsStreamReader>(m_volume, *m_data, CNtfsStreamReader::Mode::Stored, m_stop);
            m_complete = !m_reader->HasReusedData() && !m_reader->IsCut();
            m_pending = StreamHeader();
            m_state = State::Efs;
            return;
        case State::Efs:
            if (!m_efs->ReadAll(m_pending, kMaxEfsValue)) {
                LogWriteLevel(1, "$EFS attribute is corrupted.\n");
                return Fail();
            }
            m_state = State::StreamHeader;
            return;
        case State::StreamHeader:
            m_pending = DataStreamHeader();
            m_sent = 0;
            m_block = 0;
            m_inBlock = 0;
            m_state = State::BlockHeader;
            return;
        case State::BlockHeader: {
            // No further than the runs map (the reader's end, in whole sectors).
            const uint64_t real = std::min(m_data->RealSize(), m_reader->End());
            const uint64_t left = real > m_sent ? real - m_sent : 0;
            m_blockLength = static_cast<uint32_t>(std::min<uint64_t>(kBlockSize, left));
            if (m_blockLength == 0) {
                m_state = State::End;
                return;
            }
            m_blockPadded = (m_blockLength + kPieceSize - 1) / kPieceSize * kPieceSize;
            m_inBlock = 0;
            m_pending = BlockHeader(m_block, m_blockLength, m_blockPadded);
            m_state = State::BlockData;
            return;
        }
        case State::BlockData: {
            if (IsStopped(m_stop)) return Fail();
            const uint32_t piece = std::min(m_blockPadded - m_inBlock, kPieceSize);
            const uint64_t at = uint64_t(m_block) * kBlockSize + m_inBlock;
            m_pending.resize(piece);
            uint32_t got = 0;
            if (!m_reader->Seek(at) || !m_reader->Read(m_pending.data(), piece, got) || got != piece)
                return Fail();
            const uint32_t real = m_inBlock < m_blockLength ? std::min(piece, m_blockLength - m_inBlock) : 0;
            m_inBlock += piece;
            m_sent += real;
            if (m_inBlock >= m_blockPadded) {
                ++m_block;
                m_state = State::BlockHeader;
            }
            return;
        }
        case State::End: return;
    }
}
