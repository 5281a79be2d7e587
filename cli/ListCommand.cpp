// `quarlix index` and `quarlix list`: the deleted items of a volume under the
// folders that held them, beside the existing items, as the browse page
// shows them.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <iostream>
#include <set>

#include "cli/Commands.h"
#include "cli/Session.h"
#include "platform/Text.h"

namespace {

constexpr int kMaxDepth = 256;  // folder trees deeper than this are cut (hostile volumes)

struct ListOptions {
    bool recursive = false;
    bool deletedOnly = false;
    bool json = false;
};

// Where a listed folder lives: an existing folder (by path) or a deleted one (by id).
struct Container {
    std::string cliPath;       // "/Docs/Old"
    bool existing = true;      // reached by path
    int32_t id = 0;            // deleted folder id, or -1 / -2 for the virtual folders
    bool lost = false;         // inside $LostFolders
};

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

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

class Lister {
public:
    Lister(CVolume& volume, char16_t letter, const ListOptions& options)
        : m_volume(volume), m_letter(letter), m_options(options) {}

    void Print(const FileItemInfo& info, const std::string& folder, bool deleted, bool lost) {
        const bool isFolder = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::string name = Utf16ToUtf8(info.name);
        if (deleted && lost && name.empty()) name = "Folder" + std::to_string(info.id);
        std::string path = Join(folder, name);
        ++m_printed;
        if (m_options.json) {
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

    // Lists one folder; returns its subfolders for the recursive walk.
    std::vector<Container> ListFolder(const Container& c) {
        std::vector<Container> subfolders;
        if (c.existing) {
            std::u16string enginePath = EnginePath(m_letter, c.cliPath);
            std::vector<FileItemInfo> live;
            if (m_volume.ListLiveFolder(enginePath, live)) {
                for (const auto& item : live) {
                    if (!m_options.deletedOnly) Print(item, c.cliPath, false, false);
                    if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                        std::string sub = Join(c.cliPath, Utf16ToUtf8(item.name));
                        if (!m_options.deletedOnly || m_volume.HasDeletedFilesByPath(EnginePath(m_letter, sub)))
                            subfolders.push_back({sub, true, 0, false});
                    }
                }
            }
            std::unique_ptr<IEnumDeletedFiles> e;
            if (m_volume.EnumDeletedFilesByPath(enginePath, e) && e) EnumerateDeleted(*e, c, subfolders);
            if (c.cliPath == "/") {
                if (m_volume.HasLostFolders()) {
                    FileItemInfo v;
                    v.name = u"$LostFolders";
                    v.attributes = FILE_ATTRIBUTE_DIRECTORY;
                    PrintVirtual(v);
                    subfolders.push_back({"/$LostFolders", false, kLostFoldersId, true});
                }
                if (m_volume.HasRecycledFiles(false)) {
                    FileItemInfo v;
                    v.name = u"$RecycleBin";
                    v.attributes = FILE_ATTRIBUTE_DIRECTORY;
                    PrintVirtual(v);
                    subfolders.push_back({"/$RecycleBin", false, kRecycleBinId, false});
                }
            }
        } else {
            if (c.id == kRecycleBinId && !m_options.deletedOnly) {
                std::unique_ptr<IEnumExistingFiles> ex;
                if (m_volume.EnumExistingFiles(ex) && ex) {
                    FileItemInfo info;
                    for (int guard = 0; guard < 10000000 && ex->Next(info); ++guard) Print(info, c.cliPath, false, false);
                }
            }
            std::unique_ptr<IEnumDeletedFiles> e;
            if (m_volume.EnumDeletedFiles(c.id, e) && e) EnumerateDeleted(*e, c, subfolders);
        }
        return subfolders;
    }

    void Walk(const Container& root) {
        std::function<void(const Container&, int)> walk = [&](const Container& c, int depth) {
            std::vector<Container> subs = ListFolder(c);
            if (!m_options.recursive || depth >= kMaxDepth) return;
            for (const auto& s : subs) {
                if (!s.existing && s.id > 0 && !m_seenIds.insert(s.id).second) continue;  // a loop in a damaged index
                walk(s, depth + 1);
            }
        };
        walk(root, 0);
    }

    size_t Printed() const { return m_printed; }

private:
    void PrintVirtual(const FileItemInfo& v) {
        if (m_options.deletedOnly) return;
        if (m_options.json) {
            EmitJson({{"id", nullptr}, {"name", Utf16ToUtf8(v.name)}, {"path", "/" + Utf16ToUtf8(v.name)},
                      {"folder", true}, {"deleted", false}, {"lost", false}, {"size", 0}, {"attributes", v.attributes},
                      {"created", nullptr}, {"modified", nullptr}, {"overwritten", nullptr}});
        } else {
            std::cout << "  D------            0                               /" << Utf16ToUtf8(v.name) << "/\n";
        }
        ++m_printed;
    }

    void EnumerateDeleted(IEnumDeletedFiles& e, const Container& c, std::vector<Container>& subfolders) {
        FileItemInfo info;
        const bool lost = c.lost;
        for (int guard = 0; guard < 50000000 && e.Next(info, false); ++guard) {
            Print(info, c.cliPath, true, lost);
            if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                std::string name = Utf16ToUtf8(info.name);
                if (lost && name.empty()) name = "Folder" + std::to_string(info.id);
                subfolders.push_back({Join(c.cliPath, name), false, static_cast<int32_t>(info.id), lost});
            }
        }
    }

