// The one writer of recovered files. File systems hand out readers
// (ItemReader.h); the writer makes the outputs below the destination (each
// file under a temporary name until it is complete), copies, leaves holes as
// holes, applies the callback's answers on conflicts and failures, and
// gives every item one result (RecoverEvents.h).
//
// Hostile input: folder trees come from the index (or a cache file); a
// folder already being written higher up the same tree is not entered
// again and trees deeper than kMaxRecoverDepth are cut, so loops cannot
// recurse without end.
#pragma once

#include <cstdint>
#include <string>

#include "engine/recovery/OutputFile.h"
#include "engine/recovery/RecoverEvents.h"
#include "engine/volume/ItemReader.h"
#include "engine/volume/Volume.h"
#include "platform/ByteSource.h"

// Deeper folder trees are corrupt (or beyond any destination's path length).
inline constexpr size_t kMaxRecoverDepth = 256;

// Where the bytes of an item's data go while DrainItem reads it. A failure
// answer ends the drain with that result.
class IItemSink {
public:
    virtual ~IItemSink() = default;
    virtual RecoverResult Data(const uint8_t* data, uint32_t n) = 0;
    // n bytes of zeros at position at: a hole, or (unreadable) bytes the source refused.
    virtual RecoverResult Zeros(uint64_t at, uint64_t n, bool unreadable) = 0;
    // After each step: the bytes read in it and the item's own bytes so far
    // (IItemReader::ItemBytes). Stop ends the drain Stopped, Error Failed.
    virtual WalkResult Progress(uint32_t /*chunkBytes*/, uint64_t /*itemBytes*/) { return WalkResult::Continue; }
};
struct DrainResult {
    RecoverResult result = RecoverResult::Ok;  // else the failure that ended it
    uint64_t delivered = 0;                    // bytes given to the sink, zeros included
    bool readFailed = false;                   // the source refused some of it
};
// Reads reader to its end into sink in reads of up to step bytes: data as
// it comes, holes as zeros, and past a read error every readable byte (what
// the source refuses as zeros). source (may be null) is asked whether it
// still answers when a read error would end the copy; when it is gone, the
// rest of the item is given as unreadable zeros.
DrainResult DrainItem(IItemReader& reader, IItemSink& sink, const StopFlag* stop, uint32_t step,
                      CByteSource* source = nullptr);

// Copies reader into out (created as path) in reads of up to step bytes.
// Returns Ok once the output is finished (OnFileEnd says whether the item
// came whole), else the failure: Stopped for a stop, Failed for a reader
// that broke, or the callback's failure answer. Reads as DrainItem does;
// bytes the source refused are reported unreadable, and such an output is
// finished as not whole.
RecoverResult CopyItem(IItemReader& reader, COutputFile& out, const std::string& path, IRecoverEventCallback* callback,
                       const StopFlag* stop, uint32_t step, CByteSource* source = nullptr);

// The recoveries of one item each, bracketed by OnItemBegin / OnItemEnd.
// options: RECOVER_STREAMS, RECOVER_ATTRIBUTES. callback may be null (no
// question can be answered: any failure is Failed). Once the volume's source
// is gone (CByteSource::Gone) no further item is begun: each is reported
// with OnNotAttempted, and one whose reading had begun ends SourceGone; the
// file being copied is finished as not whole, and named streams not yet
// begun are left out.
RecoverResult RecoverFileItem(CVolume& volume, uint32_t id, std::string destination, uint32_t options,
                              IRecoverEventCallback* callback, const StopFlag* stop);
RecoverResult RecoverFolderItem(CVolume& volume, uint32_t id, std::string destination, uint32_t options,
                                IRecoverEventCallback* callback, const StopFlag* stop);
RecoverResult RecoverClustersItem(CVolume& volume, uint64_t firstCluster, uint64_t length, std::string destination,
                                  IRecoverEventCallback* callback, const StopFlag* stop);
// A carved find in pieces: its extents one after the other (the item's id
// is the first extent's cluster).
RecoverResult RecoverClustersItem(CVolume& volume, const ClusterExtents& extents, std::string destination,
                                  IRecoverEventCallback* callback, const StopFlag* stop);

// The same without the brackets around the item itself (a folder's
// children are still bracketed).
RecoverResult RecoverFile(CVolume& volume, uint32_t id, const std::string& destination, uint32_t options,
                          IRecoverEventCallback* callback, const StopFlag* stop);
RecoverResult RecoverFolder(CVolume& volume, uint32_t id, const std::string& destination, uint32_t options,
                            IRecoverEventCallback* callback, const StopFlag* stop);
RecoverResult RecoverClusters(CVolume& volume, uint64_t firstCluster, uint64_t length, const std::string& destination,
                              IRecoverEventCallback* callback, const StopFlag* stop);
RecoverResult RecoverClusters(CVolume& volume, const ClusterExtents& extents, const std::string& destination,
                              IRecoverEventCallback* callback, const StopFlag* stop);
