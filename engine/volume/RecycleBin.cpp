// The recycle bin of both file systems: maps the generated names of recycled
// files back to the names they had, from INFO2 or from the $I files.
//
// Sources here are unmounted devices and images, so "does folder + name
// exist" and the attribute data of a recycled file come from the volume's
// own live-folder lister (ListLiveFolder), and the record files are read
// through OpenFileByPath (live) or OpenFile (deleted). The layout is chosen
// by what each folder holds: INFO2 when it has one, else $I/$R pairs. The
// recycle-bin folder itself and every live subfolder of it (one per user
// SID) are read. Names are matched without regard to case.
//
// Threads: the lists are written by the indexing worker (end of BuildIndex);
// the enumerators and counts read them afterwards.
#include "RecycleBin.h"

#include <algorithm>
#include <unordered_map>

#include "app/Log.h"
#include "engine/volume/Volume.h"
#include "platform/LeBytes.h"

namespace recyclebin {

namespace {

std::u16string ReadWide(const LeBytes& b, size_t off, size_t maxUnits) {
    std::u16string s;
    for (size_t i = 0; i < maxUnits && b.has(off + 2 * i, 2); ++i) {
        char16_t c = b.u16(off + 2 * i);
        if (c == 0) break;
        s += c;
    }
    return s;
}

}  // namespace

bool ParseInfo2Record(const uint8_t* data, size_t size, Info2Record& out) {
    if (!data || size < kInfo2RecordSize) return false;
    LeBytes b(data, kInfo2RecordSize);
    out.number = b.u32(kInfo2Number);
    const uint32_t drive = b.u32(kInfo2Drive);
    out.driveLetter = static_cast<char16_t>(u'a' + (drive < 26 ? drive : 25));
    out.formerPath = ReadWide(b, kInfo2WidePath, 260);
    return b.ok();
}

std::u16string Info2RecycledName(const Info2Record& record) {
    std::u16string name = u"D";
    name += record.driveLetter;
    for (char c : std::to_string(record.number)) name += static_cast<char16_t>(c);
    name += Extension(LastComponent(record.formerPath));
    return name;
}

bool ParseDollarI(const uint8_t* data, size_t size, std::u16string& formerPath) {
    formerPath.clear();
    if (!data || size < 24) return false;
    LeBytes b(data, size);
    const uint64_t version = b.u64(0);
    if (version == 1) {
        if (size < kDollarIV1Size) return false;
        formerPath = ReadWide(b, 24, 260);
        return true;
    }
    if (version == 2) {
        if (size < 28) return false;
        const uint32_t length = b.u32(24);
        if (length == 0) return false;
        const size_t present = (size - 28) / 2;
        formerPath = ReadWide(b, 28, std::min<size_t>(length, present));
        return true;
    }
    return false;
}

std::u16string LastComponent(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string Extension(std::u16string_view name) {
    size_t dot = name.rfind(u'.');
    return dot == std::u16string_view::npos ? std::u16string() : std::u16string(name.substr(dot));
}

std::u16string FoldAscii(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace recyclebin

using namespace recyclebin;

namespace {

// Reads at most max bytes of an item's data.
std::vector<uint8_t> ReadSome(IGenericFile& file, size_t max) {
    std::vector<uint8_t> out;
    if (!file.Rewind()) return out;
    uint8_t buf[4096];
    for (int guard = 0; out.size() < max && guard < 1 << 16; ++guard) {
        uint32_t got = 0;
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(sizeof buf, max - out.size()));
        if (!file.Read(buf, want, got) || got == 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

// The live entries of one folder by folded name.
struct LiveFolder {
    std::unordered_map<std::u16string, FileItemInfo> byName;
    const FileItemInfo* Find(std::u16string_view name) const {
        auto it = byName.find(FoldAscii(name));
        return it == byName.end() ? nullptr : &it->second;
    }
};

LiveFolder ListFolder(CVolume& volume, const std::u16string& folder) {
    LiveFolder out;
    std::vector<FileItemInfo> items;
    if (!volume.ListLiveFolder(folder, items)) return out;
    for (auto& i : items) out.byName.emplace(FoldAscii(i.name), std::move(i));
    return out;
}

// The deleted items of a folder (names only), first "?" replaced.
std::vector<std::pair<uint32_t, std::u16string>> DeletedNames(CVolume& volume, const std::u16string& folder,
                                                              char16_t firstReplacement) {
    std::vector<std::pair<uint32_t, std::u16string>> out;
    std::unique_ptr<IEnumDeletedFiles> e;
    if (!volume.EnumDeletedFilesByPath(folder, e) || !e) return out;
    e->Reset();
    FileItemInfo info;
    for (int guard = 0; guard < 1 << 22 && e->Next(info, true); ++guard) {
        std::u16string name = info.name;
        if (!name.empty() && name[0] == u'?') name[0] = firstReplacement;
        out.emplace_back(info.id, std::move(name));
    }
    return out;
}

std::u16string RootPath(char16_t letter) {
    std::u16string p;
    p += letter ? letter : u'C';
    p += u":\\";
    return p;
}


}  // namespace

std::u16string CVolume::FindRecycleBinFolder() {
    const std::u16string root = RootPath(m_driveLetter);
    std::vector<FileItemInfo> items;
    if (!ListLiveFolder(root, items)) return {};
    for (const char16_t* candidate : {u"$Recycle.Bin", u"RECYCLER", u"Recycled"})
        for (const auto& i : items)
            if ((i.attributes & FILE_ATTRIBUTE_DIRECTORY) && EqualsNoCase(i.name, candidate))
                return root + i.name + u"\\";
    return {};
}

void CVolume::ClearRecycleBin() {
    m_rbExisting.clear();
    m_rbDeleted.clear();
}

void CVolume::ReloadRecycleBin() { LoadRecycleBin(GetRecycleBinPath()); }

void CVolume::LoadRecycleBin(const std::u16string& top) {
    CScopeTrace trace(1, "CVolume::LoadRecycleBin");
    ClearRecycleBin();
    if (top.empty()) return;
    std::u16string base = top;
    if (base.back() != u'\\') base += u'\\';
    std::vector<std::u16string> folders{base};
    {
        std::vector<FileItemInfo> items;
        if (ListLiveFolder(base, items))
            for (const auto& i : items)
                if (i.attributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(base + i.name + u"\\");
    }
    for (const auto& folder : folders) {
        LiveFolder live = ListFolder(*this, folder);
        if (live.Find(u"INFO2")) {
            // INFO2 layout.
            std::unique_ptr<IGenericFile> file;
            if (!OpenFileByPath(folder + live.Find(u"INFO2")->name, file) || !file) continue;
            const size_t max = kInfo2HeaderSize + kInfo2RecordSize * kMaxInfo2Records;
            std::vector<uint8_t> bytes = ReadSome(*file, max);
            std::vector<std::pair<uint32_t, std::u16string>> deleted;
            bool deletedListed = false;
            for (size_t off = kInfo2HeaderSize; off + kInfo2RecordSize <= bytes.size(); off += kInfo2RecordSize) {
                Info2Record rec;
                if (!ParseInfo2Record(bytes.data() + off, kInfo2RecordSize, rec)) break;
                const std::u16string name = Info2RecycledName(rec);
                const std::u16string former = LastComponent(rec.formerPath);
                if (const FileItemInfo* f = live.Find(name)) {
                    m_rbExisting[folder + f->name] = RecycledItem{folder, f->name, former};
                    continue;
                }
                if (!deletedListed) {
                    deleted = DeletedNames(*this, folder, u'D');
                    deletedListed = true;
                }
                for (const auto& [id, n] : deleted)
                    if (EqualsNoCase(n, name)) {
                        m_rbDeleted[id] = former;
                        break;
                    }
            }
            continue;
        }
        // $I/$R layout.
        std::vector<std::pair<uint32_t, std::u16string>> deleted = DeletedNames(*this, folder, u'$');
        auto handle = [&](const std::u16string& n, uint32_t id) {
            if (n.size() < 8) return;
            const size_t dot = n.rfind(u'.');
            if (dot != std::u16string::npos && dot != 8) return;
            std::u16string r = n;
            r[1] = u'R';
            const std::u16string ext = dot == std::u16string::npos ? std::u16string() : n.substr(dot);
            auto extensionFits = [&](const std::u16string& former) {
                return ext.empty() || EqualsNoCase(ext, Extension(LastComponent(former)));
            };
            if (const FileItemInfo* rFile = live.Find(r)) {
                const FileItemInfo* iFile = live.Find(n);
                if (!iFile) return;
                std::unique_ptr<IGenericFile> file;
                if (!OpenFileByPath(folder + iFile->name, file) || !file) return;
                std::vector<uint8_t> bytes = ReadSome(*file, kDollarIMaxRead);
                std::u16string former;
                if (!ParseDollarI(bytes.data(), bytes.size(), former) || !extensionFits(former)) return;
                m_rbExisting[folder + rFile->name] = RecycledItem{folder, rFile->name, LastComponent(former)};
                return;
            }
            for (const auto& [rid, rname] : deleted) {
                if (!EqualsNoCase(rname, r)) continue;
                if (id == 0) return;
                std::unique_ptr<IGenericFile> file;
                if (!OpenFile(id, file) || !file) return;
                std::vector<uint8_t> bytes = ReadSome(*file, kDollarIMaxRead);
                std::u16string former;
                if (!ParseDollarI(bytes.data(), bytes.size(), former) || !extensionFits(former)) return;
                m_rbDeleted[rid] = LastComponent(former);
                return;
            }
        };
        for (const auto& [folded, item] : live.byName)
            if (item.name.size() >= 2 && EqualsNoCase(item.name.substr(0, 2), u"$I") &&
                !(item.attributes & FILE_ATTRIBUTE_DIRECTORY))
                handle(item.name, 0);
        for (const auto& [id, name] : deleted)
            if (name.size() >= 2 && EqualsNoCase(name.substr(0, 2), u"$I")) handle(name, id);
    }
}

bool CVolume::HasRecycledFiles(bool deletedOnly) {
    return !m_rbDeleted.empty() || (!deletedOnly && !m_rbExisting.empty());
}

bool CVolume::EnumExistingFiles(std::unique_ptr<IEnumExistingFiles>& enumerator) {
    enumerator = std::make_unique<CEnumRBExistingFiles>(*this);
    return true;
}

bool CVolume::EnumRecycleBinDeleted(std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator = std::make_unique<CEnumRBDeletedFiles>(*this);
    return true;
}

bool CVolume::CountDeletedFiles(int32_t folderId, uint32_t& folders, uint32_t& files) {
    if (folderId != kRecycleBinId) return false;
    folders = 0;
    files = 0;
    for (const auto& [path, item] : m_rbExisting) {
        std::vector<FileItemInfo> items;
        LiveFolder live = ListFolder(*this, item.folder);
        const FileItemInfo* f = live.Find(item.recycledName);
        if (!f || !(f->attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        uint32_t d = 0, n = 0;
        if (CountDeletedFilesByPath(path, d, n)) {
            folders += d;
            files += n;
        }
    }
    for (const auto& [id, former] : m_rbDeleted) {
        std::u16string name;
        uint32_t attributes = 0;
        if (GetIndexEntry(id, name, attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            uint32_t d = 0, n = 0;
            if (CountDeletedFiles(static_cast<int32_t>(id), d, n)) {
                folders += d;
                files += n;
            }
            ++folders;
        } else {
            ++files;
        }
    }
    return true;
}

CVolume::CEnumRBExistingFiles::CEnumRBExistingFiles(CVolume& volume)
    : m_volume(volume), m_pos(volume.m_rbExisting.begin()) {}

bool CVolume::CEnumRBExistingFiles::Reset() {
    m_pos = m_volume.m_rbExisting.begin();
    return true;
}

bool CVolume::CEnumRBExistingFiles::Next(FileItemInfo& info) {
    if (m_pos == m_volume.m_rbExisting.end()) return false;
    const RecycledItem& item = m_pos->second;
    LiveFolder live = ListFolder(m_volume, item.folder);
    const FileItemInfo* f = live.Find(item.recycledName);
    if (!f) return false;  // the recycled file can no longer be examined
    info = *f;
    info.name = item.formerName;
    info.dataStatus = 0;
    info.recycledPath = m_pos->first;
    ++m_pos;
    return true;
}

CVolume::CEnumRBDeletedFiles::CEnumRBDeletedFiles(CVolume& volume)
    : m_volume(volume), m_pos(volume.m_rbDeleted.begin()) {}

bool CVolume::CEnumRBDeletedFiles::Reset() {
    m_pos = m_volume.m_rbDeleted.begin();
    return true;
}

bool CVolume::CEnumRBDeletedFiles::Next(FileItemInfo& info, bool namesOnly) {
    if (m_pos == m_volume.m_rbDeleted.end()) return false;
    const uint32_t id = m_pos->first;
    if (namesOnly) {
        std::u16string name;
        uint32_t attributes = 0;
        if (!m_volume.GetIndexEntry(id, name, attributes)) return false;
        info = FileItemInfo{};
        info.attributes = attributes;
    } else if (!m_volume.GetFileInfo(id, true, info)) {
        return false;
    }
    info.id = id;
    info.name = m_pos->second;
    info.recycledPath.clear();
    ++m_pos;
    return true;
}
