// Item ids on the command line: on every public image and both samples the
// ids `list --recursive` prints name one item each, stay the same after a
// cache restore and a rescan, `recover` by id writes the file `list` named
// (against Sleuth Kit's icat on NTFS, against recover by path on FAT), and
// `stat` places the data where istat does. A FAT id also survives a rescan
// after mtools wrote a new entry into the folder before it.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;

namespace {

struct Image {
    const char* file;    // under shared/testdata, or "samples/..." in the repository
    bool ntfs;
};

const Image kImages[] = {
    {"samples/fat-sample.img.gz", false},
    {"samples/ntfs-sample.img.gz", true},
    {"dftt-5-fat12-daylight.dd", false},
    {"dftt-6-fat-undel.dd", false},
    {"dftt-7-ntfs-undel.dd", true},
    {"dftt-8-jpeg-search.dd", true},
    {"dftt-9-fat-label.dd", false},
    {"dfirntfs-fat16_moved.raw", false},
    {"dfirntfs-fat_deleted_dir.raw.gz", false},
    {"dfirntfs-fat_deleted_dir_2.raw", false},
    {"dfirntfs-ntfs_index.raw", true},
};

class ItemIds : public ::testing::Test {
protected:
    // Every command runs with the cache in this test's own folder.
    testutil::CommandResult Q(const std::string& args) {
        return testutil::Run("XDG_CACHE_HOME=" + Quote(dir.file("cache")) + " " + Quarlix() + " " + args);
    }
    // id -> path of every deleted item the recursive listing prints, checking
    // that an id stands for one item: outside $RecycleBin an id is printed
    // once; a $RecycleBin item shows an item listed where it lies.
    std::map<uint64_t, std::string> Ids(const std::string& image, const std::string& global,
                                        std::vector<nlohmann::json>* rows = nullptr) {
        auto r = Q("--json " + global + " list " + Quote(image) + " --recursive");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        std::map<uint64_t, std::string> ids;
        std::vector<uint64_t> recycled;
        for (const auto& j : JsonLines(r.out)) {
            if (j["id"].is_null()) continue;
            const uint64_t id = j["id"];
            const std::string path = j["path"];
            if (path.rfind("/$RecycleBin/", 0) == 0) {
                recycled.push_back(id);
                continue;
            }
            EXPECT_TRUE(ids.emplace(id, path).second) << "id " << id << ": " << ids[id] << " and " << path;
            if (rows) rows->push_back(j);
        }
        for (uint64_t id : recycled) EXPECT_TRUE(ids.count(id)) << "recycle-bin id " << id << " names nothing else";
        return ids;
    }
    testutil::TempDir dir;
};

// Sleuth Kit's numbers after a "Sectors:" line (FAT) or after the line of
// the unnamed $DATA attribute (NTFS, clusters), up to the next attribute.
std::vector<uint64_t> IstatUnits(const std::string& istat, bool ntfs) {
    std::vector<uint64_t> out;
    std::istringstream in(istat);
    std::string line;
    bool on = false;
    while (std::getline(in, line)) {
        if (ntfs && line.rfind("Type: ", 0) == 0) {
            on = line.find("$DATA") != std::string::npos && line.find("Name: N/A") != std::string::npos;
            continue;
        }
        if (!ntfs && line.rfind("Sectors:", 0) == 0) {
            on = true;
            continue;
        }
        if (!on) continue;
        std::istringstream nums(line);
        uint64_t n = 0;
        while (nums >> n) out.push_back(n);
    }
    return out;
}

}  // namespace

