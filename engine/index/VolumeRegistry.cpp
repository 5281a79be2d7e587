#include "VolumeRegistry.h"

#include "engine/index/VolumeFactory.h"

CVolumeRegistry::~CVolumeRegistry() { CloseAll(); }

char16_t CVolumeRegistry::Key(char16_t letter) {
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
    return letter;
}

CVolume* CVolumeRegistry::Acquire(char16_t letter) {
    const char16_t key = Key(letter);
    if (key == 0) return nullptr;
    std::lock_guard<std::mutex> g(m_lock);
    Entry& e = m_entries[key];
    if (!e.volume) {
        VolumeStatus why;
        e.volume = CreateVolume(key, why);
        if (e.volume) e.volume->SetCacheClock(m_cacheClock);
    }
    ++e.references;
    return e.volume.get();
}

void CVolumeRegistry::Adopt(char16_t letter, std::unique_ptr<CVolume> volume) {
    const char16_t key = Key(letter);
    if (key == 0 || !volume) return;
    std::lock_guard<std::mutex> g(m_lock);
    Entry& e = m_entries[key];
    if (e.volume) return;
    volume->SetCacheClock(m_cacheClock);
    e.volume = std::move(volume);
}

void CVolumeRegistry::Release(CVolume* volume) {
    if (!volume) return;
    const char16_t key = Key(volume->DriveLetter());
    std::unique_ptr<CVolume> doomed;
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_entries.find(key);
        if (it == m_entries.end()) return;
        Entry& e = it->second;
        if (e.volume.get() != volume) return;
        if (--e.references > 0) return;
        doomed = std::move(e.volume);
        m_entries.erase(it);
    }
}

int CVolumeRegistry::References(char16_t letter) const {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_entries.find(Key(letter));
    return it == m_entries.end() ? 0 : it->second.references;
}

int CVolumeRegistry::AddRemovalListener(char16_t letter, std::function<void()> onRemoved) {
    std::lock_guard<std::mutex> g(m_lock);
    int token = m_nextToken++;
    m_listeners.push_back({token, Key(letter), std::move(onRemoved)});
    return token;
}

void CVolumeRegistry::RemoveListener(int token) {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it)
        if (it->token == token) {
            m_listeners.erase(it);
            return;
        }
}

void CVolumeRegistry::DriveRemoved(char16_t letter) {
    const char16_t key = Key(letter);
    if (key == 0) return;
    // Listeners stop their jobs (and wait for them) outside the lock: a job's
    // worker may be releasing its volume at that moment.
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (auto it = m_listeners.begin(); it != m_listeners.end();) {
            if (it->letter == key) {
                calls.push_back(std::move(it->onRemoved));
                it = m_listeners.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : calls)
        if (c) c();
    std::unique_ptr<CVolume> doomed;
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_entries.find(key);
        if (it == m_entries.end()) return;
        doomed = std::move(it->second.volume);
        m_entries.erase(it);
    }
}

void CVolumeRegistry::CloseAll() {
    std::vector<char16_t> keys;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (const auto& [key, entry] : m_entries) keys.push_back(key);
    }
    for (char16_t key : keys) DriveRemoved(key);
}
