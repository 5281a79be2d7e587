#include "platform/ProtectedSources.h"

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/ByteSource.h"

namespace {

struct ProtectedSource {
    dev_t dev;
    ino_t ino;
    dev_t rdev;  // block devices: the device itself
    bool block;
    uint32_t users;  // open sources naming this file
};
std::mutex g_protectedLock;
std::vector<ProtectedSource> g_protected;

}  // namespace

bool IsProtectedSource(const struct stat& st) {
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (const auto& p : g_protected) {
        if (p.dev == st.st_dev && p.ino == st.st_ino) return true;
        if (p.block && S_ISBLK(st.st_mode) && st.st_rdev == p.rdev) return true;
    }
    return false;
}

namespace {

void ProtectStat(const struct stat& st) {
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (auto& p : g_protected)
        if (p.dev == st.st_dev && p.ino == st.st_ino) {
            ++p.users;
            return;
        }
    g_protected.push_back({st.st_dev, st.st_ino, st.st_rdev, S_ISBLK(st.st_mode), 1});
}

void ReleaseStat(const struct stat& st) {
    std::lock_guard<std::mutex> g(g_protectedLock);
    for (auto it = g_protected.begin(); it != g_protected.end(); ++it)
        if (it->dev == st.st_dev && it->ino == st.st_ino) {
            if (--it->users == 0) g_protected.erase(it);
            return;
        }
}

void ProtectSourceFile(int fd) {
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) ProtectStat(st);
}

void ReleaseSourceFile(int fd) {
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0) ReleaseStat(st);
}

}  // namespace

void ProtectSourceFiles(const CByteSource& source) {
    if (source.NativeHandle() >= 0) return ProtectSourceFile(source.NativeHandle());
    for (const auto& f : source.Files()) {
        struct stat st {};
        if (::stat(f.c_str(), &st) == 0) ProtectStat(st);
    }
}

void ReleaseSourceFiles(const CByteSource& source) {
    if (source.NativeHandle() >= 0) return ReleaseSourceFile(source.NativeHandle());
    for (const auto& f : source.Files()) {
        struct stat st {};
        if (::stat(f.c_str(), &st) == 0) ReleaseStat(st);
    }
}

