// PDF documents.
//
// The file ends at the first "%%EOF" that ends after byte 4,096 (a
// linearized file has an earlier one after its first-page section), plus
// one line end, or, when incremental updates follow it, at the last
// update's marker; the search gives up at 31,457,280 bytes. The file must have
// a trailer (files with cross-reference streams only are not taken). The
// title comes from the document information dictionary: the trailer's /Info
// reference, the cross-reference table at startxref (and the older tables
// its /Prev entries name, each visited once, at most kPdfMaxXrefSections),
// the object's /Title and /Author strings (literal or hex; PDFDocEncoding or
// UTF-16 with its byte order mark). Finding neither never rejects the file.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <set>
#include <string>

#include "engine/formats/CarveContext.h"
#include "engine/formats/DocumentProviders.h"
#include "platform/Text.h"

namespace {

constexpr std::u16string_view kPdfKeys[] = {u"pdf"};
constexpr uint32_t kEndSearchRead = 1024;
constexpr uint32_t kTrailerSearchRead = 512;
constexpr size_t kMaxStringBytes = 65536;  // a longer string token is not taken

// Reads up to want bytes at position, halving the request down to one byte
// when the source ends sooner.
bool ReadSome(CarveContext& c, uint64_t position, uint32_t want) {
    while (true) {
        if (c.ReadAt(position, want)) return true;
        if (want <= 1) return false;
        want /= 2;
    }
}

// Byte access to [0, end) of the candidate through a 1,024-byte window.
class PdfCursor {
public:
    PdfCursor(CarveContext& c, uint64_t end) : m_c(c), m_end(end) {}
    // The byte at position, or -1 past the end, on a failed read or a stop.
    int At(uint64_t position) {
        if (position >= m_end) return -1;
        if (position < m_base || position >= m_base + m_length) {
            if (m_c.Stopped()) return -1;
            const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(m_window.size(), m_end - position));
            if (!ReadSome(m_c, position, want)) return -1;
            m_base = position;
            m_length = m_c.length;
            std::memcpy(m_window.data(), m_c.Data(), m_length);
        }
        return m_window[position - m_base];
    }
    uint64_t End() const { return m_end; }

private:
    CarveContext& m_c;
    uint64_t m_end;
    uint64_t m_base = 0;
    uint32_t m_length = 0;
    std::array<uint8_t, 1024> m_window {};
};

enum class Tok { End, DictOpen, DictClose, ArrayOpen, ArrayClose, Name, String, Word, Other };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // name without "/", word, or the decoded bytes of a string
};

bool IsWhite(int b) { return b == 0 || b == 9 || b == 10 || b == 12 || b == 13 || b == 32; }
bool IsDelimiter(int b) {
    return b == '(' || b == ')' || b == '<' || b == '>' || b == '[' || b == ']' || b == '{' || b == '}' || b == '/' ||
           b == '%';
}
int HexValue(int b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return -1;
}

// The tokens of PDF syntax: dictionaries, arrays, names, literal strings
// (nested parentheses and backslash escapes), hex strings, comments and
// plain words (numbers, keywords). Every token moves the position forward;
// the end of the file (or a failed read) ends the stream of tokens.
class PdfLexer {
public:
    explicit PdfLexer(PdfCursor& cursor) : m_cur(cursor) {}
    uint64_t position = 0;

