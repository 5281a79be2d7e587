// The FAT search walk and the parent lookups of the index.
//
// Every record of the index knows the folder node that holds it (set by
// BuildIndex), so the folder of any id - a search hit or an item reached by
// browsing - can be named without a search having visited it first.
#include "app/Log.h"
#include "engine/fat/FatDirectory.h"
#include "engine/fat/FatVolume.h"
#include "engine/volume/SearchCriteria.h"

void CFatVolume::SearchFiles(SearchCriteria* criteria) {
    if (!criteria) return;
    CScopeTrace trace(1, "CFatVolume::SearchFiles");
    ISearchCallback* callback = criteria->callback;
    uint32_t folders = 0, files = 0;
    m_indexRoot->CountTree(folders, files);
    m_lostRoot->CountTree(folders, files);
    folders -= static_cast<uint32_t>(m_lostRoot->deletedFolders.size());  // not tested themselves
    const uint32_t total = folders + files;
    uint32_t visited = 0;

    // One candidate: progress, name, size, date, then the report. False ends the walk.
    auto test = [&](const FatFileInfo& rec) -> bool {
        if (criteria->Stopped()) return false;
        if (callback && callback->OnSearchProgress(visited, total) != WalkResult::Continue) {
            criteria->RequestStop();
            return false;
        }
        ++visited;
        if (!NameTest(*criteria, rec.name, NameCompare {nullptr, FirstLetterLost(rec.name)})) return true;
        if (!SizeTestFat(*criteria, rec.size)) return true;
        if (criteria->useDate) {
            uint64_t ct = FatTimeToFileTime(rec.creationDate, rec.creationTime, rec.creationFine);
            uint64_t mt = FatTimeToFileTime(rec.modificationDate, rec.modificationTime);
            if (!DateTest(*criteria, ct, mt)) return true;
        }
        FileItemInfo info = MakeItemInfo(rec, false, !rec.IsFolder());
        if (callback && callback->OnFileFound(info) != WalkResult::Continue) {
            criteria->RequestStop();
            return false;
        }
        return !criteria->Stopped();
    };

    // In each folder: its deleted files, then its deleted subfolders' own
    // records, then the existing subfolders, then the deleted subfolders.
    std::vector<const FatNode*> stack {m_lostRoot.get(), m_indexRoot.get()};
    while (!stack.empty()) {
        const FatNode* node = stack.back();
        stack.pop_back();
        for (const auto& f : node->deletedFiles)
            if (!test(*f)) return;
        // A lost folder's own record has no name or times to match.
        if (node != m_lostRoot.get())
            for (const auto& d : node->deletedFolders)
                if (!test(d->entry)) return;
        for (size_t i = node->deletedFolders.size(); i-- > 0;) stack.push_back(node->deletedFolders[i].get());
        if (!node->IsDeleted()) {
            const auto& existing = static_cast<const FatExistingDir*>(node)->existingFolders;
            for (auto it = existing.rbegin(); it != existing.rend(); ++it) stack.push_back(it->second.get());
        }
    }
}

bool CFatVolume::GetFullPath(uint32_t id, std::u16string& path, bool& broken, uint32_t& lastId) {
    std::lock_guard<std::mutex> g(m_generalLock);
    path.clear();
    broken = false;
    lastId = 0;
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec) return false;
    std::u16string rest;
    uint32_t guard = 0;
    for (const FatNode* c = rec->parent; c && c->parent && guard <= kMaxFolderDepth + 1; c = c->parent, ++guard) {
        if (c->parent == m_lostRoot.get()) {
            // Below a lost folder: the path from there on, and the folder.
            broken = true;
            lastId = static_cast<const FatDirInfo*>(c)->entry.id;
            break;
        }
        rest = c->Name() + u"\\" + rest;
    }
    if (broken) {
        path = rest;
        return true;
    }
    if (m_driveLetter) {
        path += m_driveLetter;
        path += u':';
    }
    path += u'\\';
    path += rest;
    return true;
}

bool CFatVolume::GetParentFolder(uint32_t id, int32_t& parentId) {
    const FatFileInfo* rec = RecordOfId(id);
    if (!rec || !rec->parent) return false;
    parentId = rec->parent->IsDeleted() ? static_cast<int32_t>(static_cast<const FatDirInfo*>(rec->parent)->entry.id)
                                        : kNoFolderId;
    return true;
}
