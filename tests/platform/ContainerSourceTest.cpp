// Image containers made by the real tools (ewfacquire, qemu-img) from one raw
// disk, read back through OpenContainerSource and compared byte for byte.
#include "platform/ByteSource.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "common/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using testutil::Quote;

constexpr size_t kMiB = 1 << 20;

// Patterned bytes, then an all-zero MiB (sparse and compressed paths), then
// more pattern; the size is not a multiple of 4096 so the last read is short.
std::vector<uint8_t> RawDisk() {
    std::vector<uint8_t> raw = testutil::PatternBytes(kMiB + kMiB / 2, 11);
    raw.resize(raw.size() + kMiB, 0);
    std::vector<uint8_t> tail = testutil::PatternBytes(kMiB + kMiB / 2 + 3 * 512, 12);
    raw.insert(raw.end(), tail.begin(), tail.end());
    return raw;
}

std::string KindOfFile(const std::string& path) {
    std::vector<uint8_t> bytes = testutil::ReadFileBytes(path);
    size_t head = std::min<size_t>(bytes.size(), 4096);
    size_t tail = std::min<size_t>(bytes.size(), 512);
    return ContainerKind(bytes.data(), head, bytes.data() + bytes.size() - tail, tail);
}

// Cuts bytes off the end of a file.
void Shorten(const std::string& path, uint64_t bytes) { fs::resize_file(path, fs::file_size(path) - bytes); }

bool HaveTools() { return testutil::HaveTool("ewfacquire") && testutil::HaveTool("qemu-img"); }

class ContainerSourceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveTools()) return;
        s_dir = std::make_unique<testutil::TempDir>();
        s_raw = RawDisk();
        std::string raw = s_dir->file("raw.img");
        testutil::WriteFileBytes(raw, s_raw);
        // 1 MiB segments (the least ewfacquire takes): 3 MiB of pattern makes 4.
        testutil::MustRun("ewfacquire -u -q -c best -S 1MiB -t " + Quote(s_dir->file("disk")) + " " + Quote(raw));
        auto convert = [&](const std::string& options, const std::string& out) {
            testutil::MustRun("qemu-img convert -f raw " + options + " " + Quote(raw) + " " + Quote(s_dir->file(out)));
        };
        convert("-O vpc", "dynamic.vhd");
        convert("-O vpc -o subformat=fixed", "fixed.vhd");
        convert("-O vhdx", "disk.vhdx");
        convert("-O vmdk", "sparse.vmdk");
        convert("-O vmdk -o subformat=twoGbMaxExtentSparse", "split.vmdk");
        convert("-O vmdk -o subformat=monolithicFlat", "flat.vmdk");
        convert("-O qcow2", "disk.qcow2");
        convert("-O qcow", "old.qcow");
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    // A copy of the given files of the fixture in a fresh folder.
    static std::unique_ptr<testutil::TempDir> CopyOf(const std::vector<std::string>& names) {
        auto dir = std::make_unique<testutil::TempDir>();
        for (const auto& name : names) fs::copy_file(s_dir->file(name), dir->file(name));
        return dir;
    }

    static inline std::unique_ptr<testutil::TempDir> s_dir;
    static inline std::vector<uint8_t> s_raw;
};

