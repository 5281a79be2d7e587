#include "FatDirectory.h"

#include <algorithm>
#include <cstring>

#include "engine/fat/FatVolume.h"
#include "platform/Calendar.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

// Directory slot fields (byte offsets in the 32-byte entry).
constexpr size_t kName = 0;             // 8 bytes, space padded; 0x00 end, 0xE5 deleted, 0x05 = leading 0xE5
constexpr size_t kExtension = 8;        // 3 bytes
constexpr size_t kAttributes = 11;      // u8; 0x0F long-name piece, 0x08 label, 0x10 folder
constexpr size_t kCaseFlags = 12;       // u8; 0x08 base name in small letters, 0x10 extension in small letters
constexpr size_t kCreationFine = 13;    // u8, 10 ms units
constexpr size_t kCreationTime = 14;    // u16
constexpr size_t kCreationDate = 16;    // u16
constexpr size_t kClusterHigh = 20;     // u16 (FAT32)
constexpr size_t kModificationTime = 22;// u16
constexpr size_t kModificationDate = 24;// u16
constexpr size_t kClusterLow = 26;      // u16
constexpr size_t kSize = 28;            // u32
// Long-name piece fields.
constexpr size_t kLfnSequence = 0;      // u8: low 5 bits position from 1, 0x40 last piece
constexpr size_t kLfnChars1 = 1;        // 5 UTF-16 characters
constexpr size_t kLfnChecksum = 13;     // u8
constexpr size_t kLfnChars2 = 14;       // 6 characters
constexpr size_t kLfnChars3 = 28;       // 2 characters

constexpr uint8_t kDeletedMark = 0xE5;
constexpr char16_t kGap[] = u"???????????";  // stands for a missing long-name piece

std::u16string ShortNamePart(const uint8_t* p, size_t n, bool lower) {
    while (n > 0 && p[n - 1] == ' ') --n;
    bool ascii = true;
    for (size_t i = 0; i < n; ++i) ascii = ascii && p[i] < 0x80;
    std::u16string s;
    if (ascii) {
        s.assign(p, p + n);
    } else {
        s = CodePageToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
    }
    if (lower)
        for (auto& c : s)
            if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return s;
}

}  // namespace

uint8_t FatShortNameChecksum(const uint8_t* name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7 | sum >> 1) + name11[i]);
    return sum;
}

bool OpensFolderAt(const uint8_t* data, size_t size, bool fat32, uint32_t cluster, uint32_t& parent) {
    if (size < 64 || std::memcmp(data, ".          ", 11) != 0 || std::memcmp(data + 32, "..         ", 11) != 0)
        return false;
    LeBytes e(data, 64);
    auto clusterAt = [&](size_t slot) {
        return (fat32 ? static_cast<uint32_t>(e.u16(slot + kClusterHigh)) << 16 : 0) | e.u16(slot + kClusterLow);
    };
    parent = clusterAt(32);
    return clusterAt(0) == cluster;
}

uint64_t FatTimeToFileTime(uint16_t date, uint16_t time, uint8_t fine) {
    const int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
    const int sec = (time & 0x1F) * 2, min = (time >> 5) & 0x3F, hour = time >> 11;
    // FAT keeps the wall-clock time of the machine that wrote the entry and no
    // zone: the words are counted as if they were UTC, so no time zone of
    // this machine moves them (the command line prints them without a zone).
    int64_t t = 0;
    if (!CalendarSeconds(year, month, day, hour, min, sec, t)) return 0;
    constexpr int64_t kEpochDelta = 11644473600;  // 1601-01-01 to 1970-01-01
    uint64_t ticks = static_cast<uint64_t>(static_cast<int64_t>(t) + kEpochDelta) * 10000000ull;
    if (fine >= 1 && fine <= 199 && time != 0) ticks += static_cast<uint64_t>(fine) * 10 * 10000;
    return ticks;
}

// ---------------------------------------------------------------------------
// CFatEntryDecoder

