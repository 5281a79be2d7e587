// Image containers read through their libraries: Expert Witness (libewf),
// VHD and VHDX (libvhdi), VMDK (libvmdk), QCOW (libqcow). Each source holds
// one library handle, opened read-only, and serialises its calls to it.
#include "platform/ByteSource.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The innermost line of a library's error backtrace (where it went wrong)
// without its function-name prefix and final period; frees the error.
template <typename Error>
std::string TakeErrorText(Error*& error, int (*backtrace)(Error*, char*, size_t), void (*release)(Error**)) {
    if (error == nullptr) return "unknown error";
    char text[4096] = {};
    backtrace(error, text, sizeof(text) - 1);
    release(&error);
    error = nullptr;
    std::string line(text, strnlen(text, sizeof(text)));
    line = line.substr(0, line.find('\n'));
    if (size_t colon = line.find(": "); colon != std::string::npos && line.find(' ') > colon)
        line = line.substr(colon + 2);
    while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line.empty() ? "unknown error" : line;
}

std::string EwfText(libewf_error_t*& e) {
    return TakeErrorText(e, libewf_error_backtrace_sprint, libewf_error_free);
}
std::string VhdiText(libvhdi_error_t*& e) {
    return TakeErrorText(e, libvhdi_error_backtrace_sprint, libvhdi_error_free);
}
std::string VmdkText(libvmdk_error_t*& e) {
    return TakeErrorText(e, libvmdk_error_backtrace_sprint, libvmdk_error_free);
}
std::string QcowText(libqcow_error_t*& e) {
    return TakeErrorText(e, libqcow_error_backtrace_sprint, libqcow_error_free);
}

// A library's NUL-terminated UTF-8 string.
std::string CText(const std::vector<uint8_t>& text) {
    return std::string(reinterpret_cast<const char*>(text.data()),
                       strnlen(reinterpret_cast<const char*>(text.data()), text.size()));
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t Le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// A VHD footer: the cookie, the format version 1.0, a known disk type and a
// checksum that adds up (the one's complement of the byte sum without it).
bool IsVhdFooter(const uint8_t* p) {
    if (std::memcmp(p, "conectix", 8) != 0 || Be32(p + 12) != 0x00010000) return false;
    uint32_t diskType = Be32(p + 60);
    if (diskType < 2 || diskType > 4) return false;
    uint32_t sum = 0;
    for (int i = 0; i < 512; ++i)
        if (i < 64 || i >= 68) sum += p[i];
    return Be32(p + 64) == ~sum;
}

std::string Prefix(const std::string& kind, const std::string& path) {
    return "cannot read the " + kind + " image " + path + ": ";
}

void Fail(ByteSourceError& error, const std::string& kind, const std::string& path, const std::string& why) {
    error.errnoValue = 0;
    error.message = Prefix(kind, path) + why;
}

// The library read loop shared by the sources: fills the buffer until the
// medium ends; -1 with errno EIO when the library reports an error.
template <typename Read>
int64_t ReadLoop(uint64_t offset, void* buffer, size_t size, Read read) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(out + done, size - done, static_cast<off64_t>(offset + done));
        if (got < 0) {
            errno = EIO;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

// Closes (when it was opened) and frees a library handle; errors are of no use here.
template <typename Handle, typename Error>
void FreeHandle(Handle*& handle, bool opened, int (*close)(Handle*, Error**), int (*release)(Handle**, Error**),
                void (*errorFree)(Error**)) {
    if (handle == nullptr) return;
    Error* e = nullptr;
    if (opened) close(handle, &e);
    if (e != nullptr) errorFree(&e);
    release(&handle, &e);
    if (e != nullptr) errorFree(&e);
}

// One read through a library handle under its lock: every library here
// reads with the same shape of call (handle, buffer, size, offset, error).
template <typename Handle, typename Error>
int64_t LibraryRead(std::mutex& lock, Handle* handle, uint64_t offset, void* buffer, size_t size,
                    ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**), void (*release)(Error**)) {
    std::lock_guard guard(lock);
    return ReadLoop(offset, buffer, size, [&](void* out, size_t n, off64_t at) {
        Error* e = nullptr;
        ssize_t got = read(handle, out, n, at, &e);
        if (e != nullptr) release(&e);
        return got;
    });
}

// ---------------------------------------------------------------------------
// Expert Witness (E01)

// The segment file that follows name in the EWF naming (.E01 ... .E99, .EAA
// ... .EZZ, .FAA ... .ZZZ; likewise .s01 and .L01), or "" when name is not
// named so.
std::string NextSegmentName(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 4) return "";
    std::string ext = name.substr(dot + 1);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!std::isalpha(static_cast<unsigned char>(ext[0]))) return "";
    char a = std::isupper(static_cast<unsigned char>(ext[0])) ? 'A' : 'a';
    if (digit(ext[1]) && digit(ext[2])) {
        int n = (ext[1] - '0') * 10 + (ext[2] - '0') + 1;
        if (n <= 99) {
            ext[1] = char('0' + n / 10);
            ext[2] = char('0' + n % 10);
        } else {
            ext[1] = ext[2] = a;
        }
    } else {
        for (int i = 2; i >= 0; --i) {
            if (!std::isalpha(static_cast<unsigned char>(ext[i]))) return "";
            if (std::toupper(static_cast<unsigned char>(ext[i])) != 'Z') {
                ext[i] = char(ext[i] + 1);
                break;
            }
            if (i == 0) return "";
            ext[i] = a;
        }
    }
    return name.substr(0, dot + 1) + ext;
}

