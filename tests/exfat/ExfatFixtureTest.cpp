// The command line on an exFAT volume that exfat-fuse wrote and deleted
// files on (tools/make-exfat-fixture.sh standard, made once per test
// process): the deleted listing against the maker's record, the recovered
// bytes against the originals the maker kept, and `info`; and a deleted file
// of more than 4 GiB (the maker's large image). The maker prints what it
// did, one action per line; the tables below are read from that record, so
// a new case in the maker is checked here without a change. The same
// listing against Sleuth Kit's, and index, search and recover --all
// against it, are the exfat row of tests/cli/DeletedCensusTest.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "cli/CliTestSupport.h"
#include "common/FailingDevice.h"
#include "common/TestUtil.h"

using clitest::JsonLines;
using clitest::Quarlix;
using testutil::Quote;
namespace fs = std::filesystem;

namespace {

// What the maker says it made.
struct Made {
    std::map<std::string, uint64_t> size;  // every file by path, at its final size
    std::set<std::string> folders;         // every folder made
    std::set<std::string> deleted;         // deleted files and folders, the content of deleted folders included
    std::set<std::string> fragmented;
    std::map<std::string, double> reused;  // path -> the share of its clusters later live files took (%)
    std::set<std::string> overlaid;        // files whose clusters hold another deleted file's bytes
    std::map<std::string, uint64_t> valid;  // files whose valid data length is below their size
    std::set<std::string> large;
    std::map<std::string, std::string> badsum;  // path -> the name as the corrupted set now spells it
    std::set<std::string> orphaned;  // deleted files whose sets lie in a folder cluster that was freed
    std::map<std::string, uint64_t> split;  // folder -> its clusters before the deletions
};

// The words of a line after its action, with the last `tail` words apart (a
// path may hold spaces; the numbers after it do not).
std::pair<std::string, std::vector<std::string>> Split(const std::string& rest, size_t tail) {
    std::vector<std::string> numbers;
    std::string path = rest;
    for (size_t i = 0; i < tail; ++i) {
        const size_t at = path.rfind(' ');
        numbers.insert(numbers.begin(), path.substr(at + 1));
        path.resize(at);
    }
    return {path, numbers};
}

Made Parse(const std::string& record) {
    Made m;
    std::vector<std::string> deletedFolders;
    std::istringstream in(record);
    std::string line;
    while (std::getline(in, line)) {
        const size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        const std::string action = line.substr(0, sp), rest = line.substr(sp + 1);
        if (action == "file") {
            auto [path, n] = Split(rest, 1);
            m.size[path] = std::stoull(n[0]);
        } else if (action == "dir") {
            m.folders.insert(rest);
        } else if (action == "deleted") {
            m.deleted.insert(rest);
        } else if (action == "deleted-folder") {
            deletedFolders.push_back(rest);
        } else if (action == "fragmented") {
            m.fragmented.insert(rest);
        } else if (action == "reused") {
            auto [path, n] = Split(rest, 2);
            m.reused[path] = 100.0 * std::stod(n[0]) / std::stod(n[1]);
        } else if (action == "overlaid") {
            m.overlaid.insert(Split(rest, 1).first);
        } else if (action == "vdl") {
            auto [path, n] = Split(rest, 2);
            m.valid[path] = std::stoull(n[0]);
            m.size[path] = std::stoull(n[1]);
        } else if (action == "large") {
            auto [path, n] = Split(rest, 1);
            m.large.insert(path);
            m.size[path] = std::stoull(n[0]);
        } else if (action == "split") {
            auto [path, n] = Split(rest, 1);
            m.split[path] = std::stoull(n[0]);
        } else if (action == "orphaned") {
            m.orphaned.insert(rest);
        } else if (action == "badsum") {
            auto [path, n] = Split(rest, 1);
            m.badsum[path] = n[0];
        }
    }
    for (const std::string& top : deletedFolders) {
        m.deleted.insert(top);
        for (const auto& [path, size] : m.size)
            if (path.rfind(top + "/", 0) == 0) m.deleted.insert(path);
        for (const std::string& path : m.folders)
            if (path.rfind(top + "/", 0) == 0) m.deleted.insert(path);
    }
    return m;
}

std::string Name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// An image the maker made in a temporary folder, with the originals it kept
// and its record; `skip` says why it could not (no FUSE, loop device, ...).
struct Fixture {
    testutil::TempDir dir;
    std::string image = dir.file("exfat.img"), originals = dir.file("originals"), skip;
    Made made;

