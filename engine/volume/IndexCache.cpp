#include "IndexCache.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/Log.h"
#include "engine/volume/Volume.h"
#include "platform/LeBytes.h"
#include "platform/Paths.h"

namespace {

constexpr size_t kReadBlock = 256 << 10;  // bytes read from the cache file at a time

// FNV-1a, 64-bit: a stable key across runs and builds.
uint64_t Fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}
}  // namespace

void CacheHeader::Encode(uint8_t out[kCacheHeaderSize]) const {
    std::fill(out, out + kCacheHeaderSize, 0);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(tag >> (8 * i));
    out[4] = incomplete;
    out[6] = static_cast<uint8_t>(driveLetter & 0xFF);
    out[7] = static_cast<uint8_t>(driveLetter >> 8);
    out[8] = fileSystem;
    for (int i = 0; i < 8; ++i) out[16 + i] = static_cast<uint8_t>(static_cast<uint64_t>(savedAt) >> (8 * i));
    for (int i = 0; i < 4; ++i) out[24 + i] = static_cast<uint8_t>(recordCount >> (8 * i));
    for (int i = 0; i < 4; ++i) {
        out[28 + i] = static_cast<uint8_t>(fingerprint >> (8 * i));
        out[12 + i] = static_cast<uint8_t>(fingerprint >> (32 + 8 * i));
    }
}

CacheHeader CacheHeader::Decode(const uint8_t in[kCacheHeaderSize]) {
    LeBytes b(in, kCacheHeaderSize);
    CacheHeader h;
    h.tag = b.u32(0);
    h.incomplete = b.u8(4);
    h.driveLetter = b.u16(6);
    h.fileSystem = b.u8(8);
    h.savedAt = b.i64(16);
    h.recordCount = b.u32(24);
    h.fingerprint = static_cast<uint64_t>(b.u32(28)) | static_cast<uint64_t>(b.u32(12)) << 32;
    return h;
}

std::string CacheFolderForSource(const std::string& sourcePath, uint64_t offset, uint64_t serial) {
    std::error_code ec;
    std::string canonical = std::filesystem::weakly_canonical(sourcePath, ec).string();
    if (ec) canonical = sourcePath;
    char key[40];
    std::snprintf(key, sizeof key, "%016llx",
                  static_cast<unsigned long long>(Fnv1a(canonical + '\0' + std::to_string(offset) + '\0' +
                                                        std::to_string(serial))));
    return CacheFolder() + "/" + key;
}

namespace {
// "~index_dump_C.tmp" for a drive letter, "~index_dump_x0100.tmp" for a key past them.
std::string CacheFileName(char16_t key) {
    char name[32];
    if (key == 0)
        std::snprintf(name, sizeof name, "~index_dump__.tmp");
    else if (key < 0x80)
        std::snprintf(name, sizeof name, "~index_dump_%c.tmp", static_cast<char>(key));
    else
        std::snprintf(name, sizeof name, "~index_dump_x%04x.tmp", static_cast<unsigned>(key));
    return name;
}
}  // namespace

std::string CacheFilePath(const CVolume& volume) {
    const std::string name = CacheFileName(volume.DriveLetter());
    return CacheFolderForSource(volume.DevicePath(), volume.SourceOffset(), volume.VolumeSerial()) + "/" + name;
}

namespace {
const char* const kDamagedCache = "the cached index was damaged; it was deleted and the index is built anew";
}  // namespace

CCacheWriter::~CCacheWriter() { Close(); }

bool CCacheWriter::Open(const std::string& path) {
    std::filesystem::path p(path);
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    m_file = std::fopen(path.c_str(), "wb");
    if (!m_file) {
        int e = errno;
        m_openError = e;
        LogWrite("Can't open cache file: %s\n", path.c_str());
        LogError(0, e);
        return false;
    }
    return true;
}

bool CCacheWriter::WriteHeader(const CacheHeader& header) {
    uint8_t buf[kCacheHeaderSize];
    header.Encode(buf);
    long pos = std::ftell(m_file);
    if (std::fseek(m_file, 0, SEEK_SET) != 0) return false;
    bool ok = std::fwrite(buf, 1, sizeof buf, m_file) == sizeof buf;
    if (pos > static_cast<long>(kCacheHeaderSize)) std::fseek(m_file, pos, SEEK_SET);
    return ok;
}

