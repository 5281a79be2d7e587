// The per-drive-key table of open volumes with reference counts. Every
// long operation borrows its volume here; a volume is destroyed when its last
// borrower gives it back, or at once when its drive goes away.
//
// Used from the front end's main thread; the lock only makes it safe for a
// worker to acquire or release while the front end looks.
#pragma once

#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/volume/Volume.h"

class CVolumeRegistry {
public:
    CVolumeRegistry() = default;
    ~CVolumeRegistry();
    CVolumeRegistry(const CVolumeRegistry&) = delete;
    CVolumeRegistry& operator=(const CVolumeRegistry&) = delete;

    // The volume of the letter, created through the volume factory when it is
    // not open yet; null when no reader accepts the source. A reference is
    // counted either way.
    CVolume* Acquire(char16_t letter);
    // Takes a volume already opened for the key (the one a command probed),
    // so that the key's next Acquire needs no second detection. Ignored when
    // the key has a volume.
    void Adopt(char16_t letter, std::unique_ptr<CVolume> volume);
    void Release(CVolume* volume);
    int References(char16_t letter) const;
    // The index-cache clock given to every volume the registry opens from now
    // on (CVolume::SetCacheClock); null is the system clock.
    void SetCacheClock(int64_t (*now)()) { m_cacheClock = now; }

    // Called before a drive's volume is torn down (jobs on that drive stop
    // and wait for their workers). Returns a token for RemoveListener.
    int AddRemovalListener(char16_t letter, std::function<void()> onRemoved);
    void RemoveListener(int token);

    // The drive went away: stop everything that uses it, then destroy its
    // volume whatever its reference count.
    void DriveRemoved(char16_t letter);
    // Closes every open volume (the main window closing).
    void CloseAll();

private:
    struct Entry {
        std::unique_ptr<CVolume> volume;
        int references = 0;
    };
    struct Listener {
        int token;
        char16_t letter;
        std::function<void()> onRemoved;
    };
    static char16_t Key(char16_t letter);

    mutable std::mutex m_lock;
    std::map<char16_t, Entry> m_entries;
    std::vector<Listener> m_listeners;
    int m_nextToken = 1;
    int64_t (*m_cacheClock)() = nullptr;
};
