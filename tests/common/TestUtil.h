// Helpers shared by the tests: temporary folders, running the fixture tools
// (mkfs.fat, mtools, sfdisk, Sleuth Kit, ...) and reading their output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testutil {

// True when the environment has CI=true: there every test must run, none may skip.
bool InCi();

// A fresh folder under the system temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

struct CommandResult {
    int exitCode = -1;
    std::string out;  // stdout and stderr together
};

// Runs a shell command; output is captured.
CommandResult Run(const std::string& command);
// Runs a shell command and fails the current test (ADD_FAILURE) unless it exits 0.
std::string MustRun(const std::string& command);
// Quotes a string for the shell.
std::string Quote(const std::string& s);
// True when the program is on PATH.
bool HaveTool(const std::string& name);
// The source folder of the project and the build's bin folder (set by CMake).
std::string SourceDir();
std::string BinDir();
// Path of the shared public test images (../shared/testdata beside the checkout), or "" if absent.
std::string SharedTestData();
// The bytes tools/make-fat-sample.sh and make-ntfs-sample.sh write for a
// sample file: the line "Quarlix sample NAME seed SEED ---..." repeated, cut
// to size.
std::string SampleFileContent(const std::string& name, size_t size, int seed);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
// Writes bytes at an offset of an existing file.
void PatchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// Deterministic pseudo-random content.
std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed);

}  // namespace testutil

// A test that needs a tool or a file this machine may lack: skips the test
// when `cond` does not hold, and fails it instead under CI=true, so a green CI
// run means every test ran. `what` names what is missing and may be a chain of
// `<<` operands. Returns from the enclosing void function, like GTEST_SKIP().
#define QUARLIX_REQUIRE(cond, what)                                                 \
    do {                                                                            \
        if (!(cond)) {                                                              \
            if (::testutil::InCi()) {                                               \
                FAIL() << what << " (CI=true: every test must run)";                \
            } else {                                                                \
                GTEST_SKIP() << what;                                               \
            }                                                                       \
        }                                                                           \
    } while (0)
