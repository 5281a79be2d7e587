// Images holding deleted copies of the samples in tests/data, made by the
// file systems' own tools: FAT32 by mkfs.fat + mtools, NTFS by mkntfs + the
// libntfs-3g fixture program. Each sample is copied in followed by a small
// live spacer (so that its clusters end up between clusters in use), then
// sample.jpg once more as live.jpg (kept), then every sample is deleted.
//
// The geometry is read from the boot sector here, not through our readers,
// so that a test can find where a sample's bytes lie independently of the
// code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/TestUtil.h"

namespace scantest {

struct SampleImage {
    std::string path;
    std::string error;            // why the image could not be made ("" when it was)
    uint32_t clusterSize = 0;
    uint64_t firstCluster = 0;    // number of the first cluster of the data area
    uint64_t clusterCount = 0;
    uint64_t dataOffset = 0;      // byte offset of firstCluster in the image
    uint64_t pieceBase = 0;       // split-JPEG images: the cluster their cases' numbers count from
    bool ok() const { return error.empty(); }
    uint64_t ClusterOffset(uint64_t k) const { return dataOffset + (k - firstCluster) * clusterSize; }
    // The cluster from which the image holds the whole file contiguously, or
    // UINT64_MAX. Looks at the first `limit` clusters.
    uint64_t ClusterHolding(const std::vector<uint8_t>& file, uint64_t limit = 1u << 20) const;
    // The first `most` clusters from which the image holds the whole file, in ascending order.
    std::vector<uint64_t> ClustersHolding(const std::vector<uint8_t>& file, size_t most, uint64_t limit = 1u << 20) const;
};

// A file to place on an image: its name there and where its bytes are.
struct ImageFile {
    std::string name;
    std::string path;
};

bool HaveFatSampleTools();
bool HaveNtfsSampleTools();
// A FAT32 image of kib KiB with the given sectors (of 512 bytes) per cluster.
SampleImage MakeFat32SampleImage(const testutil::TempDir& dir, int sectorsPerCluster, int kib);
// An NTFS image of mib MiB with the given cluster size.
SampleImage MakeNtfsSampleImage(const testutil::TempDir& dir, uint32_t clusterSize, int mib);
// The same with these files in place of the samples.
SampleImage MakeFat32Image(const testutil::TempDir& dir, int sectorsPerCluster, int kib,
                           const std::vector<ImageFile>& files);
SampleImage MakeNtfsImage(const testutil::TempDir& dir, uint32_t clusterSize, int mib,
                          const std::vector<ImageFile>& files);

// JPEGs of tests/data written in two pieces into the free clusters of a
// FAT32 image (mkfs.fat, 512-byte clusters) where mtools wrote and deleted
// a file of random bytes, or of an NTFS image (mkntfs, 4 KiB clusters)
// where the fixture program did: the first piece (the first firstClusters
// clusters of the file) at first, the rest at second, both counted from
// the image's pieceBase (NTFS: the deleted file's first cluster).
struct SplitJpeg {
    std::string name;
    std::string file;
    uint64_t first = 0;
    uint64_t firstClusters = 0;
    uint64_t second = 0;   // 0: the rest is not written
    bool inOrder = true;   // the rest after the first piece
    std::string between;   // a file of tests/data written right after the first piece
    bool ntfs = false;     // on the NTFS image
};
std::vector<SplitJpeg> SplitJpegCases();
SampleImage MakeSplitJpegImage(const testutil::TempDir& dir, bool ntfs = false);

}  // namespace scantest
