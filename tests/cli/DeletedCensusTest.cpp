// The deleted items of every image the tests and samples use, seen five ways:
// `list --recursive --deleted-only` against Sleuth Kit's `fls -r -d -p`, and
// the counts of `index`, the hits of a `search` without criteria, the items
// `recover --all` reports and the files and folders it writes, all against
// that listing. One table names each image with the differences that are
// intended on it; every other difference fails the image's case with the
// paths concerned.
//
// Rules that hold on every image (applied before comparing):
// - A deleted FAT 8.3 name has lost its first letter: we show "?", fls "_".
// - fls lists a named stream as "file:stream"; ours is part of its file, and
//   recover --all writes it beside the file as "file:stream".
// - fls's "$OrphanFiles/OrphanFile-N" is an NTFS record without a name: not
//   an item we list. On exFAT it is a slot that fls's scan of every cluster
//   took for an entry (in the bytes of files): no entry of a folder.
// - An NTFS record whose parent folder is gone is under fls's $OrphanFiles;
//   ours is under /$LostFolders/Folder<parent record> (istat names the
//   parent), a folder fls has no line for. On FAT, where no record names the
//   parent, the content of our lost folders is compared with fls's orphans.
// - NTFS items are compared with their record number (fls's address; none
//   for names from index slack, which fls lists as record 0), files with
//   their size (fls -l); a FAT folder's entry records no size, so folders
//   are compared without one.
// - A lost folder is where search hits are shown, not a hit: search finds
//   what list lists, less the lost folders themselves.
// - A deleted file of the recycle bin is listed where it lies ("$R..." in
//   $Recycle.Bin, as fls lists it) and, with the same id, under its former
//   name in /$RecycleBin: index and search count it where it lies, recover
//   --all writes it once, under $RecycleBin. index's "recycled" counts what
//   /$RecycleBin holds, deleted or not.
// - recover --all recreates the live folders above a deleted item and the
//   virtual folders ($LostFolders, $RecycleBin) as plain folders; they are
//   not deleted items.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "common/TestUtil.h"
#include "fat/FatTestSupport.h"
#include "index/IndexTestSupport.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
namespace fs = std::filesystem;

