// Sources without a file system: the raw volume reader, its unit cursor and
// the scan over it; recovered hits are the samples byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ScanTestSupport.h"
#include "formats/CameraRawBuilder.h"
#include "formats/IsoBuilder.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/surfacescan/SurfaceScanJob.h"

using namespace scantest;

namespace {

struct Placed {
    std::string name;
    std::u16string type;
    Bytes bytes;
    uint64_t offset = 0;
};

// The samples and the files no tool here writes, built in their writers'
// layouts (tests/formats/IsoBuilder.h, CameraRawBuilder.h), among random
// filler, each at a 4,096-byte boundary; the image ends inside the last
// file's last unit (its length is not a multiple of 4,096).
Bytes RawImage(std::vector<Placed>& placed) {
    for (const Sample& s : Samples()) placed.push_back({s.file, s.type, testutil::ReadFileBytes(DataDir() + "/" + s.file)});
    placed.push_back({"tiny.cr3", u"cr3", isotest::TinyCr3()});
    placed.push_back({"tiny.heif", u"heif", isotest::TinyHeif()});
    for (const CameraRawFile& f : CameraRawFiles()) placed.push_back({f.name, f.type, f.bytes});
    // The JPEG last: its end search must not need bytes past the source's end.
    std::stable_partition(placed.begin(), placed.end(), [](const Placed& p) { return p.type != u"jpg"; });
    std::mt19937 rng(2024);
    Bytes image;
    auto filler = [&](size_t n) {
        Bytes f = testutil::PatternBytes(n, rng());
        image.insert(image.end(), f.begin(), f.end());
    };
    filler(4096 * 3);
    for (Placed& p : placed) {
        p.offset = image.size();
        image.insert(image.end(), p.bytes.begin(), p.bytes.end());
        if (&p == &placed.back()) break;
        filler(4096 - image.size() % 4096);  // random bytes after the file's end, in its last unit
        filler(4096 * (1 + rng() % 4));
    }
    return image;
}

}  // namespace

TEST(RawVolume, UnitsAreClustersFromByteZeroAndTheLastUnitMayBePartial) {
    Bytes bytes = testutil::PatternBytes(3 * 4096 + 100, 5);
    ByteVolume v(bytes, 4096);
    CRawVolume& raw = v.volume();
    EXPECT_EQ(raw.ClusterSize(), 4096u);
    EXPECT_EQ(raw.UnitCount(), 4u);
    EXPECT_EQ(raw.GetPartitionType(), 0);
    uint8_t buf[200];
    uint32_t n = 150;  // crosses from unit 2 into the partial unit 3
    ASSERT_TRUE(raw.ReadRaw(2, 4000, buf, n));
    EXPECT_EQ(n, 150u);
    EXPECT_TRUE(std::equal(buf, buf + 150, bytes.begin() + 2 * 4096 + 4000));
    n = 100;
    ASSERT_TRUE(raw.ReadRaw(3, 0, buf, n));
    EXPECT_TRUE(std::equal(buf, buf + 100, bytes.begin() + 3 * 4096));
    n = 101;  // one byte past the end: the bytes up to the end, a short count
    ASSERT_TRUE(raw.ReadRaw(3, 0, buf, n));
    EXPECT_EQ(n, 100u);
    n = 1;
    EXPECT_FALSE(raw.ReadRaw(3, 100, buf, n));  // starts at the end
    n = 1;
    EXPECT_FALSE(raw.ReadRaw(2, 4096, buf, n));  // offset = unit size
    EXPECT_FALSE(raw.ReadRaw(UINT64_MAX / 2, 0, buf, n));

    // Every unit is a candidate; the index slots have nothing to offer.
    uint64_t count = 0;
    ASSERT_TRUE(CountScanClusters(raw, ScanTypeSet {}, count, nullptr, nullptr));
    EXPECT_EQ(count, 4u);
    std::unique_ptr<IEnumDeletedFiles> e;
    EXPECT_TRUE(raw.EnumDeletedFiles(0, e));
    EXPECT_EQ(e, nullptr);
    EXPECT_FALSE(raw.BuildIndex(nullptr));
}