    CVolume& m_volume;
    char16_t m_letter;
    ListOptions m_options;
    size_t m_printed = 0;
    std::set<int32_t> m_seenIds;
};

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
        std::string next = Join(c.cliPath, part);
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
                        c.cliPath = Join(c.cliPath, Utf16ToUtf8(item.name));
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

}  // namespace

int RunIndex(const GlobalOptions& options, const std::string& source, int partition, bool rescan) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, rescan, s)) return rc;
    CVolume& v = *s.volume;
    uint32_t folders = 0, files = 0;
    v.CountDeletedFilesByPath(EnginePath(s.source.letter, "/"), folders, files);
    uint32_t lost = 0;
    if (v.HasLostFolders()) {
        std::unique_ptr<IEnumDeletedFiles> e;
        FileItemInfo info;
        if (v.EnumDeletedFiles(kLostFoldersId, e) && e)
            while (e->Next(info, true)) ++lost;
    }
    uint32_t rbFolders = 0, rbFiles = 0, rbExisting = 0;
    v.CountDeletedFiles(kRecycleBinId, rbFolders, rbFiles);
    std::unique_ptr<IEnumExistingFiles> ex;
    FileItemInfo info;
    if (v.EnumExistingFiles(ex) && ex)
        while (ex->Next(info)) ++rbExisting;
    uint32_t recycled = rbFolders + rbFiles + rbExisting;
    if (options.json) {
        EmitJson({{"source", s.source.path}, {"deleted_files", files}, {"deleted_folders", folders},
                  {"lost_folders", lost}, {"recycled", recycled}, {"from_cache", s.fromCache},
                  {"seconds", s.seconds}, {"complete", !s.interrupted}});
    } else {
        std::printf("Index of %s%s\n", s.source.path.c_str(), s.fromCache ? " (restored from the cache)" : "");
        std::printf("  deleted files:    %u\n  deleted folders:  %u\n  lost folders:     %u\n  recycle bin:      %u\n",
                    files, folders, lost, recycled);
        std::printf("  time: %.2f s%s\n", s.seconds, s.interrupted ? " (interrupted: the index is partial)" : "");
    }
    return s.interrupted ? kExitInterrupted : kExitOk;
}

int RunList(const GlobalOptions& options, const std::string& source, int partition, const std::string& folder,
            bool recursive, bool deletedOnly) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, false, s)) return rc;
    Container c;
    std::string f = folder.empty() ? "/" : folder;
    if (f[0] != '/') f = "/" + f;
    if (!ResolveFolder(*s.volume, s.source.letter, f, c)) {
        PrintError("no folder " + f + " on " + source);
        return kExitUsage;
    }
    Lister lister(*s.volume, s.source.letter, {recursive, deletedOnly, options.json});
    lister.Walk(c);
    if (s.interrupted) {
        PrintError("interrupted while indexing: the listing is partial");
        return kExitInterrupted;
    }
    return kExitOk;
}
