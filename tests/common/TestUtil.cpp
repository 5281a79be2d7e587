#include <algorithm>
#include "TestUtil.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace testutil {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarlix-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    char* p = mkdtemp(buf.data());
    if (!p) throw std::runtime_error("mkdtemp failed");
    m_path = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

CommandResult Run(const std::string& command) {
    CommandResult r;
    std::string full = command + " 2>&1";
    FILE* f = popen(full.c_str(), "r");
    if (!f) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) r.out.append(buf.data(), n);
    int status = pclose(f);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string MustRun(const std::string& command) {
    CommandResult r = Run(command);
    if (r.exitCode != 0) ADD_FAILURE() << "command failed (" << r.exitCode << "): " << command << "\n" << r.out;
    return r.out;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

bool InCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

bool HaveTool(const std::string& name) { return Run("command -v " + Quote(name) + " >/dev/null").exitCode == 0; }

std::string SourceDir() { return QUARLIX_SOURCE_DIR; }
std::string BinDir() { return QUARLIX_BIN_DIR; }

std::string SharedTestData() {
    // QUARLIX_TESTDATA when set; else beside the source tree, beside a folder
    // of work trees above it, or in the workplace's shared folder (a clean
    // clone made elsewhere on this machine).
    std::error_code ec;
    if (const char* env = std::getenv("QUARLIX_TESTDATA"); env && *env && std::filesystem::is_directory(env, ec))
        return std::filesystem::weakly_canonical(env).string();
    std::filesystem::path dir = std::filesystem::path(QUARLIX_SOURCE_DIR);
    for (int up = 0; up < 3; ++up) {
        dir = dir.parent_path();
        std::filesystem::path p = dir / "shared" / "testdata";
        if (std::filesystem::is_directory(p, ec)) return std::filesystem::weakly_canonical(p).string();
    }
    if (std::filesystem::is_directory("/work/shared/testdata", ec)) return "/work/shared/testdata";
    return {};
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0) return {};
    std::vector<uint8_t> out(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), size);
    out.resize(static_cast<size_t>(std::max<std::streamoff>(in.gcount(), 0)));
    return out;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void PatchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace testutil

namespace testutil {

std::string SampleFileContent(const std::string& name, size_t size, int seed) {
    const std::string line = "Quarlix sample " + name + " seed " + std::to_string(seed) +
                             " ----------------------------------------\n";
    std::string s;
    while (s.size() < size) s += line;
    s.resize(size);
    return s;
}

}  // namespace testutil
