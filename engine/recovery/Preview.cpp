#include "engine/recovery/Preview.h"

#include <algorithm>
#include <limits>
#include <new>

#include "platform/ByteSource.h"
#include "platform/Text.h"

namespace preview {

std::string ExtensionOf(std::u16string_view name) {
    const size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos) return {};
    std::string ext;
    for (char16_t c : name.substr(dot)) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        // A non-ASCII character matches no known extension.
        ext += c < 0x80 ? static_cast<char>(c) : '\x7f';
    }
    return ext;
}

namespace {

template <size_t N>
bool InList(const std::array<std::string_view, N>& list, std::u16string_view name) {
    const std::string ext = ExtensionOf(name);
    return !ext.empty() && std::find(list.begin(), list.end(), ext) != list.end();
}

}  // namespace

bool HasImageExtension(std::u16string_view name) { return InList(kImageExtensions, name); }
bool HasTextExtension(std::u16string_view name) { return InList(kTextExtensions, name); }
bool IsRtfName(std::u16string_view name) { return ExtensionOf(name) == ".RTF"; }

bool IsPreviewable(const PreviewItem& item) {
    if (!item.carved && (item.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ENCRYPTED))) return false;
    return (HasTextExtension(item.name) && item.size < kTextLimit) ||
           (HasImageExtension(item.name) && item.size < kImageLimit);
}

Neighbours FindNeighbours(const std::vector<PreviewItem>& items, size_t current) {
    Neighbours n;
    const size_t count = items.size();
    if (current >= count) return n;
    for (size_t i = current == 0 ? count - 1 : current - 1; i != current; i = i == 0 ? count - 1 : i - 1)
        if (IsPreviewable(items[i])) {
            n.previous = i;
            break;
        }
    for (size_t i = current + 1 == count ? 0 : current + 1; i != current; i = i + 1 == count ? 0 : i + 1)
        if (IsPreviewable(items[i])) {
            n.next = i;
            break;
        }
    return n;
}

bool OpenIndexItem(CVolume& volume, uint32_t id, const std::u16string& path, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    return id != 0 ? volume.OpenFile(id, file) && file : volume.OpenFileByPath(path, file) && file;
}

bool ReadWhole(IGenericFile& file, uint64_t limit, std::vector<uint8_t>& out) {
    out.clear();
    const uint64_t size = file.GetSize();
    if (size > limit || size > std::numeric_limits<uint32_t>::max()) return false;
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t got = 0;
    const bool ok = file.Read(out.data(), static_cast<uint32_t>(size), got) && got == size;
    file.Rewind();
    if (!ok) out.clear();
    return ok;
}

bool ReadCarved(CVolume& volume, uint64_t firstCluster, uint64_t size, std::vector<uint8_t>& out) {
    PreviewItem item;
    item.carved = true;
    item.firstCluster = firstCluster;
    item.size = size;
    return ReadCarved(volume, item, out);
}

bool ReadCarved(CVolume& volume, const PreviewItem& item, std::vector<uint8_t>& out) {
    const uint64_t size = item.size;
    out.clear();
    if (size == 0 || size > kCarvedLimit) return false;
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t length = static_cast<uint32_t>(size);
    if (!volume.ReadExtents(ExtentsOf(item.fragments, item.firstCluster, size), 0, out.data(), length) ||
        length == 0) {
        out.clear();
        return false;
    }
    out.resize(std::min<size_t>(length, out.size()));  // the extent may end with the volume
    return true;
}

StreamResult StreamText(IGenericFile& file, uint64_t stopAfter, const ChunkSink& sink, const PercentSink& percent) {
    StreamResult r;
    file.Rewind();
    const uint64_t size = file.GetSize();
    std::vector<uint8_t> chunk(kStreamChunk);
    for (;;) {
        if (r.delivered >= stopAfter) {
            r.cut = true;
            break;
        }
        uint32_t got = 0;
        if (!file.Read(chunk.data(), kStreamChunk, got)) {
            r.readFailed = true;
            break;
        }
        got = std::min(got, kStreamChunk);
        if (got == 0) break;
        r.delivered += got;
        if (percent) percent(size == 0 ? 100 : static_cast<int>(std::min<uint64_t>(r.delivered, size) * 100 / size));
        if (sink(chunk.data(), got) != WalkResult::Continue) break;
    }
    return r;
}

