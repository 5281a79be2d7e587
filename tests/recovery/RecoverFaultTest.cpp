// Faults on the way out, for both file systems: a failing write (injected
// below the writer, and a real full tmpfs), a destination nobody may
// create (root included), and a destination on the source itself. Each
// must reach the callback and end as its answer says; nothing is written
// to the source.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "NtfsRecoveryFixture.h"
#include "app/Log.h"
#include "common/TestUtil.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/fat/FatVolume.h"
#include "engine/ntfs/NtfsVolume.h"
#include "engine/recovery/Destination.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/recovery/OutputFile.h"
#include "platform/Status.h"
#include "recovery/RecordingCallback.h"

using recoverytest::RecordingCallback;
using testutil::Quote;
using testutil::TempDir;

namespace {

// Larger than one copy step of either file system, so a copy takes several writes.
constexpr size_t kFileSize = 3 * 1024 * 1024 + 5000;

struct Sources {
    std::string fatImage, ntfsImage, error;
    std::vector<uint8_t> fatContent, ntfsContent;
    uint32_t ntfsId = 0;
};

TempDir* g_dir = nullptr;
Sources* g_sources = nullptr;

// Removes the write fault hook whatever happens in a test.
struct HookGuard {
    ~HookGuard() { COutputFile::WriteFaultHook() = nullptr; }
};

// A 64 KiB tmpfs mounted for one test; the tests skip where mounting is not
// allowed. That is the kernel or the container saying no, not a missing tool,
// so it stays a skip under CI=true too.
class TmpfsMount {
public:
    TmpfsMount(const std::string& where, bool readOnly) : m_where(where) {
        std::filesystem::create_directories(where);
        m_mounted = ::mount("none", where.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, "size=64k") == 0;
    }
    ~TmpfsMount() {
        if (m_mounted) ::umount(m_where.c_str());
    }
    bool Mounted() const { return m_mounted; }

private:
    std::string m_where;
    bool m_mounted = false;
};

class RecoverFaultTest : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() {
        g_dir = new TempDir();
        g_sources = new Sources();
        Sources& s = *g_sources;
        // FAT: mkfs.fat + mtools, one deleted file of known content.
        s.fatImage = g_dir->file("fat.img");
        s.fatContent = testutil::PatternBytes(kFileSize, 5);
        testutil::WriteFileBytes(g_dir->file("data.bin"), s.fatContent);
        auto r = testutil::Run("mkfs.fat -C -F 16 -s 4 " + Quote(s.fatImage) + " 16384 >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " +
                               Quote(s.fatImage) + " " + Quote(g_dir->file("data.bin")) +
                               " ::/data.bin && MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(s.fatImage) + " ::/data.bin");
        if (r.exitCode != 0) s.error = "FAT fixture: " + r.out;
        // NTFS: mkntfs + libntfs-3g.
        s.ntfsImage = g_dir->file("ntfs.img");
        auto n = ntfsfixture::Make(s.ntfsImage, "16M", "write /data.bin random:1 " + std::to_string(kFileSize) + "\ndelete /data.bin\n");
        if (!n.error.empty()) s.error += n.error;
        else s.ntfsId = n.deleted.at("/data.bin");
        fixture::Pattern p;
        fixture::Pattern::Parse("random:1", p);
        s.ntfsContent = p.Bytes(0, kFileSize);
    }
    static void TearDownTestSuite() {
        delete g_sources;
        delete g_dir;
    }
    void SetUp() override {
        ASSERT_TRUE(g_sources->error.empty()) << g_sources->error;
        const bool fat = GetParam() == "fat";
        image = fat ? g_sources->fatImage : g_sources->ntfsImage;
        content = fat ? g_sources->fatContent : g_sources->ntfsContent;
        if (fat) {
            auto v = std::make_unique<CFatVolume>();
            ASSERT_TRUE(v->Initialize(image));
            IndexProgress progress;
            ASSERT_TRUE(v->BuildIndex(&progress));
            std::unique_ptr<IEnumDeletedFiles> e;
            ASSERT_TRUE(v->EnumDeletedFilesByPath(u"\\", e) && e);
            FileItemInfo info;
            while (e->Next(info, false))
                if (info.size == kFileSize) id = info.id;
            ASSERT_NE(id, 0u);
            volume = std::move(v);
        } else {
            auto v = std::make_unique<CNtfsVolume>();
            ASSERT_TRUE(v->Initialize(image));
            id = g_sources->ntfsId;
            volume = std::move(v);
        }
        out = dir.file("out");
        std::filesystem::create_directories(out);
    }

