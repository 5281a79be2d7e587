#include "NtfsVolume.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <set>

#include "NtfsIndexNode.h"
#include "app/Log.h"
#include "platform/CaseFold.h"
#include "platform/LeBytes.h"
#include "platform/Text.h"

namespace {

constexpr size_t kBootSignature = 0x1FE;  // u16 of the boot sector: 0xAA55

// $INDEX_ROOT value.
constexpr size_t kRootBlockSize = 0x08;       // u32
constexpr size_t kRootClustersPerBlock = 0x0C;// u8
// INDX block.
constexpr size_t kIndxVcn = 0x10;             // u64

// Depth of any real index B+ tree is far below this.
constexpr int kMaxIndexDepth = 64;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

enum class Walk { Found, Descend, NotFound };

}  // namespace

// ---------------------------------------------------------------------------

CNtfsClusterBitmapWalker::CNtfsClusterBitmapWalker(CNtfsVolume& volume) : m_volume(volume) {
    CNtfsFileAttr* data = volume.BitmapData();
    m_open = data != nullptr;
    if (m_open) {
        const uint64_t bits = data->RealSize() > (UINT64_MAX / 8) ? UINT64_MAX : data->RealSize() * 8;
        m_limit = std::min(volume.TotalClusters(), bits);
    }
}

bool CNtfsClusterBitmapWalker::LoadPiece() {
    const uint64_t byteOffset = m_next / 8;
    uint32_t got = 0;
    if (!m_volume.ReadBitmapBytes(byteOffset, m_piece, kPieceSize, got) || got == 0) return false;
    m_pieceStart = byteOffset * 8;
    m_pieceBits = got * 8;
    return true;
}

bool CNtfsClusterBitmapWalker::Next(uint64_t& cluster, bool& isFree) {
    if (!m_open || m_next >= m_limit) return false;
    if (m_pieceBits == 0 || m_next >= m_pieceStart + m_pieceBits) {
        if (!LoadPiece()) {
            m_limit = m_next;
            return false;
        }
    }
    const uint64_t bit = m_next - m_pieceStart;
    isFree = ((m_piece[bit / 8] >> (bit % 8)) & 1) == 0;
    cluster = m_next++;
    return true;
}

// ---------------------------------------------------------------------------

CNtfsVolume::CNtfsVolume() = default;
CNtfsVolume::~CNtfsVolume() = default;

bool CNtfsVolume::Fail(const std::string& reason) {
    m_initError = reason;
    LogWrite("CNtfsVolume::Initialize: %s\n", reason.c_str());
    return false;
}

bool CNtfsVolume::Initialize(const std::string& devicePath) {
    CScopeTrace trace(1, "CNtfsVolume::Initialize");
    m_initialized = 0;
    m_initError.clear();
    m_bootNote.clear();
    m_devicePath = devicePath;
    if (!OpenDevice()) return false;

    uint8_t boot[512];
    int64_t got = ReadDeviceAt(0, boot, sizeof boot);
    if (got != static_cast<int64_t>(sizeof boot)) {
        LogWrite("Cannot read NTFS boot sector, errno = %d\n", got < 0 ? errno : 0);
        return false;
    }
    if (InitializeFromBoot(boot, 0)) return true;
    // A first sector that is no boot sector at all (zeroed, overwritten) may
    // still lead the MFT's geometry: it is read off the MFT below when the
    // backup is gone too.
    const bool blank = LeBytes(boot, sizeof boot).u16(kBootSignature) != 0xAA55;

    // The first sector is no usable NTFS boot sector: format keeps a copy in
    // the volume's last sector, the one just past the sector count it gives.
    const std::string primaryError = m_initError;
    const uint64_t device = DeviceLength();
    for (uint32_t bps = 512; bps <= 4096; bps *= 2) {
        if (device < 2 * uint64_t(bps)) break;
        const uint64_t offset = (device / bps - 1) * bps;
        if (ReadDeviceAt(offset, boot, sizeof boot) != static_cast<int64_t>(sizeof boot)) continue;
        if (!IsBackupBootSector(boot, offset, bps)) continue;
        m_initError.clear();
        if (!InitializeFromBoot(boot, offset)) break;
        m_bootNote = "the boot sector is damaged; the backup boot sector at sector " + std::to_string(offset / bps) +
                     " was used";
        LogWrite("CNtfsVolume::Initialize: %s\n", m_bootNote.c_str());
        return true;
    }
    if (blank && primaryError.empty() && RebuildBootSector(DeviceBootSource(), boot)) {
        m_initError.clear();
        if (InitializeFromBoot(boot, 0)) {
            m_bootNote = "the boot sector and its backup are damaged; the geometry was rebuilt from the MFT";
            LogWrite("CNtfsVolume::Initialize: %s\n", m_bootNote.c_str());
            return true;
        }
        m_initError.clear();
    }
    if (!primaryError.empty()) m_initError = primaryError;
    return false;
}