namespace {
constexpr uint64_t kHugeFind = (5ull << 30) + 123;  // a find past 4 GiB
// Claims a file of kHugeFind bytes at unit 0 and nothing elsewhere.
bool ClaimHugeFileAtStart(CarveContext& context) {
    if (context.startCluster != 0) return false;
    context.typeKey = u"pst";
    context.size = kHugeFind;
    return true;
}
}  // namespace

TEST(RawVolume, FindsLargerThanFourGiBKeepTheirSize) {
    // A sparse 6 GiB source: the size of a find travels as 64 bits from the
    // detector through the walk to the job's result row, and the walk skips
    // the whole find (a 32-bit size would wrap to 123 bytes).
    testutil::TempDir dir;
    const std::string path = dir.file("huge.img");
    testutil::MustRun("truncate -s 6G " + testutil::Quote(path));
    CRawVolume raw(1 << 20);
    ASSERT_TRUE(raw.Initialize(path));
    ScanTypeSet scanner;
    scanner.detectors[0] = ClaimHugeFileAtStart;
    scanner.detectorCount = 1;
    RecordingCallback callback;
    ASSERT_TRUE(ScanClusters(raw, scanner, &callback, nullptr));
    ASSERT_EQ(callback.found.size(), 1u);
    EXPECT_EQ(callback.found[0].size, kHugeFind);

    CJobEventQueue<CarvedItem> found;
    CSurfaceScanJob job(raw, scanner, &found);
    ASSERT_TRUE(job.Start());
    job.Wait();
    const auto items = found.Take();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].size, kHugeFind);
}

TEST(RawVolume, RejectsInvalidUnitsAndEmptySources) {
    testutil::TempDir dir;
    testutil::WriteFileBytes(dir.file("empty"), {});
    testutil::WriteFileBytes(dir.file("one"), Bytes(10, 1));
    for (uint32_t unit : {0u, 256u, 3000u, 2u << 20}) {
        CRawVolume raw(unit);
        EXPECT_FALSE(raw.Initialize(dir.file("one"))) << unit;
        EXPECT_FALSE(raw.InitError().empty());
    }
    CRawVolume empty;
    EXPECT_FALSE(empty.Initialize(dir.file("empty")));
    CRawVolume missing;
    EXPECT_FALSE(missing.Initialize(dir.file("missing")));
    CRawVolume small(512);
    ASSERT_TRUE(small.Initialize(dir.file("one")));
    EXPECT_EQ(small.UnitCount(), 1u);
}

TEST(RawVolume, FilesAmongRandomFillerAreAllFoundWhole) {
    std::vector<Placed> placed;
    Bytes image = RawImage(placed);
    ASSERT_NE(image.size() % 4096, 0u);
    ByteVolume v(image, 4096);
    ScanTypeSet types = AllTypes();
    RecordingCallback cb;
    ASSERT_TRUE(ScanClusters(v.volume(), types, &cb, nullptr));

    std::map<uint64_t, Found> byUnit;
    for (const Found& f : cb.found) byUnit[f.cluster] = f;
    testutil::TempDir out;
    for (const Placed& p : placed) {
        SCOPED_TRACE(p.name);
        ASSERT_EQ(p.offset % 4096, 0u);
        auto it = byUnit.find(p.offset / 4096);
        ASSERT_NE(it, byUnit.end());
        EXPECT_EQ(it->second.type, p.type);
        EXPECT_EQ(it->second.size, p.bytes.size());
        const std::string file = out.file(p.name);
        ASSERT_EQ(RecoverClusters(v.volume(), it->first, it->second.size, file, nullptr, nullptr), RecoverResult::Ok);
        EXPECT_TRUE(testutil::ReadFileBytes(file) == p.bytes);
        byUnit.erase(it);
    }
    EXPECT_TRUE(byUnit.empty()) << "false hits in random filler: " << byUnit.size();
}