namespace {

enum class From {
    Shared,         // shared/testdata/FILE
    SharedGz,       // shared/testdata/FILE, gunzipped
    SharedTar,      // shared/testdata/FILE, a tar holding one image
    Sample,         // samples/FILE (gzipped) in the repository
    FatFixture,     // tools/make-fat-fixture.sh FILE (fat12, fat16, fat32)
    NtfsFixture,    // the NTFS fixture of the index tests (libntfs-3g)
    FatRecycleBin,  // the FAT fixture of the index tests with a recycle bin
    ExfatFixture,   // tools/make-exfat-fixture.sh FILE (standard)
};

// An intended difference: a path in fls style (no leading "/", "_" for a
// lost first letter, NTFS records as " #N", file sizes as " (N)") and why
// it differs.
struct Known {
    std::string path;
    const char* why;
};

struct Image {
    const char* name;
    From from;
    const char* file;
    int partition = 0;     // --partition, 0 for a volume image
    uint64_t offset = 0;   // byte offset of the volume (fls -o in sectors)
    bool hasVolume = true;  // false: neither we nor fls find a file system
    std::vector<Known> flsOnly = {};   // fls lists, we do not
    std::vector<Known> oursOnly = {};  // we list, fls does not
    // fls lists the entries of a deleted folder's further clusters under
    // $OrphanFiles; we read on through the free clusters that follow, so they
    // stay in that folder.
    const char* orphansIn = nullptr;
    std::vector<Known> notWritten = {};  // recover --all reports these failed
};

void PrintTo(const Image& i, std::ostream* os) { *os << i.name; }

const Image kImages[] = {
    {"dftt5", From::Shared, "dftt-5-fat12-daylight.dd"},
    {"dftt6", From::Shared, "dftt-6-fat-undel.dd", 0, 0, true,
     {{"System Volume Information/_restore{A25F48CA-6632-4143-8EF8-3586A84AB5AF}/_P1/frag3.dat (2027)",
       "_P1's first cluster now holds dir2 (its \".\" is dir2's, its \"..\" names _ir1), so we read nothing "
       "from it; fls shows dir2's frag3.dat there too (the same entry, address 965)"}}},
    {"dftt7", From::Shared, "dftt-7-ntfs-undel.dd"},
    {"dftt8", From::Shared, "dftt-8-jpeg-search.dd"},
    {"dftt9", From::Shared, "dftt-9-fat-label.dd"},
    {"ntfs_index", From::Shared, "dfirntfs-ntfs_index.raw", 1, 65536, true,
     {{std::string(120, 'A') + " - Copy (11).txt (0)",
       "a copy of the live file of that name (record 64) left in the root index's slack when the index "
       "moved its entries: no deleted file"}},
     {},
     nullptr,
     {{"test_dir/BBBBBBBBBBBBB-del.txt", "a name from index slack without a record: there is no data to write"}}},
    {"fat16_moved", From::Shared, "dfirntfs-fat16_moved.raw"},
    {"fat_deleted_dir_2", From::Shared, "dfirntfs-fat_deleted_dir_2.raw", 0, 0, true, {},
     {{"_/2.txt (0)", "the second deleted folder \"_\" (cluster 4) holds them too: fls's full listing "
                  "(.fls-all.txt) shows them there, its deleted-only listing does not descend into it"},
      {"_/22.txt (0)", "as _/2.txt"}}},
    {"fat_deleted_dir", From::SharedGz, "dfirntfs-fat_deleted_dir.raw.gz", 0, 0, true, {}, {}, "test"},
    {"mbr_win_512", From::SharedTar, "dfirntfs-mbr-win-512.raw.tgz", 0, 0, false},
    // Raw $MFT extracts: no volume around them, so there is nothing to open.
    {"mft_compressed_sparse", From::Shared, "mft-only/dfirntfs-compressed_sparse.mft", 0, 0, false},
    {"mft_deleted", From::Shared, "mft-only/dfirntfs-deleted.mft", 0, 0, false},
    {"fat_sample", From::Sample, "fat-sample.img.gz"},
    {"ntfs_sample", From::Sample, "ntfs-sample.img.gz"},
    {"fat12", From::FatFixture, "fat12"},
    {"fat16", From::FatFixture, "fat16"},
    {"fat32", From::FatFixture, "fat32"},
    {"ntfs_fixture", From::NtfsFixture, ""},
    {"fat_recycle_bin", From::FatRecycleBin, ""},
    // The sets exfat-fuse left in the cluster it freed from /many are a lost
    // folder of ours and fls's $OrphanFiles.
    {"exfat", From::ExfatFixture, "standard", 0, 0, true, [] {
         std::vector<Known> v;
         v.push_back({"CADSUM.TXT (3333)", "BADSUM.TXT's entry set after the maker changed a byte of its name: its "
                                           "checksum no longer matches, so it is no entry set; fls does not check "
                                           "set checksums"});
         return v;
     }()},
};

using Paths = std::multiset<std::string>;

// Entries of a not in b (as multisets).
std::vector<std::string> Minus(const Paths& a, const Paths& b) {
    std::vector<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

std::vector<std::string> Sorted(const std::vector<Known>& v) {
    std::vector<std::string> out;
    for (const auto& k : v) out.push_back(k.path);
    std::sort(out.begin(), out.end());
    return out;
}

std::string Lines(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += "\n    " + x;
    return s;
}

// The intended differences, for a failure message.
std::string Intended(const std::vector<Known>& v) {
    std::string s = v.empty() ? "" : "\n  (intended:";
    for (const auto& k : v) s += "\n    " + k.path + ": " + k.why;
    return v.empty() ? s : s + ")";
}

class DeletedCensus : public ::testing::TestWithParam<Image> {
protected:
    // The image file of the row; "" when what makes it is missing.
    std::string ImagePath(const Image& c) {
        const std::string shared = testutil::SharedTestData();
        switch (c.from) {
            case From::Shared: return shared.empty() ? "" : shared + "/" + c.file;
            case From::SharedGz:
                if (shared.empty()) return "";
                testutil::MustRun("gunzip -c " + Quote(shared + "/" + c.file) + " > " + Quote(dir.file("image")));
                return dir.file("image");
            case From::SharedTar: {
                if (shared.empty()) return "";
                testutil::MustRun("tar -xf " + Quote(shared + "/" + c.file) + " -C " + Quote(dir.file("")));
                for (const auto& e : fs::directory_iterator(dir.path()))
                    if (e.is_regular_file()) return e.path().string();
                return "";
            }
            case From::Sample:
                testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/" + c.file) + " > " +
                                  Quote(dir.file("image")));
                return dir.file("image");
            case From::FatFixture: return fattest::FixtureImage(c.file);
            case From::NtfsFixture: return indextest::NtfsFixtureImage();
            case From::FatRecycleBin: return indextest::FatRecycleBinImage();
            case From::ExfatFixture: {
                // Made through exfat-fuse on a loop device: none where that is missing.
                const auto r = testutil::Run(Quote(testutil::SourceDir() + "/tools/make-exfat-fixture.sh") + " " +
                                             c.file + " " + Quote(dir.file("image")));
                if (r.exitCode == 77) return "";
                EXPECT_EQ(r.exitCode, 0) << r.out;
                return dir.file("image");
            }
        }
        return "";
    }
    testutil::CommandResult Q(const std::string& command, const std::string& args = "") {
        return testutil::Run(Quarlix() + " --no-cache --json " + command + " " + Quote(image) + part + " " + args +
                             " 2>" + Quote(dir.file("stderr")));
    }
    std::string Stderr() { return testutil::MustRun("cat " + Quote(dir.file("stderr"))); }

    testutil::TempDir dir;
    std::string image, part;
};

TEST_P(DeletedCensus, ListFlsIndexSearchAndRecoverAgree) {
    const Image& c = GetParam();
    QUARLIX_REQUIRE(testutil::HaveTool("fls") && testutil::HaveTool("istat"), "Sleuth Kit missing");
    image = ImagePath(c);
    QUARLIX_REQUIRE(!image.empty() && fs::exists(image), c.name << ": image not present or its tools missing");
    if (c.partition) part = " --partition " + std::to_string(c.partition);

    std::vector<std::string> problems;
    auto problem = [&](const std::string& s) { problems.push_back(s); };

    // The volume: its file system and where it starts.
    auto info = Q("info");
    if (!c.hasVolume) {
        EXPECT_EQ(info.exitCode, 3) << info.out << Stderr();
        EXPECT_NE(testutil::Run("fls " + Quote(image) + " 2>&1").exitCode, 0) << "fls found a file system";
        for (const auto& p : JsonLines(info.out))
            EXPECT_NE(testutil::Run("fls -o " + std::to_string(p["offset"].get<uint64_t>() / 512) + " " +
                                    Quote(image) + " 2>&1")
                          .exitCode,
                      0)
                << "fls found a file system in partition " << p.dump();
        return;
    }
    ASSERT_EQ(info.exitCode, 0) << Stderr();
    const nlohmann::json volume = JsonLines(info.out).back();
    ASSERT_EQ(volume["offset"].get<uint64_t>(), c.offset) << volume.dump();
    const bool ntfs = volume["filesystem"] == "NTFS", exfat = volume["filesystem"] == "exFAT";
    const uint64_t sector = volume["sector_size"].get<uint64_t>();

    // Our listing, in fls style.
    auto listed = Q("list", "--recursive --deleted-only");
    ASSERT_EQ(listed.exitCode, 0) << Stderr();
    const std::vector<nlohmann::json> rows = JsonLines(listed.out);
    std::set<uint64_t> binIds;  // the ids of the items under $RecycleBin
    for (const auto& j : rows)
        if (j["path"].get<std::string>().rfind("/$RecycleBin/", 0) == 0 && !j["id"].is_null())
            binIds.insert(j["id"].get<uint64_t>());
    // What list lists, what index and search count (each item where it
    // lies) and what recover reports (a recycled item under $RecycleBin).
    Paths ours, counted, toRecover;
    size_t listFiles = 0, listFolders = 0;
    for (const auto& j : rows) {
        std::string path = j["path"];
        const bool folder = j["folder"].get<bool>();
        if (folder && path.size() > 1 && path.back() == '/') path.pop_back();
        if (!j["deleted"].get<bool>()) problem("list --deleted-only shows a live item: " + path);
        const bool inBin = path.rfind("/$RecycleBin/", 0) == 0;
        const bool recycled = !j["id"].is_null() && binIds.count(j["id"].get<uint64_t>());
        if (!recycled || inBin) toRecover.insert(path);
        if (inBin) {
            if (std::count_if(rows.begin(), rows.end(), [&](const auto& r) { return r["id"] == j["id"]; }) != 2)
                problem(path + " is not listed once where it lies");
            continue;
        }
        (folder ? listFolders : listFiles)++;
        const bool lostFolder = folder && j["lost"].get<bool>();
        if (!lostFolder) counted.insert(path);

        std::string p = path.substr(1);
        if (!ntfs) {
            if (p[0] == '?') p[0] = '_';
            for (size_t at = p.find("/?"); at != std::string::npos; at = p.find("/?", at + 1)) p[at + 1] = '_';
            static const std::regex lost(R"(^\$LostFolders/Folder\d+(/|$))");
            if (std::regex_search(p, lost)) {
                if (lostFolder && p.find('/', 13) == std::string::npos) continue;
                p = std::regex_replace(p, lost, "$$OrphanFiles/");
            }
        } else if (!j["id"].is_null() && j["id"].get<uint64_t>() < 0xF0000000u) {
            p += " #" + std::to_string(j["id"].get<uint64_t>());
        }
        ours.insert(folder ? p : p + " (" + j["size"].dump() + ")");
    }

    // fls's listing, with the rules above.
    const std::string flsOffset = c.offset ? " -o " + std::to_string(c.offset / sector) : "";
    const std::string flsOut = testutil::MustRun("fls -r -d -p -l" + flsOffset + " " + Quote(image));
    static const std::regex entry(R"(^\S+/(\S) \* (\d+)(-\d+-\d+)?(\(realloc\))?:$)");
    Paths theirs, streams;
    std::set<std::string> lostFolders;
    std::istringstream in(flsOut);
    for (std::string line; std::getline(in, line);) {
        // "r/r * 8:\tNAME\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid"
        std::vector<std::string> fields;
        std::istringstream ls(line);
        for (std::string f; std::getline(ls, f, '\t');) fields.push_back(f);
        std::smatch m;
        if (fields.size() != 9 || !std::regex_match(fields[0], m, entry)) {
            problem("unexpected fls line: " + line);
            continue;
        }
        std::string path = fields[1];
        const std::string record = m[2];
        const std::string size = m[1] == "d" ? "" : " (" + fields[6] + ")";
        if (ntfs) {
            if (path.find(':') != std::string::npos) {
                streams.insert(path);
                continue;
            }
            if (path.rfind("$OrphanFiles/OrphanFile-", 0) == 0) continue;
            if (path.rfind("$OrphanFiles/", 0) == 0) {
                const std::string stat = testutil::MustRun("istat" + flsOffset + " " + Quote(image) + " " + record);
                std::smatch p;
                if (!std::regex_search(stat, p, std::regex(R"(Parent MFT Entry: (\d+))"))) {
                    problem("istat names no parent of " + record);
                    continue;
                }
                const std::string folder = "$LostFolders/Folder" + p[1].str();
                if (lostFolders.insert(folder).second) theirs.insert(folder);
                path = folder + path.substr(12);
            }
            if (record != "0") path += " #" + record;
        } else if (exfat && path.rfind("$OrphanFiles/OrphanFile-", 0) == 0) {
            continue;
        } else if (c.orphansIn && path.rfind("$OrphanFiles/", 0) == 0) {
            path = c.orphansIn + path.substr(12);
        }
        theirs.insert(path + size);
    }

    const auto flsOnly = Minus(theirs, ours), oursOnly = Minus(ours, theirs);
    if (flsOnly != Sorted(c.flsOnly)) problem("fls lists, we do not:" + Lines(flsOnly) + Intended(c.flsOnly));
    if (oursOnly != Sorted(c.oursOnly)) problem("we list, fls does not:" + Lines(oursOnly) + Intended(c.oursOnly));

    // index counts what list lists.
    auto indexed = Q("index");
    const auto counts = JsonLines(indexed.out);
    if (indexed.exitCode != 0 || counts.empty()) {
        problem("index failed: " + Stderr());
    } else {
        if (counts[0]["deleted_files"] != listFiles || counts[0]["deleted_folders"] != listFolders)
            problem("index counts " + counts[0]["deleted_files"].dump() + " files and " +
                    counts[0]["deleted_folders"].dump() + " folders, list lists " + std::to_string(listFiles) +
                    " and " + std::to_string(listFolders));
        // The recycle bin: its deleted items and the ones still there.
        auto bin = Q("list", Quote("/$RecycleBin") + " --recursive");
        const size_t inBin = bin.exitCode == 0 ? JsonLines(bin.out).size() : 0;
        if (counts[0]["recycled"] != inBin)
            problem("index counts " + counts[0]["recycled"].dump() + " recycled items, list /$RecycleBin lists " +
                    std::to_string(inBin));
    }

    // search without criteria finds what list lists, less the lost folders.
    auto searched = Q("search");
    Paths hits;
    for (const auto& j : JsonLines(searched.out)) {
        std::string path = j["path"];
        if (j["folder"].get<bool>() && path.size() > 1 && path.back() == '/') path.pop_back();
        hits.insert(path);
    }
    if (searched.exitCode != 0) problem("search failed: " + Stderr());
    if (hits != counted)
        problem("search finds, list does not:" + Lines(Minus(hits, counted)) +
                "\n  list lists, search does not find:" + Lines(Minus(counted, hits)));

    // recover --all reports every listed item once and writes each file and folder.
    const fs::path to = dir.path() / "recovered";
    auto recovered = Q("recover", "--all --to " + Quote(to.string()));
    if (recovered.exitCode != 0 && recovered.exitCode != 1) problem("recover failed: " + Stderr());
    Paths reported;
    std::set<std::string> written, failed;
    uint64_t summaryItems = 0;
    for (const auto& j : JsonLines(recovered.out)) {
        if (j.contains("summary")) {
            summaryItems = j["summary"]["files"].get<uint64_t>() + j["summary"]["folders"].get<uint64_t>();
            continue;
        }
        std::string path = j["path"].is_null() ? "" : j["path"].get<std::string>();
        reported.insert(path);
        if (j["status"] == "failed" || j["output"].is_null()) {  // failed, or only a name without data
            failed.insert(path.substr(1));
            continue;
        }
        const fs::path out = j["output"].get<std::string>();
        written.insert(fs::relative(out, to).string());
        if (j["folder"].get<bool>() ? !fs::is_directory(out) : !fs::is_regular_file(out))
            problem("recover reports " + out.string() + ", which is not written");
    }
    if (reported != toRecover)
        problem("recover reports, list does not list:" + Lines(Minus(reported, toRecover)) +
                "\n  list lists, recover does not report:" + Lines(Minus(toRecover, reported)));
    if (summaryItems != written.size())
        problem("recover's summary counts " + std::to_string(summaryItems) + " items, it reports " +
                std::to_string(written.size()) + " written");
    std::vector<std::string> failedPaths(failed.begin(), failed.end());
    if (failedPaths != Sorted(c.notWritten))
        problem("recover fails on:" + Lines(failedPaths) + Intended(c.notWritten));
    // What is on disk: the items reported, the named streams beside their
    // files, and the folders above them.
    Paths streamFiles;
    std::vector<std::string> extra;
    std::set<std::string> above;
    for (const auto& w : written)
        for (fs::path p = fs::path(w).parent_path(); !p.empty(); p = p.parent_path()) above.insert(p.string());
    if (fs::exists(to)) {
        for (const auto& e : fs::recursive_directory_iterator(to)) {
            const std::string rel = fs::relative(e.path(), to).string();
            if (written.count(rel) || (e.is_directory() && above.count(rel))) continue;
            const size_t colon = rel.rfind(':');
            if (e.is_regular_file() && colon != std::string::npos && written.count(rel.substr(0, colon)))
                streamFiles.insert(rel);
            else
                extra.push_back(rel);
        }
    }
    if (!extra.empty()) problem("recover writes what it does not report:" + Lines(extra));
    if (streamFiles != streams)
        problem("fls's deleted named streams:" + Lines(std::vector<std::string>(streams.begin(), streams.end())) +
                "\n  streams recover writes:" +
                Lines(std::vector<std::string>(streamFiles.begin(), streamFiles.end())));

    EXPECT_TRUE(problems.empty()) << c.name << " (" << image << part << "):" << Lines(problems);
}

INSTANTIATE_TEST_SUITE_P(EveryImage, DeletedCensus, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
