#include "Destination.h"

#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Status.h"

namespace {

namespace fs = std::filesystem;

// Something a file system or a block device is backed by, as a node of the
// graph "is stored on".
struct Backing {
    enum class Kind { Device, File, FileSystem, Unknown };
    Kind kind = Kind::Unknown;
    dev_t dev = 0;     // Device: its number; File: its file system's; FileSystem: the file system's
    ino_t ino = 0;     // File: its inode
    std::string name;  // for messages: /dev/loop0, an image path, a mount's source

    bool Same(const Backing& o) const {
        if (kind != o.kind || kind == Kind::Unknown) return false;
        return dev == o.dev && (kind != Kind::File || ino == o.ino);
    }
};

bool Contains(const std::vector<Backing>& set, const Backing& b) {
    return std::any_of(set.begin(), set.end(), [&](const Backing& x) { return x.Same(b); });
}

std::string ReadFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

// "MAJ:MIN" (a sysfs dev file, a mount table field) as a device number.
bool ParseDevNumber(const std::string& text, dev_t& dev) {
    unsigned ma = 0, mi = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> ma >> colon >> mi) || colon != ':') return false;
    dev = makedev(ma, mi);
    return true;
}

// The mount table's escapes: "\040" space, "\011" tab, "\012" newline, "\134" backslash.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool IsFuse(const std::string& type) { return type == "fuse" || type.rfind("fuse.", 0) == 0; }

// The graph of what stores what, read from a StorageView.
class Storage {
public:
    explicit Storage(const StorageView& view) : m_sysRoot(view.sysRoot), m_mounts(ParseMountTable(view.mountTable)) {}

    // What a path names as a backing: a block device, a file, or (for a
    // folder, as a bind-style FUSE mount names) the file system holding it.
    static Backing OfPath(const std::string& path) {
        Backing b;
        b.name = path;
        struct stat st {};
        if (path.empty() || path[0] != '/' || ::stat(path.c_str(), &st) != 0) return b;
        if (S_ISBLK(st.st_mode)) {
            b.kind = Backing::Kind::Device;
            b.dev = st.st_rdev;
        } else if (S_ISREG(st.st_mode)) {
            b.kind = Backing::Kind::File;
            b.dev = st.st_dev;
            b.ino = st.st_ino;
        } else if (S_ISDIR(st.st_mode)) {
            b.kind = Backing::Kind::FileSystem;
            b.dev = st.st_dev;
        }
        return b;
    }

    static Backing FileSystem(dev_t dev) {
        Backing b;
        b.kind = Backing::Kind::FileSystem;
        b.dev = dev;
        return b;
    }

    // The concrete backings of a node: a file system resolved to its device
    // or to the source its mount names (again and again for a FUSE mount of
    // a folder); anything else is itself.
    std::vector<Backing> Resolve(const Backing& start) const {
        std::vector<Backing> out, seen, todo{start};
        while (!todo.empty() && seen.size() < kMaxNodes) {
            Backing b = todo.back();
            todo.pop_back();
            if (Contains(seen, b)) continue;
            seen.push_back(b);
            if (b.kind != Backing::Kind::FileSystem) {
                out.push_back(b);
                continue;
            }
            for (Backing& u : FileSystemBackings(b.dev)) todo.push_back(std::move(u));
        }
        return out;
    }

    // Everything the nodes are stored on, they included. With hostFiles a
    // file is stored on its file system too: writing into a loop device or a
    // FUSE mount of an image can grow the file. Reading an image reads only
    // the image's blocks, so on the source's side a file is a leaf.
    std::vector<Backing> Below(std::vector<Backing> todo, bool hostFiles) const {
        std::vector<Backing> seen;
        while (!todo.empty() && seen.size() < kMaxNodes) {
            Backing b = todo.back();
            todo.pop_back();
            if (Contains(seen, b)) continue;
            seen.push_back(b);
            if (b.kind == Backing::Kind::FileSystem) {
                for (Backing& u : FileSystemBackings(b.dev)) todo.push_back(std::move(u));
            } else if (b.kind == Backing::Kind::File && hostFiles) {
                todo.push_back(FileSystem(b.dev));
            } else if (b.kind == Backing::Kind::Device) {
                for (Backing& u : DeviceBackings(b.dev)) todo.push_back(std::move(u));
            }
        }
        return seen;
    }

    // "/dev/NAME" of a block device, from its sysfs folder.
    std::string DeviceName(dev_t dev) const {
        const fs::path dir = DeviceDir(dev);
        if (!dir.empty()) return "/dev/" + dir.filename().string();
        return "device " + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    }

private:
    static constexpr size_t kMaxNodes = 256;