    explicit Fixture(const std::string& kind) {
        const std::string err = dir.file("maker.err");
        // Its record alone on stdout; what it says on stderr to a file.
        const auto r = testutil::Run("{ " + Quote(testutil::SourceDir() + "/tools/make-exfat-fixture.sh") + " " + kind +
                                     " " + Quote(image) + " " + Quote(originals) + " 2>" + Quote(err) + "; }");
        const std::string said = testutil::Run("cat " + Quote(err)).out;
        if (r.exitCode == 77) {
            skip = said.empty() ? "the exFAT fixture cannot be made here" : said;
            return;
        }
        EXPECT_EQ(r.exitCode, 0) << r.out << said;
        if (r.exitCode == 0) made = Parse(r.out);
    }

    // `quarlix list --recursive --deleted-only`, its deleted items by path
    // (of the image, or of another source and with another exit status).
    std::map<std::string, nlohmann::json> Deleted(const std::string& source = "", int exitCode = 0) const {
        const auto r = testutil::Run("{ " + Quarlix() + " --no-cache --json list " + Quote(source.empty() ? image : source) +
                                     " --recursive --deleted-only 2>" + Quote(dir.file("list.err")) + "; }");
        EXPECT_EQ(r.exitCode, exitCode) << r.out << testutil::Run("cat " + Quote(dir.file("list.err"))).out;
        std::map<std::string, nlohmann::json> byPath;
        for (const auto& j : JsonLines(r.out)) {
            if (!j.contains("path") || !j.value("deleted", false)) continue;
            EXPECT_FALSE(byPath.count(j["path"])) << "listed twice: " << j["path"];
            byPath[j["path"]] = j;
        }
        return byPath;
    }
};

// A suite whose tests share one image of the maker's kind, made once.
template <const char* kKind>
class MadeOnce : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixture = new Fixture(kKind); }
    static void TearDownTestSuite() {
        delete fixture;
        fixture = nullptr;
    }
    void SetUp() override {
        QUARLIX_REQUIRE(fixture->skip.empty(), fixture->skip);
        ASSERT_FALSE(fixture->made.deleted.empty()) << "the maker failed";
    }
    static inline Fixture* fixture = nullptr;
};
constexpr char kStandard[] = "standard", kSplit[] = "split";

class ExfatFixture : public MadeOnce<kStandard> {
protected:
    // A listed item that is one of the files whose sets lie in a freed
    // folder cluster: the same name and size (the folder it is listed in
    // may be another).
    bool IsOrphaned(const std::string& path, const nlohmann::json& j) const {
        for (const std::string& o : made.orphaned)
            if (Name(o) == Name(path) && !j["folder"].get<bool>() && j["size"] == made.size.at(o)) return true;
        return false;
    }

    const Made& made = fixture->made;
    const std::string& image = fixture->image;
    const std::string& originals = fixture->originals;
};

// The deleted items are the ones the maker deleted, at their sizes, whole
// or overwritten as the maker left them.
TEST_F(ExfatFixture, DeletedListingMatchesTheMaker) {
    const auto byPath = fixture->Deleted();
    std::set<std::string> ours;
    for (const auto& [path, j] : byPath)
        // The orphaned sets wherever they are listed (see the test below), and not the lost folder holding them.
        if (!IsOrphaned(path, j) && !(j["folder"].get<bool>() && j["lost"].get<bool>())) ours.insert(path);
    // The set whose checksum no longer matches is no entry set: it is skipped,
    // under its old name and under the one its bytes now spell.
    std::set<std::string> expected = made.deleted;
    for (const std::string& path : made.orphaned) expected.erase(path);
    for (const auto& [path, stored] : made.badsum) {
        expected.erase(path);
        EXPECT_FALSE(ours.count(path)) << path;
        EXPECT_FALSE(ours.count(path.substr(0, path.rfind('/') + 1) + stored)) << stored;
    }
    EXPECT_EQ(ours, expected);

    for (const std::string& path : expected) {
        SCOPED_TRACE(path);
        const auto it = byPath.find(path);
        if (it == byPath.end()) continue;  // reported above
        const nlohmann::json& j = it->second;
        EXPECT_EQ(j["name"], Name(path));
        const bool folder = made.folders.count(path) > 0;
        EXPECT_EQ(j["folder"], folder);
        if (folder) continue;
        EXPECT_EQ(j["size"].get<uint64_t>(), made.size.at(path));
        if (made.size.at(path) == 0) continue;
        // An overlaid file's clusters hold the bytes of a file deleted later
        // (the grown fragmented one): free again, nothing on the volume tells
        // them gone. A fragmented file's clusters after its first are a guess.
        if (made.overlaid.count(path) || made.fragmented.count(path)) continue;
        const auto reused = made.reused.find(path);
        EXPECT_NEAR(j["overwritten"].get<double>(), reused == made.reused.end() ? 0.0 : reused->second, 1.0);
    }
}

