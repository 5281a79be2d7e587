// The one copy that writes a recovered item's data: from a reader
// (ItemReader.h) into an output already created, with the callback's
// events (OnFileBegin, OnProgress, OnWriteFailed, OnFileEnd), holes left as
// holes, and the output finished under its real name only when the copy
// got through. A cancel or a failure takes the output back (AbandonOutput;
// a reader that keeps no partial output drops it whole).
#pragma once

#include <cstdint>
#include <string>

#include "engine/volume/ItemReader.h"
#include "engine/volume/OutputFile.h"
#include "engine/volume/Volume.h"

// Copies reader into out (created as path) in reads of up to step bytes.
// Returns S_OK once the output is finished (OnFileEnd says whether the item
// came whole), else the failure: E_ABORT for a cancel, the reader's own
// failure, or the callback's negative answer.
HRESULT CopyItem(IItemReader& reader, COutputFile& out, const std::string& path, IRecoverEventCallback* callback,
                 const StopFlag* stop, uint32_t step);
