#include "Profile.h"

#include <pugixml.hpp>

#include <cctype>
#include <cstring>
#include <unistd.h>

#include <filesystem>

#include "app/Log.h"
#include "platform/Paths.h"

CXMLProfile::CXMLProfileException::CXMLProfileException(const char* message) {
    std::strncpy(m_message, message, sizeof m_message - 1);
    m_message[sizeof m_message - 1] = '\0';
}

CXMLProfile& CXMLProfile::Instance() {
    static CXMLProfile profile;
    return profile;
}

CXMLProfile::CXMLProfile() = default;
CXMLProfile::~CXMLProfile() { delete m_document; }

std::string DefaultProfilePath() { return SettingsFolder() + "/Profile.xml"; }

void CXMLProfile::SetPath(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_path = path;
}

void CXMLProfile::EnsureDocument() {
    if (!m_document) m_document = new pugi::xml_document;
    if (!m_document->document_element()) {
        m_document->reset();
        pugi::xml_node decl = m_document->append_child(pugi::node_declaration);
        decl.append_attribute("version") = "1.0";
        decl.append_attribute("encoding") = "utf-8";
        m_document->append_child("profile");
    }
}

bool CXMLProfile::Load() {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (m_document) return false;
    m_document = new pugi::xml_document;
    std::error_code ec;
    auto size = std::filesystem::file_size(m_path, ec);
    if (!ec && size > kMaxFileSize) {
        LogWrite("The profile %s is too large (%llu bytes); starting from an empty profile.\n", m_path.c_str(),
                 static_cast<unsigned long long>(size));
    } else if (!ec) {
        pugi::xml_parse_result r = m_document->load_file(m_path.c_str(), pugi::parse_default | pugi::parse_declaration);
        if (!r) {
            LogWrite("The profile %s cannot be parsed (%s at offset %lld); starting from an empty profile.\n",
                     m_path.c_str(), r.description(), static_cast<long long>(r.offset));
            m_document->reset();
        } else if (std::strcmp(m_document->document_element().name(), "profile") != 0) {
            LogWrite("The profile %s has no 'profile' root; starting from an empty profile.\n", m_path.c_str());
            m_document->reset();
        }
    }
    EnsureDocument();
    return true;
}

void CXMLProfile::Unload() {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    delete m_document;
    m_document = nullptr;
}

bool CXMLProfile::Save() {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    EnsureDocument();
    if (m_path.empty()) return false;
    // Write beside the file and rename, so a crash never leaves half a
    // profile; the name is this process's own, so that runs at the same time
    // never rename each other's file away.
    std::string tmp = m_path + "." + std::to_string(::getpid()) + ".tmp";
    if (!m_document->save_file(tmp.c_str(), "  ", pugi::format_default, pugi::encoding_utf8)) return false;
    std::error_code ec;
    std::filesystem::rename(tmp, m_path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

pugi::xml_node CXMLProfile::KeyNode(const char* section, const char* key) {
    EnsureDocument();
    pugi::xml_node root = m_document->document_element();
    pugi::xml_node sec = root.child(section);
    if (!sec) sec = root.append_child(section);
    pugi::xml_node k = sec.child(key);
    if (!k) k = sec.append_child(key);
    return k;
}

bool CXMLProfile::KeyText(const char* section, const char* key, std::string& text) {
    pugi::xml_node k = KeyNode(section, key);
    text = k.text().get();
    if (text.empty()) {
        k.parent().remove_child(k);
        return false;
    }
    return true;
}

bool CXMLProfile::WriteInt(const char* section, const char* key, int32_t value) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    KeyNode(section, key).text().set(std::to_string(value).c_str());
    return true;
}

bool CXMLProfile::WriteString(const char* section, const char* key, const std::string& text) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    pugi::xml_node k = KeyNode(section, key);
    // Setting the text of an element replaces its first text child.
    k.text().set(text.c_str());
    return true;
}

bool CXMLProfile::WriteBinary(const char* section, const char* key, const void* bytes, size_t length) {
    std::string encoded = Base64Encode(bytes, length);
    if (encoded.size() > kMaxBinaryText) return false;
    std::lock_guard<std::recursive_mutex> g(m_lock);
    KeyNode(section, key).text().set(encoded.c_str());
    return true;
}

int32_t CXMLProfile::ReadInt(const char* section, const char* key, int32_t defaultValue) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    std::string text;
    if (!KeyText(section, key, text)) return defaultValue;
    return ParseProfileInt(text);
}

std::string CXMLProfile::ReadString(const char* section, const char* key, const std::string& defaultValue,
                                    size_t bufferSize) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    std::string text;
    if (!KeyText(section, key, text)) return defaultValue;
    // Characters, not bytes, count against the buffer.
    size_t chars = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++chars;
    if (chars >= bufferSize) throw CXMLProfileException("Buffer overflow");
    return text;
}

bool CXMLProfile::ReadBinary(const char* section, const char* key, void* buffer, size_t bufferSize,
                             size_t* decodedLength) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    std::string text;
    if (!KeyText(section, key, text)) return false;
    std::string bytes = Base64Decode(text);
    if (bytes.size() > bufferSize) return false;
    std::memcpy(buffer, bytes.data(), bytes.size());
    if (decodedLength) *decodedLength = bytes.size();
    return true;
}

uint64_t CXMLProfile::ReadUInt64(const char* section, const char* key) {
    uint8_t b[8] = {};
    size_t n = 0;
    if (!ReadBinary(section, key, b, sizeof b, &n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
    return v;
}

bool CXMLProfile::WriteUInt64(const char* section, const char* key, uint64_t value) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    return WriteBinary(section, key, b, sizeof b);
}

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64Encode(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    std::string out;
    size_t lineChars = 0;
    auto put = [&](char c) {
        if (lineChars == 76) {
            out += "\r\n";
            lineChars = 0;
        }
        out += c;
        ++lineChars;
    };
    for (size_t i = 0; i < length; i += 3) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        if (i + 1 < length) v |= static_cast<uint32_t>(p[i + 1]) << 8;
        if (i + 2 < length) v |= p[i + 2];
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(i + 1 < length ? kAlphabet[(v >> 6) & 63] : '=');
        put(i + 2 < length ? kAlphabet[v & 63] : '=');
    }
    return out;
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const char* pos = (c != '\0') ? std::strchr(kAlphabet, c) : nullptr;
        if (!pos) continue;  // padding, line breaks and anything else are skipped
        acc = (acc << 6) | static_cast<uint32_t>(pos - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

int32_t ParseProfileInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t v = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}
