#include "cli/Browse.h"

#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "platform/Text.h"

void PrintListItem(const GlobalOptions& options, const FileItemInfo& info, const std::string& folder, bool deleted,
                   bool lost, bool lostFolder) {

        const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::string name = Utf16ToUtf8(info.name);
        if (deleted && lost && name.empty()) name = "Folder" + std::to_string(info.id);
        std::string path = JoinFolderPath(folder, name);
        if (options.json) {
            nlohmann::json j;
            j["id"] = deleted ? nlohmann::json(ItemId(info, lostFolder)) : nlohmann::json(nullptr);
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
            if (info.indexSlack) j["index_slack"] = true;
            EmitJson(j);
            return;
        }
        char line[128];
        std::string overwritten = (deleted && !isFolder) ? std::to_string(info.dataStatus) + "%" : "";
        std::string id = deleted ? std::to_string(ItemId(info, lostFolder)) : "";
        std::snprintf(line, sizeof line, "%s %s %12" PRIu64 "  %-20s %5s %10s  ", deleted ? "*" : " ",
                      AttributeLetters(info.attributes).c_str(), info.size, FileTimeToText(info.modificationTime).c_str(),
                      overwritten.c_str(), id.c_str());
        std::cout << line << path << (isFolder ? "/" : "") << (info.indexSlack ? "  (name from index slack)" : "")
                  << "\n";
}

void PrintListHeader() {
    // The columns of PrintListItem's text row.
    char line[96];
    std::snprintf(line, sizeof line, "%s %-7s %12s  %-20s %5s %10s  ", " ", "Attr", "Size", "Modified", "Over", "Id");
    std::cout << line << "Path\n";
}

