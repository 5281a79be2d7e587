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
    for (const std::string& name : SplitItemNames(path)) {
        p += Utf8ToUtf16(name);
        p += u'\\';
    }
    return p;
}

namespace {
bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }
}  // namespace

std::string PathPart(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const auto b = static_cast<uint8_t>(name[i]);
        if (b == '\\' || b == '/') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            AppendByteEscape(out, b);
        } else if (b == 0xC2 && i + 1 < name.size() && IsControl(static_cast<uint8_t>(name[i + 1]))) {
            // A C1 control (U+0080..U+009F): both of its bytes.
            AppendByteEscape(out, b);
            AppendByteEscape(out, static_cast<uint8_t>(name[++i]));
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

std::string PathPart(std::u16string_view name) { return PathPart(Utf16ToUtf8(name)); }

std::string NameOfPathPart(std::string_view part) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(part.size());
    for (size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '\\' && i + 1 < part.size()) {
            const char next = part[i + 1];
            if (next == '\\' || next == '/') {
                out += next;
                ++i;
                continue;
            }
            if (next == 'x' && i + 3 < part.size() && hex(part[i + 2]) >= 0 && hex(part[i + 3]) >= 0) {
                out += static_cast<char>(hex(part[i + 2]) * 16 + hex(part[i + 3]));
                i += 3;
                continue;
            }
        }
        out += part[i];
    }
    return out;
}

std::string JoinFolderName(const std::string& folder, std::u16string_view name) {
    return JoinFolderPath(folder, PathPart(name));
}

std::vector<std::string> SplitItemPath(std::string_view path) {
    std::vector<std::string> parts = SplitItemNames(path);
    for (std::string& part : parts) part = PathPart(part);
    return parts;
}

std::vector<std::string> SplitItemNames(std::string_view path) {
    std::vector<std::string> parts;
    std::string part;
    auto flush = [&] {
        if (!part.empty()) parts.push_back(NameOfPathPart(part));
        part.clear();
    };
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && i + 1 < path.size()) {
            part += path[i];
            part += path[++i];
        } else if (path[i] == '/') {
            flush();
        } else {
            part += path[i];
        }
    }
    flush();
    return parts;
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
    // Engine paths separate with "\\": each part between is a name.
    std::string out;
    const std::u16string_view rest = std::u16string_view(enginePath).substr(begin, end - begin);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t next = rest.find(u'\\', at);
        if (next == std::u16string_view::npos) next = rest.size();
        if (next > at) out = JoinFolderPath(out.empty() ? std::string("/") : out, PathPart(rest.substr(at, next - at)));
        at = next + 1;
    }
    return out.empty() ? std::string("/") : out;
}

std::string JoinFolderPath(const std::string& folder, const std::string& name) {
    std::string path;
    path.reserve(folder.size() + name.size() + 1);
    if (folder != "/") path.append(folder);
    path.push_back('/');
    path.append(name);
    return path;
}


// Finds the container of a folder path: existing folders by path, then
// deleted folders by name among the deleted items of their parent.
bool ResolveFolder(CVolume& volume, char16_t letter, const std::string& folder, Container& out) {
    const std::vector<std::string> parts = SplitItemPath(folder);
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
                        AsciiUpper(item.name) == AsciiUpper(Utf8ToUtf16(NameOfPathPart(part)))) {
                        c.path = JoinFolderName(c.path, item.name);
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
                std::string sub = JoinFolderName(c.path, item.name);
                if (volume.HasDeletedFilesByPath(VolumePath(letter, sub))) stack.push_back({{sub, true, 0, false}, st.depth + 1});
            }
        }
        if (c.path == "/" && volume.HasLostFolders())
            stack.push_back({{"/$LostFolders", false, kLostFoldersId, true}, 1});
    }
}

bool FindItemByPath(CVolume& volume, char16_t letter, const std::string& itemPath, FoundItem& out,
                    std::string* missingFolder) {
    std::vector<std::string> parts = SplitItemPath(itemPath);
    if (parts.empty()) return false;
    const std::string name = parts.back();
    parts.pop_back();
    std::string folder = "/";
    for (const std::string& part : parts) folder = JoinFolderPath(folder, part);
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
    std::string name = PathPart(info.name);
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
    out.subfolders.push_back({JoinFolderName("/", name), false, id, lost});
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
                    sub = JoinFolderName(c.path, item.name);
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
    const std::string rest = FolderPathOf(folder);
    std::string path = "/$LostFolders/Folder" + std::to_string(lastId);
    return rest == "/" ? path : path + rest;
}