// Every deleted file recovered by its path: the original bytes where its
// clusters are known and free; the fragmented one either exact or recovered
// as a guess that says so; the partly reused one incomplete; past the valid
// data length zeros, whatever the clusters hold. Names come out as they were.
TEST_F(ExfatFixture, RecoveredBytesMatchTheOriginals) {
    std::string items;
    for (const std::string& path : made.deleted)
        if (!made.folders.count(path) && !made.badsum.count(path) && !made.orphaned.count(path))
            items += " " + Quote(path);
    const std::string out = fixture->dir.file("out");
    const auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --to " + Quote(out) +
                                 items + " 2>&1");
    // The partly reused file is incomplete: a partial result.
    EXPECT_EQ(r.exitCode, 1) << r.out;
    std::map<std::string, nlohmann::json> got;
    nlohmann::json summary;
    for (const auto& j : JsonLines(r.out)) {
        if (j.contains("summary") && j["summary"].is_object()) summary = j["summary"];
        if (j.contains("status") && j["path"].is_string()) got[j["path"]] = j;
    }
    EXPECT_GE(summary.is_object() ? summary.value("incomplete", 0) : 0, 1) << summary;

    for (const std::string& path : made.deleted) {
        if (made.folders.count(path) || made.badsum.count(path) || made.orphaned.count(path)) continue;
        SCOPED_TRACE(path);
        const auto it = got.find(path);
        ASSERT_NE(it, got.end()) << "not reported";
        const nlohmann::json& j = it->second;
        const std::string output = j.value("output", "");
        EXPECT_EQ(fs::path(output).filename().string(), Name(path));
        const std::string status = j["status"];
        if (made.overlaid.count(path)) continue;  // holds another deleted file's bytes (see above)
        if (made.reused.count(path)) {
            EXPECT_EQ(status, "incomplete") << j;
            EXPECT_NE(j.value("reason", "").find("overwritten by other files"), std::string::npos) << j;
            // Its clusters are on record: it is written at its size, each
            // cluster's worth either the original's bytes or zeros where a
            // later file took the cluster, never that file's bytes.
            ASSERT_TRUE(fs::exists(output)) << j;
            const auto wrote = testutil::ReadFileBytes(output), original = testutil::ReadFileBytes(originals + path);
            ASSERT_EQ(wrote.size(), original.size());
            for (size_t at = 0; at < wrote.size(); at += 4096) {
                const auto from = wrote.begin() + at, to = wrote.begin() + std::min(wrote.size(), at + 4096);
                EXPECT_TRUE(std::all_of(from, to, [](uint8_t b) { return b == 0; }) ||
                            std::equal(from, to, original.begin() + at))
                    << "foreign bytes at " << at;
            }
            continue;
        }
        const bool same = fs::exists(output) &&
                          testutil::ReadFileBytes(output) == testutil::ReadFileBytes(originals + path);
        if (made.fragmented.count(path)) {
            // Its FAT chain was zeroed with the deletion: only a guess of its
            // clusters is left (contiguous from the first), and a guess that
            // is not exact must not pass for the file: "ok" only with a note
            // that the layout was assumed, "unverified" with its reason, or
            // incomplete. Where the guess stops early (at a cluster in use),
            // what it wrote is the file's start: exfat-fuse grew the file
            // into the free clusters right after its own, so its first
            // clusters up to the live file are its own.
            if (same) continue;
            if (status == "ok") {
                EXPECT_NE(j.value("note", "").find("assumed"), std::string::npos) << j;
            } else if (status == "unverified") {
                EXPECT_FALSE(j.value("reason", "").empty()) << j;
            } else if (fs::exists(output)) {
                EXPECT_EQ(status, "incomplete") << j;
                const auto wrote = testutil::ReadFileBytes(output), original = testutil::ReadFileBytes(originals + path);
                EXPECT_LT(wrote.size(), original.size()) << j;
                EXPECT_TRUE(std::equal(wrote.begin(), wrote.end(), original.begin())) << "not the file's start: " << j;
            }
            continue;
        }
        EXPECT_EQ(status, "ok") << j;
        EXPECT_TRUE(same) << "differs from " << originals + path;
    }
}

