// Names in the slack of folder indexes. An INDX block holds its entries up
// to the index length its header gives; the rest of the block up to its
// allocated length keeps what earlier entries left there when the entries
// moved (a deletion shifts the later ones down, a split moves half of them
// away). Such a leftover key is a whole $FILE_NAME value: it names the
// folder as its parent and carries the name, the times and the size the
// entry had. The 16-byte entry header before it, with the file reference,
// is often overwritten.
//
// A leftover key is listed, marked as found in index slack, when it is a
// deleted name: its file reference names a record that is free or reused
// (another sequence number) and that the MFT walk did not index, or its
// reference is lost; and neither a live entry of the folder nor a deleted
// item the MFT walk found in it has its name (then it is that one's old
// entry). A record that still matches the reference
// was indexed by the MFT walk already, data and all. A listed name has no
// data of its own: its record is gone. A leftover whose record the source
// refuses is not listed (its record may hold the file whole): the record is
// counted among those the index could not read.
//
// Such an item's name state is IndexSlack and its record state None: the
// walk may see the record reused (in use under another sequence number),
// free or unreadable, or have no reference at all, but the cache keeps none
// of that, and a restored index must tell what a built one tells.
//
// The walk reads the folders' index blocks within a budget of a fiftieth of
// the MFT's size (at least 4 MiB), folders nearest the root first.
//
// Hostile input: keys are looked for at 8-byte steps inside each block,
// checked field by field against the block's end; folders are walked once
// each, at most kMaxSlackFolders of them and kMaxSlackBlocks blocks in all.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "NtfsIndexNode.h"
#include "NtfsVolume.h"
#include "app/Log.h"
#include "platform/LeBytes.h"

namespace {

constexpr uint32_t kFirstUserRecord = 16;
constexpr size_t kIndexLength = 0x04;         // index header: u32 length of the entries
constexpr size_t kIndexAllocated = 0x08;      // index header: u32 allocated length
constexpr uint32_t kMaxSlackFolders = 1u << 20;
constexpr uint64_t kMaxSlackBlocks = 1u << 20;
constexpr uint64_t kMinSlackBytes = 4u << 20;
// FILETIMEs of 1980-01-01 and 2200-01-01: a time outside is no time a key holds.
constexpr uint64_t kEarliestTime = 119600064000000000ull;
constexpr uint64_t kLatestTime = 189344160000000000ull;
constexpr uint32_t kDirectoryFlag = 0x10000000;

using Entry = NtfsIndexNodeEntry;

bool PlausibleTime(uint64_t t) { return t >= kEarliestTime && t < kLatestTime; }

// Names are compared by a 64-bit hash (FNV-1a): a folder of a million
// entries keeps a million numbers, not a million strings. A collision can
// only hide a leftover, never list one.
uint64_t NameHash(std::u16string_view name) {
    uint64_t h = 14695981039346656037ull;
    for (char16_t c : name) {
        h = (h ^ (c & 0xFF)) * 1099511628211ull;
        h = (h ^ (c >> 8)) * 1099511628211ull;
    }
    return h;
}

// The name of a $FILE_NAME value at p (ending by end) that names folder
// as its parent; empty when the bytes there are no such value.
std::u16string LeftoverKey(const LeBytes& b, size_t p, size_t end, uint32_t folder) {
    if (p + Entry::kKeyName > end) return {};
    if ((b.u64(p) & 0xFFFFFFFFFFFFull) != folder) return {};
    const uint32_t length = b.u8(p + Entry::kKeyNameLength);
    if (length == 0 || b.u8(p + Entry::kKeyNamespace) > 3 || p + Entry::kKeyName + 2 * size_t(length) > end) return {};
    if (!PlausibleTime(b.u64(p + Entry::kKeyCreation)) || !PlausibleTime(b.u64(p + Entry::kKeyModification)))
        return {};
    std::u16string name = b.utf16(p + Entry::kKeyName, length);
    for (char16_t c : name)
        if (c < 0x20 || c == u'/' || c == u'\\') return {};
    return b.ok() ? name : std::u16string();
}

// Adds the live entries of one node: their names, and their subfolders to visit.
void LiveEntries(const LeBytes& b, size_t header, std::unordered_set<uint64_t>& names,
                 std::vector<uint32_t>& subfolders) {
    CNtfsIndexNodeReader node(b, header);
    Entry e;
    while (node.Next(e)) {
        if (e.IsLast()) break;
        if (!e.hasName) continue;
        names.insert(NameHash(node.Name(e)));
        if ((b.u32(e.key + Entry::kKeyFlags) & kDirectoryFlag) && e.record >= kFirstUserRecord)
            subfolders.push_back(e.record);
    }
}

}  // namespace