namespace {

// Windows-1252 0x80..0x9F (0 where the code page has no character).
constexpr uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

uint32_t FromCp1252(uint8_t b) { return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The character a control word stands for, or 0.
uint32_t CharOfWord(std::string_view word) {
    static constexpr struct {
        std::string_view word;
        uint32_t cp;
    } kChars[] = {{"par", '\n'},        {"line", '\n'},      {"sect", '\n'},       {"row", '\n'},
                  {"tab", '\t'},        {"cell", '\t'},      {"emdash", 0x2014},   {"endash", 0x2013},
                  {"bullet", 0x2022},   {"lquote", 0x2018},  {"rquote", 0x2019},   {"ldblquote", 0x201C},
                  {"rdblquote", 0x201D}};
    for (const auto& c : kChars)
        if (c.word == word) return c.cp;
    return 0;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Groups whose content is not text.
bool IsSkippedDestination(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "fonttbl", "colortbl", "stylesheet", "info",     "pict",      "object",   "header",   "footer",
        "headerl", "headerr",  "headerf",    "footerl",  "footerr",   "footerf",  "listtable", "listoverridetable",
        "rsidtbl", "generator", "xmlnstbl",  "themedata", "colorschememapping", "latentstyles", "datastore",
        "filetbl", "revtbl",   "fldinst",    "field-instruction"};
    return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

}  // namespace

std::string RtfToPlainText(std::string_view rtf) {
    struct Group {
        bool skip = false;
        int uc = 1;  // characters that stand in for a \u character
    };
    // Nesting deeper than this is taken as one level (hostile input stays bounded).
    constexpr size_t kMaxDepth = 256;
    std::vector<Group> groups(1);
    size_t overflow = 0;
    std::string out;
    int pendingSkip = 0;  // fallback characters after \uN still to drop
    const size_t n = rtf.size();
    auto emit = [&](uint32_t cp) {
        if (pendingSkip > 0) {
            --pendingSkip;
            return;
        }
        if (!groups.back().skip) AppendUtf8(out, cp);
    };
    for (size_t i = 0; i < n;) {
        const char c = rtf[i];
        if (c == '{') {
            if (groups.size() < kMaxDepth)
                groups.push_back(groups.back());
            else
                ++overflow;
            pendingSkip = 0;
            ++i;
        } else if (c == '}') {
            if (overflow)
                --overflow;
            else if (groups.size() > 1)
                groups.pop_back();
            pendingSkip = 0;
            ++i;
        } else if (c == '\r' || c == '\n') {
            ++i;
        } else if (c != '\\') {
            emit(static_cast<uint8_t>(c));
            ++i;
        } else if (i + 1 >= n) {
            ++i;
        } else if (IsLetter(rtf[i + 1])) {
            size_t j = i + 1;
            while (j < n && IsLetter(rtf[j]) && j - i <= 32) ++j;
            const std::string_view word = rtf.substr(i + 1, j - i - 1);
            bool hasParam = false;
            bool negative = false;
            int64_t param = 0;
            if (j < n && rtf[j] == '-') {
                negative = true;
                ++j;
            }
            const size_t digits = j;
            while (j < n && rtf[j] >= '0' && rtf[j] <= '9' && j - digits < 10) {
                param = param * 10 + (rtf[j] - '0');
                hasParam = true;
                ++j;
            }
            if (negative) param = -param;
            if (j < n && rtf[j] == ' ') ++j;
            i = j;
            Group& g = groups.back();
            if (IsSkippedDestination(word)) {
                g.skip = true;
            } else if (word == "bin" && hasParam && param > 0) {
                i += std::min<uint64_t>(static_cast<uint64_t>(param), n - i);
            } else if (word == "uc" && hasParam) {
                g.uc = static_cast<int>(std::clamp<int64_t>(param, 0, 16));
            } else if (word == "u" && hasParam) {
                const int64_t cp = param < 0 ? param + 65536 : param;
                pendingSkip = 0;
                if (!g.skip && cp > 0 && cp < 0x110000 && !(cp >= 0xD800 && cp < 0xE000))
                    AppendUtf8(out, static_cast<uint32_t>(cp));
                pendingSkip = g.uc;
            } else if (const uint32_t cp = CharOfWord(word)) {
                emit(cp);
            }
        } else {
            const char s = rtf[i + 1];
            i += 2;
            if (s == '*') {
                groups.back().skip = true;
            } else if (s == '\'') {
                const int hi = i < n ? HexValue(rtf[i]) : -1;
                const int lo = i + 1 < n ? HexValue(rtf[i + 1]) : -1;
                if (hi >= 0 && lo >= 0) {
                    i += 2;
                    const uint32_t cp = FromCp1252(static_cast<uint8_t>(hi * 16 + lo));
                    if (cp) emit(cp);
                    else emit('?');
                }
            } else if (s == '\\' || s == '{' || s == '}') {
                emit(static_cast<uint8_t>(s));
            } else if (s == '~') {
                emit(0xA0);
            } else if (s == '_') {
                emit('-');
            } else if (s == '\n' || s == '\r') {
                emit('\n');
            }
        }
    }
    return out;
}

namespace {

// What keeps bytes from reading as text: NUL, control characters besides
// tab, LF, CR, FF and ESC, bytes that are no UTF-8 (a sequence cut by the
// end of what was read counts as text).
struct TextCounts {
    bool nul = false;
    size_t controls = 0;
    size_t invalid = 0;
};

TextCounts CountText(std::string_view s) {
    TextCounts t;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        if (b < 0x80) {
            t.nul |= b == 0;
            if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != 0x1B) || b == 0x7F) ++t.controls;
            ++i;
            continue;
        }
        bool cut = false;
        const size_t n = Utf8SequenceLength(s, i, &cut);
        if (cut) break;
        if (n == 0) {
            ++t.invalid;
            ++i;
        } else {
            i += n;
        }
    }
    return t;
}

}  // namespace