    // The sysfs folder of a block device, or empty when `dev` is none.
    fs::path DeviceDir(dev_t dev) const {
        const fs::path link =
            fs::path(m_sysRoot) / "dev/block" / (std::to_string(major(dev)) + ":" + std::to_string(minor(dev)));
        std::error_code ec;
        fs::path dir = fs::canonical(link, ec);
        return ec ? fs::path() : dir;
    }

    static Backing DeviceOf(const fs::path& dir) {
        Backing b;
        if (ParseDevNumber(ReadFirstLine(dir / "dev"), b.dev)) b.kind = Backing::Kind::Device;
        return b;
    }

    // A file system is its block device; one with no device of its own
    // (FUSE, a btrfs subvolume) is what its mount names as its source.
    std::vector<Backing> FileSystemBackings(dev_t dev) const {
        if (!DeviceDir(dev).empty()) {
            Backing b;
            b.kind = Backing::Kind::Device;
            b.dev = dev;
            return {b};
        }
        std::vector<Backing> out;
        for (const MountEntry& m : m_mounts) {
            if (m.device != dev) continue;
            Backing b = OfPath(m.source);
            if (b.kind != Backing::Kind::Unknown) {
                out.push_back(b);
            } else if (IsFuse(m.type)) {
                b.name = "the " + m.type + " file system mounted from \"" + m.source + "\" on " + m.mountPoint;
                out.push_back(b);
            }
            break;  // one line per file system is enough: each names the same source
        }
        return out;
    }

    // What a block device is built on: the disk of a partition, the devices
    // under a device-mapper or RAID device, a loop device's backing.
    std::vector<Backing> DeviceBackings(dev_t dev) const {
        const fs::path dir = DeviceDir(dev);
        if (dir.empty()) return {};
        std::vector<Backing> out;
        std::error_code ec;
        if (fs::exists(dir / "partition", ec)) {
            Backing disk = DeviceOf(dir.parent_path());
            if (disk.kind == Backing::Kind::Device) out.push_back(disk);
        }
        for (fs::directory_iterator it(dir / "slaves", ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code ec2;
            Backing slave = DeviceOf(fs::canonical(it->path(), ec2));
            if (!ec2 && slave.kind == Backing::Kind::Device) out.push_back(slave);
        }
        if (fs::exists(dir / "loop", ec)) out.push_back(LoopBacking(dev, dir));
        return out;
    }

    // A loop device's backing: its file (by device and inode, from the
    // kernel when the device can be asked, else from the path sysfs names)
    // or its block device.
    static Backing LoopBacking(dev_t dev, const fs::path& dir) {
        std::string path = ReadFirstLine(dir / "loop/backing_file");
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        Backing b = OfPath(path);
        if (b.kind == Backing::Kind::Device) return b;
        // The kernel's own record survives a rename or an unlink of the file.
        const std::string node = "/dev/" + dir.filename().string();
        const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            struct stat st {};
            loop_info64 info {};
            if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev &&
                ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
                // The kernel's encoding of a device number: minor's low byte, major, minor's high bits.
                const uint64_t d = info.lo_device;
                b.kind = Backing::Kind::File;
                b.dev = makedev(static_cast<unsigned>((d >> 8) & 0xfff),
                                static_cast<unsigned>((d & 0xff) | ((d >> 12) & 0xfff00)));
                b.ino = static_cast<ino_t>(info.lo_inode);
            }
            ::close(fd);
        }
        if (b.kind == Backing::Kind::Unknown) b.name = node + " (backed by the missing file " + path + ")";
        return b;
    }

    std::string m_sysRoot;
    std::vector<MountEntry> m_mounts;
};

}  // namespace

std::vector<MountEntry> ParseMountTable(std::string_view text) {
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
    std::vector<MountEntry> out;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::vector<std::string> f;
        for (std::string w; in >> w;) f.push_back(w);
        if (f.size() < 9) continue;
        const auto dash = std::find(f.begin() + 6, f.end(), "-");
        if (f.end() - dash < 3) continue;
        MountEntry m;
        if (!ParseDevNumber(f[2], m.device)) continue;
        m.mountPoint = Unescape(f[4]);
        m.type = Unescape(dash[1]);
        m.source = Unescape(dash[2]);
        out.push_back(std::move(m));
    }
    return out;
}

StorageView StorageView::OfThisMachine() {
    StorageView v;
    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream text;
    text << in.rdbuf();
    v.mountTable = text.str();
    v.sysRoot = "/sys";
    return v;
}

DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize) {
    return CheckDestination(destination, sourcePath, totalSize, StorageView::OfThisMachine());
}