bool CNtfsVolume::InitializeFromBoot(const uint8_t* boot, uint64_t bootOffset) {
    NtfsBootGeometry g;
    const ProbeResult check = CheckBootSector(boot, DeviceLength(), g);
    if (check.answer == ProbeAnswer::No) return false;
    LogWriteLevel(1, "NTFS boot sector at byte %" PRIu64 "\n", bootOffset);
    // The source claims to be NTFS: every refusal says why.
    if (check.answer == ProbeAnswer::Damaged) return Fail(check.reason);
    m_sectorSize = g.sectorSize;
    m_clusterSize = g.clusterSize;
    m_mftRecordSize = g.mftRecordSize;
    m_indexBlockSize = g.indexBlockSize;
    m_totalSectors = g.totalSectors;
    m_totalClusters = g.totalClusters;
    m_serialNumber = g.serialNumber;
    m_mftStartCluster = g.mftStartCluster;
    m_mftMirrorCluster = g.mftMirrorCluster;
    LogWriteLevel(1, "bpc=%lu\n", static_cast<unsigned long>(m_clusterSize));
    LogWriteLevel(1, "mft_rec_size=%lu\n", static_cast<unsigned long>(m_mftRecordSize));

    if (!ReadMetafileRecord(kMftRecord, m_mftFile)) {
        LogWrite("Error: MFT is corrupted.\n");
        return Fail("the $MFT record (0) cannot be read");
    }
    if (!MftData()) return Fail("the $MFT record has no data stream");
    bool ok = ReadMetafileRecord(kVolumeRecord, m_volumeFile);
    ok = ReadMetafileRecord(kRootRecord, m_rootFile) && ok;
    ok = ReadMetafileRecord(kBitmapRecord, m_bitmapFile) && ok;
    if (!ok) {
        LogWrite("Error initializing system metafiles.\n");
        return Fail("the system metafiles ($Volume, root folder, $Bitmap) cannot be read");
    }
    if (!m_upCaseBuffer.Allocate(512)) return Fail("out of memory");
    // A table past the end of a cut image, or damaged, is no reason to give
    // up a readable MFT: names then compare by the table format writes.
    const char* upCaseLost = !ReadMetafileRecord(kUpCaseRecord, m_upCaseFile)          ? "its record cannot be read"
                             : !(m_upCaseData = m_upCaseFile.FindAttribute(kAttrData)) ? "it has no data stream"
                             : !LoadUpCasePage(0)                                      ? "its data cannot be read"
                                                                                       : nullptr;
    if (upCaseLost) {
        m_upCaseData = nullptr;
        m_standardUpCase = true;
        LogWrite("The volume's $UpCase table cannot be used (%s): names compare by the standard table.\n", upCaseLost);
    }
    m_initialized = 1;
    return true;
}

namespace {
// Hashes the first `bytes` of a non-resident attribute's clusters, extent by
// extent (a sparse extent or runs that end early simply hold nothing to
// read); false when a cluster that the runs name cannot be read.
template <class HashRange>
bool HashAttributeHead(const CNtfsFileAttr& attr, uint64_t bytes, uint32_t clusterSize, HashRange&& hashRange) {
    if (clusterSize == 0) return false;
    for (const CNtfsFileAttr::Extent& e : attr.Extents()) {
        if (bytes == 0) break;
        const uint64_t n = e.length > bytes / clusterSize ? bytes : e.length * clusterSize;
        if (e.lcn >= 0) {
            if (static_cast<uint64_t>(e.lcn) > (UINT64_MAX - n) / clusterSize) return false;
            if (!hashRange(static_cast<uint64_t>(e.lcn) * clusterSize, n)) return false;
        }
        bytes -= n;
    }
    return true;
}
}  // namespace

