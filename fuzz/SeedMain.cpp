// fuzz-seed: the seeds that only the engine can make.
//   fuzz-seed cache fat|ntfs OUT          the cache file of a sample volume's index
//   fuzz-seed cache-header fat|ntfs OUT   the same with the fingerprint stand-in
//                                         of the cache_header target
#include <cstdio>
#include <cstring>

#include "FuzzSupport.h"

int main(int argc, char** argv) {
    const bool header = argc == 4 && std::strcmp(argv[1], "cache-header") == 0;
    if (argc == 4 && (header || std::strcmp(argv[1], "cache") == 0)) {
        if (WriteCacheSeed(argv[2], argv[3], header)) return 0;
        std::fprintf(stderr, "fuzz-seed: no cache written for %s\n", argv[2]);
        return 1;
    }
    std::fprintf(stderr, "usage: fuzz-seed cache|cache-header fat|ntfs OUT\n");
    return 2;
}
