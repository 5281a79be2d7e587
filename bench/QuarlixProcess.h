// `quarlix ARGS` as a child process of a benchmark, with the benchmark's own
// settings and cache folders (SETTINGS/config, SETTINGS/cache) and its
// standard output sent to a file: wall time and peak resident memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

struct ProcessRun {
    bool ok = false;  // exited with 0
    double seconds = 0;
    long peakKb = 0;
};

inline ProcessRun RunQuarlix(const std::vector<std::string>& args, const std::string& settings,
                             const std::string& stdoutPath = "/dev/null") {
    ProcessRun r;
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_CONFIG_HOME", (settings + "/config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (settings + "/cache").c_str(), 1);
        const int fd = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 1);
        const std::string bin = std::string(QUARLIX_BIN_DIR) + "/quarlix";
        std::vector<char*> argv {const_cast<char*>(bin.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKb = usage.ru_maxrss;
    return r;
}
