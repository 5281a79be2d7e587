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

SampleImage Unusable(SampleImage image) {
    if (image.ok()) image.error = "no usable boot sector in " + image.path;
    return image;
}

}  // namespace

uint64_t SampleImage::ClusterHolding(const std::vector<uint8_t>& file, uint64_t limit) const {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(std::min<size_t>(file.size(), clusterSize));
    for (uint64_t k = firstCluster; k < firstCluster + std::min(clusterCount, limit); ++k) {
        in.seekg(static_cast<std::streamoff>(ClusterOffset(k)));
        if (!in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()))) break;
        if (!std::equal(head.begin(), head.end(), file.begin())) continue;
        std::vector<uint8_t> all(file.size());
        in.seekg(static_cast<std::streamoff>(ClusterOffset(k)));
        in.read(reinterpret_cast<char*>(all.data()), static_cast<std::streamsize>(all.size()));
        if (all == file) return k;
    }
    return UINT64_MAX;
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
    // FAT32 boot sector: bytes per sector, sectors per cluster, reserved
    // sectors, FAT count, total sectors, sectors per FAT.
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

}  // namespace scantest