TEST_F(ItemIds, StableUniqueAndRecoverableOnEveryImage) {
    const std::string shared = testutil::SharedTestData();
    QUARLIX_REQUIRE(!shared.empty(), "shared test data absent");
    QUARLIX_REQUIRE(testutil::HaveTool("icat") && testutil::HaveTool("istat") && testutil::HaveTool("fls"),
                    "Sleuth Kit (icat, istat, fls) missing");
    int recovered = 0, placed = 0, sharedFolders = 0;
    for (const Image& im : kImages) {
        const std::string file = im.file;
        SCOPED_TRACE(file);
        const bool inRepo = file.rfind("samples/", 0) == 0;
        std::string image = inRepo ? testutil::SourceDir() + "/" + file : shared + "/" + file;
        if (file.size() > 3 && file.substr(file.size() - 3) == ".gz") {
            const std::string plain = dir.file(std::filesystem::path(file).stem().string());
            testutil::MustRun("gunzip -c " + Quote(image) + " > " + Quote(plain));
            image = plain;
        }
        // A build saved to the cache, then a restore from it, then a rescan and a run without the cache.
        auto built = Q("--json index " + Quote(image) + " --rescan");
        ASSERT_EQ(built.exitCode, 0) << built.out;
        auto restored = Q("--json index " + Quote(image));
        ASSERT_EQ(JsonLines(restored.out).at(0)["from_cache"], true) << restored.out;
        std::vector<nlohmann::json> rows;
        const auto fromCache = Ids(image, "", &rows);
        EXPECT_EQ(fromCache, Ids(image, "--no-cache"));
        ASSERT_EQ(Q("index " + Quote(image) + " --rescan").exitCode, 0);
        EXPECT_EQ(fromCache, Ids(image, ""));

        // recover and stat by id, on a few intact files whose path is their own.
        std::map<std::string, int> pathUses;
        for (const auto& j : rows) ++pathUses[j["path"].get<std::string>()];
        // Deleted folders that share a path are each reached by id.
        for (const auto& j : rows) {
            if (j["folder"] != true || pathUses[j["path"]] < 2) continue;
            const std::string id = std::to_string(j["id"].get<uint64_t>());
            auto l = Q("--json list " + Quote(image) + " --id " + id);
            EXPECT_EQ(l.exitCode, 0) << l.out;
            for (const auto& c : JsonLines(l.out)) {
                EXPECT_EQ(c["path"].get<std::string>().rfind(j["path"].get<std::string>() + "/", 0), 0u) << c.dump();
                EXPECT_TRUE(fromCache.count(c["id"].get<uint64_t>())) << c.dump();
            }
            ++sharedFolders;
        }
        int checked = 0;
        for (const auto& j : rows) {
            if (checked >= 3 || j["folder"] == true || j["lost"] == true || j["overwritten"] != 0 ||
                j["size"].get<uint64_t>() == 0 || pathUses[j["path"]] != 1)
                continue;
            const std::string id = std::to_string(j["id"].get<uint64_t>());
            const std::string path = j["path"];
            SCOPED_TRACE(id + " " + path);
            const std::string byId = dir.file("by-id-" + std::to_string(checked));
            // Written whole either way; a FAT guess the content check doubts exits 1.
            auto written = [](const testutil::CommandResult& c) {
                return c.exitCode == 0 || (c.exitCode == 1 && JsonLines(c.out).at(0)["status"] == "unverified");
            };
            auto r = Q("--json recover " + Quote(image) + " " + id + " --to " + Quote(byId));
            ASSERT_TRUE(written(r)) << r.out;
            const auto out = JsonLines(r.out).at(0);
            ASSERT_EQ(out["path"], path) << r.out;  // reported where list shows it
            const auto bytes = testutil::ReadFileBytes(out["output"]);
            EXPECT_EQ(bytes.size(), j["size"].get<uint64_t>());
            std::vector<uint8_t> reference;
            if (im.ntfs) {
                // An NTFS id is the record number, which icat takes.
                const std::string ref = dir.file("icat.bin");
                testutil::MustRun("icat " + Quote(image) + " " + id + " > " + Quote(ref));
                reference = testutil::ReadFileBytes(ref);
            } else {
                const std::string byPath = dir.file("by-path-" + std::to_string(checked));
                auto p = Q("--json recover " + Quote(image) + " " + Quote(path) + " --to " + Quote(byPath));
                ASSERT_TRUE(written(p)) << p.out;
                reference = testutil::ReadFileBytes(JsonLines(p.out).at(0)["output"]);
            }
            EXPECT_TRUE(bytes == reference) << "recover " << id << " did not write " << path;
            ++recovered;

            auto st = Q("--json stat " + Quote(image) + " " + id);
            ASSERT_EQ(st.exitCode, 0) << st.out;
            const auto s = JsonLines(st.out).at(0);
            EXPECT_EQ(s["path"], path);
            EXPECT_EQ(s["size"], j["size"]);
            EXPECT_EQ(s["modified"], j["modified"]);
            EXPECT_EQ(JsonLines(Q("--json stat " + Quote(image) + " " + Quote(path)).out).at(0)["id"], s["id"]);
            if (file.find("ntfs_index") == std::string::npos) {  // istat takes no partition there
                // istat lists clusters (NTFS) or sectors (FAT) of the data.
                std::string inode = id;
                if (!im.ntfs) {
                    // Sleuth Kit numbers FAT entries its own way: find the path in its listing.
                    std::string tskPath = path.substr(1);
                    for (char& ch : tskPath)
                        if (ch == '?') ch = '_';
                    std::smatch m;
                    const std::string fls = testutil::MustRun("fls -r -d -p " + Quote(image));
                    const std::regex row("\\* (\\d+):\\t" + std::regex_replace(tskPath, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                                                              R"(\$&)") + "\\n");
                    inode = std::regex_search(fls, m, row) ? m[1].str() : "";
                }
                bool sparse = false;  // compressed and sparse data: istat prints its own placeholders
                for (const auto& run : s["runs"]) sparse = sparse || run["lcn"].is_null();
                if (!inode.empty() && !sparse) {
                    std::vector<uint64_t> ours;
                    const auto info = JsonLines(Q("--json info " + Quote(image)).out).at(0);
                    const uint64_t spc = im.ntfs ? 1 : info["cluster_size"].get<uint64_t>() / info["sector_size"].get<uint64_t>();
                    for (const auto& run : s["runs"])
                        for (uint64_t k = 0; k < run["length"].get<uint64_t>() * spc; ++k)
                            ours.push_back((im.ntfs ? run["lcn"].get<uint64_t>() : run["sector"].get<uint64_t>()) + k);
                    EXPECT_EQ(ours, IstatUnits(testutil::MustRun("istat " + Quote(image) + " " + inode), im.ntfs))
                        << st.out;
                    ++placed;
                }
            }
            ++checked;
        }
    }
    // The images hold enough for each check to have run.
    EXPECT_GE(recovered, 12);
    EXPECT_GE(placed, 10);
    std::cout << "recovered by id " << recovered << ", placed against istat " << placed
              << ", folders sharing a path " << sharedFolders << "\n";
}