void CCacheWriter::BeginRecord(uint8_t type) {
    m_record.clear();
    m_record.push_back(0);
    m_record.push_back(0);
    m_record.push_back(type);
}
void CCacheWriter::U8(uint8_t v) { m_record.push_back(v); }
void CCacheWriter::U16(uint16_t v) {
    m_record.push_back(static_cast<uint8_t>(v));
    m_record.push_back(static_cast<uint8_t>(v >> 8));
}
void CCacheWriter::U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_record.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void CCacheWriter::Name(const std::u16string& name) {
    // Names on disk are at most 255 units; a longer one is cut so the record stays readable.
    size_t room = (kCacheMaxRecord - m_record.size()) / 2;
    size_t n = std::min(name.size(), room > 0 ? room - 1 : 0);
    for (size_t i = 0; i < n; ++i) U16(name[i]);
    U16(0);
}
bool CCacheWriter::EndRecord() {
    uint16_t len = static_cast<uint16_t>(m_record.size());
    m_record[0] = static_cast<uint8_t>(len);
    m_record[1] = static_cast<uint8_t>(len >> 8);
    return std::fwrite(m_record.data(), 1, m_record.size(), m_file) == m_record.size();
}
bool CCacheWriter::Close() {
    if (!m_file) return true;
    bool ok = std::fclose(m_file) == 0;
    m_file = nullptr;
    return ok;
}

bool CCacheWriter::Begin(CVolume& volume, uint32_t recordCount, IndexProgress* progress) {
    m_path = CacheFilePath(volume);
    m_volume = &volume;
    if (!Open(m_path)) {
        volume.NoteCacheProblem("the index could not be saved to the cache: cannot create " + m_path + ": " +
                                std::strerror(m_openError));
        return false;
    }
    if (progress) progress->Start(2, recordCount);
    m_header = CacheHeader {};
    m_header.incomplete = 1;
    m_header.driveLetter = volume.DriveLetter();
    m_header.fileSystem = static_cast<uint8_t>(volume.GetPartitionType());
    m_header.savedAt = volume.CacheNow();
    m_header.recordCount = recordCount;
    if (!volume.HasCacheFingerprint()) volume.RefreshCacheFingerprint();
    m_header.fingerprint = volume.CacheFingerprint();
    m_headerWritten = WriteHeader(m_header);
    return true;
}

bool CCacheWriter::Finish(bool written, bool cancelled) {
    written = written && m_headerWritten;
    if (written && !cancelled) {
        m_header.incomplete = 0;
        written = WriteHeader(m_header);
    }
    written = Close() && written;
    if (!written) {
        // A file that could not be written whole is of no use to anyone.
        LogWrite("Error writing cache file: %s\n", m_path.c_str());
        if (m_volume && !cancelled)
            m_volume->NoteCacheProblem("the index could not be saved to the cache: writing " + m_path + " failed");
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }
    return written;
}

CCacheReader::~CCacheReader() { Close(); }

bool CCacheReader::Begin(CVolume& volume) {
    volume.RefreshCacheFingerprint();
    m_path = CacheFilePath(volume);
    if (!Open(m_path)) {
        if (m_openError != ENOENT && m_openError != ENOTDIR)
            volume.NoteCacheProblem("the cached index could not be read: " + m_path + ": " + std::strerror(m_openError));
        return false;
    }
    const bool whole = ReadHeader(m_header);
    if (!whole || m_header.tag != kCacheFormatTag)
        volume.NoteCacheProblem(kDamagedCache);
    if (!AcceptCacheHeader(m_header, whole, volume)) {
        Discard();
        return false;
    }
    return true;
}

void CCacheReader::Discard() {
    Close();
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
}

bool CCacheReader::Finish(CVolume& volume, uint64_t counted) {
    if (counted != m_header.recordCount) {
        LogWrite("Error reading cache: wrong number of entries\n");
        volume.NoteCacheProblem(kDamagedCache);
        volume.ClearIndex();
        Discard();
        return false;
    }
    Close();
    volume.ReloadRecycleBin();
    return true;
}

bool CCacheReader::Open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "rb");
    if (!m_file) {
        int e = errno;
        m_openError = e;
        LogWrite("Can't open cache file: %s\n", path.c_str());
        LogError(0, e);
        return false;
    }
    m_buffer.resize(kReadBlock);
    m_at = m_end = 0;
    return true;
}

bool CCacheReader::Take(uint8_t* out, size_t n) {
    while (n > 0) {
        if (m_at == m_end) {
            if (!m_file) return false;
            m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
            m_at = 0;
            if (m_end == 0) return false;
        }
        const size_t k = std::min(n, m_end - m_at);
        std::memcpy(out, m_buffer.data() + m_at, k);
        m_at += k;
        out += k;
        n -= k;
    }
    return true;
}