bool CNtfsVolume::HashFingerprintRegions(CFingerprintHasher& hasher) {
    auto hashRange = [&](uint64_t offset, uint64_t length) { return HashSourceRange(hasher, offset, length); };
    // Record 0 as it is on the device now.
    if (!hashRange(m_mftStartCluster * m_clusterSize, m_mftRecordSize)) return false;
    // The MFT's bitmap; its runs come from record 0 as read at Initialize: a
    // grown MFT has a new record 0, which has changed the hash already.
    const CNtfsFileAttr* bitmap = m_mftFile.FindAttribute(kAttrBitmap);
    if (!bitmap) return false;
    if (!bitmap->IsResident()) {
        const uint64_t bytes = std::min(bitmap->RealSize(), kMaxFingerprintBitmap);
        if (!HashAttributeHead(*bitmap, bytes, m_clusterSize, hashRange)) return false;
    }
    // The restart pages of $LogFile.
    CNtfsFile log;
    if (!ReadMetafileRecord(kLogFileRecord, log)) return false;
    const CNtfsFileAttr* data = log.FindAttribute(kAttrData, u"");
    if (!data) return false;
    if (data->IsResident()) {
        hasher.Add(data->Value(), data->ValueSize());
        return true;
    }
    return HashAttributeHead(*data, std::min(data->RealSize(), kLogFileRestartBytes), m_clusterSize, hashRange);
}

bool CNtfsVolume::ReadMetafileRecord(uint32_t n, CNtfsFile& file) {
    std::vector<uint8_t> buffer(m_mftRecordSize);
    auto readAt = [&](uint64_t cluster) {
        const uint64_t offset = cluster * m_clusterSize + static_cast<uint64_t>(n) * m_mftRecordSize;
        const int64_t got = ReadDeviceAt(offset, buffer.data(), buffer.size());
        if (got != static_cast<int64_t>(buffer.size())) {
            LogWrite("Cannot read FILE record %u at byte %" PRIu64 ", errno = %d\n", n, offset, got < 0 ? errno : 0);
            return false;
        }
        return file.InitializeFromBuffer(this, buffer.data(), n, false) && file.IsInUse();
    };
    if (readAt(m_mftStartCluster)) return true;
    // $MFTMirr holds the first four records: a bad block over the MFT's own
    // start does not make the volume unopenable.
    if (n >= kMirroredRecords || m_mftMirrorCluster == 0 || m_mftMirrorCluster >= m_totalClusters ||
        m_mftMirrorCluster == m_mftStartCluster || !readAt(m_mftMirrorCluster))
        return false;
    LogWrite("FILE record %u was read from $MFTMirr.\n", n);
    return true;
}

bool CNtfsVolume::ReadMftRecord(uint32_t n, std::vector<uint8_t>& buffer) {
    CNtfsFileAttr* stream = MftData();
    if (!stream) return false;
    buffer.assign(m_mftRecordSize, 0);
    std::lock_guard<std::mutex> g(m_recordLock);
    if (!stream->SetPosition(static_cast<uint64_t>(n) * m_mftRecordSize)) return false;
    uint32_t got = 0;
    return stream->Read(buffer.data(), m_mftRecordSize, got) && got == m_mftRecordSize;
}

CNtfsFileAttr* CNtfsVolume::MftData() const {
    return m_mftFile.IsParsed() ? m_mftFile.FindAttribute(kAttrData, u"") : nullptr;
}

CNtfsFileAttr* CNtfsVolume::BitmapData() const {
    return m_bitmapFile.IsParsed() ? m_bitmapFile.FindAttribute(kAttrData, u"") : nullptr;
}

bool CNtfsVolume::ReadBitmapBytes(uint64_t byteOffset, void* buffer, uint32_t length, uint32_t& got) {
    got = 0;
    CNtfsFileAttr* data = BitmapData();
    if (!data) return false;
    std::lock_guard<std::mutex> g(m_recordLock);
    if (byteOffset >= data->RealSize()) return true;
    if (!data->SetPosition(byteOffset)) return false;
    return data->Read(buffer, length, got);
}

uint64_t CNtfsVolume::MftRecordCount() const {
    CNtfsFileAttr* d = MftData();
    return d && m_mftRecordSize ? d->RealSize() / m_mftRecordSize : 0;
}

std::u16string CNtfsVolume::VolumeLabel() const {
    auto* name = dynamic_cast<CAttr_$VOLUME_NAME*>(m_volumeFile.FindAttribute(kAttrVolumeName));
    return name ? name->VolumeName() : std::u16string();
}

std::string CNtfsVolume::VolumeLabelUtf8() const { return Utf16ToUtf8(VolumeLabel()); }

bool CNtfsVolume::CountFreeClusters(uint64_t& freeClusters) {
    freeClusters = 0;
    CNtfsClusterBitmapWalker walker(*this);
    if (!walker.IsOpen()) return false;
    uint64_t cluster;
    bool isFree;
    uint64_t seen = 0;
    while (walker.Next(cluster, isFree)) {
        ++seen;
        if (isFree) ++freeClusters;
    }
    return seen == walker.Limit();
}

