// The NTFS search walk over the file index and the folder paths of its hits.
//
// SearchFiles runs on the search thread. It visits the file index in record
// order, tests each entry (name from the index, then the record: size and
// date), and for every hit records the folders above it in the two search
// caches, which GetFullPath reads under the general lock.
#include "NtfsVolume.h"
#include "app/Log.h"
#include "engine/volume/SearchCriteria.h"

namespace {
// Deeper folder chains than this are corrupt (or loop).
constexpr int kMaxPathDepth = 4096;
}

void CNtfsVolume::SearchFiles(SearchCriteria* criteria) {
    CScopeTrace trace(1, "CNtfsVolume::SearchFiles");
    if (!criteria) return;
    {
        std::lock_guard<std::mutex> g(m_generalLock);
        m_searchItemParents.clear();
        m_searchFolderNames.clear();
    }
    ISearchCallback* callback = criteria->callback;
    const uint32_t total = static_cast<uint32_t>(m_fileIndex.size());
    // A hit's folders, from its parent up to the root, for GetFullPath.
    auto nameFolders = [&](uint32_t cur) {
        for (int depth = 0; cur != kRootRecord && depth < kMaxPathDepth; ++depth) {
            {
                std::lock_guard<std::mutex> g(m_generalLock);
                if (m_searchFolderNames.count(cur)) break;
            }
            CNtfsFile folder;
            if (!folder.OpenRecord(this, cur, true)) break;
            FileItemInfo fi;
            uint32_t fp = 0;
            if (!folder.GetInfo(fi, fp) || fi.name.empty() || !(fi.attributes & FILE_ATTRIBUTE_DIRECTORY)) break;
            std::lock_guard<std::mutex> g(m_generalLock);
            m_searchFolderNames[cur] = {fi.name, fp};
            cur = fp;
        }
    };
    const NameCompare how {UpCaseTable(), false};
    uint32_t visited = 0;
    for (const auto& [record, entry] : m_fileIndex) {
        if (criteria->Stopped()) return;
        if (callback && callback->OnSearchProgress(visited, total) != WalkResult::Continue) {
            criteria->RequestStop();
            return;
        }
        ++visited;
        const std::u16string name = EntryName(entry);
        if (!NameTest(*criteria, name, how)) continue;
        if (const SlackName* s = FindSlackName(record)) {
            if (!SizeTest64(*criteria, s->size) || !DateTest(*criteria, s->creation, s->modification)) continue;
            {
                std::lock_guard<std::mutex> g(m_generalLock);
                m_searchItemParents[record] = entry.parent;
            }
            nameFolders(entry.parent);
            if (callback && callback->OnFileFound(SlackNameInfo(record, *s)) != WalkResult::Continue) {
                criteria->RequestStop();
                return;
            }
            continue;
        }
        int ordinal = -1;
        CNtfsFile file;
        if (!file.OpenRecord(this, ItemRecord(record, &ordinal), false)) continue;
        FileItemInfo info;
        uint32_t parent = 0;
        if (!file.GetInfo(info, parent, ordinal)) continue;
        const uint64_t size = file.DataSize();
        if (info.name != name) {
            LogWrite("Wrong name of file #%lu.\n", static_cast<unsigned long>(record));
            file.Dump();
        }
        if (!SizeTest64(*criteria, size)) continue;
        if (!DateTest(*criteria, info.creationTime, info.modificationTime)) continue;

        // The hit's folders, from the index entry's parent up to the root.
        {
            std::lock_guard<std::mutex> g(m_generalLock);
            m_searchItemParents[record] = entry.parent;
        }
        nameFolders(entry.parent);

        FileItemInfo hit;
        hit.name = name;
        hit.attributes = entry.attributes;
        hit.size = size;
        hit.creationTime = info.creationTime;
        hit.modificationTime = info.modificationTime;
        hit.dataStatus = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : DataStatusOf(file);
        hit.id = record;
        hit.nameState = NameState::Deleted;
        hit.recordState = RecordState::Free;
        hit.orphan = UnderLostFolder(entry.parent);
        if (callback && callback->OnFileFound(hit) != WalkResult::Continue) {
            criteria->RequestStop();
            return;
        }
    }
}

bool CNtfsVolume::GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) {
    std::lock_guard<std::mutex> g(m_generalLock);
    path.clear();
    broken = false;
    auto it = m_searchItemParents.find(id);
    if (it == m_searchItemParents.end()) return true;
    uint32_t cur = it->second;
    std::set<uint32_t> seen;
    while (cur != kRootRecord) {
        auto f = m_searchFolderNames.find(cur);
        if (f == m_searchFolderNames.end() || !seen.insert(cur).second) break;
        path = f->second.first + u"\\" + path;
        cur = f->second.second;
    }
    if (cur == kRootRecord) {
        std::u16string prefix;
        prefix += m_driveLetter ? m_driveLetter : u'C';
        prefix += u":\\";
        path = prefix + path;
    } else {
        broken = true;
        lastId = cur;
    }
    return true;
}