// Names what libewf found wrong with a segment set it reported corrupted:
// walks the section chain of each EWF1 segment file (a 13-byte file header,
// then 76-byte section descriptors each giving the next one's offset, the
// last "next" or "done"). A chain that runs past the end of its file is a
// truncated segment; a set whose last file ends in "next" lacks the segment
// after it.
std::string DescribeEwfDamage(const std::vector<std::string>& segments) {
    static const uint8_t kSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
    static const uint8_t kLogical[8] = {'L', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
    std::string lastSection;
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::string& name = segments[i];
        std::ifstream in(name, std::ios::binary);
        std::error_code ec;
        uint64_t fileSize = std::filesystem::file_size(name, ec);
        uint8_t header[13] = {};
        if (!in || ec || !in.read(reinterpret_cast<char*>(header), sizeof(header)))
            return "segment file " + name + " is truncated";
        if (std::memcmp(header, kSignature, 8) != 0 && std::memcmp(header, kLogical, 8) != 0)
            return "segment file " + name + " is not an EWF segment file";
        unsigned number = header[9] | (header[10] << 8);
        if (number != i + 1)
            return "segment file " + name + " is segment " + std::to_string(number) + " of the set, not " +
                   std::to_string(i + 1);
        uint64_t offset = sizeof(header);
        lastSection.clear();
        for (int guard = 0; guard < 1000000; ++guard) {
            uint8_t section[76] = {};
            if (offset + sizeof(section) > fileSize || !in.seekg(static_cast<std::streamoff>(offset)) ||
                !in.read(reinterpret_cast<char*>(section), sizeof(section)))
                return "segment file " + name + " is truncated";
            const char* type = reinterpret_cast<const char*>(section);
            lastSection.assign(type, strnlen(type, 16));
            uint64_t next = Le64(section + 16);
            if (lastSection == "next" || lastSection == "done") break;
            if (next <= offset) return "segment file " + name + " is damaged";
            offset = next;
        }
    }
    if (!segments.empty() && lastSection == "next") {
        std::string missing = NextSegmentName(segments.back());
        if (!missing.empty()) return "segment file " + missing + " is missing";
        return "the segment file after " + segments.back() + " is missing";
    }
    return "";
}

