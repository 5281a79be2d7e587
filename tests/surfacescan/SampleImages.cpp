#include "SampleImages.h"

#include <algorithm>
#include <fstream>

#include "ScanTestSupport.h"

namespace scantest {

namespace {

using testutil::Quote;

uint64_t Le(const std::vector<uint8_t>& b, size_t off, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[off + static_cast<size_t>(i)];
    return v;
}

std::string Mtools(const std::string& args) { return "MTOOLS_SKIP_CHECK=1 " + args; }

std::vector<uint8_t> BootSector(const std::string& path) {
    std::vector<uint8_t> boot(512);
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(boot.data()), 512);
    return boot;
}

SampleImage Fat32Geometry(SampleImage image);

SampleImage Unusable(SampleImage image) {
    if (image.ok()) image.error = "no usable boot sector in " + image.path;
    return image;
}

}  // namespace

uint64_t SampleImage::ClusterHolding(const std::vector<uint8_t>& file, uint64_t limit) const {
    const std::vector<uint64_t> k = ClustersHolding(file, 1, limit);
    return k.empty() ? UINT64_MAX : k[0];
}

std::vector<uint64_t> SampleImage::ClustersHolding(const std::vector<uint8_t>& file, size_t most, uint64_t limit) const {
    std::vector<uint64_t> found;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(std::min<size_t>(file.size(), clusterSize));
    for (uint64_t k = firstCluster; k < firstCluster + std::min(clusterCount, limit) && found.size() < most; ++k) {
        in.seekg(static_cast<std::streamoff>(ClusterOffset(k)));
        if (!in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()))) break;
        if (!std::equal(head.begin(), head.end(), file.begin())) continue;
        std::vector<uint8_t> all(file.size());
        in.seekg(static_cast<std::streamoff>(ClusterOffset(k)));
        in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size()));
        if (all == file) found.push_back(k);
        in.clear();
    }
    return found;
}

bool HaveFatSampleTools() {
    return testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mdel");
}

bool HaveNtfsSampleTools() {
    return testutil::HaveTool("mkntfs") && std::ifstream(testutil::BinDir() + "/ntfs-fixture").good();
}

std::vector<ImageFile> SampleFiles() {
    std::vector<ImageFile> files;
    for (const Sample& s : Samples()) files.push_back({s.file, DataDir() + "/" + s.file});
    return files;
}

SampleImage MakeFat32SampleImage(const testutil::TempDir& dir, int sectorsPerCluster, int kib) {
    return MakeFat32Image(dir, sectorsPerCluster, kib, SampleFiles());
}

SampleImage MakeNtfsSampleImage(const testutil::TempDir& dir, uint32_t clusterSize, int mib) {
    return MakeNtfsImage(dir, clusterSize, mib, SampleFiles());
}

SampleImage MakeFat32Image(const testutil::TempDir& dir, int sectorsPerCluster, int kib,
                           const std::vector<ImageFile>& files) {
    SampleImage image;
    image.path = dir.file("fat32.img");
    auto r = testutil::Run("mkfs.fat -C -F 32 -s " + std::to_string(sectorsPerCluster) + " -S 512 " +
                           Quote(image.path) + " " + std::to_string(kib) + " >/dev/null");
    std::string copies, dels;
    int i = 0;
    for (const ImageFile& f : files) {
        const std::string spacer = dir.file(std::string("spacer").append(std::to_string(i)));
        testutil::WriteFileBytes(spacer, testutil::PatternBytes(700, 50 + i++));
        copies.append(" ").append(Quote(f.path)).append(" ").append(Quote(spacer));
        dels.append(" ::/").append(f.name);
    }
    if (r.exitCode == 0) r = testutil::Run(Mtools("mcopy -i " + Quote(image.path) + copies + " ::/"));
    if (r.exitCode == 0)
        r = testutil::Run(Mtools("mcopy -i " + Quote(image.path) + " " + Quote(DataDir() + "/sample.jpg") + " ::/live.jpg"));
    if (r.exitCode == 0) r = testutil::Run(Mtools("mdel -i " + Quote(image.path) + dels));
    image.error = r.exitCode ? "FAT32 image: " + r.out : "";
    return Fat32Geometry(image);
}

namespace {

// A FAT32 boot sector: bytes per sector, sectors per cluster, reserved
// sectors, FAT count, total sectors, sectors per FAT.
SampleImage Fat32Geometry(SampleImage image) {
    const std::vector<uint8_t> boot = BootSector(image.path);
    const uint64_t bps = Le(boot, 11, 2), spc = Le(boot, 13, 1), reserved = Le(boot, 14, 2), fats = Le(boot, 16, 1);
    const uint64_t total = Le(boot, 32, 4), perFat = Le(boot, 36, 4);
    const uint64_t dataSector = reserved + fats * perFat;
    if (!image.ok() || spc == 0 || total <= dataSector) return Unusable(image);
    image.clusterSize = static_cast<uint32_t>(bps * spc);
    image.firstCluster = 2;
    image.dataOffset = dataSector * bps;
    image.clusterCount = (total - dataSector) / spc;
    return image;
}

}  // namespace