DestinationCheck CheckDestination(const std::string& destination, const std::string& sourcePath, uint64_t totalSize,
                                  const StorageView& view) {
    DestinationCheck r;
    std::string d = destination;
    while (!d.empty() && (d.back() == ' ' || d.back() == '\t')) d.pop_back();
    while (!d.empty() && (d.front() == ' ' || d.front() == '\t')) d.erase(d.begin());
    if (d.empty()) {
        r.status = Status(StatusCode::InvalidArgument, "no destination folder given");
        return r;
    }
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(d, ec).lexically_normal();
    r.folder = abs.string();
    while (r.folder.size() > 1 && r.folder.back() == '/') r.folder.pop_back();

    // Judge a destination that does not exist yet by its nearest existing parent.
    std::filesystem::path existing = abs;
    struct stat dst {};
    while (::stat(existing.c_str(), &dst) != 0) {
        if (!existing.has_parent_path() || existing.parent_path() == existing) {
            r.status = Status(StatusCode::NotFound, "the destination " + r.folder + " cannot be reached");
            return r;
        }
        existing = existing.parent_path();
    }
    if (!S_ISDIR(dst.st_mode)) {
        r.status = Status(StatusCode::InvalidArgument, "the destination " + existing.string() + " is not a folder");
        return r;
    }

    // What a write into the destination can reach, and what the source is stored on.
    const Storage storage(view);
    const std::vector<Backing> top = storage.Resolve(Storage::FileSystem(dst.st_dev));
    const std::vector<Backing> written = storage.Below(top, true);
    Backing source = sourcePath.empty() ? Backing() : Storage::OfPath(sourcePath);
    if (source.kind == Backing::Kind::Device || source.kind == Backing::Kind::File) {
        const std::vector<Backing> read = storage.Below({source}, false);
        const bool onSource = Contains(written, source);
        const auto holder = std::find_if(top.begin(), top.end(), [&](const Backing& t) { return Contains(read, t); });
        if (onSource || holder != top.end()) {
            const bool image = source.kind == Backing::Kind::File;
            const std::string what = image ? "the image being recovered" : "the device being recovered";
            const Backing& t = onSource ? top.front() : *holder;
            const std::string on = t.kind == Backing::Kind::File ? "a mount of " + t.name : storage.DeviceName(t.dev);
            std::string where;
            if (t.Same(source))
                where = image ? "a mount of " + what : what;
            else if (onSource)
                where = on + (t.kind == Backing::Kind::File ? ", which is stored on " : ", which is backed by ") + what;
            else
                where = on + (t.kind == Backing::Kind::File ? ", which backs " : ", which holds ") + what;
            r.status = Status(StatusCode::InvalidArgument, "the destination " + r.folder + " lies on " + where +
                                                               " (the source " + sourcePath +
                                                               "); choose a folder on another drive");
            return r;
        }
    }
    const auto unknown = std::find_if(written.begin(), written.end(),
                                      [](const Backing& b) { return b.kind == Backing::Kind::Unknown; });
    if (unknown != written.end()) {
        r.backingUnknown = true;
        r.backingMessage = "the destination " + r.folder + " lies on " + unknown->name +
                           ", which names no file or device behind it: it may be the source (" + sourcePath + ")";
    }

    struct statvfs vfs {};
    if (::statvfs(existing.c_str(), &vfs) == 0) r.freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    r.tooSmall = r.freeBytes != 0 && totalSize > r.freeBytes;
    return r;
}

Status PrepareDestination(const std::string& folder, std::vector<std::string>* created) {
    std::error_code ec;
    if (created) {
        // The folders missing now, deepest first: the ones this call makes.
        created->clear();
        for (std::filesystem::path p = std::filesystem::path(folder).lexically_normal();
             !p.empty() && p != p.root_path() && !std::filesystem::exists(std::filesystem::symlink_status(p, ec));
             p = p.parent_path()) {
            if (p.filename().empty()) continue;  // a trailing "/"
            created->push_back(p.string());
        }
    }
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        return Status(StatusCode::WriteError, "cannot create the destination " + folder + ": " + ec.message());
    }
    if (!std::filesystem::is_directory(folder, ec)) {
        return Status(StatusCode::InvalidArgument, "the destination " + folder + " is not a folder");
    }
    // A probe file, removed at once: the only sure test of writability.
    std::string probe = folder + "/.quarlix-probe-XXXXXX";
    int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        return ErrnoStatus(StatusCode::WriteError, "cannot write into the destination " + folder, errno);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return Status::Ok();
}

void RemoveEmptyCreatedFolders(const std::vector<std::string>& created) {
    // rmdir removes only an empty folder and never follows a link.
    for (const std::string& folder : created)
        if (::rmdir(folder.c_str()) != 0) break;
}