    Token Next() {
        Token t;
        int b;
        while (true) {
            b = m_cur.At(position);
            if (b < 0) return t;
            if (IsWhite(b)) {
                ++position;
            } else if (b == '%') {
                while (b >= 0 && b != 10 && b != 13) b = m_cur.At(++position);
            } else {
                break;
            }
        }
        ++position;
        switch (b) {
            case '<':
                if (m_cur.At(position) == '<') {
                    ++position;
                    t.kind = Tok::DictOpen;
                    return t;
                }
                return HexString();
            case '>':
                t.kind = Tok::Other;
                if (m_cur.At(position) == '>') {
                    ++position;
                    t.kind = Tok::DictClose;
                }
                return t;
            case '[': t.kind = Tok::ArrayOpen; return t;
            case ']': t.kind = Tok::ArrayClose; return t;
            case '(': return LiteralString();
            case '/':
                t.kind = Tok::Name;
                ReadRegular(t.text);
                return t;
            case ')': case '{': case '}':
                t.kind = Tok::Other;
                return t;
            default:
                t.kind = Tok::Word;
                t.text.push_back(static_cast<char>(b));
                ReadRegular(t.text);
                return t;
        }
    }

private:
    void ReadRegular(std::string& out) {
        while (out.size() < 256) {
            const int b = m_cur.At(position);
            if (b < 0 || IsWhite(b) || IsDelimiter(b)) return;
            out.push_back(static_cast<char>(b));
            ++position;
        }
    }

    Token HexString() {
        Token t;
        int high = -1;
        while (true) {
            const int b = m_cur.At(position++);
            if (b < 0) return Token {};
            if (b == '>') break;
            const int v = HexValue(b);
            if (v < 0) {
                if (IsWhite(b)) continue;
                return Token {};
            }
            if (high < 0) {
                high = v;
            } else {
                t.text.push_back(static_cast<char>(high << 4 | v));
                high = -1;
                if (t.text.size() > kMaxStringBytes) return Token {};
            }
        }
        if (high >= 0) t.text.push_back(static_cast<char>(high << 4));  // an odd last digit is followed by 0
        t.kind = Tok::String;
        return t;
    }

    Token LiteralString() {
        Token t;
        int depth = 1;
        while (true) {
            int b = m_cur.At(position++);
            if (b < 0 || t.text.size() > kMaxStringBytes) return Token {};
            if (b == '(') {
                ++depth;
            } else if (b == ')') {
                if (--depth == 0) break;
            } else if (b == '\\') {
                b = m_cur.At(position++);
                if (b < 0) return Token {};
                switch (b) {
                    case 'n': b = '\n'; break;
                    case 'r': b = '\r'; break;
                    case 't': b = '\t'; break;
                    case 'b': b = '\b'; break;
                    case 'f': b = '\f'; break;
                    case '\r':  // a line continuation
                        if (m_cur.At(position) == '\n') ++position;
                        continue;
                    case '\n':
                        continue;
                    default:
                        if (b >= '0' && b <= '7') {
                            int v = b - '0';
                            for (int i = 0; i < 2; ++i) {
                                const int d = m_cur.At(position);
                                if (d < '0' || d > '7') break;
                                v = v * 8 + (d - '0');
                                ++position;
                            }
                            b = v & 0xFF;
                        }
                        break;
                }
            }
            t.text.push_back(static_cast<char>(b));
        }
        t.kind = Tok::String;
        return t;
    }

    PdfCursor& m_cur;
};

bool ParseUnsigned(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 19) return false;
    v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    return true;
}

bool IsUnsigned(const Token& t) {
    uint64_t v;
    return t.kind == Tok::Word && ParseUnsigned(t.text, v);
}

// Skips one value whose first token has been read: a nested dictionary or
// array up to its close, or an indirect reference "n g R".
bool SkipValue(PdfLexer& lex, const Token& first) {
    if (first.kind == Tok::End) return false;
    if (first.kind == Tok::DictOpen || first.kind == Tok::ArrayOpen) {
        int depth = 1;
        while (depth > 0) {
            const Token t = lex.Next();
            if (t.kind == Tok::End) return false;
            if (t.kind == Tok::DictOpen || t.kind == Tok::ArrayOpen) ++depth;
            if (t.kind == Tok::DictClose || t.kind == Tok::ArrayClose) --depth;
        }
        return true;
    }
    if (IsUnsigned(first)) {
        const uint64_t saved = lex.position;
        const Token g = lex.Next();
        const Token r = lex.Next();
        if (!(IsUnsigned(g) && r.kind == Tok::Word && r.text == "R")) lex.position = saved;
    }
    return true;
}