bool CNtfsVolume::ReadRecordHead(uint32_t n, uint16_t& flags, uint16_t& sequence, bool* readError) {
    CNtfsFileAttr* mft = MftData();
    if (!mft || n >= MftRecordCount()) return false;
    uint8_t head[0x18];
    uint32_t got = 0;
    std::lock_guard<std::mutex> g(m_recordLock);
    if (!mft->SetPosition(uint64_t(n) * m_mftRecordSize) || !mft->Read(head, sizeof head, got) || got != sizeof head) {
        if (readError) *readError = true;
        return false;
    }
    if (std::memcmp(head, "FILE", 4) != 0) return false;
    LeBytes r(head, sizeof head);
    flags = r.u16(ntfsrec::kFlags);
    sequence = r.u16(ntfsrec::kSequence);
    return true;
}

void CNtfsVolume::AddSlackName(uint32_t id, SlackName s) {
    AddIndexEntry(id, s.name, s.attributes, s.parent);
    m_slackNames.emplace(id, std::move(s));
}

const CNtfsVolume::SlackName* CNtfsVolume::FindSlackName(uint32_t id) const {
    auto it = m_slackNames.find(id);
    return it == m_slackNames.end() ? nullptr : &it->second;
}

FileItemInfo CNtfsVolume::SlackNameInfo(uint32_t id, const SlackName& s) const {
    FileItemInfo info;
    info.name = s.name;
    info.attributes = s.attributes;
    info.size = s.size;
    info.creationTime = s.creation;
    info.modificationTime = s.modification;
    info.dataStatus = 100;  // its record is gone: nothing of its data is known
    info.id = id;
    info.nameState = NameState::IndexSlack;
    info.recordState = RecordState::None;  // see the top of this file
    info.orphan = false;                   // its folder is a live one
    return info;
}

