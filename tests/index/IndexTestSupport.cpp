#include "IndexTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "app/Log.h"
#include "engine/index/VolumeFactory.h"
#include "engine/volume/SearchCriteria.h"
#include "engine/search/SearchJob.h"
#include "platform/DriveTable.h"
#include "platform/Text.h"

namespace indextest {

using testutil::Quote;

Drive::Drive(const std::string& path, uint64_t offset) {
    m_letter = CDriveTable::Instance().Assign(SourceSpec {path, offset, 0, 0});
}

Drive::~Drive() {
    if (m_letter) CDriveTable::Instance().Remove(m_letter);
}

std::unique_ptr<CVolume> Drive::Open() const {
    VolumeStatus why;
    return m_letter ? CreateVolume(m_letter, why) : nullptr;
}

namespace {

std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

std::string Item(const FileItemInfo& i) {
    return U8(i.name) + "|size=" + std::to_string(i.size) + "|attr=" + std::to_string(i.attributes) +
           "|ct=" + std::to_string(i.creationTime) + "|mt=" + std::to_string(i.modificationTime) +
           "|ds=" + std::to_string(i.dataStatus) + "|id=" + std::to_string(i.id) + "|rp=" + U8(i.recycledPath) +
           "|ns=" + NameStateWord(i.nameState) + "|rs=" + RecordStateWord(i.recordState) + "|orphan=" +
           std::to_string(i.orphan);
}

// What a recovery of a deleted file writes: where its data is taken to lie,
// and the first MiB of the bytes read (their length and FNV-1a hash).
std::string RecoveredData(CVolume& v, uint32_t id) {
    std::string out = "layout=" + std::to_string(static_cast<int>(v.DataLayoutOf(id)));
    std::unique_ptr<IGenericFile> file;
    if (!v.OpenFile(id, file) || !file) return out + " open=0";
    uint64_t hash = 1469598103934665603ULL, total = 0;
    std::vector<uint8_t> buf(64 << 10);
    uint32_t got = 0;
    while (total < (1u << 20) && file->Read(buf.data(), static_cast<uint32_t>(buf.size()), got) && got > 0) {
        for (uint32_t k = 0; k < got; ++k) hash = (hash ^ buf[k]) * 1099511628211ULL;
        total += got;
    }
    return out + " open=1 bytes=" + std::to_string(total) + " fnv=" + std::to_string(hash);
}

class Recorder {
public:
    Recorder(CVolume& v, std::vector<std::string>& out) : m_v(v), m_out(out) {}

    void Line(const std::string& s) { m_out.push_back(s); }
    void Counts(const std::string& label, bool ok, uint32_t folders, uint32_t files) {
        Line(label + " count " + std::to_string(ok) + " " + std::to_string(folders) + " " + std::to_string(files));
    }

    void Deleted(const std::string& where, std::unique_ptr<IEnumDeletedFiles> e, int depth) {
        if (!e) return;
        // Names only first, then the full items (and a reset in between).
        FileItemInfo info;
        for (int guard = 0; guard < 100000 && e->Next(info, true); ++guard)
            Line(where + " name " + U8(info.name) + "|attr=" + std::to_string(info.attributes) + "|id=" +
                 std::to_string(info.id));
        Line(where + " reset " + std::to_string(e->Reset()));
        std::vector<FileItemInfo> items;
        for (int guard = 0; guard < 100000 && e->Next(info, false); ++guard) items.push_back(info);
        for (const auto& it : items) {
            Line(where + " item " + Item(it));
            FileItemInfo fi;
            const bool got = m_v.GetFileInfo(it.id, true, fi);
            Line("  info " + std::to_string(got) + " " + (got ? Item(fi) : ""));
            std::u16string name;
            uint32_t attr = 0;
            const bool entry = m_v.GetIndexEntry(it.id, name, attr);
            Line("  entry " + std::to_string(entry) + " " + U8(name) + " " + std::to_string(attr));
            int32_t parent = 0;
            const bool hasParent = m_v.GetParentFolder(it.id, parent);
            Line("  parent " + std::to_string(hasParent) + " " + std::to_string(parent));
            Line("  lost " + std::to_string(m_v.IsLostFolder(it.id)));
            if (!(it.attributes & FILE_ATTRIBUTE_DIRECTORY)) Line("  data " + RecoveredData(m_v, it.id));
            if ((it.attributes & FILE_ATTRIBUTE_DIRECTORY) && depth < 64 && m_seen.insert(it.id).second) {
                uint32_t folders = 0, files = 0;
                Counts(" ", m_v.CountDeletedFiles(static_cast<int32_t>(it.id), folders, files), folders, files);
                std::unique_ptr<IEnumDeletedFiles> sub;
                const bool ok = m_v.EnumDeletedFiles(static_cast<int32_t>(it.id), sub);
                Line("  enum " + std::to_string(ok));
                Deleted(where + "/" + U8(it.name) + "#" + std::to_string(it.id), std::move(sub), depth + 1);
            }
        }
    }