// Walks the dictionary whose "<<" has just been read, calling onKey for
// each key with the lexer before the key's value; onKey returns true when it
// consumed the value, false to have it skipped. Ends after the ">>"; false
// when the dictionary is cut off.
template <typename OnKey>
bool WalkDictionary(PdfLexer& lex, OnKey onKey) {
    while (true) {
        const Token key = lex.Next();
        if (key.kind == Tok::DictClose) return true;
        if (key.kind != Tok::Name) return false;
        if (onKey(key.text)) continue;
        if (!SkipValue(lex, lex.Next())) return false;
    }
}

// "n g R" at the lexer: the object number.
bool ReadReference(PdfLexer& lex, uint64_t& object) {
    const Token n = lex.Next();
    const Token g = lex.Next();
    const Token r = lex.Next();
    return ParseUnsigned(n.text, object) && n.kind == Tok::Word && IsUnsigned(g) && r.kind == Tok::Word && r.text == "R";
}

std::u16string DecodeTextString(const std::string& bytes) {
    auto units = [&](size_t from, bool bigEndian) {
        std::u16string s;
        for (size_t i = from; i + 1 < bytes.size(); i += 2) {
            const uint8_t a = static_cast<uint8_t>(bytes[i]);
            const uint8_t b = static_cast<uint8_t>(bytes[i + 1]);
            s.push_back(static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a)));
        }
        return s;
    };
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE && static_cast<uint8_t>(bytes[1]) == 0xFF)
        return units(2, true);
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE)
        return units(2, false);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToUtf16(bytes.substr(3));
    // PDFDocEncoding: the printable range is that of CP1252.
    return CodePageToUtf16(bytes, "CP1252");
}

// The offset of object `object` from the cross-reference table at x and
// the older tables its trailers' /Prev entries name.
std::optional<uint64_t> FindObjectOffset(PdfLexer& lex, uint64_t x, uint64_t object) {
    std::set<uint64_t> visited;
    for (uint32_t section = 0; section < kPdfMaxXrefSections; ++section) {
        if (x == 0 || !visited.insert(x).second) return std::nullopt;
        lex.position = x;
        const Token keyword = lex.Next();
        if (keyword.kind != Tok::Word || keyword.text != "xref") return std::nullopt;
        std::optional<uint64_t> prev;
        while (true) {
            const Token first = lex.Next();
            if (first.kind == Tok::Word && first.text == "trailer") {
                if (lex.Next().kind != Tok::DictOpen) return std::nullopt;
                const bool whole = WalkDictionary(lex, [&](const std::string& key) {
                    if (key != "Prev") return false;
                    const Token v = lex.Next();
                    uint64_t p;
                    if (v.kind == Tok::Word && ParseUnsigned(v.text, p)) prev = p;
                    return true;
                });
                if (!whole) return std::nullopt;
                break;
            }
            uint64_t start, count;
            const Token countToken = lex.Next();
            if (!ParseUnsigned(first.text, start) || !ParseUnsigned(countToken.text, count)) return std::nullopt;
            // count comes from the file; each entry is three tokens that move
            // forward, so the end of the file bounds the loop.
            for (uint64_t i = 0; i < count; ++i) {
                const Token offset = lex.Next();
                const Token generation = lex.Next();
                const Token type = lex.Next();
                if (!IsUnsigned(offset) || !IsUnsigned(generation) || type.kind != Tok::Word) return std::nullopt;
                if (start + i == object) {
                    uint64_t at;
                    if (type.text != "n" || !ParseUnsigned(offset.text, at)) return std::nullopt;
                    return at;
                }
            }
        }
        if (!prev) return std::nullopt;
        x = *prev;
    }
    return std::nullopt;
}

