// The NTFS image the recovery tests share, made by mkntfs and the
// libntfs-3g fixture program, and the content every deleted file had.
//
// Scenario: every kind of stream (contiguous, resident, compressed, sparse,
// named streams resident and not), a deleted folder tree, a tree 23 folders
// deep, a lost folder (/lostparent's record is taken by /reuse.txt after the
// remount, libntfs-3g giving out the lowest free record), and /partial.bin,
// part of whose clusters /cover.bin takes: /hog.bin holds every other free
// cluster when /partial.bin is deleted. Everything else is deleted after
// /cover.bin was written, so it stays intact.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FixturePattern.h"
#include "common/TestUtil.h"

namespace ntfsfixture {

inline constexpr int kDeepLevels = 23;
inline const std::string kResidentText(100, 'r');
inline const std::string kStreamsMain = "main stream of streams.txt";
inline const std::string kOrphanText = "the orphan's resident content";

// A deleted file: its path, and its content as a pattern over ranges
// (an empty range list means [0, size)); text files carry their bytes.
struct DeletedFile {
    std::string path;
    std::string pattern;
    uint64_t size = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // sparse: where data was written
    std::string text;
};

inline std::string DeepFolder(int level) {
    std::string p = "/deep";
    for (int i = 1; i <= level; ++i) p += "/l" + std::string(i < 10 ? "0" : "") + std::to_string(i);
    return p;
}
inline std::string DeepFile(int level) {
    return DeepFolder(level) + "/f" + std::string(level < 10 ? "0" : "") + std::to_string(level) + ".bin";
}
inline uint64_t DeepFileSize(int level) { return 1000 + level; }

// The deleted files whose content must come back whole.
inline std::vector<DeletedFile> IntactFiles() {
    std::vector<DeletedFile> v = {
        {"/docs/report.bin", "random:1", 300000, {}, ""},
        {"/docs/streams.txt", "", kStreamsMain.size(), {}, kStreamsMain},
        {"/docs/streams.txt:ads", "random:2", 50000, {}, ""},
        {"/docs/streams.txt:tiny", "text:9", 100, {}, ""},
        {"/res.txt", "", 100, {}, kResidentText},
        {"/comp/c.txt", "text:3", 200000, {}, ""},
        {"/sparse.bin", "random:4", 1048576, {{0, 8192}, {524288, 4096}}, ""},
        {"/old/a.bin", "random:6", 20000, {}, ""},
        {"/old/inner/b.bin", "random:7", 9000, {}, ""},
        {"/big.bin", "random:13", 3145728, {}, ""},
        {"/enc.bin", "random:12", 70000, {}, ""},
        {"/nodata.bin", "random:14", 5000, {}, ""},
        {"/lostparent/orphan.txt", "", kOrphanText.size(), {}, kOrphanText},
    };
    for (int i = 0; i <= kDeepLevels; ++i)
        v.push_back({DeepFile(i), "random:" + std::to_string(30 + i), DeepFileSize(i), {}, ""});
    return v;
}

inline std::vector<uint8_t> Content(const DeletedFile& f) {
    if (f.pattern.empty()) return std::vector<uint8_t>(f.text.begin(), f.text.end());
    fixture::Pattern p;
    fixture::Pattern::Parse(f.pattern, p);
    if (f.ranges.empty()) return p.Bytes(0, f.size);
    std::vector<uint8_t> out(f.size, 0);
    for (auto [off, len] : f.ranges) p.Fill(off, out.data() + off, len);
    return out;
}

inline std::vector<uint8_t> PartialOriginal() {
    fixture::Pattern p;
    fixture::Pattern::Parse("random:8", p);
    return p.Bytes(0, 400000);
}

inline std::string Script() {
    std::ostringstream s;
    s << "mkdir /lostparent\n"
         "text /sacrifice.txt \"resident; its record is taken by cover.bin\"\n"
         "text /lostparent/orphan.txt \"" << kOrphanText << "\"\n"
         "mkdir /docs\n"
         "write /docs/report.bin random:1 300000\n"
         "text /docs/streams.txt \"" << kStreamsMain << "\"\n"
         "stream /docs/streams.txt:ads random:2 50000\n"
         "stream /docs/streams.txt:tiny text:9 100\n"
         "text /res.txt \"" << kResidentText << "\"\n"
         "compress-dir /comp\n"
         "write /comp/c.txt text:3 200000\n"
         "sparse /sparse.bin random:4 1048576 0:8192,524288:4096\n"
         "mkdir /old/inner\n"
         "write /old/a.bin random:6 20000\n"
         "write /old/inner/b.bin random:7 9000\n"
         "write /big.bin random:13 3145728\n"
         "write /enc.bin random:12 70000\n"
         "write /nodata.bin random:14 5000\n"
         "write /partial.bin random:8 400000\n"
         "write /live.bin random:15 5000\n"
         "mkdir " << DeepFolder(kDeepLevels) << "\n";
    for (int i = 0; i <= kDeepLevels; ++i)
        s << "write " << DeepFile(i) << " random:" << 30 + i << " " << DeepFileSize(i) << "\n";
    s << "fill /hog.bin\n"
         "delete /lostparent/orphan.txt\n"
         "delete /lostparent\n"
         "delete /sacrifice.txt\n"
         "delete /partial.bin\n"
         "remount\n"
         "text /reuse.txt \"takes the record of /lostparent\"\n"
         "write /cover.bin random:11 163840\n";
    for (const char* p : {"/docs/report.bin", "/docs/streams.txt", "/res.txt", "/comp/c.txt", "/sparse.bin",
                          "/old/inner/b.bin", "/old/a.bin", "/old/inner", "/old", "/big.bin", "/enc.bin",
                          "/nodata.bin"})
        s << "delete " << p << "\n";
    for (int i = kDeepLevels; i >= 0; --i) {
        s << "delete " << DeepFile(i) << "\n";
        if (i > 0) s << "delete " << DeepFolder(i) << "\n";
    }
    s << "delete /deep\n";
    return s.str();
}

struct Image {
    std::string error;
    std::map<std::string, uint32_t> live;     // path -> record, as created
    std::map<std::string, uint32_t> deleted;  // path -> record, as deleted
};

// Formats image (a file of `size`, e.g. "48M") and plays the script into it.
inline Image Make(const std::string& image, const std::string& size = "48M", const std::string& script = Script()) {
    using testutil::Quote;
    Image out;
    const std::string scriptFile = image + ".script";
    std::ofstream(scriptFile) << script;
    auto r = testutil::Run("rm -f " + Quote(image) + " && truncate -s " + size + " " + Quote(image) +
                           " && mkntfs -F -f -q " + Quote(image) + " >/dev/null 2>&1 && " +
                           Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(image) + " - < " +
                           Quote(scriptFile));
    if (r.exitCode != 0) {
        out.error = "fixture build failed: " + r.out;
        return out;
    }
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        if (sp == std::string::npos || line.find_first_not_of("0123456789") != sp) continue;
        std::string path = line.substr(sp + 1);
        const bool gone = path.size() > 10 && path.substr(path.size() - 10) == " (deleted)";
        if (gone) path.resize(path.size() - 10);
        (gone ? out.deleted : out.live)[path] = static_cast<uint32_t>(std::stoul(line.substr(0, sp)));
    }
    return out;
}

// The clusters of a record's unnamed $DATA as Sleuth Kit's istat lists them, in order.
inline std::vector<uint64_t> IstatClusters(const std::string& image, uint32_t record) {
    std::string text = testutil::MustRun("istat " + testutil::Quote(image) + " " + std::to_string(record));
    std::vector<uint64_t> out;
    size_t p = text.find("Type: $DATA (128-");
    if (p == std::string::npos) return out;
    p = text.find('\n', p);
    std::istringstream in(text.substr(p + 1));
    std::string tok;
    while (in >> tok) {
        if (tok.find_first_not_of("0123456789") != std::string::npos) break;
        out.push_back(std::stoull(tok));
    }
    return out;
}

}  // namespace ntfsfixture
