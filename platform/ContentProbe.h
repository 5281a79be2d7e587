// What a window of a source holds, as libblkid names it, for the messages
// that say why no NTFS or FAT volume was opened there: "exFAT", "ext4",
// "BitLocker", "LUKS", "APFS", "HFS+", "XFS", "Btrfs", "swap", ... (every
// signature found, so two file systems in one place are both named), or
// kEmptyContent when the bytes probed are all zeros. Reads at most
// kContentProbeBytes from the window's start through the source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ByteSource.h"

inline constexpr const char* kEmptyContent = "empty";
inline constexpr uint64_t kContentProbeBytes = 2 << 20;

std::vector<std::string> ProbeContent(CByteSource& source, uint64_t offset, uint64_t length);
