// A file system's probe: a cheap look at a source that tells whether the
// file system is there before any volume is made (the table of file systems,
// engine/index/VolumeFactory.cpp, runs one per line). A probe reads the boot
// sector and the places the file system keeps or rebuilds it from, the very
// bytes its volume's open reads to find it, and nothing else; it keeps no
// state and writes nothing. It says Yes for every source its volume's open
// accepts, and for a source whose boot sector the file system recognises
// but cannot use, the reason the open would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What a boot-sector search reads, a probe or an opening volume alike: the
// bytes of the volume's window (offset 0 is its first byte) with ReadAt's
// contract (the count read, short only at the end; -1 on an error), and the
// window's length.
struct BootSource {
    std::function<int64_t(uint64_t offset, void* buffer, size_t size)> read;
    uint64_t length = 0;
};

enum class ProbeAnswer : uint8_t {
    No,       // not this file system; the open fails without a reason
    Yes,      // this file system: its volume's full open decides the rest
    Damaged,  // recognised, but no boot sector of it is usable; reason says why
};

struct ProbeResult {
    ProbeAnswer answer = ProbeAnswer::No;
    std::string reason;  // Damaged: the reason the open gives (InitError)
};
