// `quarlix scan` end to end: the samples of tests/data (made by ImageMagick,
// LAME and FFmpeg) deleted on FAT32 (mkfs.fat + mtools) and NTFS (mkntfs +
// libntfs-3g) images, and laid into a raw image with no file system, are
// reported at their first cluster with their exact size and written whole
// by --to; the type selection, the usage errors, the refusal of a raw source
// by the index commands, and Ctrl-C.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <map>
#include <set>
#include <iterator>
#include <sstream>

#include "cli/CliTestSupport.h"
#include "common/TestUtil.h"
#include "engine/surfacescan/ScanTypes.h"
#include "tests/surfacescan/SampleImages.h"
#include "tests/surfacescan/ScanTestSupport.h"

using namespace scantest;
using testutil::Quote;

namespace {

struct QuarlixRun {
    int exitCode = -1;
    std::string out, err;
    std::vector<nlohmann::json> json;  // the JSON lines of stdout
};

QuarlixRun Quarlix(const std::string& args, const testutil::TempDir& dir) {
    const auto r = clitest::RunQuarlix("--no-cache " + args, dir);
    return {r.exitCode, r.out, r.err, clitest::JsonLines(r.out)};
}

std::string Sha256(const std::string& path) {
    std::string out = testutil::MustRun("sha256sum " + Quote(path));
    return out.substr(0, out.find(' '));
}

// What a scan must report for a sample: its type, first cluster, size, title, author and name.
struct Expected {
    std::string file, type, name, title, author;
    uint64_t cluster = 0, size = 0;
};

std::vector<Expected> ExpectedHits(const std::function<uint64_t(const Bytes&)>& clusterOf) {
    std::vector<Expected> v;
    for (const Sample& s : Samples()) {
        const Bytes bytes = testutil::ReadFileBytes(DataDir() + "/" + s.file);
        Expected e {s.file, Utf8(s.type), "", Utf8(s.title), Utf8(s.author), clusterOf(bytes), bytes.size()};
        std::u16string name;
        MakeCarvedItemName(s.type, s.title, s.author, e.cluster, name);
        e.name = Utf8(name);
        v.push_back(e);
    }
    return v;
}

// Every found-file object of a --json scan, by cluster; the summary apart.
std::map<uint64_t, nlohmann::json> FoundByCluster(const QuarlixRun& r, nlohmann::json& summary) {
    std::map<uint64_t, nlohmann::json> m;
    for (const auto& j : r.json) {
        if (j.contains("summary"))
            summary = j["summary"];
        else
            m[j["cluster"].get<uint64_t>()] = j;
    }
    return m;
}

// The --json report holds exactly the expected files, each in full.
void ExpectJsonReport(const QuarlixRun& r, const std::vector<Expected>& want) {
    ASSERT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json summary;
    auto found = FoundByCluster(r, summary);
    for (const Expected& e : want) {
        SCOPED_TRACE(e.file);
        ASSERT_EQ(found.count(e.cluster), 1u) << "not reported at cluster " << e.cluster << "\n" << r.out;
        const auto& j = found[e.cluster];
        EXPECT_EQ(j["type"], e.type);
        EXPECT_EQ(j["size"].get<uint64_t>(), e.size);
        EXPECT_EQ(j["name"], e.name);
        EXPECT_EQ(j["title"], e.title);
        EXPECT_EQ(j["author"], e.author);
    }
    EXPECT_EQ(found.size(), want.size()) << r.out;
    ASSERT_TRUE(summary.is_object()) << r.out;
    EXPECT_EQ(summary["found"].get<size_t>(), want.size());
    EXPECT_FALSE(summary["stopped"].get<bool>());
    EXPECT_TRUE(r.json.back().contains("summary")) << "the summary comes last";
}

// --to wrote every expected file byte for byte under its name.
void ExpectRecovered(const QuarlixRun& r, const std::vector<Expected>& want, const std::string& folder) {
    ASSERT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json summary;
    auto found = FoundByCluster(r, summary);
    for (const Expected& e : want) {
        SCOPED_TRACE(e.file);
        ASSERT_EQ(found.count(e.cluster), 1u);
        const auto& j = found[e.cluster];
        EXPECT_EQ(j["status"], "ok");
        EXPECT_EQ(j["output"], folder + "/" + e.name);
        EXPECT_EQ(Sha256(j["output"].get<std::string>()), Sha256(DataDir() + "/" + e.file));
    }
    EXPECT_EQ(summary["recovered"].get<size_t>(), want.size());
    EXPECT_EQ(summary["failed"].get<size_t>(), 0u);
}

struct FileSystemImage {
    std::string name;
    std::function<bool()> available;
    std::function<SampleImage(const testutil::TempDir&)> make;
};

void PrintTo(const FileSystemImage& f, std::ostream* os) { *os << f.name; }

class ScanFileSystem : public ::testing::TestWithParam<FileSystemImage> {
protected:
    void SetUp() override {
        QUARLIX_REQUIRE(GetParam().available(), "tools for " << GetParam().name << " not installed");
        image = GetParam().make(dir);
        ASSERT_TRUE(image.ok()) << image.error;
        want = ExpectedHits([this](const Bytes& b) { return image.ClusterHolding(b); });
        for (const Expected& e : want) ASSERT_NE(e.cluster, UINT64_MAX) << e.file << " is not contiguous in the image";
    }
    testutil::TempDir dir;
    SampleImage image;
    std::vector<Expected> want;
};

}  // namespace

