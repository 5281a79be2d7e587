#include "engine/index/FolderBrowse.h"

#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

#include "engine/volume/SearchCriteria.h"
#include "platform/Text.h"

namespace {
// Whether a path part names a deleted item whose first letter is lost
// ("?OTES.TXT"): the same name after any first character ("_OTES.TXT" as
// recovery writes it, "?OTES.TXT", "NOTES.TXT"), case aside. Such a part
// names the item only when it names no other item of the folder.
bool NamesLostLetterItem(const std::string& part, const std::string& shown) {
    const std::u16string name = Utf8ToUtf16(shown);
    return FirstLetterLost(name) && NameEquals(Utf8ToUtf16(part), name, NameCompare {nullptr, true});
}
}  // namespace

std::string AttributeLetters(uint32_t a) {
    std::string s;
    s += (a & FILE_ATTRIBUTE_DIRECTORY) ? 'D' : '-';
    s += (a & FILE_ATTRIBUTE_READONLY) ? 'R' : '-';
    s += (a & FILE_ATTRIBUTE_HIDDEN) ? 'H' : '-';
    s += (a & FILE_ATTRIBUTE_SYSTEM) ? 'S' : '-';
    s += (a & FILE_ATTRIBUTE_ARCHIVE) ? 'A' : '-';
    s += (a & FILE_ATTRIBUTE_COMPRESSED) ? 'C' : '-';
    s += (a & FILE_ATTRIBUTE_ENCRYPTED) ? 'E' : '-';
    return s;
}

std::u16string VolumePath(char16_t letter, const std::string& path) {
    std::u16string p;
    p += letter;
    p += u":\\";
    std::u16string rest = Utf8ToUtf16(path);
    for (auto& c : rest)
        if (c == u'/') c = u'\\';
    size_t i = 0;
    while (i < rest.size() && rest[i] == u'\\') ++i;
    rest = rest.substr(i);
    while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
    if (!rest.empty()) p += rest + u"\\";
    return p;
}

std::u16string VolumeFilePath(char16_t letter, const std::string& path) {
    std::u16string p = VolumePath(letter, path);
    if (p.size() > 3) p.pop_back();  // keeps the root's "C:\"
    return p;
}

std::string FolderPathOf(const std::u16string& enginePath) {
    size_t begin = (enginePath.size() >= 2 && enginePath[1] == u':') ? 2 : 0;
    size_t end = enginePath.size();
    while (end > begin + 1 && enginePath[end - 1] == u'\\') --end;
    std::string out = Utf16ToUtf8(std::u16string_view(enginePath).substr(begin, end - begin));
    for (auto& c : out)
        if (c == '\\') c = '/';
    return out.empty() ? std::string("/") : out;
}

std::string JoinFolderPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}


// Finds the container of a folder path: existing folders by path, then
// deleted folders by name among the deleted items of their parent.
bool ResolveFolder(CVolume& volume, char16_t letter, const std::string& folder, Container& out) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= folder.size()) {
        size_t slash = folder.find('/', start);
        if (slash == std::string::npos) slash = folder.size();
        if (slash > start) parts.push_back(folder.substr(start, slash - start));
        start = slash + 1;
    }
    Container c {"/", true, 0, false};
    for (const auto& part : parts) {
        std::string next = JoinFolderPath(c.path, part);
        if (c.existing && c.path == "/" && part == "$LostFolders") {
            c = {next, false, kLostFoldersId, true};
            continue;
        }
        if (c.existing && c.path == "/" && part == "$RecycleBin") {
            c = {next, false, kRecycleBinId, false};
            continue;
        }
        if (c.existing) {
            std::vector<FileItemInfo> live;
            bool found = false;
            if (volume.ListLiveFolder(VolumePath(letter, c.path), live)) {
                for (const auto& item : live) {
                    if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        AsciiUpper(item.name) == AsciiUpper(Utf8ToUtf16(part))) {
                        c.path = JoinFolderPath(c.path, Utf16ToUtf8(item.name));
                        found = true;
                        break;
                    }
                }
            }
            if (found) continue;
        }
        // A deleted folder among the deleted items of the current container.
        std::unique_ptr<IEnumDeletedFiles> e;
        bool ok = c.existing ? volume.EnumDeletedFilesByPath(VolumePath(letter, c.path), e)
                             : volume.EnumDeletedFiles(c.id, e);
        if (!ok || !e) return false;
        FileItemInfo info;
        bool found = false;
        int lostLetterFits = 0;
        Container lostLetterFolder;
        while (e->Next(info, true)) {
            if (!(info.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            const std::string name = ShownName(info, c.lost);
            if (name == part && !FirstLetterLost(info.name)) {
                c = {next, false, static_cast<int32_t>(info.id), c.lost};
                found = true;
                break;
            }
            if (NamesLostLetterItem(part, name) && ++lostLetterFits == 1)
                lostLetterFolder = {JoinFolderPath(c.path, name), false, static_cast<int32_t>(info.id), c.lost};
        }
        if (!found && lostLetterFits == 1) {
            c = lostLetterFolder;
            found = true;
        }
        if (!found) return false;
    }
    out = c;
    return true;
}