TEST_F(ItemIds, FatIdSurvivesANewEntryBeforeIt) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "mtools missing");
    const std::string img = dir.file("fat.img");
    const std::string src = dir.file("f.txt");
    testutil::WriteFileBytes(src, testutil::PatternBytes(3000, 7));
    const std::string m = "MTOOLS_NO_VFAT=1 ";
    testutil::MustRun("mkfs.fat -C " + Quote(img) + " 2048 >/dev/null && " + m + "mmd -i " + Quote(img) + " ::/D");
    for (const char* name : {"A.TXT", "B.TXT", "C.TXT"})
        testutil::MustRun(m + "mcopy -i " + Quote(img) + " " + Quote(src) + " ::/D/" + name);
    testutil::MustRun(m + "mdel -i " + Quote(img) + " ::/D/A.TXT ::/D/C.TXT");
    // Both deleted entries are named ?.TXT; the second (C) is the one that must keep its id.
    auto r = Q("--json list " + Quote(img) + " /D --deleted-only");
    auto before = JsonLines(r.out);
    ASSERT_EQ(before.size(), 2u) << r.out;
    const uint64_t c = before[1]["id"];
    // mcopy takes the first free slot, A's: a live entry now sits before C, and A is gone.
    testutil::MustRun(m + "mcopy -i " + Quote(img) + " " + Quote(src) + " ::/D/NEW.TXT");
    ASSERT_EQ(Q("index " + Quote(img) + " --rescan").exitCode, 0);
    auto now = JsonLines(Q("--json list " + Quote(img) + " /D --deleted-only").out);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0]["id"], c);
    // And the id still names C: its bytes are the file's.
    auto rec = Q("--json recover " + Quote(img) + " " + std::to_string(c) + " --to " + Quote(dir.file("out")));
    ASSERT_EQ(rec.exitCode, 0) << rec.out;
    EXPECT_EQ(testutil::ReadFileBytes(JsonLines(rec.out).at(0)["output"]), testutil::ReadFileBytes(src));
}
