#include "engine/formats/ContentCheck.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "engine/formats/CarveContext.h"
#include "engine/formats/ContentVerify.h"
#include "engine/formats/ProviderRegistry.h"
#include "platform/ByteSource.h"
#include "platform/Text.h"

namespace {

// Larger files keep the recogniser's check only.
constexpr uint64_t kMaxVerifiedSize = 1ull << 30;

// The type key the path's extension names (a few common spellings map to
// their key), or empty.
std::u16string TypeKeyOf(const std::string& path) {
    std::u16string ext = Utf8ToUtf16(std::filesystem::path(path).extension().string());
    if (ext.size() < 2) return {};
    ext.erase(0, 1);
    for (char16_t& ch : ext)
        if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
    if (ext == u"jpeg" || ext == u"jpe") ext = u"jpg";
    if (ext == u"tiff") ext = u"tif";
    return ext;
}

// The types of the ISO box structure. Their extensions are given loosely (an
// .mp4 written with QuickTime's brand, audio named .mp4, a .mov with MP4
// brands): a file of one passes the check as any of them.
constexpr std::u16string_view kIsoMediaKeys[] = {u"mov", u"mp4", u"m4a", u"m4v", u"3gp", u"heic", u"heif", u"avif", u"cr3"};

bool IsIsoMediaKey(std::u16string_view key) {
    return std::find(std::begin(kIsoMediaKeys), std::end(kIsoMediaKeys), key) != std::end(kIsoMediaKeys);
}

const ProviderRegistry& Registry() {
    static const ProviderRegistry registry = [] {
        ProviderRegistry r;
        RegisterProviders(r);
        return r;
    }();
    return registry;
}

// Whether the file's first bytes carry its type's signature. The first
// cluster is where the entry says: when it holds no file of the type, the
// name's extension says nothing of the bytes, and there is nothing to check.
bool HasSignature(std::u16string_view key, const uint8_t* d, size_t n) {
    auto at = [&](size_t offset, std::string_view magic) {
        return n >= offset + magic.size() && std::memcmp(d + offset, magic.data(), magic.size()) == 0;
    };
    if (key == u"jpg") return at(0, "\xFF\xD8\xFF");
    if (key == u"png") return at(0, "\x89PNG\r\n\x1A\n");
    if (key == u"gif") return at(0, "GIF87a") || at(0, "GIF89a");
    if (key == u"bmp") return at(0, "BM");
    if (key == u"tif" || key == u"dng") return at(0, std::string_view("II*\0", 4)) || at(0, std::string_view("MM\0*", 4));
    if (key == u"psd") return at(0, "8BPS");
    if (key == u"cr2" || key == u"nef" || key == u"arw" || key == u"pef" || key == u"srw")
        return at(0, std::string_view("II*\0", 4)) || at(0, std::string_view("MM\0*", 4));
    if (key == u"orf") return at(0, "IIRO") || at(0, "MMOR") || at(0, "IISR");
    if (key == u"rw2") return at(0, std::string_view("IIU\0", 4));
    if (key == u"raf") return at(0, "FUJIFILMCCD-RAW ");
    if (key == u"mp3") return at(0, "ID3") || (n >= 2 && d[0] == 0xFF && (d[1] & 0xE0) == 0xE0);
    if (key == u"mov")
        return at(4, "ftyp") || at(4, "moov") || at(4, "mdat") || at(4, "wide") || at(4, "free") || at(4, "skip");
    if (IsIsoMediaKey(key)) return at(4, "ftyp");
    if (key == u"pdf") return at(0, "%PDF-");
    if (key == u"zip" || key == u"docx" || key == u"xlsx" || key == u"pptx") return at(0, "PK\x03\x04");
    if (key == u"doc" || key == u"xls" || key == u"ppt") return at(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
    if (key == u"pst" || key == u"ost") return at(0, "!BDN");
    return true;
}

// The recovered file followed by zeros, as a file on a volume is followed by
// whatever lies behind it: the recognisers read in windows that may run
// past a file's last byte, which is no sign of a broken file. Read as
// clusters of 4,096 bytes from its first byte.
class CPaddedFile final : public ICarveSource {
public:
    static constexpr uint32_t kUnit = 4096;
    static constexpr uint64_t kPadding = 64 << 10;
    CPaddedFile(std::shared_ptr<CByteSource> bytes, uint64_t fileLength)
        : m_bytes(std::move(bytes)), m_fileLength(fileLength) {}
    uint32_t ClusterSize() const override { return kUnit; }
    bool ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) override {
        if (cluster > (UINT64_MAX - offset) / kUnit) return false;
        const uint64_t start = cluster * kUnit + offset;
        if (start >= m_fileLength + kPadding) return false;
        const uint32_t delivered = static_cast<uint32_t>(std::min<uint64_t>(length, m_fileLength + kPadding - start));
        std::memset(buffer, 0, delivered);
        if (start < m_fileLength) {
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(delivered, m_fileLength - start));
            if (m_bytes->ReadAt(start, buffer, want) != static_cast<int64_t>(want)) return false;
        }
        length = delivered;
        return true;
    }

private:
    std::shared_ptr<CByteSource> m_bytes;
    uint64_t m_fileLength;
};

}  // namespace

ContentVerdict CheckRecoveredContent(const std::string& path, uint32_t slack) {
    // Only the extension's own type is looked for: a .docx must be a
    // document, not any ZIP archive.
    const std::u16string key = TypeKeyOf(path);
    ScanTypeSet types;
    types.registry = &Registry();
    EnableType(types, key);
    if (IsIsoMediaKey(key))
        for (std::u16string_view k : kIsoMediaKeys) EnableType(types, k);
    if (types.detectorCount == 0) return ContentVerdict::NoCheck;
    std::error_code ec;
    const uint64_t length = std::filesystem::file_size(path, ec);
    if (ec || length == 0) return ContentVerdict::NoCheck;
    // The file's own bytes, never taken for an image container it may be.
    ByteSourceError openError;
    auto bytes = OpenPlainFile(path, openError);
    if (!bytes) return ContentVerdict::NoCheck;
    CPaddedFile file(std::move(bytes), length);
    CarveContext context;
    if (!context.Init(&file, 0, nullptr, &types)) return ContentVerdict::NoCheck;
    if (!context.ReadAt(uint64_t(0), static_cast<uint32_t>(std::min<uint64_t>(length, 16))) ||
        !HasSignature(key, context.Data(), context.length))
        return ContentVerdict::NoCheck;
    context.Reset(0);
    if (!DetectAt(types, context) || context.size > length || length - context.size > slack)
        return ContentVerdict::Failed;
    // The framing holds; now the checksums and coding rules, where the type has them.
    if (length > kMaxVerifiedSize) return ContentVerdict::NoCheck;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ContentVerdict::NoCheck;
    void* map = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return ContentVerdict::NoCheck;
    const std::optional<bool> whole =
        VerifyContent(key, static_cast<const uint8_t*>(map), static_cast<size_t>(context.size));
    ::munmap(map, static_cast<size_t>(length));
    if (!whole) return ContentVerdict::NoCheck;
    return *whole ? ContentVerdict::Passed : ContentVerdict::Failed;
}
