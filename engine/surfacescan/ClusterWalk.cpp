#include "ClusterWalk.h"

#include <memory>

#include "app/Log.h"
#include "engine/formats/CarveContext.h"
#include "engine/surfacescan/JpegGapCarve.h"

bool CountScanClusters(CVolume& volume, const ScanTypeSet& scanner, uint64_t& count, ISurfaceScanCallback* callback,
                       const StopFlag* stop) {
    CScopeTrace trace(1, "CountScanClusters");
    count = 0;
    std::unique_ptr<IClusterCursor> cursor = volume.CreateClusterCursor();
    return cursor && CountScanClustersWalk(*cursor, scanner, count, callback, stop);
}

bool CountScanClustersWalk(IClusterCursor& cursor, const ScanTypeSet& scanner, uint64_t& count,
                           ISurfaceScanCallback* callback, const StopFlag* stop) {
    count = 0;
    if (!cursor.Rewind()) return false;
    const bool all = scanner.allClusters;
    const uint64_t total = cursor.Total();
    uint64_t visited = 0;
    uint64_t cluster = 0;
    bool isFree = false;
    while (!IsStopped(stop) && cursor.Next(cluster, isFree)) {
        if (isFree || all) ++count;
        ++visited;
        if (callback && callback->OnCountProgress(visited, total) != WalkResult::Continue) return false;
    }
    return true;
}

bool ScanClusters(CVolume& volume, const ScanTypeSet& scanner, ISurfaceScanCallback* callback, const StopFlag* stop,
                  ScanWalkStats* stats) {
    std::unique_ptr<IClusterCursor> cursor = volume.CreateClusterCursor();
    if (!cursor) {
        if (stats) *stats = ScanWalkStats {};
        return false;
    }
    return ScanClustersWalk(volume, *cursor, scanner, callback, stop, stats);
}

bool ScanClustersWalk(CVolume& volume, IClusterCursor& cursor, const ScanTypeSet& scanner,
                      ISurfaceScanCallback* callback, const StopFlag* stop, ScanWalkStats* stats) {
    CScopeTrace trace(1, "ScanClusters");
    ScanWalkStats local;
    ScanWalkStats& s = stats ? *stats : local;
    s = ScanWalkStats {};
    if (!cursor.Rewind()) return false;
    const uint32_t clusterSize = volume.ClusterSize();
    if (clusterSize == 0) return false;
    const bool all = scanner.allClusters;
    CarveContext context;
    if (!context.Init(&volume, 0, stop, &scanner)) return false;
    CJpegGapCarver gaps(volume, stop);
    // The JPEGs held back for pass 2 (JpegGapCarve.h), also after a stop:
    // then as they were found, cut before other finds.
    auto finish = [&] {
        const bool delivered = gaps.Finish([&](const CJpegGapCarver::Held& h, const ClusterExtents& extents, uint64_t size) {
            if (!callback) return true;
            const WalkResult r = extents.empty()
                                     ? callback->OnFileFound(h.typeKey, h.title, h.author, h.cluster, size)
                                     : callback->OnFragmentedFileFound(h.typeKey, h.title, h.author, extents, size);
            return r == WalkResult::Continue;
        });
        s.reassembled = gaps.reassembled;
        s.gapProbes = gaps.probes;
        return delivered;
    };
    uint64_t skip = 0;
    uint64_t cluster = 0;
    bool isFree = false;
    while (true) {
        if (IsStopped(stop)) {
            finish();
            return true;
        }
        if (!cursor.Next(cluster, isFree)) break;
        ++s.visited;
        gaps.Visit(cluster, isFree);
        if (skip > 0) --skip;
        if (isFree || all) {
            ++s.scanned;
            if (skip == 0 && scanner.detectorCount > 0) {
                context.Reset(cluster);
                ++s.examined;
                if (DetectAt(scanner, context)) {
                    ++s.hits;
                    if (!gaps.Hold(context, cluster, skip)) {
                        if (callback && callback->OnFileFound(context.typeKey, context.title, context.author, cluster,
                                                              context.size) != WalkResult::Continue)
                            return false;
                        // ceil(size / cluster size) without overflow
                        skip = context.size / clusterSize + (context.size % clusterSize != 0 ? 1 : 0);
                        // Claims matter only after a held JPEG: finds before it end before it.
                        if (gaps.Holding()) gaps.Claim(cluster, skip);
                    }
                }
            }
        }
        if (callback && callback->OnScanProgress(s.scanned) != WalkResult::Continue) return false;
    }
    return finish();
}
