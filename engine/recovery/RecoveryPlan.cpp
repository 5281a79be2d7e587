#include "engine/recovery/RecoveryPlan.h"

#include <functional>

#include "engine/index/FolderBrowse.h"
#include "platform/Text.h"

namespace {
constexpr int kMaxDepth = 256;
constexpr int kMaxEntries = 50000000;  // bound of one folder's walk
bool IsFolder(uint32_t attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
}  // namespace

CRecoveryPlan::CRecoveryPlan(CVolume& volume) : m_volume(volume) {}

void CRecoveryPlan::LoadRecycled() {
    if (m_recycledLoaded) return;
    m_recycledLoaded = true;
    if (!m_volume.HasRecycledFiles(false)) return;
    std::unique_ptr<IEnumDeletedFiles> e;
    FileItemInfo info;
    if (!m_volume.EnumDeletedFiles(kRecycleBinId, e) || !e) return;
    for (int guard = 0; guard < kMaxEntries && e->Next(info, false); ++guard) {
        RecoverItem r;
        r.id = info.id;
        r.attributes = info.attributes;
        r.name = info.name;
        r.size = IsFolder(info.attributes) ? 0 : info.size;
        r.subfolder = kRecycleBinFolderName;
        m_recycled.emplace(std::make_pair(r.id, IsFolder(r.attributes)), std::move(r));
    }
}

bool CRecoveryPlan::Take(RecoverItem item, const std::string& path) {
    const bool folder = IsFolder(item.attributes);
    if (!m_taken.emplace(item.id, folder).second) return false;
    if (folder) item.size = 0;  // its tree is sized when needed
    if (m_keepPaths) {
        m_paths[{item.id, folder}] = path;
        if (folder && item.id != kLostFoldersItemId) AddTreePaths(static_cast<uint32_t>(item.id), path, 1);
    }
    m_items.push_back(std::move(item));
    m_sized.push_back(!folder);
    return true;
}

void CRecoveryPlan::AddTreePaths(uint32_t id, const std::string& path, int depth) {
    const int32_t folder = static_cast<int32_t>(id);
    if (depth >= kMaxDepth || folder == kLostFoldersId || folder == kRecycleBinId) return;
    std::unique_ptr<IEnumDeletedFiles> e;
    if (!m_volume.EnumDeletedFiles(folder, e) || !e) return;
    FileItemInfo info;
    for (int guard = 0; guard < kMaxEntries && e->Next(info, true); ++guard) {
        const bool isFolder = IsFolder(info.attributes);
        std::string child = JoinFolderName(path, info.name);
        if (!m_paths.emplace(std::make_pair(uint64_t(info.id), isFolder), child).second) continue;
        if (isFolder) AddTreePaths(info.id, child, depth + 1);
    }
}

bool CRecoveryPlan::AddDeleted(uint32_t id, std::u16string name, uint32_t attributes, uint64_t size,
                               const std::string& path) {
    LoadRecycled();
    if (auto bin = m_recycled.find({id, IsFolder(attributes)}); bin != m_recycled.end())
        return Take(bin->second, JoinFolderName(JoinFolderPath("/", kRecycleBinFolderName), bin->second.name));
    RecoverItem item;
    item.id = id;
    item.name = std::move(name);
    item.attributes = attributes;
    item.size = size;
    return Take(std::move(item), path);
}

bool CRecoveryPlan::AddLostFolder(uint32_t id, const std::string& path) {
    RecoverItem item;
    item.id = id;
    item.name = Utf8ToUtf16(LostFolderName(id));
    item.attributes = FILE_ATTRIBUTE_DIRECTORY;
    return Take(std::move(item), path);
}

bool CRecoveryPlan::AddLostFolders() {
    RecoverItem lost;
    lost.id = kLostFoldersItemId;
    lost.attributes = FILE_ATTRIBUTE_DIRECTORY;
    lost.name = Utf8ToUtf16(kLostFoldersFolderName);
    const std::string root = JoinFolderPath("/", kLostFoldersFolderName);
    if (!Take(std::move(lost), root)) return false;
    if (m_keepPaths) {
        std::unique_ptr<IEnumDeletedFiles> e;
        FileItemInfo info;
        if (m_volume.EnumDeletedFiles(kLostFoldersId, e) && e)
            for (int guard = 0; guard < kMaxEntries && e->Next(info, true); ++guard) {
                const std::string path = root + "/" + LostFolderName(info.id);
                m_paths[{info.id, true}] = path;
                AddTreePaths(info.id, path, 1);
            }
    }
    return true;
}

void CRecoveryPlan::AddRecycleBin() {
    LoadRecycled();
    for (const auto& [key, item] : m_recycled)
        Take(item, JoinFolderName(JoinFolderPath("/", kRecycleBinFolderName), item.name));
}

void CRecoveryPlan::AddAll(char16_t letter) { AddAllBelow(letter, Container {"/", true, 0, false}); }

void CRecoveryPlan::AddAllBelow(char16_t letter, const Container& folder) {
    if (!folder.existing) {
        if (folder.id == kRecycleBinId) {
            AddRecycleBin();
            return;
        }
        if (folder.id == kLostFoldersId) {
            AddLostFolders();
            return;
        }
        // A deleted or lost folder: its tree, where `recover --all` writes it
        // (under the folder that held it, a lost folder under $LostFolders).
        const std::vector<std::string> parts = SplitItemPath(folder.path);
        if (parts.empty() || folder.id < 0) return;
        std::string parent;
        for (size_t i = 0; i + 1 < parts.size(); ++i) parent = JoinFolderPath(parent.empty() ? "/" : parent, parts[i]);
        const uint32_t id = static_cast<uint32_t>(folder.id);
        const bool lostFolder = folder.lost && parts.size() == 2 && parts[0] == kLostFoldersFolderName;
        if (lostFolder) {
            RecoverItem item;
            item.id = id;
            item.name = Utf8ToUtf16(LostFolderName(id));
            item.attributes = FILE_ATTRIBUTE_DIRECTORY;
            item.subfolder = kLostFoldersFolderName;
            Take(std::move(item), folder.path);
            return;
        }
        std::u16string name;
        uint32_t attributes = 0;
        if (!m_volume.GetIndexEntry(id, name, attributes) || name.empty())
            name = Utf8ToUtf16(NameOfPathPart(parts.back()));
        LoadRecycled();
        if (auto bin = m_recycled.find({id, true}); bin != m_recycled.end()) {
            Take(bin->second, JoinFolderName(JoinFolderPath("/", kRecycleBinFolderName), bin->second.name));
            return;
        }
        RecoverItem item;
        item.id = id;
        item.name = std::move(name);
        item.attributes = FILE_ATTRIBUTE_DIRECTORY;
        item.subfolder = parent.empty() ? "" : parent.substr(1);
        Take(std::move(item), folder.path);
        return;
    }
    const bool root = folder.path == "/";
    // The recycle bin first: its items go under their former names, not
    // under the names the bin gave them in its own folder.
    if (root) AddRecycleBin();
    LoadRecycled();
    std::function<void(const std::string&, int)> walk = [&](const std::string& path, int depth) {
        const std::u16string enginePath = VolumePath(letter, path);
        const std::string sub = path == "/" ? "" : path.substr(1);
        std::unique_ptr<IEnumDeletedFiles> e;
        if (m_volume.EnumDeletedFilesByPath(enginePath, e) && e) {
            FileItemInfo info;
            for (int guard = 0; guard < kMaxEntries && e->Next(info, false); ++guard) {
                if (auto bin = m_recycled.find({info.id, IsFolder(info.attributes)}); bin != m_recycled.end()) {
                    Take(bin->second, JoinFolderName(JoinFolderPath("/", kRecycleBinFolderName), bin->second.name));
                    continue;
                }
                RecoverItem item;
                item.id = info.id;
                item.attributes = info.attributes;
                item.name = info.name;
                item.size = info.size;
                item.subfolder = sub;
                Take(std::move(item), JoinFolderName(path, info.name));
            }
        }
        if (depth >= kMaxDepth) return;
        std::vector<FileItemInfo> live;
        if (!m_volume.ListLiveFolder(enginePath, live)) return;
        for (const auto& item : live) {
            if (!IsFolder(item.attributes)) continue;
            const std::string child = JoinFolderName(path, item.name);
            if (m_volume.HasDeletedFilesByPath(VolumePath(letter, child))) walk(child, depth + 1);
        }
    };
    walk(folder.path, 0);
    if (root && m_volume.HasLostFolders()) AddLostFolders();
}

const std::string* CRecoveryPlan::VolumePathOf(uint64_t id, bool folder) const {
    const auto it = m_paths.find({id, folder});
    return it == m_paths.end() ? nullptr : &it->second;
}

void CRecoveryPlan::SizeOf(RecoverItem& item) {
    uint64_t total = 0;
    // The lost folders' virtual parent is sized as all of their trees.
    const uint32_t id = item.id == kLostFoldersItemId ? static_cast<uint32_t>(kLostFoldersId) : static_cast<uint32_t>(item.id);
    m_volume.GetFolderSize(id, total, nullptr, 0);
    item.size = total;
}

uint64_t CRecoveryPlan::CountedSize() {
    uint64_t total = 0;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (!m_sized[i]) {
            SizeOf(m_items[i]);
            m_sized[i] = true;
        }
        total += CountedItemSize(m_volume, m_items[i], false);
    }
    return total;
}

RecoverItemSource CRecoveryPlan::Source(bool carved) {
    auto next = std::make_shared<size_t>(0);
    return [this, next, carved](bool needSize, RecoverItem& out) {
        if (*next >= m_items.size()) {
            *next = 0;
            return false;
        }
        const size_t i = (*next)++;
        if (needSize && !carved && !m_sized[i]) {
            SizeOf(m_items[i]);
            m_sized[i] = true;
        }
        out = m_items[i];
        return true;
    };
}