TEST_F(ContainerSourceTest, ReadsEveryKindAsTheRawDisk) {
    QUARLIX_REQUIRE(HaveTools(), "ewfacquire and qemu-img are needed");
    struct Case {
        std::string file;
        std::string kind;
        std::vector<std::string> files;  // what Files() lists besides the file itself
        bool roundedUp;                  // qemu rounds a VHD up to whole CHS cylinders of zeros
    };
    const std::vector<Case> cases = {
        {"disk.E01", "E01", {"disk.E02", "disk.E03", "disk.E04"}, false},
        {"dynamic.vhd", "VHD", {}, true},
        {"fixed.vhd", "VHD", {}, true},
        {"disk.vhdx", "VHDX", {}, false},
        {"sparse.vmdk", "VMDK", {}, false},
        {"split.vmdk", "VMDK", {"split-s001.vmdk"}, false},
        {"flat.vmdk", "VMDK", {"flat-flat.vmdk"}, false},
        {"disk.qcow2", "QCOW2", {}, false},
        {"old.qcow", "QCOW", {}, false},
    };
    const uint64_t rawSize = s_raw.size();
    struct Read {
        uint64_t offset;
        size_t size;
    };
    const std::vector<Read> reads = {
        {0, 4096},
        {1, 70001},                          // unaligned, across chunks
        {900'000, 400'000},                  // across the first E01 segment's end
        {kMiB + kMiB / 2 - 7, 100},          // from pattern into zeros
        {2 * kMiB + kMiB / 2 - 5, 33'000},   // from zeros into pattern
        {rawSize - 1000, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = s_dir->file(c.file);
        EXPECT_EQ(KindOfFile(path), c.kind);
        ByteSourceError error;
        auto source = OpenContainerSource(path, c.kind, error);
        ASSERT_TRUE(source) << error.message;
        EXPECT_EQ(source->Kind(), c.kind);
        EXPECT_EQ(source->Medium(), SourceMedium::Container);
        std::vector<std::string> files = {path};
        for (const auto& f : c.files) files.push_back(s_dir->file(f));
        EXPECT_EQ(source->Files(), files);
        if (c.roundedUp) {
            EXPECT_GE(source->Size(), rawSize);
            EXPECT_LT(source->Size(), rawSize + kMiB);
        } else {
            EXPECT_EQ(source->Size(), rawSize);
        }
        for (const auto& r : reads) {
            std::vector<uint8_t> got(r.size, 0xAA);
            ASSERT_EQ(source->ReadAt(r.offset, got.data(), got.size()), int64_t(r.size)) << "at " << r.offset;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), s_raw.begin() + r.offset)) << "at " << r.offset;
        }
        // Past the end: short at the end, nothing beyond it; a VHD's rounding reads as zeros.
        uint64_t size = source->Size();
        std::vector<uint8_t> end(8192, 0xAA);
        ASSERT_EQ(source->ReadAt(size - 100, end.data(), end.size()), 100);
        EXPECT_EQ(source->ReadAt(size, end.data(), end.size()), 0);
        if (size > rawSize) {
            std::vector<uint8_t> pad(size - rawSize, 0xAA);
            ASSERT_EQ(source->ReadAt(rawSize, pad.data(), pad.size()), int64_t(pad.size()));
            EXPECT_TRUE(std::all_of(pad.begin(), pad.end(), [](uint8_t b) { return b == 0; }));
        }
        EXPECT_TRUE(source->UnreadableRanges().empty());
    }
}

