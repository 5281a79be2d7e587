// The check of a recovered file's bytes by the structure of its type, with
// the recognisers the surface scan carves by: a file whose layout was a
// guess (FAT: the clusters after the first taken as contiguous) is read back
// from the destination and must parse as one whole file of the type its
// extension names. Types without a recogniser are not checked.
#pragma once

#include <string>

#include "engine/volume/DataLayout.h"

// The recogniser of the extension's type runs on the file at path from its
// first byte (zeros behind its end). Failed: it finds no file, or one that
// ends more than slack bytes before the end of path (the structure broke
// off where a wrong cluster began), or a checksum or coding rule of the type
// fails inside (ContentVerify.h). Passed: those checks hold. NoCheck: the
// type has no such checks (its framing held, which says little of the
// bytes in between), the extension names no type with a recogniser, the
// file does not start with its type's signature (its name says nothing of
// its bytes), or path cannot be read.
ContentVerdict CheckRecoveredContent(const std::string& path, uint32_t slack);