void CNtfsVolume::FindSlackNames(IndexProgress* progress) {
    if (MftRecordCount() >= kSlackIdBase) return;  // ids of their own would not fit
    uint32_t nextId = kSlackIdBase;
    uint64_t blocksRead = 0;
    std::set<uint32_t> seen {kRootRecord};
    std::map<uint32_t, uint32_t> parentOf;  // folder -> the folder it was found in
    std::deque<uint32_t> queue {kRootRecord};  // breadth first: folders nearest the root first
    // Blocks are read within a budget: on a volume of many folders the MFT
    // stays the bulk of what an index build reads.
    const uint64_t budget = std::max<uint64_t>(kMinSlackBytes, MftRecordCount() * m_mftRecordSize / 50);
    const uint64_t startBytes = SourceBytesRead();  // what the walk reads, past every cache
    SortChildren();  // ChildRange below
    while (!queue.empty()) {
        if (progress && progress->Stopped()) return;
        if (SourceBytesRead() - startBytes >= budget) break;
        const uint32_t folder = queue.front();
        queue.pop_front();
        CNtfsFile dir;
        if (!dir.OpenRecord(this, folder, false) || !dir.IsInUse()) continue;
        std::unordered_set<uint64_t> live;
        std::vector<uint32_t> subfolders;
        // A leftover key, read out of its block; reference 0: its entry header is gone.
        struct Leftover {
            SlackName name;
            uint64_t reference = 0;
        };
        std::vector<Leftover> leftovers;
        bool cut = false;  // the budget ended inside this folder
        // For a build that keeps the live items: the folder as its index lists it.
        std::map<uint32_t, NtfsLiveEntry> listing;
        bool rootOk = true;
        uint64_t broken = 0;
        const bool indexed = VisitIndexNodes(dir, true, [&](const LeBytes& x, size_t header, bool inUse) {
            if (header == kIndexRootHeader) {
                LiveEntries(x, header, live, subfolders);
                if (m_keepLiveItems) rootOk = AddLiveIndexEntries(x, header, folder, listing);
                return true;
            }
            if (blocksRead++ >= kMaxSlackBlocks || SourceBytesRead() - startBytes >= budget) {
                LogWriteLevel(1, "CNtfsVolume::FindSlackNames: the read budget ends the search\n");
                cut = true;
                return false;
            }
            // Blocks the index's bitmap marks free hold leftovers only.
            if (inUse) LiveEntries(x, header, live, subfolders);
            if (inUse && m_keepLiveItems) AddLiveIndexEntries(x, header, folder, listing);
            const uint64_t used = inUse ? header + uint64_t(x.u32(header + kIndexLength)) : header + 0x10;
            const uint64_t allocated = std::min<uint64_t>(header + uint64_t(x.u32(header + kIndexAllocated)), x.size());
            // Keys lie on 8-byte boundaries, as the entries do.
            for (uint64_t p = (used + 7) & ~uint64_t(7); p + Entry::kKeyName <= allocated;) {
                std::u16string name = LeftoverKey(x, static_cast<size_t>(p), static_cast<size_t>(allocated), folder);
                if (name.empty()) {
                    p += 8;
                    continue;
                }
                if (leftovers.size() >= kMaxSlackNames) break;
                const size_t key = static_cast<size_t>(p);
                Leftover l;
                // The entry header before the key, when it is still one:
                // entry length and key length fit this key.
                const uint32_t keyLength = Entry::kKeyName + 2u * static_cast<uint32_t>(name.size());
                if (key >= header + 0x10 && x.u16(key - 0x10 + 0x0A) >= keyLength &&
                    x.u16(key - 0x10 + 0x08) >= 0x10 + keyLength)
                    l.reference = x.u64(key - 0x10);
                // A folder found so has nothing below it to list: it is shown as a name.
                l.name.attributes = x.u32(key + Entry::kKeyFlags) & ~(kDirectoryFlag | uint32_t(FILE_ATTRIBUTE_DIRECTORY));
                l.name.size = x.u64(key + Entry::kKeyRealSize);
                l.name.creation = x.u64(key + Entry::kKeyCreation);
                l.name.modification = x.u64(key + Entry::kKeyModification);
                l.name.parent = folder;
                l.name.name = std::move(name);
                leftovers.push_back(std::move(l));
                p += (keyLength + 7) & ~uint64_t(7);
            }
            return true;
        }, &broken);
        if (!indexed) continue;
        if (cut) queue.clear();
        else NoteIndexCheck(folder, listing, broken > 0 || !rootOk);
        for (uint32_t sub : subfolders)
            if (seen.size() < kMaxSlackFolders && seen.insert(sub).second) {
                queue.push_back(sub);
                parentOf[sub] = folder;
            }

        // A folder read in part: its live names are not all known.
        if (leftovers.empty() || cut) continue;
        // The names the MFT walk indexed in this folder: a leftover of one of
        // them is that item's old entry.
        std::unordered_set<uint64_t> listed;
        const auto [first, last] = ChildRange(folder);
        for (size_t i = first; i < last; ++i)
            if (const NtfsIndexEntry* e = FindEntry(m_children[i].second)) listed.insert(NameHash(EntryName(*e)));
        for (Leftover& l : leftovers) {
            const uint64_t hash = NameHash(l.name.name);
            if (live.count(hash) || !listed.insert(hash).second) continue;
            const uint64_t record = l.reference & 0xFFFFFFFFFFFFull;
            uint16_t flags = 0, sequence = 0;
            bool readError = false;
            if (l.reference != 0 && record <= UINT32_MAX &&
                ReadRecordHead(static_cast<uint32_t>(record), flags, sequence, &readError)) {
                const bool inUse = (flags & kRecordInUse) != 0;
                // The record still names this file: live, or indexed by the MFT walk.
                if (inUse && sequence == static_cast<uint16_t>(l.reference >> 48)) continue;
                if (!inUse && FindEntry(static_cast<uint32_t>(record))) continue;
            }
            // A record the source refused may hold the file whole: the name
            // is not shown as one whose data is gone, the record is counted
            // as unreadable.
            if (readError) {
                NoteUnreadableRecord(static_cast<uint32_t>(record));
                continue;
            }
            if (nextId - kSlackIdBase >= kMaxSlackNames) return;
            AddSlackName(nextId++, std::move(l.name));
            // Its folder and those above it are where the browse views find it.
            for (uint32_t f = folder, guard = 0; f != kRootRecord && guard < 4096; ++guard) {
                const uint32_t up = parentOf.count(f) ? parentOf[f] : kRootRecord;
                if (!m_existingFolders.emplace(f, up).second) break;
                f = up;
            }
        }
    }
}
