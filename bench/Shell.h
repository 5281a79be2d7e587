// Shell commands for the benchmarks that run programs (ours and the peers).
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

// s quoted for the shell.
inline std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The exit status of a shell command, -1 when it did not exit.
inline int ShellStatus(const std::string& cmd) {
    const int status = std::system(cmd.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