TEST_P(ScanFileSystem, ReportsEverySampleAtItsFirstClusterAndRecoversItWhole) {
    ExpectJsonReport(Quarlix("--json scan " + Quote(image.path), dir), want);

    // Text: one "type, cluster, size, name" line per file, as found, then the summary line.
    auto text = Quarlix("scan " + Quote(image.path), dir);
    ASSERT_EQ(text.exitCode, 0) << text.err;
    std::set<std::string> lines, expected;
    std::istringstream in(text.out);
    std::string line;
    while (std::getline(in, line)) lines.insert(line);
    for (const Expected& e : want) {
        const std::string l = e.type + "\t" + std::to_string(e.cluster) + "\t" + std::to_string(e.size) + "\t" + e.name;
        EXPECT_EQ(lines.count(l), 1u) << l << "\n" << text.out;
    }
    EXPECT_EQ(lines.size(), want.size() + 1) << text.out;
    EXPECT_NE(text.out.find("Found " + std::to_string(want.size()) + " files"), std::string::npos) << text.out;

    const std::string out = dir.file("out");
    ExpectRecovered(Quarlix("--json scan " + Quote(image.path) + " --to " + Quote(out), dir), want, out);
    // Again into the same folder: nothing is overwritten, every file is reported skipped.
    auto again = Quarlix("--json scan " + Quote(image.path) + " --to " + Quote(out), dir);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    nlohmann::json summary;
    for (const auto& [cluster, j] : FoundByCluster(again, summary)) EXPECT_EQ(j["status"], "skipped") << j;
    EXPECT_EQ(summary["skipped"].get<size_t>(), want.size());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), std::filesystem::directory_iterator()),
              static_cast<std::ptrdiff_t>(want.size()));
}