    std::unique_ptr<CVolume> volume;
    uint32_t id = 0;
    std::string image;
    std::vector<uint8_t> content;
    TempDir dir;
    std::string out;
    HookGuard hookGuard;
};

TEST_P(RecoverFaultTest, FailedWriteIsRetriedWhileTheCallbackSaysSo) {
    // The first chunk fails three times; the fourth attempt goes through.
    int calls = 0;
    COutputFile::WriteFaultHook() = [&](const std::string&, size_t) { return ++calls <= 3 ? ENOSPC : 0; };
    RecordingCallback retry;
    retry.onWriteFailed = [](const std::string&, int) { return RecoverResult::Ok; };
    EXPECT_EQ(RecoverFile(*volume, id, out + "/a.bin", 0, &retry, nullptr), RecoverResult::Ok);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/a.bin"), content);
    ASSERT_EQ(retry.writeFailures.size(), 3u);
    EXPECT_EQ(retry.writeFailures[0], std::make_pair(out + "/a.bin", ENOSPC));
    ASSERT_FALSE(retry.fileEnds.empty());
    EXPECT_TRUE(retry.fileEnds.back().second);

    // A negative answer ends the item with that answer, and the cut file
    // does not stay under its name looking whole.
    calls = 0;
    COutputFile::WriteFaultHook() = [&](const std::string&, size_t) { return ++calls >= 2 ? EIO : 0; };
    RecordingCallback giveUp;
    EXPECT_EQ(RecoverFile(*volume, id, out + "/b.bin", 0, &giveUp, nullptr), RecoverResult::Skip);
    EXPECT_EQ(giveUp.writeFailures.size(), 1u);
    EXPECT_TRUE(giveUp.fileEnds.empty());
    EXPECT_FALSE(std::filesystem::exists(out + "/b.bin"));
    EXPECT_EQ(giveUp.abandoned, (std::vector<std::pair<std::string, std::string>> {{out + "/b.bin", ""}}));
    // Without a callback nobody can answer: RecoverResult::Failed, and nothing is left either.
    EXPECT_EQ(RecoverFile(*volume, id, out + "/c.bin", 0, nullptr, nullptr), RecoverResult::Failed);
    EXPECT_FALSE(std::filesystem::exists(out + "/c.bin"));
}

TEST_P(RecoverFaultTest, CancelKeepsWhatWasWrittenAsPartial) {
    // The stop flag goes up after the first chunk: the copy stops at its next
    // check, and the part written moves to NAME.partial (never over another one).
    for (const char* kept : {"a.bin.partial", "a.bin (2).partial"}) {
        StopFlag stop {0};
        RecordingCallback cb;
        cb.onProgress = [&](uint32_t, uint64_t) {
            stop.store(1);
            return WalkResult::Continue;
        };
        EXPECT_EQ(RecoverFile(*volume, id, out + "/a.bin", 0, &cb, &stop), RecoverResult::Stopped);
        EXPECT_FALSE(std::filesystem::exists(out + "/a.bin"));
        ASSERT_EQ(cb.abandoned.size(), 1u);
        EXPECT_EQ(cb.abandoned[0].second, out + "/" + kept);
        auto partial = testutil::ReadFileBytes(out + "/" + kept);
        EXPECT_GT(partial.size(), 0u);
        EXPECT_LT(partial.size(), content.size());
        EXPECT_TRUE(std::equal(partial.begin(), partial.end(), content.begin()));
        // What was reported written is what was kept, and the file never ended.
        ASSERT_EQ(cb.progress.size(), 1u);
        EXPECT_EQ(partial.size(), cb.progress[0].second);
        EXPECT_TRUE(cb.fileEnds.empty());
    }
}

TEST_P(RecoverFaultTest, FullFileSystemReachesTheCallback) {
    TmpfsMount small(dir.file("small"), false);
    if (!small.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    RecordingCallback cb;
    EXPECT_EQ(RecoverFile(*volume, id, dir.file("small") + "/a.bin", 0, &cb, nullptr), RecoverResult::Skip);
    ASSERT_EQ(cb.writeFailures.size(), 1u);
    EXPECT_EQ(cb.writeFailures[0].second, ENOSPC);
    EXPECT_FALSE(std::filesystem::exists(dir.file("small") + "/a.bin")) << "a cut file is removed";
    // The job's own answers (no front end to ask): the item fails with the
    // reason, it is not passed off as skipped.
    CRecoverProgress job(volume.get(), nullptr, false);
    EXPECT_EQ(RecoverFileItem(*volume, id, dir.file("small") + "/b.bin", 0, &job, nullptr), RecoverResult::Skip);
    auto records = job.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(RecoverStatusName(records[0]), "failed");
    EXPECT_NE(records[0].status.find(ErrnoText(ENOSPC)), std::string::npos) << records[0].status;
    EXPECT_EQ(job.Snapshot().failed, 1);
    EXPECT_EQ(job.Snapshot().skipped, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("small") + "/b.bin"));
}

TEST_P(RecoverFaultTest, UnwritableDestinationReachesOnCreateFailed) {
    // Below a regular file nothing can be created, not even by root.
    testutil::WriteFileBytes(out + "/plain", {1});
    RecordingCallback cb;
    EXPECT_EQ(RecoverFile(*volume, id, out + "/plain/a.bin", 0, &cb, nullptr), RecoverResult::Skip);
    ASSERT_EQ(cb.createFailures.size(), 1u);
    EXPECT_EQ(cb.createFailures[0].second, ENOTDIR);
    EXPECT_EQ(std::count(cb.events.begin(), cb.events.end(), "FileBegin"), 0);
    // A retry answer tries again with the path the callback left.
    RecordingCallback moved;
    moved.onCreateFailed = [&](std::string& path, bool, int, bool&) {
        path = out + "/moved.bin";
        return RecoverResult::Ok;
    };
    EXPECT_EQ(RecoverFile(*volume, id, out + "/plain/a.bin", 0, &moved, nullptr), RecoverResult::Ok);
    EXPECT_EQ(testutil::ReadFileBytes(out + "/moved.bin"), content);

    TmpfsMount readOnly(dir.file("ro"), true);
    if (!readOnly.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    RecordingCallback ro;
    EXPECT_EQ(RecoverFile(*volume, id, dir.file("ro") + "/a.bin", 0, &ro, nullptr), RecoverResult::Skip);
    ASSERT_EQ(ro.createFailures.size(), 1u);
    EXPECT_EQ(ro.createFailures[0].second, EROFS);
    if (GetParam() == "ntfs") {
        // A folder is created before its record is looked at.
        RecordingCallback folder;
        EXPECT_EQ(RecoverFolder(*volume, CNtfsVolume::kRootRecord, dir.file("ro") + "/folder", 0, &folder, nullptr),
                  RecoverResult::Skip);
        ASSERT_EQ(folder.createFailures.size(), 1u);
        EXPECT_EQ(folder.createFailures[0].second, EROFS);
    }
}

TEST_P(RecoverFaultTest, TheSourceIsNeverADestination) {
    const auto before = testutil::MustRun("md5sum < " + Quote(image));
    // Even with the callback's consent to overwrite, the image being read is refused.
    RecordingCallback cb;
    int asked = 0;
    cb.onCreateFailed = [&](std::string&, bool, int, bool& overwrite) {
        overwrite = true;
        return ++asked < 3 ? RecoverResult::Ok : RecoverResult::Skip;
    };
    EXPECT_EQ(RecoverFile(*volume, id, image, 0, &cb, nullptr), RecoverResult::Skip);
    ASSERT_EQ(cb.createFailures.size(), 3u);
    EXPECT_EQ(cb.createFailures[0].second, EEXIST);
    EXPECT_EQ(cb.createFailures[1].second, EPERM);
    EXPECT_EQ(testutil::MustRun("md5sum < " + Quote(image)), before);

    // A block-device source: no destination on a file system of that device.
    // Loop devices and mounting them are kernel capabilities this machine may
    // lack: those stay skips even under CI=true.
    auto loop = testutil::Run("losetup -f --show -r " + Quote(image) + " 2>/dev/null");
    if (loop.exitCode != 0) GTEST_SKIP() << "no loop devices here";
    std::string device = loop.out.substr(0, loop.out.find('\n'));
    const std::string mnt = dir.file("mnt");
    std::filesystem::create_directories(mnt);
    const bool mounted = testutil::Run("mount -o ro " + Quote(device) + " " + Quote(mnt) + " 2>/dev/null").exitCode == 0;
    if (mounted) {
        DestinationCheck check = CheckDestination(mnt + "/out", device, 0);
        EXPECT_EQ(check.status.code(), StatusCode::InvalidArgument);
        EXPECT_FALSE(check.status.message().empty());
        testutil::Run("umount " + Quote(mnt));
    }
    EXPECT_TRUE(CheckDestination(out, device, 0).status.ok()) << "another file system is a fine destination";
    testutil::Run("losetup -d " + Quote(device));
    EXPECT_EQ(testutil::MustRun("md5sum < " + Quote(image)), before);
    // Mounting the image needs the kernel's vfat or ntfs driver, which this
    // machine may not have: a skip, not a failure, under CI=true as well.
    if (!mounted) GTEST_SKIP() << "the image could not be mounted here";
}

INSTANTIATE_TEST_SUITE_P(BothFileSystems, RecoverFaultTest, ::testing::Values("fat", "ntfs"),
                         [](const auto& info) { return info.param; });

}  // namespace
