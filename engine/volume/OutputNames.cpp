#include "OutputNames.h"

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
    std::string suffix = "_" + std::to_string(n);
    if (dot == std::string::npos) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}
