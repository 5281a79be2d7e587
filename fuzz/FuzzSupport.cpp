#include "FuzzSupport.h"

#include "platform/ByteSource.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

void FuzzFail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::abort();
}

CFuzzFile::CFuzzFile(const char* name) {
    m_fd = memfd_create(name, MFD_CLOEXEC);
    if (m_fd < 0) FuzzFail(__FILE__, __LINE__, "memfd_create");
    m_path = "/proc/self/fd/" + std::to_string(m_fd);
}

CFuzzFile::~CFuzzFile() {
    if (m_fd >= 0) close(m_fd);
}

void CFuzzFile::Write(const uint8_t* data, size_t size) {
    if (ftruncate(m_fd, 0) != 0) FuzzFail(__FILE__, __LINE__, "ftruncate");
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) FuzzFail(__FILE__, __LINE__, "pwrite");
        done += static_cast<size_t>(n);
    }
}

std::shared_ptr<CByteSource> CFuzzFile::Source() const {
    ByteSourceError error;
    return OpenByteSource(m_path, error);
}

const std::string& SampleImagePath(const char* name) {
    static std::map<std::string, std::unique_ptr<CFuzzFile>> files;
    auto it = files.find(name);
    if (it != files.end()) return it->second->Path();
    const char* dir = std::getenv("QUARLIX_SOURCE_DIR");
    std::string path = std::string(dir ? dir : QUARLIX_FUZZ_SOURCE_DIR) + "/samples/" + name + ".img.gz";
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) {
        std::fprintf(stderr, "cannot open %s (set QUARLIX_SOURCE_DIR)\n", path.c_str());
        std::abort();
    }
    std::vector<uint8_t> bytes;
    uint8_t block[1 << 16];
    int n;
    while ((n = gzread(gz, block, sizeof block)) > 0) bytes.insert(bytes.end(), block, block + n);
    gzclose(gz);
    auto file = std::make_unique<CFuzzFile>(name);
    file->Write(bytes.data(), bytes.size());
    return files.emplace(name, std::move(file)).first->second->Path();
}

namespace {

struct ScratchFolder {
    std::string path;
    ScratchFolder() {
        std::error_code ec;
        std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
        path = base + "/quarlix-fuzz-" + std::to_string(getpid());
        std::filesystem::create_directories(path, ec);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

void CheckProbeAgreesWithOpen(ProbeResult (*probe)(const BootSource&), const std::shared_ptr<CByteSource>& source,
                              bool opened, const std::string& initError) {
    // An input that names a container format the source layer refuses opens as nothing.
    if (!source) {
        FUZZ_CHECK(!opened);
        return;
    }
    const BootSource boot {[&](uint64_t offset, void* buffer, size_t size) { return source->ReadAt(offset, buffer, size); },
                           source->Size()};
    const ProbeResult said = probe(boot);
    if (opened) FUZZ_CHECK(said.answer == ProbeAnswer::Yes);
    if (said.answer == ProbeAnswer::Damaged) FUZZ_CHECK(!opened && said.reason == initError);
    if (said.answer == ProbeAnswer::No) FUZZ_CHECK(!opened && initError.empty());
}

const std::string& FuzzScratchFolder() {
    static ScratchFolder folder;
    return folder.path;
}
