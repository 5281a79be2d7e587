#include "DriveTable.h"

#include <algorithm>

CDriveTable& CDriveTable::Instance() {
    static CDriveTable table;
    return table;
}

namespace {
bool Same(const SourceSpec& a, const SourceSpec& b) {
    return a.path == b.path && a.offset == b.offset && a.length == b.length;
}
}  // namespace

char16_t CDriveTable::Assign(const SourceSpec& source) {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& [letter, spec] : m_entries)
        if (Same(spec, source)) {
            if (source.source) spec.source = source.source;
            return letter;
        }
    auto used = [&](char16_t key) {
        return std::any_of(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.first == key; });
    };
    for (char16_t letter = u'C'; letter <= u'Z'; ++letter)
        if (!used(letter)) {
            m_entries.emplace_back(letter, source);
            return letter;
        }
    for (char16_t key = kFirstKeyPastLetters; key < 0xD800; ++key)  // no surrogate is a key
        if (!used(key)) {
            m_entries.emplace_back(key, source);
            return key;
        }
    return 0;
}

std::optional<SourceSpec> CDriveTable::Lookup(char16_t letter) const {
    std::lock_guard<std::mutex> g(m_lock);
    for (const auto& [l, spec] : m_entries)
        if (l == letter) return spec;
    return std::nullopt;
}

std::optional<char16_t> CDriveTable::Find(const SourceSpec& source) const {
    std::lock_guard<std::mutex> g(m_lock);
    for (const auto& [l, spec] : m_entries)
        if (Same(spec, source)) return l;
    return std::nullopt;
}

void CDriveTable::Remove(char16_t letter) {
    std::lock_guard<std::mutex> g(m_lock);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [&](const auto& e) { return e.first == letter; }),
                    m_entries.end());
}

void CDriveTable::Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_entries.clear();
}
