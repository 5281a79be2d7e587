// `quarlix cat`: the sample's deleted files come out byte for byte (by id
// and by path, into a pipe), an existing file by its path; folders and an
// unknown item are refused.
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
