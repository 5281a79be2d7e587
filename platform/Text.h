// Text conversion between the UTF-16 names read from volumes and the UTF-8
// used for host paths and log text.
#pragma once

#include <string>
#include <string_view>

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);
// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t c);
// The length of the well-formed UTF-8 sequence at s[i] (1 for ASCII); 0 when
// the bytes there are no UTF-8 (overlong forms and surrogates included).
// cut (if given) is set when they begin a sequence that the end of s cuts.
size_t Utf8SequenceLength(std::string_view s, size_t i, bool* cut = nullptr);
// Appends a byte as the escape "\xHH" (lower-case hex).
void AppendByteEscape(std::string& out, unsigned char byte);
// UTF-8 to UTF-16; an invalid byte sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
// The 8-bit code page of short names and old records (CP1252 by default) to UTF-16.
std::u16string CodePageToUtf16(std::string_view bytes, const char* codePage = "CP1252");
// UTF-16 to the 8-bit code page; characters the page lacks become '?'.
std::string Utf16ToCodePage(std::u16string_view s, const char* codePage = "CP1252");
// ASCII-only upper/lower case of a UTF-16 string (for short names and keys).
std::u16string AsciiUpper(std::u16string_view s);
