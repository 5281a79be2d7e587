// The bash completion of quarlix, made from the parser's own table, so that
// it offers exactly the commands and options the parser takes.
// `quarlix --bash-completion` prints it; the build writes it beside the
// program (packaging/quarlix.bash in the build tree), and the package installs it.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// values: the fixed values of an option, by its long name ("--progress").
std::string BashCompletion(CLI::App& app, const std::map<std::string, std::vector<std::string>>& values);