// An E01 set read through libewf. Inflating and checksumming its chunks is
// most of the cost of a read, so a large read is split at a chunk boundary
// between two handles on the same files (a handle is not shared between
// threads), and its two halves are inflated on two cores at once.
class CEwfSource final : public CByteSource {
public:
    // Reads at least this large are split between the handles.
    static constexpr size_t kSplitRead = 256 << 10;

    explicit CEwfSource(const std::string& path) : CByteSource(path, SourceMedium::Container, "E01") {}
    ~CEwfSource() override {
        for (Lane& lane : m_lanes) Close(lane);
    }

    bool Open(ByteSourceError& error) {
        const std::string& path = Name();
        libewf_error_t* e = nullptr;
        char** names = nullptr;
        int count = 0;
        if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1) {
            Fail(error, "E01", path, EwfText(e));
            return false;
        }
        for (int i = 0; i < count; ++i) m_files.emplace_back(names[i]);
        if (names != nullptr) {
            libewf_glob_free(names, count, &e);
            if (e != nullptr) libewf_error_free(&e);
        }
        if (m_files.empty()) {
            Fail(error, "E01", path, "no segment files were found");
            return false;
        }
        Lane& lane = m_lanes[0];
        if (!OpenLane(lane, e)) {
            std::string why = DescribeEwfDamage(m_files);
            Fail(error, "E01", path, why.empty() ? "it is damaged or truncated: " + EwfText(e) : why);
            if (e != nullptr) libewf_error_free(&e);
            return false;
        }
        // This libewf opens a set with a missing or cut-short segment and
        // then reads zeros for the lost chunks: refuse it here instead.
        int corrupted = libewf_handle_segment_files_corrupted(lane.handle, &e);
        if (corrupted != 0) {
            std::string why = corrupted < 0 ? EwfText(e) : DescribeEwfDamage(m_files);
            Fail(error, "E01", path,
                 why.empty() ? "it is damaged or truncated (a segment file is incomplete or missing)" : why);
            return false;
        }
        size64_t mediaSize = 0;
        if (libewf_handle_get_media_size(lane.handle, &mediaSize, &e) != 1) {
            Fail(error, "E01", path, EwfText(e));
            return false;
        }
        m_size = mediaSize;
        size32_t chunk = 0;
        if (libewf_handle_get_chunk_size(lane.handle, &chunk, &e) == 1 && chunk > 0) m_chunkSize = chunk;
        if (e != nullptr) libewf_error_free(&e);
        // The second handle only where a second core can inflate; without it
        // every read takes the first.
        if (std::thread::hardware_concurrency() > 1 && !OpenLane(m_lanes[1], e) && e != nullptr) libewf_error_free(&e);
        return true;
    }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        auto* out = static_cast<uint8_t*>(buffer);
        if (size < kSplitRead || !m_lanes[1].opened) return ReadLane(m_lanes[0], offset, out, size);
        uint64_t middle = offset + size / 2;
        middle -= middle % m_chunkSize;
        if (middle <= offset) middle = offset + size / 2;
        const size_t first = static_cast<size_t>(middle - offset);
        int64_t second = -1;
        int secondErrno = 0;
        std::thread other([&] {
            second = ReadLane(m_lanes[1], middle, out + first, size - first);
            secondErrno = errno;
        });
        const int64_t got = ReadLane(m_lanes[0], offset, out, first);
        const int firstErrno = errno;
        other.join();
        if (got != static_cast<int64_t>(first)) {
            errno = firstErrno;
            return got;
        }
        if (second < 0) {
            errno = secondErrno;
            return got;  // the bytes before the failed half
        }
        return got + second;
    }

