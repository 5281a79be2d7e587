// A real failing device for tests: nbdkit serves an image through its
// ddrescue filter, which fails every read of the ranges its map marks bad
// with EIO, and nbdfuse exposes it as a file (read through the kernel, as a
// disk is). nbdkit's log filter records every request, so a test can count
// what the device was asked. Started by the constructor, stopped by the
// destructor.
#pragma once

#include <gtest/gtest.h>

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
    FailingDevice(const TempDir& dir, const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& bad,
                  const std::string& readDelay = "", const std::string& name = "device")
        : m_mount(dir.file(name)), m_log(dir.file(name + "-nbdkit.log")) {
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
        const std::string delay = readDelay.empty() ? "" : " --filter=delay";
        const std::string delayArg = readDelay.empty() ? "" : " rdelay=" + readDelay;
        m_pid = MustRun("nbdfuse " + Quote(m_mount) + " --command nbdkit -s --filter=log --filter=ddrescue" + delay +
                        " file " + Quote(image) + " ddrescue-mapfile=" + Quote(mapFile) + " logfile=" + Quote(m_log) +
                        delayArg + " >" + Quote(dir.file(name + "-nbdfuse.err")) + " 2>&1 & echo $!");
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
    // Reads the device failed so far.
    int FailedReads() const {
        return std::stoi(Run("grep -c 'Read.*error=' " + Quote(m_log) + " || true").out);
    }

private:
    std::string m_mount, m_log, m_pid;
};

}  // namespace testutil
