// A field of /proc/self/status in kB (VmRSS, VmHWM): the benchmarks' memory figures.
#pragma once

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