private:
    struct Lane {
        std::mutex lock;
        libewf_handle_t* handle = nullptr;
        bool opened = false;
    };

    bool OpenLane(Lane& lane, libewf_error_t*& e) {
        std::vector<char*> argv;
        for (auto& f : m_files) argv.push_back(f.data());
        if (libewf_handle_initialize(&lane.handle, &e) != 1) return false;
        if (libewf_handle_open(lane.handle, argv.data(), static_cast<int>(argv.size()), LIBEWF_OPEN_READ, &e) != 1)
            return false;
        lane.opened = true;
        return true;
    }

    static void Close(Lane& lane) {
        FreeHandle(lane.handle, lane.opened, libewf_handle_close, libewf_handle_free, libewf_error_free);
    }

    static int64_t ReadLane(Lane& lane, uint64_t offset, uint8_t* out, size_t size) {
        return LibraryRead(lane.lock, lane.handle, offset, out, size, libewf_handle_read_random, libewf_error_free);
    }

    Lane m_lanes[2];
    uint64_t m_chunkSize = 32768;
};

// ---------------------------------------------------------------------------
// VHD and VHDX

class CVhdiSource final : public CByteSource {
public:
    CVhdiSource(const std::string& path, const std::string& kind)
        : CByteSource(path, SourceMedium::Container, kind) {
        m_files.push_back(path);
    }
    ~CVhdiSource() override {
        FreeHandle(m_file, m_opened, libvhdi_file_close, libvhdi_file_free, libvhdi_error_free);
    }

    bool Open(ByteSourceError& error) {
        const std::string& path = Name();
        libvhdi_error_t* e = nullptr;
        if (libvhdi_file_initialize(&m_file, &e) != 1) {
            Fail(error, Kind(), path, VhdiText(e));
            return false;
        }
        if (libvhdi_file_open(m_file, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1) {
            Fail(error, Kind(), path, "it is damaged or truncated: " + VhdiText(e));
            return false;
        }
        m_opened = true;
        uint32_t diskType = 0;
        if (libvhdi_file_get_disk_type(m_file, &diskType, &e) != 1) {
            Fail(error, Kind(), path, VhdiText(e));
            return false;
        }
        if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            std::string parent;
            size_t parentSize = 0;
            if (libvhdi_file_get_utf8_parent_filename_size(m_file, &parentSize, &e) == 1 && parentSize > 1) {
                std::vector<uint8_t> text(parentSize);
                if (libvhdi_file_get_utf8_parent_filename(m_file, text.data(), text.size(), &e) == 1)
                    parent = CText(text);
            }
            if (e != nullptr) libvhdi_error_free(&e);
            Fail(error, Kind(), path,
                 "it is a differencing image that holds only the changes to its parent " +
                     (parent.empty() ? std::string("image") : parent) + "; open a full image instead");
            return false;
        }
        size64_t mediaSize = 0;
        if (libvhdi_file_get_media_size(m_file, &mediaSize, &e) != 1) {
            Fail(error, Kind(), path, VhdiText(e));
            return false;
        }
        m_size = mediaSize;
        return true;
    }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        return LibraryRead(m_lock, m_file, offset, buffer, size, libvhdi_file_read_buffer_at_offset, libvhdi_error_free);
    }

private:
    std::mutex m_lock;
    libvhdi_file_t* m_file = nullptr;
    bool m_opened = false;
};

// ---------------------------------------------------------------------------
// VMDK

class CVmdkSource final : public CByteSource {
public:
    explicit CVmdkSource(const std::string& path) : CByteSource(path, SourceMedium::Container, "VMDK") {
        m_files.push_back(path);
    }
    ~CVmdkSource() override {
        FreeHandle(m_handle, m_opened, libvmdk_handle_close, libvmdk_handle_free, libvmdk_error_free);
    }

