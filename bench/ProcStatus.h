// A field of /proc/self/status in kB (VmRSS, VmHWM): the benchmarks' memory
// figures; and this process's bytes read so far (/proc/self/io).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

inline long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
    return 0;
}

// This process's bytes read through read(2) and friends so far (rchar).
inline uint64_t SelfBytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}
