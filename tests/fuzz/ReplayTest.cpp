// Replays the kept fuzz corpus (tests/fuzz-corpus/<target>/) through the
// fuzz entry points in the sanitizer build: an input that once found a
// fault must keep passing. Every folder must name a known target and hold
// inputs, and every target must have its folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "FuzzTargets.h"
#include "common/TestUtil.h"

namespace fs = std::filesystem;

namespace {

fs::path CorpusRoot() { return fs::path(testutil::SourceDir()) / "tests" / "fuzz-corpus"; }

}  // namespace

TEST(FuzzReplay, EveryCorpusFolderIsAKnownNonEmptyTarget) {
    ASSERT_TRUE(fs::is_directory(CorpusRoot())) << CorpusRoot();
    std::set<std::string> seen;
    for (const auto& dir : fs::directory_iterator(CorpusRoot())) {
        const std::string name = dir.path().filename().string();
        if (!dir.is_directory()) continue;
        EXPECT_NE(FindFuzzTarget(name.c_str()), nullptr) << "unknown fuzz target folder " << name;
        EXPECT_FALSE(fs::is_empty(dir.path())) << "empty fuzz corpus folder " << name;
        seen.insert(name);
    }
    for (size_t i = 0; i < kFuzzTargetCount; ++i)
        EXPECT_EQ(seen.count(kFuzzTargets[i].name), 1u) << "no corpus folder for " << kFuzzTargets[i].name;
}

class FuzzReplay : public ::testing::TestWithParam<size_t> {};

TEST_P(FuzzReplay, CorpusInputsPass) {
    const FuzzTarget& target = kFuzzTargets[GetParam()];
    const fs::path dir = CorpusRoot() / target.name;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    size_t replayed = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        const auto bytes = testutil::ReadFileBytes(entry.path().string());
        // A fault aborts the process (sanitizer or FUZZ_CHECK), naming the input above.
        std::fprintf(stderr, "replay %s\n", entry.path().c_str());
        EXPECT_EQ(target.run(bytes.data(), bytes.size()), 0);
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::Range(size_t(0), kFuzzTargetCount),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(kFuzzTargets[info.param].name);
                         });
