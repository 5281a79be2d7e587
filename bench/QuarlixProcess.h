// `quarlix ARGS` as a child process of a benchmark, with the benchmark's own
// settings and cache folders (SETTINGS/config, SETTINGS/cache) and its
// standard output sent to a file: wall time, peak resident memory and what
// it read from files (rchar of /proc/PID/io, looked at once the child has
// ended and before it is reaped).
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

struct ProcessRun {
    bool ok = false;  // exited with 0
    double seconds = 0;
    long peakKb = 0;
    unsigned long long rchar = 0;  // bytes read from files and pipes
};

// A field of /proc/PID/io ("rchar", "read_bytes"); 0 when it cannot be read.
inline unsigned long long ProcIo(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string name;
    unsigned long long value = 0;
    while (in >> name >> value)
        if (name == field + ":") return value;
    return 0;
}

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
    siginfo_t ended {};
    if (pid < 0 || waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) != 0) return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.rchar = ProcIo(pid, "rchar");
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKb = usage.ru_maxrss;
    return r;
}