    bool Open(ByteSourceError& error) {
        const std::string& path = Name();
        libvmdk_error_t* e = nullptr;
        if (libvmdk_handle_initialize(&m_handle, &e) != 1) {
            Fail(error, "VMDK", path, VmdkText(e));
            return false;
        }
        if (libvmdk_handle_open(m_handle, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1) {
            Fail(error, "VMDK", path, "it is damaged or truncated: " + VmdkText(e));
            return false;
        }
        m_opened = true;
        size_t parentSize = 0;
        int hasParent = libvmdk_handle_get_utf8_parent_filename_size(m_handle, &parentSize, &e);
        if (e != nullptr) libvmdk_error_free(&e);
        if (hasParent == 1 && parentSize > 1) {
            std::vector<uint8_t> text(parentSize);
            std::string parent = "image";
            if (libvmdk_handle_get_utf8_parent_filename(m_handle, text.data(), text.size(), &e) == 1)
                parent = CText(text);
            if (e != nullptr) libvmdk_error_free(&e);
            Fail(error, "VMDK", path,
                 "it is a differencing image that holds only the changes to its parent " + parent +
                     "; open a full image instead");
            return false;
        }
        // The extent files, found beside the descriptor unless named with a
        // full path: a missing one is named here, before libvmdk fails on it.
        std::filesystem::path folder = std::filesystem::path(path).parent_path();
        int extents = 0;
        if (libvmdk_handle_get_number_of_extents(m_handle, &extents, &e) != 1) {
            Fail(error, "VMDK", path, VmdkText(e));
            return false;
        }
        for (int i = 0; i < extents; ++i) {
            libvmdk_extent_descriptor_t* extent = nullptr;
            if (libvmdk_handle_get_extent_descriptor(m_handle, i, &extent, &e) != 1) {
                Fail(error, "VMDK", path, VmdkText(e));
                return false;
            }
            std::string name;
            size_t nameSize = 0;
            if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &nameSize, &e) == 1 && nameSize > 1) {
                std::vector<uint8_t> text(nameSize);
                if (libvmdk_extent_descriptor_get_utf8_filename(extent, text.data(), text.size(), &e) == 1)
                    name = CText(text);
            }
            if (e != nullptr) libvmdk_error_free(&e);
            libvmdk_extent_descriptor_free(&extent, &e);
            if (e != nullptr) libvmdk_error_free(&e);
            if (name.empty()) continue;  // a zero extent, or none named
            std::filesystem::path file(name);
            if (file.is_relative()) file = folder / file;
            std::error_code ec;
            if (!std::filesystem::exists(file, ec)) {
                Fail(error, "VMDK", path, "extent file " + file.string() + " is missing");
                return false;
            }
            if (std::find(m_files.begin(), m_files.end(), file.string()) == m_files.end())
                m_files.push_back(file.string());
        }
        if (libvmdk_handle_open_extent_data_files(m_handle, &e) != 1) {
            Fail(error, "VMDK", path, "an extent file is missing or damaged: " + VmdkText(e));
            return false;
        }
        size64_t mediaSize = 0;
        if (libvmdk_handle_get_media_size(m_handle, &mediaSize, &e) != 1) {
            Fail(error, "VMDK", path, VmdkText(e));
            return false;
        }
        m_size = mediaSize;
        return true;
    }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        return LibraryRead(m_lock, m_handle, offset, buffer, size, libvmdk_handle_read_buffer_at_offset, libvmdk_error_free);
    }

private:
    std::mutex m_lock;
    libvmdk_handle_t* m_handle = nullptr;
    bool m_opened = false;
};

// ---------------------------------------------------------------------------
// QCOW (versions 1, 2 and 3)

