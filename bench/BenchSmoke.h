// QUARLIX_BENCH_SMOKE=1 turns a benchmark into a quick check that it still
// works: a tiny input, one repeat, the same steps and the same report. CTest
// runs every benchmark that way (label bench-smoke); its figures mean nothing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

inline bool BenchSmoke() {
    const char* s = std::getenv("QUARLIX_BENCH_SMOKE");
    return s && std::strcmp(s, "1") == 0;
}

// Says so once at the start of a smoke run; a normal run prints nothing here.
inline bool AnnounceBenchSmoke() {
    if (!BenchSmoke()) return false;
    std::printf("smoke run (QUARLIX_BENCH_SMOKE=1): tiny inputs, one repeat; the figures mean nothing\n");
    std::fflush(stdout);
    return true;
}
