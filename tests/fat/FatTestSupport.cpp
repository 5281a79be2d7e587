#include "FatTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "common/TestUtil.h"
#include "platform/Text.h"

namespace fattest {

std::string Utf8(const std::u16string& s) { return Utf16ToUtf8(s); }
std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

bool HaveFixtureTools() {
    return testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mdeltree");
}

std::string MakeFixture(const std::string& kind, const std::string& path) {
    std::string script = testutil::SourceDir() + "/tools/make-fat-fixture.sh";
    auto r = testutil::Run(testutil::Quote(script) + " " + kind + " " + testutil::Quote(path));
    if (r.exitCode != 0) return r.out.empty() ? "fixture script failed" : r.out;
    return {};
}

const std::string& FixtureImage(const std::string& kind) {
    // Built once into the build tree and shared by the test processes (ctest
    // runs each test on its own); rebuilt when the script is newer. Tests
    // that change an image work on a copy.
    static std::map<std::string, std::string> built;
    static const std::string none;
    auto it = built.find(kind);
    if (it != built.end()) return it->second;
    if (!HaveFixtureTools()) return none;
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(testutil::BinDir()) / "fat-fixtures";
    const fs::path script = fs::path(testutil::SourceDir()) / "tools" / "make-fat-fixture.sh";
    const fs::path path = dir / (kind + ".img");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::exists(path, ec) || fs::last_write_time(path, ec) < fs::last_write_time(script, ec)) {
        const fs::path temp = dir / (kind + ".img." + std::to_string(getpid()));
        std::string err = MakeFixture(kind, temp.string());
        if (!err.empty()) {
            ADD_FAILURE() << "fixture " << kind << ": " << err;
            fs::remove(temp, ec);
            return none;
        }
        fs::rename(temp, path, ec);  // atomic: a parallel test sees the old image or the new one
    }
    return built.emplace(kind, path.string()).first->second;
}

std::unique_ptr<CFatVolume> OpenImage(const std::string& path) {
    auto v = std::make_unique<CFatVolume>();
    if (!v->Initialize(path)) {
        ADD_FAILURE() << "Initialize failed for " << path << ": " << v->InitError();
        return nullptr;
    }
    return v;
}

namespace {

void WalkDeletedFolder(CFatVolume& volume, int32_t id, const std::string& prefix, std::vector<Listed>& out,
                       int depth);

// Lists what an enumerator of deleted items holds under prefix, then walks
// each deleted folder among them.
void ListDeleted(CFatVolume& volume, IEnumDeletedFiles& e, const std::string& prefix, std::vector<Listed>& out,
                 int depth) {
    FileItemInfo info;
    std::vector<std::pair<int32_t, std::string>> folders;
    while (e.Next(info, false)) {
        Listed l {prefix + Utf8(info.name), info.size, (info.attributes & 0x10) != 0, info.id};
        out.push_back(l);
        if (l.folder) folders.push_back({static_cast<int32_t>(info.id), l.path + "/"});
    }
    for (auto& [fid, p] : folders) WalkDeletedFolder(volume, fid, p, out, depth + 1);
}

void WalkDeletedFolder(CFatVolume& volume, int32_t id, const std::string& prefix, std::vector<Listed>& out,
                       int depth) {
    std::unique_ptr<IEnumDeletedFiles> e;
    if (depth > 64 || !volume.EnumDeletedFiles(id, e) || !e) return;
    ListDeleted(volume, *e, prefix, out, depth);
}

void WalkExisting(CFatVolume& volume, const std::string& prefix, std::vector<Listed>& out, int depth) {
    if (depth > 64) return;
    std::u16string enginePath = u"\\" + U16(prefix);
    for (auto& c : enginePath)
        if (c == u'/') c = u'\\';
    std::unique_ptr<IEnumDeletedFiles> e;
    if (volume.EnumDeletedFilesByPath(enginePath, e) && e) ListDeleted(volume, *e, prefix, out, depth);
    std::vector<FileItemInfo> live;
    if (!volume.ListLiveFolder(enginePath, live)) return;
    for (auto& item : live)
        if ((item.attributes & 0x10) && !(item.attributes & 0x08))
            WalkExisting(volume, prefix + Utf8(item.name) + "/", out, depth + 1);
}

}  // namespace

std::vector<Listed> WalkDeleted(CFatVolume& volume) {
    std::vector<Listed> out;
    WalkExisting(volume, "", out, 0);
    // The content of each lost folder, as fls lists orphans: under $OrphanFiles.
    std::unique_ptr<IEnumDeletedFiles> lost;
    if (volume.EnumDeletedFiles(kLostFoldersId, lost) && lost) {
        FileItemInfo info;
        while (lost->Next(info, true)) WalkDeletedFolder(volume, static_cast<int32_t>(info.id), "$OrphanFiles/", out, 1);
    }
    return out;
}

std::vector<Listed> ParseFls(const std::string& text, bool withSizes, bool keepOrphans) {
    std::vector<Listed> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // "r/r * 8:\tNAME[\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid]"
        std::vector<std::string> fields;
        std::string f;
        std::istringstream ls(line);
        while (std::getline(ls, f, '\t')) fields.push_back(f);
        if (fields.size() < 2) continue;
        Listed l;
        l.folder = fields[0].size() >= 3 && fields[0][2] == 'd';
        l.path = fields[1];
        if (!keepOrphans && l.path.rfind("$OrphanFiles", 0) == 0) continue;
        {
            size_t star = fields[0].find_last_of(' ');
            l.inode = std::strtoull(fields[0].c_str() + (star == std::string::npos ? 0 : star + 1), nullptr, 10);
        }
        if (withSizes && fields.size() >= 7) l.size = std::stoull(fields[6]);
        out.push_back(l);
    }
    return out;
}

std::vector<Listed> FlsDeleted(const std::string& image) {
    auto r = testutil::Run("fls -r -d -p -l " + testutil::Quote(image));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return ParseFls(r.out, true);
}

std::string FlsStyle(const std::string& enginePath) {
    std::string s = enginePath;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == '?' && (i == 0 || s[i - 1] == '/')) s[i] = '_';
    return s;
}

}  // namespace fattest
