// `quarlix index` and `quarlix list`: the deleted items of a volume under the
// folders that held them, beside the existing items, as the browse page
// shows them.
#include <cstdio>
#include <functional>
#include <iostream>
#include <set>

#include "cli/Browse.h"
#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "cli/Session.h"
#include "platform/Text.h"

namespace {

constexpr int kMaxDepth = 256;  // folder trees deeper than this are cut (hostile volumes)

struct ListOptions {
    bool recursive = false;
    bool deletedOnly = false;
};

class Lister {
public:
    Lister(CVolume& volume, char16_t letter, const ListOptions& options, CRecordWriter& out)
        : m_volume(volume), m_letter(letter), m_options(options), m_out(out) {}

    void Print(const FileItemInfo& info, const std::string& folder, bool deleted, bool lost, bool lostFolder = false) {
        ++m_printed;
        ItemRecord r = ListItemRecord(info, folder, deleted, lost, lostFolder);
        if (!lostFolder) AddUnreadable(m_volume, info.id, r);
        m_out.Write(r);
    }

    // Lists one folder; returns its subfolders for the recursive walk.
    std::vector<Container> ListFolder(const Container& c) {
        // The browse page's rows; with --deleted-only the command line prints
        // the deleted rows alone (the live folders that hold deleted items
        // and the virtual folders are walked, not printed), so that scripts
        // get deleted items only.
        FolderListing listing = ::ListFolder(m_volume, m_letter, c, m_options.deletedOnly);
        for (const ListedItem& row : listing.items) {
            if (m_options.deletedOnly && !row.deleted) continue;
            if (row.virtualFolder) PrintVirtual(row.info);
            else Print(row.info, c.path, row.deleted, row.lost, row.lostFolder);
        }
        return std::move(listing.subfolders);
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
        ItemRecord r;
        r.name = Utf16ToUtf8(v.name);
        r.path = JoinFolderPath("/", PathPart(r.name));
        r.folder = true;
        r.virtualFolder = true;
        r.attributes = v.attributes;
        m_out.Write(r);
        ++m_printed;
    }

    CVolume& m_volume;
    char16_t m_letter;
    ListOptions m_options;
    CRecordWriter& m_out;
    size_t m_printed = 0;
    std::set<int32_t> m_seenIds;
};

}  // namespace

int RunIndex(const GlobalOptions& options, const std::string& source, int partition, bool rescan) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, rescan, s)) return rc;
    CVolume& v = *s.volume;
    uint32_t folders = 0, files = 0;
    v.CountDeletedFilesByPath(VolumePath(s.source.letter, "/"), folders, files);
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
    MakeRecordWriter(options.json, std::cout)
        ->Write(IndexRecord {s.source.path, files, folders, lost, recycled, s.fromCache, s.seconds, !s.interrupted,
                             s.readLosses});
    return s.ListedExit();
}

int RunList(const GlobalOptions& options, const std::string& source, int partition, const std::string& folder,
            bool recursive, bool deletedOnly, const std::string& idArg) {
    uint64_t id = 0;
    if (!idArg.empty()) {
        if (!folder.empty()) {
            PrintError("list takes a FOLDER or --id, not both");
            return kExitUsage;
        }
        if (!ParseItemId(idArg, id)) {
            PrintError("--id must be an id as list prints it, not '" + idArg + "'");
            return kExitUsage;
        }
    }
    IndexedSource s;
    SourceError error;
    OpenedSource opened;
    if (!OpenSource(source, partition, true, opened, error)) {
        PrintError(error.message);
        return error.exitCode;
    }
    // A recursive listing of a folder shows every live item below it: the
    // index build keeps them as it reads their records (where the file
    // system gains by it), and no folder's structures are read again.
    if (recursive && idArg.empty()) opened.volume->KeepLiveItems(true);
    if (int rc = IndexOpenedSource(options, std::move(opened), false, s)) return rc;
    if (!idArg.empty()) {
        // One deleted item by its id: a folder is listed like a folder given
        // by path (also one whose path is shared with another), a file as
        // its own line.
        FoundItem item;
        if (!FindItemById(*s.volume, s.source.letter, id, item)) {
            PrintError("no deleted item with id " + idArg + " on " + source);
            return kExitUsage;
        }
        auto out = MakeRecordWriter(options.json, std::cout);
        Lister lister(*s.volume, s.source.letter, {recursive, deletedOnly}, *out);
        if (item.IsFolder()) {
            lister.Walk(item.AsContainer());
        } else {
            FileItemInfo info;
            if (!s.volume->GetFileInfo(item.info.id, true, info)) {
                PrintError("cannot read the item with id " + idArg);
                return kExitPartial;
            }
            lister.Print(info, item.folder, true, item.lost);
        }
        return s.ListedExit();
    }
    Container c;
    std::string f = folder.empty() ? "/" : folder;
    if (f[0] != '/') f = "/" + f;
    if (!ResolveFolder(*s.volume, s.source.letter, f, c)) {
        PrintError("no folder " + f + " on " + source);
        return kExitUsage;
    }
    auto out = MakeRecordWriter(options.json, std::cout);
    Lister lister(*s.volume, s.source.letter, {recursive, deletedOnly}, *out);
    out->BeginItems();
    lister.Walk(c);
    if (s.interrupted) {
        PrintError("interrupted while indexing: the listing is partial");
        return kExitInterrupted;
    }
    return s.ListedExit();
}