std::u16string CFatEntryDecoder::LongName(const uint8_t* slot, bool deleted) const {
    std::u16string name;
    if (m_pieces.empty()) return name;
    if (deleted) {
        // A deletion overwrites the sequence numbers; the pieces were kept in
        // name order (the last piece comes first on disk).
        for (const auto& p : m_pieces) name += p.text;
        return name;
    }
    const uint8_t sum = FatShortNameChecksum(slot + kName);
    bool contributed = false;
    uint32_t expected = 1;
    for (size_t k = 0; k < m_pieces.size();) {
        const Piece& p = m_pieces[k];
        const uint32_t n = p.sequence & 0x1F;
        if (n > expected) {
            name += kGap;  // a piece is missing here
            ++expected;
            continue;
        }
        if (n == expected && p.checksum == sum) {
            name += p.text;
            contributed = true;
            ++expected;
        }
        // A piece of another entry (other checksum), a deleted piece or a
        // repeated number adds nothing.
        ++k;
        if (p.sequence & 0x40) break;
    }
    // Pieces that all belong to another entry leave the short name in force.
    if (!contributed) name.clear();
    return name;
}

CFatEntryDecoder::Result CFatEntryDecoder::Feed(const uint8_t* slot, FatFileInfo& info, bool& deleted) {
    LeBytes e(slot, 32);
    deleted = e.u8(kName) == kDeletedMark;
    const uint8_t attributes = e.u8(kAttributes);

    if ((attributes & 0x3F) == 0x0F) {
        Piece piece;
        piece.sequence = deleted ? 0 : e.u8(kLfnSequence);
        piece.checksum = e.u8(kLfnChecksum);
        const uint32_t n = piece.sequence & 0x1F;
        if (!deleted && (n == 0 || n > kFatMaxLongNamePieces)) return Result::Skipped;  // no valid position
        char16_t chars[13];
        for (int i = 0; i < 5; ++i) chars[i] = e.u16(kLfnChars1 + 2 * i);
        for (int i = 0; i < 6; ++i) chars[5 + i] = e.u16(kLfnChars2 + 2 * i);
        for (int i = 0; i < 2; ++i) chars[11 + i] = e.u16(kLfnChars3 + 2 * i);
        size_t len = 0;
        while (len < 13 && chars[len] != 0) ++len;
        piece.text.assign(chars, len);
        if (m_pieces.size() >= kFatMaxLongNamePieces) {
            // More pieces than any long name has: keep those nearest the short entry.
            if (deleted)
                m_pieces.pop_back();
            else
                m_pieces.clear();
        }
        // Sorted by position; deleted pieces (all 0) go to the front, which
        // puts them in name order.
        auto at = std::find_if(m_pieces.begin(), m_pieces.end(),
                               [&](const Piece& q) { return (q.sequence & 0x1F) >= n; });
        m_pieces.insert(at, std::move(piece));
        return Result::Skipped;
    }

    uint32_t cluster = e.u16(kClusterLow);
    if (m_fat32) cluster |= static_cast<uint32_t>(e.u16(kClusterHigh)) << 16;
    const uint32_t size = e.u32(kSize);
    if ((cluster == 0 && size != 0) || (attributes & 0x08)) {
        // Data without a first cluster, or the volume label: not an item.
        m_pieces.clear();
        return Result::Skipped;
    }

    std::u16string name = LongName(slot, deleted);
    if (name.empty()) {
        uint8_t base[8];
        std::copy(slot + kName, slot + kName + 8, base);
        if (!deleted && base[0] == 0x05) base[0] = 0xE5;  // a name that really begins with 0xE5
        const uint8_t flags = e.u8(kCaseFlags);
        name = ShortNamePart(base, 8, flags & 0x08);
        std::u16string ext = ShortNamePart(slot + kExtension, 3, flags & 0x10);
        if (!ext.empty()) {
            name += u'.';
            name += ext;
        }
        if (deleted && !name.empty()) name[0] = u'?';
    }
    info.name = std::move(name);
    info.attributes = attributes;
    info.firstCluster = cluster;
    info.size = size;
    info.creationDate = e.u16(kCreationDate);
    info.creationTime = e.u16(kCreationTime);
    info.modificationDate = e.u16(kModificationDate);
    info.modificationTime = e.u16(kModificationTime);
    info.creationFine = e.u8(kCreationFine);
    m_pieces.clear();
    return Result::Entry;
}

