#include "Log.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <cerrno>
#include <ctime>
#include <fstream>

#include "platform/Paths.h"
#include "platform/Status.h"

CLogFile& CLogFile::Instance() {
    static CLogFile instance;
    return instance;
}

bool CLogFile::Open(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(m_writeLock);
    m_path = path;
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_file = std::fopen(path.c_str(), "ab");
    return m_file != nullptr;
}

void CLogFile::Close() {
    std::lock_guard<std::recursive_mutex> g(m_writeLock);
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

void CLogFile::Reopen() {
    if (m_file) std::fclose(m_file);
    m_file = std::fopen(m_path.c_str(), "ab");
}

bool CLogFile::ReadyToWrite() {
    struct stat st {};
    // A file that cannot be stat'ed (removed while running) is treated as empty:
    // the stream still appends to the unlinked inode, so nothing is harmed.
    if (::stat(m_path.c_str(), &st) != 0) return true;
    struct stat own {};
    if (::fstat(fileno(m_file), &own) == 0 && (own.st_ino != st.st_ino || own.st_dev != st.st_dev)) {
        Reopen();  // another process rotated the file: write to the new one
        if (!m_file) return false;
        if (::stat(m_path.c_str(), &st) != 0) return true;
    }
    if (static_cast<int64_t>(st.st_size) < m_maxSize) return true;
    const std::string older = m_path + ".1";
    if (std::rename(m_path.c_str(), older.c_str()) != 0) return false;  // cannot rotate: stay at the cap
    Reopen();
    return m_file != nullptr;
}

namespace {

// Cuts UTF-8 text to at most n code points (never inside a sequence).
void CutToChars(std::string& s, size_t n) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == n) {
                s.resize(i);
                return;
            }
            ++chars;
        }
    }
}

}  // namespace

void CLogFile::Emit(const char* fmt, va_list ap) {
    char stackBuf[1024];
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(stackBuf, sizeof stackBuf, fmt, ap);
    std::string text;
    if (n < 0) {
        va_end(ap2);
        return;
    }
    if (static_cast<size_t>(n) < sizeof stackBuf) {
        text.assign(stackBuf, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, ap2);
        text.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    // The message buffer holds 500 characters including its terminator.
    CutToChars(text, kMessageChars - 1);
    std::string line;
    line.reserve(text.size() + 24);
    char stamp[128];
    std::time_t now = std::time(nullptr);
    std::tm tmv {};
    localtime_r(&now, &tmv);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    line += '[';
    line += stamp;
    line += "] ";
    for (char c : text)
        if (c != '\r') line += c;
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}

void CLogFile::VWrite(const char* fmt, va_list ap) {
    std::lock_guard<std::recursive_mutex> g(m_writeLock);
    if (!m_file) return;
    if (!ReadyToWrite()) return;
    Emit(fmt, ap);
}

void CLogFile::VWriteLevel(int level, const char* fmt, va_list ap) {
    // The level test comes first: it spares a stat for every filtered trace.
    if (level > m_level) return;
    VWrite(fmt, ap);
}

void CLogFile::Write(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VWrite(fmt, ap);
    va_end(ap);
}

void CLogFile::WriteLevel(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VWriteLevel(level, fmt, ap);
    va_end(ap);
}

void LogWrite(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    CLogFile::Instance().VWrite(fmt, ap);
    va_end(ap);
}

void LogWriteLevel(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    CLogFile::Instance().VWriteLevel(level, fmt, ap);
    va_end(ap);
}

void LogError(int level, int code) {
    std::string text = ErrnoText(code);
    LogWriteLevel(level, "Error %u(%XH): %s\n", static_cast<unsigned>(code), static_cast<unsigned>(code),
                  text.c_str());
}

void LogLastError(int level) { LogError(level, errno); }

std::vector<std::string> FormatHexDumpRows(const void* buffer, size_t size) {
    std::vector<std::string> rows;
    const auto* p = static_cast<const unsigned char*>(buffer);
    std::string row;
    char tmp[16];
    for (size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) row += "  ";
        if (i % 16 == 0) {
            if (i != 0) {
                for (size_t k = i - 16; k < i; ++k) row += static_cast<char>(p[k]);
            }
            row += "\n";
            rows.push_back(row);
            std::snprintf(tmp, sizeof tmp, "%04X\t", static_cast<unsigned>(i));
            row = tmp;
        }
        std::snprintf(tmp, sizeof tmp, "%02X ", p[i]);
        row += tmp;
    }
    row += "\n";
    rows.push_back(row);
    return rows;
}

void LogHexDump(const void* buffer, size_t size) {
    CLogFile& log = CLogFile::Instance();
    if (log.Level() < 2) return;
    log.WriteLevel(2, "BUFFER DUMP size=%d\n", static_cast<int>(size));
    for (const std::string& row : FormatHexDumpRows(buffer, size)) log.WriteLevel(2, "%s", row.c_str());
}

CScopeTrace::CScopeTrace(int level, const char* name)
    : m_level(level), m_name(name), m_started(std::chrono::steady_clock::now()) {
    LogWriteLevel(m_level, "Entering: %s\n", m_name.c_str());
}

CScopeTrace::~CScopeTrace() {
    auto elapsed = std::chrono::steady_clock::now() - m_started;
    double seconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 1000.0;
    LogWriteLevel(m_level, "Leaving: %s.    ", m_name.c_str());
    LogWriteLevel(m_level, "Completed in: %0.3f sec.\n", seconds);
}

bool OpenProgramLog(int level, int64_t maxSize, const std::string& version) {
    const std::vector<std::string> moved = MoveStateFilesFromSettingsFolder();
    if (level < 0 || !EnsurePrivateFolder(StateFolder())) return false;
    CLogFile& log = CLogFile::Instance();
    if (!log.Open(LogFilePath())) return false;
    log.SetMaxSize(maxSize);
    log.SetLevel(level);
    WriteLogHeader(DescribeOperatingSystem(), version);
    for (const std::string& line : moved) LogWrite("%s\n", line.c_str());
    return true;
}

void WriteLogHeader(const std::string& osDescription, const std::string& version) {
    LogWriteLevel(0, "\n");
    LogWriteLevel(0, "[ Quarlix Recovery Log ]\n");
    LogWriteLevel(1, "Verbose\n");
    LogWriteLevel(0, "Operating System: %s\n", osDescription.c_str());
    LogWriteLevel(0, "Application version: %s\n", version.c_str());
    char stamp[128];
    std::time_t now = std::time(nullptr);
    std::tm tmv {};
    localtime_r(&now, &tmv);
    std::strftime(stamp, sizeof stamp, "%B %d, %Y %I:%M %p", &tmv);
    LogWriteLevel(0, "System time: %s\n", stamp);
}

std::string DescribeOperatingSystem() {
    std::string pretty = "Linux";
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            pretty = line.substr(12);
            if (pretty.size() >= 2 && (pretty.front() == '"' || pretty.front() == '\'')) pretty = pretty.substr(1, pretty.size() - 2);
            break;
        }
    }
    struct utsname u {};
    if (uname(&u) == 0) {
        pretty += " ";
        pretty += u.release;
    }
    return pretty;
}
