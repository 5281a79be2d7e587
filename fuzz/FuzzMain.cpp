// The libFuzzer entry of one target: QUARLIX_FUZZ_ENTRY names its function (fuzz/CMakeLists.txt).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return QUARLIX_FUZZ_ENTRY(data, size); }