// ---------------------------------------------------------------------------
// CFatFile

void CFatFile::Open(uint32_t firstCluster, uint32_t size, int32_t mode) {
    m_firstCluster = firstCluster;
    m_size = size;
    m_mode = mode;
    CFatFile::Rewind();
}

bool CFatFile::Rewind() {
    m_current = m_next = m_firstCluster;
    m_position = 0;
    m_clustersEntered = 0;
    m_endedAtReused = false;
    return true;
}

bool CFatFile::IsEof() {
    if (!SizeKnown()) return m_volume->IsEndOfChain(m_current);
    return m_position >= m_size;
}

bool CFatFile::IsValid() {
    return m_volume && m_volume->IsInitialized() && !(m_firstCluster == 0 && m_size != 0);
}

bool CFatFile::Read(void* buffer, uint32_t length, uint32_t& bytesRead) {
    bytesRead = 0;
    if (!IsValid()) return false;
    const uint32_t clusterSize = m_volume->ClusterSize();
    const uint64_t lastCluster = static_cast<uint64_t>(m_volume->ClusterCount()) + 1;
    auto* out = static_cast<uint8_t*>(buffer);
    while (!CFatFile::IsEof() && bytesRead < length) {
        const uint32_t offset = m_position % clusterSize;
        if (offset == 0) {
            m_current = m_next;
            if (!SizeKnown() && m_mode == kFatModeChain && m_volume->IsEndOfChain(m_current)) break;
            // Only clusters of the data area; a chain is never longer than
            // the volume has clusters, whatever the FAT says.
            if (m_current < 2 || m_current > lastCluster) return false;
            if (++m_clustersEntered > m_volume->ClusterCount()) return false;
            if (m_visited && !m_visited->insert(m_current).second) return false;
            uint32_t v = 0;
            if (!m_volume->ReadFatEntry(m_current, v)) return false;
            if (m_mode == kFatModeChain) {
                if (!m_volume->IsInUse(v) || m_volume->IsBad(v)) return false;
                m_next = m_volume->FatType() == kPartitionFat32 ? (v & 0x0FFFFFFF) : v;
            } else {
                if (m_volume->IsInUse(v) || m_volume->IsBad(v)) {
                    m_endedAtReused = true;  // reused since the deletion
                    return false;
                }
                m_next = m_current + 1;
            }
        }
        uint64_t count = std::min<uint64_t>(clusterSize - offset, length - bytesRead);
        if (SizeKnown()) count = std::min<uint64_t>(count, m_size - m_position);
        if (count > UINT32_MAX - m_position) break;  // the position would wrap
        uint32_t got = static_cast<uint32_t>(count);
        if (!m_volume->ReadRaw(m_current, offset, out + bytesRead, got) || got != count) {
            // The source refused part of the cluster: what came before is read.
            got = std::min(got, static_cast<uint32_t>(count));
            m_position += got;
            bytesRead += got;
            m_readError = true;
            return false;
        }
        m_position += got;
        bytesRead += got;
    }
    return true;
}

uint32_t CFatFile::SkipUnreadable() {
    if (!m_readError) return 0;
    m_readError = false;
    const uint32_t clusterSize = m_volume->ClusterSize();
    if (clusterSize == 0) return 0;
    const uint32_t offset = m_position % clusterSize;
    const uint64_t left = SizeKnown() ? uint64_t(m_size - m_position) : uint64_t(clusterSize - offset);
    const uint64_t n = m_volume->UnreadableSpan(m_current, offset, left);
    m_position += static_cast<uint32_t>(n);
    return static_cast<uint32_t>(n);
}

// ---------------------------------------------------------------------------
// CFatDirectory

CFatDirectory::CFatDirectory(CFatVolume* volume)
    : CFatFile(volume), m_decoder(volume && volume->FatType() == kPartitionFat32) {}

void CFatDirectory::OpenFolder(uint32_t size, uint32_t firstCluster, bool fixedRoot, int32_t mode) {
    Open(firstCluster, size == 0 ? kFatSizeUnknown : size, mode);
    m_fixedRoot = fixedRoot ? 1 : 0;
    m_root = (fixedRoot || (m_volume->FatType() == kPartitionFat32 && firstCluster == m_volume->RootFirstCluster()))
                 ? 1
                 : 0;
    m_decoder.SetFat32(m_volume->FatType() == kPartitionFat32);
    Rewind();
}