// The document's title and author: trailer /Info -> startxref -> xref ->
// object -> /Title and /Author.
DocumentProperties ReadInfo(CarveContext& c, uint64_t trailer, uint64_t fileEnd) {
    PdfCursor cursor(c, fileEnd);
    PdfLexer lex(cursor);
    lex.position = trailer + 7;
    if (lex.Next().kind != Tok::DictOpen) return {};
    std::optional<uint64_t> info;
    const bool whole = WalkDictionary(lex, [&](const std::string& key) {
        if (key != "Info") return false;
        uint64_t n;
        if (ReadReference(lex, n)) info = n;
        return true;
    });
    if (!whole || !info) return {};
    // startxref and the offset of the cross-reference table.
    uint64_t x = 0;
    while (true) {
        const Token t = lex.Next();
        if (t.kind == Tok::End) return {};
        if (t.kind == Tok::Word && t.text == "startxref") {
            if (!ParseUnsigned(lex.Next().text, x)) return {};
            break;
        }
    }
    const std::optional<uint64_t> at = FindObjectOffset(lex, x, *info);
    if (!at) return {};
    lex.position = *at;
    uint64_t number;
    const Token n = lex.Next();
    const Token g = lex.Next();
    const Token obj = lex.Next();
    if (!ParseUnsigned(n.text, number) || number != *info || !IsUnsigned(g) || obj.text != "obj") return {};
    if (lex.Next().kind != Tok::DictOpen) return {};
    DocumentProperties properties;
    WalkDictionary(lex, [&](const std::string& key) {
        if (key != "Title" && key != "Author") return false;
        const Token v = lex.Next();
        if (v.kind == Tok::String) (key == "Title" ? properties.title : properties.creator) = DecodeTextString(v.text);
        else SkipValue(lex, v);
        return true;
    });
    return properties;
}

// The end of the first "%%EOF" that ends after kPdfMinEndMarker, searched in
// 1,024-byte reads from `from` while the read position is within the cap.
std::optional<uint64_t> FindEndMarker(CarveContext& c, uint64_t from) {
    static constexpr char kMarker[] = "%%EOF";
    constexpr size_t kMarkerLength = 5;
    std::array<char, kEndSearchRead + kMarkerLength> window {};
    size_t carry = 0;  // bytes of the previous read kept in front of this one
    uint64_t position = from;
    while (position <= kPdfEndSearchCap) {
        if (c.Stopped()) return std::nullopt;
        if (!ReadSome(c, position, kEndSearchRead)) return std::nullopt;
        const uint32_t got = c.length;
        std::memcpy(window.data() + carry, c.Data(), got);
        const size_t total = carry + got;
        const uint64_t windowStart = position - carry;
        for (size_t i = 0; i + kMarkerLength <= total; ++i) {
            if (std::memcmp(window.data() + i, kMarker, kMarkerLength) != 0) continue;
            const uint64_t end = windowStart + i + kMarkerLength;
            if (end > kPdfMinEndMarker) return end;
        }
        carry = std::min(total, kMarkerLength - 1);
        std::memmove(window.data(), window.data() + total - carry, carry);
        position += got;
    }
    return std::nullopt;
}

// The position of the last `keyword` that starts at or after `floor` and
// ends by `end`, searched backwards in 512-byte reads.
template <size_t N>
std::optional<uint64_t> FindLast(CarveContext& c, const char (&keyword)[N], uint64_t end, uint64_t floor = 0) {
    constexpr size_t kKeywordLength = N - 1;
    std::array<char, kTrailerSearchRead + kKeywordLength> window {};
    size_t carry = 0;  // bytes of the later read kept behind this one
    while (end > floor) {
        if (c.Stopped()) return std::nullopt;
        const uint64_t start = end - floor > kTrailerSearchRead ? end - kTrailerSearchRead : floor;
        const uint32_t length = static_cast<uint32_t>(end - start);
        if (!c.ReadAt(start, length)) return std::nullopt;
        std::memmove(window.data() + length, window.data(), carry);
        std::memcpy(window.data(), c.Data(), length);
        const size_t total = length + carry;
        for (size_t i = total >= kKeywordLength ? total - kKeywordLength + 1 : 0; i-- > 0;) {
            if (std::memcmp(window.data() + i, keyword, kKeywordLength) == 0) return start + i;
        }
        carry = std::min(total, kKeywordLength - 1);
        end = start;
    }
    return std::nullopt;
}