// exfat-fuse shrinks a folder when its last sets are deleted: the clusters
// after its last set in use are freed with the deleted sets in them, linked
// to no folder. A scan of the free clusters finds them (Sleuth Kit's fls
// lists them under $OrphanFiles); each is listed once, by its name and
// size, and recovers to its original bytes (its data clusters are free and
// contiguous).
TEST_F(ExfatFixture, DeletedSetsInFreedFolderClustersAreFound) {
    ASSERT_FALSE(made.orphaned.empty());
    std::map<std::string, std::vector<nlohmann::json>> byName;
    for (const auto& [path, j] : fixture->Deleted())
        if (IsOrphaned(path, j)) byName[j["name"]].push_back(j);
    for (const std::string& path : made.orphaned) {
        SCOPED_TRACE(path);
        const auto it = byName.find(Name(path));
        ASSERT_NE(it, byName.end()) << "not listed";
        ASSERT_EQ(it->second.size(), 1u) << "listed more than once";
        const nlohmann::json& j = it->second[0];
        ASSERT_TRUE(j["id"].is_number()) << j;
        const std::string out = fixture->dir.file("orphans");
        const auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(image) + " --to " + Quote(out) +
                                     " " + j["id"].dump() + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + Name(path)), testutil::ReadFileBytes(originals + path));
    }
}

