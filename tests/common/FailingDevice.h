// A real failing device for tests: nbdkit serves an image through its
// ddrescue filter, which fails every read of the ranges its map marks bad
// with EIO, and nbdfuse exposes it as a file (read through the kernel, as a
// disk is). nbdkit's log filter records every request, so a test can count
// what the device was asked. Started by the constructor, stopped by the
// destructor.
//
// A device that can die: with dies, nbdkit's error filter fails every read
// once Die() has made its trigger file (as a device that went away), and
// its delay filter slows every request so that a job is mid-way when it dies.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/TestUtil.h"

namespace testutil {

class FailingDevice {
public:
    // False (with the reason) when nbdkit, nbdfuse or FUSE is missing.
    static bool Available(std::string& why) {
        for (const char* tool : {"nbdkit", "nbdfuse", "fusermount3"})
            if (!HaveTool(tool)) {
                why = std::string(tool) + " is not installed (nbdkit, libnbd-bin, fuse3)";
                return false;
            }
        if (!std::filesystem::exists("/dev/fuse")) {
            why = "/dev/fuse is missing: FUSE is not available here";
            return false;
        }
        return true;
    }

    // Serves image with the byte ranges bad ({offset, length}, sorted, apart);
    // with readDelay ("20ms") every read request waits that long (nbdkit's
    // delay filter): a slow disk. name tells apart the devices of one folder.
    // With dies, a device that Die() ends.
    FailingDevice(const TempDir& dir, const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& bad,
                  const std::string& readDelay = "", const std::string& name = "device", bool dies = false)
        : m_mount(dir.file(name)), m_log(dir.file(name + "-nbdkit.log")), m_trigger(dir.file(name + ".dead")) {
        const uint64_t size = std::filesystem::file_size(image);
        std::string map = "# Mapfile\n0x0 +\n";
        uint64_t at = 0;
        char line[96];
        auto add = [&](uint64_t from, uint64_t length, char status) {
            if (length == 0) return;
            std::snprintf(line, sizeof line, "0x%llx 0x%llx %c\n", static_cast<unsigned long long>(from),
                          static_cast<unsigned long long>(length), status);
            map += line;
        };
        for (const auto& [offset, length] : bad) {
            add(at, offset - at, '+');
            add(offset, length, '-');
            at = offset + length;
        }
        add(at, size - at, '+');
        const std::string mapFile = dir.file(name + ".map");
        WriteFileBytes(mapFile, std::vector<uint8_t>(map.begin(), map.end()));
        std::filesystem::create_directories(m_mount);
        std::string filters = "--filter=log", args;
        if (!readDelay.empty()) {
            filters += " --filter=delay";
            args += " delay-read=" + readDelay;
        }
        if (dies) {
            filters += " --filter=error";
            args += " error=EIO error-rate=100% error-file=" + Quote(m_trigger);
        }
        m_pid = MustRun("nbdfuse " + Quote(m_mount) + " --command nbdkit -s " + filters + " --filter=ddrescue file " +
                        Quote(image) + " ddrescue-mapfile=" + Quote(mapFile) + " logfile=" + Quote(m_log) + args +
                        " >" + Quote(dir.file(name + "-nbdfuse.err")) + " 2>&1 & echo $!");
        while (!m_pid.empty() && (m_pid.back() == '\n' || m_pid.back() == ' ')) m_pid.pop_back();
        for (int i = 0; i < 200 && !std::filesystem::exists(Path()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FailingDevice() {
        Run("fusermount3 -u " + Quote(m_mount) + " 2>&1");
        if (!m_pid.empty())
            Run("for i in $(seq 100); do kill -0 " + m_pid + " 2>/dev/null || break; sleep 0.05; done; kill " + m_pid +
                " 2>/dev/null");
    }
    FailingDevice(const FailingDevice&) = delete;
    FailingDevice& operator=(const FailingDevice&) = delete;

    // The device file; it exists once the device serves.
    std::string Path() const { return m_mount + "/nbd"; }
    bool Ready() const { return std::filesystem::exists(Path()); }
    // Drops the device's pages from the page cache, so that reads ask the
    // device again (what a job read once stays cached otherwise).
    void DropCache() const {
        const int fd = ::open(Path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
    // From now on every read of the device fails (one built with dies).
    void Die() const {
        WriteFileBytes(m_trigger, {});
        DropCache();
    }
    // Reads the device failed so far.
    int FailedReads() const {
        return std::stoi(Run("grep -c 'Read.*error=' " + Quote(m_log) + " || true").out);
    }

private:
    std::string m_mount, m_log, m_trigger, m_pid;
};

}  // namespace testutil
