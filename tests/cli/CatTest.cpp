// `quarlix cat`: the sample's deleted files come out byte for byte (by id
// and by path, into a pipe), an existing file by its path; folders and an
// unknown item are refused. A partly overwritten file comes out as far as
// it can be had, with the overwritten ranges named and exit status 1, and
// recover calls it overwritten too.
#include <gtest/gtest.h>

#include <map>

#include "CliTestSupport.h"
#include "common/TestUtil.h"

using testutil::Quote;


TEST(CatCommand, DeletedFilesComeOutWholeAndFoldersAreRefused) {
    testutil::TempDir dir;
    const std::string image = dir.file("fat.img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/fat-sample.img.gz") + " > " +
                      Quote(image));
    const std::string q = Quote(clitest::Quarlix()) + " --progress never ";
    std::map<std::string, uint64_t> ids;
    for (const auto& j : clitest::JsonLines(testutil::MustRun(q + "--json list " + Quote(image) + " --recursive --deleted-only")))
        ids[j["path"].get<std::string>()] = j["id"].get<uint64_t>();
    const struct {
        std::string path, name;
        size_t size;
        int seed;
    } files[] = {{"/?eadme.txt", "readme.txt", 700, 5},
                 {"/Docs/Budget 2026.xls", "budget.xls", 12000, 4},
                 {"/Photos/Holiday photo.jpg", "photo.jpg", 40000, 2},
                 {"/Trash/?otes.txt", "notes.txt", 500, 3}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        ASSERT_EQ(ids.count(f.path), 1u);
        const std::string expected = testutil::SampleFileContent(f.name, f.size, f.seed);
        const std::string out = dir.file("out");
        // By id, then by path; stdout is a file, not a terminal.
        for (const std::string& item : {std::to_string(ids[f.path]), f.path}) {
            const auto r = testutil::Run(q + "cat " + Quote(image) + " " + Quote(item) + " > " + Quote(out));
            EXPECT_EQ(r.exitCode, 0) << r.out;
            const auto bytes = testutil::ReadFileBytes(out);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
        }
    }
    const struct {
        std::string item;
        int status;
        const char* message;
    } refused[] = {{"/Trash", 2, "is a folder"}, {"/Docs", 2, "is a folder"}, {"/no-such.txt", 2, "no deleted or existing"}};
    // An existing file comes out too.
    const auto live = testutil::Run(q + "cat " + Quote(image) + " /Docs/report.txt");
    EXPECT_EQ(live.exitCode, 0);
    EXPECT_EQ(live.out, testutil::SampleFileContent("report.txt", 3000, 1));
    for (const auto& r : refused) {
        const auto result = testutil::Run(q + "cat " + Quote(image) + " " + Quote(r.item));
        EXPECT_EQ(result.exitCode, r.status) << r.item;
        EXPECT_NE(result.out.find(r.message), std::string::npos) << result.out;
    }
}

TEST(CatCommand, OverwrittenPartsAreNamedAndTheStatusSaysSo) {
    QUARLIX_REQUIRE(testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy"), "dosfstools or mtools missing");
    testutil::TempDir dir;
    const std::string ntfs = dir.file("ntfs.img"), fat = dir.file("fat.img");
    testutil::MustRun("gunzip -c " + Quote(testutil::SourceDir() + "/samples/ntfs-sample.img.gz") + " > " + Quote(ntfs));
    // FAT: A.BIN's first cluster goes to a file written after its deletion
    // (a long name, so that the deleted entry keeps its slot before B.TXT's).
    testutil::MustRun("printf '%3000s' x > " + Quote(dir.file("a")) + " && printf '%600s' y > " + Quote(dir.file("b")) +
                      " && mkfs.fat -C -s 1 -S 512 " + Quote(fat) + " 2048 >/dev/null && mcopy -i " + Quote(fat) + " " +
                      Quote(dir.file("a")) + " ::/A.BIN && mcopy -i " + Quote(fat) + " " + Quote(dir.file("b")) +
                      " ::/B.TXT && mdel -i " + Quote(fat) + " ::/A.BIN && mcopy -i " + Quote(fat) +
                      " " + Quote(dir.file("b")) + " '::/Another long name.txt'");
    const std::string q = Quote(clitest::Quarlix()) + " --progress never --no-cache ";
    const struct {
        std::string image, item, message;
        size_t bytes;
    } cases[] = {
        // budget.xls: the filler took its first clusters; the rest is its own.
        {ntfs, "/Docs/budget.xls", "bytes 0-3071 (3.0 KiB) were overwritten by other files: written as zeros", 20000},
        // A FAT file's data ends at its first cluster in use again: nothing of it is written.
        {fat, "/?.BIN", "bytes 0-2999 (2.9 KiB) were overwritten by other files: not written", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        const auto r = testutil::Run(q + "cat " + Quote(c.image) + " " + Quote(c.item) + " 2>" + Quote(dir.file("err")) +
                                     " | wc -c");
        EXPECT_EQ(std::stoul(r.out), c.bytes);
        const std::string err = testutil::MustRun("cat " + Quote(dir.file("err")));
        EXPECT_NE(err.find(c.item + ": " + c.message), std::string::npos) << err;
        EXPECT_EQ(testutil::Run(q + "cat " + Quote(c.image) + " " + Quote(c.item) + " >/dev/null 2>&1").exitCode, 1);
        const auto rec = testutil::Run(q + "--json recover " + Quote(c.image) + " " + Quote(c.item) + " --to " +
                                       Quote(dir.file("out-" + std::to_string(c.bytes))) + " 2>/dev/null");
        EXPECT_EQ(rec.exitCode, 1);
        const auto records = clitest::JsonLines(rec.out);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records[0].value("reason", ""), "Incomplete: part of the data was overwritten by other files");
    }
}
