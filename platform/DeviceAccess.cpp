#include "platform/DeviceAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace {

std::mutex g_lock;
std::map<std::string, int>& Descriptors() {
    static std::map<std::string, int> d;
    return d;
}

}  // namespace

bool RegisterDeviceDescriptor(const std::string& path, int fd) {
    if (fd < 0) return false;
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) != O_RDONLY || fstat(fd, &st) != 0 ||
        !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) {
        ::close(fd);
        return false;
    }
    std::lock_guard<std::mutex> g(g_lock);
    auto [it, added] = Descriptors().emplace(path, fd);
    if (!added) {
        ::close(it->second);
        it->second = fd;
    }
    return true;
}

int DuplicateDeviceDescriptor(const std::string& path) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Descriptors().find(path);
    return it == Descriptors().end() ? -1 : fcntl(it->second, F_DUPFD_CLOEXEC, 0);
}

void ForgetDeviceDescriptor(const std::string& path) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Descriptors().find(path);
    if (it == Descriptors().end()) return;
    ::close(it->second);
    Descriptors().erase(it);
}