// ---------------------------------------------------------------------------
// Case folding

bool CNtfsVolume::LoadUpCasePage(uint32_t page) {
    if (!m_upCaseData || m_upCaseBuffer.Size() < 512) return false;
    if (!m_upCaseData->SetPosition(static_cast<uint64_t>(page) * 512)) return false;
    uint32_t got = 0;
    if (!m_upCaseData->Read(m_upCaseBuffer.Data(), 512, got) || got != 512) return false;
    m_upCasePage = page;
    return true;
}

char16_t CNtfsVolume::UpperCase(char16_t u) {
    if (m_standardUpCase) return NtfsStandardUpperCase(u);
    std::lock_guard<std::mutex> g(m_upCaseLock);
    const uint32_t page = u >> 8;
    if (page != m_upCasePage && !LoadUpCasePage(page)) {
        // A short or unreadable table leaves the character as it is; the
        // page must then be reloaded on the next use.
        m_upCasePage = UINT32_MAX;
        return u;
    }
    return static_cast<char16_t>(LeBytes::u16_unsafe(m_upCaseBuffer.Data() + 2 * (u & 0xFF)));
}

const char16_t* CNtfsVolume::UpCaseTable() {
    std::lock_guard<std::mutex> g(m_upCaseLock);
    if (!m_upCaseTableRead) {
        m_upCaseTableRead = true;
        std::vector<uint8_t> bytes(2 * 65536);
        uint32_t got = 0;
        if (m_upCaseData && m_upCaseData->SetPosition(0) &&
            m_upCaseData->Read(bytes.data(), static_cast<uint32_t>(bytes.size()), got) && got == bytes.size()) {
            m_upCaseTable.resize(65536);
            for (size_t i = 0; i < m_upCaseTable.size(); ++i)
                m_upCaseTable[i] = static_cast<char16_t>(LeBytes::u16_unsafe(bytes.data() + 2 * i));
        } else {
            LogWrite("The $UpCase table cannot be read whole: names compare by Unicode case folding only.\n");
        }
    }
    return m_upCaseTable.empty() ? nullptr : m_upCaseTable.data();
}

