#include "cli/Browse.h"

#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <set>
#include <vector>

#include "cli/Session.h"
#include "platform/Text.h"

std::string Attributes(uint32_t a) {
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

std::string JoinCli(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}


void PrintListItem(const GlobalOptions& options, const FileItemInfo& info, const std::string& folder, bool deleted,
                   bool lost, bool lostFolder) {

        const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::string name = Utf16ToUtf8(info.name);
        if (deleted && lost && name.empty()) name = "Folder" + std::to_string(info.id);
        std::string path = JoinCli(folder, name);
        if (options.json) {
            nlohmann::json j;
            j["id"] = deleted ? nlohmann::json(CliId(info, lostFolder)) : nlohmann::json(nullptr);
            j["name"] = name;
            j["path"] = path;
            j["folder"] = isFolder;
            j["deleted"] = deleted;
            j["lost"] = lost;
            j["size"] = info.size;
            j["attributes"] = info.attributes;
            j["created"] = FileTimeToJson(info.creationTime);
            j["modified"] = FileTimeToJson(info.modificationTime);
            j["overwritten"] = (deleted && !isFolder) ? nlohmann::json(info.dataStatus) : nlohmann::json(nullptr);
            EmitJson(j);
            return;
        }
        char line[128];
        std::string overwritten = (deleted && !isFolder) ? std::to_string(info.dataStatus) + "%" : "";
        std::string id = deleted ? std::to_string(CliId(info, lostFolder)) : "";
        std::snprintf(line, sizeof line, "%s %s %12" PRIu64 "  %-20s %5s %10s  ", deleted ? "*" : " ",
                      Attributes(info.attributes).c_str(), info.size, FileTimeToText(info.modificationTime).c_str(),
                      overwritten.c_str(), id.c_str());
        std::cout << line << path << (isFolder ? "/" : "") << "\n";
}

void PrintListHeader() {
    // The columns of PrintListItem's text row.
    char line[96];
    std::snprintf(line, sizeof line, "%s %-7s %12s  %-20s %5s %10s  ", " ", "Attr", "Size", "Modified", "Over", "Id");
    std::cout << line << "Path\n";
}

// Finds the container of a CLI folder path: existing folders by path, then
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
        std::string next = JoinCli(c.cliPath, part);
        if (c.existing && c.cliPath == "/" && part == "$LostFolders") {
            c = {next, false, kLostFoldersId, true};
            continue;
        }
        if (c.existing && c.cliPath == "/" && part == "$RecycleBin") {
            c = {next, false, kRecycleBinId, false};
            continue;
        }
        if (c.existing) {
            std::vector<FileItemInfo> live;
            bool found = false;
            if (volume.ListLiveFolder(EnginePath(letter, c.cliPath), live)) {
                for (const auto& item : live) {
                    if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        AsciiUpper(item.name) == AsciiUpper(Utf8ToUtf16(part))) {
                        c.cliPath = JoinCli(c.cliPath, Utf16ToUtf8(item.name));
                        found = true;
                        break;
                    }
                }
            }
            if (found) continue;
        }
        // A deleted folder among the deleted items of the current container.
        std::unique_ptr<IEnumDeletedFiles> e;
        bool ok = c.existing ? volume.EnumDeletedFilesByPath(EnginePath(letter, c.cliPath), e)
                             : volume.EnumDeletedFiles(c.id, e);
        if (!ok || !e) return false;
        FileItemInfo info;
        bool found = false;
        while (e->Next(info, true)) {
            std::string name = Utf16ToUtf8(info.name);
            if (c.lost && name.empty()) name = "Folder" + std::to_string(info.id);
            if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) && name == part) {
                c = {next, false, static_cast<int32_t>(info.id), c.lost};
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    out = c;
    return true;
}


bool ParseCliId(const std::string& text, uint64_t& id) {
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
        out.path = JoinCli(out.folder, "Folder" + std::to_string(record));
        out.lost = out.lostFolder = true;
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
        bool ok = c.existing ? volume.EnumDeletedFilesByPath(EnginePath(letter, c.cliPath), e)
                             : volume.EnumDeletedFiles(c.id, e);
        const bool lostFolders = !c.existing && c.id == kLostFoldersId;
        FileItemInfo info;
        while (ok && e && seen++ < kMaxItems && e->Next(info, true)) {
            std::string n = Utf16ToUtf8(info.name);
            if (c.lost && n.empty()) n = "Folder" + std::to_string(info.id);
            const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!lostFolders && info.id == id) {
                out = FoundItem {};
                out.id = id;
                out.info = info;
                out.folder = c.cliPath;
                out.path = JoinCli(c.cliPath, n);
                out.lost = c.lost;
                return true;
            }
            if (isFolder && st.depth < kMaxDepth && c.id != kRecycleBinId &&
                walked.insert(static_cast<int32_t>(info.id)).second)
                stack.push_back({{JoinCli(c.cliPath, n), false, static_cast<int32_t>(info.id), c.lost}, st.depth + 1});
        }
        if (!c.existing || st.depth >= kMaxDepth) continue;
        std::vector<FileItemInfo> live;
        if (volume.ListLiveFolder(EnginePath(letter, c.cliPath), live)) {
            for (const auto& item : live) {
                if (!(item.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
                std::string sub = JoinCli(c.cliPath, Utf16ToUtf8(item.name));
                if (volume.HasDeletedFilesByPath(EnginePath(letter, sub))) stack.push_back({{sub, true, 0, false}, st.depth + 1});
            }
        }
        if (c.cliPath == "/" && volume.HasLostFolders())
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
    bool ok = c.existing ? volume.EnumDeletedFilesByPath(EnginePath(letter, c.cliPath), e)
                         : volume.EnumDeletedFiles(c.id, e);
    const bool lostFolders = !c.existing && c.id == kLostFoldersId;
    FileItemInfo info;
    for (uint64_t guard = 0; ok && e && guard < 50000000 && e->Next(info, true); ++guard) {
        std::string n = Utf16ToUtf8(info.name);
        if (c.lost && n.empty()) n = "Folder" + std::to_string(info.id);
        if (n != name) continue;
        out = FoundItem {};
        out.id = CliId(info, lostFolders);
        out.info = info;
        out.folder = c.cliPath;
        out.path = JoinCli(c.cliPath, n);
        out.lost = c.lost;
        out.lostFolder = lostFolders;
        return true;
    }
    return false;
}