// The end of the line end that may follow a marker ending at `end`: CR, LF
// or CR LF; the file may also end right at the marker.
uint64_t PastLineEnd(CarveContext& c, uint64_t end) {
    if (c.ReadAt(end, 2) || c.ReadAt(end, 1)) {
        const uint8_t first = c.Data()[0];
        if (first == '\r' || first == '\n') {
            ++end;
            if (c.length == 2 && first == '\r' && c.Data()[1] == '\n') ++end;
        }
    }
    return end;
}

// An incremental update appends objects, a cross-reference section, its
// trailer and "startxref" with the section's offset, and a new "%%EOF".
// The bytes after `end` continue the document when the next marker's
// startxref names a "xref" section that lies between `end` and itself;
// anything else behind a marker (the next file, free-space leftovers, a
// second document whose offsets count from its own start) does not.
// An update starts right after the marker, past white space and comment
// lines: with an object ("12 0 obj") or its cross-reference section.
bool UpdateFollows(CarveContext& c, uint64_t end) {
    if (!c.ReadAt(end, 256) && !c.ReadAt(end, 16)) return false;
    const uint8_t* d = c.Data();
    const uint32_t n = c.length;
    uint32_t i = 0;
    while (i < n) {
        const uint8_t b = d[i];
        if (b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\f' || b == 0) {
            ++i;
        } else if (b == '%') {
            while (i < n && d[i] != '\r' && d[i] != '\n') ++i;
        } else {
            break;
        }
    }
    if (i >= n) return false;
    if (d[i] >= '0' && d[i] <= '9') return true;
    return n - i >= 4 && std::memcmp(d + i, "xref", 4) == 0;
}

std::optional<uint64_t> FindUpdateEnd(CarveContext& c, uint64_t end) {
    // Free space after a document holds anything: no search through it for a
    // marker unless an update begins where the document ends.
    if (!UpdateFollows(c, end)) return std::nullopt;
    const std::optional<uint64_t> marker = FindEndMarker(c, end);
    if (!marker) return std::nullopt;
    const std::optional<uint64_t> startxref = FindLast(c, "startxref", *marker, end);
    if (!startxref) return std::nullopt;
    PdfCursor cursor(c, *marker);
    PdfLexer lex(cursor);
    lex.position = *startxref + 9;
    uint64_t x = 0;
    if (!ParseUnsigned(lex.Next().text, x) || x < end || x >= *startxref) return std::nullopt;
    lex.position = x;
    const Token keyword = lex.Next();
    if (keyword.kind != Tok::Word || keyword.text != "xref") return std::nullopt;
    if (!FindLast(c, "trailer", *startxref, x)) return std::nullopt;
    return PastLineEnd(c, *marker);
}

}  // namespace

bool PDFProviderDetect(CarveContext& c) {
    if (!c.ReadAt(uint64_t(0), 5) || std::memcmp(c.Data(), "%PDF-", 5) != 0) return false;
    const std::optional<uint64_t> marker = FindEndMarker(c, 0);
    if (!marker) return false;
    uint64_t size = PastLineEnd(c, *marker);
    // A file saved incrementally (edited, annotated, signed) goes on to its
    // last update; each update ends further on, within the search's cap.
    for (uint32_t update = 0; update < kPdfMaxXrefSections; ++update) {
        const std::optional<uint64_t> next = FindUpdateEnd(c, size);
        if (!next) break;
        size = *next;
    }
    if (c.Stopped()) return false;
    if (size > UINT32_MAX) return false;
    const std::optional<uint64_t> trailer = FindLast(c, "trailer", size);
    if (!trailer) return false;
    const DocumentProperties shown = ShownDocumentProperties(ReadInfo(c, *trailer, size));
    if (c.Stopped()) return false;
    c.title = shown.title;
    c.author = shown.creator;
    c.size = size;
    c.typeKey = u"pdf";
    return true;
}

const ProviderDescriptor kPDFProvider {u"PDFProvider", u"PDF documents", PDFProviderDetect, kPdfKeys, {0, "%"}};