    void Existing(const std::u16string& path, int depth) {
        const std::string where = U8(path);
        Line(where + " has " + std::to_string(m_v.HasDeletedFilesByPath(path)));
        Folder(where, [&](uint32_t& folders, uint32_t& files) { return m_v.CountDeletedFilesByPath(path, folders, files); },
               [&](std::unique_ptr<IEnumDeletedFiles>& e) { return m_v.EnumDeletedFilesByPath(path, e); });
        std::vector<FileItemInfo> live;
        if (depth >= 32 || !m_v.ListLiveFolder(path, live)) return;
        for (const auto& l : live) Line(where + " live " + Item(l));
        for (const auto& l : live) {
            if (!(l.attributes & FILE_ATTRIBUTE_DIRECTORY) || l.name == u"." || l.name == u"..") continue;
            if (++m_folders > 2000) return;
            Existing(path + l.name + u"\\", depth + 1);
        }
    }

    void Virtual(int32_t id) {
        Folder("virtual" + std::to_string(id),
               [&](uint32_t& folders, uint32_t& files) { return m_v.CountDeletedFiles(id, folders, files); },
               [&](std::unique_ptr<IEnumDeletedFiles>& e) { return m_v.EnumDeletedFiles(id, e); });
    }

    // The count and the deleted items of one folder.
    void Folder(const std::string& where, const std::function<bool(uint32_t&, uint32_t&)>& count,
                const std::function<bool(std::unique_ptr<IEnumDeletedFiles>&)>& enumerate) {
        uint32_t folders = 0, files = 0;
        Counts(where, count(folders, files), folders, files);
        std::unique_ptr<IEnumDeletedFiles> e;
        Line(where + " enum " + std::to_string(enumerate(e)));
        Deleted(where, std::move(e), 0);
    }

private:
    CVolume& m_v;
    std::vector<std::string>& m_out;
    std::set<uint32_t> m_seen;
    int m_folders = 0;
};

class Collect : public ISearchCallback {
public:
    WalkResult OnSearchProgress(uint32_t index, uint32_t total) override {
        last = index;
        this->total = total;
        return WalkResult::Continue;
    }
    WalkResult OnFileFound(const FileItemInfo& info) override {
        hits.push_back(info);
        return WalkResult::Continue;
    }
    std::vector<FileItemInfo> hits;
    uint32_t last = 0, total = 0;
};

}  // namespace

std::vector<std::string> Transcript(CVolume& v) {
    std::vector<std::string> out;
    Recorder r(v, out);
    std::u16string root;
    root += v.DriveLetter();
    root += u":\\";
    r.Existing(root, 0);
    r.Line("lost folders " + std::to_string(v.HasLostFolders()));
    r.Virtual(kLostFoldersId);
    r.Line("recycled " + std::to_string(v.HasRecycledFiles(false)) + " " + std::to_string(v.HasRecycledFiles(true)));
    r.Virtual(kRecycleBinId);
    std::unique_ptr<IEnumExistingFiles> ex;
    const bool exOk = v.EnumExistingFiles(ex);
    r.Line("recycled existing " + std::to_string(exOk));
    FileItemInfo info;
    for (int guard = 0; ex && guard < 100000 && ex->Next(info); ++guard) r.Line("  " + Item(info));
    for (int32_t id : {kNoFolderId, 0x7FFFFFF0}) {
        std::unique_ptr<IEnumDeletedFiles> e;
        r.Line("enum " + std::to_string(id) + " " + std::to_string(v.EnumDeletedFiles(id, e)));
    }

    // The search over everything, with where each hit lies.
    Collect all;
    SearchCriteria c;
    c.callback = &all;
    v.SearchFiles(&c);
    r.Line("search total " + std::to_string(all.total) + " hits " + std::to_string(all.hits.size()));
    for (const auto& h : all.hits) {
        std::u16string path;
        bool broken = false;
        uint32_t lastId = 0;
        const bool ok = v.GetFullPath(h.id, path, broken, lastId);
        std::string folders;
        const bool listed = ContainingFolderList(v, h.id, folders);
        r.Line("hit " + Item(h) + " path " + std::to_string(ok) + " " + U8(path) + " " + std::to_string(broken) + " " +
               std::to_string(lastId) + " folders " + std::to_string(listed) + " " + folders);
    }
    return out;
}

std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::string x = i < a.size() ? a[i] : "<end>";
        const std::string y = i < b.size() ? b[i] : "<end>";
        if (x != y) return "line " + std::to_string(i) + ":\n  built:    " + x + "\n  restored: " + y;
    }
    return "";
}

