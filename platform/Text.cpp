#include "Text.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace {

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

void AppendByteEscape(std::string& out, unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
}

size_t Utf8SequenceLength(std::string_view s, size_t i, bool* cut) {
    if (cut) *cut = false;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    const size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0) return 0;
    for (size_t k = 1; k < len; ++k) {
        if (i + k >= s.size()) {
            if (cut) *cut = true;
            return 0;
        }
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        // The second byte bounds: no overlong form, no surrogate, nothing past U+10FFFF.
        if (k == 1 && ((b == 0xE0 && c < 0xA0) || (b == 0xED && c >= 0xA0) || (b == 0xF0 && c < 0x90) ||
                       (b == 0xF4 && c >= 0x90)))
            return 0;
    }
    return len;
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t c;
        size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        } else {
            AppendUtf16(out, 0xFFFD);
            ++i;
            continue;
        }
        if (i + len > s.size()) {
            AppendUtf16(out, 0xFFFD);
            break;
        }
        bool valid = true;
        for (size_t k = 1; k < len; ++k) {
            unsigned char cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        if (!valid || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            AppendUtf16(out, 0xFFFD);
            ++i;
            continue;
        }
        AppendUtf16(out, c);
        i += len;
    }
    return out;
}

namespace {

// Runs one iconv conversion; unconvertible input units are replaced.
std::string IconvConvert(const char* to, const char* from, std::string_view in, size_t unit, const std::string& replacement) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out;
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buf.data();
        size_t dstLeft = buf.size();
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), static_cast<size_t>(dst - buf.data()));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ / EINVAL: skip one input unit and put the replacement.
            size_t skip = srcLeft < unit ? srcLeft : unit;
            src += skip;
            srcLeft -= skip;
            out += replacement;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::u16string CodePageToUtf16(std::string_view bytes, const char* codePage) {
    std::string le = IconvConvert("UTF-16LE", codePage, bytes, 1, std::string("\xFD\xFF", 2));
    std::u16string out(le.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(le[2 * i]) | static_cast<unsigned char>(le[2 * i + 1]) << 8);
    return out;
}

std::string Utf16ToCodePage(std::u16string_view s, const char* codePage) {
    std::string le(s.size() * 2, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        le[2 * i] = static_cast<char>(s[i] & 0xFF);
        le[2 * i + 1] = static_cast<char>(s[i] >> 8);
    }
    return IconvConvert(codePage, "UTF-16LE", le, 2, "?");
}

std::u16string AsciiUpper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return out;
}
