#include "OutputNames.h"

#include <cstdint>
#include <cstdio>

#include "platform/Text.h"

std::string SanitizeName(std::string_view utf8Name) {
    std::string out;
    out.reserve(utf8Name.size());
    for (char c : utf8Name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '*' || c == '|' || c == '?' || c == '<' || c == '>' || c == '/' || c == '\\')
            out += '_';
        else
            out += c;
    }
    if (out.empty()) return "_";
    if (out == ".") return "_";
    if (out == "..") return "__";
    return out;
}

std::string SanitizeName(std::u16string_view name) { return SanitizeName(Utf16ToUtf8(name)); }

std::string PathSafeName(std::u16string_view name) {
    std::string out = Utf16ToUtf8(name);
    for (auto& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '/' || c == '\\') c = '_';
    }
    if (out.empty() || out == ".") return "_";
    if (out == "..") return "__";
    return out;
}

std::string JoinPath(const std::string& folder, const std::string& component) {
    if (folder.empty()) return component;
    if (folder.back() == '/') return folder + component;
    return folder + "/" + component;
}

std::string FileNameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NumberedConflictName(const std::string& path, unsigned long long n) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    std::string suffix = " (" + std::to_string(n) + ")";
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return path.substr(0, dot) + suffix + path.substr(dot);
    return path + suffix;
}

std::string UnderscoreNumberedName(const std::string& path, unsigned n) {
    auto slash = path.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    auto dot = path.find('.', nameStart);
    std::string suffix(1, '_');
    suffix += std::to_string(n);
    if (dot == std::string::npos) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

std::string ShortenName(const std::string& name, size_t maxBytes) {
    if (name.size() <= maxBytes) return name;
    uint32_t hash = 2166136261u;  // FNV-1a over the whole name
    for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "~%08x", hash);
    std::string extension;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= 32) extension = name.substr(dot);
    constexpr size_t kSuffix = 9;  // "~" and eight hex digits
    if (maxBytes < extension.size() + kSuffix + 1) extension.clear();
    size_t keep = maxBytes > extension.size() + kSuffix ? maxBytes - extension.size() - kSuffix : 0;
    if (keep > name.size()) keep = name.size();
    // Never cut a UTF-8 sequence: step back over continuation bytes.
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep) + suffix + extension;
}

std::string DestinationName(std::string_view utf8Name, const NameRules& rules) {
    std::string out = SanitizeName(utf8Name);
    if (rules.windows) {
        for (auto& c : out)
            if (c == ':' || c == '"') c = '_';
        // Windows drops a trailing dot or space, which would merge two names.
        if (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.back() = '_';
    }
    return ShortenName(out, rules.maxBytes);
}

std::string StreamFileName(const std::string& fileName, std::u16string_view stream, const NameRules& rules) {
    const std::string streamName = PathSafeName(stream);
    if (!rules.windows) return ShortenName(fileName + ":" + streamName, rules.maxBytes);
    return DestinationName(fileName + "_" + streamName, rules);
}
