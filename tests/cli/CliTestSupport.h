// Helpers of the command line tests: the program under test and its JSON Lines.
#pragma once

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/TestUtil.h"

namespace clitest {

inline std::string Quarlix() { return testutil::BinDir() + "/quarlix"; }

// The JSON objects of a `--json` run's output, one per line.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '{') v.push_back(nlohmann::json::parse(line));
    return v;
}

}  // namespace clitest
