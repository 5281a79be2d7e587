// Process-wide diagnostic log and scope tracer.
//
// One static CLogFile instance, written by every thread through the free
// functions below. Each message is formatted in the caller's thread, given a
// "[YYYY-mm-dd HH:MM:SS] " prefix and written to the stream in one call,
// then flushed. Nothing is buffered, nothing goes to the console.
//
// The size cap: before each write the file is checked by stat of its path;
// once it has reached the cap it becomes NAME.1 (replacing an older one) and
// a new file is started, so the latest lines are always in NAME. Another
// process that rotated the file is followed (the path names another inode).
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#define QUARLIX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

class CLogFile {
public:
    static constexpr int64_t kDefaultMaxSize = 0x40000000;  // 1 GiB
    static constexpr size_t kMessageChars = 500;             // formatted text is cut here

    static CLogFile& Instance();

    // Stores the path and opens the file for appending; false if it cannot be opened.
    bool Open(const std::string& path);
    // Closes the stream (crash handler, tests). Later writes have no effect.
    void Close();
    void SetMaxSize(int64_t bytes) { m_maxSize = bytes; }
    void SetLevel(int level) { m_level = level; }
    int64_t MaxSize() const { return m_maxSize; }
    int Level() const { return m_level; }
    const std::string& Path() const { return m_path; }
    bool IsOpen() const { return m_file != nullptr; }

    void Write(const char* fmt, ...) QUARLIX_PRINTF(2, 3);
    void WriteLevel(int level, const char* fmt, ...) QUARLIX_PRINTF(3, 4);
    void VWrite(const char* fmt, va_list ap);
    void VWriteLevel(int level, const char* fmt, va_list ap);

private:
    CLogFile() = default;
    void Emit(const char* fmt, va_list ap);
    // Makes the stream ready for one more line: follows a rotation made by
    // another process, rotates at the cap. False when the line is dropped.
    bool ReadyToWrite();
    void Reopen();

    // Recursive: the crash handler writes from a signal that may have
    // interrupted a write of the same thread.
    std::recursive_mutex m_writeLock;
    std::string m_path;
    int64_t m_maxSize = kDefaultMaxSize;
    int m_level = 0;
    FILE* m_file = nullptr;
};

// Unconditional write (no level test).
void LogWrite(const char* fmt, ...) QUARLIX_PRINTF(1, 2);
// Levelled write: 0 essential, 1 traces and diagnostics, 2 raw dumps.
void LogWriteLevel(int level, const char* fmt, ...) QUARLIX_PRINTF(2, 3);
// "Error %lu(%XH): %s" for the calling thread's errno, at the given level.
void LogLastError(int level);
// Same for an explicit error code.
void LogError(int level, int code);
// "BUFFER DUMP size=%d\n" and the bytes as hex rows, at level 2.
void LogHexDump(const void* buffer, size_t size);
// Formats the hex-dump rows exactly as LogHexDump writes them (one string per write).
std::vector<std::string> FormatHexDumpRows(const void* buffer, size_t size);

// Logs "Entering: name" on construction and "Leaving: name.    Completed in: x sec."
// on destruction, both at the given level.
class CScopeTrace {
public:
    CScopeTrace(int level, const char* name);
    ~CScopeTrace();
    CScopeTrace(const CScopeTrace&) = delete;
    CScopeTrace& operator=(const CScopeTrace&) = delete;

private:
    int m_level;
    std::string m_name;
    std::chrono::steady_clock::time_point m_started;
};

// The log of the program at start-up: first moves what earlier versions
// kept in the settings folder into the state folder (MoveStateFilesFromSettingsFolder),
// then, unless level < 0, opens QuarlixRecovery.log there with this level
// and size cap, writes the start-up header and says what was moved.
// False when logging is off or the file cannot be opened.
bool OpenProgramLog(int level, int64_t maxSize, const std::string& version);

// Writes the start-up header that separates runs in the log.
void WriteLogHeader(const std::string& osDescription, const std::string& version);
// PRETTY_NAME of /etc/os-release followed by the kernel release.
std::string DescribeOperatingSystem();
