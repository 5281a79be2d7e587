// A test suite's fixture image: a 16 MiB FAT16 volume made by mkfs.fat with
// 2 KiB clusters, its whole data area filled with a known pattern, so that
// cluster k holds pattern[(k - 2) * 2048 ...].
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"

namespace testutil {

class PatternFatImage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        image = dir->file("fat.img");
        MustRun("mkfs.fat -C -F 16 -s 4 -S 512 " + Quote(image) + " 16384 >/dev/null");
        CFatVolume probe;
        ASSERT_TRUE(probe.Initialize(image));
        dataStart = static_cast<uint64_t>(probe.DataFirstSector()) * 512;
        pattern = PatternBytes(std::filesystem::file_size(image) - dataStart, 42);
        PatchFile(image, dataStart, pattern);
    }
    static void TearDownTestSuite() { delete dir; }

    static uint8_t At(uint64_t cluster, uint32_t offset) { return pattern[(cluster - 2) * 2048 + offset]; }

    static inline TempDir* dir = nullptr;
    static inline std::string image;
    static inline uint64_t dataStart = 0;
    static inline std::vector<uint8_t> pattern;
};

}  // namespace testutil
