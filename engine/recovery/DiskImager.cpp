#include "engine/recovery/DiskImager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

#include "platform/DriveList.h"

namespace {

constexpr uint64_t kBlock = CByteSource::kErrorBlock;
constexpr uint64_t kFirstSkip = 64 * 1024;
constexpr uint64_t kLargestSkip = 1ull << 30;
constexpr double kPublishInterval = 0.25;

int64_t NowTicks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
double SecondsSince(int64_t ticks) {
    return std::chrono::duration<double>(std::chrono::steady_clock::duration(NowTicks() - ticks)).count();
}

uint64_t AlignDown(uint64_t v) { return v - v % kBlock; }

// The folder of path ("." for a bare name) and its last component.
bool SplitPath(const std::string& path, std::string& folder, std::string& leaf) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    return !leaf.empty() && leaf != "." && leaf != "..";
}

bool AllZero(const uint8_t* p, size_t n) {
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return acc == 0;
}

// A read error that means the source is gone, not a bad block.
bool SourceGone(int err) { return err == ENODEV || err == ENXIO || err == ENOMEDIUM; }

using FileId = std::pair<dev_t, ino_t>;

}  // namespace

CDiskImager::CDiskImager(DiskImageSettings settings) : m_settings(std::move(settings)) {
    if (m_settings.mapPath.empty()) m_settings.mapPath = m_settings.imagePath + ".map";
    m_settings.copyBlock = static_cast<uint32_t>(std::max<uint64_t>(AlignDown(m_settings.copyBlock), kBlock));
}

CDiskImager::~CDiskImager() {
    StopAndWait();
    if (m_imageFd >= 0) ::close(m_imageFd);
    if (m_mapDirFd >= 0) ::close(m_mapDirFd);
}

DiskImageCounts CDiskImager::Counts() const {
    std::lock_guard<std::mutex> g(m_countsLock);
    return m_published;
}

std::vector<ByteRange> CDiskImager::BadAreas() const {
    std::lock_guard<std::mutex> g(m_countsLock);
    return m_badAreas;
}

std::vector<RescueBlock> CDiskImager::MapBlocks() const {
    std::lock_guard<std::mutex> g(m_countsLock);
    return m_publishedBlocks;
}

