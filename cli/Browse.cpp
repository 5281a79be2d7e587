#include "cli/Browse.h"

#include <cinttypes>
#include <cstdio>
#include <iostream>

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
                   bool lost) {

        const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::string name = Utf16ToUtf8(info.name);
        if (deleted && lost && name.empty()) name = "Folder" + std::to_string(info.id);
        std::string path = JoinCli(folder, name);
        if (options.json) {
            nlohmann::json j;
            j["id"] = deleted ? nlohmann::json(info.id) : nlohmann::json(nullptr);
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
        char line[96];
        std::string overwritten = (deleted && !isFolder) ? std::to_string(info.dataStatus) + "%" : "";
        std::string id = deleted ? std::to_string(info.id) : "";
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

