// The usage statistics held from start to close: what the recoveries of
// this run wrote, added to the profile's totals when the window closes.
#pragma once

#include <cstdint>

struct UsageStatistics {
    uint64_t filesRecovered = 0;
    uint64_t bytesRecovered = 0;
};