TEST_P(ScanFileSystem, TypesRestrictTheScanAndAllClustersFindsTheLiveFile) {
    std::vector<Expected> jpgAndMp3;
    for (const Expected& e : want)
        if (e.type == "jpg" || e.type == "mp3") jpgAndMp3.push_back(e);
    ASSERT_EQ(jpgAndMp3.size(), 3u);
    ExpectJsonReport(Quarlix("--json scan " + Quote(image.path) + " --types JPG,mp3", dir), jpgAndMp3);

    // live.jpg is in use: found only when every cluster is a candidate.
    const uint64_t live = image.ClusterHolding(testutil::ReadFileBytes(DataDir() + "/sample.jpg"));
    auto all = Quarlix("--json scan " + Quote(image.path) + " --types jpg --all-clusters", dir);
    ASSERT_EQ(all.exitCode, 0) << all.err;
    nlohmann::json summary;
    auto found = FoundByCluster(all, summary);
    EXPECT_EQ(found.size(), 2u) << all.out;
    ASSERT_EQ(found.count(live), 1u) << all.out;
    EXPECT_EQ(found[live]["size"], 6835);
    EXPECT_TRUE(summary["all_clusters"].get<bool>());
    EXPECT_EQ(summary["candidates"].get<uint64_t>(), image.clusterCount) << "every cluster is a candidate";
}

INSTANTIATE_TEST_SUITE_P(
    Images, ScanFileSystem,
    ::testing::Values(FileSystemImage {"Fat32", HaveFatSampleTools,
                                       [](const testutil::TempDir& d) { return MakeFat32SampleImage(d, 8, 280000); }},
                      FileSystemImage {"Ntfs", HaveNtfsSampleTools,
                                       [](const testutil::TempDir& d) { return MakeNtfsSampleImage(d, 4096, 32); }}),
    [](const ::testing::TestParamInfo<FileSystemImage>& p) { return p.param.name; });

namespace {

// A source with no file system: random filler with each sample at a
// 4,096-byte boundary (unit 1 + 12 i).
class RawScan : public ::testing::Test {
protected:
    void SetUp() override {
        raw = dir.file("raw.img");
        Bytes image = testutil::PatternBytes(4096 * 12 * Samples().size(), 77);
        std::vector<uint64_t> offsets;
        for (size_t i = 0; i < Samples().size(); ++i) {
            const Bytes b = testutil::ReadFileBytes(DataDir() + "/" + Samples()[i].file);
            const uint64_t offset = 4096 * (1 + 12 * i);
            std::copy(b.begin(), b.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
            offsets.push_back(offset);
        }
        testutil::WriteFileBytes(raw, image);
        for (size_t i = 0; i < Samples().size(); ++i) sampleOffset[Samples()[i].file] = offsets[i];
    }
    std::vector<Expected> Want(uint64_t unit) {
        return ExpectedHits([&](const Bytes& b) {
            for (const Sample& s : Samples())
                if (testutil::ReadFileBytes(DataDir() + "/" + s.file) == b) return sampleOffset[s.file] / unit;
            return uint64_t(UINT64_MAX);
        });
    }
    testutil::TempDir dir;
    std::string raw;
    std::map<std::string, uint64_t> sampleOffset;
};

}  // namespace

TEST_F(RawScan, EverySampleIsFoundWholeInUnitsOfAnySize) {
    auto r = Quarlix("--json scan " + Quote(raw), dir);
    ExpectJsonReport(r, Want(4096));
    EXPECT_NE(r.err.find("no NTFS, FAT or exFAT file system found on " + raw + "; scanning it as raw units of 4096 bytes"),
              std::string::npos)
        << r.err;
    nlohmann::json summary;
    FoundByCluster(r, summary);
    EXPECT_TRUE(summary["raw"].get<bool>());
    EXPECT_EQ(summary["unit"], 4096);

    ExpectJsonReport(Quarlix("--json scan " + Quote(raw) + " --unit 512", dir), Want(512));

    const std::string out = dir.file("carved");
    ExpectRecovered(Quarlix("--json scan " + Quote(raw) + " --to " + Quote(out), dir), Want(4096), out);
}

TEST_F(RawScan, TheIndexCommandsRefuseARawSource) {
    for (const std::string& args : {"list " + Quote(raw), "recover " + Quote(raw) + " --all --to " + Quote(dir.file("o")),
                                    "info " + Quote(raw)}) {
        auto r = Quarlix(args, dir);
        EXPECT_EQ(r.exitCode, 3) << args;
        EXPECT_NE(r.err.find("no NTFS, FAT or exFAT file system found on " + raw), std::string::npos) << args << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("o")));
}