bool ParseItemId(const std::string& text, uint64_t& id) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    uint64_t v = 0;
    for (char ch : text) {
        const uint64_t d = static_cast<uint64_t>(ch - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    id = v;
    return true;
}

bool FindItemById(CVolume& volume, char16_t letter, uint64_t id, FoundItem& out) {
    const bool wantLost = id >= kLostFolderIdBase;
    if (wantLost) {
        if (id - kLostFolderIdBase > 0xFFFFFFFFull) return false;
        const uint32_t record = static_cast<uint32_t>(id - kLostFolderIdBase);
        if (!volume.HasLostFolders() || !volume.IsLostFolder(record)) return false;
        out = FoundItem {};
        out.id = id;
        out.info.id = record;
        out.info.attributes = FILE_ATTRIBUTE_DIRECTORY;
        out.folder = "/$LostFolders";
        out.path = JoinFolderPath(out.folder, "Folder" + std::to_string(record));
        out.lost = out.lostFolder = true;
        // Its name and record states, as the lost folders' listing gives them.
        std::unique_ptr<IEnumDeletedFiles> e;
        FileItemInfo info;
        if (volume.EnumDeletedFiles(kLostFoldersId, e) && e)
            while (e->Next(info, true))
                if (info.id == record) {
                    out.info.nameState = info.nameState;
                    out.info.recordState = info.recordState;
                    out.info.orphan = info.orphan;
                    break;
                }
        return true;
    }
    std::u16string name;
    uint32_t attributes = 0;
    if (id == 0 || !volume.GetIndexEntry(static_cast<uint32_t>(id), name, attributes)) return false;

    // Where list shows it: a walk over the folders that hold deleted items,
    // the recycle bin last. Bounded in depth and in items (hostile volumes).
    constexpr int kMaxDepth = 256;
    constexpr uint64_t kMaxItems = 50000000;
    uint64_t seen = 0;
    std::set<int32_t> walked;
    struct Step {
        Container c;
        int depth;
    };
    std::vector<Step> stack {{{"/", true, 0, false}, 0}};
    bool recycleBin = false;
    for (;;) {
        if (stack.empty()) {
            if (recycleBin || !volume.HasRecycledFiles(false)) return false;
            recycleBin = true;
            stack.push_back({{"/$RecycleBin", false, kRecycleBinId, false}, 1});
        }
        Step st = stack.back();
        stack.pop_back();
        const Container& c = st.c;
        std::unique_ptr<IEnumDeletedFiles> e;
        bool ok = c.existing ? volume.EnumDeletedFilesByPath(VolumePath(letter, c.path), e)
                             : volume.EnumDeletedFiles(c.id, e);
        const bool lostFolders = !c.existing && c.id == kLostFoldersId;
        FileItemInfo info;
        while (ok && e && seen++ < kMaxItems && e->Next(info, true)) {
            const std::string n = ShownName(info, c.lost);
            const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!lostFolders && info.id == id) {
                out = FoundItem {};
                out.id = id;
                out.info = info;
                out.folder = c.path;
                out.path = JoinFolderPath(c.path, n);
                out.lost = c.lost;
                return true;
            }
            if (isFolder && st.depth < kMaxDepth && c.id != kRecycleBinId &&
                walked.insert(static_cast<int32_t>(info.id)).second)
                stack.push_back({{JoinFolderPath(c.path, n), false, static_cast<int32_t>(info.id), c.lost}, st.depth + 1});
        }
        if (!c.existing || st.depth >= kMaxDepth) continue;
        std::vector<FileItemInfo> live;
        if (volume.ListLiveFolder(VolumePath(letter, c.path), live)) {
            for (const auto& item : live) {
                if (!(item.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
                std::string sub = JoinFolderPath(c.path, Utf16ToUtf8(item.name));
                if (volume.HasDeletedFilesByPath(VolumePath(letter, sub))) stack.push_back({{sub, true, 0, false}, st.depth + 1});
            }
        }
        if (c.path == "/" && volume.HasLostFolders())
            stack.push_back({{"/$LostFolders", false, kLostFoldersId, true}, 1});
    }
}

bool FindItemByPath(CVolume& volume, char16_t letter, const std::string& itemPath, FoundItem& out,
                    std::string* missingFolder) {
    std::string path = itemPath.empty() || itemPath[0] != '/' ? "/" + itemPath : itemPath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    if (name.empty()) return false;
    Container c;
    if (!ResolveFolder(volume, letter, folder, c)) {
        if (missingFolder) *missingFolder = folder;
        return false;
    }
    std::unique_ptr<IEnumDeletedFiles> e;
    bool ok = c.existing ? volume.EnumDeletedFilesByPath(VolumePath(letter, c.path), e)
                         : volume.EnumDeletedFiles(c.id, e);
    const bool lostFolders = !c.existing && c.id == kLostFoldersId;
    auto item = [&](const FileItemInfo& info, const std::string& n) {
        FoundItem f;
        f.id = ItemId(info, lostFolders);
        f.info = info;
        f.folder = c.path;
        f.path = JoinFolderPath(c.path, n);
        f.lost = c.lost;
        f.lostFolder = lostFolders;
        return f;
    };
    FileItemInfo info;
    FoundItem lostLetterItem;
    int lostLetterFits = 0;
    for (uint64_t guard = 0; ok && e && guard < 50000000 && e->Next(info, true); ++guard) {
        const std::string n = ShownName(info, c.lost);
        if (n == name && !FirstLetterLost(info.name)) {
            out = item(info, n);
            return true;
        }
        if (NamesLostLetterItem(name, n) && ++lostLetterFits == 1) lostLetterItem = item(info, n);
    }
    if (lostLetterFits != 1) return false;
    out = std::move(lostLetterItem);
    return true;
}

std::string ShownName(const FileItemInfo& info, bool lost) {
    std::string name = Utf16ToUtf8(info.name);
    if (lost && name.empty()) name = "Folder" + std::to_string(info.id);
    return name;
}

namespace {

constexpr uint64_t kMaxListedItems = 50000000;

void AddDeleted(IEnumDeletedFiles& e, const Container& c, FolderListing& out, bool& lostSeen, bool& overwrittenSeen) {
    FileItemInfo info;
    const bool lostFolders = !c.existing && c.id == kLostFoldersId;
    for (uint64_t guard = 0; guard < kMaxListedItems && e.Next(info, false); ++guard) {
        ListedItem row {info, true, c.lost, lostFolders, false};
        if (row.IsFolder()) {
            out.subfolders.push_back({JoinFolderPath(c.path, ShownName(info, c.lost)), false, static_cast<int32_t>(info.id), c.lost});
            if (lostFolders) lostSeen = true;
        } else if (info.dataStatus > 0) {
            overwrittenSeen = true;
        }
        out.items.push_back(std::move(row));
    }
}

void AddVirtual(FolderListing& out, const char16_t* name, int32_t id, bool lost) {
    ListedItem row;
    row.info.name = name;
    row.info.attributes = FILE_ATTRIBUTE_DIRECTORY;
    row.virtualFolder = true;
    out.items.push_back(std::move(row));
    out.subfolders.push_back({JoinFolderPath("/", Utf16ToUtf8(name)), false, id, lost});
}

}  // namespace

FolderListing ListFolder(CVolume& volume, char16_t letter, const Container& c, bool deletedOnly) {
    FolderListing out;
    bool lostSeen = false, overwrittenSeen = false;
    if (c.existing) {
        const std::u16string path = VolumePath(letter, c.path);
        std::vector<FileItemInfo> live;
        if (volume.ListLiveFolder(path, live)) {
            for (auto& item : live) {
                const bool folder = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                std::string sub;
                bool listed = !deletedOnly;
                if (folder) {
                    sub = JoinFolderPath(c.path, Utf16ToUtf8(item.name));
                    if (!deletedOnly || volume.HasDeletedFilesByPath(VolumePath(letter, sub))) {
                        out.subfolders.push_back({sub, true, 0, false});
                        listed = true;
                    }
                }
                if (listed) out.items.push_back({std::move(item), false, false, false, false});
            }
        }
        std::unique_ptr<IEnumDeletedFiles> e;
        if (volume.EnumDeletedFilesByPath(path, e) && e) AddDeleted(*e, c, out, lostSeen, overwrittenSeen);
        if (c.path == "/") {
            if (volume.HasLostFolders()) AddVirtual(out, u"$LostFolders", kLostFoldersId, true);
            if (volume.HasRecycledFiles(false)) AddVirtual(out, u"$RecycleBin", kRecycleBinId, false);
        }
    } else {
        if (c.id == kRecycleBinId && !deletedOnly) {
            std::unique_ptr<IEnumExistingFiles> ex;
            if (volume.EnumExistingFiles(ex) && ex) {
                FileItemInfo info;
                for (uint64_t guard = 0; guard < kMaxListedItems && ex->Next(info); ++guard)
                    out.items.push_back({info, false, false, false, false});
            }
        }
        std::unique_ptr<IEnumDeletedFiles> e;
        if (volume.EnumDeletedFiles(c.id, e) && e) AddDeleted(*e, c, out, lostSeen, overwrittenSeen);
    }
    out.hint = lostSeen ? FolderHint::LostFolders
                        : overwrittenSeen ? FolderHint::OverwrittenFiles : FolderHint::DeletedFiles;
    return out;
}

std::string HitFolderPath(CVolume& volume, uint32_t id, bool& lost) {
    std::u16string folder;
    bool broken = false;
    uint32_t lastId = 0;
    lost = false;
    if (!volume.GetFullPath(id, folder, broken, lastId)) return "/";
    if (!broken) return FolderPathOf(folder);
    lost = true;
    std::string rest = Utf16ToUtf8(folder);
    for (auto& c : rest)
        if (c == '\\') c = '/';
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string path = "/$LostFolders/Folder" + std::to_string(lastId);
    return rest.empty() ? path : path + "/" + rest;
}