void CFatDirectory::OpenRoot() {
    if (m_volume->FatType() == kPartitionFat32)
        OpenFolder(0, m_volume->RootFirstCluster(), false, kFatModeChain);
    else
        OpenFolder(m_volume->RootSize(), 0, true, kFatModeChain);
}

bool CFatDirectory::Rewind() {
    CFatFile::Rewind();
    m_bufferFill = m_bufferPosition = 0;
    m_slotIndex = 0;
    m_ended = false;
    m_decoder.Reset();
    return true;
}

bool CFatDirectory::IsEof() {
    if (m_ended) return true;
    if (m_fixedRoot) return m_position >= m_size && m_bufferPosition >= m_bufferFill;
    return CFatFile::IsEof() && m_bufferPosition >= m_bufferFill;
}

void CFatDirectory::MarkEnded() {
    if (!SizeKnown())
        m_current = m_volume->EndOfChainMark();
    else
        m_position = m_size;
    m_bufferPosition = m_bufferFill;
    m_ended = true;
}

bool CFatDirectory::NextEntry(FatFileInfo& info, bool& deleted) {
    if (m_ended || !m_volume || !m_volume->IsInitialized()) return false;
    for (;;) {
        if (m_bufferPosition >= m_bufferFill) {
            if (m_fixedRoot) {
                if (m_position >= m_size) return false;
                const uint32_t sectorSize = m_volume->SectorSize();
                const uint32_t sectors = static_cast<uint32_t>((static_cast<uint64_t>(m_size) + sectorSize - 1) / sectorSize);
                if (m_buffer.Size() != sectors * sectorSize && !m_buffer.Allocate(sectors * sectorSize)) return false;
                uint32_t got = 0;
                if (!m_volume->ReadRawUnbuffered(m_volume->RootFirstSector(), sectors, m_buffer.Data(), &got) ||
                    got < m_size) {
                    // The root's sectors before one the source refused are its entries still.
                    const bool refused = m_volume->SourceRefused(uint64_t(m_volume->RootFirstSector()) *
                                                                     sectorSize + got);
                    if (refused) m_volume->NoteUnreadableFolderCluster(0);
                    if (!refused || got < 32) {
                        MarkEnded();
                        return false;
                    }
                }
                m_position += m_size;
                m_bufferFill = std::min<uint32_t>(got, m_size) / 32 * 32;
            } else {
                if (m_position >= kFatMaxFolderBytes) {
                    MarkEnded();
                    return false;
                }
                const uint32_t clusterSize = m_volume->ClusterSize();
                if (m_buffer.Size() != clusterSize && !m_buffer.Allocate(clusterSize)) return false;
                uint32_t got = 0;
                if (!Read(m_buffer.Data(), clusterSize, got) || got == 0) {
                    // A cluster the source refused is counted: its entries are not listed.
                    if (m_readError) m_volume->NoteUnreadableFolderCluster(m_current);
                    MarkEnded();
                    return false;
                }
                m_bufferFill = got;
            }
            m_bufferPosition = 0;
        }
        if (m_bufferFill - m_bufferPosition < 32) {
            MarkEnded();
            return false;
        }
        const uint8_t* slot = m_buffer.Data() + m_bufferPosition;
        if (slot[0] == 0) {
            MarkEnded();
            return false;
        }
        if (!m_root && m_slotIndex < 2) {
            // A folder opens with "." and ".."; anything else means these
            // clusters do not hold a folder (any more).
            static const char kDot[] = ".          ";
            static const char kDotDot[] = "..         ";
            if (std::memcmp(slot, m_slotIndex == 0 ? kDot : kDotDot, 11) != 0) {
                MarkEnded();
                return false;
            }
        }
        ++m_slotIndex;
        m_bufferPosition += 32;
        if (m_decoder.Feed(slot, info, deleted) == CFatEntryDecoder::Result::Entry) return true;
    }
}