bool LooksLikeText(const uint8_t* data, size_t size) {
    const TextCounts t = CountText(std::string_view(reinterpret_cast<const char*>(data), size));
    return !t.nul && t.invalid == 0 && t.controls * 100 <= size;
}

bool LooksBinary(std::string_view bytes) {
    const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    if (n >= 2 && ((d[0] == 0xFF && d[1] == 0xFE) || (d[0] == 0xFE && d[1] == 0xFF))) return false;  // UTF-16
    const TextCounts t = CountText(bytes);
    return t.nul || t.controls * 100 > n || t.invalid * 10 > n;
}

namespace {

// Streams a whole text of at most kTextLimit bytes (more delivered is cut).
void StreamInto(IGenericFile& file, uint64_t stopAfter, bool rich, const PercentSink& percent,
                QuickViewContent& c) {
    std::string raw;
    const StreamResult r = StreamText(
        file, stopAfter,
        [&raw](const uint8_t* data, size_t size) {
            raw.append(reinterpret_cast<const char*>(data), size);
            return WalkResult::Continue;
        },
        percent);
    c.readFailed = r.readFailed;
    c.shown = rich ? ShownAs::RichText : ShownAs::PlainText;
    c.text = rich ? RtfToPlainText(raw) : std::move(raw);
}

}  // namespace

QuickViewContent PrepareQuickView(CVolume& volume, const PreviewItem& item, bool asText, const ImageDecoder& decode,
                                  const PercentSink& percent) {
    QuickViewContent c;
    if (item.carved) {
        std::vector<uint8_t> data;
        if (item.size <= kCarvedLimit && ReadCarved(volume, item, data) && decode &&
            decode(data.data(), data.size())) {
            c.shown = ShownAs::Image;
            c.image = std::move(data);
        }
        return c;
    }
    std::unique_ptr<IGenericFile> file;
    if (!OpenIndexItem(volume, item.id, item.path, file)) return c;
    const uint64_t size = file->GetSize();
    if (!asText) {
        if (size > kImageLimit) return c;
        std::vector<uint8_t> data;
        if (ReadWhole(*file, kImageLimit, data) && decode && decode(data.data(), data.size())) {
            c.shown = ShownAs::Image;
            c.image = std::move(data);
            return c;
        }
    }
    if (size > kTextLimit) return c;
    if (!asText && !HasTextExtension(item.name)) return c;
    // The size read at open is the most a text may deliver.
    StreamInto(*file, kTextLimit, IsRtfName(item.name), percent, c);
    return c;
}

QuickViewContent PreparePane(IGenericFile& file, const std::u16string& name, const ImageDecoder& decode) {
    QuickViewContent c;
    if (HasImageExtension(name) && file.GetSize() <= kImageLimit) {
        std::vector<uint8_t> data;
        if (ReadWhole(file, kImageLimit, data) && decode && decode(data.data(), data.size())) {
            c.shown = ShownAs::Image;
            c.image = std::move(data);
            return c;
        }
    }
    StreamInto(file, kPaneTextLimit, IsRtfName(name), nullptr, c);
    return c;
}

}  // namespace preview

namespace preview {

namespace {

// Sorted, touching and overlapping ranges joined.
std::vector<DataRange> Joined(std::vector<DataRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const DataRange& a, const DataRange& b) { return a.begin < b.begin; });
    std::vector<DataRange> out;
    for (const DataRange& r : ranges) {
        if (r.end <= r.begin) continue;
        if (!out.empty() && r.begin <= out.back().end) out.back().end = std::max(out.back().end, r.end);
        else out.push_back(r);
    }
    return out;
}

}  // namespace

bool CItemBytes::Open(CVolume& volume, const PreviewItem& item, std::string& why) {
    m_volume = &volume;
    m_item = item;
    m_unreadable.clear();
    m_overwritten.clear();
    if (item.carved) {
        m_size = item.size;
        return true;
    }
    return Reopen(why);
}