SampleImage MakeNtfsImage(const testutil::TempDir& dir, uint32_t clusterSize, int mib,
                          const std::vector<ImageFile>& files) {
    SampleImage image;
    image.path = dir.file("ntfs.img");
    std::string script;
    int i = 0;
    for (const ImageFile& f : files) {
        // 5,000 bytes: too large to stay resident in the MFT record, so the spacer takes clusters.
        script += "copyin \"/" + f.name + "\" \"" + f.path + "\"\n";
        script += "write /spacer" + std::to_string(i) + " random:" + std::to_string(50 + i) + " 5000\n";
        ++i;
    }
    script += "copyin /live.jpg \"" + DataDir() + "/sample.jpg\"\n";
    for (const ImageFile& f : files) script += "delete \"/" + f.name + "\"\n";
    const std::string scriptFile = dir.file("ntfs-script.txt");
    std::ofstream(scriptFile) << script;
    auto r = testutil::Run("truncate -s " + std::to_string(mib) + "M " + Quote(image.path) + " && mkntfs -F -f -q -c " +
                           std::to_string(clusterSize) + " " + Quote(image.path) + " >/dev/null 2>&1 && " +
                           Quote(testutil::BinDir() + "/ntfs-fixture") + " " + Quote(image.path) + " - < " +
                           Quote(scriptFile));
    image.error = r.exitCode ? "NTFS image: " + r.out : "";
    // NTFS boot sector: bytes per sector, sectors per cluster, total sectors.
    const std::vector<uint8_t> boot = BootSector(image.path);
    const uint64_t bps = Le(boot, 11, 2), spc = Le(boot, 13, 1);
    if (!image.ok() || spc == 0) return Unusable(image);
    image.clusterSize = static_cast<uint32_t>(bps * spc);
    image.firstCluster = 0;
    image.dataOffset = 0;
    image.clusterCount = Le(boot, 0x28, 8) / spc;
    return image;
}

std::vector<SplitJpeg> SplitJpegCases() {
    // Regions 1,400 clusters apart, from cluster 102 on.
    auto at = [](int region) { return uint64_t(102) + uint64_t(region) * 1400; };
    return {
        {"gap of 1", "split.jpg", at(0), 10, at(0) + 10 + 1, true, ""},
        {"gap of 17", "split.jpg", at(1), 20, at(1) + 20 + 17, true, ""},
        {"gap of 500", "split.jpg", at(2), 30, at(2) + 30 + 500, true, ""},
        // sample.png (43 clusters) right after the first piece, two clusters of free bytes after it.
        {"a PNG between", "split.jpg", at(3), 15, at(3) + 15 + 45, true, "sample.png"},
        {"restart markers", "split-restart.jpg", at(4), 7, at(4) + 7 + 5, true, ""},
        // The second piece first, nine clusters before the first.
        {"pieces reversed", "split.jpg", at(5) + 40, 12, at(5), false, ""},
        // The first piece only, sample.png right after it.
        {"no rest, a PNG after", "split.jpg", at(6), 15, 0, false, "sample.png"},
        {"NTFS, gap of 17", "split.jpg", 8, 2, 8 + 2 + 17, true, "", true},
    };
}

SampleImage MakeSplitJpegImage(const testutil::TempDir& dir, bool ntfs) {
    // A deleted file of random bytes leaves the free clusters as a used
    // card's are; the pieces are then written into them.
    const std::string noise = dir.file("noise.bin");
    const std::vector<uint8_t> noiseBytes = testutil::PatternBytes(ntfs ? 1u << 20 : 5u << 20, 4242);
    testutil::WriteFileBytes(noise, noiseBytes);
    SampleImage image;
    if (ntfs) {
        image = MakeNtfsImage(dir, 4096, 16, {{"noise.bin", noise}});
        if (!image.ok()) return image;
        image.pieceBase = image.ClusterHolding(noiseBytes);
        if (image.pieceBase == UINT64_MAX) image.error = "the fixture program did not write noise.bin in one run";
    } else {
        image.path = dir.file("split.img");
        auto r = testutil::Run("mkfs.fat -C -F 32 -s 1 -S 512 " + Quote(image.path) + " 40000 >/dev/null");
        if (r.exitCode == 0)
            r = testutil::Run(Mtools("mcopy -i " + Quote(image.path) + " " + Quote(noise) + " ::/noise.bin"));
        if (r.exitCode == 0) r = testutil::Run(Mtools("mdel -i " + Quote(image.path) + " ::/noise.bin"));
        image.error = r.exitCode ? "FAT32 image: " + r.out : "";
        image = Fat32Geometry(image);
    }
    if (!image.ok()) return image;
    std::fstream out(image.path, std::ios::in | std::ios::out | std::ios::binary);
    auto put = [&](uint64_t cluster, const uint8_t* data, size_t n) {
        out.seekp(static_cast<std::streamoff>(image.ClusterOffset(image.pieceBase + cluster)));
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    };
    for (const SplitJpeg& c : SplitJpegCases()) {
        if (c.ntfs != ntfs) continue;
        const std::vector<uint8_t> file = testutil::ReadFileBytes(DataDir() + "/" + c.file);
        const size_t split = static_cast<size_t>(c.firstClusters * image.clusterSize);
        if (file.size() <= split) return Unusable(image);
        put(c.first, file.data(), split);
        if (c.second != 0) put(c.second, file.data() + split, file.size() - split);
        if (!c.between.empty()) {
            const std::vector<uint8_t> other = testutil::ReadFileBytes(DataDir() + "/" + c.between);
            put(c.first + c.firstClusters, other.data(), other.size());
        }
    }
    if (!out) image.error = "cannot write the pieces into " + image.path;
    return image;
}

}  // namespace scantest
