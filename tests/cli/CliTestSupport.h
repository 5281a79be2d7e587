// Helpers of the command line tests: the program under test and its JSON Lines.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestUtil.h"

namespace clitest {

inline std::string Quarlix() { return testutil::BinDir() + "/quarlix"; }

// One run of quarlix with stdout and stderr apart (stderr goes through a file of dir).
struct Outcome {
    int exitCode = -1;
    std::string out, err;
};
inline Outcome RunQuarlix(const std::string& args, const testutil::TempDir& dir) {
    const std::string errFile = dir.file("stderr.txt");
    const auto r = testutil::Run("bash -c " + testutil::Quote(Quarlix() + " " + args + " 2>" + testutil::Quote(errFile)));
    const auto err = testutil::ReadFileBytes(errFile);
    return {r.exitCode, r.out, std::string(err.begin(), err.end())};
}

// The JSON objects of a `--json` run's output, one per line; each must name
// its kind and the schema version. Warning records only when asked for.
inline std::vector<nlohmann::json> JsonLines(const std::string& out, bool warnings = false) {
    std::vector<nlohmann::json> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '{') {
            auto j = nlohmann::json::parse(line);
            if (!j.contains("kind") || j.value("schema", 0) != 1)
                ADD_FAILURE() << "a JSON line without its kind or schema version: " << line;
            if (warnings || j.value("kind", "") != "warning") v.push_back(std::move(j));
        }
    return v;
}

// Shell text that waits while the background process $pid runs, until it
// has written more than `bytes` bytes (its files have no names while they
// are written, so the count of written bytes is what shows progress).
inline std::string WaitUntilWritten(uint64_t bytes) {
    return "while kill -0 $pid 2>/dev/null; do w=$(awk '/^wchar/ {print $2}' /proc/$pid/io 2>/dev/null); "
           "[ \"${w:-0}\" -gt " +
           std::to_string(bytes) + " ] && break; sleep 0.01; done; ";
}

// A mount and a loop device a test set up, undone however the test ends.
struct MountGuard {
    std::string mnt, dev;
    ~MountGuard() {
        if (!mnt.empty()) testutil::Run("umount " + testutil::Quote(mnt) + " 2>&1");
        if (!dev.empty()) testutil::Run("losetup -d " + testutil::Quote(dev) + " 2>&1");
    }
};

}  // namespace clitest