bool CItemBytes::Reopen(std::string& why) {
    if (m_content.data) {
        for (const DataRange& r : m_content.data->OverwrittenRanges()) m_overwritten.push_back(r);
        m_overwritten = Joined(std::move(m_overwritten));
    }
    m_content.data.reset();
    m_content.streams.clear();
    m_content.keep.reset();
    m_file.reset();
    m_position = 0;
    m_pendingZeros = 0;
    m_ended = false;
    if (m_item.existing) {
        if (!OpenIndexItem(*m_volume, m_item.id, m_item.path, m_file)) {
            why = "the file cannot be opened";
            return false;
        }
        m_size = m_file->GetSize();
        return true;
    }
    m_content = FileContent();
    m_volume->OpenFileContent(m_item.id, false, m_content, nullptr);
    if (m_content.problem) {
        why = m_content.problem == ItemProblem::NoData ? "it has no data left: only its name was found"
                                                       : "its record cannot be read";
        return false;
    }
    if (m_content.encrypted) {
        why = "it is encrypted: its content cannot be shown";
        m_content.data.reset();
        return false;
    }
    m_size = m_content.data ? m_content.data->End() : 0;
    return true;
}

void CItemBytes::MarkUnreadable(uint64_t begin, uint64_t end) {
    m_unreadable.push_back({begin, end});
    m_unreadable = Joined(std::move(m_unreadable));
}

std::vector<DataRange> CItemBytes::Overwritten() const {
    std::vector<DataRange> all = m_overwritten;
    if (m_content.data)
        for (const DataRange& r : m_content.data->OverwrittenRanges()) all.push_back(r);
    return Joined(std::move(all));
}

uint32_t CItemBytes::Pull(uint8_t* buffer, uint32_t length) {
    if (length == 0) return 0;
    if (m_pendingZeros > 0) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, m_pendingZeros));
        std::fill(buffer, buffer + n, uint8_t(0));
        m_pendingZeros -= n;
        m_position += n;
        return n;
    }
    if (m_ended) return 0;
    if (m_file) {
        uint32_t got = 0;
        if (!m_file->Read(buffer, length, got)) {
            MarkUnreadable(m_position + got, std::max(m_size, m_position + got));
            m_ended = true;
        } else if (got == 0) {
            m_ended = true;
        }
        m_position += got;
        return got;
    }
    IItemReader* reader = m_content.data.get();
    if (!reader) {
        m_ended = true;
        return 0;
    }
    bool hole = false;
    const uint64_t span = reader->Span(hole);
    if (span == 0) {
        m_ended = true;
        return 0;
    }
    if (hole) {
        reader->SkipHole(span);
        m_pendingZeros = span;
        return Pull(buffer, length);
    }
    uint32_t got = 0;
    const bool ok = reader->Read(buffer, static_cast<uint32_t>(std::min<uint64_t>(length, span)), got);
    m_position += got;
    if (ok) {
        if (got == 0) m_ended = true;
        return got;
    }
    // A read error: what the source refuses is shown as zeros, as recovery writes it.
    CByteSource* source = m_volume->Source().get();
    uint64_t skip = source && source->Gone() ? 0 : reader->SkipUnreadable();
    if (skip == 0 && source && !source->Gone()) source->StillAnswering();
    if (skip == 0 && source && source->Gone()) skip = m_size > m_position ? m_size - m_position : 0;
    if (skip == 0) {
        MarkUnreadable(m_position, std::max(m_size, m_position));
        m_ended = true;
    } else {
        MarkUnreadable(m_position, m_position + skip);
        m_pendingZeros = skip;
    }
    return got;
}

void CItemBytes::Read(uint64_t at, uint32_t n, std::vector<uint8_t>& out) {
    out.clear();
    if (!m_volume || at >= m_size || n == 0) return;
    n = static_cast<uint32_t>(std::min<uint64_t>(n, m_size - at));
    if (m_item.carved) {
        out.resize(n);
        uint32_t length = n;
        if (!m_volume->ReadExtents(ExtentsOf(m_item.fragments, m_item.firstCluster, m_size), at, out.data(), length) ||
            length == 0) {
            std::fill(out.begin(), out.end(), uint8_t(0));
            MarkUnreadable(at, at + n);
        } else {
            out.resize(std::min<size_t>(length, n));  // the extent may end with the volume
        }
        return;
    }
    std::string why;
    if (at < m_position && !Reopen(why)) return;
    std::vector<uint8_t> scratch(std::max<uint32_t>(n, 64u << 10));
    while (m_position < at) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(scratch.size(), at - m_position));
        if (Pull(scratch.data(), want) == 0) return;
    }
    out.resize(n);
    uint32_t filled = 0;
    while (filled < n) {
        const uint32_t got = Pull(out.data() + filled, n - filled);
        if (got == 0) break;
        filled += got;
    }
    out.resize(filled);
}

}  // namespace preview