// Checks that every data cluster a QCOW image maps lies wholly inside the
// file. libqcow reads a cluster cut short by the end of the file past the
// end of its own buffer, so a truncated image is refused before any read.
// Returns "" when the mapping fits, else why not.
std::string CheckQcowClusters(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    uint64_t fileSize = std::filesystem::file_size(path, ec);
    uint8_t header[104] = {};
    if (!in || ec || !in.read(reinterpret_cast<char*>(header), 48)) return "the file is truncated";
    auto be64 = [](const uint8_t* p) { return (uint64_t(Be32(p)) << 32) | Be32(p + 4); };
    uint32_t version = Be32(header + 4);
    uint64_t mediaSize = be64(header + 24);
    uint32_t clusterBits = 0, l2Bits = 0;
    uint64_t l1Entries = 0, l1Offset = be64(header + 40);
    uint64_t offsetMask = 0, compressedBit = 0;
    if (version == 1) {
        clusterBits = header[32];
        l2Bits = header[33];
        if (clusterBits < 9 || clusterBits > 21 || l2Bits < 6 || l2Bits > 21) return "";
        uint64_t span = uint64_t(1) << (clusterBits + l2Bits);
        l1Entries = mediaSize / span + (mediaSize % span != 0);
        offsetMask = (uint64_t(1) << 63) - 1;
        compressedBit = uint64_t(1) << 63;
    } else {
        clusterBits = Be32(header + 20);
        if (clusterBits < 9 || clusterBits > 21) return "";
        if (version >= 3) {
            if (!in.seekg(72) || !in.read(reinterpret_cast<char*>(header + 72), 8)) return "the file is truncated";
            if (be64(header + 72) & 0x10) return "";  // extended L2 entries: left to the library
        }
        l2Bits = clusterBits - 3;
        l1Entries = Be32(header + 36);
        offsetMask = 0x00fffffffffffe00ULL;
        compressedBit = uint64_t(1) << 62;
    }
    const uint64_t clusterSize = uint64_t(1) << clusterBits;
    if (l1Entries > (fileSize / 8) + 1 || l1Offset > fileSize || l1Entries * 8 > fileSize - l1Offset)
        return "its cluster table lies past the end of the file";
    std::vector<uint8_t> l1(l1Entries * 8);
    if (!in.seekg(static_cast<std::streamoff>(l1Offset)) || !in.read(reinterpret_cast<char*>(l1.data()), l1.size()))
        return "the file is truncated";
    std::vector<uint8_t> l2((uint64_t(1) << l2Bits) * 8);
    for (uint64_t i = 0; i < l1Entries; ++i) {
        uint64_t l2Offset = be64(&l1[i * 8]) & offsetMask;
        if (l2Offset == 0) continue;
        if (l2Offset > fileSize || l2.size() > fileSize - l2Offset) return "the file is truncated";
        if (!in.seekg(static_cast<std::streamoff>(l2Offset)) || !in.read(reinterpret_cast<char*>(l2.data()), l2.size()))
            return "the file is truncated";
        for (size_t j = 0; j < l2.size(); j += 8) {
            uint64_t entry = be64(&l2[j]);
            if (entry & compressedBit) continue;
            uint64_t offset = entry & offsetMask;
            if (offset != 0 && (offset > fileSize || clusterSize > fileSize - offset))
                return "the file is truncated (a data cluster lies past its end)";
        }
    }
    return "";
}

class CQcowSource final : public CByteSource {
public:
    CQcowSource(const std::string& path, const std::string& kind) : CByteSource(path, SourceMedium::Container, kind) {
        m_files.push_back(path);
    }
    ~CQcowSource() override {
        FreeHandle(m_file, m_opened, libqcow_file_close, libqcow_file_free, libqcow_error_free);
    }

