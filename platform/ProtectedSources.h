// The files and devices the running process reads as sources. A source is
// never written: the writer of recovered files refuses any output that
// names one (a hard link or another node of the same block device
// included). Sources are counted: each Protect is undone by one Release
// (called while the source is still open), so a file that later takes a
// closed source's inode number is not refused.
#pragma once

#include <sys/stat.h>

class CByteSource;

// Every file an opened source reads (the file behind its descriptor, or
// each piece of a split set, each segment of an E01, ...).
void ProtectSourceFiles(const CByteSource& source);
void ReleaseSourceFiles(const CByteSource& source);
// Whether st (of a name about to be replaced) is a protected source.
bool IsProtectedSource(const struct stat& st);