TEST_F(ContainerSourceTest, RefusesIncompleteSetsNamingTheFile) {
    QUARLIX_REQUIRE(HaveTools(), "ewfacquire and qemu-img are needed");
    const std::vector<std::string> segments = {"disk.E01", "disk.E02", "disk.E03", "disk.E04"};
    struct Case {
        std::string what;
        std::vector<std::string> copied;
        std::string open;
        std::string kind;
        std::function<void(const testutil::TempDir&)> damage;
        std::string named;   // the file the message must name
        std::string reason;  // and a word of why
    };
    const std::vector<Case> cases = {
        {"middle segment removed", segments, "disk.E01", "E01",
         [](const testutil::TempDir& d) { fs::remove(d.file("disk.E02")); }, "disk.E02", "missing"},
        {"last segment removed", segments, "disk.E01", "E01",
         [](const testutil::TempDir& d) { fs::remove(d.file("disk.E04")); }, "disk.E04", "missing"},
        {"segment cut to half", segments, "disk.E01", "E01",
         [](const testutil::TempDir& d) { Shorten(d.file("disk.E02"), fs::file_size(d.file("disk.E02")) / 2); },
         "disk.E02", "truncated"},
        {"last segment short by a byte", segments, "disk.E01", "E01",
         [](const testutil::TempDir& d) { Shorten(d.file("disk.E04"), 1); },
         "disk.E04", "truncated"},
        {"last segment short by 100 bytes", segments, "disk.E01", "E01",
         [](const testutil::TempDir& d) { Shorten(d.file("disk.E04"), 100); },
         "disk.E04", "truncated"},
        {"vmdk extent removed", {"split.vmdk", "split-s001.vmdk"}, "split.vmdk", "VMDK",
         [](const testutil::TempDir& d) { fs::remove(d.file("split-s001.vmdk")); }, "split-s001.vmdk", "missing"},
        {"qcow2 cut inside a data cluster", {"disk.qcow2"}, "disk.qcow2", "QCOW2",
         [](const testutil::TempDir& d) { Shorten(d.file("disk.qcow2"), 30000); },
         "disk.qcow2", "truncated"},
        {"qcow2 over a backing file", {"disk.qcow2"}, "over.qcow2", "QCOW2",
         [](const testutil::TempDir& d) {
             testutil::MustRun("cd " + Quote(d.path().string()) +
                               " && qemu-img create -q -f qcow2 -b disk.qcow2 -F qcow2 over.qcow2");
         },
         "disk.qcow2", "backing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto dir = CopyOf(c.copied);
        c.damage(*dir);
        ByteSourceError error;
        EXPECT_EQ(KindOfFile(dir->file(c.open)), c.kind);
        auto source = OpenContainerSource(dir->file(c.open), c.kind, error);
        EXPECT_FALSE(source);
        EXPECT_NE(error.message.find(dir->file(c.open)), std::string::npos) << error.message;
        EXPECT_NE(error.message.find(c.named), std::string::npos) << error.message;
        EXPECT_NE(error.message.find(c.reason), std::string::npos) << error.message;
        EXPECT_EQ(error.errnoValue, 0);
    }
}

TEST(ContainerKindTest, TellsNoContainerForOtherBytes) {
    std::vector<uint8_t> random = testutil::PatternBytes(4096, 5);
    std::vector<uint8_t> ntfs(4096, 0);
    const uint8_t boot[] = {0xEB, 0x52, 0x90, 'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
    std::copy(std::begin(boot), std::end(boot), ntfs.begin());
    ntfs[510] = 0x55;
    ntfs[511] = 0xAA;
    // A footer-like tail with the cookie but a wrong checksum: not a VHD.
    std::vector<uint8_t> cookie = testutil::PatternBytes(512, 6);
    const uint8_t footer[] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x', 0, 0, 0, 2, 0, 1, 0, 0};
    std::copy(std::begin(footer), std::end(footer), cookie.begin());
    std::fill(cookie.begin() + 60, cookie.begin() + 64, 0);
    cookie[63] = 2;
    // A QCOW magic with an unknown version.
    std::vector<uint8_t> qfi = {'Q', 'F', 'I', 0xfb, 0, 0, 0, 9, 0, 0, 0, 0};
    struct Case {
        const char* what;
        const std::vector<uint8_t>& head;
        const std::vector<uint8_t>& tail;
    };
    const Case cases[] = {
        {"random", random, random}, {"ntfs boot sector", ntfs, random}, {"vhd cookie, bad sum", random, cookie},
        {"vhd cookie at 0, bad sum", cookie, random}, {"qcow version 9", qfi, random},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        size_t tail = std::min<size_t>(c.tail.size(), 512);
        EXPECT_EQ(ContainerKind(c.head.data(), c.head.size(), c.tail.data() + c.tail.size() - tail, tail), "");
    }
    // Short inputs are looked at only as far as they go.
    EXPECT_EQ(ContainerKind(random.data(), 0, random.data(), 0), "");
    EXPECT_EQ(ContainerKind(reinterpret_cast<const uint8_t*>("EVF\x09\x0d\x0a\xff"), 7, nullptr, 0), "");
    EXPECT_EQ(ContainerKind(reinterpret_cast<const uint8_t*>("EVF\x09\x0d\x0a\xff\x00"), 8, nullptr, 0), "E01");
}

}  // namespace
