// The fuzz targets: one entry point per parser of the engine, each taking
// the fuzzer's bytes as hostile input. Every target is a plain function so
// that the same code runs under libFuzzer (clang, FuzzMain.cpp) and in the
// replay test of the normal build (tests/fuzz), which feeds it the kept
// corpus in tests/fuzz-corpus/<name>/.
//
// A target returns 0. A property that must hold for every input (a decoder
// that writes past its capacity, a carved size past the source) is checked
// with FUZZ_CHECK, which prints the failure and aborts: the fuzzer keeps the
// input as a crash, the replay test dies.
#pragma once
#include <cstddef>
#include <cstdint>

int FuzzPartitionTable(const uint8_t* data, size_t size);
int FuzzFatVolume(const uint8_t* data, size_t size);
int FuzzNtfsVolume(const uint8_t* data, size_t size);
int FuzzNtfsRecord(const uint8_t* data, size_t size);
int FuzzLznt1(const uint8_t* data, size_t size);
int FuzzNtfsIndexNode(const uint8_t* data, size_t size);
int FuzzRecycleBin(const uint8_t* data, size_t size);
int FuzzFatCache(const uint8_t* data, size_t size);
int FuzzNtfsCache(const uint8_t* data, size_t size);
int FuzzSurfaceScan(const uint8_t* data, size_t size);
int FuzzCacheHeader(const uint8_t* data, size_t size);
int FuzzExfatVolume(const uint8_t* data, size_t size);
int FuzzExfatEntrySet(const uint8_t* data, size_t size);
int FuzzEmbeddedPictures(const uint8_t* data, size_t size);

struct FuzzTarget {
    const char* name;  // the corpus folder and the fuzzer's name (fuzz_<name>)
    int (*run)(const uint8_t* data, size_t size);
};

// Every target, in a fixed order; kFuzzTargetCount entries.
extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;
// The target of that name, or null.
const FuzzTarget* FindFuzzTarget(const char* name);