Status CDiskImager::Prepare() {
    if (m_imageFd >= 0) return Status(StatusCode::InvalidArgument, "the image job runs once");
    const auto& source = m_settings.source;
    if (!source) return Status(StatusCode::InvalidArgument, "no source to image");
    const uint64_t size = source->Size();
    if (size == 0) return Status(StatusCode::InvalidArgument, source->Name() + " is empty: there is nothing to image");
    const std::string& image = m_settings.imagePath;
    const std::string& mapPath = m_settings.mapPath;
    if (image == mapPath) return Status(StatusCode::InvalidArgument, "the image and its map cannot be one file");

    std::string imageFolder, imageLeaf, mapFolder;
    if (!SplitPath(image, imageFolder, imageLeaf))
        return Status(StatusCode::InvalidArgument, image + " names a folder, not an image file");
    if (!SplitPath(mapPath, mapFolder, m_mapLeaf))
        return Status(StatusCode::InvalidArgument, mapPath + " names a folder, not a map file");

    // The files the source reads, by device and inode: neither output may be one.
    std::set<FileId> sourceFiles;
    for (const std::string& f : source->Files()) {
        struct stat st {};
        if (::stat(f.c_str(), &st) == 0) sourceFiles.insert({st.st_dev, st.st_ino});
    }
    const int imageDir = ::open(imageFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (imageDir < 0) return ErrnoStatus(StatusCode::WriteError, "cannot open the folder " + imageFolder, errno);
    m_mapDirFd = ::open(mapFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_mapDirFd < 0) {
        const int err = errno;
        ::close(imageDir);
        return ErrnoStatus(StatusCode::WriteError, "cannot open the folder " + mapFolder, err);
    }

    // What stands at each name now, links not followed.
    auto look = [&](int dir, const std::string& leaf, const std::string& path, const char* what, struct stat& st,
                    bool& exists) -> Status {
        exists = ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) return ErrnoStatus(StatusCode::WriteError, "cannot look at " + path, errno);
        if (!exists) return {};
        if (S_ISLNK(st.st_mode))
            return Status(StatusCode::InvalidArgument,
                          path + " is a symbolic link: the " + what + " is never written through a link");
        if (sourceFiles.count({st.st_dev, st.st_ino}))
            return Status(StatusCode::InvalidArgument, path + " is the source itself: it is never written");
        if (!S_ISREG(st.st_mode))
            return Status(StatusCode::InvalidArgument, path + " is not a regular file");
        return {};
    };
    struct stat imageSt {}, mapSt {};
    bool imageExists = false, mapExists = false;
    Status s = look(imageDir, imageLeaf, image, "image", imageSt, imageExists);
    if (s.ok()) s = look(m_mapDirFd, m_mapLeaf, mapPath, "map", mapSt, mapExists);
    if (s.ok() && imageExists && mapExists && imageSt.st_dev == mapSt.st_dev && imageSt.st_ino == mapSt.st_ino)
        s = Status(StatusCode::InvalidArgument, "the image and its map cannot be one file");
    if (!s.ok()) {
        ::close(imageDir);
        return s;
    }

    m_map = CRescueMap(size);
    if (mapExists) {
        std::string text, error;
        const int fd = ::openat(m_mapDirFd, m_mapLeaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        bool ok = fd >= 0;
        if (!ok) error = "Cannot read the map " + mapPath + ": " + ErrnoText(errno);
        char buffer[65536];
        while (ok) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = "Cannot read the map " + mapPath + ": " + ErrnoText(errno);
                ok = false;
            } else if (n == 0) {
                break;
            } else if (text.size() + static_cast<size_t>(n) > CRescueMap::kMaxTextBytes) {
                error = "The map " + mapPath + " is too large to be a rescue map";
                ok = false;
            } else {
                text.append(buffer, static_cast<size_t>(n));
            }
        }
        if (fd >= 0) ::close(fd);
        if (ok && !m_map.Parse(text, error)) {
            error = "The map " + mapPath + " is not a rescue map (" + error + ")";
            ok = false;
        }
        if (ok && m_map.TextEnd() != size && m_map.TextEnd() != 0) {
            error = "The map " + mapPath + " is the map of a source of " + std::to_string(m_map.TextEnd()) +
                    " bytes; " + source->Name() + " has " + std::to_string(size) + " bytes";
            ok = false;
        }
        if (ok && !imageExists && m_map.Bytes(RescueState::Rescued) > 0) {
            error = "The map " + mapPath + " names rescued bytes, but the image " + image + " is missing";
            ok = false;
        }
        if (!ok) {
            ::close(imageDir);
            return Status(StatusCode::InvalidArgument, error);
        }
        m_resumed = true;
    } else if (imageExists && imageSt.st_size > 0) {
        ::close(imageDir);
        return Status(StatusCode::InvalidArgument, image + " exists and has no map " + mapPath +
                                                       ": it is not written over (name its map, or "
                                                       "choose another file)");
    }
    if (imageExists && static_cast<uint64_t>(imageSt.st_size) > size) {
        ::close(imageDir);
        return Status(StatusCode::InvalidArgument, image + " is larger than " + source->Name() +
                                                       " (" + std::to_string(size) + " bytes): it is not its image");
    }

    // The image: made when missing (and taken back when the start fails),
    // never through a link, never the source.
    bool created = false;
    int fd = ::openat(imageDir, imageLeaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) created = true;
    else if (errno == EEXIST) fd = ::openat(imageDir, imageLeaf.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        ::close(imageDir);
        if (err == ELOOP)
            return Status(StatusCode::InvalidArgument,
                          image + " is a symbolic link: the image is never written through a link");
        return ErrnoStatus(StatusCode::WriteError, "cannot open " + image + " for writing", err);
    }
    auto fail = [&](Status why) {
        ::close(fd);
        if (created) ::unlinkat(imageDir, imageLeaf.c_str(), 0);
        ::close(imageDir);
        return why;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(ErrnoStatus(StatusCode::WriteError, "cannot look at " + image, errno));
    if (!S_ISREG(st.st_mode)) return fail(Status(StatusCode::InvalidArgument, image + " is not a regular file"));
    if (sourceFiles.count({st.st_dev, st.st_ino}))
        return fail(Status(StatusCode::InvalidArgument, image + " is the source itself: it is never written"));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(Status(StatusCode::InvalidArgument, "another run is writing " + image));
    if (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        return fail(ErrnoStatus(StatusCode::WriteError, "cannot make " + image + " " + std::to_string(size) +
                                                            " bytes long",
                                errno));
    m_imageFd = fd;

    for (const RescueBlock& b : m_map.Blocks()) m_counts[static_cast<unsigned char>(b.state)] += b.length;
    m_lastSave = NowTicks();
    if (!mapExists) {
        // A map beside the image from the start: the image is never without one.
        const Status saved = SaveMap(true);
        if (!saved.ok()) {
            m_imageFd = -1;
            return fail(saved);
        }
    }
    ::close(imageDir);
    m_buffer.assign(m_settings.copyBlock, 0);
    m_finishedAtStart = m_counts['+'] + m_counts['-'];
    m_finished = m_finishedAtStart;
    m_rescuedThisRun = 0;
    m_mapWrites = 0;
    Publish();
    {
        std::lock_guard<std::mutex> g(m_countsLock);
        m_initial = m_published;
    }
    return {};
}

void CDiskImager::Mark(uint64_t offset, uint64_t length, RescueState state) {
    const uint64_t end = std::min(offset + length, m_map.Size());
    for (uint64_t pos = offset; pos < end;) {
        const RescueState was = m_map.At(pos);
        const RescueBlock b = m_map.Next(pos, was);
        const uint64_t run = std::min(end, b.offset + b.length) - pos;
        m_counts[static_cast<unsigned char>(was)] -= run;
        pos += run;
    }
    m_counts[static_cast<unsigned char>(state)] += end - offset;
    m_map.Set(offset, end - offset, state);
    m_finished = m_counts['+'] + m_counts['-'];
}

Status CDiskImager::Write(uint64_t offset, const uint8_t* data, uint64_t length) {
    // Runs of blocks that are not all zeros; zeros stay holes of the image.
    uint64_t at = 0;
    while (at < length) {
        while (at < length && AllZero(data + at, static_cast<size_t>(std::min(kBlock, length - at)))) at += kBlock;
        if (at >= length) break;
        uint64_t end = at;
        while (end < length && !AllZero(data + end, static_cast<size_t>(std::min(kBlock, length - end)))) end += kBlock;
        end = std::min(end, length);
        for (uint64_t done = at; done < end;) {
            const ssize_t n = ::pwrite(m_imageFd, data + done, static_cast<size_t>(end - done),
                                       static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                return ErrnoStatus(StatusCode::WriteError, "cannot write " + m_settings.imagePath,
                                   n < 0 ? errno : ENOSPC);
            done += static_cast<uint64_t>(n);
        }
        at = end;
    }
    return {};
}

Status CDiskImager::ReadForward(uint64_t offset, uint64_t length, Chunk& chunk) {
    chunk = {};
    length = std::min<uint64_t>(length, m_buffer.size());
    const int64_t n = m_settings.source->ReadAt(offset, m_buffer.data(), static_cast<size_t>(length));
    if (n < 0 && SourceGone(errno))
        return ErrnoStatus(StatusCode::ReadError, m_settings.source->Name() + " went away", errno);
    chunk.good = n > 0 ? static_cast<uint64_t>(n) : 0;
    chunk.failed = chunk.good < length;
    if (chunk.good > 0) {
        const Status written = Write(offset, m_buffer.data(), chunk.good);
        if (!written.ok()) return written;
        Mark(offset, chunk.good, RescueState::Rescued);
        m_rescuedThisRun.fetch_add(chunk.good, std::memory_order_relaxed);
    }
    if (chunk.failed) {
        // The rest of the refused block, within this read.
        const uint64_t from = offset + chunk.good;
        const uint64_t to = std::min(offset + length, AlignDown(from) + kBlock);
        Mark(from, to - from, RescueState::Bad);
    }
    return {};
}

Status CDiskImager::CopyPass() {
    m_map.position = {0, '?', 1};
    const uint64_t size = m_map.Size();
    const uint64_t largestSkip = std::max(kFirstSkip, std::min(kLargestSkip, AlignDown(size / 100)));
    uint64_t skip = kFirstSkip;
    uint64_t cursor = 0;
    while (!Stopping()) {
        const RescueBlock area = m_map.Next(cursor, RescueState::Untried);
        if (area.length == 0) break;
        const uint64_t end = area.offset + area.length;
        uint64_t pos = area.offset;
        while (pos < end && !Stopping()) {
            m_map.position.offset = pos;
            // Reads end on copy-block boundaries, so later reads stay aligned.
            const uint64_t want = std::min(end - pos, m_settings.copyBlock - pos % m_settings.copyBlock);
            Chunk chunk;
            if (Status s = ReadForward(pos, want, chunk); !s.ok()) return s;
            pos += chunk.good;
            if (chunk.failed) {
                pos = std::min(end, AlignDown(pos) + kBlock);
                // Skip ahead; the area skipped is trimmed later.
                const uint64_t skipEnd = std::min(end, std::max(pos, AlignDown(pos + skip)));
                if (skipEnd > pos) Mark(pos, skipEnd - pos, RescueState::Untrimmed);
                pos = skipEnd;
                skip = std::min(skip * 2, largestSkip);
            } else {
                skip = kFirstSkip;
            }
            Publish();
            if (Status s = SaveMap(false); !s.ok()) return s;
        }
        cursor = pos;
    }
    return {};
}

Status CDiskImager::TrimPass() {
    m_map.position = {0, '*', 1};
    uint64_t cursor = 0;
    while (!Stopping()) {
        const RescueBlock area = m_map.Next(cursor, RescueState::Untrimmed);
        if (area.length == 0) break;
        uint64_t pos = area.offset, end = area.offset + area.length;
        // From the start forward until a read fails.
        while (pos < end && !Stopping()) {
            m_map.position.offset = pos;
            Chunk chunk;
            if (Status s = ReadForward(pos, end - pos, chunk); !s.ok()) return s;
            pos += chunk.good;
            if (chunk.failed) {
                pos = std::min(end, AlignDown(pos) + kBlock);
                break;
            }
        }
        // From the end backward, a block at a time, until a read fails.
        while (end > pos && !Stopping()) {
            const uint64_t from = std::max(pos, AlignDown(end - 1));
            m_map.position.offset = from;
            Chunk chunk;
            if (Status s = ReadForward(from, end - from, chunk); !s.ok()) return s;
            end = from;
            if (chunk.failed) break;
        }
        if (Stopping()) return {};
        // The inside waits for the scraping.
        if (end > pos) Mark(pos, end - pos, RescueState::Unscraped);
        cursor = area.offset + area.length;
        Publish();
        if (Status s = SaveMap(false); !s.ok()) return s;
    }
    return {};
}

Status CDiskImager::ScrapePass(RescueState which, char phase) {
    m_map.position = {0, phase, 1};
    uint64_t cursor = 0;
    while (!Stopping()) {
        const RescueBlock area = m_map.Next(cursor, which);
        if (area.length == 0) break;
        const uint64_t end = area.offset + area.length;
        for (uint64_t pos = area.offset; pos < end && !Stopping();) {
            m_map.position.offset = pos;
            const uint64_t blockEnd = std::min(end, AlignDown(pos) + kBlock);
            Chunk chunk;
            if (Status s = ReadForward(pos, blockEnd - pos, chunk); !s.ok()) return s;
            pos = blockEnd;
            Publish();
            if (Status s = SaveMap(false); !s.ok()) return s;
        }
        cursor = end;
    }
    return {};
}

JobOutcome CDiskImager::Run() {
    EnterPhase(JobPhase::Imaging, 0, m_map.Size());
    // Bad blocks of an earlier run: tried once more at the end with retryBad,
    // left alone otherwise.
    std::vector<ByteRange> retry;
    if (m_settings.retryBad)
        for (const RescueBlock& b : m_map.Blocks())
            if (b.state == RescueState::Bad) retry.push_back({b.offset, b.length});

    Status s = CopyPass();
    if (s.ok() && !Stopping()) s = TrimPass();
    if (s.ok() && !Stopping()) s = ScrapePass(RescueState::Unscraped, '/');
    if (s.ok() && !Stopping() && !retry.empty()) {
        m_map.position = {0, '-', 1};
        for (const ByteRange& r : retry) {
            for (uint64_t pos = r.offset; pos < r.offset + r.length && !Stopping() && s.ok();) {
                const uint64_t blockEnd = std::min(r.offset + r.length, AlignDown(pos) + kBlock);
                m_map.position.offset = pos;
                Chunk chunk;
                if (m_map.At(pos) == RescueState::Bad) s = ReadForward(pos, blockEnd - pos, chunk);
                pos = blockEnd;
                Publish();
                if (s.ok()) s = SaveMap(false);
            }
            if (!s.ok() || Stopping()) break;
        }
    }
    if (s.ok() && !Stopping()) m_map.position = {0, '+', 1};
    // The map says what was done, whatever ended the run.
    const Status saved = SaveMap(true);
    if (s.ok()) s = saved;
    {
        std::vector<ByteRange> bad;
        for (const RescueBlock& b : m_map.Blocks())
            if (b.state == RescueState::Bad) bad.push_back({b.offset, b.length});
        std::lock_guard<std::mutex> g(m_countsLock);
        m_badAreas = std::move(bad);
    }
    m_lastPublish = 0;
    Publish();
    if (!s.ok()) return JobOutcome::Failure(s);
    return Stopping() ? JobOutcome::StoppedByRequest() : JobOutcome::Done();
}

Status CDiskImager::SaveMap(bool force) {
    if (!force && SecondsSince(m_lastSave) < m_settings.mapInterval) return {};
    // The data first: the map never names bytes the image does not hold.
    if (::fdatasync(m_imageFd) != 0)
        return ErrnoStatus(StatusCode::WriteError, "cannot flush " + m_settings.imagePath, errno);
    const std::string text = m_map.Format(m_settings.mapComments);
    const std::string temp = "." + m_mapLeaf + ".tmp";
    const int fd = ::openat(m_mapDirFd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return ErrnoStatus(StatusCode::WriteError, "cannot write the map " + m_settings.mapPath, errno);
    int err = 0;
    for (size_t done = 0; done < text.size() && !err;) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) err = n < 0 ? errno : ENOSPC;
        else done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::renameat(m_mapDirFd, temp.c_str(), m_mapDirFd, m_mapLeaf.c_str()) != 0) err = errno;
    if (err) {
        ::unlinkat(m_mapDirFd, temp.c_str(), 0);
        return ErrnoStatus(StatusCode::WriteError, "cannot write the map " + m_settings.mapPath, err);
    }
    ::fsync(m_mapDirFd);
    m_lastSave = NowTicks();
    ++m_mapWrites;
    return {};
}

void CDiskImager::Publish() {
    if (m_lastPublish != 0 && SecondsSince(m_lastPublish) < kPublishInterval) return;
    m_lastPublish = NowTicks();
    DiskImageCounts c;
    c.size = m_map.Size();
    c.rescued = m_counts['+'];
    c.bad = m_counts['-'];
    c.untried = m_counts['?'];
    c.untrimmed = m_counts['*'];
    c.unscraped = m_counts['/'];
    std::vector<RescueBlock> blocks = m_map.Blocks();
    for (const RescueBlock& b : blocks)
        if (b.state == RescueState::Bad) ++c.badAreas;
    c.phase = m_map.position.phase;
    c.position = m_map.position.offset;
    c.mapWrites = m_mapWrites;
    SetBytesDone(c.rescued + c.bad);
    std::lock_guard<std::mutex> g(m_countsLock);
    m_published = c;
    m_publishedBlocks = std::move(blocks);
}

void CDiskImager::Refine(JobProgress& p) const {
    // The rate and the estimate count this run's work only: a resumed run
    // starts with bytes an earlier one did.
    if (p.phase != JobPhase::Imaging || p.elapsed <= 0) return;
    const uint64_t finished = m_finished.load(std::memory_order_relaxed);
    const uint64_t doneNow = finished > m_finishedAtStart ? finished - m_finishedAtStart : 0;
    p.rate = static_cast<double>(m_rescuedThisRun.load(std::memory_order_relaxed)) / p.elapsed;
    const uint64_t total = m_map.Size();
    if (finished >= total)
        p.remaining = 0;
    else if (doneNow > 0)
        p.remaining = p.elapsed * static_cast<double>(total - finished) / static_cast<double>(doneNow);
    else
        p.remaining = -1;
}

DiskImagePlan PlanDiskImage(const std::string& source, const std::string& image, const std::string& map,
                            bool retryBad) {
    DiskImagePlan plan;
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(source, ec);
    plan.sourcePath = ec ? source : canonical.string();
    ByteSourceError openError;
    plan.settings.source = OpenByteSource(plan.sourcePath, openError);
    if (!plan.settings.source) {
        plan.sourceUnopened = true;
        plan.refusal = Status(StatusCode::Failed, openError.errnoValue ? OpenErrorMessage(source, openError.errnoValue)
                                                                       : openError.message);
        return plan;
    }
    plan.settings.imagePath = image;
    plan.settings.mapPath = map.empty() ? image + ".map" : map;
    plan.settings.retryBad = retryBad;
    plan.settings.mapComments = {std::string("Rescue map of quarlix ") + QUARLIX_VERSION, "Source: " + plan.sourcePath};
    for (const auto& [file, needed] : {std::pair<std::string, uint64_t> {image, plan.settings.source->Size()},
                                       {plan.settings.mapPath, 0}}) {
        const std::filesystem::path p(file);
        plan.checks.push_back(
            CheckDestination(p.has_parent_path() ? p.parent_path().string() : ".", plan.sourcePath, needed));
        if (!plan.checks.back().status.ok() && plan.refusal.ok()) plan.refusal = plan.checks.back().status;
    }
    return plan;
}