bool CCacheReader::ReadHeader(CacheHeader& header) {
    uint8_t buf[kCacheHeaderSize];
    if (!Take(buf, sizeof buf)) return false;
    header = CacheHeader::Decode(buf);
    return true;
}

bool CCacheReader::Next(uint8_t& type, std::vector<uint8_t>& body) {
    m_short = m_tooLong = false;
    uint8_t lenBytes[2];
    if (!Take(lenBytes, 2)) return false;
    uint16_t len = static_cast<uint16_t>(lenBytes[0] | lenBytes[1] << 8);
    if (len > kCacheMaxRecord) {
        m_tooLong = true;
        return false;
    }
    if (len < 3) {
        m_short = true;
        return false;
    }
    body.resize(len);
    body[0] = lenBytes[0];
    body[1] = lenBytes[1];
    if (!Take(body.data() + 2, len - 2u)) {
        m_short = true;
        return false;
    }
    type = body[2];
    return true;
}

void CCacheReader::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_at = m_end = 0;
}

std::u16string CacheRecordName(const std::vector<uint8_t>& body, size_t offset) {
    std::u16string name;
    for (size_t i = offset; i + 1 < body.size(); i += 2) {
        char16_t c = static_cast<char16_t>(body[i] | body[i + 1] << 8);
        if (c == 0) break;
        name += c;
    }
    return name;
}

bool AcceptCacheHeader(const CacheHeader& h, bool readWhole, const CVolume& volume) {
    CVolume& v = const_cast<CVolume&>(volume);
    if (!readWhole || h.tag != kCacheFormatTag || h.driveLetter != v.DriveLetter() || h.incomplete != 0 ||
        h.fileSystem != static_cast<uint8_t>(v.GetPartitionType())) {
        LogWrite("Error in cache header.\n");
        return false;
    }
    // Compared this way round, a save time from the disk cannot overflow the subtraction.
    if (h.savedAt < v.CacheNow() - kCacheMaxAgeSeconds) {
        LogWrite("Too old cache.\n");
        return false;
    }
    if (h.fingerprint == 0) {
        LogWrite("Stale cache: it was saved without a volume fingerprint.\n");
        return false;
    }
    if (v.CacheFingerprint() == 0) {
        LogWrite("Stale cache: the volume's fingerprint cannot be read.\n");
        return false;
    }
    if (h.fingerprint != v.CacheFingerprint()) {
        LogWrite("Stale cache: the volume has changed since it was saved (fingerprint %016llx, now %016llx).\n",
                 static_cast<unsigned long long>(h.fingerprint), static_cast<unsigned long long>(v.CacheFingerprint()));
        return false;
    }
    LogWrite("Cache fingerprint matches (%llu bytes read).\n", static_cast<unsigned long long>(v.FingerprintBytes()));
    return true;
}

bool CleanUpCache(const std::string& cacheFolder, char16_t letter, uint64_t* removed) {
    CScopeTrace trace(1, "CleanUpCache");
    std::string root = cacheFolder.empty() ? CacheFolder() : cacheFolder;
    std::error_code ec;
    if (removed) *removed = 0;
    if (letter != 0) {
        const bool gone = std::filesystem::remove(root + "/" + CacheFileName(letter), ec) && !ec;
        if (gone && removed) *removed = 1;
        return gone;
    }
    bool all = true;
    if (!std::filesystem::is_directory(root, ec)) return true;
    std::vector<std::filesystem::path> emptied;  // folders a cache file was deleted from
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string n = it->path().filename().string();
        const bool cacheName = (n.size() == 17 || (n.size() == 22 && n[12] == 'x')) && n.rfind("~index_dump_", 0) == 0 &&
                               n.substr(n.size() - 4) == ".tmp";
        if (cacheName && it->is_regular_file()) {
            std::error_code rec;
            if (!std::filesystem::remove(it->path(), rec)) {
                all = false;
                continue;
            }
            if (removed) ++*removed;
            if (emptied.empty() || emptied.back() != it->path().parent_path())
                emptied.push_back(it->path().parent_path());
        }
    }
    // The source folders left empty go too (the cache root of a full clean stays).
    std::sort(emptied.begin(), emptied.end(), [](const auto& a, const auto& b) { return a.native().size() > b.native().size(); });
    const std::filesystem::path keep = cacheFolder.empty() ? std::filesystem::path(root) : std::filesystem::path();
    for (const auto& folder : emptied) {
        std::error_code fec;
        if (folder != keep && std::filesystem::is_empty(folder, fec) && !fec) std::filesystem::remove(folder, fec);
    }
    return all;
}
