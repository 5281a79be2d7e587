// fuzz-seed: the seeds that only the engine can make.
//   fuzz-seed cache fat|ntfs OUT    the cache file of a sample volume's index
#include <cstdio>
#include <cstring>

#include "FuzzSupport.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "cache") == 0) {
        if (WriteCacheSeed(argv[2], argv[3])) return 0;
        std::fprintf(stderr, "fuzz-seed: no cache written for %s\n", argv[2]);
        return 1;
    }
    std::fprintf(stderr, "usage: fuzz-seed cache fat|ntfs OUT\n");
    return 2;
}