int CNtfsVolume::CompareNames(std::u16string_view a, std::u16string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t x = a[i] == b[i] ? a[i] : UpperCase(a[i]);
        const char16_t y = a[i] == b[i] ? b[i] : UpperCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// ---------------------------------------------------------------------------
// Folder indexes

bool CNtfsVolume::CheckIndexBlock(uint8_t* buffer, uint32_t blockSize) {
    if (!buffer || blockSize < 0x28 || std::memcmp(buffer, "INDX", 4) != 0) {
        LogWrite("Index block error: Signature is not INDX\n");
        return false;
    }
    return ApplyUpdateSequence(buffer, blockSize, m_sectorSize) == UsaResult::Ok;
}

namespace {

// Walks the entries of an index node, looking for name.
template <typename Compare>
Walk WalkEntries(const LeBytes& b, size_t header, std::u16string_view name, Compare&& compare, uint32_t& child,
                 uint64_t& subVcn) {
    CNtfsIndexNodeReader node(b, header);
    NtfsIndexNodeEntry e;
    while (node.Next(e)) {
        auto descend = [&] {
            if (!e.hasSubNode) return Walk::NotFound;
            subVcn = e.subNodeVcn;
            return Walk::Descend;
        };
        if (e.IsLast() || e.keyLength == 0) return descend();
        if (!e.hasName) return Walk::NotFound;
        const int c = compare(name, node.Name(e));
        if (c == 0) {
            child = e.record;
            return Walk::Found;
        }
        if (c < 0) return descend();
    }
    return Walk::NotFound;
}

}  // namespace

uint32_t CNtfsVolume::FindChild(std::u16string_view name, uint32_t folder) {
    if (!m_initialized || name.empty()) return 0;
    const uint32_t found = SearchIndex(name, folder);
    if (found != 0) return found;
    // A live subfolder the index does not list (see ListFolderRecord).
    for (uint32_t sub : ExistingSubfolders(folder)) {
        FileItemInfo info;
        if (LiveRecordInfo(sub, info) && CompareNames(name, info.name) == 0) return sub;
    }
    return 0;
}

uint32_t CNtfsVolume::SearchIndex(std::u16string_view name, uint32_t folder) {
    CNtfsFile dir;
    if (!dir.OpenRecord(this, folder, false)) return 0;
    return FindChildIn(dir, name);
}

uint32_t CNtfsVolume::FindChildIn(CNtfsFile& dir, std::u16string_view name) {
    if (name.empty() || !dir.IsParsed()) return 0;
    const uint32_t folder = dir.RecordNumber();
    CNtfsFileAttr* root = dir.FindAttribute(kAttrIndexRoot, u"$I30");
    if (!root) root = dir.FindAttribute(kAttrIndexRoot);
    if (!root) return 0;
    std::vector<uint8_t> rootValue;
    if (!root->ReadAll(rootValue, 65536)) return 0;
    LeBytes r(rootValue.data(), rootValue.size());
    const uint32_t blockSize = r.u32(kRootBlockSize);
    const uint32_t clustersPerBlock = r.u8(kRootClustersPerBlock);
    if (!r.ok()) return 0;
    const bool large = static_cast<CAttr_$INDEX_ROOT*>(root)->IsLarge();
    auto compare = [this](std::u16string_view a, std::u16string_view b) { return CompareNames(a, b); };

    uint32_t child = 0;
    uint64_t vcn = 0;
    Walk w = WalkEntries(r, kIndexRootHeader, name, compare, child, vcn);
    if (w == Walk::Found) return child;
    if (w == Walk::NotFound || !large) return 0;

    CNtfsFileAttr* alloc = dir.FindAttribute(kAttrIndexAllocation, u"$I30");
    if (!alloc) alloc = dir.FindAttribute(kAttrIndexAllocation);
    if (!alloc) return 0;
    if (!IsPowerOfTwo(blockSize) || blockSize < 512 || blockSize > 65536) {
        LogWriteLevel(1, "Index of record %lu: invalid index block size %lu\n", static_cast<unsigned long>(folder),
                      static_cast<unsigned long>(blockSize));
        return 0;
    }
    if (clustersPerBlock == 0) {
        LogWriteLevel(1, "Index of record %lu: 0 clusters per index block\n", static_cast<unsigned long>(folder));
        return 0;
    }
    const uint64_t bytesPerVcn = blockSize / clustersPerBlock;
    if (bytesPerVcn == 0) return 0;
    std::vector<uint8_t> block(blockSize);
    std::set<uint64_t> seen;
    for (int depth = 0; depth < kMaxIndexDepth; ++depth) {
        if (!seen.insert(vcn).second) {
            LogWriteLevel(1, "Index of record %lu: sub-node VCN %" PRIu64 " loops\n",
                          static_cast<unsigned long>(folder), vcn);
            return 0;
        }
        if (vcn > UINT64_MAX / bytesPerVcn) return 0;
        if (!alloc->SetPosition(vcn * bytesPerVcn)) return 0;
        uint32_t got = 0;
        if (!alloc->Read(block.data(), blockSize, got) || got != blockSize) return 0;
        if (!CheckIndexBlock(block.data(), blockSize)) return 0;
        LeBytes x(block.data(), block.size());
        if (x.u64(kIndxVcn) != vcn) return 0;
        uint64_t next = 0;
        w = WalkEntries(x, kIndexBlockHeader, name, compare, child, next);
        if (w == Walk::Found) return child;
        if (w == Walk::NotFound) return 0;
        vcn = next;
    }
    return 0;
}

uint32_t CNtfsVolume::ResolvePath(std::u16string_view path) {
    if (!m_initialized) return 0;
    if (path.size() >= 2 && path[1] == u':') path.remove_prefix(2);
    uint32_t current = kRootRecord;
    size_t p = 0;
    while (p < path.size()) {
        size_t q = path.find(u'\\', p);
        if (q == std::u16string_view::npos) q = path.size();
        if (q > p) {
            current = FindChild(path.substr(p, q - p), current);
            if (current == 0) return 0;
        }
        p = q + 1;
    }
    return current;
}

// ---------------------------------------------------------------------------

void CNtfsVolume::DumpVolume() {
    LogWrite("VOLUME DUMP\n");
    LogWrite("  fs=NTFS drive_letter=%c bps=%d bpc=%d", m_driveLetter ? static_cast<char>(m_driveLetter) : ' ',
             static_cast<int>(m_sectorSize), static_cast<int>(m_clusterSize));
    LogWrite("\n SYSTEM FILES DUMP\n");
    m_mftFile.Dump();
    m_volumeFile.Dump();
    m_rootFile.Dump();
    m_bitmapFile.Dump();
    LogWrite("END VOLUME DUMP\n");
}