LogCapture::LogCapture(const std::string& path) : m_path(path) {
    std::remove(path.c_str());
    CLogFile::Instance().Open(path);
    CLogFile::Instance().SetLevel(2);
}

LogCapture::~LogCapture() {
    CLogFile::Instance().Close();
    CLogFile::Instance().SetLevel(0);
}

std::string LogCapture::Text() const {
    auto b = testutil::ReadFileBytes(m_path);
    return std::string(b.begin(), b.end());
}

namespace {

testutil::TempDir& WorkDir() {
    static testutil::TempDir* dir = new testutil::TempDir();  // lives until the process ends
    return *dir;
}

// A $I record of the Windows 10 layout: version 2, size, deletion time, the
// length of the former path in characters (with its NUL), the path.
std::vector<uint8_t> RecycleInfo(const std::u16string& formerPath, uint64_t size) {
    std::vector<uint8_t> b(28, 0);
    b[0] = 2;
    for (int i = 0; i < 8; ++i) b[8 + i] = static_cast<uint8_t>(size >> (8 * i));
    const uint64_t when = 132000000000000000ull;
    for (int i = 0; i < 8; ++i) b[16 + i] = static_cast<uint8_t>(when >> (8 * i));
    const uint32_t chars = static_cast<uint32_t>(formerPath.size() + 1);
    for (int i = 0; i < 4; ++i) b[24 + i] = static_cast<uint8_t>(chars >> (8 * i));
    for (char16_t c : formerPath) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

std::string Once(const std::string& key, const std::function<std::string()>& make) {
    static std::mutex lock;
    static std::map<std::string, std::string> made;
    std::lock_guard<std::mutex> g(lock);
    auto it = made.find(key);
    if (it != made.end()) return it->second;
    return made[key] = make();
}

}  // namespace

void UsePrivateCacheFolder() {
    static const std::string folder = WorkDir().file("cache");
    setenv("XDG_CACHE_HOME", folder.c_str(), 1);
}

std::string NtfsFixtureImage() {
    return Once("ntfs", [] {
        const std::string fixture = testutil::BinDir() + "/ntfs-fixture";
        if (!testutil::HaveTool("mkntfs") || !std::ifstream(fixture)) return std::string();
        const std::string image = WorkDir().file("ntfs.img");
        testutil::WriteFileBytes(WorkDir().file("i1"), RecycleInfo(u"C:\\Docs\\report.txt", 24));
        testutil::WriteFileBytes(WorkDir().file("i2"), RecycleInfo(u"C:\\Docs\\letter.doc", 20));
        const std::string bin = "/$Recycle.Bin/S-1-5-21-7-1001/";
        std::ofstream(WorkDir().file("script")) <<
            // The first folder's record is the lowest one freed below: the
            // file written after the remount takes it, and orphan.txt is left
            // under a lost folder.
            "mkdir /Lost\n"
            "text /Lost/orphan.txt \"its folder's record now holds a file\"\n"
            "mkdir /Docs/Old\n"
            "write /Docs/a.txt random:1 3000\n"
            "write /Docs/Old/b.bin random:2 9000\n"
            "text /Docs/keep.txt \"kept\"\n"
            "mkdir /Gone/Inner\n"
            "write /Gone/Inner/c.txt random:3 5000\n"
            "text /Gone/d.txt \"deleted with its folder\"\n"
            "mkdir " << bin << "\n"
            "copyin " << bin << "$IABC123.txt " << WorkDir().file("i1") << "\n"
            "text " << bin << "$RABC123.txt \"recycled, still there\"\n"
            "copyin " << bin << "$IXYZ789.doc " << WorkDir().file("i2") << "\n"
            "text " << bin << "$RXYZ789.doc \"emptied from the bin\"\n"
            "delete /Lost/orphan.txt\n"
            "delete /Lost\n"
            "delete /Docs/a.txt\n"
            "delete /Docs/Old/b.bin\n"
            "delete /Gone/Inner/c.txt\n"
            "delete /Gone/Inner\n"
            "delete /Gone/d.txt\n"
            "delete /Gone\n"
            "delete " << bin << "$IXYZ789.doc\n"
            "delete " << bin << "$RXYZ789.doc\n"
            "remount\n"
            "text /reuse.txt \"takes the record of /Lost\"\n";
        auto r = testutil::Run("truncate -s 16M " + Quote(image) + " && mkntfs -F -f -q " + Quote(image) +
                               " >/dev/null 2>&1 && " + Quote(fixture) + " " + Quote(image) + " - < " +
                               Quote(WorkDir().file("script")) + " >/dev/null");
        if (r.exitCode != 0) {
            ADD_FAILURE() << "NTFS fixture: " << r.out;
            return std::string();
        }
        return image;
    });
}

std::string FatRecycleBinImage() {
    return Once("fatrb", [] {
        if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) return std::string();
        const std::string image = WorkDir().file("fatrb.img");
        const std::string i1 = WorkDir().file("fi1"), i2 = WorkDir().file("fi2"), data = WorkDir().file("data");
        testutil::WriteFileBytes(i1, RecycleInfo(u"E:\\Docs\\report.txt", 5000));
        testutil::WriteFileBytes(i2, RecycleInfo(u"E:\\Docs\\letter.doc", 5000));
        testutil::WriteFileBytes(data, testutil::PatternBytes(5000, 7));
        const std::string m = "MTOOLS_SKIP_CHECK=1 ";
        const std::string img = " -i " + Quote(image) + " ";
        const std::string bin = "'::/$RECYCLE.BIN/S-1-5-21-7-1001";
        auto r = testutil::Run(
            "set -e; mkfs.fat -C -F 16 -n QRB " + Quote(image) + " 16384 >/dev/null; " + m + "mmd" + img +
            "'::/$RECYCLE.BIN' " + bin + "' ::/Docs ::/Gone ::/Gone/Inner; " +
            m + "mcopy" + img + Quote(i1) + " " + bin + "/$IABC123.TXT'; " +
            m + "mcopy" + img + Quote(data) + " " + bin + "/$RABC123.TXT'; " +
            m + "mcopy" + img + Quote(i2) + " " + bin + "/$IXYZ789.DOC'; " +
            m + "mcopy" + img + Quote(data) + " " + bin + "/$RXYZ789.DOC'; " +
            m + "mcopy" + img + Quote(data) + " '::/Docs/Old notes.txt'; " +
            m + "mcopy" + img + Quote(data) + " ::/Docs/keep.txt; " +
            m + "mcopy" + img + Quote(data) + " ::/Gone/Inner/c.txt; " +
            m + "mcopy" + img + Quote(data) + " '::/Gone/A long name.txt'; " +
            m + "mdel" + img + bin + "/$IXYZ789.DOC' " + bin + "/$RXYZ789.DOC' '::/Docs/Old notes.txt'; " +
            m + "mdeltree" + img + "::/Gone");
        if (r.exitCode != 0) {
            ADD_FAILURE() << "FAT fixture: " << r.out;
            return std::string();
        }
        return image;
    });
}

std::string GunzipOnce(const std::string& gzPath, const std::string& name) {
    return Once("gz:" + gzPath, [&] {
        if (!std::ifstream(gzPath)) return std::string();
        const std::string out = WorkDir().file(name);
        auto r = testutil::Run("gunzip -c " + Quote(gzPath) + " > " + Quote(out));
        return r.exitCode == 0 ? out : std::string();
    });
}

}  // namespace indextest