TEST_F(ExfatFixture, InfoNamesExfatAndTheLabel) {
    const auto r = testutil::Run(Quarlix() + " --no-cache --json info " + Quote(image) + " 2>&1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const auto lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["filesystem"], "exFAT");
    EXPECT_EQ(lines[0]["label"], "QEXFAT");
    EXPECT_EQ(lines[0]["cluster_size"], 4096);
}

// Folders written between their files go on in clusters past the files'
// data, and exfat-fuse frees those clusters when it shrinks the folders. A
// set that runs from one of a folder's clusters into the next is joined by
// its checksum: the sets after a live folder's kept cluster stay in that
// folder, whether its clusters were apart (/cut) or side by side
// (/contig); freed clusters that follow no folder are one lost folder
// (/whole). Every deleted file is listed once, where it was, by name and
// size, and recovered to its original bytes.
class ExfatSplit : public MadeOnce<kSplit> {};

TEST_F(ExfatSplit, SetsRunningIntoAnotherFolderClusterAreJoined) {
    const Made& made = fixture->made;
    for (const char* folder : {"/cut", "/whole", "/contig"}) ASSERT_GE(made.split.at(folder), 3u) << folder << " did not grow";
    std::map<std::string, nlohmann::json> byName;
    std::set<std::string> lost;
    for (const auto& [path, j] : fixture->Deleted()) {
        if (!j["folder"].get<bool>()) EXPECT_TRUE(byName.emplace(Name(path), j).second) << path << " listed twice";
        else if (j["lost"].get<bool>()) lost.insert(path);
    }
    ASSERT_EQ(lost.size(), 1u) << "the freed clusters of /whole are one lost folder";
    EXPECT_EQ(byName.size(), made.deleted.size());
    const std::string out = fixture->dir.file("out");
    std::string ids;
    for (const std::string& path : made.deleted) {
        SCOPED_TRACE(path);
        const auto it = byName.find(Name(path));
        ASSERT_NE(it, byName.end()) << "not listed";
        const std::string listed = it->second["path"], folder = path.substr(0, path.rfind('/'));
        // /whole's short names lay in the clusters it lost; its long names in the one it kept.
        const bool inLost = folder == "/whole" && Name(path)[0] == 'w';
        EXPECT_EQ(listed, (inLost ? *lost.begin() : folder) + "/" + Name(path));
        EXPECT_EQ(it->second["size"], made.size.at(path));
        ids += " " + Quote(listed);
    }
    const auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(fixture->image) + " --to " + Quote(out) +
                                 ids + " 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    for (const std::string& path : made.deleted)
        EXPECT_EQ(testutil::ReadFileBytes(out + "/" + Name(path)), testutil::ReadFileBytes(fixture->originals + path))
            << path;
}

// On a failing device (nbdkit's ddrescue filter behind nbdfuse): a folder
// cluster the device refuses is counted and only the items it held are
// missing; allocation bitmap bytes it refuses make the data status of the
// deleted files unknown, never overwritten, and the free clusters they
// describe are still searched for the sets a shrunk folder left.
TEST_F(ExfatSplit, RefusedFolderClustersAndBitmapAreCountedNotGuessed) {
    std::string why;
    QUARLIX_REQUIRE(testutil::FailingDevice::Available(why), why);
    const Made& made = fixture->made;
    // Where the heap, /whole's kept cluster and the allocation bitmap lie.
    const auto image = testutil::ReadFileBytes(fixture->image);
    auto u32 = [&](size_t at) { return uint32_t(image[at] | image[at + 1] << 8 | image[at + 2] << 16 | image[at + 3] << 24); };
    const uint64_t sector = 1ull << image[108], cluster = sector << image[109];
    auto clusterAt = [&](uint64_t c) { return u32(88) * sector + (c - 2) * cluster; };
    uint64_t bitmap = 0;
    for (uint64_t e = clusterAt(u32(96)); e < clusterAt(u32(96)) + cluster && !bitmap; e += 32)
        if (image[e] == 0x81) bitmap = u32(e + 20);
    const std::string whole = testutil::MustRun("python3 " + Quote(testutil::SourceDir() + "/tools/exfat-patch.py") +
                                                " " + Quote(fixture->image) + " show /whole | sed -n 's/^first //p'");
    ASSERT_NE(bitmap, 0u);
    ASSERT_EQ(cluster, 4096u);  // one cluster, one block the device refuses
    const struct {
        const char* what;
        uint64_t cluster;
        std::string said;
    } cases[] = {
        {"/whole's kept cluster", std::stoull(whole), "1 folder clusters could not be read: the deleted items they held are not listed"},
        {"the allocation bitmap", bitmap, "bytes of the allocation bitmap could not be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::FailingDevice device(fixture->dir, fixture->image, {{clusterAt(c.cluster), cluster}}, "",
                                       std::string("device-") + c.what[1]);
        ASSERT_TRUE(device.Ready());
        const auto listed = fixture->Deleted(device.Path(), 1);
        const std::string said = testutil::Run("cat " + Quote(fixture->dir.file("list.err"))).out;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        std::set<std::string> names;
        for (const auto& [path, j] : listed) {
            if (j["folder"].get<bool>()) continue;
            names.insert(Name(path));
            if (c.cluster == bitmap && j["size"] != 0) {
                EXPECT_TRUE(j["overwritten"].is_null()) << path << " " << j["overwritten"];
            }
        }
        for (const std::string& path : made.deleted) {
            const bool inKept = path.rfind("/whole/a long name", 0) == 0;
            EXPECT_EQ(names.count(Name(path)), c.cluster == bitmap || !inKept ? 1u : 0u) << path;
        }
    }
}

// A deleted file of 4.5 GiB (its DataLength past 32 bits, its valid length
// 1 MiB, the clusters after it holding other bytes) on a sparse 6 GiB
// volume: listed at its size, none of its clusters taken, and recovered at
// its size, its valid bytes and then zeros.
TEST(ExfatLarge, FileOfMoreThan4GiBIsListedAndRecoveredAtItsSize) {
    const Fixture fixture("large");
    QUARLIX_REQUIRE(fixture.skip.empty(), fixture.skip);
    ASSERT_FALSE(fixture.made.large.empty()) << "the maker failed";
    const auto byPath = fixture.Deleted();
    EXPECT_EQ(byPath.size(), fixture.made.deleted.size());
    for (const std::string& path : fixture.made.large) {
        SCOPED_TRACE(path);
        const uint64_t size = fixture.made.size.at(path);
        const auto it = byPath.find(path);
        ASSERT_NE(it, byPath.end()) << "not listed";
        EXPECT_EQ(it->second["size"].get<uint64_t>(), size);
        EXPECT_EQ(it->second["overwritten"], 0);
        // Past the valid length the output holds zeros: the start is
        // compared, then a page in the middle and the last one.
        const std::string out = fixture.dir.file("out");
        const auto r = testutil::Run(Quarlix() + " --no-cache --json recover " + Quote(fixture.image) + " --to " +
                                     Quote(out) + " " + Quote(path) + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.out;
        const std::string output = out + "/" + Name(path);
        ASSERT_TRUE(fs::exists(output)) << r.out;
        EXPECT_EQ(fs::file_size(output), size);
        const auto original = testutil::ReadFileBytes(fixture.originals + path);
        std::vector<uint8_t> start(original.size());
        std::ifstream in(output, std::ios::binary);
        in.read(reinterpret_cast<char*>(start.data()), static_cast<std::streamsize>(start.size()));
        EXPECT_TRUE(in && start == original) << "the first bytes differ";
        for (const uint64_t at : {size / 2, size - 4096})
            EXPECT_EQ(testutil::MustRun("tail -c +" + std::to_string(at + 1) + " " + Quote(output) +
                                        " | head -c 4096 | tr -d '\\0' | wc -c"),
                      "0\n")
                << "not zeros at " << at;
    }
}

}  // namespace