    bool Open(ByteSourceError& error) {
        const std::string& path = Name();
        libqcow_error_t* e = nullptr;
        if (libqcow_file_initialize(&m_file, &e) != 1) {
            Fail(error, Kind(), path, QcowText(e));
            return false;
        }
        if (libqcow_file_open(m_file, path.c_str(), LIBQCOW_OPEN_READ, &e) != 1) {
            Fail(error, Kind(), path, "it is damaged or truncated: " + QcowText(e));
            return false;
        }
        m_opened = true;
        if (std::string why = CheckQcowClusters(path); !why.empty()) {
            Fail(error, Kind(), path, "it is damaged or truncated: " + why);
            return false;
        }
        uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
        if (libqcow_file_get_encryption_method(m_file, &encryption, &e) != 1) {
            Fail(error, Kind(), path, QcowText(e));
            return false;
        }
        if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
            Fail(error, Kind(), path, "it is encrypted, which this program does not read");
            return false;
        }
        size_t backingSize = 0;
        int hasBacking = libqcow_file_get_utf8_backing_filename_size(m_file, &backingSize, &e);
        if (hasBacking < 0) {
            Fail(error, Kind(), path, QcowText(e));
            return false;
        }
        if (hasBacking == 1 && backingSize > 1) {
            std::vector<uint8_t> text(backingSize);
            std::string backing = "image";
            if (libqcow_file_get_utf8_backing_filename(m_file, text.data(), text.size(), &e) == 1)
                backing = CText(text);
            if (e != nullptr) libqcow_error_free(&e);
            Fail(error, Kind(), path,
                 "it holds only the changes to its backing file " + backing + "; open a full image instead");
            return false;
        }
        size64_t mediaSize = 0;
        if (libqcow_file_get_media_size(m_file, &mediaSize, &e) != 1) {
            Fail(error, Kind(), path, QcowText(e));
            return false;
        }
        m_size = mediaSize;
        return true;
    }

protected:
    int64_t ReadMedium(uint64_t offset, void* buffer, size_t size) override {
        return LibraryRead(m_lock, m_file, offset, buffer, size, libqcow_file_read_buffer_at_offset, libqcow_error_free);
    }

private:
    std::mutex m_lock;
    libqcow_file_t* m_file = nullptr;
    bool m_opened = false;
};

template <typename Source, typename... Args>
std::shared_ptr<CByteSource> OpenWith(ByteSourceError& error, Args&&... args) {
    auto source = std::make_shared<Source>(std::forward<Args>(args)...);
    if (!source->Open(error)) return nullptr;
    return source;
}

}  // namespace

std::string ContainerKind(const uint8_t* head, size_t headSize, const uint8_t* tail, size_t tailSize) {
    static const uint8_t kEwf[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
    if (headSize >= 8 && std::memcmp(head, kEwf, 8) == 0) return "E01";
    if (headSize >= 8 && std::memcmp(head, "vhdxfile", 8) == 0) return "VHDX";
    if (headSize >= 512 && IsVhdFooter(head)) return "VHD";
    if (tailSize >= 512 && IsVhdFooter(tail + tailSize - 512)) return "VHD";
    if (headSize >= 8 && std::memcmp(head, "KDMV", 4) == 0) return "VMDK";
    static const char kDescriptor[] = "# Disk DescriptorFile";
    if (headSize >= sizeof(kDescriptor) - 1 && std::memcmp(head, kDescriptor, sizeof(kDescriptor) - 1) == 0)
        return "VMDK";
    if (headSize >= 8 && std::memcmp(head, "QFI\xfb", 4) == 0) {
        uint32_t version = Be32(head + 4);
        if (version == 2 || version == 3) return "QCOW2";
        if (version == 1) return "QCOW";
    }
    return "";
}

std::shared_ptr<CByteSource> OpenContainerSource(const std::string& path, const std::string& kind,
                                                 ByteSourceError& error) {
    error = ByteSourceError {};
    // The file itself must open: say why not as the system does.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error.errnoValue = errno;
        error.message =
            Prefix(kind.empty() ? std::string("container") : kind, path) + std::strerror(error.errnoValue);
        return nullptr;
    }
    ::close(fd);
    if (kind == "E01") return OpenWith<CEwfSource>(error, path);
    if (kind == "VHD" || kind == "VHDX") return OpenWith<CVhdiSource>(error, path, kind);
    if (kind == "VMDK") return OpenWith<CVmdkSource>(error, path);
    if (kind == "QCOW2" || kind == "QCOW") return OpenWith<CQcowSource>(error, path, kind);
    error.message = "cannot read " + path + ": " +
                    (kind.empty() ? "it is not an image container" : kind + " images are not supported");
    return nullptr;
}
