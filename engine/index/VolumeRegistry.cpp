#include "VolumeRegistry.h"

#include "engine/index/VolumeFactory.h"

CVolumeRegistry::~CVolumeRegistry() { CloseAll(); }

int CVolumeRegistry::Slot(char16_t letter) {
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
    if (letter < u'A' || letter > u'Z') return -1;
    return letter - u'A';
}

CVolume* CVolumeRegistry::Acquire(char16_t letter) {
    int slot = Slot(letter);
    if (slot < 0) return nullptr;
    std::lock_guard<std::mutex> g(m_lock);
    Entry& e = m_entries[slot];
    if (!e.volume) {
        VolumeStatus why;
        e.volume = CreateVolume(letter, why);
        if (e.volume) e.volume->SetCacheClock(m_cacheClock);
    }
    ++e.references;
    return e.volume.get();
}

void CVolumeRegistry::Release(CVolume* volume) {
    if (!volume) return;
    int slot = Slot(volume->DriveLetter());
    if (slot < 0) return;
    std::unique_ptr<CVolume> doomed;
    {
        std::lock_guard<std::mutex> g(m_lock);
        Entry& e = m_entries[slot];
        if (e.volume.get() != volume) return;
        if (--e.references > 0) return;
        doomed = std::move(e.volume);
        e.references = 0;
    }
}

int CVolumeRegistry::References(char16_t letter) const {
    int slot = Slot(letter);
    if (slot < 0) return 0;
    std::lock_guard<std::mutex> g(m_lock);
    return m_entries[slot].references;
}

int CVolumeRegistry::AddRemovalListener(char16_t letter, std::function<void()> onRemoved) {
    std::lock_guard<std::mutex> g(m_lock);
    int token = m_nextToken++;
    m_listeners.push_back({token, letter, std::move(onRemoved)});
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
    int slot = Slot(letter);
    if (slot < 0) return;
    // Listeners stop their jobs (and wait for them) outside the lock: a job's
    // worker may be releasing its volume at that moment.
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (auto it = m_listeners.begin(); it != m_listeners.end();) {
            if (Slot(it->letter) == slot) {
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
        doomed = std::move(m_entries[slot].volume);
        m_entries[slot].references = 0;
    }
}

void CVolumeRegistry::CloseAll() {
    for (char16_t l = u'A'; l <= u'Z'; ++l) {
        bool open;
        {
            std::lock_guard<std::mutex> g(m_lock);
            open = m_entries[l - u'A'].volume != nullptr || m_entries[l - u'A'].references != 0;
        }
        if (open) DriveRemoved(l);
    }
}