TEST_F(RawScan, UsageErrors) {
    const std::string before = Sha256(raw);
    auto bad = Quarlix("scan " + Quote(raw) + " --types jpg,nope", dir);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("unknown type 'nope'"), std::string::npos) << bad.err;
    for (const char* key : {"jpg", "png", "mp3", "mov", "tif"})
        EXPECT_NE(bad.err.find(key, bad.err.find("types are:")), std::string::npos) << key << ": " << bad.err;
    EXPECT_EQ(Quarlix("scan " + Quote(raw) + " --types ,", dir).exitCode, 2);
    EXPECT_EQ(Quarlix("scan " + Quote(raw) + " --unit 1000", dir).exitCode, 2);
    EXPECT_EQ(Quarlix("scan " + Quote(raw) + " --unit 256", dir).exitCode, 2);
    // The source itself is no destination folder.
    auto onSource = Quarlix("scan " + Quote(raw) + " --to " + Quote(raw), dir);
    EXPECT_EQ(onSource.exitCode, 2);
    EXPECT_NE(onSource.err.find("is not a folder"), std::string::npos) << onSource.err;
    EXPECT_TRUE(onSource.out.empty()) << onSource.out;
    EXPECT_EQ(Sha256(raw), before);
}

// Ctrl-C (SIGINT) and SIGTERM stop the scan through its stop flag: exit 130
// or 143 and a summary that says so.
// JPEGs in two pieces (SampleImages.h): each in-order one is reported with
// both pieces ("fragments" in the JSON, a note in the text) and --to writes
// it whole.
TEST(ScanSplitJpeg, ReportsBothPiecesAndRecoversTheFileWhole) {
    QUARLIX_REQUIRE(HaveFatSampleTools(), "mkfs.fat and mtools not installed");
    testutil::TempDir dir;
    const SampleImage image = MakeSplitJpegImage(dir);
    ASSERT_TRUE(image.ok()) << image.error;
    const std::string out = dir.file("out");
    auto r = Quarlix("--json scan " + Quote(image.path) + " --types jpg,png --to " + Quote(out), dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json summary;
    auto found = FoundByCluster(r, summary);
    auto text = Quarlix("scan " + Quote(image.path) + " --types jpg,png", dir);
    for (const SplitJpeg& c : SplitJpegCases()) {
        if (!c.inOrder || c.ntfs) continue;
        SCOPED_TRACE(c.name);
        const Bytes file = testutil::ReadFileBytes(DataDir() + "/" + c.file);
        ASSERT_EQ(found.count(c.first), 1u) << r.out;
        const nlohmann::json& j = found[c.first];
        EXPECT_EQ(j["size"].get<uint64_t>(), file.size());
        const uint64_t head = c.firstClusters * image.clusterSize;
        const uint64_t rest = file.size() - head;
        const nlohmann::json want = nlohmann::json::array(
            {{{"cluster", c.first}, {"clusters", c.firstClusters}, {"bytes", head}},
             {{"cluster", c.second}, {"clusters", (rest + image.clusterSize - 1) / image.clusterSize}, {"bytes", rest}}});
        EXPECT_EQ(j["fragments"], want);
        EXPECT_EQ(j["status"], "ok");
        EXPECT_EQ(Sha256(j["output"].get<std::string>()), Sha256(DataDir() + "/" + c.file));
        const std::string note = "reassembled (2 fragments: clusters " + std::to_string(c.first) + "-" +
                                 std::to_string(c.first + c.firstClusters - 1) + ", " + std::to_string(c.second);
        EXPECT_NE(text.out.find(note), std::string::npos) << text.out;
    }
}

TEST(ScanInterrupt, SignalsStopTheScanCleanly) {
    for (auto [signal, code] : {std::pair<std::string, std::string> {"INT", "130"}, {"TERM", "143"}}) {
        SCOPED_TRACE(signal);
        testutil::TempDir dir;
        const std::string big = dir.file("big.raw");
        // A sparse 16 GiB source: far more units than can be scanned before the signal comes.
        testutil::MustRun("truncate -s 16G " + Quote(big));
        const std::string err = Quote(dir.file("err.txt"));
        const std::string script = testutil::BinDir() + "/quarlix --no-cache --progress always --json scan " +
                                   Quote(big) + " 2>" + err + " & pid=$!; " +
                                   // Wait until the progress bar shows the scan phase, then signal until it ends.
                                   "for i in $(seq 1200); do grep -q Scanning " + err +
                                   " 2>/dev/null && break; sleep 0.1; done; "
                                   "while kill -" + signal + " $pid 2>/dev/null; do sleep 0.2; done; wait $pid; echo exit=$?";
        auto r = testutil::Run("bash -c " + Quote(script));
        EXPECT_NE(r.out.find("exit=" + code), std::string::npos) << r.out;
        const auto lines = clitest::JsonLines(r.out);
        ASSERT_TRUE(!lines.empty() && lines.back()["kind"] == "scan_summary")
            << "no summary: the process did not stop cleanly\n" << r.out;
        auto summary = lines.back()["summary"];
        EXPECT_TRUE(summary["stopped"].get<bool>());
        EXPECT_EQ(summary["candidates"].get<uint64_t>(), (16ull << 30) / 4096) << "the count ran to its end";
        EXPECT_LT(summary["scanned"].get<uint64_t>(), summary["candidates"].get<uint64_t>()) << "the scan did not";
        // The progress line fits an 80-column terminal.
        const std::string bar = testutil::MustRun("cat " + err);
        size_t from = 0, bars = 0;
        for (size_t to; (to = bar.find_first_of("\r\n", from)) != std::string::npos; from = to + 1) {
            if (bar.compare(from, 8, "quarlix:") == 0) continue;
            EXPECT_LE(to - from, 80u) << bar.substr(from, to - from);
            ++bars;
        }
        EXPECT_GT(bars, 0u) << bar;
    }
}

namespace {

// The documents of tests/data/documents (written by LibreOffice and zip)
// copied onto a FAT16 image by mtools and deleted there.
class ScanDocuments : public ::testing::Test {
protected:
    // The image is made once; the tests only read it.
    static void SetUpTestSuite() {
        s_dir = new testutil::TempDir;
        s_image = s_dir->file("docs.img");
        const std::string docs = testutil::SourceDir() + "/tests/data/documents";
        std::string script = "set -e; mkfs.fat -F 16 -s 1 -C " + Quote(s_image) + " 8192 >/dev/null; export MTOOLS_SKIP_CHECK=1; ";
        for (const auto& d : kDocuments) script += "mcopy -i " + Quote(s_image) + " " + Quote(docs + "/" + d.file) + " ::/; ";
        for (const auto& d : kDocuments) script += "mdel -i " + Quote(s_image) + " ::/" + d.file + "; ";
        s_made = testutil::Run("bash -c " + Quote(script));
    }
    static void TearDownTestSuite() { delete s_dir; }
    void SetUp() override {
        QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mdel"),
                        "mkfs.fat and mtools are needed");
        ASSERT_EQ(s_made.exitCode, 0) << s_made.out;
        image = s_image;
    }
    static inline testutil::TempDir* s_dir = nullptr;
    static inline std::string s_image;
    static inline testutil::CommandResult s_made;
    struct Document {
        const char* file;
        const char* type;
        const char* title;
        const char* author;
    };
    static constexpr Document kDocuments[] = {
        {"report.docx", "docx", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
        {"budget.xlsx", "xlsx", "Household Budget 2024", "Charles Babbage"},
        {"slides.pptx", "pptx", "Launch Plan", "Grace Hopper"},
        {"archive.zip", "zip", "", ""},
        {"report.doc", "doc", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
        {"budget.xls", "xls", "Household Budget 2024", "Charles Babbage"},
        {"slides.ppt", "ppt", "Launch Plan", "Grace Hopper"},
        {"report.pdf", "pdf", "Quarterly Report \u2013 Caf\u00e9", "Ada Lovelace"},
    };
    const std::string kTypes = " --types docx,xlsx,pptx,zip,doc,xls,ppt,pdf";
    testutil::TempDir dir;
    std::string image;
};

}  // namespace

// Office and PDF finds report their title and their author apart, and are
// named "author - title (cluster).type".
TEST_F(ScanDocuments, TitleAndAuthorApart) {
    auto r = Quarlix("--json scan " + Quote(image) + kTypes, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json summary;
    std::map<std::string, nlohmann::json> byType;
    for (const auto& [cluster, j] : FoundByCluster(r, summary)) byType[j["type"].get<std::string>()] = j;
    ASSERT_EQ(byType.size(), std::size(kDocuments)) << r.out;
    for (const Document& d : kDocuments) {
        SCOPED_TRACE(d.file);
        const nlohmann::json& j = byType[d.type];
        EXPECT_EQ(j["title"], d.title);
        EXPECT_EQ(j["author"], d.author);
        const std::string cluster = " (" + std::to_string(j["cluster"].get<uint64_t>()) + ")." + d.type;
        EXPECT_EQ(j["name"], *d.author ? std::string(d.author) + " - " + d.title + cluster : "ZIP archive" + cluster);
    }
}

// With --to each find is printed once, in the order found (by cluster), with
// its outcome: as text one line ending in the outcome, as JSON one object
// with its output and status.
TEST_F(ScanDocuments, RecoveryPrintsEachFindOnceWithItsOutcome) {
    const std::string out = dir.file("out");
    auto text = Quarlix("scan " + Quote(image) + kTypes + " --to " + Quote(out), dir);
    ASSERT_EQ(text.exitCode, 0) << text.err;
    std::istringstream in(text.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), std::size(kDocuments) + 2) << text.out;  // and the two summary lines
    uint64_t previous = 0;
    for (size_t i = 0; i < std::size(kDocuments); ++i) {
        SCOPED_TRACE(lines[i]);
        std::vector<std::string> fields;
        std::istringstream f(lines[i]);
        for (std::string field; std::getline(f, field, '\t');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 5u);
        const uint64_t cluster = std::stoull(fields[1]);
        EXPECT_GT(cluster, previous);
        previous = cluster;
        EXPECT_EQ(fields[4], "recovered to " + out + "/" + fields[3]);
        EXPECT_TRUE(std::filesystem::is_regular_file(out + "/" + fields[3]));
    }
    EXPECT_EQ(lines[std::size(kDocuments)].rfind("Found " + std::to_string(std::size(kDocuments)) + " files", 0), 0u);

    // Again into the same folder: every find once, skipped, its file kept.
    auto again = Quarlix("--json scan " + Quote(image) + kTypes + " --to " + Quote(out), dir);
    ASSERT_EQ(again.exitCode, 0) << again.err;
    ASSERT_EQ(again.json.size(), std::size(kDocuments) + 1) << again.out;
    previous = 0;
    for (size_t i = 0; i < std::size(kDocuments); ++i) {
        const nlohmann::json& j = again.json[i];
        SCOPED_TRACE(j.dump());
        EXPECT_EQ(j["kind"], "found");
        EXPECT_GT(j["cluster"].get<uint64_t>(), previous);
        previous = j["cluster"].get<uint64_t>();
        EXPECT_EQ(j["status"], "skipped");
        EXPECT_EQ(j["output"], out + "/" + j["name"].get<std::string>());
    }
    EXPECT_EQ(again.json.back()["summary"]["skipped"], std::size(kDocuments));
}
